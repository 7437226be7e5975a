// The portable SHA-256 compression function.
#include <cstring>

#include "hash/sha256_internal.h"

namespace sha256_detail {

alignas(64) const uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

namespace {

constexpr uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
constexpr uint32_t big_sigma0(uint32_t x) { return rotr(x, 2) ^ rotr(x, 13) ^ rotr(x, 22); }
constexpr uint32_t big_sigma1(uint32_t x) { return rotr(x, 6) ^ rotr(x, 11) ^ rotr(x, 25); }
constexpr uint32_t small_sigma0(uint32_t x) { return rotr(x, 7) ^ rotr(x, 18) ^ (x >> 3); }
constexpr uint32_t small_sigma1(uint32_t x) { return rotr(x, 17) ^ rotr(x, 19) ^ (x >> 10); }
constexpr uint32_t ch(uint32_t x, uint32_t y, uint32_t z) { return z ^ (x & (y ^ z)); }

inline uint32_t load_be32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

}  // namespace

// One round with the working variables named by position; the caller
// rotates the names instead of moving eight values per round. Maj(a,b,c)
// is b ^ ((a ^ b) & (b ^ c)), and this round's a ^ b is the next round's
// b ^ c, so each round computes one XOR of the pair instead of two.
#define SHA256_ROUND(a, b, c, d, e, f, g, h, i, w)           \
  do {                                                       \
    (h) += big_sigma1(e) + ch(e, f, g) + K[i] + (w);         \
    (d) += (h);                                              \
    const uint32_t ab = (a) ^ (b);                           \
    (h) += big_sigma0(a) + ((b) ^ (ab & bc));                \
    bc = ab;                                                 \
  } while (0)

void blocks_portable(uint32_t state[8], const uint8_t* data, size_t nblocks) {
  uint32_t a0 = state[0], b0 = state[1], c0 = state[2], d0 = state[3];
  uint32_t e0 = state[4], f0 = state[5], g0 = state[6], h0 = state[7];
  for (; nblocks > 0; --nblocks, data += 64) {
    uint32_t w[16];
    for (int i = 0; i < 16; ++i) w[i] = load_be32(data + 4 * i);
    uint32_t a = a0, b = b0, c = c0, d = d0, e = e0, f = f0, g = g0, h = h0;
    uint32_t bc = b ^ c;
#pragma GCC unroll 8
    for (int i = 0; i < 64; i += 8) {
      if (i >= 16) {
#pragma GCC unroll 8
        for (int j = 0; j < 8; ++j) {
          const int k = i + j;
          w[k & 15] += small_sigma1(w[(k - 2) & 15]) + w[(k - 7) & 15] + small_sigma0(w[(k - 15) & 15]);
        }
      }
      SHA256_ROUND(a, b, c, d, e, f, g, h, i + 0, w[(i + 0) & 15]);
      SHA256_ROUND(h, a, b, c, d, e, f, g, i + 1, w[(i + 1) & 15]);
      SHA256_ROUND(g, h, a, b, c, d, e, f, i + 2, w[(i + 2) & 15]);
      SHA256_ROUND(f, g, h, a, b, c, d, e, i + 3, w[(i + 3) & 15]);
      SHA256_ROUND(e, f, g, h, a, b, c, d, i + 4, w[(i + 4) & 15]);
      SHA256_ROUND(d, e, f, g, h, a, b, c, i + 5, w[(i + 5) & 15]);
      SHA256_ROUND(c, d, e, f, g, h, a, b, i + 6, w[(i + 6) & 15]);
      SHA256_ROUND(b, c, d, e, f, g, h, a, i + 7, w[(i + 7) & 15]);
    }
    a0 += a;
    b0 += b;
    c0 += c;
    d0 += d;
    e0 += e;
    f0 += f;
    g0 += g;
    h0 += h;
  }
  state[0] = a0;
  state[1] = b0;
  state[2] = c0;
  state[3] = d0;
  state[4] = e0;
  state[5] = f0;
  state[6] = g0;
  state[7] = h0;
}

#undef SHA256_ROUND

}  // namespace sha256_detail
