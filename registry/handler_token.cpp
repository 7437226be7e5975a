// The token endpoint (kTokenPath): GET with service= and any number of
// scope=, with Basic credentials or none, answers a signed token (see
// access/token_issue.h for what it grants).
#include <string>

#include "access/auth_header.h"
#include "access/token_issue.h"
#include "platform/host.h"
#include "registry/handlers.h"

namespace registry {

void handle_token(Call& c) {
  const settings::AuthSettings& s = c.settings.auth;
  auth::TokenAsk ask;
  ask.authorization = c.req.var("HTTP_AUTHORIZATION");
  ask.client_address = c.req.var("REMOTE_ADDR");
  ask.scopes = c.req.params("scope");
  const auth::TokenAnswer a = auth::issue_token(s, ask, host::now_seconds());
  if (!a.warning.empty()) c.log_failure("token", a.warning);
  switch (a.outcome) {
    case auth::TokenOutcome::kIssued: return c.resp.json(200, a.body, {"Cache-Control: no-store"});
    case auth::TokenOutcome::kWrongCredentials:
      return c.resp.error(ApiError::kUnauthorized, a.message,
                          {"WWW-Authenticate: " + auth::basic_challenge(s.service)});
    case auth::TokenOutcome::kTooManyAttempts:
      return c.resp.error(ApiError::kTooManyRequests, "too many failed login attempts; try again later",
                          {"Retry-After: " + std::to_string(a.retry_after)});
    case auth::TokenOutcome::kMisconfigured:
      c.log_failure("token", a.why);
      return c.resp.error(ApiError::kMisconfigured, "access control is not configured correctly");
    case auth::TokenOutcome::kStorageFailure:
      c.log_failure("password attempts", a.why);
      return c.resp.error(ApiError::kStorage, "Storage failure");
  }
}

}  // namespace registry
