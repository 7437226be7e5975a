// The token endpoint (kTokenPath): GET with service= and any number of
// scope= ("repository:<name>:pull,push", "registry:catalog:*"), with Basic
// credentials or none, answers a signed token granting, for each scope,
// what was asked and the policy allows the user, and nothing else.
#include <cstdio>
#include <string>
#include <vector>

#include "endpoint/auth_config.h"
#include "endpoint/auth_header.h"
#include "endpoint/auth_token.h"
#include "endpoint/handlers.h"
#include "endpoint/http_response.h"
#include "endpoint/login_throttle.h"
#include "endpoint/request.h"
#include "platform/host.h"
#include "storage/reg_storage.h"

namespace endpoint {
namespace {

[[noreturn]] void misconfigured(const std::string& why) {
  log_failure("token", why);
  send_error(ApiError::kMisconfigured, "access control is not configured correctly");
}

// "2026-12-10T12:00:00Z" of seconds since 1970 (days to a civil date as
// in Howard Hinnant's algorithm).
std::string rfc3339(int64_t t) {
  int64_t days = t / 86400;
  int64_t secs = t % 86400;
  if (secs < 0) secs += 86400, --days;
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const int64_t m = mp < 10 ? mp + 3 : mp - 9;
  const int64_t y = yoe + era * 400 + (m <= 2 ? 1 : 0);
  char out[128];
  std::snprintf(out, sizeof out, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ", static_cast<long long>(y),
                static_cast<long long>(m), static_cast<long long>(d), static_cast<long long>(secs / 3600),
                static_cast<long long>(secs / 60 % 60), static_cast<long long>(secs % 60));
  return out;
}

unsigned actions_of(const std::string& list) {
  unsigned actions = 0;
  size_t start = 0;
  for (;;) {
    const size_t comma = list.find(',', start);
    const std::string a = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (a == "pull") actions |= kActionPull;
    if (a == "push") actions |= kActionPush;
    if (a == "delete") actions |= kActionDelete;
    if (a == "*") actions |= kActionsAll;
    if (comma == std::string::npos) return actions;
    start = comma + 1;
  }
}

// Adds what one scope asks for: type, name and actions, split at the first
// and the last ':' (a resource class, "repository(plugin)", is dropped).
// Scopes of other types, and names of no repository's form, get nothing.
void add_scope(const std::string& scope, const std::string& user, const Policy& policy, std::vector<Grant>* grants) {
  const size_t first = scope.find(':');
  const size_t last = scope.rfind(':');
  if (first == std::string::npos || first == last) return;
  std::string type = scope.substr(0, first);
  const size_t paren = type.find('(');
  if (paren != std::string::npos) type.resize(paren);
  const std::string name = scope.substr(first + 1, last - first - 1);
  const unsigned asked = actions_of(scope.substr(last + 1));
  Grant grant;
  if (type == "registry" && name == "catalog") {
    // Everyone may list: the catalog shows each user what they may pull.
    if ((asked & kActionsAll) != kActionsAll) return;
    grant = {type, name, kActionsAll};
  } else if (type == "repository" && reg_repository_name_valid(name.data(), name.size()) != 0) {
    grant = {type, name, asked & allowed_actions(policy, user, name)};
  } else {
    return;
  }
  for (Grant& g : *grants) {
    if (g.type == grant.type && g.name == grant.name) {
      g.actions |= grant.actions;
      return;
    }
  }
  grants->push_back(grant);
}

[[noreturn]] void wrong_credentials(const AuthSettings& s, const char* message) {
  send_error(ApiError::kUnauthorized, message, {"WWW-Authenticate: " + basic_challenge(s.service)});
}

[[noreturn]] void too_many_attempts(int64_t seconds) {
  send_error(ApiError::kTooManyRequests, "too many failed login attempts; try again later",
             {"Retry-After: " + std::to_string(seconds)});
}

// The counts cannot be read or written: a 500 and a line in the log,
// never an attempt let through uncounted.
[[noreturn]] void throttle_state_failed(reg_attempt_hold* hold) {
  if (hold != nullptr) reg_attempts_release(hold);
  send_engine_failure({ApiError::kStorage, ApiError::kStorage}, "password attempts");
}

// Checks the password of a Basic attempt that the throttle lets through.
// Attempts for the same name or from the same address hold their buckets
// one after another, so that each sees every failure counted before it:
// however many arrive at once, no more than the limit run bcrypt. And an
// attempt is counted as a failure before bcrypt runs, then taken back if
// the password proves right: no answer ever tells a guesser about a
// password whose failure is not on record, whatever becomes of the
// process or of a write after bcrypt.
PasswordResult checked_under_throttle(const AttemptKeys& keys, const std::vector<HtpasswdEntry>& users,
                                      const Authorization& a, const std::string& secret) {
  reg_attempt_hold hold{};
  reg_attempt_count counts[REG_ATTEMPT_KEYS_MAX];
  const int64_t now = host::now_seconds();
  if (reg_attempts_hold(&hold, keys.keys, keys.count, now, kThrottleWindowSeconds, counts) != 0) {
    throttle_state_failed(&hold);
  }
  if (const int64_t wait = seconds_refused(keys, counts, now); wait > 0) {
    reg_attempts_release(&hold);
    too_many_attempts(wait);
  }
  if (reg_attempts_fail(&hold, now, kThrottleWindowSeconds) != 0) throttle_state_failed(&hold);
  const PasswordResult result = check_user_password(users, a.user, a.password, secret);
  // A right password counts nothing, and forgives none of the failures
  // before it (the right user logging in must not hand a guesser a fresh
  // set of tries). Should the count not be taken back, the user still
  // gets in; the log says so.
  if (result == PasswordResult::kMatch && reg_attempts_take_back(&hold, now, kThrottleWindowSeconds) != 0) {
    std::fprintf(stderr, "registry: token %s: a right password stays counted as a failure: %s\n", request_method(),
                 reg_storage_last_error());
    std::fflush(stderr);
  }
  reg_attempts_release(&hold);
  return result;
}

// The user the request speaks for: Basic credentials checked against the
// users' file, else anonymous (""). REMOTE_USER is never taken here: nginx
// fills it from the Authorization header whether or not it checked the
// password, so it proves nothing unless the server is set up to.
std::string requesting_user(const AuthSettings& s, const std::string& secret) {
  const Authorization a = parse_authorization(request_header("HTTP_AUTHORIZATION"));
  if (a.scheme == AuthScheme::kMalformed) wrong_credentials(s, "malformed credentials");
  if (a.scheme != AuthScheme::kBasic) return "";
  // Refused whoever the user is, before anything is looked up: no stored
  // password can be such a one, and cutting it would let in every
  // password that shares its first 72 bytes.
  if (const char* why = password_refusal(a.password)) wrong_credentials(s, why);
  const AttemptKeys keys = attempt_keys(secret, a.user, request_header("REMOTE_ADDR"));
  // A name or address already refused is answered from one read, without
  // waiting for attempts under way and without bcrypt.
  reg_attempt_count counts[REG_ATTEMPT_KEYS_MAX];
  const int64_t now = host::now_seconds();
  if (reg_attempts_read(keys.keys, keys.count, now, kThrottleWindowSeconds, counts) != 0) {
    throttle_state_failed(nullptr);
  }
  if (const int64_t wait = seconds_refused(keys, counts, now); wait > 0) too_many_attempts(wait);
  std::vector<HtpasswdEntry> users;
  std::string why;
  if (!load_users(s, &users, &why)) misconfigured(why);
  if (checked_under_throttle(keys, users, a, secret) != PasswordResult::kMatch) {
    wrong_credentials(s, "incorrect username or password");
  }
  return a.user;
}

}  // namespace

void handle_token(const Route&) {
  AuthSettings s;
  std::string why;
  if (!read_auth_settings(&s, &why)) {
    storage_or_fail();
    misconfigured(why);
  }
  if (s.mode != AuthMode::kToken) send_error(ApiError::kNotFound, "tokens are not in use (REGISTRY_AUTH)");
  if (std::string(request_method()) != "GET") send_method_not_allowed("GET", "Method not allowed for tokens");
  storage_or_fail();
  // The key signs the token, and keys the hashes that the throttle and
  // the decoy of unknown users take of names.
  std::string key;
  bool missing = false;
  if (!load_token_key(s, true, &key, &missing, &why)) misconfigured(why);
  const std::string user = requesting_user(s, key);
  Policy policy;
  if (!load_policy(s, &policy, &why)) misconfigured(why);

  Claims claims;
  claims.subject = user;
  claims.service = s.service;
  for (const std::string& value : query_all("scope")) {
    // One parameter may hold several scopes, separated by spaces (OAuth 2).
    size_t start = 0;
    while (start <= value.size()) {
      size_t end = value.find(' ', start);
      if (end == std::string::npos) end = value.size();
      if (end > start) add_scope(value.substr(start, end - start), user, policy, &claims.access);
      start = end + 1;
    }
  }
  claims.issued = host::now_seconds();
  claims.expires = claims.issued + s.ttl;
  const std::string token = make_token(claims, key);
  const std::string body = "{\"token\":\"" + token + "\",\"access_token\":\"" + token +
                           "\",\"expires_in\":" + std::to_string(s.ttl) + ",\"issued_at\":\"" +
                           rfc3339(claims.issued) + "\"}";
  send_json(200, body, false, {"Cache-Control: no-store"});
}

}  // namespace endpoint
