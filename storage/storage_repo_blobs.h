// What the repository operations share with the rest of the engine
// (storage_repo_blobs.cpp).
#ifndef REGISTRY_STORAGE_REPO_BLOBS_H
#define REGISTRY_STORAGE_REPO_BLOBS_H

#include "storage/reg_storage.h"

namespace storage {

// The checks of every repository operation, in order: the name's pointer,
// readiness, the name, and the digest's form when one is given.
int check_repo(const char* repo, const char* digest, reg_status* st);
// Links the stored blob digest into the repository, on stable storage.
int link_blob(const char* repo, const char* digest, reg_status* st);
// 1 when the repository holds the blob (a blob set aside by garbage
// collection is put back by looking), 0 when not, -1 on failure.
int repo_holds_blob(const char* repo, const char* digest, reg_status* st);

}  // namespace storage

#endif
