// The compression function behind the streaming interface: a portable
// core and CPU-specific paths, chosen at run time.
#ifndef REGISTRY_HASH_SHA256_INTERNAL_H
#define REGISTRY_HASH_SHA256_INTERNAL_H

#include <cstddef>
#include <cstdint>

#include "hash/sha256.h"

namespace sha256_detail {

// Compresses nblocks consecutive 64-byte blocks into state.
using BlocksFn = void (*)(uint32_t state[8], const uint8_t* data, size_t nblocks);

extern const uint32_t K[64];

void blocks_portable(uint32_t state[8], const uint8_t* data, size_t nblocks);
#if defined(__x86_64__) || defined(__i386__)
void blocks_shani(uint32_t state[8], const uint8_t* data, size_t nblocks);
#endif

// The path in use: the fastest one this CPU supports.
void compress(uint32_t state[8], const uint8_t* data, size_t nblocks);
// Name of the path in use ("portable", "sha-ni").
const char* path_name();
// Tests and benchmarks: true forces the portable path, false restores the
// choice from the CPU's features.
void force_portable(bool on);

}  // namespace sha256_detail

extern "C" void sha256_transform(sha256_ctx* ctx, const uint8_t block[64]);

#endif
