// The route table: which endpoint a request path names. A repository name
// may hold any component, "manifests" and "blobs" too, so a route is found
// from the end of the path, where each endpoint has its fixed shape; the
// name is whatever comes before it.
#ifndef REGISTRY_ENDPOINT_ROUTES_H
#define REGISTRY_ENDPOINT_ROUTES_H

#include <string>

namespace endpoint {

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
  kNone,           // nothing the registry serves
};

// Where the registry hands out tokens: outside /v2/, so that the web
// server can route it apart (and authenticate it alone, if it will).
inline constexpr char kTokenPath[] = "/auth/token";

struct Route {
  RouteKind kind = RouteKind::kNone;
  std::string name;       // the repository, as the path spells it
  std::string reference;  // the tag, digest or upload identifier
  bool name_valid = false;
};

// The route of a request path ("/v2/..."); kNone for anything else.
Route route_path(const std::string& path);

const char* route_name(RouteKind kind);

}  // namespace endpoint

#endif
