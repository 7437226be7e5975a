// Exclusive locks on files of the tree (storage_locks.cpp).
#ifndef REGISTRY_STORAGE_LOCKS_H
#define REGISTRY_STORAGE_LOCKS_H

#include <cstdio>

namespace storage {

// A file held open with an exclusive lock, released when the object goes.
class LockedFile {
 public:
  LockedFile() = default;
  ~LockedFile() { release(); }
  LockedFile(const LockedFile&) = delete;
  LockedFile& operator=(const LockedFile&) = delete;
  FILE* get() const { return f_; }
  void adopt(FILE* f) { release(), f_ = f; }
  // Closes the file: false when buffered bytes could not be written.
  bool release();

 private:
  FILE* f_ = nullptr;
};

enum class Lock { kHeld, kGone, kFailed };
// Opens the existing regular file at path for reading and writing and
// locks it; kGone when there is none, or when, once locked, path no longer
// names the file that was opened (another process finished or removed it).
Lock lock_existing(const char* path, LockedFile* out);
// Locks the repository's manifests (its lock file, created when missing):
// every change to a repository's manifests and tags is made under it.
Lock lock_repository(const char* name, LockedFile* out);

}  // namespace storage

#endif
