// One request on a held upload, as a registry program makes it, for the
// tests that read its system calls: the body comes on standard input.
//   upload_request ROOT REPO UUID patch LENGTH AT     (AT -1: no range)
//   upload_request ROOT REPO UUID put LENGTH DIGEST   (the last chunk and the finish)
// Prints "ok <size>" or "failed <kind>: <message>".
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "storage/reg_storage.h"

int main(int argc, char** argv) {
  if (argc != 7) {
    std::fprintf(stderr, "usage: upload_request ROOT REPO UUID patch|put LENGTH AT|DIGEST\n");
    return 2;
  }
  if (reg_storage_init(argv[1]) != 0) {
    std::printf("failed init: %s\n", reg_storage_last_error());
    return 1;
  }
  const bool put = std::strcmp(argv[4], "put") == 0;
  const int64_t length = std::strtoll(argv[5], nullptr, 10);
  reg_status st;
  reg_upload* held = reg_upload_hold(argv[2], argv[3], &st);
  int rc = held != nullptr ? 0 : -1;
  if (rc == 0) rc = reg_upload_held_append(held, stdin, length, put ? -1 : std::strtoll(argv[6], nullptr, 10), 0, &st);
  int64_t size = reg_upload_held_size(held);
  char digest[REG_DIGEST_CAP];
  if (rc == 0 && put) rc = reg_upload_held_finish(held, argv[6], digest, &st);
  reg_upload_release(held);
  if (rc != 0) {
    std::printf("failed %d: %s\n", static_cast<int>(st.kind), st.message);
    return 1;
  }
  std::printf("ok %lld\n", static_cast<long long>(size));
  std::fflush(stdout);
  return 0;
}
