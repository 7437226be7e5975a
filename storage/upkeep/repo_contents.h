// What one repository holds, read entry by entry for the walks that look
// after the whole tree (repo_contents.cpp).
#ifndef REGISTRY_STORAGE_UPKEEP_REPO_CONTENTS_H
#define REGISTRY_STORAGE_UPKEEP_REPO_CONTENTS_H

#include <cstdint>
#include <string>
#include <vector>

#include "storage/storage_fs.h"

namespace storage {

struct StoredManifest {
  std::string hex;
  std::string digest;  // "<alg>:<hex>"
  int64_t mtime = 0;
  int64_t size = 0;
};
// The manifest bodies below _manifests, with their times and sizes.
Scan read_stored_manifests(const char* repo, std::vector<StoredManifest>* out);

struct StoredTag {
  std::string name;
  std::string link;  // what its link holds ("" when it has none)
  bool has_link = false;
};
Scan read_stored_tags(const char* repo, std::vector<StoredTag>* out);

// The digests the repository links (its _layers).
Scan read_blob_links(const char* repo, std::vector<std::string>* out);
// The identifiers of the uploads the repository marked.
Scan read_upload_marks(const char* repo, std::vector<std::string>* out);

}  // namespace storage

#endif
