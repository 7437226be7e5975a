// The front door.
#include "registry/front_door.h"

#include "access/access_control.h"
#include "access/auth_header.h"
#include "access/auth_token.h"
#include "platform/host.h"
#include "registry/handlers.h"
#include "registry/request.h"
#include "registry/routes.h"
#include "registry/storage_root.h"
#include "settings/settings.h"

namespace registry {
namespace {

struct Endpoint {
  RouteKind kind;
  Handler handle;
  bool (*reference_ok)(Call&);  // the reference's form, before the storage
};

constexpr Endpoint kEndpoints[] = {
    {RouteKind::kBase, handle_base, nullptr},
    {RouteKind::kCatalog, handle_catalog, nullptr},
    {RouteKind::kTags, handle_tags, nullptr},
    {RouteKind::kManifest, handle_manifest, manifest_reference_ok},
    {RouteKind::kBlob, handle_blob, digest_reference_ok},
    {RouteKind::kUploadStart, handle_upload_start, nullptr},
    {RouteKind::kUploadSession, handle_upload_session, upload_reference_ok},
    {RouteKind::kReferrers, handle_referrers, digest_reference_ok},
    {RouteKind::kToken, handle_token, nullptr},
    {RouteKind::kMetrics, handle_metrics, nullptr},
};

const Endpoint* endpoint_of(RouteKind kind) {
  for (const Endpoint& e : kEndpoints) {
    if (e.kind == kind) return &e;
  }
  return nullptr;
}

// Readies the storage, or answers 500 with a line that says why.
bool storage_or_refusal(Call& c) {
  std::string why;
  switch (ready_storage(c.settings, &why)) {
    case StorageReady::kReady: return true;
    case StorageReady::kBadSetting: c.log.line("registry: " + why); break;
    case StorageReady::kFailed: c.log_failure("storage init", why); break;
  }
  c.resp.error(ApiError::kStorage, "Failed to initialize registry storage");
  return false;
}

// What the request asks of access control: reads pull, deletes of
// manifests and blobs delete, everything else (uploads, manifest pushes)
// push.
auth::Ask ask_of(const Request& req) {
  auth::Ask ask;
  const Route& route = req.route();
  switch (route.kind) {
    case RouteKind::kBase: ask.target = auth::Target::kBase; break;
    case RouteKind::kCatalog: ask.target = auth::Target::kCatalog; break;
    case RouteKind::kMetrics: ask.target = auth::Target::kMetrics; break;
    case RouteKind::kToken:
    case RouteKind::kNone: ask.target = auth::Target::kOther; break;
    default: ask.target = auth::Target::kRepository; break;
  }
  ask.name = route.name;
  const std::string& m = req.method();
  if (m == "GET" || m == "HEAD") {
    ask.action = auth::kActionPull;
  } else if (m == "DELETE" && (route.kind == RouteKind::kManifest || route.kind == RouteKind::kBlob)) {
    ask.action = auth::kActionDelete;
  } else {
    ask.action = auth::kActionPush;
  }
  ask.authorization = req.var("HTTP_AUTHORIZATION");
  ask.remote_user = req.var("REMOTE_USER");
  return ask;
}

// Access control's decision, answered where it refuses; false then.
bool let_in(Call& c, auth::Access* out) {
  const settings::AuthSettings& s = c.settings.auth;
  if (!c.settings.auth_error.empty()) {
    // Where the storage root comes from the same unusable file, the
    // storage's own refusal says so first.
    if (storage_or_refusal(c)) c.misconfigured("access control", c.settings.auth_error);
    return false;
  }
  if (s.mode == settings::AuthMode::kOff) return true;
  const auth::Ask ask = ask_of(c.req);
  if (ask.target != auth::Target::kOther && !storage_or_refusal(c)) return false;
  const auth::Decision d = auth::decide(s, ask, host::now_seconds(), out);
  switch (d.verdict) {
    case auth::Verdict::kAllowed: return true;
    case auth::Verdict::kBearerChallenge: {
      const std::string realm = s.realm.empty() ? c.req.token_url() : s.realm;
      c.resp.error(ApiError::kUnauthorized, "authentication required",
                   {"WWW-Authenticate: " + auth::bearer_challenge(realm, s.service, d.scope, d.bearer_error)});
      return false;
    }
    case auth::Verdict::kBasicChallenge:
      c.resp.error(ApiError::kUnauthorized, "authentication required",
                   {"WWW-Authenticate: " + auth::basic_challenge(s.service)});
      return false;
    case auth::Verdict::kDenied:
      c.resp.error(ApiError::kDenied, "requested access to the resource is denied");
      return false;
    case auth::Verdict::kMisconfigured: c.misconfigured("access control", d.why); return false;
  }
  return false;
}

// A mirrored repository holds what upstream holds: unless pushes are
// allowed, nothing is written to it here. false once refused.
bool mirror_takes(Call& c) {
  settings::MirrorTarget t;
  if (!c.settings.mirror_for(c.req.route().name, &t) || t.mirror->push_allowed) return true;
  if (ask_of(c.req).action == auth::kActionPull) return true;
  c.resp.error(ApiError::kDenied,
               c.req.route().name + " mirrors " + t.mirror->upstream + ": pushes and deletes are refused");
  return false;
}

// What went out: every byte of the answer, for the metrics.
class CountedOutput final : public Output {
 public:
  explicit CountedOutput(Output& out) : out_(out) {}
  void write(const void* data, size_t len) override {
    out_.write(data, len);
    sent_ += static_cast<int64_t>(len);
  }
  bool send_file(FILE* f, int64_t offset, int64_t count) override {
    const bool ok = out_.send_file(f, offset, count);
    if (ok) sent_ += count;
    return ok;
  }
  void flush() override { out_.flush(); }
  int64_t sent() const { return sent_; }

