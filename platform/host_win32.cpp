// Win32 host: x86-64 Windows (and Wine).
//
// The registry's paths are byte strings in the ANSI code page. The host
// turns them into UTF-16 and calls the wide functions, because only those
// accept the \\?\ form that lifts the classic 260-character limit on every
// Windows, whatever the executable's manifest says about long paths.
//
// Files are opened with every sharing mode, FILE_SHARE_DELETE included, so
// that a file another process holds open can still be renamed or removed,
// as on POSIX. Below the tree root, every component of a path is looked at
// before use, and a reparse point (a symbolic link or a junction) among
// them stops the operation.
#include "host.h"

#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <time.h>
#include <winsock2.h>
#include <windows.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/crash_points.h"

namespace host {
namespace {

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

// The tree root in the registry's form with backslashes, no trailing one.
char g_root[kPathMax];
size_t g_root_len = 0;
bool g_have_root = false;

bool is_reparse(DWORD attrs) { return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_REPARSE_POINT); }

// true when path lies below the tree root and one of its components after
// the root (the last one too when with_leaf) is a reparse point.
bool crosses_link(const char* path, bool with_leaf) {
  if (!g_have_root) return false;
  char buf[kPathMax];
  const size_t n = std::strlen(path);
  if (n >= sizeof buf) return true;
  for (size_t i = 0; i <= n; ++i) buf[i] = path[i] == '/' ? '\\' : path[i];
  if (_strnicmp(buf, g_root, g_root_len) != 0 || buf[g_root_len] != '\\') return false;
  for (size_t i = g_root_len + 1; i <= n; ++i) {
    if (buf[i] != '\\' && buf[i] != '\0') continue;
    if (buf[i] == '\0' && !with_leaf) break;
    if (i == 0 || buf[i - 1] == '\\') continue;
    const char saved = buf[i];
    buf[i] = '\0';
    NativePath p(buf);
    const DWORD attrs = p.ok() ? GetFileAttributesW(p.c_str()) : INVALID_FILE_ATTRIBUTES;
    buf[i] = saved;
    if (attrs == INVALID_FILE_ATTRIBUTES) return false;  // missing: the operation fails by itself
    if (is_reparse(attrs)) return true;
  }
  return false;
}

Kind kind_of(DWORD attrs) {
  if (attrs & FILE_ATTRIBUTE_REPARSE_POINT) return Kind::kOther;
  if (attrs & FILE_ATTRIBUTE_DIRECTORY) return Kind::kDir;
  return Kind::kFile;
}

int64_t unix_seconds(FILETIME ft) {
  const uint64_t t = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return static_cast<int64_t>(t / 10000000ull) - 11644473600ll;
}

bool attributes_of(const wchar_t* wpath, Attributes* out) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(wpath, GetFileExInfoStandard, &data)) return false;
  out->kind = kind_of(data.dwFileAttributes);
  out->size = static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
  out->mtime = unix_seconds(data.ftLastWriteTime);
  out->links = 0;  // not known without opening the file
  out->change_ns = static_cast<int64_t>(((static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                                        data.ftLastWriteTime.dwLowDateTime) *
                                       100);
  out->id = 0;
  return true;
}

struct FindState {
  HANDLE handle;
  WIN32_FIND_DATAW data;
  bool pending;             // data holds an entry not yet handed out
  char name[MAX_PATH * 4];  // the entry's name in the ANSI code page
  char dir[kPathMax];       // the directory, for per-entry lookups
};

// A CRT stream over a handle opened with every sharing mode.
FILE* stream_for(HANDLE h, int crt_flags, const char* mode) {
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), crt_flags | _O_BINARY);
  if (fd < 0) {
    CloseHandle(h);
    return nullptr;
  }
  FILE* f = _fdopen(fd, mode);
  if (f == nullptr) _close(fd);
  return f;
}

HANDLE handle_of(FILE* f) { return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f))); }

