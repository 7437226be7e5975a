// Manifests and tags (storage_manifests.cpp).
#ifndef REGISTRY_STORAGE_MANIFESTS_H
#define REGISTRY_STORAGE_MANIFESTS_H

#include <cstddef>

namespace storage {

inline constexpr size_t kLinkReadCap = 256;  // a link holds at most a SHA-512 digest string
inline constexpr char kDefaultContentType[] = "application/vnd.docker.distribution.manifest.v2+json";

// Reference (tag or digest string) to digest hex (kHexCap bytes).
int manifest_resolve(const char* name, const char* reference, char* out_hex);
// 1 when some tag of the repository, however many it has, names hex.
int manifest_has_tag_for(const char* name, const char* hex);
// Removes the stored manifest hex and everything that names it, as a
// delete by digest does, for a caller that holds the repository's lock.
int remove_manifest_locked(const char* repo_name, const char* hex);

}  // namespace storage

#endif
