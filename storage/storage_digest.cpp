// Digest strings and upload identifiers.
#include <cstring>

#include "hash/sha256.h"
#include "hash/sha512.h"
#include "platform/host.h"
#include "storage/reg_storage.h"
#include "storage/storage_digest.h"
#include "text/hex.h"

namespace storage {
namespace {

bool is_lower_hex(char c) { return text_lower_hex_value(static_cast<unsigned char>(c)) >= 0; }

}  // namespace

void bin_to_hex(const uint8_t* data, size_t len, char* out) { text_hex_encode(data, len, out); }

DigestAlg digest_alg(const char* s, size_t len) {
  if (s == nullptr || len < 7) return DigestAlg::kNone;
  DigestAlg alg = DigestAlg::kNone;
  size_t digits = 0;
  if (std::memcmp(s, "sha256:", 7) == 0) {
    alg = DigestAlg::kSha256, digits = 64;
  } else if (std::memcmp(s, "sha512:", 7) == 0) {
    alg = DigestAlg::kSha512, digits = 128;
  } else {
    return DigestAlg::kNone;
  }
  if (len - 7 != digits) return DigestAlg::kNone;
  for (size_t i = 7; i < len; ++i) {
    if (!is_lower_hex(s[i])) return DigestAlg::kNone;
  }
  return alg;
}

DigestAlg digest_alg(const char* s) { return s == nullptr ? DigestAlg::kNone : digest_alg(s, std::strlen(s)); }

int digest_valid(const char* s) { return digest_alg(s) == DigestAlg::kSha256 ? 1 : 0; }

const char* digest_alg_name(DigestAlg alg) { return alg == DigestAlg::kSha512 ? "sha512" : "sha256"; }

DigestAlg digest_alg_named(const char* name) {
  if (name == nullptr) return DigestAlg::kNone;
  if (std::strcmp(name, "sha256") == 0) return DigestAlg::kSha256;
  if (std::strcmp(name, "sha512") == 0) return DigestAlg::kSha512;
  return DigestAlg::kNone;
}

DigestAlg digest_alg_of_hex(const char* hex) {
  return std::strlen(hex) == 128 ? DigestAlg::kSha512 : DigestAlg::kSha256;
}

const char* digest_hex_of(const char* digest) {
  const char* colon = std::strchr(digest, ':');
  return colon != nullptr ? colon + 1 : digest;
}

DigestHasher::DigestHasher(DigestAlg alg) : alg_(alg) {
  static_assert(sizeof(sha256_ctx) <= sizeof state_ && sizeof(hash_sha512_ctx) <= sizeof state_);
  if (alg_ == DigestAlg::kSha512) {
    hash_sha512_init(reinterpret_cast<hash_sha512_ctx*>(state_));
  } else {
    sha256_init(reinterpret_cast<sha256_ctx*>(state_));
  }
}

void DigestHasher::update(const void* data, size_t len) {
  if (alg_ == DigestAlg::kSha512) {
    hash_sha512_update(reinterpret_cast<hash_sha512_ctx*>(state_), data, len);
  } else {
    sha256_update(reinterpret_cast<sha256_ctx*>(state_), data, len);
  }
}

std::string DigestHasher::finish() {
  uint8_t raw[64];
  size_t n = 32;
  if (alg_ == DigestAlg::kSha512) {
    hash_sha512_final(reinterpret_cast<hash_sha512_ctx*>(state_), raw);
    n = 64;
  } else {
    sha256_final(reinterpret_cast<sha256_ctx*>(state_), raw);
  }
  char hex[kHexCap];
  bin_to_hex(raw, n, hex);
  return std::string(digest_alg_name(alg_)) + ":" + hex;
}

std::string DigestHasher::save() const {
  uint8_t out[HASH_SHA512_EXPORT_MAX > SHA256_EXPORT_MAX ? HASH_SHA512_EXPORT_MAX : SHA256_EXPORT_MAX];
  const size_t n = alg_ == DigestAlg::kSha512 ? hash_sha512_export(reinterpret_cast<const hash_sha512_ctx*>(state_), out)
                                              : sha256_export(reinterpret_cast<const sha256_ctx*>(state_), out);
  return std::string(reinterpret_cast<const char*>(out), n);
}

bool DigestHasher::restore(const std::string& saved) {
  const auto* in = reinterpret_cast<const uint8_t*>(saved.data());
  return (alg_ == DigestAlg::kSha512 ? hash_sha512_import(reinterpret_cast<hash_sha512_ctx*>(state_), in, saved.size())
                                     : sha256_import(reinterpret_cast<sha256_ctx*>(state_), in, saved.size())) == 0;
}

uint64_t DigestHasher::bytes_taken() const {
  // The count sits right after the eight words in either export.
  const std::string s = save();
  const size_t at = alg_ == DigestAlg::kSha512 ? 64 : 32;
  uint64_t bytes = 0;
  for (size_t i = 0; i < 8; ++i) bytes = (bytes << 8) | static_cast<uint8_t>(s[at + i]);
  return bytes;
}

bool DigestHasher::of_stream(DigestAlg alg, FILE* f, std::string* out) {
  uint8_t raw[64];
  const bool sha512 = alg == DigestAlg::kSha512;
  if ((sha512 ? hash_sha512_stream(f, raw) : sha256_stream(f, raw)) != 0) return false;
  char hex[kHexCap];
  bin_to_hex(raw, sha512 ? 64 : 32, hex);
  *out = std::string(digest_alg_name(alg)) + ":" + hex;
  return true;
}

void uuid_format(const uint8_t bytes[16], char* out) {
  int digit = 0;
  for (int pos = 0; pos < 36; ++pos) {
    if (pos == 8 || pos == 13 || pos == 18 || pos == 23) {
      out[pos] = '-';
      continue;
    }
    // Low nibble of each byte first.
    out[pos] = text_hex_digit(bytes[digit / 2] >> (4 * (digit % 2)));
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

DigestAlg hex_alg(const char* name) {
  size_t n = 0;
  for (; name[n] != '\0'; ++n) {
    if (text_lower_hex_value(static_cast<unsigned char>(name[n])) < 0) return DigestAlg::kNone;
  }
  if (n == 64) return DigestAlg::kSha256;
  if (n == 128) return DigestAlg::kSha512;
  return DigestAlg::kNone;
}

}  // namespace storage

extern "C" int reg_digest_valid(const char* s, size_t len) {
  return storage::digest_alg(s, len) != storage::DigestAlg::kNone ? 1 : 0;
}
