// SHA-256 of arbitrary pieces: the portable and the accelerated paths agree
// on every field of the context and on the digest, whatever the cuts.
// Input: the message; its bytes also choose the piece sizes.
#include "fuzz/fuzz_target.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "hash/sha256.h"
#include "hash/sha256_internal.h"

namespace {

void digest_in_pieces(const uint8_t* data, size_t size, bool portable, sha256_ctx* ctx, uint8_t out[32]) {
  sha256_detail::force_portable(portable);
  std::memset(ctx, 0, sizeof *ctx);
  sha256_init(ctx);
  size_t off = 0;
  size_t i = 0;
  while (off < size) {
    size_t n = 1 + (data[i++ % size] * 7u) % 200u;  // never 0
    if (n > size - off) n = size - off;
    sha256_update(ctx, data + off, n);
    off += n;
  }
  sha256_ctx copy = *ctx;
  sha256_final(&copy, out);
  sha256_detail::force_portable(false);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  sha256_ctx a;
  sha256_ctx b;
  uint8_t da[32];
  uint8_t db[32];
  digest_in_pieces(data, size, true, &a, da);
  digest_in_pieces(data, size, false, &b, db);
  if (std::memcmp(&a, &b, sizeof a) != 0 || std::memcmp(da, db, 32) != 0) std::abort();
  // One piece gives the same digest.
  sha256_ctx whole;
  sha256_init(&whole);
  sha256_update(&whole, data, size);
  uint8_t dw[32];
  sha256_final(&whole, dw);
  if (std::memcmp(dw, da, 32) != 0) std::abort();
  return 0;
}
