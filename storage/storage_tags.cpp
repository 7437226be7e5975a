// Tag listing: {"name":"<repo>","tags":[...]}.
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
  // Static, like the catalog's list: an untouched tail costs nothing.
  static name_list dirs;
  // A repository without tags (or without a directory) lists none.
  if (list_subdirs(tags, &dirs) != 0) dirs.count = 0;
  // A tag counts while its link can be read, whatever it holds.
  int count = 0;
  for (int i = 0; i < dirs.count; ++i) {
    char path[kPathCap];
    char link[kLinkReadCap];
    if (manifest_tag_path(repo_name, dirs.items[i], path, sizeof path) &&
        read_file(path, link, sizeof link, nullptr) == 0) {
      dirs.items[count++] = dirs.items[i];
    }
  }
  if (count > 1) sort_str(dirs.items, count);

  constexpr char kHead[] = "{\"name\":\"";
  constexpr char kTagsOpen[] = "\",\"tags\":[";
  size_t pos = sizeof kHead - 1;
  std::memcpy(s_result, kHead, pos);
  pos += json_escape_append(s_result + pos, kResultCap - pos, repo_name);
  std::memcpy(s_result + pos, kTagsOpen, sizeof kTagsOpen - 1);
  pos += sizeof kTagsOpen - 1;
  append_names_and_close(s_result, pos, kResultCap, dirs.items, 0, count);
  return s_result;
}
