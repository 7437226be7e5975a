// sha256_file on one file, printed like sha256sum: for timing the file
// path whole-process, beside `openssl dgst -sha256` and `sha256sum`.
//   sha256_file_tool [--portable] FILE
#include <cstdio>
#include <cstring>

#include "hash/sha256.h"
#include "hash/sha256_internal.h"

int main(int argc, char** argv) {
  int i = 1;
  if (i < argc && std::strcmp(argv[i], "--portable") == 0) {
    sha256_detail::force_portable(true);
    ++i;
  }
  if (i >= argc) {
    std::fprintf(stderr, "usage: sha256_file_tool [--portable] FILE\n");
    return 2;
  }
  uint8_t out[32];
  if (sha256_file(argv[i], out) != 0) {
    std::fprintf(stderr, "sha256_file_tool: cannot read %s\n", argv[i]);
    return 1;
  }
  for (uint8_t b : out) std::printf("%02x", b);
  std::printf("  %s\n", argv[i]);
  return 0;
}
