// Digest strings, hashing and upload identifiers (storage_digest.cpp).
#ifndef REGISTRY_STORAGE_DIGEST_H
#define REGISTRY_STORAGE_DIGEST_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace storage {

inline constexpr size_t kDigestCap = 72;      // "sha256:" + 64 hex digits + NUL
inline constexpr size_t kAnyDigestCap = 136;  // "sha512:" + 128 hex digits + NUL
inline constexpr size_t kHexCap = 129;        // the longest digest hex + NUL
inline constexpr size_t kUuidCap = 37;        // 36 characters + NUL

// The digest algorithms content may be addressed by. SHA-256 is the
// registry's own (its manifests by tag, the engine's reg_blob_* calls);
// SHA-512 content is stored, verified and served beside it.
enum class DigestAlg { kNone, kSha256, kSha512 };
// The algorithm of a well-formed digest string ("sha256:" and 64, or
// "sha512:" and 128, lowercase hex digits); kNone for anything else.
DigestAlg digest_alg(const char* s);
// The same for exactly len bytes at s (reg_digest_valid's rule).
DigestAlg digest_alg(const char* s, size_t len);
inline bool any_digest_valid(const char* s) { return digest_alg(s) != DigestAlg::kNone; }
// "sha256" or "sha512": the algorithm's name, and its directory in the tree.
const char* digest_alg_name(DigestAlg alg);
DigestAlg digest_alg_named(const char* name);
// The algorithm whose digests have hex of that length (64, 128).
DigestAlg digest_alg_of_hex(const char* hex);
// The hex digits of a digest string (after the ':').
const char* digest_hex_of(const char* digest);

// SHA-256 or SHA-512 over bytes taken in pieces.
class DigestHasher {
 public:
  explicit DigestHasher(DigestAlg alg);
  void update(const void* data, size_t len);
  // "<alg>:<hex>" of everything taken in.
  std::string finish();
  // The same over what an open stream holds, from its start: false when
  // it cannot be read.
  static bool of_stream(DigestAlg alg, FILE* f, std::string* out);
  DigestAlg alg() const { return alg_; }
  // The running state as portable bytes, and that state taken up again
  // (false, the hasher untouched, when the bytes are not one).
  std::string save() const;
  bool restore(const std::string& saved);
  // How many bytes were taken in.
  uint64_t bytes_taken() const;

 private:
  DigestAlg alg_;
  alignas(8) unsigned char state_[264];
};

// 2 * len lowercase hex digits, high nibble first, and a NUL.
void bin_to_hex(const uint8_t* data, size_t len, char* out);
// 1 for "sha256:" followed by exactly 64 lowercase hex digits.
int digest_valid(const char* s);
// The identifier that 16 bytes make: 32 digits in 8-4-4-4-12 groups, the
// low nibble of each byte first.
void uuid_format(const uint8_t bytes[16], char* out);
// A new upload identifier from the system's cryptographic random source;
// false when the source fails.
bool uuid_make(char* out);
// 1 for 36 characters: lowercase hex digits in 8-4-4-4-12 groups.
int uuid_valid(const char* s);

// The algorithm of a digest's hex digits (64 or 128 lowercase hex
// digits); kNone for any other name.
DigestAlg hex_alg(const char* name);

}  // namespace storage

#endif
