// The route table: which endpoint a request path names. A repository name
// may hold any component, "manifests" and "blobs" too, so a route is found
// from the end of the path, where each endpoint has its fixed shape; the
// name is whatever comes before it.
#ifndef REGISTRY_REGISTRY_ROUTES_H
#define REGISTRY_REGISTRY_ROUTES_H

#include <string>

namespace registry {

enum class RouteKind {
  kBase,           // /v2/
  kCatalog,        // /v2/_catalog
  kTags,           // /v2/<name>/tags/list
  kManifest,       // /v2/<name>/manifests/<reference>
  kBlob,           // /v2/<name>/blobs/<digest>
  kUploadStart,    // /v2/<name>/blobs/uploads/
  kUploadSession,  // /v2/<name>/blobs/uploads/<id>
  kReferrers,      // /v2/<name>/referrers/<digest>
  kToken,          // the token endpoint, kTokenPath
  kMetrics,        // the metrics, kMetricsPath
  kNone,           // nothing the registry serves
};

// Where the registry hands out tokens: outside /v2/, so that the web
// server can route it apart (and authenticate it alone, if it will).
inline constexpr char kTokenPath[] = "/auth/token";
// Where Prometheus scrapes: outside /v2/ too, where scrapers look.
inline constexpr char kMetricsPath[] = "/metrics";

struct Route {
  RouteKind kind = RouteKind::kNone;
  std::string name;       // the repository, as the path spells it
  std::string reference;  // the tag, digest or upload identifier
  bool name_valid = false;
};

// The route of a request path ("/v2/..."); kNone for anything else.
Route route_path(const std::string& path);

const char* route_name(RouteKind kind);

// What each route allows, decided before its handler runs.
struct RouteRules {
  RouteKind kind;
  const char* allow;    // the methods it answers, as the Allow header lists them
  const char* refusal;  // the message of a 405
  bool named;           // a repository name comes first
  bool storage;         // the handler works on the tree
};
const RouteRules& route_rules(RouteKind kind);
// Whether the rules allow method (exactly as written, case-sensitive).
bool method_allowed(const RouteRules& rules, const std::string& method);

}  // namespace registry

#endif
