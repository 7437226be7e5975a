// Exclusive locks on files of the tree. The engine takes a lock only where
// two processes could otherwise interleave their steps into a state that
// neither would leave alone: appending to and finishing one upload, and
// changing the manifests and tags of one repository. A lock belongs to an
// open file, so the system drops it when its holder ends, killed or not,
// and no lock is ever left behind.
#include <cstdio>

#include "platform/host.h"
#include "storage/storage_fs.h"
#include "storage/storage_layout.h"
#include "storage/storage_locks.h"

namespace storage {

bool LockedFile::release() {
  if (f_ == nullptr) return true;
  const bool ok = std::fclose(f_) == 0;
  f_ = nullptr;
  return ok;
}

Lock lock_existing(const char* path, LockedFile* out) {
  FILE* f = host::open_file(path, "r+b");
  if (f == nullptr) return file_exists(path) ? Lock::kFailed : Lock::kGone;
  out->adopt(f);
  if (!host::lock_file(f)) return Lock::kFailed;
  // While we waited, the holder may have moved the file away (a finished
  // upload became a blob) or removed it: then it is no longer ours to use.
  if (!host::same_file(f, path)) {
    out->release();
    return Lock::kGone;
  }
  return Lock::kHeld;
}

Lock lock_repository(const char* name, LockedFile* out) {
  char path[kPathCap];
  if (!manifest_lock_path(name, path, sizeof path)) return Lock::kFailed;
  FILE* f = host::open_file(path, "ab");
  if (f == nullptr) return dir_exists(path) || file_exists(path) ? Lock::kFailed : Lock::kGone;
  out->adopt(f);
  return host::lock_file(f) ? Lock::kHeld : Lock::kFailed;
}

}  // namespace storage
