// Base64, both alphabets.
#include "access/base64.h"

#include <cstdint>

namespace auth {
namespace {

constexpr char kUrl[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

int value_of(char c, bool url) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == (url ? '-' : '+')) return 62;
  if (c == (url ? '_' : '/')) return 63;
  return -1;
}

// Decodes unpadded text; every encoding is canonical: the bits past the
// last whole byte must be zero, so no two texts decode to the same bytes.
bool decode(const char* s, size_t n, bool url, std::string* out) {
  if (n % 4 == 1) return false;
  out->clear();
  out->reserve(n / 4 * 3 + 2);
  uint32_t acc = 0;
  int bits = 0;
  for (size_t i = 0; i < n; ++i) {
    const int v = value_of(s[i], url);
    if (v < 0) return false;
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out->push_back(static_cast<char>((acc >> bits) & 0xFF));
    }
  }
  return (acc & ((1u << bits) - 1)) == 0;
}

}  // namespace

std::string base64url_encode(const std::string& bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  uint32_t acc = 0;
  int bits = 0;
  for (unsigned char c : bytes) {
    acc = (acc << 8) | c;
    bits += 8;
    while (bits >= 6) {
      bits -= 6;
      out.push_back(kUrl[(acc >> bits) & 63]);
    }
  }
  if (bits > 0) out.push_back(kUrl[(acc << (6 - bits)) & 63]);
  return out;
}

bool base64url_decode(const std::string& text, std::string* bytes) {
  return decode(text.data(), text.size(), true, bytes);
}

bool base64_decode(const std::string& text, std::string* bytes) {
  if (text.size() % 4 != 0) return false;
  size_t n = text.size();
  while (n > 0 && text.size() - n < 2 && text[n - 1] == '=') --n;
  // Exactly the padding that completes the last group of four.
  const size_t pads = text.size() - n;
  if ((n % 4 == 0 && pads != 0) || (n % 4 == 2 && pads != 2) || (n % 4 == 3 && pads != 1)) return false;
  return decode(text.data(), n, false, bytes);
}

}  // namespace auth
