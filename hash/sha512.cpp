// SHA-512 through Nettle.
#include "hash/sha512.h"

#include <nettle/sha2.h>

#include <cstdio>
#include <cstring>

namespace {

struct sha512_ctx* nettle_ctx(hash_sha512_ctx* ctx) { return reinterpret_cast<struct sha512_ctx*>(ctx->opaque); }

static_assert(sizeof(struct sha512_ctx) <= sizeof(hash_sha512_ctx), "Nettle's state fits the opaque one");
static_assert(alignof(struct sha512_ctx) <= alignof(hash_sha512_ctx));

}  // namespace

extern "C" {

void hash_sha512_init(hash_sha512_ctx* ctx) {
  std::memset(ctx, 0, sizeof *ctx);
  sha512_init(nettle_ctx(ctx));
}

void hash_sha512_update(hash_sha512_ctx* ctx, const void* data, uint64_t len) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  // Nettle takes size_t lengths: feed a 64-bit count in pieces.
  while (len > 0) {
    const size_t piece = len > (1u << 30) ? (1u << 30) : static_cast<size_t>(len);
    sha512_update(nettle_ctx(ctx), piece, p);
    p += piece;
    len -= piece;
  }
}

void hash_sha512_final(hash_sha512_ctx* ctx, uint8_t out[64]) { sha512_digest(nettle_ctx(ctx), SHA512_DIGEST_SIZE, out); }

size_t hash_sha512_export(const hash_sha512_ctx* ctx, uint8_t out[HASH_SHA512_EXPORT_MAX]) {
  const auto* n = reinterpret_cast<const struct sha512_ctx*>(ctx->opaque);
  uint8_t* p = out;
  for (uint64_t w : n->state) {
    for (int i = 7; i >= 0; --i) *p++ = static_cast<uint8_t>(w >> (8 * i));
  }
  const uint64_t bytes = n->count_low * SHA512_BLOCK_SIZE + n->index;
  for (int i = 7; i >= 0; --i) *p++ = static_cast<uint8_t>(bytes >> (8 * i));
  std::memcpy(p, n->block, n->index);
  return static_cast<size_t>(p - out) + n->index;
}

int hash_sha512_import(hash_sha512_ctx* ctx, const uint8_t* in, size_t len) {
  if (len < 72) return -1;
  uint64_t bytes = 0;
  for (int i = 0; i < 8; ++i) bytes = (bytes << 8) | in[64 + i];
  const uint64_t tail = bytes % SHA512_BLOCK_SIZE;
  if (len != 72 + tail) return -1;
  hash_sha512_init(ctx);
  struct sha512_ctx* n = nettle_ctx(ctx);
  for (int w = 0; w < 8; ++w) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | in[8 * w + i];
    n->state[w] = v;
  }
  n->count_low = bytes / SHA512_BLOCK_SIZE;
  n->count_high = 0;
  n->index = static_cast<unsigned>(tail);
  std::memcpy(n->block, in + 72, tail);
  return 0;
}

int hash_sha512_stream(FILE* f, uint8_t out[64]) {
  if (std::fflush(f) != 0 || std::fseek(f, 0, SEEK_SET) != 0) return -1;
  hash_sha512_ctx ctx;
  hash_sha512_init(&ctx);
  // On the stack: no two threads hashing share it.
  alignas(64) uint8_t chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) hash_sha512_update(&ctx, chunk, n);
  if (std::ferror(f) != 0) return -1;
  hash_sha512_final(&ctx, out);
  return 0;
}

}  // extern "C"
