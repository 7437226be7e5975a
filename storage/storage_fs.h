// File-system primitives of the engine (storage_fs.cpp). None of them
// reports a failure beyond its result: the operation that calls them
// words it.
#ifndef REGISTRY_STORAGE_FS_H
#define REGISTRY_STORAGE_FS_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "platform/host.h"

namespace storage {

inline constexpr size_t kPathCap = host::kPathMax;

enum class Scan { kOk, kMissing, kFailed };

// Directory flushes held back and made together. A push changes several
// directories of its repository (the manifests directory, a link's new
// directories) before the link that leads to them is put in place. Flushing each as it changes costs a
// journal commit apiece; held until the link's own bytes are flushed, they
// ride in that one commit, and their own flushes find little left to do.
// Each is still flushed, once, before the step that depends on it: the
// caller settles them before it renames a name that leads to them.
class HeldFlushes {
 public:
  HeldFlushes() = default;
  HeldFlushes(const HeldFlushes&) = delete;
  HeldFlushes& operator=(const HeldFlushes&) = delete;
  // The directory at path changed (held once, however often it changes).
  void dir(const char* path);
  // The directory holding path changed.
  void parent_of(const char* path);
  // Flushes every directory held, then holds none; false at the first
  // flush that fails (the rest are still held).
  bool settle();

 private:
  std::vector<std::string> held_;
};

// The directory that holds path: up to its last separator ("/" for
// "/name", "" for a bare name).
std::string directory_of(const char* path);
// Creates the directory and its missing parents; each level it creates is
// on stable storage (its parent flushed) before it returns, or, given
// later, once later is settled.
int mkdirs(const char* path, HeldFlushes* later = nullptr);
int file_exists(const char* path);  // a regular file
int dir_exists(const char* path);
// The size of a regular file; -1 for anything else or when absent.
int64_t file_size(const char* path);
int read_file(const char* path, char* buf, size_t cap, size_t* out_len);
// How far a write goes before it returns. kStable: the file's bytes, and
// the name that leads to them, are on stable storage (the file flushed
// before its rename, its directory after), so that a power cut after an
// answer loses nothing the answer promised. kCache: for what can be made
// again (it may be lost, never seen in part).
enum class Durability { kStable, kCache };
// Replaces the file at path with exactly len bytes, atomically: a reader
// sees either the old content or the new, never a part. The temporary
// file has a name of this process's own, so writers never meet.
int write_file(const char* path, const void* data, size_t len, Durability d = Durability::kStable);
// As write_file, for a writer that holds the lock that guards path: the
// temporary file has one fixed name, so what a killed writer left there is
// taken over by the next write of the same file.
int write_file_locked(const char* path, const void* data, size_t len, Durability d = Durability::kStable);
// write_file_locked in two steps, for writes that must all happen or none:
// stage_file_locked writes the bytes, on stable storage, under the fixed
// temporary name beside path; commit_staged renames them into place and
// flushes the directory; discard_staged takes them away unused.
struct StagedFile {
  std::string tmp;
  std::string path;
};
int stage_file_locked(const char* path, const void* data, size_t len, StagedFile* out);
int commit_staged(const StagedFile& staged);
// The rename of commit_staged alone: the directory's flush joins later.
int commit_staged_later(const StagedFile& staged, HeldFlushes* later);
void discard_staged(const StagedFile& staged);
// The same for a writer that does not hold the lock yet: the temporary
// file has a name of this process's own (as write_file's), so writers
// stage at the same time and only the renames wait for the lock.
int stage_file(const char* path, const void* data, size_t len, StagedFile* out);
// stage_file for several files at once: all are written before any is
// flushed, so that one journal commit carries them. On failure none is
// left staged.
struct StageItem {
  const char* path;
  const void* data;
  size_t len;
};
int stage_files(const StageItem* items, size_t count, StagedFile* out);
// Renames staged files that share the directory dir into place, then
// flushes dir once for all of them (given later, when later is settled).
// When a rename fails, the files not yet renamed are taken away.
int commit_staged_in(const char* dir, StagedFile* files, size_t count, HeldFlushes* later = nullptr);
// Removes from dir every file that stage_file made for one of paths (all
// in dir) under a writer's own name: what killed writers left.
void remove_staged_leftovers(const char* dir, std::initializer_list<const char*> paths);
int remove_file(const char* path);
// Calls each with every entry of the directory ("." and ".." left out), in
// the file system's order, while the directory is open (ds, to read an
// entry's attributes), until each answers false. kMissing when nothing is
// there, kFailed when something is there that cannot be read as a
// directory or its reading fails (the entries met before were passed).
using EntryVisitor = std::function<bool(const char* name, host::Kind kind, host::DirStream* ds)>;
Scan each_entry(const char* path, const EntryVisitor& each);
// A name for a temporary file beside path (attempt tells names apart);
// false when it does not fit cap.
bool temp_name_for(const char* path, unsigned attempt, char* out, size_t cap);
// The fixed temporary name of write_file_locked; false when it does not fit.
bool locked_temp_name_for(const char* path, char* out, size_t cap);

inline constexpr int kListCap = 512;
inline constexpr size_t kNameCap = 512;

struct dir_entry {
  char name[kNameCap];
  int32_t is_dir;
};

struct dir_listing {
  dir_entry entries[kListCap];
  int32_t count;
  int32_t truncated;
};

// Fills the listing in enumeration order, at most 512 entries.
int list_dir(const char* path, dir_listing* out);

// Every entry of a directory ("." and ".." left out), in the file
// system's order, however many there are.
struct Entry {
  std::string name;
  host::Kind kind;
};
Scan scan_dir(const char* path, std::vector<Entry>* out);

}  // namespace storage

#endif
