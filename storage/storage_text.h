// Text helpers of the engine (storage_text.cpp): JSON escaping into
// bounded buffers, the byte-order sort of listings, name lists, and the
// ways a text reaches its caller.
#ifndef REGISTRY_STORAGE_TEXT_H
#define REGISTRY_STORAGE_TEXT_H

#include <cstddef>
#include <string>
#include <vector>

#include "storage/reg_storage.h"

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

// A text on its way to the caller's writer, gathered into pieces of a
// few KiB so that a listing of many names costs few calls of the writer.
class TextOut {
 public:
  TextOut(reg_writer write, void* ctx) : write_(write), ctx_(ctx) {}
  TextOut(const TextOut&) = delete;
  TextOut& operator=(const TextOut&) = delete;
  void put(const char* data, size_t len);
  void put(const std::string& s) { put(s.data(), s.size()); }
  // Hands on what is gathered: 0, or -1 (REG_ERR_STORAGE in st) when the
  // writer refused this or any earlier piece.
  int flush(reg_status* st);

 private:
  reg_writer write_;
  void* ctx_;
  bool refused_ = false;
  size_t len_ = 0;
  char buf_[8192];
};

// A writer into the caller's buffer of cap bytes: the text and a NUL
// after it; a text that would not leave room for the NUL is refused.
struct BufferWriter {
  char* buf;
  size_t cap;
  size_t len = 0;
  static int write(void* ctx, const char* data, size_t n);
};

// A writer that appends to a std::string.
int append_to_string(void* ctx, const char* data, size_t n);

}  // namespace storage

#endif
