// POSIX host: Linux and other Unix systems.
#include "host.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace host {
namespace {

constexpr size_t kPathMax = 4096;

// A registry path in the host's form: every backslash becomes '/'.
// A path that does not fit is refused rather than cut.
class NativePath {
 public:
  explicit NativePath(const char* path) {
    size_t i = 0;
    for (; path[i] != '\0'; ++i) {
      if (i + 1 >= kPathMax) {
        ok_ = false;
        buf_[0] = '\0';
        return;
      }
      buf_[i] = path[i] == '\\' ? '/' : path[i];
    }
    buf_[i] = '\0';
    len_ = i;
  }
  bool ok() const { return ok_; }
  const char* c_str() const { return buf_; }
  size_t size() const { return len_; }

 private:
  char buf_[kPathMax];
  size_t len_ = 0;
  bool ok_ = true;
};

}  // namespace

bool get_attributes(const char* path, Attributes* out) {
  NativePath p(path);
  struct stat st;
  if (!p.ok() || p.size() == 0 || stat(p.c_str(), &st) != 0) return false;
  out->is_dir = S_ISDIR(st.st_mode);
  out->size = static_cast<int64_t>(st.st_size);
  return true;
}

bool dir_open(DirStream* ds, const char* path) {
  NativePath p(path);
  ds->handle = nullptr;
  if (!p.ok() || p.size() + 2 >= sizeof ds->dir) return false;
  DIR* d = opendir(p.c_str());
  if (d == nullptr) return false;
  std::memcpy(ds->dir, p.c_str(), p.size() + 1);
  ds->dir_len = static_cast<unsigned>(p.size());
  ds->handle = d;
  return true;
}

bool dir_next(DirStream* ds, const char** name, bool* is_dir) {
  DIR* d = static_cast<DIR*>(ds->handle);
  if (d == nullptr) return false;
  struct dirent* e = readdir(d);
  if (e == nullptr) return false;
  *name = e->d_name;
  if (e->d_type == DT_DIR) {
    *is_dir = true;
  } else if (e->d_type == DT_REG) {
    *is_dir = false;
  } else {
    // Unknown type or a link: ask for what the entry names, as the
    // directory flag of an enumeration reports the target's kind.
    size_t n = std::strlen(e->d_name);
    *is_dir = false;
    if (ds->dir_len + 1 + n < sizeof ds->scratch) {
      std::memcpy(ds->scratch, ds->dir, ds->dir_len);
      ds->scratch[ds->dir_len] = '/';
      std::memcpy(ds->scratch + ds->dir_len + 1, e->d_name, n + 1);
      struct stat st;
      if (stat(ds->scratch, &st) == 0) *is_dir = S_ISDIR(st.st_mode);
    }
  }
  return true;
}

void dir_close(DirStream* ds) {
  if (ds->handle != nullptr) closedir(static_cast<DIR*>(ds->handle));
  ds->handle = nullptr;
}

MkdirResult make_dir(const char* path) {
  NativePath p(path);
  if (!p.ok()) return MkdirResult::kFailed;
  if (mkdir(p.c_str(), 0777) == 0) return MkdirResult::kCreated;
  return errno == EEXIST ? MkdirResult::kExists : MkdirResult::kFailed;
}

bool remove_dir(const char* path) {
  NativePath p(path);
  return p.ok() && rmdir(p.c_str()) == 0;
}

bool remove_file(const char* path) {
  NativePath p(path);
  return p.ok() && unlink(p.c_str()) == 0;
}

bool rename_replace(const char* from, const char* to) {
  NativePath a(from);
  NativePath b(to);
  return a.ok() && b.ok() && rename(a.c_str(), b.c_str()) == 0;
}

bool rename_file(const char* from, const char* to) { return rename_replace(from, to); }

FILE* open_file(const char* path, const char* mode) {
  NativePath p(path);
  return p.ok() ? std::fopen(p.c_str(), mode) : nullptr;
}

FILE* create_new_file(const char* path, bool* taken) {
  *taken = false;
  NativePath p(path);
  if (!p.ok()) return nullptr;
  int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    *taken = errno == EEXIST;
    return nullptr;
  }
  FILE* f = fdopen(fd, "wb");
  if (f == nullptr) close(fd);
  return f;
}

int64_t now_seconds() { return static_cast<int64_t>(std::time(nullptr)); }

int process_id() { return static_cast<int>(getpid()); }

void set_binary_mode(FILE*) {}

}  // namespace host
