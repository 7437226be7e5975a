// Chooses the compression path from the CPU's feature bits, on first use
// (nothing runs at program start).
#include <atomic>

#include "hash/sha256_internal.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace sha256_detail {
namespace {

bool cpu_has_sha_extensions() {
#if defined(__x86_64__) || defined(__i386__)
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  const bool ssse3 = (c & (1u << 9)) != 0;
  const bool sse41 = (c & (1u << 19)) != 0;
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
  const bool sha = (b & (1u << 29)) != 0;
  return ssse3 && sse41 && sha;
#else
  return false;
#endif
}

BlocksFn best_path() {
#if defined(__x86_64__) || defined(__i386__)
  if (cpu_has_sha_extensions()) return blocks_shani;
#endif
  return blocks_portable;
}

// The chosen path; a CPU's features never change, so racing first calls
// store the same value.
std::atomic<BlocksFn> s_path{nullptr};

BlocksFn current() {
  BlocksFn fn = s_path.load(std::memory_order_relaxed);
  if (fn == nullptr) {
    fn = best_path();
    s_path.store(fn, std::memory_order_relaxed);
  }
  return fn;
}

}  // namespace

void compress(uint32_t state[8], const uint8_t* data, size_t nblocks) { current()(state, data, nblocks); }

const char* path_name() { return current() == blocks_portable ? "portable" : "sha-ni"; }

void force_portable(bool on) { s_path.store(on ? blocks_portable : best_path(), std::memory_order_relaxed); }

}  // namespace sha256_detail
