// The bootstrap configuration reader over arbitrary texts: it never reads
// past its input, and a root it finds fits its buffer, holds no NUL, and is
// the value yyjson's strict parser sees for the same key; a list of
// objects it finds is the one yyjson sees.
#include "fuzz/fuzz_target.h"

#include <yyjson.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "settings/config_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly size bytes, so that a read past the end is caught.
  std::vector<char> text(data, data + size);
  char root[64];
  char why[256];
  const settings::ConfigRoot got =
      settings::parse_config_root(text.data(), text.size(), root, sizeof root, why, sizeof why);
  // Numbers as raw text: JSON sets no range, so 65e6666 is a number too.
  yyjson_doc* doc = yyjson_read(text.data(), text.size(), YYJSON_READ_NUMBER_AS_RAW);
  yyjson_val* top = doc != nullptr ? yyjson_doc_get_root(doc) : nullptr;
  if (got == settings::ConfigRoot::kFound) {
    if (std::strlen(root) >= sizeof root || std::strlen(root) == 0) std::abort();
    // The strict parser agrees that this is a JSON object naming that root
    // (duplicate keys aside, which the reader refuses and yyjson allows).
    if (!yyjson_is_obj(top)) std::abort();
    yyjson_val* v = yyjson_obj_get(top, "storage_root");
    if (v == nullptr) v = yyjson_obj_get(top, "registry_storage_root");
    if (!yyjson_is_str(v) || std::string(yyjson_get_str(v), yyjson_get_len(v)) != root) std::abort();
  }
  if (got != settings::ConfigRoot::kInvalid && !yyjson_is_obj(top)) std::abort();
  if (got == settings::ConfigRoot::kInvalid && why[0] == '\0') std::abort();
  // The "mirrors" list: each element it gives is one of the array's
  // objects, whole, and there are as many as the strict parser sees.
  std::vector<std::string> items;
  std::string list_why;
  if (settings::parse_config_objects(text.data(), text.size(), "mirrors", &items, &list_why)) {
    if (!yyjson_is_obj(top)) std::abort();
    yyjson_val* list = yyjson_obj_get(top, "mirrors");
    if (list == nullptr ? !items.empty() : !yyjson_is_arr(list) || yyjson_arr_size(list) != items.size()) std::abort();
    for (const std::string& item : items) {
      yyjson_doc* one = yyjson_read(item.data(), item.size(), YYJSON_READ_NUMBER_AS_RAW);
      if (one == nullptr || !yyjson_is_obj(yyjson_doc_get_root(one))) std::abort();
      yyjson_doc_free(one);
    }
  } else if (list_why.empty()) {
    std::abort();
  }
  yyjson_doc_free(doc);
  return 0;
}
