// What makes a manifest body acceptable: strict JSON, no key twice in any
// object, and the shape of one of the manifest kinds clients push: an
// image manifest (OCI, or Docker schema 2), an index (OCI image index, or
// Docker manifest list) or an OCI artifact manifest. The check also
// collects what the manifest refers to, for the push to find in the
// repository.
#include <yyjson.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "platform/host.h"
#include "storage/storage_digest.h"
#include "storage/storage_manifest_check.h"
#include "storage/storage_names.h"
#include "storage/storage_state.h"

namespace storage {
namespace {

constexpr const char* kImageTypes[] = {"application/vnd.oci.image.manifest.v1+json",
                                       "application/vnd.docker.distribution.manifest.v2+json"};
constexpr const char* kIndexTypes[] = {"application/vnd.oci.image.index.v1+json",
                                       "application/vnd.docker.distribution.manifest.list.v2+json"};
constexpr const char* kArtifactTypes[] = {"application/vnd.oci.artifact.manifest.v1+json"};

template <size_t N>
bool one_of(const char* s, const char* const (&types)[N]) {
  for (const char* t : types) {
    if (std::strcmp(s, t) == 0) return true;
  }
  return false;
}

// true when some object of the document holds a key twice. Parsers differ
// in which of two members they take (the first here, the last in the
// common clients), so a document that has one could be checked as one
// manifest and used as another. Walked with a stack of its own: a document
// may nest deeper than a thread's stack would allow.
bool has_duplicate_key(yyjson_val* root) {
  std::vector<yyjson_val*> pending{root};
  std::vector<std::string_view> keys;
  while (!pending.empty()) {
    yyjson_val* v = pending.back();
    pending.pop_back();
    if (yyjson_is_arr(v)) {
      size_t idx = 0, max = 0;
      yyjson_val* item = nullptr;
      yyjson_arr_foreach(v, idx, max, item) pending.push_back(item);
    } else if (yyjson_is_obj(v)) {
      keys.clear();
      size_t idx = 0, max = 0;
      yyjson_val* key = nullptr;
      yyjson_val* value = nullptr;
      yyjson_obj_foreach(v, idx, max, key, value) {
        keys.emplace_back(yyjson_get_str(key), yyjson_get_len(key));
        pending.push_back(value);
      }
      std::sort(keys.begin(), keys.end());
      if (std::adjacent_find(keys.begin(), keys.end()) != keys.end()) return true;
    }
  }
  return false;
}

// The digest of a descriptor object, or null when it has no valid one.
const char* descriptor_digest(yyjson_val* d) {
  yyjson_val* digest = yyjson_is_obj(d) ? yyjson_obj_get(d, "digest") : nullptr;
  return yyjson_is_str(digest) && any_digest_valid(yyjson_get_str(digest)) ? yyjson_get_str(digest) : nullptr;
}

// A descriptor whose content lives elsewhere (a foreign layer with
// "urls"): the registry need not hold it.
bool is_external(yyjson_val* d) {
  yyjson_val* urls = yyjson_obj_get(d, "urls");
  return yyjson_is_arr(urls) && yyjson_arr_size(urls) > 0;
}

// Checks an array of descriptors (member key, absent allowed); each
// digest goes to out. The message names the element by kind and index.
const char* check_descriptors(yyjson_val* root, const char* key, const char* what, bool skip_external,
                              std::vector<std::string>* out, char* msg, size_t msg_size) {
  yyjson_val* list = yyjson_obj_get(root, key);
  if (list == nullptr) return nullptr;
  if (!yyjson_is_arr(list)) {
    std::snprintf(msg, msg_size, "manifest %s must be an array", key);
    return msg;
  }
  size_t idx = 0, max = 0;
  yyjson_val* item = nullptr;
  yyjson_arr_foreach(list, idx, max, item) {
    const char* d = descriptor_digest(item);
    if (d == nullptr) {
      std::snprintf(msg, msg_size, "manifest %s %zu missing valid digest", what, idx);
      return msg;
    }
    if (!(skip_external && is_external(item))) out->push_back(d);
  }
  return nullptr;
}

ManifestKind kind_of(yyjson_val* root, const char* media_type) {
  if (media_type != nullptr) {
    if (one_of(media_type, kIndexTypes)) return ManifestKind::kIndex;
    if (one_of(media_type, kArtifactTypes)) return ManifestKind::kArtifact;
    return ManifestKind::kImage;
  }
  // Without a mediaType (it is optional in OCI), the members tell.
  if (yyjson_obj_get(root, "manifests") != nullptr) return ManifestKind::kIndex;
  return ManifestKind::kImage;
}

// The shape of the document for its kind: the message of the first
// failure, or null.
const char* shape_error(yyjson_val* root, ManifestInfo* info, char* msg, size_t msg_size) {
  if (!yyjson_is_obj(root)) return "manifest must be a JSON object";
  yyjson_val* media = yyjson_obj_get(root, "mediaType");
  if (media != nullptr) {
    if (!yyjson_is_str(media)) return "manifest mediaType must be a string";
    const char* m = yyjson_get_str(media);
    if (!one_of(m, kImageTypes) && !one_of(m, kIndexTypes) && !one_of(m, kArtifactTypes)) {
      std::snprintf(msg, msg_size, "manifest mediaType not supported: %.200s", m);
      return msg;
    }
    info->media_type = m;
  }
  info->kind = kind_of(root, media != nullptr ? yyjson_get_str(media) : nullptr);
  yyjson_val* artifact_type = yyjson_obj_get(root, "artifactType");
  if (artifact_type != nullptr) {
    if (!yyjson_is_str(artifact_type) || !media_type_valid(yyjson_get_str(artifact_type))) {
      return "manifest artifactType must be a media type";
    }
    info->artifact_type = yyjson_get_str(artifact_type);
  }
  yyjson_val* annotations = yyjson_obj_get(root, "annotations");
  if (annotations != nullptr) {
    if (!yyjson_is_obj(annotations)) return "manifest annotations must be an object";
    char* text = yyjson_val_write(annotations, YYJSON_WRITE_NOFLAG, nullptr);
    if (text == nullptr) return "manifest annotations cannot be written back";
    info->annotations = text;
    std::free(text);
  }
  yyjson_val* subject = yyjson_obj_get(root, "subject");
  if (subject != nullptr) {
    const char* d = descriptor_digest(subject);
    if (d == nullptr) return "manifest subject missing valid digest";
    info->subject = d;
  }
  switch (info->kind) {
    case ManifestKind::kIndex:
      if (yyjson_obj_get(root, "manifests") == nullptr) return "manifest index missing manifests";
      return check_descriptors(root, "manifests", "manifests", false, &info->manifests, msg, msg_size);
    case ManifestKind::kArtifact:
      return check_descriptors(root, "blobs", "blob", true, &info->blobs, msg, msg_size);
    case ManifestKind::kImage: {
      yyjson_val* config = yyjson_obj_get(root, "config");
      const char* config_digest = descriptor_digest(config);
      if (config_digest == nullptr) return "manifest missing valid config.digest";
      info->blobs.push_back(config_digest);
      yyjson_val* config_type = yyjson_obj_get(config, "mediaType");
      if (yyjson_is_str(config_type)) info->config_media_type = yyjson_get_str(config_type);
      return check_descriptors(root, "layers", "layer", true, &info->blobs, msg, msg_size);
    }
  }
  return nullptr;
}

constexpr size_t kFirstRead = 64 * 1024;

}  // namespace

const char* manifest_body_error(const void* body, size_t len, ManifestInfo* info, char* msg, size_t msg_size) {
  *info = ManifestInfo{};
  yyjson_doc* doc = yyjson_read_opts(static_cast<char*>(const_cast<void*>(body)), len, YYJSON_READ_NOFLAG, nullptr,
                                     nullptr);
  if (doc == nullptr) return "manifest JSON parse failed";
  yyjson_val* root = yyjson_doc_get_root(doc);
  const char* failure =
      has_duplicate_key(root) ? "manifest has a duplicate key" : shape_error(root, info, msg, msg_size);
  yyjson_doc_free(doc);
  return failure;
}

int read_manifest_file(const char* path, ManifestBuffer* buf) {
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
  return buf->len > kManifestMax ? -2 : 0;
}

int load_manifest(const char* path, ManifestBuffer* buf, ManifestInfo* info, char* msg, size_t msg_size) {
  const int read = read_manifest_file(path, buf);
  if (read == -1) return -1;
  if (read == -2) {
    std::snprintf(msg, msg_size, "manifest too large");
    return 0;
  }
  const char* why = manifest_body_error(buf->bytes.data(), buf->len, info, msg, msg_size);
  if (why == nullptr) return 1;
  if (why != msg) std::snprintf(msg, msg_size, "%s", why);
  return 0;
}

}  // namespace storage
