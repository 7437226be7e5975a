// What the repository operations share with the rest of the engine
// (storage_repo_blobs.cpp).
#ifndef REGISTRY_STORAGE_REPO_BLOBS_H
#define REGISTRY_STORAGE_REPO_BLOBS_H

#include <cstdint>

#include "storage/reg_storage.h"
#include "storage/storage_locks.h"

namespace storage {

// The checks of every repository operation, in order: the name's pointer,
// readiness, the name, and the digest's form when one is given.
int check_repo(const char* repo, const char* digest, reg_status* st);
// Links the stored blob digest into the repository, on stable storage.
int link_blob(const char* repo, const char* digest, reg_status* st);
// 1 when the repository holds the blob (a blob set aside by garbage
// collection is put back by looking), 0 when not, -1 on failure.
int repo_holds_blob(const char* repo, const char* digest, reg_status* st);
// The bytes of the blobs the repository links, each once.
int repo_usage(const char* repo, int64_t* bytes, reg_status* st);
// Before a blob digest of size bytes is linked into the repository under
// quota (null: none): with a limit, takes the repository's lock into
// *lock, held by the caller until the link is made, and checks that the
// link keeps the repository within the limit (a blob it links already
// costs nothing). 0 when it may be linked; else -1, REG_ERR_QUOTA with
// quota's usage and adding set, or the failure.
int admit_blob(const char* repo, const char* digest, int64_t size, reg_quota* quota, LockedFile* lock,
               reg_status* st);

}  // namespace storage

#endif
