// The registry's signed tokens: JSON Web Tokens (RFC 7519) signed with
// HMAC-SHA-256 ("HS256", RFC 7515) under the registry's secret key. A
// token names its user ("sub", empty for an anonymous one), the service
// ("iss" and "aud"), when it was issued and when it expires ("iat",
// "exp", seconds since 1970), and what it grants ("access": one entry per
// resource asked for, with the actions granted, none perhaps).
#ifndef REGISTRY_ACCESS_AUTH_TOKEN_H
#define REGISTRY_ACCESS_AUTH_TOKEN_H

#include <cstdint>
#include <string>
#include <vector>

namespace auth {

// Actions on a repository, as bits.
enum : unsigned {
  kActionPull = 1,
  kActionPush = 2,
  kActionDelete = 4,
  kActionsAll = kActionPull | kActionPush | kActionDelete,
};
// "pull,push,delete" order; "" for none.
std::string actions_text(unsigned actions);

// One resource of a token: a repository and its actions, or the catalog
// (type "registry", name "catalog", actions kActionsAll for "*").
struct Grant {
  std::string type;
  std::string name;
  unsigned actions = 0;
};

struct Claims {
  std::string subject;
  std::string service;
  int64_t issued = 0;
  int64_t expires = 0;
  std::vector<Grant> access;
};

// The token, "<header>.<claims>.<signature>" in unpadded base64url.
std::string make_token(const Claims& claims, const std::string& key);

enum class TokenCheck {
  kValid,
  kMalformed,     // not a token of ours in form
  kBadSignature,  // signed with another key, or altered
  kExpired,
  kOtherService,  // issued for another service
};
// Checks the signature first, in constant time, and reads the claims only
// from a token whose signature holds.
TokenCheck check_token(const std::string& token, const std::string& key, const std::string& service, int64_t now,
                       Claims* out);

// The claims' JSON as the token carries it, and back; parse_claims
// takes any JSON object with members of the right types, ignores members
// and actions it does not know, and refuses everything else.
std::string claims_json(const Claims& claims);
bool parse_claims(const std::string& json, Claims* out);

// The grant for a repository in the claims, or null when the token does
// not name it.
const Grant* find_grant(const Claims& claims, const std::string& type, const std::string& name);

}  // namespace auth

#endif
