// The repository catalog and the tag list: every name, sorted, paged, as
// JSON.
#include <algorithm>
#include <cstring>

#include "platform/host.h"
#include "storage/reg_storage.h"
#include "storage/storage_internal.h"

namespace storage {
namespace {

constexpr size_t kNameMax = 255;

// Where the latest page ended, for reg_page_next.
char s_next[kNameMax + 1];
bool s_has_next = false;

// Index of the first name that sorts after last (names sorted).
int page_start(const std::vector<char*>& names, const char* last) {
  if (last == nullptr || last[0] == '\0') return 0;
  auto it = std::upper_bound(names.begin(), names.end(), last,
                             [](const char* a, const char* b) { return str_cmp(a, b) < 0; });
  return static_cast<int>(it - names.begin());
}

// Sorts names and writes the page of at most n names after last: head,
// the names as JSON strings, "]}". Remembers where the page ended.
const char* write_page(const char* head, size_t head_len, std::vector<std::string>& names, int n, const char* last) {
  std::sort(names.begin(), names.end());  // byte order: std::string compares bytes as unsigned
  std::vector<char*> items;
  items.reserve(names.size());
  for (std::string& s : names) items.push_back(s.data());
  const int count = static_cast<int>(items.size());
  const int start = page_start(items, last);
  int end = count;
  if (n > 0 && static_cast<long long>(start) + n < count) end = start + n;
  std::memcpy(s_result, head, head_len);
  int written = 0;
  append_names_and_close(s_result, head_len, kResultCap, items.data(), start, end, &written);
  set_page_next(start + written < count && written > 0 ? items[start + written - 1] : nullptr);
  return s_result;
}

bool has_dotdot(const char* s) { return std::strstr(s, "..") != nullptr; }

}  // namespace

size_t append_names_and_close(char* out, size_t pos, size_t cap, char* const* names, int start, int end,
                              int* written) {
  constexpr char kClose[] = "]}";
  int i = start;
  for (; i < end; ++i) {
    const size_t comma = i > start ? 1 : 0;
    // The comma, the opening quote, the escaped name, and the room that
    // the escaper keeps free, which holds the closing quote, "]}" and NUL.
    const size_t raw = std::strlen(names[i]);
    const size_t escaped = json_escaped_len(names[i]);
    if (pos + comma + 1 + escaped + 9 > cap) break;
    if (comma) out[pos++] = ',';
    out[pos++] = '"';
    if (escaped == raw) {  // nothing to escape
      std::memcpy(out + pos, names[i], raw);
      pos += raw;
    } else {
      pos += json_escape_append(out + pos, cap - pos, names[i]);
    }
    out[pos++] = '"';
  }
  std::memcpy(out + pos, kClose, sizeof kClose);
  if (written != nullptr) *written = i - start;
  return pos + sizeof kClose - 1;
}

size_t write_catalog_page(char* out, size_t cap, char* const* names, int start, int end, int* written) {
  constexpr char kOpen[] = "{\"repositories\":[";
  std::memcpy(out, kOpen, sizeof kOpen - 1);
  return append_names_and_close(out, sizeof kOpen - 1, cap, names, start, end, written);
}

void set_page_next(const char* last_written) {
  s_has_next = last_written != nullptr;
  std::snprintf(s_next, sizeof s_next, "%s", s_has_next ? last_written : "");
}

Scan collect_repositories(std::vector<std::string>* out) {
  out->clear();
  char top[kPathCap];
  repos_dir(top, sizeof top);
  // Directories still to look into, by their name below repositories/.
  std::vector<std::string> pending{""};
  while (!pending.empty()) {
    const std::string rel = std::move(pending.back());
    pending.pop_back();
    char path[kPathCap];
    if (rel.empty()) {
      std::snprintf(path, sizeof path, "%s", top);
    } else {
      path_join(path, sizeof path, top, rel.c_str());
    }
    host::DirStream ds;
    if (!host::dir_open(&ds, path)) {
      host::Attributes a;
      const bool there = host::get_attributes(path, &a);
      if (there) return Scan::kFailed;  // a directory we may not read
      if (rel.empty()) return Scan::kMissing;
      continue;  // removed while we walked
    }
    bool own_data = false;
    int children = 0;
    const char* name = nullptr;
    host::Kind kind = host::Kind::kOther;
    while (host::dir_next(&ds, &name, &kind)) {
      if (kind != host::Kind::kDir || name[0] == '.') continue;  // files, links, ".", "..", leftovers
      if (name[0] == '_') {
        own_data = own_data || !rel.empty();  // "_manifests" and the like
        continue;
      }
      const size_t len = std::strlen(name);
      if (!repo_component_valid(name, len) || has_dotdot(name)) continue;
      std::string full = rel.empty() ? std::string(name) : rel + "/" + name;
      if (full.size() > kNameMax) continue;  // no repository name is that long
      ++children;
      // A directory with no directory below it (the file system counts
      // them in its link count, where it keeps one) is a repository and
      // needs no look inside.
      host::Attributes a;
      if (host::dir_entry_attributes(&ds, name, &a) && a.links == 2) {
        out->push_back(std::move(full));
      } else {
        pending.push_back(std::move(full));
      }
    }
    const bool failed = host::dir_failed(&ds);
    host::dir_close(&ds);
    if (failed) return Scan::kFailed;
    if (!rel.empty() && (own_data || children == 0)) out->push_back(rel);
  }
  return Scan::kOk;
}

}  // namespace storage

using namespace storage;

extern "C" {

const char* reg_catalog_json(int n, const char* last) {
  if (require_ready() != 0) return nullptr;
  std::vector<std::string> names;
  // A tree without a repositories directory has none; one we cannot read
  // is a failure, never an empty answer.
  if (collect_repositories(&names) == Scan::kFailed) {
    char dir[kPathCap];
    repos_dir(dir, sizeof dir);
    set_error("cannot read repositories: %s", dir);
    return nullptr;
  }
  constexpr char kOpen[] = "{\"repositories\":[";
  return write_page(kOpen, sizeof kOpen - 1, names, n, last);
}

const char* reg_page_next(void) { return s_has_next ? s_next : nullptr; }

const char* reg_tags_page_json(const char* repo_name, int n, const char* last) {
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
  std::vector<Entry> entries;
  const Scan scan = scan_dir(tags, &entries);
  if (scan == Scan::kFailed) {
    set_error("cannot read tags: %s", tags);
    return nullptr;
  }
  // A tag counts while its link can be read, whatever it holds.
  std::vector<std::string> names;
  for (Entry& e : entries) {
    if (e.kind != host::Kind::kDir || !tag_valid(e.name.c_str())) continue;
    char path[kPathCap];
    char link[kLinkReadCap];
    if (manifest_tag_path(repo_name, e.name.c_str(), path, sizeof path) &&
        read_file(path, link, sizeof link, nullptr) == 0) {
      names.push_back(std::move(e.name));
    }
  }
  // {"name":"<repo>","tags":[ -- the name needs no escape: it passed the rule.
  char head[kNameMax + 32];
  const int head_len = std::snprintf(head, sizeof head, "{\"name\":\"%s\",\"tags\":[", repo_name);
  return write_page(head, static_cast<size_t>(head_len), names, n, last);
}

const char* reg_tags_list_json(const char* repo_name) { return reg_tags_page_json(repo_name, 0, nullptr); }

}  // extern "C"
