// Text helpers of the storage engine: JSON escaping into bounded buffers
// and the byte-order sort of listings.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "storage/storage_state.h"
#include "storage/storage_text.h"
#include "text/json_escape.h"

namespace storage {

size_t json_escape_append(char* dst, size_t cap, const char* text) {
  if (text == nullptr) text = "";
  size_t w = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
    // Room for the longest escape and the NUL is kept before every byte,
    // so an escape is never cut and the NUL always fits.
    if (w + 8 >= cap) break;
    w += text_json_escape_byte(*p, dst + w);
  }
  if (w < cap) dst[w] = '\0';
  return w;
}

size_t json_escaped_len(const char* text) { return text_json_escaped_len(text, std::strlen(text)); }

void TextOut::put(const char* data, size_t len) {
  if (refused_) return;
  if (len_ + len > sizeof buf_) {
    if (len_ > 0 && write_(ctx_, buf_, len_) != 0) refused_ = true;
    len_ = 0;
    if (len > sizeof buf_) {  // larger than the buffer: handed on as it is
      if (!refused_ && write_(ctx_, data, len) != 0) refused_ = true;
      return;
    }
  }
  std::memcpy(buf_ + len_, data, len);
  len_ += len;
}

int TextOut::flush(reg_status* st) {
  if (!refused_ && len_ > 0 && write_(ctx_, buf_, len_) != 0) refused_ = true;
  len_ = 0;
  if (!refused_) return 0;
  fail(st, REG_ERR_STORAGE, "the text was refused by its writer");
  st->cause[0] = '\0';  // the writer's refusal is the caller's own, no system error
  return -1;
}

int BufferWriter::write(void* ctx, const char* data, size_t n) {
  auto* w = static_cast<BufferWriter*>(ctx);
  if (w->cap == 0 || n > w->cap - 1 - w->len) return -1;
  std::memcpy(w->buf + w->len, data, n);
  w->len += n;
  w->buf[w->len] = '\0';
  return 0;
}

int append_to_string(void* ctx, const char* data, size_t n) {
  static_cast<std::string*>(ctx)->append(data, n);
  return 0;
}

int str_cmp(const char* a, const char* b) {
  // strcmp compares bytes as unsigned char values: the order wanted here.
  return std::strcmp(a, b);
}

namespace {

// A text with its first eight bytes as a big-endian number (zero-padded
// past its end): comparing two keys orders the texts as str_cmp does on
// those bytes, so most comparisons are one integer comparison.
struct SortItem {
  uint64_t key;
  char* text;
};

SortItem make_item(char* text) {
  uint64_t key = 0;
  int i = 0;
  for (; i < 8 && text[i] != '\0'; ++i) key = (key << 8) | static_cast<unsigned char>(text[i]);
  key <<= 8 * (8 - i);
  return {key, text};
}

int compare_items(const SortItem& a, const SortItem& b) {
  if (a.key != b.key) return a.key < b.key ? -1 : 1;
  // Equal first eight bytes: equal texts when they are shorter, else the
  // rest decides.
  if ((a.key & 0xff) == 0) return 0;
  return str_cmp(a.text + 8, b.text + 8);
}

void insertion_sort(SortItem* items, int count) {
  for (int i = 1; i < count; ++i) {
    const SortItem key = items[i];
    int j = i - 1;
    while (j >= 0 && compare_items(items[j], key) > 0) {
      items[j + 1] = items[j];
      --j;
    }
    items[j + 1] = key;
  }
}

// Stable merge sort through scratch (room for count / 2 + 1 items). Being
// stable with the same order, it arranges the texts exactly as an
// insertion sort does, in O(n log n) comparisons instead of O(n^2).
void merge_sort(SortItem* items, SortItem* scratch, int count) {
  if (count < 16) {
    insertion_sort(items, count);
    return;
  }
  const int half = count / 2;
  merge_sort(items, scratch, half);
  merge_sort(items + half, scratch, count - half);
  if (compare_items(items[half - 1], items[half]) <= 0) return;  // already in order
  std::memcpy(scratch, items, static_cast<size_t>(half) * sizeof(SortItem));
  int i = 0, j = half, k = 0;
  while (i < half && j < count) {
    // Ties take the left run first, which keeps equal texts in order.
    items[k++] = compare_items(scratch[i], items[j]) <= 0 ? scratch[i++] : items[j++];
  }
  while (i < half) items[k++] = scratch[i++];
}

}  // namespace

void sort_str(char** texts, int count) {
  // Listings of up to 1024 texts sort on the stack; a larger array takes
  // scratch from the heap, with the same stable order.
  constexpr int kChunk = 1024;
  if (count <= kChunk) {
    SortItem items[kChunk];
    SortItem scratch[kChunk / 2 + 1];
    for (int i = 0; i < count; ++i) items[i] = make_item(texts[i]);
    merge_sort(items, scratch, count);
    for (int i = 0; i < count; ++i) texts[i] = items[i].text;
    return;
  }
  std::vector<SortItem> items(static_cast<size_t>(count));
  std::vector<SortItem> scratch(static_cast<size_t>(count) / 2 + 1);
  for (int i = 0; i < count; ++i) items[i] = make_item(texts[i]);
  merge_sort(items.data(), scratch.data(), count);
  for (int i = 0; i < count; ++i) texts[i] = items[i].text;
}

}  // namespace storage
