// Issuing tokens.
#include "access/token_issue.h"

#include <cstdio>

#include "access/auth_files.h"
#include "access/auth_header.h"
#include "access/auth_policy.h"
#include "access/auth_token.h"
#include "access/htpasswd.h"
#include "access/login_throttle.h"
#include "storage/reg_status_text.h"
#include "text/civil_time.h"
#include "storage/reg_storage.h"

namespace auth {
namespace {

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
  } else if (type == "registry" && name == "metrics") {
    // Only those the policy names: the figures tell of every repository.
    if ((asked & kActionsAll) != kActionsAll || !may_read_metrics(policy, user)) return;
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

TokenAnswer wrong_credentials(const char* message) {
  TokenAnswer a;
  a.outcome = TokenOutcome::kWrongCredentials;
  a.message = message;
  return a;
}

TokenAnswer too_many_attempts(int64_t seconds) {
  TokenAnswer a;
  a.outcome = TokenOutcome::kTooManyAttempts;
  a.retry_after = seconds;
  return a;
}

TokenAnswer failed(TokenOutcome outcome, const std::string& why) {
  TokenAnswer a;
  a.outcome = outcome;
  a.why = why;
  return a;
}

// The counts cannot be read or written: never an attempt let through
// uncounted.
TokenAnswer throttle_state_failed(reg_attempt_hold* hold, const reg_status& st) {
  const std::string why = reg_status_text(st);
  if (hold != nullptr) reg_attempts_release(hold);
  return failed(TokenOutcome::kStorageFailure, why);
}

// Checks the password of a Basic attempt that the throttle lets through.
// Attempts for the same name or from the same address hold their buckets
// one after another, so that each sees every failure counted before it:
// however many arrive at once, no more than the limit run bcrypt. And an
// attempt is counted as a failure before bcrypt runs, then taken back if
// the password proves right: no answer ever tells a guesser about a
// password whose failure is not on record, whatever becomes of the
// process or of a write after bcrypt. kIssued means the password is right.
TokenAnswer checked_under_throttle(const AttemptKeys& keys, const std::vector<HtpasswdEntry>& users,
                                   const Authorization& a, const std::string& secret, int64_t now) {
  reg_attempt_hold hold{};
  reg_attempt_count counts[REG_ATTEMPT_KEYS_MAX];
  reg_status st;
  if (reg_attempts_hold(&hold, keys.keys, keys.count, now, kThrottleWindowSeconds, counts, &st) != 0) {
    return throttle_state_failed(&hold, st);
  }
  if (const int64_t wait = seconds_refused(keys, counts, now); wait > 0) {
    reg_attempts_release(&hold);
    return too_many_attempts(wait);
  }
  if (reg_attempts_fail(&hold, now, kThrottleWindowSeconds, &st) != 0) return throttle_state_failed(&hold, st);
  const PasswordResult result = check_user_password(users, a.user, a.password, secret);
  TokenAnswer answer;
  // A right password counts nothing, and forgives none of the failures
  // before it (the right user logging in must not hand a guesser a fresh
  // set of tries). Should the count not be taken back, the user still
  // gets in; the log says so.
  if (result == PasswordResult::kMatch && reg_attempts_take_back(&hold, now, kThrottleWindowSeconds, &st) != 0) {
    answer.warning = "a right password stays counted as a failure: " + reg_status_text(st);
  }
  reg_attempts_release(&hold);
  if (result != PasswordResult::kMatch) return wrong_credentials("incorrect username or password");
  return answer;
}

// The user the request speaks for: Basic credentials checked against the
// users' file, else anonymous (""). REMOTE_USER is never taken here: nginx
// fills it from the Authorization header whether or not it checked the
// password, so it proves nothing unless the server is set up to.
TokenAnswer requesting_user(const settings::AuthSettings& s, const TokenAsk& ask, const std::string& secret,
                            int64_t now, std::string* user) {
  const Authorization a = parse_authorization(ask.authorization);
  if (a.scheme == AuthScheme::kMalformed) return wrong_credentials("malformed credentials");
  if (a.scheme != AuthScheme::kBasic) return TokenAnswer{};
  // Refused whoever the user is, before anything is looked up: no stored
  // password can be such a one, and cutting it would let in every
  // password that shares its first 72 bytes.
  if (const char* why = password_refusal(a.password)) return wrong_credentials(why);
  const AttemptKeys keys = attempt_keys(secret, a.user, ask.client_address);
  // A name or address already refused is answered from one read, without
  // waiting for attempts under way and without bcrypt.
  reg_attempt_count counts[REG_ATTEMPT_KEYS_MAX];
  reg_status st;
  if (reg_attempts_read(keys.keys, keys.count, now, kThrottleWindowSeconds, counts, &st) != 0) {
    return throttle_state_failed(nullptr, st);
  }
  if (const int64_t wait = seconds_refused(keys, counts, now); wait > 0) return too_many_attempts(wait);
  std::vector<HtpasswdEntry> users;
  std::string why;
  if (!load_users(s, &users, &why)) return failed(TokenOutcome::kMisconfigured, why);
  TokenAnswer checked = checked_under_throttle(keys, users, a, secret, now);
  if (checked.outcome == TokenOutcome::kIssued) *user = a.user;
  return checked;
}

}  // namespace

std::string rfc3339(int64_t t) {
  char out[TEXT_RFC3339_CAP];
  text_rfc3339(t, -1, out, sizeof out);
  return out;
}

TokenAnswer issue_token(const settings::AuthSettings& s, const TokenAsk& ask, int64_t now) {
  // The key signs the token, and keys the hashes that the throttle and
  // the decoy of unknown users take of names.
  std::string key, why;
  bool missing = false;
  if (!load_token_key(s, true, &key, &missing, &why)) return failed(TokenOutcome::kMisconfigured, why);
  std::string user;
  TokenAnswer answer = requesting_user(s, ask, key, now, &user);
  if (answer.outcome != TokenOutcome::kIssued) return answer;
  Policy policy;
  if (!load_policy(s, &policy, &why)) return failed(TokenOutcome::kMisconfigured, why);

  Claims claims;
  claims.subject = user;
  claims.service = s.service;
  for (const std::string& value : ask.scopes) {
    // One parameter may hold several scopes, separated by spaces (OAuth 2).
    size_t start = 0;
    while (start <= value.size()) {
      size_t end = value.find(' ', start);
      if (end == std::string::npos) end = value.size();
      if (end > start) add_scope(value.substr(start, end - start), user, policy, &claims.access);
      start = end + 1;
    }
  }
  claims.issued = now;
  claims.expires = claims.issued + s.ttl;
  const std::string token = make_token(claims, key);
  answer.body = "{\"token\":\"" + token + "\",\"access_token\":\"" + token + "\",\"expires_in\":" +
                std::to_string(s.ttl) + ",\"issued_at\":\"" + rfc3339(claims.issued) + "\"}";
  return answer;
}

}  // namespace auth
