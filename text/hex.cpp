#include "text/hex.h"

namespace {

constexpr char kDigits[] = "0123456789abcdef";

}  // namespace

extern "C" {

int text_lower_hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

int text_hex_value(unsigned char c) {
  const int lower = text_lower_hex_value(c);
  if (lower >= 0) return lower;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

char text_hex_digit(unsigned nibble) { return kDigits[nibble & 15u]; }

void text_hex_encode(const uint8_t* data, size_t len, char* out) {
  for (size_t i = 0; i < len; ++i) {
    out[2 * i] = kDigits[data[i] >> 4];
    out[2 * i + 1] = kDigits[data[i] & 15];
  }
  out[2 * len] = '\0';
}

int text_hex_decode(const char* hex, size_t len, uint8_t* out, int lower_only) {
  for (size_t i = 0; i < len; ++i) {
    const unsigned char a = static_cast<unsigned char>(hex[2 * i]);
    const unsigned char b = static_cast<unsigned char>(hex[2 * i + 1]);
    const int hi = lower_only ? text_lower_hex_value(a) : text_hex_value(a);
    const int lo = lower_only ? text_lower_hex_value(b) : text_hex_value(b);
    if (hi < 0 || lo < 0) return -1;
    out[i] = static_cast<uint8_t>(hi * 16 + lo);
  }
  return 0;
}

}  // extern "C"
