// The Authorization request header (RFC 7235): Basic credentials (RFC
// 7617) and Bearer tokens (RFC 6750); and the WWW-Authenticate challenges
// the registry answers with.
#ifndef REGISTRY_ACCESS_AUTH_HEADER_H
#define REGISTRY_ACCESS_AUTH_HEADER_H

#include <string>

namespace auth {

enum class AuthScheme {
  kNone,       // no header, or an empty one
  kBasic,      // user and password
  kBearer,     // a token
  kMalformed,  // a scheme we know with credentials of no valid form
  kOther,      // a scheme the registry does not take
};

struct Authorization {
  AuthScheme scheme = AuthScheme::kNone;
  std::string user;      // Basic
  std::string password;  // Basic
  std::string token;     // Bearer
};

// Reads the header's value (HTTP_AUTHORIZATION). Scheme names are matched
// without regard to case; Basic credentials decode to "user:password"
// split at the first ':' (a user name holds none); a Bearer token is
// token68 text.
Authorization parse_authorization(const std::string& value);

// The value of a Bearer challenge: realm, service, then scope when given,
// then error when given, each a quoted string, separated by ',':
//   Bearer realm="https://r.example/auth/token",service="registry",scope="repository:a:pull"
std::string bearer_challenge(const std::string& realm, const std::string& service, const std::string& scope,
                             const std::string& error);
// Basic realm="<realm>"
std::string basic_challenge(const std::string& realm);

}  // namespace auth

#endif
