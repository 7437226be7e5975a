// SHA-256 over memory in pieces and over files.
#include "hash/sha256.h"

#include <cstdio>
#include <cstring>

#include "hash/sha256_internal.h"
#include "platform/host.h"

using sha256_detail::compress;

namespace {

// Hashes what the stream holds from its position to its end.
int hash_from_here(FILE* f, uint8_t out[32]);

}  // namespace

extern "C" {

void sha256_transform(sha256_ctx* ctx, const uint8_t block[64]) { compress(ctx->state, block, 1); }

void sha256_init(sha256_ctx* ctx) {
  static constexpr uint32_t kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                           0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::memcpy(ctx->state, kInitial, sizeof kInitial);
  ctx->bitlen = 0;
  ctx->buflen = 0;
}

void sha256_update(sha256_ctx* ctx, const void* data, uint64_t len) {
  if (len == 0) return;  // data may then be null
  const uint8_t* p = static_cast<const uint8_t*>(data);
  ctx->bitlen += len * 8;
  // Top up a partly filled block first.
  if (ctx->buflen > 0) {
    const uint64_t n = len < 64 - ctx->buflen ? len : 64 - ctx->buflen;
    std::memcpy(ctx->buffer + ctx->buflen, p, n);
    ctx->buflen += n;
    p += n;
    len -= n;
    if (ctx->buflen < 64) return;
    compress(ctx->state, ctx->buffer, 1);
    ctx->buflen = 0;
  }
  // Whole blocks straight from the caller's memory. The buffer is left
  // holding what byte-by-byte filling would have left there: the last
  // whole block, under the tail that follows it.
  const uint64_t blocks = len / 64;
  if (blocks > 0) {
    compress(ctx->state, p, blocks);
    std::memcpy(ctx->buffer, p + (blocks - 1) * 64, 64);
    p += blocks * 64;
    len -= blocks * 64;
  }
  if (len > 0) {
    std::memcpy(ctx->buffer, p, len);
    ctx->buflen = len;
  }
}

void sha256_final(sha256_ctx* ctx, uint8_t out[32]) {
  const uint64_t bits = ctx->bitlen;
  const uint8_t one = 0x80;
  const uint8_t zero = 0;
  sha256_update(ctx, &one, 1);
  while (ctx->buflen != 56) sha256_update(ctx, &zero, 1);
  uint8_t length[8];
  for (int i = 0; i < 8; ++i) length[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
  sha256_update(ctx, length, 8);
  for (int i = 0; i < 8; ++i) {
    out[4 * i] = static_cast<uint8_t>(ctx->state[i] >> 24);
    out[4 * i + 1] = static_cast<uint8_t>(ctx->state[i] >> 16);
    out[4 * i + 2] = static_cast<uint8_t>(ctx->state[i] >> 8);
    out[4 * i + 3] = static_cast<uint8_t>(ctx->state[i]);
  }
}

size_t sha256_export(const sha256_ctx* ctx, uint8_t out[SHA256_EXPORT_MAX]) {
  uint8_t* p = out;
  for (uint32_t w : ctx->state) {
    for (int i = 3; i >= 0; --i) *p++ = static_cast<uint8_t>(w >> (8 * i));
  }
  const uint64_t bytes = ctx->bitlen / 8;
  for (int i = 7; i >= 0; --i) *p++ = static_cast<uint8_t>(bytes >> (8 * i));
  std::memcpy(p, ctx->buffer, ctx->buflen);
  return static_cast<size_t>(p - out) + ctx->buflen;
}

int sha256_import(sha256_ctx* ctx, const uint8_t* in, size_t len) {
  if (len < 40) return -1;
  uint64_t bytes = 0;
  for (int i = 0; i < 8; ++i) bytes = (bytes << 8) | in[32 + i];
  const uint64_t tail = bytes % 64;
  if (len != 40 + tail) return -1;
  for (int w = 0; w < 8; ++w) {
    ctx->state[w] = (uint32_t{in[4 * w]} << 24) | (uint32_t{in[4 * w + 1]} << 16) | (uint32_t{in[4 * w + 2]} << 8) |
                    uint32_t{in[4 * w + 3]};
  }
  ctx->bitlen = bytes * 8;
  std::memset(ctx->buffer, 0, sizeof ctx->buffer);
  std::memcpy(ctx->buffer, in + 40, tail);
  ctx->buflen = tail;
  return 0;
}

int sha256_file(const char* path, uint8_t out[32]) {
  FILE* f = host::open_file(path, "rb");
  if (f == nullptr) return -1;
  // Reads go straight into our buffer: no stream buffer on the heap.
  std::setvbuf(f, nullptr, _IONBF, 0);
  const int rc = hash_from_here(f, out);
  std::fclose(f);
  return rc;
}

int sha256_stream(FILE* f, uint8_t out[32]) {
  if (std::fflush(f) != 0 || std::fseek(f, 0, SEEK_SET) != 0) return -1;
  return hash_from_here(f, out);
}

}  // extern "C"

namespace {

int hash_from_here(FILE* f, uint8_t out[32]) {
  sha256_ctx ctx;
  sha256_init(&ctx);
  alignas(64) uint8_t chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) sha256_update(&ctx, chunk, n);
  if (std::ferror(f) != 0) return -1;
  sha256_final(&ctx, out);
  return 0;
}

}  // namespace
