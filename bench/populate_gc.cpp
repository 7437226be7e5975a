// Fills a storage root through the storage engine for the collection and
// scrub benchmarks: repositories FROM..TO-1 ("r<n>"), each with MANIFESTS
// image manifests of a config and four layers, every blob BYTES bytes of
// its own; nine manifests in ten are tagged, the tenth pushed by digest.
//   populate_gc ROOT FROM TO MANIFESTS BYTES
#include <cstdio>
#include <cstdlib>
#include <string>

#include "hash/sha256.h"
#include "storage/reg_storage.h"
#include "text/hex.h"

namespace {

std::string bytes_of(long n, int size) {
  std::string s(static_cast<size_t>(size), '\0');
  uint64_t x = 0x9e3779b97f4a7c15ull * static_cast<uint64_t>(n + 1);
  for (char& c : s) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    c = static_cast<char>(x);
  }
  return s;
}

std::string digest_of(const std::string& data) {
  uint8_t raw[32];
  sha256_ctx ctx;
  sha256_init(&ctx);
  sha256_update(&ctx, data.data(), data.size());
  sha256_final(&ctx, raw);
  char hex[65];
  text_hex_encode(raw, sizeof raw, hex);
  return std::string("sha256:") + hex;
}

bool store_blob(const std::string& repo, const std::string& data, std::string* digest) {
  char uuid[37];
  char out[REG_DIGEST_CAP];
  *digest = digest_of(data);
  return reg_blob_start_upload(uuid) == 0 && reg_blob_append_chunk(uuid, data.data(), data.size()) == 0 &&
         reg_blob_finish_upload(uuid, digest->c_str(), out) == 0 && reg_repo_blob_link(repo.c_str(), out, nullptr) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr, "usage: populate_gc ROOT FROM TO MANIFESTS BYTES\n");
    return 2;
  }
  if (reg_storage_init(argv[1]) != 0) {
    std::fprintf(stderr, "init: %s\n", reg_storage_last_error());
    return 1;
  }
  const int from = std::atoi(argv[2]), to = std::atoi(argv[3]), per = std::atoi(argv[4]), size = std::atoi(argv[5]);
  for (int r = from; r < to; ++r) {
    const std::string repo = "r" + std::to_string(r);
    for (int m = 0; m < per; ++m) {
      const long base = (static_cast<long>(r) * per + m) * 5;
      std::string d[5];
      for (int b = 0; b < 5; ++b) {
        if (!store_blob(repo, bytes_of(base + b, size), &d[b])) {
          std::fprintf(stderr, "blob: %s\n", reg_storage_last_error());
          return 1;
        }
      }
      std::string body = "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\","
                         "\"config\":{\"mediaType\":\"application/vnd.oci.image.config.v1+json\",\"digest\":\"" +
                         d[0] + "\",\"size\":" + std::to_string(size) + "},\"layers\":[";
      for (int b = 1; b < 5; ++b) {
        if (b > 1) body += ",";
        body += "{\"mediaType\":\"application/vnd.oci.image.layer.v1.tar\",\"digest\":\"" +
                d[b] + "\",\"size\":" + std::to_string(size) + "}";
      }
      body += "]}";
      const std::string ref = m % 10 == 9 ? digest_of(body) : "v" + std::to_string(m);
      char out[REG_DIGEST_CAP];
      reg_status st;
      if (reg_manifest_push(repo.c_str(), ref.c_str(), body.data(), body.size(), nullptr, nullptr, 0, out, nullptr,
                            &st) != 0) {
        std::fprintf(stderr, "manifest: %s\n", st.message);
        return 1;
      }
    }
  }
  return 0;
}
