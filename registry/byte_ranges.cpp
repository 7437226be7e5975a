// Byte ranges, parsed strictly: digits only, no sign, no white space inside
// a number, and numbers that fit 63 bits.
#include "registry/byte_ranges.h"

#include <cstring>

namespace registry {
namespace {

// A decimal number at *p; false when there are no digits or it overflows.
bool number(const char** p, int64_t* out) {
  const char* s = *p;
  if (*s < '0' || *s > '9') return false;
  int64_t v = 0;
  while (*s >= '0' && *s <= '9') {
    const int d = *s - '0';
    if (v > (INT64_MAX - d) / 10) return false;
    v = v * 10 + d;
    ++s;
  }
  *p = s;
  *out = v;
  return true;
}

void skip_spaces(const char** p) {
  while (**p == ' ' || **p == '\t') ++*p;
}

}  // namespace

RangeAnswer parse_range(const char* header, int64_t size, int64_t* first, int64_t* last) {
  if (header == nullptr || std::strncmp(header, "bytes=", 6) != 0) return RangeAnswer::kWhole;
  const char* p = header + 6;
  skip_spaces(&p);
  if (std::strchr(p, ',') != nullptr) return RangeAnswer::kWhole;  // several ranges: the whole content
  int64_t a = -1, b = -1;
  if (*p == '-') {
    ++p;
    int64_t suffix = 0;
    if (!number(&p, &suffix)) return RangeAnswer::kWhole;
    skip_spaces(&p);
    if (*p != '\0') return RangeAnswer::kWhole;
    if (suffix == 0 || size == 0) return RangeAnswer::kUnsatisfiable;
    a = suffix >= size ? 0 : size - suffix;
    b = size - 1;
  } else {
    if (!number(&p, &a) || *p != '-') return RangeAnswer::kWhole;
    ++p;
    if (*p >= '0' && *p <= '9') {
      if (!number(&p, &b) || b < a) return RangeAnswer::kWhole;
    }
    skip_spaces(&p);
    if (*p != '\0') return RangeAnswer::kWhole;
    if (a >= size) return RangeAnswer::kUnsatisfiable;
    if (b < 0 || b >= size) b = size - 1;
  }
  *first = a;
  *last = b;
  return RangeAnswer::kPart;
}

RangeAnswer parse_ranges(const char* header, int64_t size, std::vector<ByteRange>* out) {
  out->clear();
  const auto whole = [out] {
    out->clear();
    return RangeAnswer::kWhole;
  };
  if (header == nullptr || std::strncmp(header, "bytes=", 6) != 0) return RangeAnswer::kWhole;
  const char* p = header + 6;
  size_t asked = 0;
  int64_t total = 0;
  for (;;) {
    skip_spaces(&p);
    if (*p == ',') {  // empty elements of the list are allowed
      ++p;
      continue;
    }
    if (*p == '\0') break;
    if (++asked > kMaxRangeParts) return whole();
    int64_t a = -1, b = -1;
    bool holds = true;
    if (*p == '-') {
      ++p;
      int64_t suffix = 0;
      if (!number(&p, &suffix)) return whole();
      if (suffix == 0 || size == 0) {
        holds = false;
      } else {
        a = suffix >= size ? 0 : size - suffix;
        b = size - 1;
      }
    } else {
      if (!number(&p, &a) || *p != '-') return whole();
      ++p;
      if (*p >= '0' && *p <= '9') {
        if (!number(&p, &b) || b < a) return whole();
      }
      if (a >= size) {
        holds = false;
      } else if (b < 0 || b >= size) {
        b = size - 1;
      }
    }
    skip_spaces(&p);
    if (*p != ',' && *p != '\0') return whole();
    if (holds) {
      if (b - a + 1 > size - total) return whole();  // (total never passes size, so no overflow)
      total += b - a + 1;
      out->push_back({a, b});
    }
  }
  if (asked == 0) return whole();
  return out->empty() ? RangeAnswer::kUnsatisfiable : RangeAnswer::kPart;
}

bool parse_content_range(const char* header, int64_t* first, int64_t* last) {
  if (header == nullptr) return false;
  const char* p = header;
  skip_spaces(&p);
  if (std::strncmp(p, "bytes", 5) == 0) {
    p += 5;
    skip_spaces(&p);
    if (*p == '=') ++p;
    skip_spaces(&p);
  }
  int64_t a = 0, b = 0;
  if (!number(&p, &a) || *p != '-') return false;
  ++p;
  if (!number(&p, &b) || b < a) return false;
  if (*p == '/') {
    ++p;
    int64_t total = 0;
    if (*p == '*') {
      ++p;
    } else if (!number(&p, &total) || total <= b) {
      return false;
    }
  }
  skip_spaces(&p);
  if (*p != '\0') return false;
  *first = a;
  *last = b;
  return true;
}

}  // namespace registry
