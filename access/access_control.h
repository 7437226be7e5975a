// Access control on every request of the API: whether it may go on, by
// the signed token it carries (token mode) or by the user the web server
// authenticated (remote-user mode), and the policy. It decides and says
// why; the registry's HTTP side answers.
#ifndef REGISTRY_ACCESS_ACCESS_CONTROL_H
#define REGISTRY_ACCESS_ACCESS_CONTROL_H

#include <cstdint>
#include <string>

#include "access/auth_policy.h"
#include "access/auth_token.h"
#include "settings/settings.h"
#include "storage/reg_storage.h"

namespace auth {

// What a request asks for.
enum class Target {
  kBase,        // the API's base, /v2/
  kCatalog,     // the repository catalog
  kMetrics,     // the registry's metrics
  kRepository,  // anything of one repository
  kOther,       // the token endpoint, paths the registry does not serve
};

struct Ask {
  Target target = Target::kOther;
  std::string name;             // kRepository: the repository, a valid name
  unsigned action = kActionPull;  // kRepository: pull, push or delete
  std::string authorization;    // the Authorization header
  std::string remote_user;      // what the web server says authenticated
};

// What the request established, for the handlers' later questions.
struct Access {
  settings::AuthMode mode = settings::AuthMode::kOff;
  std::string user;  // "" for anonymous
  Claims claims;     // the token's, in token mode
  bool have_policy = false;
  Policy policy;
};

enum class Verdict {
  kAllowed,
  kBearerChallenge,  // 401: no valid token for it; ask the token endpoint
  kBasicChallenge,   // 401: no user (remote-user mode)
  kDenied,           // 403: the user may not
  kMisconfigured,    // 500: the settings or files cannot be used
};

struct Decision {
  Verdict verdict = Verdict::kAllowed;
  std::string scope;         // kBearerChallenge: what the client must ask for
  std::string bearer_error;  // kBearerChallenge: "", "invalid_token" or "insufficient_scope"
  std::string why;           // kMisconfigured: for the log
};

// The decision on a request under the settings; *out gets what it
// established. Files left at their default paths lie below the storage
// root: with access control on, the storage engine must be ready.
Decision decide(const settings::AuthSettings& s, const Ask& ask, int64_t now, Access* out);

// Whether the request's user may pull the repository (the source of a
// mount): true with access control off, false for a name of no
// repository's form.
bool may_pull(const Access& access, const std::string& name);

// The catalog's filter for the user of access (pass &access as its ctx):
// null with access control off.
reg_name_filter catalog_filter(const Access& access);

}  // namespace auth

#endif
