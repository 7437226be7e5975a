// What the blob queries share with the rest of the engine
// (storage_blobs.cpp).
#ifndef REGISTRY_STORAGE_BLOBS_H
#define REGISTRY_STORAGE_BLOBS_H

#include <cstddef>

#include "storage/reg_storage.h"

namespace storage {

// A blob that garbage collection holds aside (quarantined) while it looks
// for a manifest that needs it is put back by whoever meets it missing:
// true when the blob file is there (again) afterwards.
bool blob_present_or_restored(const char* digest, const char* path);
// Copies a blob's path with its NUL into out when it fits whole; else -1
// with "path buffer too small" and out untouched.
int copy_path_whole(const char* path, char* out, size_t out_size, reg_status* st);

}  // namespace storage

#endif
