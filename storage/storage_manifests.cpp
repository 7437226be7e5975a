// Manifests: put, resolve, get, delete.
#include <yyjson.h>

#include <cstdio>
#include <cstring>

#include "hash/sha256.h"
#include "platform/host.h"
#include "storage/reg_storage.h"
#include "storage/storage_internal.h"

namespace storage {

int repo_name_valid(const char* name) {
  if (name == nullptr || name[0] == '\0') return 0;
  const size_t len = std::strlen(name);
  if (len > 255) return 0;
  for (size_t i = 0; i < len; ++i) {
    const char c = name[i];
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                    c == '_' || c == '.' || c == '/' || c == '\\';
    if (!ok) return 0;
  }
  return std::strstr(name, "..") == nullptr ? 1 : 0;
}

int tag_valid(const char* tag) {
  if (tag == nullptr) return 0;
  auto word = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'; };
  if (!word(tag[0])) return 0;
  size_t i = 1;
  for (; tag[i] != '\0'; ++i) {
    if (i >= 128) return 0;
    if (!word(tag[i]) && tag[i] != '.' && tag[i] != '-') return 0;
  }
  return 1;
}

namespace {

bool is_digest_reference(const char* reference) { return std::strncmp(reference, "sha256:", 7) == 0; }

// The validation of a parsed manifest: the message of the first failure,
// or null when the document is an acceptable image manifest.
const char* manifest_shape_error(yyjson_val* root, char* msg, size_t msg_size) {
  if (!yyjson_is_obj(root)) return "manifest must be a JSON object";
  yyjson_val* config = yyjson_obj_get(root, "config");
  yyjson_val* config_digest = yyjson_is_obj(config) ? yyjson_obj_get(config, "digest") : nullptr;
  if (!yyjson_is_str(config_digest) || !digest_valid(yyjson_get_str(config_digest))) {
    return "manifest missing valid config.digest";
  }
  yyjson_val* layers = yyjson_obj_get(root, "layers");
  if (layers == nullptr) return nullptr;
  if (!yyjson_is_arr(layers)) return "manifest layers must be an array";
  size_t idx = 0;
  size_t max = 0;
  yyjson_val* layer = nullptr;
  yyjson_arr_foreach(layers, idx, max, layer) {
    yyjson_val* d = yyjson_is_obj(layer) ? yyjson_obj_get(layer, "digest") : nullptr;
    if (!yyjson_is_str(d) || !digest_valid(yyjson_get_str(d))) {
      std::snprintf(msg, msg_size, "manifest layer %zu missing valid digest", idx);
      return msg;
    }
  }
  return nullptr;
}

// Reads a whole file into buf (cap bytes, text and NUL). 0, or -1 when it
// cannot be read, or -2 when it holds more than cap - 1 bytes.
int read_whole(const char* path, char* buf, size_t cap) {
  FILE* f = host::open_file(path, "rb");
  if (f == nullptr) return -1;
  const size_t n = std::fread(buf, 1, cap - 1, f);
  char extra;
  const bool more = n == cap - 1 && std::fread(&extra, 1, 1, f) == 1;
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) return -1;
  buf[n] = '\0';
  return more ? -2 : 0;
}

struct ManifestPaths {
  char dir[kPathCap];
  char body[kPathCap];
  char ct[kPathCap];
  char rev_dir[kPathCap];
  char rev[kPathCap];
};

// Writes the body, its content type and its revision link: the message of
// the first failure, or null.
const char* write_manifest_files(const ManifestPaths& p, const void* body, size_t len, const char* ct,
                                 const char* link) {
  if (mkdirs(p.dir) != 0) return "mkdirs manifests dir failed";
  if (write_file(p.body, body, len) != 0) return "write manifest body failed";
  if (write_file(p.ct, ct, std::strlen(ct)) != 0) return "write manifest ct failed";
  if (mkdirs(p.rev_dir) != 0) return "mkdirs revision dir failed";
  if (write_file(p.rev, link, 71) != 0) return "write revision link failed";
  return nullptr;
}

// Removes a manifest's files unless a tag names it. Another process may tag
// the manifest at any moment, so the files are first moved aside, the tags
// looked at once more, and the files put back when a tag has appeared; a put
// that tags a manifest looks for its body after writing the link (below).
void remove_untagged_manifest(const char* name, const char* hex, const char* const files[3]) {
  char aside[3][kPathCap];
  bool moved[3] = {false, false, false};
  for (int i = 0; i < 3; ++i) {
    moved[i] = file_exists(files[i]) && temp_name_for(files[i], 100, aside[i], sizeof aside[i]) &&
               host::rename_replace(files[i], aside[i]);
  }
  const bool tagged = manifest_has_tag_for(name, hex) != 0;
  for (int i = 0; i < 3; ++i) {
    if (!moved[i]) continue;
    if (tagged && !file_exists(files[i]) && host::rename_replace(aside[i], files[i])) continue;
    remove_file(aside[i]);
  }
}

}  // namespace

