// The host layer: the one narrow interface through which the registry
// touches the operating system. One implementation file per host
// (host_posix.cpp now); nothing above this layer includes a system header
// for files, directories, time or process modes.
//
// Paths cross this interface in the registry's own form. '/' and the
// backslash both separate components; before the operating system sees a
// path the host layer writes every separator as the host's own, so a name
// holding a backslash nests exactly as it would on Windows.
#ifndef REGISTRY_PLATFORM_HOST_H
#define REGISTRY_PLATFORM_HOST_H

#include <cstdint>
#include <cstdio>

namespace host {

#if defined(_WIN32)
inline constexpr char kSep = '\\';  // the separator the system writes
#else
inline constexpr char kSep = '/';
#endif

// Both characters split paths, wherever the registry splits one.
constexpr bool is_sep(char c) { return c == '/' || c == '\\'; }

// Attributes of a path. size is the full 64-bit size for files.
struct Attributes {
  bool is_dir;
  int64_t size;
};
// false when the path does not exist or its attributes cannot be read.
bool get_attributes(const char* path, Attributes* out);

// Directory enumeration. Entries come in the file system's own order,
// "." and ".." included (callers skip them).
struct DirStream {
  void* handle = nullptr;
  char dir[4096];       // the directory's host path, for per-entry lookups
  unsigned dir_len = 0;
  char scratch[4096];   // entry path buffer
};
bool dir_open(DirStream* ds, const char* path);
// Next entry: its name (valid until the next call) and whether it is a
// directory. false at the end of the directory.
bool dir_next(DirStream* ds, const char** name, bool* is_dir);
void dir_close(DirStream* ds);

enum class MkdirResult { kCreated, kExists, kFailed };
// Creates one directory level. kExists when an entry of that name exists
// already, whatever its kind.
MkdirResult make_dir(const char* path);
bool remove_dir(const char* path);     // an empty directory only
bool remove_file(const char* path);
// Moves from over to, replacing a file that is there: the step that makes
// a fully written file visible under its final name.
bool rename_replace(const char* from, const char* to);
// The host's own rename: on POSIX it replaces a file that is there, on
// Windows it fails when the target exists.
bool rename_file(const char* from, const char* to);

// fopen with a registry path; mode as for fopen ("rb", "wb", "ab").
FILE* open_file(const char* path, const char* mode);
// Creates a new file for writing, failing when any entry of that name
// exists; *taken then tells that case from other failures.
FILE* create_new_file(const char* path, bool* taken);

int64_t now_seconds();
int process_id();

// No line-end translation on the stream (a no-op where streams never translate).
void set_binary_mode(FILE* stream);

}  // namespace host

#endif
