// SHA-256 with the x86 SHA extensions (SHA-NI). Compiled for every x86
// build; called only when the CPU reports the extensions.
#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#include "hash/sha256_internal.h"

namespace sha256_detail {

__attribute__((target("sha,sse4.1,ssse3"))) void blocks_shani(uint32_t state[8], const uint8_t* data,
                                                              size_t nblocks) {
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);

  // The instructions keep the state as ABEF and CDGH.
  __m128i tmp = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0]));
  __m128i state1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4]));
  tmp = _mm_shuffle_epi32(tmp, 0xB1);
  state1 = _mm_shuffle_epi32(state1, 0x1B);
  __m128i state0 = _mm_alignr_epi8(tmp, state1, 8);
  state1 = _mm_blend_epi16(state1, tmp, 0xF0);

  for (; nblocks > 0; --nblocks, data += 64) {
    const __m128i abef_save = state0;
    const __m128i cdgh_save = state1;
    __m128i msg[4];
    for (int i = 0; i < 4; ++i) {
      msg[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), byte_swap);
    }
    // Sixteen groups of four rounds; group g uses msg[g % 4], completes
    // the schedule of the next group's words and starts the one after.
#pragma GCC unroll 16
    for (int g = 0; g < 16; ++g) {
      __m128i& cur = msg[g & 3];
      __m128i& prev = msg[(g + 3) & 3];
      __m128i& next = msg[(g + 1) & 3];
      __m128i m = _mm_add_epi32(cur, _mm_load_si128(reinterpret_cast<const __m128i*>(&K[4 * g])));
      state1 = _mm_sha256rnds2_epu32(state1, state0, m);
      if (g >= 3 && g <= 14) {
        next = _mm_add_epi32(next, _mm_alignr_epi8(cur, prev, 4));
        next = _mm_sha256msg2_epu32(next, cur);
      }
      m = _mm_shuffle_epi32(m, 0x0E);
      state0 = _mm_sha256rnds2_epu32(state0, state1, m);
      if (g >= 1 && g <= 12) prev = _mm_sha256msg1_epu32(prev, cur);
    }
    state0 = _mm_add_epi32(state0, abef_save);
    state1 = _mm_add_epi32(state1, cdgh_save);
  }

  tmp = _mm_shuffle_epi32(state0, 0x1B);
  state1 = _mm_shuffle_epi32(state1, 0xB1);
  state0 = _mm_blend_epi16(tmp, state1, 0xF0);
  state1 = _mm_alignr_epi8(state1, tmp, 8);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), state0);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), state1);
}

}  // namespace sha256_detail

#endif
