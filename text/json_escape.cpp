#include "text/json_escape.h"

#include <cstring>

#include "text/hex.h"

namespace {

// Bytes each input byte takes once escaped: 1, 2 (\" \\ \b \t \n \f \r) or
// 6 (\u00XX); looked up, so that the common run of plain bytes costs one
// load a byte.
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

char short_escape(unsigned char c) {
  switch (c) {
    case 0x08: return 'b';
    case 0x09: return 't';
    case 0x0A: return 'n';
    case 0x0C: return 'f';
    case 0x0D: return 'r';
    default: return static_cast<char>(c);  // '"' and the backslash stand for themselves
  }
}

}  // namespace

extern "C" {

size_t text_json_escape_byte(unsigned char c, char* out) {
  switch (kEscapedLen.len[c]) {
    case 1:
      out[0] = static_cast<char>(c);
      return 1;
    case 2:
      out[0] = '\\';
      out[1] = short_escape(c);
      return 2;
    default:
      std::memcpy(out, "\\u00", 4);
      out[4] = text_hex_digit(c >> 4);
      out[5] = text_hex_digit(c);
      return 6;
  }
}

size_t text_json_escaped_len(const char* text, size_t len) {
  size_t n = 0;
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  for (size_t i = 0; i < len; ++i) n += kEscapedLen.len[p[i]];
  return n;
}

size_t text_json_escape(const char* text, size_t len, char* out) {
  size_t w = 0;
  const auto* p = reinterpret_cast<const unsigned char*>(text);
  for (size_t i = 0; i < len; ++i) {
    if (kEscapedLen.len[p[i]] == 1) {
      out[w++] = static_cast<char>(p[i]);
    } else {
      w += text_json_escape_byte(p[i], out + w);
    }
  }
  return w;
}

}  // extern "C"
