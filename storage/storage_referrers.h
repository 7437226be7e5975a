// The referrers recorded for each subject (storage_referrers.cpp).
#ifndef REGISTRY_STORAGE_REFERRERS_H
#define REGISTRY_STORAGE_REFERRERS_H

#include <cstddef>
#include <string>

#include "storage/storage_manifest_check.h"

namespace storage {

// Records the manifest (digest, size bytes, stored content type ct) as a
// referrer of its subject, under the repository's lock.
int record_referrer(const char* repo, const std::string& digest, size_t size, const char* ct, const ManifestInfo& info);
// Forgets the manifest as a referrer of its subject, under the lock.
void forget_referrer(const char* repo, const std::string& digest, const ManifestInfo& info);

}  // namespace storage

#endif