bool file_id(HANDLE h, BY_HANDLE_FILE_INFORMATION* info) {
  return h != INVALID_HANDLE_VALUE && GetFileInformationByHandle(h, info) != 0;
}

}  // namespace

bool set_tree_root(const char* root) {
  g_have_root = false;
  g_root_len = 0;
  if (root == nullptr || root[0] == '\0') return true;
  size_t n = std::strlen(root);
  if (n >= sizeof g_root) return false;
  for (size_t i = 0; i <= n; ++i) g_root[i] = root[i] == '/' ? '\\' : root[i];
  while (n > 1 && g_root[n - 1] == '\\') g_root[--n] = '\0';
  NativePath p(g_root);
  const DWORD attrs = p.ok() ? GetFileAttributesW(p.c_str()) : INVALID_FILE_ATTRIBUTES;
  if (attrs == INVALID_FILE_ATTRIBUTES || !(attrs & FILE_ATTRIBUTE_DIRECTORY)) return false;
  g_root_len = n;
  g_have_root = true;
  return true;
}

bool get_attributes(const char* path, Attributes* out) {
  NativePath p(path);
  return p.ok() && !crosses_link(path, false) && attributes_of(p.c_str(), out);
}

bool dir_open(DirStream* ds, const char* path) {
  ds->handle = nullptr;
  ds->failed = false;
  const size_t n = std::strlen(path);
  if (n + 3 > kPathMax || crosses_link(path, true)) return false;
  char pattern[kPathMax];
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
  std::memcpy(st->dir, path, n + 1);
  st->pending = true;
  ds->handle = st;
  return true;
}

bool dir_next(DirStream* ds, const char** name, Kind* kind) {
  FindState* st = static_cast<FindState*>(ds->handle);
  if (st == nullptr) return false;
  for (;;) {
    if (!st->pending && !FindNextFileW(st->handle, &st->data)) {
      ds->failed = GetLastError() != ERROR_NO_MORE_FILES;
      return false;
    }
    st->pending = false;
    const int n = WideCharToMultiByte(CP_ACP, 0, st->data.cFileName, -1, st->name, sizeof st->name, nullptr, nullptr);
    if (n > 0) break;  // a name that does not fit is passed over
  }
  *name = st->name;
  *kind = kind_of(st->data.dwFileAttributes);
  return true;
}

bool dir_failed(const DirStream* ds) { return ds->failed; }

bool dir_entry_attributes(DirStream* ds, const char* name, Attributes* out) {
  FindState* st = static_cast<FindState*>(ds->handle);
  if (st == nullptr) return false;
  char path[kPathMax];
  const size_t a = std::strlen(st->dir);
  const size_t b = std::strlen(name);
  if (a + 1 + b >= sizeof path) return false;
  std::memcpy(path, st->dir, a);
  path[a] = '\\';
  std::memcpy(path + a + 1, name, b + 1);
  NativePath p(path);
  return p.ok() && attributes_of(p.c_str(), out);
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
  crash::Point step(crash::Step::kMkdir);
  NativePath p(path);
  if (!p.ok() || crosses_link(path, false)) return MkdirResult::kFailed;
  if (CreateDirectoryW(p.c_str(), nullptr)) return MkdirResult::kCreated;
  return GetLastError() == ERROR_ALREADY_EXISTS ? MkdirResult::kExists : MkdirResult::kFailed;
}

bool remove_dir(const char* path) {
  crash::Point step(crash::Step::kRemove);
  NativePath p(path);
  return p.ok() && !crosses_link(path, false) && RemoveDirectoryW(p.c_str()) != 0;
}

bool remove_file(const char* path) {
  crash::Point step(crash::Step::kRemove);
  NativePath p(path);
  return p.ok() && !crosses_link(path, false) && DeleteFileW(p.c_str()) != 0;
}

