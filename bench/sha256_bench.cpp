// One sha256_update over 16 MiB in memory, on our chosen path, our portable
// path and OpenSSL's EVP_Digest, side by side in one run.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstring>
#include <vector>

#include "hash/sha256.h"
#include "hash/sha256_internal.h"

namespace {

constexpr size_t kSize = 16u << 20;

const std::vector<unsigned char>& buffer() {
  static std::vector<unsigned char> data = [] {
    std::vector<unsigned char> d(kSize);
    for (size_t i = 0; i < d.size(); ++i) d[i] = static_cast<unsigned char>(i * 131 + 7);
    return d;
  }();
  return data;
}

void ours(benchmark::State& state, bool portable) {
  sha256_detail::force_portable(portable);
  const auto& data = buffer();
  uint8_t out[32];
  for (auto _ : state) {
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, data.data(), data.size());
    sha256_final(&ctx, out);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
  state.SetLabel(sha256_detail::path_name());
  sha256_detail::force_portable(false);
}

void BM_Sha256Update16MiB(benchmark::State& state) { ours(state, false); }
void BM_Sha256Update16MiBPortable(benchmark::State& state) { ours(state, true); }

void BM_OpenSslEvpDigest16MiB(benchmark::State& state) {
  const auto& data = buffer();
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  for (auto _ : state) {
    EVP_Digest(data.data(), data.size(), out, &len, EVP_sha256(), nullptr);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

BENCHMARK(BM_Sha256Update16MiB)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_OpenSslEvpDigest16MiB)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_Sha256Update16MiBPortable)->Unit(benchmark::kMillisecond)->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
