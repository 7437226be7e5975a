// The repository catalog: repository directories, sorted, paged, as JSON.
#include <cstring>

#include "storage/reg_storage.h"
#include "storage/storage_internal.h"

namespace storage {
namespace {

// Index of the first name that sorts after last (names sorted).
int page_start(char* const* names, int count, const char* last) {
  if (last == nullptr || last[0] == '\0') return 0;
  for (int i = 0; i < count; ++i) {
    const int c = str_cmp(names[i], last);
    if (c == 0) return i + 1;
    if (c > 0) return i;
  }
  return count;
}

}  // namespace

size_t append_names_and_close(char* out, size_t pos, size_t cap, char* const* names, int start, int end) {
  constexpr char kClose[] = "]}";
  for (int i = start; i < end; ++i) {
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
  return pos + sizeof kClose - 1;
}

size_t write_catalog_page(char* out, size_t cap, char* const* names, int start, int end) {
  constexpr char kOpen[] = "{\"repositories\":[";
  std::memcpy(out, kOpen, sizeof kOpen - 1);
  return append_names_and_close(out, sizeof kOpen - 1, cap, names, start, end);
}

}  // namespace storage

using namespace storage;

extern "C" const char* reg_catalog_json(int n, const char* last) {
  if (require_ready() != 0) return nullptr;
  char dir[kPathCap];
  repos_dir(dir, sizeof dir);
  // Static, so an untouched tail costs nothing; the engine is single-threaded.
  static name_list names;
  // A repositories directory that cannot be listed is an empty catalog.
  if (list_subdirs(dir, &names) != 0) names.count = 0;
  const int count = names.count;  // only directories are repositories
  if (count > 1) sort_str(names.items, count);

  const int start = page_start(names.items, count, last);
  int end = count;
  if (n > 0 && static_cast<long long>(start) + n < count) end = start + n;
  write_catalog_page(s_result, kResultCap, names.items, start, end);
  return s_result;
}