int manifest_resolve(const char* name, const char* reference, char* out_hex) {
  if (is_digest_reference(reference)) {
    if (!digest_valid(reference)) {
      set_error("invalid digest reference");
      return -1;
    }
    std::memcpy(out_hex, reference + 7, 65);
    return 0;
  }
  // A tag is one path component: nothing else is ever read or removed.
  if (!tag_valid(reference)) {
    set_error("invalid tag: %s", reference);
    return -1;
  }
  char path[kPathCap];
  if (!manifest_tag_path(name, reference, path, sizeof path)) {
    set_error("path too long");
    return -1;
  }
  char link[kLinkReadCap];
  if (read_file(path, link, sizeof link, nullptr) != 0) {
    set_error("tag not found: %s:%s", name, reference);
    return -1;
  }
  if (!digest_valid(link)) {
    set_error("corrupt tag link: %s:%s", name, reference);
    return -1;
  }
  std::memcpy(out_hex, link + 7, 65);  // 64 digits and the NUL, as digest_valid saw them
  return 0;
}

int manifest_has_tag_for(const char* name, const char* hex) {
  char tags[kPathCap];
  if (!manifest_tags_dir(name, tags, sizeof tags)) return 0;
  // Every tag directory counts, not only the first 512 of one listing:
  // a manifest that any tag names keeps its files.
  host::DirStream ds;
  if (!dir_exists(tags) || !host::dir_open(&ds, tags)) return 0;
  char want[kDigestCap];
  std::snprintf(want, sizeof want, "sha256:%s", hex);
  int found = 0;
  const char* entry = nullptr;
  bool is_dir = false;
  while (!found && host::dir_next(&ds, &entry, &is_dir)) {
    if (!is_dir || std::strcmp(entry, ".") == 0 || std::strcmp(entry, "..") == 0) continue;
    char path[kPathCap];
    if (!manifest_tag_path(name, entry, path, sizeof path)) continue;
    char link[kLinkReadCap];
    if (read_file(path, link, sizeof link, nullptr) == 0 && std::strncmp(link, want, 71) == 0) found = 1;
  }
  host::dir_close(&ds);
  return found;
}

}  // namespace storage

using namespace storage;

