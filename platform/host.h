// The host layer: the one narrow interface through which the registry
// touches the operating system. One implementation file per host
// (host_posix.cpp, host_win32.cpp); nothing above this layer includes a
// system header for files, directories, time, randomness or process modes.
//
// Paths cross this interface in the registry's own form. '/' and the
// backslash both separate components; before the operating system sees a
// path the host layer writes every separator as the host's own, so a name
// holding a backslash nests exactly as it would on Windows.
//
// Below the tree root (set_tree_root) no symbolic link, junction or other
// reparse point is ever followed: an operation on a path that would pass
// through one fails as if the path did not exist, and listings and
// attributes report such an entry as kOther. The root itself may be a link.
//
// The tree may live on a file system that several machines share. When
// such a file system says that what a name led to went stale (another
// client replaced or removed it between the lookup and the use: ESTALE),
// an operation on a path looks the whole path up again, a few times,
// before it fails; a reader therefore finds a file that another machine
// renames over, old or new, as it would on a local disk.
//
// Crash points, for the tests that stop an operation at each of its steps
// in turn and look at what it left: every call below that changes the
// tree is a step (a file created, written, flushed, cut short, renamed,
// linked, touched or removed; a directory made, removed or flushed). With
// REGISTRY_CRASH_AT=<n> in its environment, a process ends at its nth step,
// before that step takes effect, as a kill would: nothing buffered is
// flushed and no handler runs (SIGKILL on POSIX, TerminateProcess with
// kCrashExitCode on Windows). "<n>:after" ends it once the nth step has
// taken effect (the bytes of a write are then in the file, and its flush
// is not done); "<n>:<kinds>" and "<n>:after:<kinds>" count only the steps
// of those kinds, comma-separated: create, write, sync, rename, link,
// remove, mkdir, truncate, touch. The variable is read once, at the first
// step; unset or malformed, it arms nothing, and a step costs one test.
#ifndef REGISTRY_PLATFORM_HOST_H
#define REGISTRY_PLATFORM_HOST_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace host {

#if defined(_WIN32)
inline constexpr char kSep = '\\';  // the separator the system writes
#else
inline constexpr char kSep = '/';
#endif

// The exit status of a process ended at a crash point where the host has
// no signals to end it with (Windows): 128 + SIGKILL, as shells report a kill.
inline constexpr int kCrashExitCode = 137;

// The room of every path buffer, its NUL included: a path of the tree is
// at most kPathMax - 1 bytes, and one that would be longer is refused by
// the host layer rather than cut.
inline constexpr size_t kPathMax = 4096;

// Both characters split paths, wherever the registry splits one.
constexpr bool is_sep(char c) { return c == '/' || c == '\\'; }

// The directory below which links are never followed; null or empty for
// none. false (and no tree root) when the directory cannot be opened.
bool set_tree_root(const char* root);

enum class Kind : uint8_t { kFile, kDir, kOther };

// Attributes of a path, the path itself (a link is kOther, never what it
// names). size is the full 64-bit size of a file; links counts the hard
// links, which for a directory on most local file systems is 2 plus its
// subdirectories, and 0 or 1 where the file system does not count them.
struct Attributes {
  Kind kind;
  int64_t size;
  int64_t mtime;  // seconds since 1970
  uint32_t links;
  // What changes whenever the file does, its permissions included, or
  // another takes its name: the time of its latest change in nanoseconds
  // (status change on POSIX, last write on Windows), and its identity (the
  // inode; 0 where the system tells none without opening it).
  int64_t change_ns;
  uint64_t id;
};
// false when the path does not exist or its attributes cannot be read.
bool get_attributes(const char* path, Attributes* out);

// Directory enumeration. Entries come in the file system's own order,
// "." and ".." included (callers skip them).
struct DirStream {
  void* handle = nullptr;
  bool failed = false;  // the enumeration ended with a read error
};
bool dir_open(DirStream* ds, const char* path);
// Next entry: its name (valid until the next call) and its kind. false at
// the end of the directory or when reading it fails (see dir_failed).
bool dir_next(DirStream* ds, const char** name, Kind* kind);
// true when the enumeration ended with a read error rather than at the end.
bool dir_failed(const DirStream* ds);
// Attributes of an entry of the open directory, as get_attributes.
bool dir_entry_attributes(DirStream* ds, const char* name, Attributes* out);
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

