// The registry: one CGI program for every path under /v2/ and for the
// token endpoint. The route table decides which handler runs, once access
// control has let the request through; each handler answers its methods.
#include <string>

#include "endpoint/access_control.h"
#include "endpoint/handlers.h"
#include "endpoint/http_response.h"
#include "endpoint/request.h"
#include "endpoint/routes.h"

namespace {

using endpoint::RouteKind;

struct Endpoint {
  RouteKind kind;
  void (*handle)(const endpoint::Route&);
  bool needs_name;
};

constexpr Endpoint kEndpoints[] = {
    {RouteKind::kBase, endpoint::handle_base, false},
    {RouteKind::kCatalog, endpoint::handle_catalog, false},
    {RouteKind::kTags, endpoint::handle_tags, true},
    {RouteKind::kManifest, endpoint::handle_manifest, true},
    {RouteKind::kBlob, endpoint::handle_blob, true},
    {RouteKind::kUploadStart, endpoint::handle_upload_start, true},
    {RouteKind::kUploadSession, endpoint::handle_upload_session, true},
    {RouteKind::kReferrers, endpoint::handle_referrers, true},
    {RouteKind::kToken, endpoint::handle_token, false},
};

}  // namespace

int main() {
  const std::string path = endpoint::request_path();
  const endpoint::Route route = endpoint::route_path(path);
  for (const Endpoint& e : kEndpoints) {
    if (e.kind != route.kind) continue;
    if (e.needs_name && !route.name_valid) {
      endpoint::send_error(endpoint::ApiError::kNameInvalid, "invalid repository name: " + route.name);
    }
    endpoint::enforce_access(route);
    e.handle(route);
    return 0;
  }
  endpoint::send_error(endpoint::ApiError::kNotFound, "no such endpoint: " + path);
}