extern "C" {

int reg_manifest_put(const char* repo_name, const char* reference, const void* body, uint64_t body_len,
                     const char* content_type, char* out_digest) {
  if (repo_name == nullptr || reference == nullptr || body == nullptr || out_digest == nullptr) {
    set_error("NULL argument");
    return -1;
  }
  if (require_ready() != 0) return -1;
  if (!repo_name_valid(repo_name)) {
    set_error("invalid repository name: %s", repo_name);
    return -1;
  }
  if (reference[0] == '\0') {
    set_error("empty reference");
    return -1;
  }
  const bool tagged = !is_digest_reference(reference);
  if (tagged && !tag_valid(reference)) {
    set_error("invalid tag: %s", reference);
    return -1;
  }
  // No larger body could be fetched again whole.
  if (body_len > kResultCap - 1) {
    set_error("manifest too large");
    return -1;
  }

  yyjson_doc* doc = yyjson_read_opts(static_cast<char*>(const_cast<void*>(body)), static_cast<size_t>(body_len),
                                     YYJSON_READ_NOFLAG, nullptr, nullptr);
  if (doc == nullptr) {
    set_error("manifest JSON parse failed");
    return -1;
  }
  char msg[96];
  const char* shape = manifest_shape_error(yyjson_doc_get_root(doc), msg, sizeof msg);
  yyjson_doc_free(doc);
  if (shape != nullptr) {
    set_error("%s", shape);
    return -1;
  }

  sha256_ctx ctx;
  sha256_init(&ctx);
  sha256_update(&ctx, body, body_len);
  uint8_t raw[32];
  sha256_final(&ctx, raw);
  char hex[65];
  bin_to_hex(raw, sizeof raw, hex);
  char link[80];
  std::snprintf(link, sizeof link, "sha256:%s", hex);

  ManifestPaths paths;
  char tag_dir[kPathCap];
  char tag_path[kPathCap];
  if (!manifest_dir(repo_name, paths.dir, sizeof paths.dir) ||
      !manifest_body_path(repo_name, hex, paths.body, sizeof paths.body) ||
      !manifest_ct_path(repo_name, hex, paths.ct, sizeof paths.ct) ||
      !manifest_rev_dir(repo_name, hex, paths.rev_dir, sizeof paths.rev_dir) ||
      !manifest_rev_path(repo_name, hex, paths.rev, sizeof paths.rev) ||
      (tagged && (!manifest_tag_dir(repo_name, reference, tag_dir, sizeof tag_dir) ||
                  !manifest_tag_path(repo_name, reference, tag_path, sizeof tag_path)))) {
    set_error("path too long");
    return -1;
  }

  // Body, content type and revision first, the tag last: a tag never names
  // a manifest that is not whole. Every file is replaced atomically.
  const char* ct = content_type != nullptr && content_type[0] != '\0' ? content_type : kDefaultContentType;
  const size_t len = static_cast<size_t>(body_len);
  if (const char* failure = write_manifest_files(paths, body, len, ct, link)) {
    set_error("%s", failure);
    return -1;
  }
  if (tagged) {
    if (mkdirs(tag_dir) != 0) {
      set_error("mkdirs tag dir failed");
      return -1;
    }
    if (write_file(tag_path, link, 71) != 0) {
      set_error("write tag link failed");
      return -1;
    }
    // A delete of the manifest's last other tag may have taken the files
    // away before our link was there: write them again.
    for (int i = 0; i < 3 && !file_exists(paths.body); ++i) {
      if (const char* failure = write_manifest_files(paths, body, len, ct, link)) {
        set_error("%s", failure);
        return -1;
      }
    }
  }
  std::snprintf(out_digest, kDigestCap, "sha256:%s", hex);
  return 0;
}

const char* reg_manifest_get(const char* repo_name, const char* reference, char* out_content_type,
                             char* out_digest) {
  if (repo_name == nullptr || reference == nullptr || out_content_type == nullptr || out_digest == nullptr) {
    set_error("NULL argument");
    return nullptr;
  }
  if (require_ready() != 0) return nullptr;
  if (!repo_name_valid(repo_name)) {
    set_error("invalid repository name");
    return nullptr;
  }
  char hex[65];
  if (manifest_resolve(repo_name, reference, hex) != 0) return nullptr;
  char body_path[kPathCap];
  char ct_path[kPathCap];
  if (!manifest_body_path(repo_name, hex, body_path, sizeof body_path) ||
      !manifest_ct_path(repo_name, hex, ct_path, sizeof ct_path)) {
    set_error("path too long");
    return nullptr;
  }
  const int rc = read_whole(body_path, s_result, kResultCap);
  if (rc == -1) {
    set_error("manifest body not found: %s@%s", repo_name, reference);
    return nullptr;
  }
  if (rc == -2) {
    // Never handed out cut short as if it were whole.
    set_error("manifest too large: %s@%s", repo_name, reference);
    return nullptr;
  }
  size_t ct_len = 0;
  if (read_file(ct_path, out_content_type, 127, &ct_len) != 0 || ct_len == 0) {
    std::snprintf(out_content_type, 128, "%s", kDefaultContentType);
  }
  std::snprintf(out_digest, kDigestCap, "sha256:%s", hex);
  return s_result;
}

int reg_manifest_delete(const char* repo_name, const char* reference) {
  if (repo_name == nullptr || reference == nullptr) {
    set_error("NULL argument");
    return -1;
  }
  if (require_ready() != 0) return -1;
  if (!repo_name_valid(repo_name)) {
    set_error("invalid repository name");
    return -1;
  }
  char hex[65];
  if (manifest_resolve(repo_name, reference, hex) != 0) return -1;
  char body_path[kPathCap];
  char ct_path[kPathCap];
  char rev_path[kPathCap];
  if (!manifest_body_path(repo_name, hex, body_path, sizeof body_path) ||
      !manifest_ct_path(repo_name, hex, ct_path, sizeof ct_path) ||
      !manifest_rev_path(repo_name, hex, rev_path, sizeof rev_path)) {
    set_error("path too long");
    return -1;
  }
  if (is_digest_reference(reference)) {
    remove_file(rev_path);
  } else {
    char tag_path[kPathCap];
    manifest_tag_path(repo_name, reference, tag_path, sizeof tag_path);  // fits: resolution built it
    if (remove_file(tag_path) != 0) {
      set_error("delete tag failed");
      return -1;
    }
  }
  if (manifest_has_tag_for(repo_name, hex)) return 0;
  const char* const files[3] = {body_path, ct_path, rev_path};
  remove_untagged_manifest(repo_name, hex, files);
  return 0;
}

}  // extern "C"
