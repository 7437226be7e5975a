// Text helpers of the engine (storage_text.cpp): JSON escaping into
// bounded buffers, the byte-order sort of listings, and name lists.
#ifndef REGISTRY_STORAGE_TEXT_H
#define REGISTRY_STORAGE_TEXT_H

#include <cstddef>
#include <string>
#include <vector>

namespace storage {

size_t json_escape_append(char* dst, size_t cap, const char* text);
// Length of the full escaped form of text, as json_escape_append writes it.
size_t json_escaped_len(const char* text);
int str_cmp(const char* a, const char* b);
void sort_str(char** items, int count);

// Names packed one after another in one block, for sorting and paging
// without a heap block per name.
class NameList {
 public:
  void clear() { arena_.clear(), offsets_.clear(); }
  void add(const std::string& name) {
    offsets_.push_back(arena_.size());
    arena_.append(name.c_str(), name.size() + 1);
  }
  int size() const { return static_cast<int>(offsets_.size()); }
  // The names as NUL-terminated texts, valid until the next add.
  char** items() {
    items_.resize(offsets_.size());
    for (size_t i = 0; i < offsets_.size(); ++i) items_[i] = arena_.data() + offsets_[i];
    return items_.data();
  }

 private:
  std::string arena_;
  std::vector<size_t> offsets_;
  std::vector<char*> items_;
};

}  // namespace storage

#endif
