// What one repository holds, read entry by entry for the walks that look
// after the whole tree (collection, scrub, fsck, disk usage). Readers of
// one name (the API) go straight to its file instead.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/host.h"
#include "storage/storage_digest.h"
#include "storage/storage_fs.h"
#include "storage/storage_layout.h"
#include "storage/storage_manifests.h"
#include "storage/upkeep/repo_contents.h"
#include "text/hex.h"

namespace storage {

Scan read_stored_manifests(const char* repo, std::vector<StoredManifest>* out) {
  out->clear();
  char dir[kPathCap];
  if (!manifest_dir(repo, dir, sizeof dir)) return Scan::kFailed;
  return each_entry(dir, [&](const char* name, host::Kind, host::DirStream* ds) {
    const DigestAlg alg = hex_alg(name);
    host::Attributes a;
    // Removed since it was listed: not there any more.
    if (alg == DigestAlg::kNone || !host::dir_entry_attributes(ds, name, &a) || a.kind != host::Kind::kFile) {
      return true;
    }
    StoredManifest m;
    m.hex = name;
    m.digest = std::string(digest_alg_name(alg)) + ":" + name;
    m.mtime = a.mtime;
    m.size = a.size;
    out->push_back(std::move(m));
    return true;
  });
}

Scan read_stored_tags(const char* repo, std::vector<StoredTag>* out) {
  out->clear();
  char tags[kPathCap];
  if (!manifest_tags_dir(repo, tags, sizeof tags)) return Scan::kFailed;
  std::vector<Entry> entries;
  const Scan scan = scan_dir(tags, &entries);
  if (scan != Scan::kOk) return scan;
  for (const Entry& e : entries) {
    if (e.kind != host::Kind::kDir) continue;
    StoredTag t;
    t.name = e.name;
    char path[kPathCap];
    char link[kLinkReadCap];
    size_t len = 0;
    if (manifest_tag_path(repo, e.name.c_str(), path, sizeof path) && read_file(path, link, sizeof link, &len) == 0) {
      t.has_link = true;
      t.link.assign(link, len);
    }
    out->push_back(std::move(t));
  }
  return Scan::kOk;
}

Scan read_blob_links(const char* repo, std::vector<std::string>* out) {
  out->clear();
  for (DigestAlg alg : {DigestAlg::kSha256, DigestAlg::kSha512}) {
    char dir[kPathCap];
    if (!repo_layers_dir(repo, alg, dir, sizeof dir)) return Scan::kFailed;
    std::vector<Entry> entries;
    const Scan scan = scan_dir(dir, &entries);
    if (scan == Scan::kFailed) return scan;
    for (const Entry& e : entries) {
      if (e.kind == host::Kind::kDir && hex_alg(e.name.c_str()) == alg) {
        out->push_back(std::string(digest_alg_name(alg)) + ":" + e.name);
      }
    }
  }
  return Scan::kOk;
}

Scan read_upload_marks(const char* repo, std::vector<std::string>* out) {
  out->clear();
  char dir[kPathCap];
  if (!repo_uploads_dir(repo, dir, sizeof dir)) return Scan::kFailed;
  std::vector<Entry> entries;
  const Scan scan = scan_dir(dir, &entries);
  if (scan != Scan::kOk) return scan;
  for (const Entry& e : entries) {
    if (e.kind == host::Kind::kFile && uuid_valid(e.name.c_str())) out->push_back(e.name);
  }
  return Scan::kOk;
}


}  // namespace storage
