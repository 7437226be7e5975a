// The route table.
#include "registry/routes.h"

#include <cstring>

#include <vector>

#include "storage/reg_storage.h"

namespace registry {
namespace {

// A pattern matches the last components of a path: a literal, or "*" for
// any one component (the reference), which becomes Route::reference.
struct Pattern {
  RouteKind kind;
  std::vector<const char*> tail;
};

// In order: the first pattern whose tail matches wins. "uploads/" (an
// empty last component) before "uploads/<id>", and both before a blob.
const Pattern kRoutes[] = {
    {RouteKind::kUploadStart, {"blobs", "uploads", ""}},
    {RouteKind::kUploadStart, {"blobs", "uploads"}},
    {RouteKind::kUploadSession, {"blobs", "uploads", "*"}},
    {RouteKind::kBlob, {"blobs", "*"}},
    {RouteKind::kManifest, {"manifests", "*"}},
    {RouteKind::kTags, {"tags", "list"}},
    {RouteKind::kReferrers, {"referrers", "*"}},
};

std::vector<std::string> split(const std::string& s) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t slash = s.find('/', start);
    parts.push_back(s.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
    if (slash == std::string::npos) return parts;
    start = slash + 1;
  }
}

}  // namespace

Route route_path(const std::string& path) {
  Route r;
  if (path == "/v2" || path == "/v2/") {
    r.kind = RouteKind::kBase;
    return r;
  }
  if (path == kTokenPath) {
    r.kind = RouteKind::kToken;
    return r;
  }
  if (path == kMetricsPath) {
    r.kind = RouteKind::kMetrics;
    return r;
  }
  if (path.rfind("/v2/", 0) != 0) return r;
  const std::string rest = path.substr(4);
  if (rest == "_catalog") {
    r.kind = RouteKind::kCatalog;
    return r;
  }
  const std::vector<std::string> parts = split(rest);
  for (const Pattern& p : kRoutes) {
    const size_t n = p.tail.size();
    if (parts.size() <= n) continue;  // a name must come before the tail
    const size_t at = parts.size() - n;
    bool match = true;
    std::string reference;
    for (size_t i = 0; i < n && match; ++i) {
      const std::string& part = parts[at + i];
      if (std::string(p.tail[i]) == "*") {
        reference = part;
        match = !part.empty();
      } else {
        match = part == p.tail[i];
      }
    }
    if (!match) continue;
    r.kind = p.kind;
    r.reference = reference;
    for (size_t i = 0; i < at; ++i) {
      if (i > 0) r.name += '/';
      r.name += parts[i];
    }
    r.name_valid = reg_repository_name_valid(r.name.data(), r.name.size()) != 0;
    return r;
  }
  return r;
}

namespace {

constexpr RouteRules kRules[] = {
    {RouteKind::kBase, "GET, HEAD", "Method not allowed for /v2/", false, false},
    {RouteKind::kCatalog, "GET, HEAD", "Method not allowed for /v2/_catalog", false, true},
    {RouteKind::kTags, "GET, HEAD", "Method not allowed for tag lists", true, true},
    {RouteKind::kManifest, "GET, HEAD, PUT, DELETE", "Method not allowed for manifests", true, true},
    {RouteKind::kBlob, "GET, HEAD, DELETE", "Method not allowed for blobs", true, true},
    {RouteKind::kUploadStart, "POST", "Method not allowed for uploads", true, true},
    {RouteKind::kUploadSession, "GET, PATCH, PUT, DELETE", "Method not allowed for upload sessions", true, true},
    {RouteKind::kReferrers, "GET, HEAD", "Method not allowed for referrers", true, true},
    {RouteKind::kToken, "GET", "Method not allowed for tokens", false, true},
    {RouteKind::kMetrics, "GET, HEAD", "Method not allowed for metrics", false, true},
    {RouteKind::kNone, "", "", false, false},
};

}  // namespace

const RouteRules& route_rules(RouteKind kind) {
  for (const RouteRules& r : kRules) {
    if (r.kind == kind) return r;
  }
  return kRules[sizeof kRules / sizeof kRules[0] - 1];
}

bool method_allowed(const RouteRules& rules, const std::string& method) {
  // The Allow list, one method after each ", ".
  const char* p = rules.allow;
  while (*p != '\0') {
    const char* end = std::strchr(p, ',');
    const size_t len = end != nullptr ? static_cast<size_t>(end - p) : std::strlen(p);
    if (method.size() == len && method.compare(0, len, p, len) == 0) return true;
    if (end == nullptr) break;
    p = end + 2;
  }
  return false;
}

const char* route_name(RouteKind kind) {
  switch (kind) {
    case RouteKind::kBase: return "base";
    case RouteKind::kCatalog: return "catalog";
    case RouteKind::kTags: return "tags";
    case RouteKind::kManifest: return "manifest";
    case RouteKind::kBlob: return "blob";
    case RouteKind::kUploadStart: return "upload start";
    case RouteKind::kUploadSession: return "upload";
    case RouteKind::kReferrers: return "referrers";
    case RouteKind::kToken: return "token";
    case RouteKind::kMetrics: return "metrics";
    case RouteKind::kNone: break;
  }
  return "none";
}

}  // namespace registry
