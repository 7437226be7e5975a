// Fills a storage root through the storage engine: COUNT repositories
// "repo-NNN", each with one manifest tagged "latest".
//   populate_catalog ROOT COUNT [MANIFEST_FILE]
#include <cstdio>
#include <cstdlib>
#include <string>

#include "storage/reg_storage.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: populate_catalog ROOT COUNT [MANIFEST_FILE]\n");
    return 2;
  }
  std::string body =
      "{\"schemaVersion\":2,\"config\":{\"digest\":\"sha256:" + std::string(64, 'a') +
      "\"},\"layers\":[{\"digest\":\"sha256:" + std::string(64, 'b') + "\"}]}";
  if (argc > 3) {
    FILE* f = std::fopen(argv[3], "rb");
    if (f == nullptr) return 1;
    body.clear();
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) body.append(buf, n);
    std::fclose(f);
  }
  if (reg_storage_init(argv[1]) != 0) {
    std::fprintf(stderr, "init: %s\n", reg_storage_last_error());
    return 1;
  }
  const int count = std::atoi(argv[2]);
  for (int i = 0; i < count; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "repo-%03d", i);
    char digest[72];
    if (reg_manifest_put(name, "latest", body.data(), body.size(),
                         "application/vnd.docker.distribution.manifest.v2+json", digest) != 0) {
      std::fprintf(stderr, "put %s: %s\n", name, reg_storage_last_error());
      return 1;
    }
  }
  return 0;
}
