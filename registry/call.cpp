// What every handler shares: log lines and the mapping of engine failures.
#include "registry/handlers.h"

#include "access/auth_files.h"
#include "storage/reg_status_text.h"

namespace registry {

void Call::log_failure(const std::string& operation, const std::string& why) const {
  log.line("registry: " + operation + " " + req.method() + " " + req.path() + ": " + why);
}

void Call::engine_failure(const FailureMap& map, const char* operation) {
  const std::string message = st.message;
  switch (st.kind) {
    case REG_ERR_INVALID: resp.error(map.invalid, message); return;
    case REG_ERR_NOT_FOUND: resp.error(map.not_found, message); return;
    case REG_ERR_DIGEST: resp.error(map.digest, message); return;
    case REG_ERR_UNKNOWN_REFERENCE: resp.error(map.unknown_reference, message); return;
    case REG_ERR_TOO_LARGE: resp.error(map.too_large, message); return;
    case REG_ERR_RANGE: resp.error(map.range, message); return;
    case REG_ERR_FIXED:
    case REG_ERR_QUOTA: resp.error(ApiError::kDenied, message); return;
    case REG_ERR_NONE:
    case REG_ERR_STORAGE: break;
  }
  log_failure(operation, reg_status_text(st));
  resp.error(ApiError::kStorage, "Storage failure");
}

void Call::misconfigured(const char* what, const std::string& why) {
  log_failure(std::string(what) + ":", why);
  resp.error(ApiError::kMisconfigured, std::string(what) + " is not configured correctly");
}

bool Call::policy_in_force(auth::Policy* own, const auth::Policy** out) {
  if (access.have_policy) {
    *out = &access.policy;
    return true;
  }
  std::string why;
  if (!auth::load_policy(settings.auth, own, &why)) {
    misconfigured("access control", why);
    return false;
  }
  *out = own;
  return true;
}

int append_to_string(void* ctx, const char* data, size_t len) {
  static_cast<std::string*>(ctx)->append(data, len);
  return 0;
}

}  // namespace registry
