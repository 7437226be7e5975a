// Where the access-control files lie below the storage root.
#include <cstring>

#include "storage/reg_storage.h"
#include "storage/storage_layout.h"
#include "storage/storage_state.h"

using namespace storage;

extern "C" int reg_auth_path(reg_auth_file which, char* out, size_t cap) {
  if (out == nullptr || cap == 0) return -1;
  out[0] = '\0';
  if (require_ready() != 0) return -1;
  switch (which) {
    case REG_AUTH_DIR:
      auth_dir(out, cap);
      return std::strlen(out) + 1 < cap ? 0 : -1;
    case REG_AUTH_HTPASSWD: return auth_file_path(kHtpasswdFile, out, cap) ? 0 : -1;
    case REG_AUTH_POLICY: return auth_file_path(kPolicyFile, out, cap) ? 0 : -1;
    case REG_AUTH_TOKEN_KEY: return auth_file_path(kTokenKeyFile, out, cap) ? 0 : -1;
  }
  return -1;
}
