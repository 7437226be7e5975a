#include "hash/sha256.h"
#include "test_support.h"

namespace testing_support {

std::string digest_string(const std::string& data) {
  static const char* digits = "0123456789abcdef";
  sha256_ctx ctx;
  sha256_init(&ctx);
  sha256_update(&ctx, data.data(), data.size());
  uint8_t raw[32];
  sha256_final(&ctx, raw);
  std::string s = "sha256:";
  for (uint8_t b : raw) {
    s += digits[b >> 4];
    s += digits[b & 15];
  }
  return s;
}

}  // namespace testing_support
