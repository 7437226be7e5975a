// Win32 host: x86-64 Windows (and Wine).
//
// The registry's paths are byte strings in the ANSI code page. The host
// turns them into UTF-16 and calls the wide functions, because only those
// accept the \\?\ form that lifts the classic 260-character limit on every
// Windows, whatever the executable's manifest says about long paths.
#include "host.h"

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
constexpr size_t kWideMax = kPathMax + 512;  // room for an absolute \\?\ form

// A registry path as the operating system takes it: UTF-16, every '/' a
// backslash, and a path that reaches the classic limit made absolute in
// the \\?\ form. A path that does not fit is refused, never cut.
class NativePath {
 public:
  explicit NativePath(const char* path) {
    const size_t n = std::strlen(path);
    if (n == 0 || n >= kPathMax) return;
    wchar_t plain[kPathMax];
    const int wn = MultiByteToWideChar(CP_ACP, 0, path, static_cast<int>(n), plain, kPathMax - 1);
    if (wn <= 0) return;
    plain[wn] = L'\0';
    for (int i = 0; i < wn; ++i) {
      if (plain[i] == L'/') plain[i] = L'\\';
    }
    // 12: the room directory creation keeps below the classic limit.
    if (wn < MAX_PATH - 12) {
      std::memcpy(buf_, plain, (static_cast<size_t>(wn) + 1) * sizeof(wchar_t));
      ok_ = true;
      return;
    }
    wchar_t full[kWideMax];
    const DWORD fn = GetFullPathNameW(plain, kWideMax, full, nullptr);
    if (fn == 0 || fn >= kWideMax) return;
    const bool unc = full[0] == L'\\' && full[1] == L'\\';
    const wchar_t* prefix = unc ? L"\\\\?\\UNC" : L"\\\\?\\";
    const wchar_t* rest = unc ? full + 1 : full;  // \\server\share -> \\?\UNC\server\share
    const size_t plen = wcslen(prefix);
    const size_t rlen = wcslen(rest);
    if (plen + rlen + 1 > kWideMax) return;
    std::memcpy(buf_, prefix, plen * sizeof(wchar_t));
    std::memcpy(buf_ + plen, rest, (rlen + 1) * sizeof(wchar_t));
    ok_ = true;
  }
  bool ok() const { return ok_; }
  const wchar_t* c_str() const { return buf_; }

 private:
  wchar_t buf_[kWideMax];
  bool ok_ = false;
};

struct FindState {
  HANDLE handle;
  WIN32_FIND_DATAW data;
  bool pending;           // data holds an entry not yet handed out
  char name[MAX_PATH * 4];  // the entry's name in the ANSI code page
};

}  // namespace

bool get_attributes(const char* path, Attributes* out) {
  NativePath p(path);
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!p.ok() || !GetFileAttributesExW(p.c_str(), GetFileExInfoStandard, &data)) return false;
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
  st->handle = FindFirstFileW(p.c_str(), &st->data);
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
  for (;;) {
    if (!st->pending && !FindNextFileW(st->handle, &st->data)) return false;
    st->pending = false;
    const int n = WideCharToMultiByte(CP_ACP, 0, st->data.cFileName, -1, st->name, sizeof st->name, nullptr, nullptr);
    if (n > 0) break;  // a name that does not fit is passed over
  }
  *name = st->name;
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
  if (CreateDirectoryW(p.c_str(), nullptr)) return MkdirResult::kCreated;
  return GetLastError() == ERROR_ALREADY_EXISTS ? MkdirResult::kExists : MkdirResult::kFailed;
}

bool remove_dir(const char* path) {
  NativePath p(path);
  return p.ok() && RemoveDirectoryW(p.c_str()) != 0;
}

bool remove_file(const char* path) {
  NativePath p(path);
  return p.ok() && DeleteFileW(p.c_str()) != 0;
}

bool rename_file(const char* from, const char* to) {
  NativePath a(from);
  NativePath b(to);
  // As rename does here: fails when the target exists.
  return a.ok() && b.ok() && MoveFileExW(a.c_str(), b.c_str(), 0) != 0;
}

bool rename_replace(const char* from, const char* to) {
  NativePath a(from);
  NativePath b(to);
  return a.ok() && b.ok() && MoveFileExW(a.c_str(), b.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

FILE* open_file(const char* path, const char* mode) {
  NativePath p(path);
  if (!p.ok()) return nullptr;
  wchar_t wmode[8];
  size_t i = 0;
  for (; mode[i] != '\0' && i + 1 < 8; ++i) wmode[i] = static_cast<wchar_t>(mode[i]);
  wmode[i] = L'\0';
  return _wfopen(p.c_str(), wmode);
}

FILE* create_new_file(const char* path, bool* taken) {
  *taken = false;
  NativePath p(path);
  if (!p.ok()) return nullptr;
  const int fd = _wopen(p.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
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