// Opens a regular file with a registry path: "rb" (read), "wb" (create or
// truncate), "ab" (append, created when missing), "r+b" (read and write an
// existing file, never created). Anything but a regular file is refused.
// Files stay renamable and removable while open, on every host.
FILE* open_file(const char* path, const char* mode);
// Creates a new file for writing, failing when any entry of that name
// exists; *taken then tells that case from other failures.
FILE* create_new_file(const char* path, bool* taken);

// Creates a new file for writing that only its owner, the current user,
// may read or write (mode 0600 on POSIX; on Windows a protected access
// list that names the owner alone), failing when any entry of that name
// exists (*taken). For secrets: nobody else sees the bytes, not even for
// the moment between creation and a change of permissions.
FILE* create_private_file(const char* path, bool* taken);
// Moves from over to only when no entry named to exists; otherwise false
// with *taken set and from left in place. The first of several processes
// that publish the same file wins, and the others read what it wrote.
bool rename_no_replace(const char* from, const char* to, bool* taken);

// Writes len bytes to the open file through its stream's buffer: false
// when not all of them went. Every byte the registry writes into the tree
// goes through here, so that each write is a crash point.
bool write_bytes(FILE* f, const void* data, size_t len);

// Sets the file's modification time to now; false when it cannot.
bool touch_file(const char* path);

// Puts the file's bytes on stable storage (its buffered writes flushed
// first): false when the system says it could not.
bool sync_file(FILE* f);
// Writing behind a long write, so that its flush finds little left to do:
// starts the system writing bytes [from, from + len) of the file (written
// unbuffered, or flushed) to the disk without waiting, and waits for the
// len bytes before from, which the previous call started. The bytes not
// yet on their way to the disk stay under two windows however long the
// write. A hint: it promises nothing sync_file does not, and where the
// system has no such call it does nothing.
void write_behind(FILE* f, int64_t from, int64_t len);
// Puts the directory that holds path on stable storage, so that a rename
// or a creation in it survives a power cut.
bool sync_parent(const char* path);
// Puts the directory itself (what it lists) on stable storage.
bool sync_dir(const char* path);

// What identifies an open file's content as it is now: its size, its
// modification time in nanoseconds and the file's identity on its volume.
// Any write changes size or time; another file has another identity.
struct FileStamp {
  int64_t size;
  int64_t mtime_ns;
  uint64_t id;
};
bool stamp_of(FILE* f, FileStamp* out);

// Sends count bytes of from, starting at offset, to the stream to (its
// buffered bytes flushed first), through the system's zero-copy path where
// it has one; false when not all of them went.
bool send_file_range(FILE* from, int64_t offset, int64_t count, FILE* to);

// The path made absolute against the working directory, with its "." and
// ".." components and doubled separators resolved by name alone (links
// are not looked at), in the host's own separators: how another process
// (a web server) can find the same file. false when it does not fit cap.
bool absolute_path(const char* path, char* out, size_t cap);

// Cuts the open file to size bytes (its buffered writes flushed first).
bool truncate_file(FILE* f, int64_t size);

// Takes an exclusive lock on the whole file, waiting while another process
// holds it. The lock goes when the file is closed or the process ends,
// however it ends. A process takes at most one lock per file.
bool lock_file(FILE* f);
// The same without waiting: false, with *busy set, when another process
// holds the lock.
bool try_lock_file(FILE* f, bool* busy);
// Whether another process holds the lock of lock_file on f, without taking
// it (where the system allows a look; elsewhere taken and given back at
// once).
bool locked_elsewhere(FILE* f);
// true while path names the very file that f has open.
bool same_file(FILE* f, const char* path);

// The system's text for the error of the latest failed call (errno, or
// GetLastError on Windows), cut to fit cap; empty when there is none.
void last_error_text(char* out, size_t cap);

// what, then ": " and the system's text for the latest failed call
// ("cannot read /x: Permission denied"); what alone when the system has
// none. Called right after the call that failed.
inline std::string with_last_error(const std::string& what) {
  char text[256];
  last_error_text(text, sizeof text);
  return text[0] != '\0' ? what + ": " + text : what;
}

// true when the latest failed call found nothing at its path (no such
// entry, or a directory on the way missing or no directory): an absence,
// as opposed to something that is there and cannot be used.
bool last_error_is_absence();

// Keeps the error of the latest failed call while the calls made after it
// run (a second look after a failure), and puts it back when it goes, so
// that a failure is reported as what it was, not as what the look met.
class KeptError {
 public:
  KeptError();
  ~KeptError();
  KeptError(const KeptError&) = delete;
  KeptError& operator=(const KeptError&) = delete;

