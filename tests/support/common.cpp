// Test helpers that are the same on every host.
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "hash/sha256.h"
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