 private:
  Output& out_;
  int64_t sent_ = 0;
};

void answer(const Request& req, const settings::Settings& s, Response& resp, Log& log) {
  auth::Access granted;
  Call c(req, s, granted, resp, log);
  const Route& route = req.route();
  const Endpoint* e = endpoint_of(route.kind);
  if (e == nullptr) {
    resp.error(ApiError::kNotFound, "no such endpoint: " + req.path());
    return;
  }
  const RouteRules& rules = route_rules(route.kind);
  if (rules.named && !route.name_valid) {
    resp.error(ApiError::kNameInvalid, "invalid repository name: " + route.name);
    return;
  }
  if (!let_in(c, &granted)) return;
  if (rules.named && !mirror_takes(c)) return;
  if (route.kind == RouteKind::kToken && s.auth.mode != settings::AuthMode::kToken) {
    resp.error(ApiError::kNotFound, "tokens are not in use (REGISTRY_AUTH)");
    return;
  }
  if (!method_allowed(rules, req.method())) {
    resp.method_not_allowed(rules.allow, rules.refusal);
    return;
  }
  if (e->reference_ok != nullptr && !e->reference_ok(c)) return;
  if (rules.storage && !storage_or_refusal(c)) return;
  e->handle(c);
}

// The answer, then its count once it has gone.
void serve_request(const Request& req, const settings::Settings& s, Output& out, Log& log) {
  CountedOutput counted(out);
  Response resp(counted, req.head());
  answer(req, s, resp, log);
  count_request(req, s, resp.status(), counted.sent());
}

}  // namespace

void serve(const cgi::Environment& env, FILE* input, Output& out, Log& log, const char* config_path) {
  const Request req(env, input);
  serve_request(req, settings::read_settings(env, config_path), out, log);
}

void serve_catalog(const cgi::Environment& env, FILE* input, Output& out, Log& log, const char* config_path) {
  Request req(env, input);
  Route catalog;
  catalog.kind = RouteKind::kCatalog;
  req.set_route(catalog);
  serve_request(req, settings::read_settings(env, config_path), out, log);
}

}  // namespace registry