bool rename_file(const char* from, const char* to) {
  crash::Point step(crash::Step::kRename);
  NativePath a(from);
  NativePath b(to);
  // As rename does here: fails when the target exists.
  return a.ok() && b.ok() && !crosses_link(from, false) && !crosses_link(to, false) &&
         MoveFileExW(a.c_str(), b.c_str(), 0) != 0;
}

bool rename_replace(const char* from, const char* to) {
  crash::Point step(crash::Step::kRename);
  NativePath a(from);
  NativePath b(to);
  return a.ok() && b.ok() && !crosses_link(from, false) && !crosses_link(to, false) &&
         MoveFileExW(a.c_str(), b.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

FILE* open_file(const char* path, const char* mode) {
  DWORD access = 0;
  DWORD disposition = 0;
  int crt = 0;
  if (std::strcmp(mode, "rb") == 0) {
    access = GENERIC_READ, disposition = OPEN_EXISTING, crt = _O_RDONLY;
  } else if (std::strcmp(mode, "wb") == 0) {
    access = GENERIC_WRITE, disposition = CREATE_ALWAYS, crt = _O_WRONLY;
  } else if (std::strcmp(mode, "ab") == 0) {
    access = GENERIC_WRITE, disposition = OPEN_ALWAYS, crt = _O_WRONLY | _O_APPEND;
  } else if (std::strcmp(mode, "r+b") == 0) {
    access = GENERIC_READ | GENERIC_WRITE, disposition = OPEN_EXISTING, crt = _O_RDWR;
  } else {
    return nullptr;
  }
  crash::Point step(crash::Step::kCreate, disposition != OPEN_EXISTING);
  NativePath p(path);
  if (!p.ok() || crosses_link(path, true)) return nullptr;
  HANDLE h = CreateFileW(p.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  BY_HANDLE_FILE_INFORMATION info;
  if (!file_id(h, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
      GetFileType(h) != FILE_TYPE_DISK) {
    CloseHandle(h);
    return nullptr;
  }
  FILE* f = stream_for(h, crt, mode);
  if (f != nullptr && (crt & _O_APPEND)) std::fseek(f, 0, SEEK_END);
  return f;
}

FILE* create_new_file(const char* path, bool* taken) {
  crash::Point step(crash::Step::kCreate);
  *taken = false;
  NativePath p(path);
  if (!p.ok() || crosses_link(path, false)) return nullptr;
  HANDLE h = CreateFileW(p.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD err = GetLastError();
    *taken = err == ERROR_FILE_EXISTS || err == ERROR_ALREADY_EXISTS;
    return nullptr;
  }
  return stream_for(h, _O_WRONLY, "wb");
}

namespace {

// The functions of ADVAPI32 that an owner-only access list needs, looked
// up at run time so that the program keeps importing KERNEL32 and the C
// runtime only.
struct Advapi {
  using OpenProcessTokenFn = BOOL(WINAPI*)(HANDLE, DWORD, PHANDLE);
  using GetTokenInformationFn = BOOL(WINAPI*)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD);
  using GetLengthSidFn = DWORD(WINAPI*)(PSID);
  using InitializeAclFn = BOOL(WINAPI*)(PACL, DWORD, DWORD);
  using AddAccessAllowedAceFn = BOOL(WINAPI*)(PACL, DWORD, DWORD, PSID);
  using InitializeSecurityDescriptorFn = BOOL(WINAPI*)(PSECURITY_DESCRIPTOR, DWORD);
  using SetSecurityDescriptorDaclFn = BOOL(WINAPI*)(PSECURITY_DESCRIPTOR, BOOL, PACL, BOOL);
  using SetSecurityDescriptorControlFn = BOOL(WINAPI*)(PSECURITY_DESCRIPTOR, SECURITY_DESCRIPTOR_CONTROL,
                                                       SECURITY_DESCRIPTOR_CONTROL);
  OpenProcessTokenFn open_process_token = nullptr;
  GetTokenInformationFn get_token_information = nullptr;
  GetLengthSidFn get_length_sid = nullptr;
  InitializeAclFn initialize_acl = nullptr;
  AddAccessAllowedAceFn add_access_allowed_ace = nullptr;
  InitializeSecurityDescriptorFn initialize_security_descriptor = nullptr;
  SetSecurityDescriptorDaclFn set_security_descriptor_dacl = nullptr;
  SetSecurityDescriptorControlFn set_security_descriptor_control = nullptr;

  bool load() {
    HMODULE m = LoadLibraryW(L"advapi32.dll");
    if (m == nullptr) return false;
    auto get = [m](const char* name) { return reinterpret_cast<void*>(GetProcAddress(m, name)); };
    open_process_token = reinterpret_cast<OpenProcessTokenFn>(get("OpenProcessToken"));
    get_token_information = reinterpret_cast<GetTokenInformationFn>(get("GetTokenInformation"));
    get_length_sid = reinterpret_cast<GetLengthSidFn>(get("GetLengthSid"));
    initialize_acl = reinterpret_cast<InitializeAclFn>(get("InitializeAcl"));
    add_access_allowed_ace = reinterpret_cast<AddAccessAllowedAceFn>(get("AddAccessAllowedAce"));
    initialize_security_descriptor =
        reinterpret_cast<InitializeSecurityDescriptorFn>(get("InitializeSecurityDescriptor"));
    set_security_descriptor_dacl = reinterpret_cast<SetSecurityDescriptorDaclFn>(get("SetSecurityDescriptorDacl"));
    set_security_descriptor_control =
        reinterpret_cast<SetSecurityDescriptorControlFn>(get("SetSecurityDescriptorControl"));
    return open_process_token && get_token_information && get_length_sid && initialize_acl &&
           add_access_allowed_ace && initialize_security_descriptor && set_security_descriptor_dacl &&
           set_security_descriptor_control;
  }
};

// A security descriptor whose access list grants the process's user, and
// nobody else, full control, and inherits nothing from the directory.
class OwnerOnly {
 public:
  bool build() {
    Advapi api;
    if (!api.load()) return false;
    HANDLE token = nullptr;
    if (!api.open_process_token(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    DWORD n = 0;
    const BOOL got = api.get_token_information(token, TokenUser, user_, sizeof user_, &n);
    CloseHandle(token);
    if (!got) return false;
    PSID sid = reinterpret_cast<TOKEN_USER*>(user_)->User.Sid;
    const DWORD acl_size = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + api.get_length_sid(sid);
    if (acl_size > sizeof acl_) return false;
    PACL acl = reinterpret_cast<PACL>(acl_);
    return api.initialize_acl(acl, acl_size, ACL_REVISION) &&
           api.add_access_allowed_ace(acl, ACL_REVISION, FILE_ALL_ACCESS, sid) &&
           api.initialize_security_descriptor(&sd_, SECURITY_DESCRIPTOR_REVISION) &&
           api.set_security_descriptor_dacl(&sd_, TRUE, acl, FALSE) &&
           api.set_security_descriptor_control(&sd_, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
  }
  SECURITY_ATTRIBUTES* attributes() {
    sa_.nLength = sizeof sa_;
    sa_.lpSecurityDescriptor = &sd_;
    sa_.bInheritHandle = FALSE;
    return &sa_;
  }

 private:
  alignas(8) unsigned char user_[256] = {};
  alignas(8) unsigned char acl_[256] = {};
  SECURITY_DESCRIPTOR sd_ = {};
  SECURITY_ATTRIBUTES sa_ = {};
};

}  // namespace

FILE* create_private_file(const char* path, bool* taken) {
  crash::Point step(crash::Step::kCreate);
  *taken = false;
  NativePath p(path);
  if (!p.ok() || crosses_link(path, false)) return nullptr;
  OwnerOnly security;
  if (!security.build()) return nullptr;  // never a secret readable by others
  HANDLE h = CreateFileW(p.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         security.attributes(), CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD err = GetLastError();
    *taken = err == ERROR_FILE_EXISTS || err == ERROR_ALREADY_EXISTS;
    return nullptr;
  }
  return stream_for(h, _O_WRONLY, "wb");
}

bool rename_no_replace(const char* from, const char* to, bool* taken) {
  crash::Point step(crash::Step::kRename);
  *taken = false;
  NativePath a(from);
  NativePath b(to);
  if (!a.ok() || !b.ok() || crosses_link(from, false) || crosses_link(to, false)) return false;
  if (MoveFileExW(a.c_str(), b.c_str(), 0) != 0) return true;
  const DWORD err = GetLastError();
  *taken = err == ERROR_FILE_EXISTS || err == ERROR_ALREADY_EXISTS;
  return false;
}

bool write_bytes(FILE* f, const void* data, size_t len) {
  crash::Point step(crash::Step::kWrite, len > 0);
  const bool ok = len == 0 || std::fwrite(data, 1, len, f) == len;
  if (step.ends_after()) std::fflush(f);
  return ok;
}

bool touch_file(const char* path) {
  crash::Point step(crash::Step::kTouch);
  NativePath p(path);
  if (!p.ok() || crosses_link(path, true)) return false;
  HANDLE h = CreateFileW(p.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const bool ok = SetFileTime(h, nullptr, nullptr, &now) != 0;
  CloseHandle(h);
  return ok;
}

bool sync_file(FILE* f) {
  crash::Point step(crash::Step::kSync);
  return std::fflush(f) == 0 && FlushFileBuffers(handle_of(f)) != 0;
}

// Windows writes a file's cached bytes behind on its own; there is no call
// that starts it for a range.
void write_behind(FILE*, int64_t, int64_t) {}

bool sync_parent(const char* path) {
  std::string dir = path;
  size_t cut = dir.size();
  while (cut > 0 && !is_sep(dir[cut - 1])) --cut;
  while (cut > 1 && is_sep(dir[cut - 1])) --cut;
  dir.resize(cut == 0 ? 0 : cut);
  if (dir.empty()) dir = ".";
  return sync_dir(dir.c_str());
}

bool sync_dir(const char* dir) {
  crash::Point step(crash::Step::kSync);
  // NTFS writes its metadata through its journal; a directory handle
  // opened for writing flushes it where the volume allows.
  NativePath p(dir);
  if (!p.ok()) return false;
  HANDLE h = CreateFileW(p.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return true;  // not allowed here: the journal has it
  FlushFileBuffers(h);
  CloseHandle(h);
  return true;
}

bool stamp_of(FILE* f, FileStamp* out) {
  if (std::fflush(f) != 0) return false;
  BY_HANDLE_FILE_INFORMATION info;
  if (!file_id(handle_of(f), &info)) return false;
  out->size = (static_cast<int64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  const uint64_t t = (static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                     info.ftLastWriteTime.dwLowDateTime;
  out->mtime_ns = static_cast<int64_t>(t * 100);
  out->id = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

bool send_file_range(FILE* from, int64_t offset, int64_t count, FILE* to) {
  if (std::fflush(to) != 0 || _fseeki64(from, offset, SEEK_SET) != 0) return false;
  static char buf[1 << 16];
  while (count > 0) {
    const size_t want = count > static_cast<int64_t>(sizeof buf) ? sizeof buf : static_cast<size_t>(count);
    const size_t got = std::fread(buf, 1, want, from);
    if (got == 0 || std::fwrite(buf, 1, got, to) != got) return false;
    count -= static_cast<int64_t>(got);
  }
  return std::fflush(to) == 0;
}

bool absolute_path(const char* path, char* out, size_t cap) {
  // The system resolves "." and ".." by name and writes backslashes.
  std::string plain(path);
  for (char& c : plain) {
    if (c == '/') c = '\\';
  }
  const DWORD n = GetFullPathNameA(plain.c_str(), static_cast<DWORD>(cap), out, nullptr);
  return n > 0 && n < cap;
}

bool truncate_file(FILE* f, int64_t size) {
  crash::Point step(crash::Step::kTruncate);
  return std::fflush(f) == 0 && _chsize_s(_fileno(f), size) == 0;
}

bool lock_file(FILE* f) {
  HANDLE h = handle_of(f);
  OVERLAPPED ov;
  std::memset(&ov, 0, sizeof ov);
  return h != INVALID_HANDLE_VALUE && LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &ov) != 0;
}

bool try_lock_file(FILE* f, bool* busy) {
  *busy = false;
  HANDLE h = handle_of(f);
  OVERLAPPED ov;
  std::memset(&ov, 0, sizeof ov);
  if (h == INVALID_HANDLE_VALUE) return false;
  if (LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &ov) != 0) return true;
  *busy = GetLastError() == ERROR_LOCK_VIOLATION;
  return false;
}

bool locked_elsewhere(FILE* f) {
  bool busy = false;
  if (!try_lock_file(f, &busy)) return busy;
  HANDLE h = handle_of(f);
  OVERLAPPED ov;
  std::memset(&ov, 0, sizeof ov);
  UnlockFileEx(h, 0, MAXDWORD, MAXDWORD, &ov);
  return false;
}

bool same_file(FILE* f, const char* path) {
  NativePath p(path);
  if (!p.ok() || crosses_link(path, false)) return false;
  BY_HANDLE_FILE_INFORMATION a;
  if (!file_id(handle_of(f), &a)) return false;
  HANDLE h = CreateFileW(p.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION b;
  const bool ok = file_id(h, &b);
  CloseHandle(h);
  return ok && a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

void last_error_text(char* out, size_t cap) {
  if (cap == 0) return;
  out[0] = '\0';
  const DWORD err = GetLastError();
  if (err == 0) return;
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, err, 0, out,
                                 static_cast<DWORD>(cap), nullptr);
  if (n == 0) {
    std::snprintf(out, cap, "error %lu", static_cast<unsigned long>(err));
    return;
  }
  size_t len = n < cap ? n : cap - 1;
  while (len > 0 && (out[len - 1] == '\r' || out[len - 1] == '\n' || out[len - 1] == '.')) --len;
  out[len] = '\0';
}

bool last_error_is_absence() {
  const DWORD err = GetLastError();
  return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND;
}

KeptError::KeptError() : saved_errno_(errno), saved_system_(GetLastError()) {}

KeptError::~KeptError() {
  errno = saved_errno_;
  SetLastError(static_cast<DWORD>(saved_system_));
}

// Owners live in access lists here, which a new file takes from its
// directory (a private file gets one naming its owner alone): nothing to
// look up and nothing to give.
bool ownership_of(const char* path, Ownership* out) {
  Attributes a;
  if (!get_attributes(path, &a)) return false;
  *out = Ownership{};
  return true;
}

bool may_give_ownership(const Ownership&) { return true; }

bool give_ownership(FILE*, const Ownership&) { return true; }

bool give_dir_ownership(const char*, const Ownership&) { return true; }

void owner_name(const Ownership&, char* out, size_t cap) {
  if (cap > 0) out[0] = '\0';
}

bool random_bytes(void* out, size_t n) {
  // BCryptGenRandom, looked up at run time so that the program keeps
  // importing KERNEL32 and the C runtime only.
  using GenRandom = LONG(WINAPI*)(void*, unsigned char*, ULONG, ULONG);
  static GenRandom gen = nullptr;
  if (gen == nullptr) {
    HMODULE m = LoadLibraryW(L"bcrypt.dll");
    if (m == nullptr) return false;
    gen = reinterpret_cast<GenRandom>(reinterpret_cast<void*>(GetProcAddress(m, "BCryptGenRandom")));
    if (gen == nullptr) return false;
  }
  constexpr ULONG kSystemPreferredRng = 0x00000002;  // BCRYPT_USE_SYSTEM_PREFERRED_RNG
  return gen(nullptr, static_cast<unsigned char*>(out), static_cast<ULONG>(n), kSystemPreferredRng) == 0;
}

int64_t now_seconds() { return static_cast<int64_t>(_time64(nullptr)); }

int64_t now_nanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

int process_id() { return _getpid(); }

bool is_terminal(FILE* stream) { return _isatty(_fileno(stream)) != 0; }

bool set_terminal_echo(FILE* stream, bool on) {
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  DWORD mode = 0;
  if (h == INVALID_HANDLE_VALUE || !GetConsoleMode(h, &mode)) return false;
  mode = on ? (mode | ENABLE_ECHO_INPUT) : (mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
  return SetConsoleMode(h, mode) != 0;
}

void set_binary_mode(FILE* stream) { _setmode(_fileno(stream), 0x8000); }

namespace {

// The listener the server gave as standard input, and its kind.
HANDLE s_listener = INVALID_HANDLE_VALUE;
bool s_listener_is_pipe = false;

// Winsock, loaded only where the listener is a socket: a program that
// serves CGI, or FastCGI over IIS's pipe, loads nothing but what it
// always does.
struct Winsock {
  int(WSAAPI* startup)(WORD, LPWSADATA);
  SOCKET(WSAAPI* accept)(SOCKET, sockaddr*, int*);
  int(WSAAPI* recv)(SOCKET, char*, int, int);
  int(WSAAPI* send)(SOCKET, const char*, int, int);
  int(WSAAPI* select)(int, fd_set*, fd_set*, fd_set*, const timeval*);
  int(WSAAPI* closesocket)(SOCKET);
};
Winsock s_ws{};

template <typename F>
bool load(HMODULE m, const char* name, F* out) {
  *out = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(m, name)));
  return *out != nullptr;
}

bool load_winsock() {
  HMODULE m = LoadLibraryW(L"ws2_32.dll");
  if (m == nullptr) return false;
  WSADATA wsa;
  return load(m, "WSAStartup", &s_ws.startup) && load(m, "accept", &s_ws.accept) && load(m, "recv", &s_ws.recv) &&
         load(m, "send", &s_ws.send) && load(m, "select", &s_ws.select) &&
         load(m, "closesocket", &s_ws.closesocket) && s_ws.startup(MAKEWORD(2, 2), &wsa) == 0;
}

// A connection: the pipe itself (one instance, connected and disconnected
// in turn), or a socket accepted on the listener.
struct LinkState {
  bool pipe;
  HANDLE handle;
  SOCKET socket;
};

}  // namespace

bool started_as_fastcgi() {
  // As the FastCGI developer's kit and IIS agree: standard output and
  // error closed, standard input the listener (a named pipe, or a socket).
  // (A handle given as invalid may reach the program as null.)
  const auto closed = [](HANDLE h) { return h == INVALID_HANDLE_VALUE || h == nullptr; };
  if (!closed(GetStdHandle(STD_OUTPUT_HANDLE)) || !closed(GetStdHandle(STD_ERROR_HANDLE))) return false;
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  if (in == INVALID_HANDLE_VALUE || in == nullptr) return false;
  DWORD mode = PIPE_READMODE_BYTE | PIPE_WAIT;
  s_listener = in;
  s_listener_is_pipe = SetNamedPipeHandleState(in, &mode, nullptr, nullptr) != 0;
  return s_listener_is_pipe || load_winsock();
}

bool accept_link(Link* out) {
  if (s_listener == INVALID_HANDLE_VALUE) return false;
  auto* state = new LinkState{s_listener_is_pipe, s_listener, INVALID_SOCKET};
  if (s_listener_is_pipe) {
    if (!ConnectNamedPipe(s_listener, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
      delete state;
      return false;
    }
  } else {
    state->socket = s_ws.accept(reinterpret_cast<SOCKET>(s_listener), nullptr, nullptr);
    if (state->socket == INVALID_SOCKET) {
      delete state;
      return false;
    }
  }
  *out = reinterpret_cast<Link>(state);
  return true;
}

long link_read(Link link, void* buf, size_t n, int timeout_ms) {
  auto* state = reinterpret_cast<LinkState*>(link);
  const DWORD want = n > 0x7fffffff ? 0x7fffffff : static_cast<DWORD>(n);
  if (state->pipe) {
    // A synchronous pipe has no read with a time limit: look until bytes
    // are there, the other end is gone, or the time is up.
    const ULONGLONG until = timeout_ms < 0 ? 0 : GetTickCount64() + static_cast<ULONGLONG>(timeout_ms);
    for (;;) {
      DWORD avail = 0;
      if (!PeekNamedPipe(state->handle, nullptr, 0, nullptr, &avail, nullptr)) {
        return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
      }
      if (avail > 0) break;
      if (timeout_ms >= 0 && GetTickCount64() >= until) return -1;
      Sleep(1);
    }
    DWORD got = 0;
    if (!ReadFile(state->handle, buf, want, &got, nullptr)) return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
    return static_cast<long>(got);
  }
  if (timeout_ms >= 0) {
    fd_set readable;
    readable.fd_count = 1;
    readable.fd_array[0] = state->socket;
    timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    if (s_ws.select(0, &readable, nullptr, nullptr, &tv) <= 0) return -1;
  }
  const int got = s_ws.recv(state->socket, static_cast<char*>(buf), static_cast<int>(want > 0x40000000 ? 0x40000000 : want), 0);
  return got < 0 ? -1 : static_cast<long>(got);
}

bool link_write(Link link, const void* data, size_t len) {
  auto* state = reinterpret_cast<LinkState*>(link);
  const char* p = static_cast<const char*>(data);
  while (len > 0) {
    const DWORD chunk = len > 0x40000000 ? 0x40000000 : static_cast<DWORD>(len);
    DWORD put = 0;
    if (state->pipe) {
      if (!WriteFile(state->handle, p, chunk, &put, nullptr) || put == 0) return false;
    } else {
      const int n = s_ws.send(state->socket, p, static_cast<int>(chunk), 0);
      if (n <= 0) return false;
      put = static_cast<DWORD>(n);
    }
    p += put;
    len -= put;
  }
  return true;
}

void link_close(Link link) {
  auto* state = reinterpret_cast<LinkState*>(link);
  if (state->pipe) {
    FlushFileBuffers(state->handle);
    DisconnectNamedPipe(state->handle);
  } else {
    s_ws.closesocket(state->socket);
  }
  delete state;
}

long read_at(FILE* f, int64_t offset, void* buf, size_t n) {
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)));
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset & 0xffffffff);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD got = 0;
  const DWORD want = n > 0x40000000 ? 0x40000000 : static_cast<DWORD>(n);
  if (!ReadFile(h, buf, want, &got, &at)) return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
  return static_cast<long>(got);
}

FILE* reader_stream(long (*read)(void* ctx, char* buf, size_t n), void* ctx) {
  // No stream of one's own reads here: the bytes go to a temporary file
  // that goes away when the stream is closed.
  FILE* f = std::tmpfile();
  if (f == nullptr) return nullptr;
  static char buf[1 << 16];
  for (;;) {
    const long got = read(ctx, buf, sizeof buf);
    if (got < 0) {
      std::fclose(f);
      return nullptr;
    }
    if (got == 0) break;
    if (std::fwrite(buf, 1, static_cast<size_t>(got), f) != static_cast<size_t>(got)) {
      std::fclose(f);
      return nullptr;
    }
  }
  std::rewind(f);
  return f;
}

int run_workers(int, int (*work)(void* ctx), void* ctx) { return work(ctx); }

namespace crash {

void end_process_now() {
  TerminateProcess(GetCurrentProcess(), kCrashExitCode);
  ExitProcess(kCrashExitCode);  // not reached
}

}  // namespace crash

}  // namespace host
