// Manifests and tags (storage_manifests.cpp).
#ifndef REGISTRY_STORAGE_MANIFESTS_H
#define REGISTRY_STORAGE_MANIFESTS_H

#include <cstddef>

#include "storage/reg_storage.h"
#include "storage/storage_manifest_check.h"

namespace storage {

inline constexpr size_t kLinkReadCap = 256;  // a link holds at most a SHA-512 digest string
inline constexpr char kDefaultContentType[] = "application/vnd.docker.distribution.manifest.v2+json";

// Reference (tag or digest string) to digest hex (kHexCap bytes).
int manifest_resolve(const char* name, const char* reference, char* out_hex, reg_status* st);
// The body of the manifest reference names, whole, into body; its content
// type (REG_CONTENT_TYPE_CAP bytes) and digest string (REG_DIGEST_CAP).
int read_manifest(const char* repo_name, const char* reference, ManifestBuffer* body, char* out_content_type,
                  char* out_digest, reg_status* st);
// 1 when some tag of the repository, however many it has, names hex.
int manifest_has_tag_for(const char* name, const char* hex);
// Removes the stored manifest hex and everything that names it, as a
// delete by digest does, for a caller that holds the repository's lock;
// -1, unworded, only for a name whose paths do not fit.
int remove_manifest_locked(const char* repo_name, const char* hex);

}  // namespace storage

#endif
