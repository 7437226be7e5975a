// Where the access-control files lie below the storage root.
#include <cstring>

#include "storage/reg_storage.h"
#include "storage/storage_layout.h"
#include "storage/storage_state.h"

using namespace storage;

namespace {

bool auth_path(reg_auth_file which, char* out, size_t cap) {
  switch (which) {
    case REG_AUTH_DIR:
      auth_dir(out, cap);
      return std::strlen(out) + 1 < cap;
    case REG_AUTH_HTPASSWD: return auth_file_path(kHtpasswdFile, out, cap);
    case REG_AUTH_POLICY: return auth_file_path(kPolicyFile, out, cap);
    case REG_AUTH_TOKEN_KEY: return auth_file_path(kTokenKeyFile, out, cap);
  }
  return false;
}

}  // namespace

extern "C" int reg_auth_path(reg_auth_file which, char* out, size_t cap, reg_status* caller) {
  CallStatus st(caller);
  if (out == nullptr || cap == 0) return fail(st, REG_ERR_INVALID, "NULL argument");
  out[0] = '\0';
  if (require_ready(st) != 0) return -1;
  if (!auth_path(which, out, cap)) {
    out[0] = '\0';
    return fail(st, REG_ERR_INVALID, "path buffer too small");
  }
  return 0;
}
