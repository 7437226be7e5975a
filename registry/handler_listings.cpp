// GET /v2/ (the API's base), the repository catalog and the tag list.
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "registry/handlers.h"
#include "storage/reg_status_text.h"

namespace registry {
namespace {

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

int page_size(const Request& req, bool* given) {
  const std::string n = req.param("n", given);
  if (!*given || n.empty()) {
    *given = false;
    return 0;
  }
  const int v = parse_int(n);
  return v > kPageMax ? kPageMax : v;
}

std::string next_page_link(const std::string& path, bool n_given, int n, const reg_page& page) {
  if (page.more == 0) return "";
  std::string link = "Link: <" + path + "?";
  if (n_given && n > 0) link += "n=" + std::to_string(n) + "&";
  link += "last=" + url_encode(page.next) + ">; rel=\"next\"";
  return link;
}

void handle_base(Call& c) { c.resp.json(200, "{}"); }

void handle_catalog(Call& c) {
  bool n_given = false;
  const int n = page_size(c.req, &n_given);
  const std::string last = c.req.param("last");
  // n of 0 or less lists every name; a page of more than kPageMax names
  // ends there and links to the rest. With access control on, the catalog
  // holds what the user may pull.
  std::string body;
  reg_page page{};
  if (reg_catalog_json_where(n > 0 ? n : 0, last.empty() ? nullptr : last.c_str(), auth::catalog_filter(c.access),
                             const_cast<auth::Access*>(&c.access), append_to_string, &body, &page, &c.st) != 0) {
    // A tree we cannot read is a failure, never an empty catalog.
    c.log_failure("catalog", reg_status_text(c.st));
    c.resp.error(ApiError::kStorage, "Failed to read the repository catalog");
    return;
  }
  std::vector<std::string> extra;
  const std::string link = next_page_link("/v2/_catalog", n_given, n, page);
  if (!link.empty()) extra.push_back(link);
  c.resp.json(200, body, extra);
}

void handle_tags(Call& c) {
  const std::string& name = c.req.route().name;
  const FailureMap failures{ApiError::kNameInvalid, ApiError::kNameUnknown};
  const int exists = reg_repository_exists(name.c_str(), &c.st);
  if (exists < 0) return c.engine_failure(failures, "tags");
  if (exists == 0) return c.resp.error(ApiError::kNameUnknown, "repository name not known to registry: " + name);
  bool n_given = false;
  const int n = page_size(c.req, &n_given);
  const std::string last = c.req.param("last");
  std::string body;
  std::vector<std::string> extra;
  if (n_given && n <= 0) {
    // n=0 asks for an empty page, and no link.
    body = "{\"name\":\"" + name + "\",\"tags\":[]}";
  } else {
    reg_page page{};
    if (reg_tags_page_json(name.c_str(), n, last.empty() ? nullptr : last.c_str(), append_to_string, &body, &page,
                           &c.st) != 0) {
      return c.engine_failure(failures, "tags");
    }
    const std::string link = next_page_link("/v2/" + name + "/tags/list", n_given, n, page);
    if (!link.empty()) extra.push_back(link);
  }
  c.resp.json(200, body, extra);
}

}  // namespace registry
