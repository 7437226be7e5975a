// Access control on every request.
#include "access/access_control.h"

#include "access/auth_files.h"
#include "access/auth_header.h"

namespace auth {
namespace {

using settings::AuthMode;

// The scope a challenge names: what a client asks the token endpoint for.
// A push asks for pull too, as clients do, since pushing means looking at
// what is there.
std::string needed_scope(const Ask& ask) {
  if (ask.target == Target::kBase) return "";
  if (ask.target == Target::kCatalog) return "registry:catalog:*";
  if (ask.target == Target::kMetrics) return std::string(kMetricsResource) + ":*";
  const char* actions = ask.action == kActionPull ? "pull" : ask.action == kActionDelete ? "delete" : "pull,push";
  return "repository:" + ask.name + ":" + actions;
}

Decision bearer(const Ask& ask, const char* error) {
  Decision d;
  d.verdict = Verdict::kBearerChallenge;
  d.scope = needed_scope(ask);
  d.bearer_error = error;
  return d;
}

Decision verdict(Verdict v) {
  Decision d;
  d.verdict = v;
  return d;
}

Decision misconfigured(const std::string& why) {
  Decision d;
  d.verdict = Verdict::kMisconfigured;
  d.why = why;
  return d;
}

bool need_policy(const settings::AuthSettings& s, Access* out, std::string* why) {
  if (!load_policy(s, &out->policy, why)) return false;
  out->have_policy = true;
  return true;
}

Decision decide_by_token(const settings::AuthSettings& s, const Ask& ask, int64_t now, Access* out) {
  const Authorization a = parse_authorization(ask.authorization);
  // Credentials of no valid form are a token that is not ours too.
  if (a.scheme == AuthScheme::kMalformed) return bearer(ask, "invalid_token");
  if (a.scheme != AuthScheme::kBearer) return bearer(ask, "");
  std::string key, why;
  bool missing = false;
  if (!load_token_key(s, false, &key, &missing, &why)) {
    // No key has been made yet, so no token can be ours.
    return missing ? bearer(ask, "invalid_token") : misconfigured(why);
  }
  if (check_token(a.token, key, s.service, now, &out->claims) != TokenCheck::kValid) return bearer(ask, "invalid_token");
  out->user = out->claims.subject;
  if (ask.target == Target::kBase) return verdict(Verdict::kAllowed);
  if (ask.target == Target::kCatalog) {
    const Grant* g = find_grant(out->claims, "registry", "catalog");
    if (g == nullptr || g->actions != kActionsAll) return bearer(ask, "insufficient_scope");
    return need_policy(s, out, &why) ? verdict(Verdict::kAllowed) : misconfigured(why);
  }
  if (ask.target == Target::kMetrics) {
    const Grant* g = find_grant(out->claims, "registry", "metrics");
    return g != nullptr && g->actions == kActionsAll ? verdict(Verdict::kAllowed) : bearer(ask, "insufficient_scope");
  }
  // A token that does not name the repository was never asked for it: the
  // client is told what to ask for. One that names it without the action
  // is the policy's answer.
  const Grant* g = find_grant(out->claims, "repository", ask.name);
  if (g == nullptr) return bearer(ask, "insufficient_scope");
  return (g->actions & ask.action) != 0 ? verdict(Verdict::kAllowed) : verdict(Verdict::kDenied);
}

Decision decide_by_remote_user(const settings::AuthSettings& s, const Ask& ask, Access* out) {
  // REMOTE_USER is the web server's word on who this is (in this mode it
  // must check every request); an Authorization header alone proves
  // nothing here.
  out->user = ask.remote_user;
  std::string why;
  if (!need_policy(s, out, &why)) return misconfigured(why);
  if (ask.target == Target::kBase) return verdict(out->user.empty() ? Verdict::kBasicChallenge : Verdict::kAllowed);
  if (ask.target == Target::kCatalog) return verdict(Verdict::kAllowed);
  if (ask.target == Target::kMetrics) {
    if (may_read_metrics(out->policy, out->user)) return verdict(Verdict::kAllowed);
    return verdict(out->user.empty() ? Verdict::kBasicChallenge : Verdict::kDenied);
  }
  if ((allowed_actions(out->policy, out->user, ask.name) & ask.action) != 0) return verdict(Verdict::kAllowed);
  return verdict(out->user.empty() ? Verdict::kBasicChallenge : Verdict::kDenied);
}

int keep_pullable(void* ctx, const char* name) {
  const Access& a = *static_cast<const Access*>(ctx);
  return a.have_policy && (allowed_actions(a.policy, a.user, name) & kActionPull) != 0 ? 1 : 0;
}

}  // namespace

Decision decide(const settings::AuthSettings& s, const Ask& ask, int64_t now, Access* out) {
  *out = Access{};
  out->mode = s.mode;
  // The token endpoint checks its own credentials; paths the registry
  // does not serve are 404 to everyone.
  if (s.mode == AuthMode::kOff || ask.target == Target::kOther) return verdict(Verdict::kAllowed);
  return s.mode == AuthMode::kToken ? decide_by_token(s, ask, now, out) : decide_by_remote_user(s, ask, out);
}

bool may_pull(const Access& access, const std::string& name) {
  if (reg_repository_name_valid(name.data(), name.size()) == 0) return false;
  switch (access.mode) {
    case AuthMode::kOff: return true;
    case AuthMode::kToken: {
      const Grant* g = find_grant(access.claims, "repository", name);
      return g != nullptr && (g->actions & kActionPull) != 0;
    }
    case AuthMode::kRemoteUser: return (allowed_actions(access.policy, access.user, name) & kActionPull) != 0;
  }
  return false;
}

reg_name_filter catalog_filter(const Access& access) {
  return access.mode != AuthMode::kOff ? keep_pullable : nullptr;
}

}  // namespace auth
