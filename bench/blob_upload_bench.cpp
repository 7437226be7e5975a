// A blob upload of SIZE MiB appended in 1 MiB chunks, then finished; the
// finish is timed beside sha256_file alone on the same upload file (in the
// page cache), so the ratio shows what finishing adds to the hash.
//   blob_upload_bench [SIZE_MIB] [ROOT]      defaults: 1024, a temporary directory
// Prints one CSV line: size_mib,append_s,sha256_file_s,finish_s,finish_over_hash,max_rss_kib
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "hash/sha256.h"
#include "storage/reg_storage.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main(int argc, char** argv) {
  const long size_mib = argc > 1 ? std::atol(argv[1]) : 1024;
  std::string root;
  if (argc > 2) {
    root = argv[2];
  } else {
    char templ[] = "/tmp/blobbench.XXXXXX";
    if (mkdtemp(templ) == nullptr) return 1;
    root = templ;
  }
  if (reg_storage_init(root.c_str()) != 0) {
    std::fprintf(stderr, "init: %s\n", reg_storage_last_error());
    return 1;
  }
  char id[37];
  if (reg_blob_start_upload(id) != 0) return 1;

  std::vector<unsigned char> chunk(1 << 20);
  sha256_ctx ctx;
  sha256_init(&ctx);
  uint64_t x = 88172645463325252ull;
  double append_s = 0;
  for (long i = 0; i < size_mib; ++i) {
    for (size_t j = 0; j < chunk.size(); j += 8) {
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      for (int k = 0; k < 8; ++k) chunk[j + k] = static_cast<unsigned char>(x >> (8 * k));
    }
    sha256_update(&ctx, chunk.data(), chunk.size());
    auto ta = std::chrono::steady_clock::now();
    if (reg_blob_append_chunk(id, chunk.data(), chunk.size()) != 0) return 1;
    append_s += seconds_since(ta);
  }
  uint8_t raw[32];
  sha256_final(&ctx, raw);
  char digest[72] = "sha256:";
  for (int i = 0; i < 32; ++i) std::snprintf(digest + 7 + 2 * i, 3, "%02x", raw[i]);

  const std::string upload = root + "/uploads/" + id + ".part";
  auto th = std::chrono::steady_clock::now();
  uint8_t check[32];
  if (sha256_file(upload.c_str(), check) != 0) return 1;
  const double hash_s = seconds_since(th);

  char out[72];
  auto tf = std::chrono::steady_clock::now();
  if (reg_blob_finish_upload(id, digest, out) != 0) {
    std::fprintf(stderr, "finish: %s\n", reg_storage_last_error());
    return 1;
  }
  const double finish_s = seconds_since(tf);

  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  std::printf("%ld,%.4f,%.4f,%.4f,%.3f,%ld\n", size_mib, append_s, hash_s, finish_s, finish_s / hash_s,
              ru.ru_maxrss);
  if (argc <= 2) {
    std::string cmd = "rm -rf '" + root + "'";
    if (std::system(cmd.c_str()) != 0) return 1;
  }
  return 0;
}
