// What one repository holds, read entry by entry for the walks that look
// after the whole tree (collection, scrub, fsck, disk usage). Readers of
// one name (the API) go straight to its file instead.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/host.h"
#include "storage/storage_internal.h"
#include "text/hex.h"

namespace storage {
namespace {

constexpr size_t kFirstRead = 64 * 1024;

}  // namespace

DigestAlg hex_alg(const char* name) {
  size_t n = 0;
  for (; name[n] != '\0'; ++n) {
    if (text_lower_hex_value(static_cast<unsigned char>(name[n])) < 0) return DigestAlg::kNone;
  }
  if (n == 64) return DigestAlg::kSha256;
  if (n == 128) return DigestAlg::kSha512;
  return DigestAlg::kNone;
}

Scan read_stored_manifests(const char* repo, std::vector<StoredManifest>* out) {
  out->clear();
  char dir[kPathCap];
  if (!manifest_dir(repo, dir, sizeof dir)) return Scan::kFailed;
  host::DirStream ds;
  const Scan opened = open_dir(dir, &ds);
  if (opened != Scan::kOk) return opened;
  const char* name = nullptr;
  host::Kind kind = host::Kind::kOther;
  while (host::dir_next(&ds, &name, &kind)) {
    const DigestAlg alg = hex_alg(name);
    if (alg == DigestAlg::kNone) continue;
    host::Attributes a;
    // Removed since it was listed: not there any more.
    if (!host::dir_entry_attributes(&ds, name, &a) || a.kind != host::Kind::kFile) continue;
    StoredManifest m;
    m.hex = name;
    m.digest = std::string(digest_alg_name(alg)) + ":" + name;
    m.mtime = a.mtime;
    m.size = a.size;
    out->push_back(std::move(m));
  }
  const bool failed = host::dir_failed(&ds);
  host::dir_close(&ds);
  return failed ? Scan::kFailed : Scan::kOk;
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

int load_manifest(const char* path, ManifestBuffer* buf, ManifestInfo* info, char* msg, size_t msg_size) {
  FILE* f = host::open_file(path, "rb");
  if (f == nullptr) return -1;
  // Grown as bodies need, up to one byte past the largest manifest, and
  // reused for every manifest of a walk: most are a few KiB.
  if (buf->bytes.size() < kFirstRead) buf->bytes.resize(kFirstRead);
  buf->len = 0;
  for (;;) {
    buf->len += std::fread(buf->bytes.data() + buf->len, 1, buf->bytes.size() - buf->len, f);
    if (buf->len < buf->bytes.size() || buf->bytes.size() > kManifestMax) break;
    buf->bytes.resize(std::min(buf->bytes.size() * 2, kManifestMax + 1));
  }
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) return -1;
  if (buf->len > kManifestMax) {
    std::snprintf(msg, msg_size, "manifest too large");
    return 0;
  }
  const char* why = manifest_body_error(buf->bytes.data(), buf->len, info, msg, msg_size);
  if (why == nullptr) return 1;
  if (why != msg) std::snprintf(msg, msg_size, "%s", why);
  return 0;
}

}  // namespace storage
