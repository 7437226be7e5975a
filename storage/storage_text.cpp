// Text helpers of the storage engine: JSON escaping into bounded buffers
// and the byte-order sort of listings.
#include <cstdio>
#include <cstring>

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

size_t json_escape_append(char* dst, size_t cap, const char* text) {
  if (text == nullptr) text = "";
  size_t w = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
    if (w + 8 >= cap) break;  // room for the longest escape and the NUL
    char esc[7];
    const size_t n = escape_byte(*p, esc);
    std::memcpy(dst + w, esc, n);
    w += n;
  }
  if (w < cap) dst[w] = '\0';
  return w;
}

size_t json_escaped_len(const char* text) {
  size_t n = 0;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
    char esc[7];
    n += escape_byte(*p, esc);
  }
  return n;
}

int str_cmp(const char* a, const char* b) {
  const unsigned char* x = reinterpret_cast<const unsigned char*>(a);
  const unsigned char* y = reinterpret_cast<const unsigned char*>(b);
  while (*x != 0 && *x == *y) {
    ++x;
    ++y;
  }
  return static_cast<int>(*x) - static_cast<int>(*y);
}

namespace {

void insertion_sort(char** items, int count) {
  for (int i = 1; i < count; ++i) {
    char* key = items[i];
    int j = i - 1;
    while (j >= 0 && str_cmp(items[j], key) > 0) {
      items[j + 1] = items[j];
      --j;
    }
    items[j + 1] = key;
  }
}

// Stable merge sort through scratch (room for count / 2 + 1 pointers).
// Being stable with the same comparison, it orders exactly as the
// insertion sort does, in O(n log n) comparisons instead of O(n^2).
void merge_sort(char** items, char** scratch, int count) {
  if (count < 16) {
    insertion_sort(items, count);
    return;
  }
  const int half = count / 2;
  merge_sort(items, scratch, half);
  merge_sort(items + half, scratch, count - half);
  if (str_cmp(items[half - 1], items[half]) <= 0) return;  // already in order
  std::memcpy(scratch, items, static_cast<size_t>(half) * sizeof(char*));
  int i = 0, j = half, k = 0;
  while (i < half && j < count) {
    // Ties take the left run first, which keeps equal texts in order.
    items[k++] = str_cmp(scratch[i], items[j]) <= 0 ? scratch[i++] : items[j++];
  }
  while (i < half) items[k++] = scratch[i++];
}

}  // namespace

void sort_str(char** items, int count) {
  constexpr int kScratch = 1024;
  if (count <= 2 * kScratch - 2) {
    char* scratch[kScratch];
    merge_sort(items, scratch, count);
  } else {
    insertion_sort(items, count);
  }
}

}  // namespace storage