 private:
  int saved_errno_;
  [[maybe_unused]] unsigned long saved_system_;  // the system's own error code where it has one (Windows)
};

// Who owns a file or directory, and its permission bits: what a file
// written anew in its place must keep so that the users who could read it
// still can (the web server's user, when an operator's tool runs as
// root). Windows keeps these in access lists, which a new file takes from
// its directory: there nothing is known (known false) and nothing is kept.
struct Ownership {
  bool known = false;
  uint32_t user = 0;
  uint32_t group = 0;
  uint32_t mode = 0;  // permission bits
};
// false when the path cannot be looked at.
bool ownership_of(const char* path, Ownership* out);
// Whether this process can give its files that owner and group: it may
// give files away (root), or is that user and a member of that group.
// true where nothing is known.
bool may_give_ownership(const Ownership& o);
// Gives the open file the owner, the group and the permission bits.
bool give_ownership(FILE* f, const Ownership& o);
// Gives the directory the owner and the group; its permission bits stay.
bool give_dir_ownership(const char* path, const Ownership& o);
// The owner's user name ("www-data"), or its number where the system has
// no name for it; empty where nothing is known.
void owner_name(const Ownership& o, char* out, size_t cap);

// n bytes from the system's cryptographic random source.
bool random_bytes(void* out, size_t n);

// Passwords through the system's crypt library (libxcrypt; on Windows,
// which has none, the same library built from Debian's source): bcrypt
// hashes as htpasswd -B writes them ("$2y$..."), never a crypt of our own.
// bcrypt reads a password as a C string and at most 72 bytes of it, so a
// password that holds a NUL byte, or more than kPasswordMax bytes, would
// be cut short: both functions refuse such a password (false) without
// hashing it, whatever the rest of it is.
inline constexpr size_t kPasswordMax = 72;
bool password_fits_bcrypt(std::string_view password);
// true when password hashes, with the salt and cost that hash names, to
// hash itself; false for any other password and for a malformed hash.
// hash may be a bare setting, "$2y$<cost>$<22 salt characters>": then the
// full work of that cost is done and the answer is false.
bool check_password(std::string_view password, const char* hash);
// A new bcrypt hash of password, "$2y$<cost>$<salt and hash>" (cost 4 to
// 31), with a salt from the system's random source, into out (cap bytes).
bool hash_password(std::string_view password, int cost, char* out, size_t cap);

int64_t now_seconds();
// Nanoseconds since 1970 by the system's clock (its resolution may be
// coarser): what orders records written one after another.
int64_t now_nanoseconds();
int process_id();

// true when the stream is a terminal (a person is watching).
bool is_terminal(FILE* stream);

// Turns the echo of typed characters on or off on a terminal stream (a
// password prompt); false when the stream is no terminal.
bool set_terminal_echo(FILE* stream, bool on);

// No line-end translation on the stream (a no-op where streams never translate).
void set_binary_mode(FILE* stream);

// ---- A FastCGI application's side of the web server ----------------------

// Whether the program was started as a FastCGI application: standard
// input is a listening socket (POSIX), or, on Windows, standard output and
// error are closed and standard input is the listening pipe or socket.
bool started_as_fastcgi();

// One connection from the web server on that listener.
using Link = intptr_t;
// Waits for the next connection; false when none can be had.
bool accept_link(Link* out);
// Up to n bytes, waiting at most timeout_ms (negative: as long as it
// takes): how many came, 0 at the end, -1 on a failure or when the time
// ran out.
long link_read(Link link, void* buf, size_t n, int timeout_ms);
// All len bytes; false when they could not be written.
bool link_write(Link link, const void* data, size_t len);
void link_close(Link link);

// Up to n bytes of f from offset, whatever f's position: how many, 0 at
// its end, -1 on a failure.
long read_at(FILE* f, int64_t offset, void* buf, size_t n);

// A stream read through read(ctx, ...), which gives up to n bytes, 0 at
// the end, -1 on a failure (a request body arriving in records); null when
// none can be made. Where the system cannot make such a stream, the bytes
// are first taken whole into a temporary file.
FILE* reader_stream(long (*read)(void* ctx, char* buf, size_t n), void* ctx);

// Runs work in `workers` processes that share the listener, each started
// again whenever it ends, until this process is asked to stop (SIGTERM),
// which stops them too. Where processes cannot be forked (Windows, where
// the server starts each), or with one worker, work runs here once.
// Returns work's result, or 0 after a stop.
int run_workers(int workers, int (*work)(void* ctx), void* ctx);

}  // namespace host

#endif
