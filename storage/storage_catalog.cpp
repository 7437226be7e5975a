// The repository catalog and the tag list: every name, sorted, paged, as
// JSON.
#include <algorithm>
#include <cstring>

#include "platform/host.h"
#include "storage/reg_storage.h"
#include "storage/storage_catalog.h"
#include "storage/storage_fs.h"
#include "storage/storage_layout.h"
#include "storage/storage_manifests.h"
#include "storage/storage_names.h"
#include "storage/storage_repositories.h"
#include "storage/storage_state.h"
#include "storage/storage_text.h"

namespace storage {
namespace {

constexpr size_t kNameMax = 255;

// Where the latest page ended, for reg_page_next.
char s_next[kNameMax + 1];
bool s_has_next = false;

// Index of the first name that sorts after last (names sorted).
int page_start(char* const* names, int count, const char* last) {
  if (last == nullptr || last[0] == '\0') return 0;
  auto it = std::upper_bound(names, names + count, last, [](const char* a, const char* b) { return str_cmp(a, b) < 0; });
  return static_cast<int>(it - names);
}

// Sorts names and writes the page of at most n names after last: head,
// the names as JSON strings, "]}". Remembers where the page ended.
const char* write_page(const char* head, size_t head_len, NameList& names, int n, const char* last) {
  const int count = names.size();
  char** items = names.items();
  sort_str(items, count);
  const int start = page_start(items, count, last);
  int end = count;
  if (n > 0 && static_cast<long long>(start) + n < count) end = start + n;
  std::memcpy(s_result, head, head_len);
  int written = 0;
  append_names_and_close(s_result, head_len, kResultCap, items, start, end, &written);
  set_page_next(start + written < count && written > 0 ? items[start + written - 1] : nullptr);
  return s_result;
}

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

}  // namespace storage

using namespace storage;

extern "C" {

const char* reg_catalog_json(int n, const char* last) { return reg_catalog_json_where(n, last, nullptr, nullptr); }

const char* reg_catalog_json_where(int n, const char* last, reg_name_filter keep, void* ctx) {
  if (require_ready() != 0) return nullptr;
  static NameList names;  // kept: its blocks are reused by the next listing
  // A tree without a repositories directory has none; one we cannot read
  // is a failure, never an empty answer.
  if (collect_repositories(&names) == Scan::kFailed) {
    char dir[kPathCap];
    repos_dir(dir, sizeof dir);
    set_error(REG_ERR_STORAGE, "cannot read repositories: %s", dir);
    return nullptr;
  }
  constexpr char kOpen[] = "{\"repositories\":[";
  if (keep == nullptr) return write_page(kOpen, sizeof kOpen - 1, names, n, last);
  static NameList kept;
  kept.clear();
  char** items = names.items();
  for (int i = 0; i < names.size(); ++i) {
    if (keep(ctx, items[i]) != 0) kept.add(items[i]);
  }
  return write_page(kOpen, sizeof kOpen - 1, kept, n, last);
}

const char* reg_page_next(void) { return s_has_next ? s_next : nullptr; }

const char* reg_tags_page_json(const char* repo_name, int n, const char* last) {
  if (repo_name == nullptr) {
    set_error(REG_ERR_INVALID, "repo_name is NULL");
    return nullptr;
  }
  if (require_ready() != 0) return nullptr;
  if (!repo_name_valid(repo_name)) {
    set_error(REG_ERR_INVALID, "invalid repository name");
    return nullptr;
  }
  char tags[kPathCap];
  manifest_tags_dir(repo_name, tags, sizeof tags);  // fits: root and name are bounded
  std::vector<Entry> entries;
  const Scan scan = scan_dir(tags, &entries);
  if (scan == Scan::kFailed) {
    set_error(REG_ERR_STORAGE, "cannot read tags: %s", tags);
    return nullptr;
  }
  // A tag counts while its link can be read, whatever it holds.
  static NameList names;
  names.clear();
  for (Entry& e : entries) {
    if (e.kind != host::Kind::kDir || !tag_valid(e.name.c_str())) continue;
    char path[kPathCap];
    char link[kLinkReadCap];
    if (manifest_tag_path(repo_name, e.name.c_str(), path, sizeof path) &&
        read_file(path, link, sizeof link, nullptr) == 0) {
      names.add(e.name);
    }
  }
  // {"name":"<repo>","tags":[ -- the name needs no escape: it passed the rule.
  char head[kNameMax + 32];
  const int head_len = std::snprintf(head, sizeof head, "{\"name\":\"%s\",\"tags\":[", repo_name);
  return write_page(head, static_cast<size_t>(head_len), names, n, last);
}

const char* reg_tags_list_json(const char* repo_name) { return reg_tags_page_json(repo_name, 0, nullptr); }

}  // extern "C"
