// The route table over arbitrary request paths: a route it finds has the
// shape its kind gives it (a reference of one component, a name that the
// path really holds before the endpoint's tail), and the same path always
// gives the same route.
#include "fuzz/fuzz_target.h"

#include <cstdint>
#include <cstdlib>
#include <string>

#include "registry/routes.h"
#include "storage/reg_storage.h"

using registry::RouteKind;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path(reinterpret_cast<const char*>(data), size);
  const registry::Route r = registry::route_path(path);
  const registry::Route again = registry::route_path(path);
  if (r.kind != again.kind || r.name != again.name || r.reference != again.reference) std::abort();
  switch (r.kind) {
    case RouteKind::kNone:
      return 0;
    case RouteKind::kBase:
      if (path != "/v2" && path != "/v2/") std::abort();
      return 0;
    case RouteKind::kCatalog:
      if (path != "/v2/_catalog") std::abort();
      return 0;
    case RouteKind::kToken:
      if (path != registry::kTokenPath) std::abort();
      return 0;
    case RouteKind::kMetrics:
      if (path != registry::kMetricsPath) std::abort();
      return 0;
    default:
      break;
  }
  if (path.rfind("/v2/" + r.name + "/", 0) != 0) std::abort();  // the name is what the path holds first
  // The name is judged whole: a NUL in it is no end of it.
  if (r.name_valid != (reg_repository_name_valid(r.name.data(), r.name.size()) == 1)) std::abort();
  if (r.name_valid && r.name.find('\0') != std::string::npos) std::abort();
  const bool has_reference = r.kind == RouteKind::kManifest || r.kind == RouteKind::kBlob ||
                             r.kind == RouteKind::kUploadSession || r.kind == RouteKind::kReferrers;
  if (has_reference) {
    if (r.reference.empty() || r.reference.find('/') != std::string::npos) std::abort();
    if (path.size() < r.reference.size() || path.compare(path.size() - r.reference.size(), std::string::npos, r.reference) != 0) {
      std::abort();  // the reference is the last component
    }
  } else if (!r.reference.empty()) {
    std::abort();
  }
  return 0;
}
