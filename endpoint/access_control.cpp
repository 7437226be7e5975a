// Access control on every request.
#include "endpoint/access_control.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "endpoint/auth_config.h"
#include "endpoint/auth_header.h"
#include "endpoint/auth_policy.h"
#include "endpoint/auth_token.h"
#include "endpoint/handlers.h"
#include "endpoint/http_response.h"
#include "endpoint/request.h"
#include "platform/host.h"

namespace endpoint {
namespace {

// What the request established, for the handlers' later questions.
struct Access {
  AuthMode mode = AuthMode::kOff;
  std::string user;  // "" for anonymous
  Claims claims;     // the token's, in token mode
  bool have_policy = false;
  Policy policy;
};
Access g_access;

[[noreturn]] void misconfigured(const std::string& why) {
  std::fprintf(stderr, "registry: access control: %s %s: %s\n", request_method(), request_path().c_str(), why.c_str());
  std::fflush(stderr);
  send_error(ApiError::kMisconfigured, "access control is not configured correctly");
}

void need_policy(const AuthSettings& s) {
  std::string why;
  if (!load_policy(s, &g_access.policy, &why)) misconfigured(why);
  g_access.have_policy = true;
}

// The action a request on a repository needs: reads pull, deletes of
// manifests and blobs delete, everything else (uploads, manifest pushes)
// push.
unsigned needed_action(const Route& route) {
  const std::string method = request_method();
  if (method == "GET" || method == "HEAD") return kActionPull;
  if (method == "DELETE" && (route.kind == RouteKind::kManifest || route.kind == RouteKind::kBlob)) {
    return kActionDelete;
  }
  return kActionPush;
}

// The scope a challenge names for a request: what a client asks the token
// endpoint for. A push asks for pull too, as clients do, since pushing
// means looking at what is there.
std::string needed_scope(const Route& route) {
  if (route.kind == RouteKind::kBase) return "";
  if (route.kind == RouteKind::kCatalog) return "registry:catalog:*";
  const unsigned action = needed_action(route);
  const char* actions = action == kActionPull ? "pull" : action == kActionDelete ? "delete" : "pull,push";
  return "repository:" + route.name + ":" + actions;
}

[[noreturn]] void bearer_refusal(const AuthSettings& s, const Route& route, const char* error) {
  send_error(ApiError::kUnauthorized, "authentication required",
             {"WWW-Authenticate: " + bearer_challenge(token_realm(s), s.service, needed_scope(route), error)});
}

[[noreturn]] void basic_refusal(const AuthSettings& s) {
  send_error(ApiError::kUnauthorized, "authentication required", {"WWW-Authenticate: " + basic_challenge(s.service)});
}

[[noreturn]] void denied() { send_error(ApiError::kDenied, "requested access to the resource is denied"); }

void enforce_token(const AuthSettings& s, const Route& route) {
  const Authorization a = parse_authorization(request_header("HTTP_AUTHORIZATION"));
  // Credentials of no valid form are a token that is not ours too.
  if (a.scheme == AuthScheme::kMalformed) bearer_refusal(s, route, "invalid_token");
  if (a.scheme != AuthScheme::kBearer) bearer_refusal(s, route, "");
  std::string key, why;
  bool missing = false;
  if (!load_token_key(s, false, &key, &missing, &why)) {
    // No key has been made yet, so no token can be ours.
    if (missing) bearer_refusal(s, route, "invalid_token");
    misconfigured(why);
  }
  if (check_token(a.token, key, s.service, host::now_seconds(), &g_access.claims) != TokenCheck::kValid) {
    bearer_refusal(s, route, "invalid_token");
  }
  g_access.user = g_access.claims.subject;
  if (route.kind == RouteKind::kBase) return;
  if (route.kind == RouteKind::kCatalog) {
    const Grant* g = find_grant(g_access.claims, "registry", "catalog");
    if (g == nullptr || g->actions != kActionsAll) bearer_refusal(s, route, "insufficient_scope");
    need_policy(s);
    return;
  }
  // A token that does not name the repository was never asked for it: the
  // client is told what to ask for. One that names it without the action
  // is the policy's answer.
  const Grant* g = find_grant(g_access.claims, "repository", route.name);
  if (g == nullptr) bearer_refusal(s, route, "insufficient_scope");
  if ((g->actions & needed_action(route)) == 0) denied();
}

void enforce_remote_user(const AuthSettings& s, const Route& route) {
  // REMOTE_USER is the web server's word on who this is (in this mode it
  // must check every request); an Authorization header alone proves
  // nothing here.
  g_access.user = request_header("REMOTE_USER");
  need_policy(s);
  if (route.kind == RouteKind::kBase) {
    if (g_access.user.empty()) basic_refusal(s);
    return;
  }
  if (route.kind == RouteKind::kCatalog) return;
  if ((allowed_actions(g_access.policy, g_access.user, route.name) & needed_action(route)) == 0) {
    if (g_access.user.empty()) basic_refusal(s);
    denied();
  }
}

int keep_pullable(void*, const char* name) {
  return g_access.have_policy && (allowed_actions(g_access.policy, g_access.user, name) & kActionPull) != 0 ? 1 : 0;
}

}  // namespace

void enforce_access(const Route& route) {
  AuthSettings s;
  std::string why;
  if (!read_auth_settings(&s, &why)) {
    // Where the storage root comes from the same unusable file, the
    // storage's own refusal says so first.
    storage_or_fail();
    misconfigured(why);
  }
  g_access.mode = s.mode;
  if (s.mode == AuthMode::kOff) return;
  // The token endpoint checks its own credentials; paths the registry
  // does not serve are 404 to everyone.
  if (route.kind == RouteKind::kToken || route.kind == RouteKind::kNone) return;
  storage_or_fail();
  if (s.mode == AuthMode::kToken) {
    enforce_token(s, route);
  } else {
    enforce_remote_user(s, route);
  }
}

bool may_pull(const std::string& name) {
  if (reg_repository_name_valid(name.data(), name.size()) == 0) return false;
  switch (g_access.mode) {
    case AuthMode::kOff: return true;
    case AuthMode::kToken: {
      const Grant* g = find_grant(g_access.claims, "repository", name);
      return g != nullptr && (g->actions & kActionPull) != 0;
    }
    case AuthMode::kRemoteUser: return (allowed_actions(g_access.policy, g_access.user, name) & kActionPull) != 0;
  }
  return false;
}

reg_name_filter catalog_filter() {
  return g_access.mode != AuthMode::kOff ? keep_pullable : nullptr;
}

}  // namespace endpoint
