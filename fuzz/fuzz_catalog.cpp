// The catalog over arbitrary directory names, page sizes and starts: the
// text is always one strict JSON object whose names are the directories
// that a repository name can name, in byte order, at most the page size. Input: n (4 bytes), last, then names, the
// fields separated by '/'.
#include "fuzz/fuzz_target.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#include <yyjson.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "storage/reg_storage.h"

namespace {

using fuzz_support::remove_tree;

std::string s_root;
std::string s_repos;

void cleanup_at_exit() { remove_tree(s_root.substr(0, s_root.rfind('/'))); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (s_root.empty()) {
    char templ[] = "/tmp/fuzzcat.XXXXXX";
    if (mkdtemp(templ) == nullptr) std::abort();
    s_root = std::string(templ) + "/root";
    s_repos = s_root + "/repositories";
    if (reg_storage_init(s_root.c_str()) != 0) std::abort();
    std::atexit(cleanup_at_exit);
  }
  if (size < 4) return 0;
  int32_t n;
  std::memcpy(&n, data, 4);
  std::string rest(reinterpret_cast<const char*>(data + 4), size - 4);
  std::replace(rest.begin(), rest.end(), '\0', '/');
  std::vector<std::string> fields;
  for (size_t start = 0;;) {
    const size_t slash = rest.find('/', start);
    fields.push_back(rest.substr(start, slash - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  const std::string last = fields[0];
  std::set<std::string> made;
  for (size_t i = 1; i < fields.size() && i < 64; ++i) {
    const std::string& f = fields[i];
    if (f.empty() || f == "." || f == ".." || f.size() > 255) continue;
    if (mkdir((s_repos + "/" + f).c_str(), 0755) == 0) made.insert(f);
  }
  const char* text = reg_catalog_json(n, last.c_str());
  if (text == nullptr) std::abort();
  yyjson_doc* doc = yyjson_read(text, std::strlen(text), 0);
  if (doc == nullptr) std::abort();
  yyjson_val* root = yyjson_doc_get_root(doc);
  yyjson_val* list = yyjson_obj_get(root, "repositories");
  if (!yyjson_is_obj(root) || yyjson_obj_size(root) != 1 || !yyjson_is_arr(list)) std::abort();
  std::string prev;
  size_t idx = 0, max = 0;
  yyjson_val* item = nullptr;
  yyjson_arr_foreach(list, idx, max, item) {
    const std::string name(yyjson_get_str(item), yyjson_get_len(item));
    if (made.count(name) == 0) std::abort();                   // only what is there
    if (idx > 0 && !(prev < name)) std::abort();                // byte order
    if (!last.empty() && !(last < name)) std::abort();          // after last
    prev = name;
  }
  if (n > 0 && yyjson_arr_size(list) > static_cast<size_t>(n)) std::abort();
  // A whole first page holds every directory whose name a repository may have.
  if (n <= 0 && last.empty()) {
    size_t nameable = 0;
    for (const std::string& f : made) {
      bool ok = f[0] != '.' && f[0] != '_' && f.find("..") == std::string::npos;
      for (char c : f) ok = ok && (std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-');
      nameable += ok ? 1 : 0;
    }
    if (yyjson_arr_size(list) != nameable) std::abort();
  }
  yyjson_doc_free(doc);
  for (const std::string& f : made) rmdir((s_repos + "/" + f).c_str());
  return 0;
}
