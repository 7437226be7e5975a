// Win32 host: x86-64 Windows (and Wine).
#include "host.h"

#include <direct.h>
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <time.h>
#include <windows.h>

#include <cstring>

namespace host {
namespace {

constexpr size_t kPathMax = 4096;
// Room for a path made absolute and given the \\?\ form.
constexpr size_t kNativeMax = kPathMax + 512;

// A registry path in the host's form: every '/' becomes a backslash. A path
// that reaches the classic 260-character limit is made absolute and given
// the \\?\ form, which every Windows accepts whatever the executable's
// manifest says about long paths. A path that does not fit is refused.
class NativePath {
 public:
  explicit NativePath(const char* path) {
    char plain[kPathMax];
    size_t i = 0;
    for (; path[i] != '\0'; ++i) {
      if (i + 1 >= kPathMax) {
        ok_ = false;
        buf_[0] = '\0';
        return;
      }
      plain[i] = path[i] == '/' ? '\\' : path[i];
    }
    plain[i] = '\0';
    if (i < MAX_PATH - 12) {  // 12: room that directory creation needs
      std::memcpy(buf_, plain, i + 1);
      len_ = i;
      return;
    }
    char full[kNativeMax];
    const DWORD n = GetFullPathNameA(plain, sizeof full, full, nullptr);
    if (n == 0 || n >= sizeof full) {
      ok_ = false;
      buf_[0] = '\0';
      return;
    }
    const bool unc = full[0] == '\\' && full[1] == '\\';
    const char* prefix = unc ? "\\\\?\\UNC" : "\\\\?\\";
    const char* rest = unc ? full + 1 : full;  // \\server\share -> \\?\UNC\server\share
    const size_t plen = std::strlen(prefix);
    const size_t rlen = std::strlen(rest);
    if (plen + rlen + 1 > sizeof buf_) {
      ok_ = false;
      buf_[0] = '\0';
      return;
    }
    std::memcpy(buf_, prefix, plen);
    std::memcpy(buf_ + plen, rest, rlen + 1);
    len_ = plen + rlen;
  }
  bool ok() const { return ok_; }
  const char* c_str() const { return buf_; }
  size_t size() const { return len_; }

 private:
  char buf_[kNativeMax];
  size_t len_ = 0;
  bool ok_ = true;
};

struct FindState {
  HANDLE handle;
  WIN32_FIND_DATAA data;
  bool pending;  // data holds an entry not yet handed out
};

}  // namespace

bool get_attributes(const char* path, Attributes* out) {
  NativePath p(path);
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!p.ok() || p.size() == 0 || !GetFileAttributesExA(p.c_str(), GetFileExInfoStandard, &data)) return false;
  out->is_dir = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  out->size = static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
  return true;
}

bool dir_open(DirStream* ds, const char* path) {
  ds->handle = nullptr;
  char pattern[kPathMax];
  const size_t n = std::strlen(path);
  if (n + 3 > sizeof pattern) return false;
  std::memcpy(pattern, path, n);
  std::memcpy(pattern + n, "\\*", 3);  // every entry of the directory
  NativePath p(pattern);
  if (!p.ok()) return false;
  FindState* st = new FindState;
  st->handle = FindFirstFileA(p.c_str(), &st->data);
  if (st->handle == INVALID_HANDLE_VALUE) {
    delete st;
    return false;
  }
  st->pending = true;
  ds->handle = st;
  return true;
}

bool dir_next(DirStream* ds, const char** name, bool* is_dir) {
  FindState* st = static_cast<FindState*>(ds->handle);
  if (st == nullptr) return false;
  if (!st->pending && !FindNextFileA(st->handle, &st->data)) return false;
  st->pending = false;
  *name = st->data.cFileName;
  *is_dir = (st->data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  return true;
}

void dir_close(DirStream* ds) {
  FindState* st = static_cast<FindState*>(ds->handle);
  if (st != nullptr) {
    FindClose(st->handle);
    delete st;
  }
  ds->handle = nullptr;
}

MkdirResult make_dir(const char* path) {
  NativePath p(path);
  if (!p.ok()) return MkdirResult::kFailed;
  if (_mkdir(p.c_str()) == 0) return MkdirResult::kCreated;
  return errno == EEXIST ? MkdirResult::kExists : MkdirResult::kFailed;
}

bool remove_dir(const char* path) {
  NativePath p(path);
  return p.ok() && _rmdir(p.c_str()) == 0;
}

bool remove_file(const char* path) {
  NativePath p(path);
  return p.ok() && ::remove(p.c_str()) == 0;
}

bool rename_file(const char* from, const char* to) {
  NativePath a(from);
  NativePath b(to);
  // Like rename on this host: fails when the target exists.
  return a.ok() && b.ok() && MoveFileExA(a.c_str(), b.c_str(), 0) != 0;
}

bool rename_replace(const char* from, const char* to) {
  NativePath a(from);
  NativePath b(to);
  return a.ok() && b.ok() && MoveFileExA(a.c_str(), b.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

FILE* open_file(const char* path, const char* mode) {
  NativePath p(path);
  return p.ok() ? std::fopen(p.c_str(), mode) : nullptr;
}

FILE* create_new_file(const char* path, bool* taken) {
  *taken = false;
  NativePath p(path);
  if (!p.ok()) return nullptr;
  const int fd = _open(p.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
  if (fd < 0) {
    *taken = errno == EEXIST;
    return nullptr;
  }
  FILE* f = _fdopen(fd, "wb");
  if (f == nullptr) _close(fd);
  return f;
}

int64_t now_seconds() { return static_cast<int64_t>(_time64(nullptr)); }

int process_id() { return _getpid(); }

void set_binary_mode(FILE* stream) { _setmode(_fileno(stream), 0x8000); }

}  // namespace host
