// GET /v2/ (the API's base), the repository catalog and the tag list.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cgi/bt_cgi.h"
#include "endpoint/access_control.h"
#include "endpoint/handlers.h"
#include "endpoint/http_response.h"
#include "endpoint/oci_common.h"
#include "endpoint/request.h"
#include "storage/reg_storage.h"

namespace endpoint {
namespace {

bool get_or_head() {
  const char* m = request_method();
  return std::strcmp(m, "GET") == 0 || std::strcmp(m, "HEAD") == 0;
}

// The leading decimal number of text as atoi reads it, with a number out
// of range read as the largest or smallest int.
int parse_int(const std::string& text) {
  if (text.empty()) return 0;
  const long v = std::strtol(text.c_str(), nullptr, 10);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

}  // namespace

bool digest_form_valid(const std::string& digest) {
  const bool sha256 = digest.size() == 71 && digest.rfind("sha256:", 0) == 0;
  const bool sha512 = digest.size() == 135 && digest.rfind("sha512:", 0) == 0;
  if (!sha256 && !sha512) return false;
  for (size_t i = 7; i < digest.size(); ++i) {
    const char c = digest[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

void storage_or_fail() {
  if (oci_init_storage() != 0) send_error(ApiError::kStorage, "Failed to initialize registry storage");
}

int page_size(bool* given) {
  const std::string n = query_value("n", given);
  if (!*given || n.empty()) {
    *given = false;
    return 0;
  }
  const int v = parse_int(n);
  return v > kPageMax ? kPageMax : v;
}

std::string next_page_link(const std::string& path, bool n_given, int n) {
  const char* next = reg_page_next();
  if (next == nullptr) return "";
  std::string link = "Link: <" + path + "?";
  if (n_given && n > 0) link += "n=" + std::to_string(n) + "&";
  link += "last=" + url_encode(next) + ">; rel=\"next\"";
  return link;
}

void handle_base(const Route&) {
  if (!get_or_head()) send_method_not_allowed("GET, HEAD", "Method not allowed for /v2/");
  send_json(200, "{}", is_head());
}

void handle_catalog(const Route&) {
  if (!get_or_head()) send_method_not_allowed("GET, HEAD", "Method not allowed for /v2/_catalog");
  storage_or_fail();
  bool n_given = false;
  const int n = page_size(&n_given);
  const std::string last = query_value("last");
  // n of 0 or less lists every name; a page of more than kPageMax names
  // ends there and links to the rest.
  // With access control on, the catalog holds what the user may pull.
  const char* body = reg_catalog_json_where(n > 0 ? n : 0, last.empty() ? nullptr : last.c_str(), catalog_filter(), nullptr);
  if (body == nullptr) {
    // A tree we cannot read is a failure, never an empty catalog.
    log_failure("catalog", storage_failure_text());
    send_error(ApiError::kStorage, "Failed to read the repository catalog");
  }
  std::vector<std::string> extra;
  const std::string link = next_page_link("/v2/_catalog", n_given, n);
  if (!link.empty()) extra.push_back(link);
  send_json(200, body, is_head(), extra);
}

void handle_tags(const Route& route) {
  if (!get_or_head()) send_method_not_allowed("GET, HEAD", "Method not allowed for tag lists");
  storage_or_fail();
  const int exists = reg_repository_exists(route.name.c_str());
  if (exists < 0) send_engine_failure({ApiError::kNameInvalid, ApiError::kNameUnknown}, "tags");
  if (exists == 0) send_error(ApiError::kNameUnknown, "repository name not known to registry: " + route.name);
  bool n_given = false;
  const int n = page_size(&n_given);
  const std::string last = query_value("last");
  std::string body;
  if (n_given && n <= 0) {
    // n=0 asks for an empty page, and no link.
    body = "{\"name\":\"" + route.name + "\",\"tags\":[]}";
  } else {
    const char* text = reg_tags_page_json(route.name.c_str(), n, last.empty() ? nullptr : last.c_str());
    if (text == nullptr) send_engine_failure({ApiError::kNameInvalid, ApiError::kNameUnknown}, "tags");
    body = text;
  }
  std::vector<std::string> extra;
  if (!(n_given && n <= 0)) {
    const std::string link = next_page_link("/v2/" + route.name + "/tags/list", n_given, n);
    if (!link.empty()) extra.push_back(link);
  }
  send_json(200, body, is_head(), extra);
}

}  // namespace endpoint

extern "C" int handle_v2_catalog(void) {
  endpoint::Route route;
  route.kind = endpoint::RouteKind::kCatalog;
  endpoint::enforce_access(route);
  endpoint::handle_catalog(route);
  return 0;
}
