// What makes a manifest body acceptable: strict JSON, no key twice in any
// object, and the shape of an image manifest.
#include <yyjson.h>

#include <algorithm>
#include <cstdio>
#include <string_view>
#include <vector>

#include "storage/storage_internal.h"

namespace storage {
namespace {

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

// The shape of an image manifest: the message of the first failure, or
// null when the document is acceptable.
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

}  // namespace

const char* manifest_body_error(const void* body, size_t len, char* msg, size_t msg_size) {
  yyjson_doc* doc = yyjson_read_opts(static_cast<char*>(const_cast<void*>(body)), len, YYJSON_READ_NOFLAG, nullptr,
                                     nullptr);
  if (doc == nullptr) return "manifest JSON parse failed";
  yyjson_val* root = yyjson_doc_get_root(doc);
  const char* failure =
      has_duplicate_key(root) ? "manifest has a duplicate key" : manifest_shape_error(root, msg, msg_size);
  yyjson_doc_free(doc);
  return failure;
}

}  // namespace storage
