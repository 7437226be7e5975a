// Issuing tokens: the user a request speaks for (Basic credentials checked
// against the users' file under the throttle of failed attempts, or
// anonymous), and a signed token granting, for each scope asked for
// ("repository:<name>:pull,push", "registry:catalog:*"), what was asked
// and the policy allows the user, and nothing else.
#ifndef REGISTRY_ACCESS_TOKEN_ISSUE_H
#define REGISTRY_ACCESS_TOKEN_ISSUE_H

#include <cstdint>
#include <string>
#include <vector>

#include "settings/settings.h"

namespace auth {

struct TokenAsk {
  std::string authorization;        // the Authorization header
  std::string client_address;       // REMOTE_ADDR, where the server passes one
  std::vector<std::string> scopes;  // every scope= value (each may hold several, space-separated)
};

enum class TokenOutcome {
  kIssued,            // body holds the answer
  kWrongCredentials,  // 401 with a Basic challenge; message says what
  kTooManyAttempts,   // 429; retry_after seconds
  kMisconfigured,     // 500; why is for the log
  kStorageFailure,    // 500; why is for the log (the throttle's counts)
};

struct TokenAnswer {
  TokenOutcome outcome = TokenOutcome::kIssued;
  std::string body;     // kIssued: {"token":...,"access_token":...,"expires_in":...,"issued_at":...}
  std::string message;  // kWrongCredentials
  int64_t retry_after = 0;
  std::string why;      // kMisconfigured, kStorageFailure
  std::string warning;  // a line for the log that does not change the answer
};

// The answer to a token request at time now (seconds since 1970). The
// storage engine must be ready: the key, the users, the policy and the
// throttle's counts lie below its root by default.
TokenAnswer issue_token(const settings::AuthSettings& s, const TokenAsk& ask, int64_t now);

// "2026-12-10T12:00:00Z" of seconds since 1970.
std::string rfc3339(int64_t t);

}  // namespace auth

#endif
