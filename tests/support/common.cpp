// Test helpers that are the same on every host.
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "hash/sha256.h"
#include "hash/sha512.h"
#include "test_support.h"

namespace testing_support {

void write_bytes(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  if (!f) throw std::runtime_error("cannot write " + path);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string read_bytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

namespace {

std::string digest_of(const char* alg, const uint8_t* raw, size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string s = std::string(alg) + ":";
  for (size_t i = 0; i < n; ++i) {
    s += digits[raw[i] >> 4];
    s += digits[raw[i] & 15];
  }
  return s;
}

}  // namespace

std::string digest_string(const std::string& data) {
  sha256_ctx ctx;
  sha256_init(&ctx);
  sha256_update(&ctx, data.data(), data.size());
  uint8_t raw[32];
  sha256_final(&ctx, raw);
  return digest_of("sha256", raw, sizeof raw);
}

std::string sha512_digest_string(const std::string& data) {
  hash_sha512_ctx ctx;
  hash_sha512_init(&ctx);
  hash_sha512_update(&ctx, data.data(), data.size());
  uint8_t raw[64];
  hash_sha512_final(&ctx, raw);
  return digest_of("sha512", raw, sizeof raw);
}

}  // namespace testing_support
