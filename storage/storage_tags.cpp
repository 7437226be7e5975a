// Tag listing: {"name":"<repo>","tags":[...]}.
#include <cstdlib>
#include <cstring>

#include "storage/reg_storage.h"
#include "storage/storage_internal.h"

using namespace storage;

extern "C" const char* reg_tags_list_json(const char* repo_name) {
  if (repo_name == nullptr) {
    set_error("repo_name is NULL");
    return nullptr;
  }
  if (require_ready() != 0) return nullptr;
  if (!repo_name_valid(repo_name)) {
    set_error("invalid repository name");
    return nullptr;
  }
  char tags[kPathCap];
  manifest_tags_dir(repo_name, tags, sizeof tags);  // fits: root and name are bounded
  constexpr int kNameListCap = 1024;
  char** names = static_cast<char**>(std::calloc(kNameListCap, sizeof(char*)));
  if (names == nullptr) {
    set_error("out of memory");
    return nullptr;
  }
  int count = 0;
  dir_listing listing;
  // A repository without tags (or without a directory) lists none.
  if (list_dir(tags, &listing) == 0) {
    for (int i = 0; i < listing.count && count < kNameListCap; ++i) {
      const dir_entry& e = listing.entries[i];
      if (!e.is_dir) continue;
      char path[kPathCap];
      char link[kLinkReadCap];
      // A tag counts while its link can be read, whatever it holds.
      if (!manifest_tag_path(repo_name, e.name, path, sizeof path) ||
          read_file(path, link, sizeof link, nullptr) != 0) {
        continue;
      }
      if (char* copy = xstrdup(e.name)) names[count++] = copy;
    }
  }
  if (count > 1) sort_str(names, count);

  constexpr char kHead[] = "{\"name\":\"";
  constexpr char kTagsOpen[] = "\",\"tags\":[";
  size_t pos = sizeof kHead - 1;
  std::memcpy(s_result, kHead, pos);
  pos += json_escape_append(s_result + pos, kResultCap - pos, repo_name);
  std::memcpy(s_result + pos, kTagsOpen, sizeof kTagsOpen - 1);
  pos += sizeof kTagsOpen - 1;
  append_names_and_close(s_result, pos, kResultCap, names, 0, count);

  for (int i = 0; i < count; ++i) std::free(names[i]);
  std::free(names);
  return s_result;
}
