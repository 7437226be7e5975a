// The repository catalog and the tag list: every name, sorted, paged, as
// JSON.
#include "storage/storage_catalog.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/host.h"
#include "storage/reg_storage.h"
#include "storage/storage_fs.h"
#include "storage/storage_layout.h"
#include "storage/storage_manifests.h"
#include "storage/storage_names.h"
#include "storage/storage_repositories.h"
#include "storage/storage_state.h"
#include "storage/storage_text.h"
#include "text/json_escape.h"

namespace storage {
namespace {

constexpr size_t kNameMax = 255;

// Index of the first name that sorts after last (names sorted).
int page_start(char* const* names, int count, const char* last) {
  if (last == nullptr || last[0] == '\0') return 0;
  auto it = std::upper_bound(names, names + count, last, [](const char* a, const char* b) { return str_cmp(a, b) < 0; });
  return static_cast<int>(it - names);
}

// Sorts names and writes the page of at most n names after last: head,
// the names as JSON strings, "]}"; page gets where it ended.
int write_page(const char* head, size_t head_len, NameList& names, int n, const char* last, reg_writer write,
               void* write_ctx, reg_page* page, reg_status* st) {
  const int count = names.size();
  char** items = names.items();
  sort_str(items, count);
  const int start = page_start(items, count, last);
  int end = count;
  if (n > 0 && static_cast<long long>(start) + n < count) end = start + n;
  TextOut out(write, write_ctx);
  int written = 0;
  write_names_page(&out, head, head_len, items, start, end, kResultCap, &written);
  if (out.flush(st) != 0) return -1;
  set_page(page, start + written < count && written > 0 ? items[start + written - 1] : nullptr);
  return 0;
}

int catalog(int n, const char* last, reg_name_filter keep, void* keep_ctx, reg_writer write, void* write_ctx,
            reg_page* page, reg_status* st) {
  if (write == nullptr) return fail(st, REG_ERR_INVALID, "NULL argument");
  if (require_ready(st) != 0) return -1;
  NameList names;
  // A tree without a repositories directory has none; one we cannot read
  // is a failure, never an empty answer.
  if (collect_repositories(&names) == Scan::kFailed) {
    char dir[kPathCap];
    repos_dir(dir, sizeof dir);
    return fail(st, REG_ERR_STORAGE, "cannot read repositories: %s", dir);
  }
  constexpr char kOpen[] = "{\"repositories\":[";
  if (keep == nullptr) return write_page(kOpen, sizeof kOpen - 1, names, n, last, write, write_ctx, page, st);
  NameList kept;
  char** items = names.items();
  for (int i = 0; i < names.size(); ++i) {
    if (keep(keep_ctx, items[i]) != 0) kept.add(items[i]);
  }
  return write_page(kOpen, sizeof kOpen - 1, kept, n, last, write, write_ctx, page, st);
}

int tags_page(const char* repo_name, int n, const char* last, reg_writer write, void* write_ctx, reg_page* page,
              reg_status* st) {
  if (repo_name == nullptr) return fail(st, REG_ERR_INVALID, "repo_name is NULL");
  if (write == nullptr) return fail(st, REG_ERR_INVALID, "NULL argument");
  if (require_ready(st) != 0) return -1;
  if (!repo_name_valid(repo_name)) return fail(st, REG_ERR_INVALID, "invalid repository name");
  char tags[kPathCap];
  manifest_tags_dir(repo_name, tags, sizeof tags);  // fits: root and name are bounded
  std::vector<Entry> entries;
  if (scan_dir(tags, &entries) == Scan::kFailed) return fail(st, REG_ERR_STORAGE, "cannot read tags: %s", tags);
  // A tag counts while its link can be read, whatever it holds.
  NameList names;
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
  return write_page(head, static_cast<size_t>(head_len), names, n, last, write, write_ctx, page, st);
}

}  // namespace

void write_names_page(TextOut* out, const char* head, size_t head_len, char* const* names, int start, int end,
                      size_t cap, int* written) {
  constexpr char kClose[] = "]}";
  out->put(head, head_len);
  size_t pos = head_len;
  int i = start;
  for (; i < end; ++i) {
    const size_t comma = i > start ? 1 : 0;
    // The comma, the quotes, the escaped name, and the close with its NUL.
    const size_t raw = std::strlen(names[i]);
    const size_t escaped = text_json_escaped_len(names[i], raw);
    if (pos + comma + 1 + escaped + 9 > cap) break;
    if (comma) out->put(",", 1);
    out->put("\"", 1);
    if (escaped == raw) {  // nothing to escape
      out->put(names[i], raw);
    } else {
      std::string e(escaped, '\0');
      text_json_escape(names[i], raw, e.data());
      out->put(e);
    }
    out->put("\"", 1);
    pos += comma + 2 + escaped;
  }
  out->put(kClose, sizeof kClose - 1);
  if (written != nullptr) *written = i - start;
}

void set_page(reg_page* page, const char* last_written) {
  if (page == nullptr) return;
  page->more = last_written != nullptr ? 1 : 0;
  std::snprintf(page->next, sizeof page->next, "%s", last_written != nullptr ? last_written : "");
}

}  // namespace storage

using namespace storage;

extern "C" {

int reg_catalog_json_where(int n, const char* last, reg_name_filter keep, void* keep_ctx, reg_writer write,
                           void* write_ctx, reg_page* page, reg_status* caller) {
  CallStatus st(caller);
  set_page(page, nullptr);
  return catalog(n, last, keep, keep_ctx, write, write_ctx, page, st);
}

const char* reg_catalog_json(int n, const char* last) {
  PublishedStatus st;
  BufferWriter result{s_result, kResultCap};
  return catalog(n, last, nullptr, nullptr, BufferWriter::write, &result, nullptr, st) == 0 ? s_result : nullptr;
}

int reg_tags_page_json(const char* repo_name, int n, const char* last, reg_writer write, void* write_ctx,
                       reg_page* page, reg_status* caller) {
  CallStatus st(caller);
  set_page(page, nullptr);
  return tags_page(repo_name, n, last, write, write_ctx, page, st);
}

const char* reg_tags_list_json(const char* repo_name) {
  PublishedStatus st;
  BufferWriter result{s_result, kResultCap};
  return tags_page(repo_name, 0, nullptr, BufferWriter::write, &result, nullptr, st) == 0 ? s_result : nullptr;
}

}  // extern "C"
