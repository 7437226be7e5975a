// POSIX host: Linux and other Unix systems.
//
// Paths below the tree root are resolved relative to a descriptor of the
// root that was opened once: the directories on the way are opened with
// openat2(RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH) where the kernel has it,
// else one component at a time with O_NOFOLLOW, and the last component is
// used with the *at calls and AT_SYMLINK_NOFOLLOW / O_NOFOLLOW. A link
// planted anywhere below the root therefore stops the operation instead of
// redirecting it, with no window between a check and the use.
#include "host.h"

#include <signal.h>

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/crash_points.h"

namespace host {
namespace {

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
  bool ok() const { return ok_ && len_ > 0; }
  char* data() { return buf_; }
  const char* c_str() const { return buf_; }
  size_t size() const { return len_; }

 private:
  char buf_[kPathMax];
  size_t len_ = 0;
  bool ok_ = true;
};

struct TreeRoot {
  int fd = -1;
  char path[kPathMax] = {};  // native form, no trailing '/'
  size_t len = 0;
};
TreeRoot g_tree;

// Opens the directory rel (relative to the tree root, no leading '/') for
// use as a base of *at calls, refusing every link on the way.
int open_beneath(const char* rel) {
  static bool have_openat2 = true;
  if (have_openat2) {
    struct open_how how;
    std::memset(&how, 0, sizeof how);
    how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH;
    const long fd = syscall(SYS_openat2, g_tree.fd, rel, &how, sizeof how);
    if (fd >= 0) return static_cast<int>(fd);
    // Unknown to this kernel, or refused by a sandbox's filter: walk.
    if (errno != ENOSYS && errno != EPERM) return -1;
    have_openat2 = false;
  }
  char buf[kPathMax];
  std::snprintf(buf, sizeof buf, "%s", rel);
  int cur = g_tree.fd;
  char* save = nullptr;
  for (char* part = strtok_r(buf, "/", &save); part != nullptr; part = strtok_r(nullptr, "/", &save)) {
    if (std::strcmp(part, "..") == 0) {
      if (cur != g_tree.fd) close(cur);
      errno = EXDEV;
      return -1;
    }
    const int next = openat(cur, part, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int saved = errno;
    if (cur != g_tree.fd) close(cur);
    if (next < 0) {
      errno = saved;
      return -1;
    }
    cur = next;
  }
  return cur == g_tree.fd ? fcntl(g_tree.fd, F_DUPFD_CLOEXEC, 0) : cur;
}

// Where an operation on a path takes place: a directory descriptor and
// the last component below the tree root (no link followed), or the whole
// path, resolved as the system does, anywhere else.
class Place {
 public:
  explicit Place(const char* path) : native_(path) {
    if (!native_.ok()) {
      errno = ENAMETOOLONG;
      return;
    }
    char* p = native_.data();
    leaf_ = p;
    ok_ = true;
    if (g_tree.fd < 0 || std::strncmp(p, g_tree.path, g_tree.len) != 0 || p[g_tree.len] != '/') return;
    char* rel = p + g_tree.len;
    while (*rel == '/') ++rel;
    size_t n = std::strlen(rel);
    while (n > 0 && rel[n - 1] == '/') rel[--n] = '\0';
    if (n == 0) return;  // the root itself: as the system resolves it
    inside_ = true;
    char* slash = std::strrchr(rel, '/');
    if (slash == nullptr) {
      dir_ = g_tree.fd;
      leaf_ = rel;
      return;
    }
    *slash = '\0';
    leaf_ = slash + 1;
    owned_ = open_beneath(rel);
    dir_ = owned_;
    ok_ = owned_ >= 0;
  }
  ~Place() {
    if (owned_ >= 0) close(owned_);
  }
  Place(const Place&) = delete;
  Place& operator=(const Place&) = delete;

  bool ok() const { return ok_; }
  int dir() const { return dir_; }
  const char* leaf() const { return leaf_; }
  // Flags that keep a link in the last component from being followed.
  int nofollow_open() const { return inside_ ? O_NOFOLLOW : 0; }
  int nofollow_at() const { return inside_ ? AT_SYMLINK_NOFOLLOW : 0; }

 private:
  NativePath native_;
  int dir_ = AT_FDCWD;
  int owned_ = -1;
  const char* leaf_ = nullptr;
  bool inside_ = false;
  bool ok_ = false;
};

// A network file system (GlusterFS through FUSE, NFS) answers ESTALE when
// the file or directory that a name led to was replaced or removed by
// another client between the lookup and the use: a rename over it, as every
// tag move and blob publication makes. The name is then looked up again,
// from the start of the path; a name that stays stale after that many
// fresh lookups fails with ESTALE.
constexpr int kStaleLookups = 8;

// Runs op (true on success, errno set on failure) until it succeeds, fails
// otherwise than with ESTALE, or has met ESTALE kStaleLookups times.
template <typename Op>
bool again_while_stale(Op op) {
  for (int i = 1;; ++i) {
    if (op()) return true;
    if (errno != ESTALE || i == kStaleLookups) return false;
  }
}

Kind kind_of(mode_t mode) {
  if (S_ISREG(mode)) return Kind::kFile;
  if (S_ISDIR(mode)) return Kind::kDir;
  return Kind::kOther;
}

void fill_attributes(const struct stat& st, Attributes* out) {
  out->kind = kind_of(st.st_mode);
  out->size = static_cast<int64_t>(st.st_size);
  out->mtime = static_cast<int64_t>(st.st_mtime);
  out->links = static_cast<uint32_t>(st.st_nlink);
  out->change_ns = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  out->id = static_cast<uint64_t>(st.st_ino);
}

struct DirState {
  DIR* dir;
};

}  // namespace

bool set_tree_root(const char* root) {
  if (g_tree.fd >= 0) close(g_tree.fd);
  g_tree.fd = -1;
  g_tree.len = 0;
  if (root == nullptr || root[0] == '\0') return true;
  NativePath p(root);
  if (!p.ok()) return false;
  size_t n = p.size();
  while (n > 1 && p.c_str()[n - 1] == '/') --n;
  const int fd = open(p.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  g_tree.fd = fd;
  // "/" itself: every absolute path lies below it.
  g_tree.len = (n == 1 && p.c_str()[0] == '/') ? 0 : n;
  std::memcpy(g_tree.path, p.c_str(), g_tree.len);
  g_tree.path[g_tree.len] = '\0';
  return true;
}

bool get_attributes(const char* path, Attributes* out) {
  struct stat st;
  const bool ok = again_while_stale([&] {
    Place p(path);
    return p.ok() && fstatat(p.dir(), p.leaf(), &st, p.nofollow_at()) == 0;
  });
  if (ok) fill_attributes(st, out);
  return ok;
}

bool dir_open(DirStream* ds, const char* path) {
  ds->handle = nullptr;
  ds->failed = false;
  int fd = -1;
  if (!again_while_stale([&] {
        Place p(path);
        return p.ok() && (fd = openat(p.dir(), p.leaf(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | p.nofollow_open())) >= 0;
      })) {
    return false;
  }
  DIR* d = fdopendir(fd);
  if (d == nullptr) {
    close(fd);
    return false;
  }
  ds->handle = new DirState{d};
  return true;
}

bool dir_next(DirStream* ds, const char** name, Kind* kind) {
  auto* st = static_cast<DirState*>(ds->handle);
  if (st == nullptr) return false;
  errno = 0;
  struct dirent* e = readdir(st->dir);
  if (e == nullptr) {
    ds->failed = errno != 0;
    return false;
  }
  *name = e->d_name;
  switch (e->d_type) {
    case DT_DIR: *kind = Kind::kDir; break;
    case DT_REG: *kind = Kind::kFile; break;
    case DT_UNKNOWN: {
      // Some file systems do not say: ask for the entry itself.
      struct stat s;
      *kind = fstatat(dirfd(st->dir), e->d_name, &s, AT_SYMLINK_NOFOLLOW) == 0 ? kind_of(s.st_mode) : Kind::kOther;
      break;
    }
    default: *kind = Kind::kOther; break;  // links, devices, sockets
  }
  return true;
}

bool dir_failed(const DirStream* ds) { return ds->failed; }

bool dir_entry_attributes(DirStream* ds, const char* name, Attributes* out) {
  auto* st = static_cast<DirState*>(ds->handle);
  struct stat s;
  if (st == nullptr || fstatat(dirfd(st->dir), name, &s, AT_SYMLINK_NOFOLLOW) != 0) return false;
  fill_attributes(s, out);
  return true;
}

void dir_close(DirStream* ds) {
  auto* st = static_cast<DirState*>(ds->handle);
  if (st != nullptr) {
    closedir(st->dir);
    delete st;
  }
  ds->handle = nullptr;
}

MkdirResult make_dir(const char* path) {
  crash::Point step(crash::Step::kMkdir);
  if (again_while_stale([&] {
        Place p(path);
        return p.ok() && mkdirat(p.dir(), p.leaf(), 0777) == 0;
      })) {
    return MkdirResult::kCreated;
  }
  return errno == EEXIST ? MkdirResult::kExists : MkdirResult::kFailed;
}

bool remove_dir(const char* path) {
  crash::Point step(crash::Step::kRemove);
  return again_while_stale([&] {
    Place p(path);
    return p.ok() && unlinkat(p.dir(), p.leaf(), AT_REMOVEDIR) == 0;
  });
}

bool remove_file(const char* path) {
  crash::Point step(crash::Step::kRemove);
  return again_while_stale([&] {
    Place p(path);
    return p.ok() && unlinkat(p.dir(), p.leaf(), 0) == 0;
  });
}

bool rename_replace(const char* from, const char* to) {
  crash::Point step(crash::Step::kRename);
  return again_while_stale([&] {
    Place a(from);
    Place b(to);
    return a.ok() && b.ok() && renameat(a.dir(), a.leaf(), b.dir(), b.leaf()) == 0;
  });
}

bool rename_file(const char* from, const char* to) { return rename_replace(from, to); }

FILE* open_file(const char* path, const char* mode) {
  int flags = 0;
  if (std::strcmp(mode, "rb") == 0) {
    flags = O_RDONLY;
  } else if (std::strcmp(mode, "wb") == 0) {
    flags = O_WRONLY | O_CREAT | O_TRUNC;
  } else if (std::strcmp(mode, "ab") == 0) {
    flags = O_WRONLY | O_CREAT | O_APPEND;
  } else if (std::strcmp(mode, "r+b") == 0) {
    flags = O_RDWR;
  } else {
    errno = EINVAL;
    return nullptr;
  }
  crash::Point step(crash::Step::kCreate, (flags & O_CREAT) != 0);
  // Non-blocking only while we look: opening a FIFO must not wait.
  int fd = -1;
  struct stat st;
  if (!again_while_stale([&] {
        Place p(path);
        if (!p.ok() || (fd = openat(p.dir(), p.leaf(), flags | O_CLOEXEC | O_NONBLOCK | p.nofollow_open(), 0666)) < 0) {
          return false;
        }
        if (fstat(fd, &st) == 0) return true;
        // Replaced by another client right after the open (the file opened
        // is gone by the time it is looked at): open what the name holds now.
        const int err = errno;
        close(fd);
        errno = err;
        return false;
      })) {
    return nullptr;
  }
  if (!S_ISREG(st.st_mode) || fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    close(fd);
    errno = EINVAL;
    return nullptr;
  }
  FILE* f = fdopen(fd, mode);
  if (f == nullptr) close(fd);
  return f;
}

FILE* create_new_file(const char* path, bool* taken) {
  crash::Point step(crash::Step::kCreate);
  *taken = false;
  int fd = -1;
  if (!again_while_stale([&] {
        Place p(path);
        return p.ok() &&
               (fd = openat(p.dir(), p.leaf(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | p.nofollow_open(), 0666)) >= 0;
      })) {
    *taken = errno == EEXIST;
    return nullptr;
  }
  FILE* f = fdopen(fd, "wb");
  if (f == nullptr) close(fd);
  return f;
}

FILE* create_private_file(const char* path, bool* taken) {
  crash::Point step(crash::Step::kCreate);
  *taken = false;
  // 0600 at creation, whatever the umask leaves: never readable by others,
  // not even for a moment.
  int fd = -1;
  if (!again_while_stale([&] {
        Place p(path);
        return p.ok() &&
               (fd = openat(p.dir(), p.leaf(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | p.nofollow_open(), 0600)) >= 0;
      })) {
    *taken = errno == EEXIST;
    return nullptr;
  }
  FILE* f = fdopen(fd, "wb");
  if (f == nullptr) close(fd);
  return f;
}

bool rename_no_replace(const char* from, const char* to, bool* taken) {
  crash::Point step(crash::Step::kRename);
  *taken = false;
  const bool ok = again_while_stale([&] {
    Place a(from);
    Place b(to);
    if (!a.ok() || !b.ok()) return false;
    if (renameat2(a.dir(), a.leaf(), b.dir(), b.leaf(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without RENAME_NOREPLACE (GlusterFS through FUSE among
    // them): a hard link is made only where no entry exists, then the
    // temporary name goes.
    {
      crash::Point link_step(crash::Step::kLink);
      if (linkat(a.dir(), a.leaf(), b.dir(), b.leaf(), 0) != 0) return false;
    }
    crash::Point unlink_step(crash::Step::kRemove);
    unlinkat(a.dir(), a.leaf(), 0);
    return true;
  });
  if (!ok) *taken = errno == EEXIST;
  return ok;
}

bool write_bytes(FILE* f, const void* data, size_t len) {
  crash::Point step(crash::Step::kWrite, len > 0);
  const bool ok = len == 0 || std::fwrite(data, 1, len, f) == len;
  if (step.ends_after()) std::fflush(f);
  return ok;
}

bool touch_file(const char* path) {
  crash::Point step(crash::Step::kTouch);
  return again_while_stale([&] {
    Place p(path);
    return p.ok() && utimensat(p.dir(), p.leaf(), nullptr, p.nofollow_at()) == 0;
  });
}

namespace {

// fsync, again when a signal cuts it short.
bool fsync_fd(int fd) {
  while (fsync(fd) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

bool fsync_and_close(int fd) {
  const bool ok = fsync_fd(fd);
  close(fd);
  return ok;
}

}  // namespace

bool sync_file(FILE* f) {
  crash::Point step(crash::Step::kSync);
  return std::fflush(f) == 0 && fsync_fd(fileno(f));
}

void write_behind(FILE* f, int64_t from, int64_t len) {
#ifdef __linux__
  const int fd = fileno(f);
  sync_file_range(fd, from, len, SYNC_FILE_RANGE_WRITE);
  if (from >= len) {
    sync_file_range(fd, from - len, len,
                    SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
  }
#else
  (void)f, (void)from, (void)len;
#endif
}

bool sync_parent(const char* path) {
  crash::Point step(crash::Step::kSync);
  int fd = -1;
  if (!again_while_stale([&] {
        Place p(path);
        if (!p.ok()) return false;
        if (p.dir() != AT_FDCWD) {
          fd = openat(p.dir(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        } else {
          // Outside the tree: the path's own directory, as the system names it.
          std::string dir = p.leaf();
          const size_t slash = dir.find_last_of('/');
          dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
          fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        }
        return fd >= 0;
      })) {
    return false;
  }
  return fsync_and_close(fd);
}

bool sync_dir(const char* path) {
  crash::Point step(crash::Step::kSync);
  int fd = -1;
  if (!again_while_stale([&] {
        Place p(path);
        if (!p.ok()) return false;
        fd = openat(p.dir(), p.leaf(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | p.nofollow_open());
        return fd >= 0;
      })) {
    return false;
  }
  return fsync_and_close(fd);
}

bool stamp_of(FILE* f, FileStamp* out) {
  struct stat st;
  if (std::fflush(f) != 0 || fstat(fileno(f), &st) != 0) return false;
  out->size = static_cast<int64_t>(st.st_size);
  out->mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  out->id = static_cast<uint64_t>(st.st_ino) ^ (static_cast<uint64_t>(st.st_dev) << 40);
  return true;
}

bool send_file_range(FILE* from, int64_t offset, int64_t count, FILE* to) {
  if (std::fflush(to) != 0) return false;
  const int in = fileno(from);
  const int out = fileno(to);
  off_t at = static_cast<off_t>(offset);
  // The kernel copies straight from the page cache to a pipe or socket;
  // where it will not (an old kernel, an odd output), a plain copy.
  while (count > 0) {
    const size_t want = count > (1 << 30) ? (1 << 30) : static_cast<size_t>(count);
    const ssize_t n = sendfile(out, in, &at, want);
    if (n > 0) {
      count -= n;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || (errno != EINVAL && errno != ENOSYS)) return false;
    static char buf[1 << 16];
    while (count > 0) {
      const size_t chunk = count > static_cast<int64_t>(sizeof buf) ? sizeof buf : static_cast<size_t>(count);
      const ssize_t got = pread(in, buf, chunk, at);
      if (got <= 0) return false;
      for (ssize_t done = 0; done < got;) {
        const ssize_t w = write(out, buf + done, static_cast<size_t>(got - done));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        done += w;
      }
      at += got;
      count -= got;
    }
  }
  return true;
}

bool absolute_path(const char* path, char* out, size_t cap) {
  std::string whole;
  if (!is_sep(path[0])) {
    char cwd[kPathMax];
    if (getcwd(cwd, sizeof cwd) == nullptr) return false;
    whole = cwd;
    whole += '/';
  }
  whole += path;
  // Component by component: "." dropped, ".." takes the one before it
  // (never above the top).
  std::string result;
  size_t at = 0;
  while (at < whole.size()) {
    size_t end = at;
    while (end < whole.size() && !is_sep(whole[end])) ++end;
    const std::string part = whole.substr(at, end - at);
    if (part == "..") {
      const size_t slash = result.rfind('/');
      result.erase(slash == std::string::npos ? 0 : slash);
    } else if (!part.empty() && part != ".") {
      result += '/';
      result += part;
    }
    at = end + 1;
  }
  if (result.empty()) result.push_back('/');
  if (result.size() >= cap) return false;
  std::memcpy(out, result.c_str(), result.size() + 1);
  return true;
}

bool truncate_file(FILE* f, int64_t size) {
  crash::Point step(crash::Step::kTruncate);
  return std::fflush(f) == 0 && ftruncate(fileno(f), static_cast<off_t>(size)) == 0;
}

bool lock_file(FILE* f) {
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;  // l_start and l_len 0: the whole file, however long
  const int fd = fileno(f);
  // A lock of the open file itself (not of the process) where the system
  // has it, so nothing else the process does with the file can drop it.
  static bool have_ofd = true;
  for (;;) {
    const int rc = fcntl(fd, have_ofd ? F_OFD_SETLKW : F_SETLKW, &fl);
    if (rc == 0) return true;
    if (errno == EINTR) continue;
    if (have_ofd && errno == EINVAL) {
      have_ofd = false;
      continue;
    }
    return false;
  }
}

bool locked_elsewhere(FILE* f) {
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  const int fd = fileno(f);
  int rc = fcntl(fd, F_OFD_GETLK, &fl);
  if (rc != 0 && errno == EINVAL) {
    std::memset(&fl, 0, sizeof fl);
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    rc = fcntl(fd, F_GETLK, &fl);
  }
  return rc == 0 && fl.l_type != F_UNLCK;
}

bool try_lock_file(FILE* f, bool* busy) {
  *busy = false;
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  const int fd = fileno(f);
  int rc = fcntl(fd, F_OFD_SETLK, &fl);
  if (rc != 0 && errno == EINVAL) rc = fcntl(fd, F_SETLK, &fl);
  if (rc == 0) return true;
  *busy = errno == EAGAIN || errno == EACCES;
  return false;
}

bool same_file(FILE* f, const char* path) {
  struct stat a;
  struct stat b;
  if (fstat(fileno(f), &a) != 0) return false;
  return again_while_stale([&] {
           Place p(path);
           return p.ok() && fstatat(p.dir(), p.leaf(), &b, p.nofollow_at()) == 0;
         }) &&
         a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

void last_error_text(char* out, size_t cap) {
  if (cap == 0) return;
  const int err = errno;
  out[0] = '\0';
  if (err != 0) std::snprintf(out, cap, "%s", std::strerror(err));
}

bool last_error_is_absence() { return errno == ENOENT || errno == ENOTDIR; }

KeptError::KeptError() : saved_errno_(errno), saved_system_(0) {}

KeptError::~KeptError() { errno = saved_errno_; }

bool ownership_of(const char* path, Ownership* out) {
  struct stat st;
  if (!again_while_stale([&] {
        Place p(path);
        return p.ok() && fstatat(p.dir(), p.leaf(), &st, p.nofollow_at()) == 0;
      })) {
    return false;
  }
  out->known = true;
  out->user = static_cast<uint32_t>(st.st_uid);
  out->group = static_cast<uint32_t>(st.st_gid);
  out->mode = static_cast<uint32_t>(st.st_mode & 07777);
  return true;
}

namespace {

bool in_group(gid_t group) {
  if (getegid() == group) return true;
  gid_t groups[256];
  const int n = getgroups(256, groups);
  for (int i = 0; i < n; ++i) {
    if (groups[i] == group) return true;
  }
  return false;
}

}  // namespace

bool may_give_ownership(const Ownership& o) {
  if (!o.known) return true;
  const uid_t me = geteuid();
  return me == 0 || (me == o.user && in_group(static_cast<gid_t>(o.group)));
}

bool give_ownership(FILE* f, const Ownership& o) {
  if (!o.known) return true;
  const int fd = fileno(f);
  return fchown(fd, static_cast<uid_t>(o.user), static_cast<gid_t>(o.group)) == 0 &&
         fchmod(fd, static_cast<mode_t>(o.mode & 07777)) == 0;
}

bool give_dir_ownership(const char* path, const Ownership& o) {
  if (!o.known) return true;
  return again_while_stale([&] {
    Place p(path);
    return p.ok() &&
           fchownat(p.dir(), p.leaf(), static_cast<uid_t>(o.user), static_cast<gid_t>(o.group), p.nofollow_at()) == 0;
  });
}

void owner_name(const Ownership& o, char* out, size_t cap) {
  if (cap == 0) return;
  out[0] = '\0';
  if (!o.known) return;
  // The user database read directly: the name service switch cannot be
  // loaded into a statically linked program.
  std::snprintf(out, cap, "%u", static_cast<unsigned>(o.user));
  FILE* f = std::fopen("/etc/passwd", "re");
  if (f == nullptr) return;
  char line[1024];
  while (std::fgets(line, sizeof line, f) != nullptr) {
    char* first = std::strchr(line, ':');
    char* second = first != nullptr ? std::strchr(first + 1, ':') : nullptr;
    if (second == nullptr) continue;
    char* end = nullptr;
    const unsigned long uid = std::strtoul(second + 1, &end, 10);
    if (end == second + 1 || *end != ':' || uid != o.user) continue;
    *first = '\0';
    std::snprintf(out, cap, "%s", line);
    break;
  }
  std::fclose(f);
}

bool random_bytes(void* out, size_t n) {
  auto* p = static_cast<unsigned char*>(out);
  while (n > 0) {
    const ssize_t got = getrandom(p, n, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

int64_t now_seconds() { return static_cast<int64_t>(std::time(nullptr)); }

int64_t now_nanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

int process_id() { return static_cast<int>(getpid()); }

bool is_terminal(FILE* stream) { return isatty(fileno(stream)) == 1; }

bool set_terminal_echo(FILE* stream, bool on) {
  termios t;
  const int fd = fileno(stream);
  if (tcgetattr(fd, &t) != 0) return false;
  if (on) {
    t.c_lflag |= ECHO;
  } else {
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  }
  return tcsetattr(fd, TCSAFLUSH, &t) == 0;
}

void set_binary_mode(FILE*) {}

bool started_as_fastcgi() {
  // A listening socket has no peer; a pipe or a terminal is no socket.
  sockaddr_storage peer;
  socklen_t len = sizeof peer;
  return getpeername(0, reinterpret_cast<sockaddr*>(&peer), &len) != 0 && errno == ENOTCONN;
}

bool accept_link(Link* out) {
  // A peer that goes away without a word must not end the process.
  signal(SIGPIPE, SIG_IGN);
  for (;;) {
    const int fd = accept(0, nullptr, nullptr);
    if (fd >= 0) {
      fcntl(fd, F_SETFD, FD_CLOEXEC);
      *out = fd;
      return true;
    }
    if (errno != EINTR && errno != ECONNABORTED) return false;
  }
}

long link_read(Link link, void* buf, size_t n, int timeout_ms) {
  const int fd = static_cast<int>(link);
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, timeout_ms);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return -1;
    const ssize_t got = recv(fd, buf, n, 0);
    if (got < 0 && errno == EINTR) continue;
    return got < 0 ? -1 : static_cast<long>(got);
  }
}

bool link_write(Link link, const void* data, size_t len) {
  const char* p = static_cast<const char*>(data);
  while (len > 0) {
    const ssize_t n = send(static_cast<int>(link), p, len, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

void link_close(Link link) { close(static_cast<int>(link)); }

long read_at(FILE* f, int64_t offset, void* buf, size_t n) {
  for (;;) {
    const ssize_t got = pread(fileno(f), buf, n, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    return got < 0 ? -1 : static_cast<long>(got);
  }
}

namespace {

struct Reader {
  long (*read)(void* ctx, char* buf, size_t n);
  void* ctx;
};

ssize_t reader_read(void* cookie, char* buf, size_t n) {
  const auto* r = static_cast<Reader*>(cookie);
  const long got = r->read(r->ctx, buf, n);
  return got < 0 ? -1 : static_cast<ssize_t>(got);
}

int reader_close(void* cookie) {
  delete static_cast<Reader*>(cookie);
  return 0;
}

volatile sig_atomic_t s_stop = 0;

void on_stop(int) { s_stop = 1; }

}  // namespace

FILE* reader_stream(long (*read)(void* ctx, char* buf, size_t n), void* ctx) {
  cookie_io_functions_t io{};
  io.read = reader_read;
  io.close = reader_close;
  auto* r = new Reader{read, ctx};
  FILE* f = fopencookie(r, "rb", io);
  if (f == nullptr) delete r;
  return f;
}

int run_workers(int workers, int (*work)(void* ctx), void* ctx) {
  if (workers <= 1) return work(ctx);
  struct sigaction sa{};
  sa.sa_handler = on_stop;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  std::vector<pid_t> running;
  auto start_one = [&]() {
    const pid_t pid = fork();
    if (pid == 0) {
      signal(SIGTERM, SIG_DFL);
      signal(SIGINT, SIG_DFL);
      _exit(work(ctx));
    }
    if (pid > 0) running.push_back(pid);
  };
  for (int i = 0; i < workers; ++i) start_one();
  while (s_stop == 0) {
    int status = 0;
    const pid_t done = waitpid(-1, &status, 0);
    if (done < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (size_t i = 0; i < running.size(); ++i) {
      if (running[i] == done) running.erase(running.begin() + static_cast<long>(i));
    }
    // One that ended (its limit of requests, or a crash) is replaced; a
    // pause keeps one that cannot start from spinning.
    if (s_stop == 0) {
      if (WIFSIGNALED(status)) usleep(100000);
      start_one();
    }
  }
  for (const pid_t pid : running) kill(pid, SIGTERM);
  for (const pid_t pid : running) waitpid(pid, nullptr, 0);
  return 0;
}

namespace crash {

void end_process_now() {
  kill(getpid(), SIGKILL);
  _exit(kCrashExitCode);  // not reached
}

}  // namespace crash

}  // namespace host
