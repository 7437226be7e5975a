// HMAC-SHA-256 over sha256.h.
#include "hash/hmac_sha256.h"

#include <cstring>

#include "hash/sha256.h"

extern "C" {

void hmac_sha256(const void* key, size_t key_len, const void* data, size_t len, uint8_t out[32]) {
  constexpr size_t kBlock = 64;
  uint8_t k[kBlock] = {};
  if (key_len > kBlock) {
    sha256_ctx c;
    sha256_init(&c);
    sha256_update(&c, key, key_len);
    sha256_final(&c, k);
  } else if (key_len > 0) {
    std::memcpy(k, key, key_len);
  }
  uint8_t pad[kBlock];
  for (size_t i = 0; i < kBlock; ++i) pad[i] = static_cast<uint8_t>(k[i] ^ 0x36);
  uint8_t inner[32];
  sha256_ctx c;
  sha256_init(&c);
  sha256_update(&c, pad, kBlock);
  sha256_update(&c, data, len);
  sha256_final(&c, inner);
  for (size_t i = 0; i < kBlock; ++i) pad[i] = static_cast<uint8_t>(k[i] ^ 0x5c);
  sha256_init(&c);
  sha256_update(&c, pad, kBlock);
  sha256_update(&c, inner, sizeof inner);
  sha256_final(&c, out);
}

int bytes_equal_ct(const void* a, const void* b, size_t n) {
  // Every byte is looked at, and the differences are gathered without a
  // branch; volatile keeps the compiler from ending the loop early.
  const volatile uint8_t* x = static_cast<const volatile uint8_t*>(a);
  const volatile uint8_t* y = static_cast<const volatile uint8_t*>(b);
  uint8_t diff = 0;
  for (size_t i = 0; i < n; ++i) diff = static_cast<uint8_t>(diff | (x[i] ^ y[i]));
  return diff == 0 ? 1 : 0;
}

}  // extern "C"
