// Digest strings and upload identifiers.
#include <cstring>

#include "platform/host.h"
#include "storage/storage_internal.h"

namespace storage {
namespace {

constexpr bool is_lower_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

}  // namespace

void bin_to_hex(const uint8_t* data, size_t len, char* out) {
  static constexpr char hx[] = "0123456789abcdef";
  for (size_t i = 0; i < len; ++i) {
    out[2 * i] = hx[data[i] >> 4];
    out[2 * i + 1] = hx[data[i] & 15];
  }
  out[2 * len] = '\0';
}

int digest_valid(const char* s) {
  if (s == nullptr || std::strncmp(s, "sha256:", 7) != 0) return 0;
  const char* hex = s + 7;
  if (std::strlen(hex) != 64) return 0;
  for (int i = 0; i < 64; ++i) {
    if (!is_lower_hex(hex[i])) return 0;
  }
  return 1;
}

void uuid_format(const uint8_t bytes[16], char* out) {
  static constexpr char hx[] = "0123456789abcdef";
  int digit = 0;
  for (int pos = 0; pos < 36; ++pos) {
    if (pos == 8 || pos == 13 || pos == 18 || pos == 23) {
      out[pos] = '-';
      continue;
    }
    // Low nibble of each byte first.
    out[pos] = hx[(bytes[digit / 2] >> (4 * (digit % 2))) & 15];
    ++digit;
  }
  out[36] = '\0';
}

bool uuid_make(char* out) {
  // An identifier is a capability: whoever knows it may append to, finish
  // or cancel the upload. So it comes from the system's cryptographic
  // source, never from a generator whose state one identifier reveals.
  uint8_t bytes[16];
  if (!host::random_bytes(bytes, sizeof bytes)) return false;
  uuid_format(bytes, out);
  return true;
}

int uuid_valid(const char* s) {
  if (s == nullptr || std::strlen(s) != 36) return 0;
  for (int pos = 0; pos < 36; ++pos) {
    const bool dash_pos = pos == 8 || pos == 13 || pos == 18 || pos == 23;
    if (dash_pos ? s[pos] != '-' : !is_lower_hex(s[pos])) return 0;
  }
  return 1;
}

}  // namespace storage
