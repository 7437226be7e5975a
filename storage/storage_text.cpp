// Text helpers of the storage engine: JSON escaping into bounded buffers
// and the byte-order sort of listings.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "storage/storage_internal.h"

namespace storage {
namespace {

// The escape of one byte (0 to 6 bytes written to out, which has room for 7).
size_t escape_byte(unsigned char c, char* out) {
  switch (c) {
    case '\\': out[0] = '\\'; out[1] = '\\'; return 2;
    case '"': out[0] = '\\'; out[1] = '"'; return 2;
    case 0x08: out[0] = '\\'; out[1] = 'b'; return 2;
    case 0x09: out[0] = '\\'; out[1] = 't'; return 2;
    case 0x0A: out[0] = '\\'; out[1] = 'n'; return 2;
    case 0x0C: out[0] = '\\'; out[1] = 'f'; return 2;
    case 0x0D: out[0] = '\\'; out[1] = 'r'; return 2;
    default:
      if (c < 0x20) {
        std::snprintf(out, 7, "\\u%04x", c);
        return 6;
      }
      out[0] = static_cast<char>(c);
      return 1;
  }
}

}  // namespace

namespace {

// Bytes each input byte takes once escaped: 1, 2 (\" \\ \b \t \n \f \r) or 6 (\u00XX).
struct EscapedLenTable {
  unsigned char len[256];
};

constexpr EscapedLenTable make_escaped_len_table() {
  EscapedLenTable t{};
  for (int c = 0; c < 256; ++c) t.len[c] = c < 0x20 ? 6 : 1;
  t.len[0x22] = t.len[0x5C] = 2;  // '"' and the backslash
  t.len[0x08] = t.len[0x09] = t.len[0x0A] = t.len[0x0C] = t.len[0x0D] = 2;
  return t;
}

constexpr EscapedLenTable kEscapedLen = make_escaped_len_table();

}  // namespace

size_t json_escape_append(char* dst, size_t cap, const char* text) {
  if (text == nullptr) text = "";
  size_t w = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
    if (w + 8 >= cap) break;  // room for the longest escape and the NUL
    if (kEscapedLen.len[*p] == 1) {
      dst[w++] = static_cast<char>(*p);
    } else {
      char esc[7];
      const size_t n = escape_byte(*p, esc);
      std::memcpy(dst + w, esc, n);
      w += n;
    }
  }
  if (w < cap) dst[w] = '\0';
  return w;
}

size_t json_escaped_len(const char* text) {
  size_t n = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) n += kEscapedLen.len[*p];
  return n;
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
