// GET /v2/<name>/referrers/<digest>[?artifactType=]: the manifests that
// refer to a digest, as an OCI image index, always 200 (a 404 would tell a
// client that the API does not exist).
#include <string>
#include <vector>

#include "registry/handlers.h"
#include "registry/mirror_hooks.h"
#include "storage/reg_storage.h"

namespace registry {

void handle_referrers(Call& c) {
  const Route& route = c.req.route();
  settings::MirrorTarget upstream;
  bool answered = false;
  if (mirrored(c, &upstream, &answered) && (answered || mirror_hooks()->referrers(c, upstream))) return;
  const std::string filter = c.req.param("artifactType");
  const std::string last = c.req.param("last");
  bool n_given = false;
  int n = page_size(c.req, &n_given);
  if (!n_given || n <= 0) n = kPageMax;
  std::string text;
  reg_page page{};
  if (reg_referrers_json(route.name.c_str(), route.reference.c_str(), filter.empty() ? nullptr : filter.c_str(), n,
                         last.empty() ? nullptr : last.c_str(), append_to_string, &text, &page, &c.st) != 0) {
    return c.engine_failure({ApiError::kDigestInvalid, ApiError::kNameUnknown}, "referrers");
  }
  c.resp.begin(200);
  c.resp.header("Content-Type", "application/vnd.oci.image.index.v1+json");
  c.resp.header_number("Content-Length", static_cast<int64_t>(text.size()));
  if (!filter.empty()) c.resp.header("OCI-Filters-Applied", "artifactType");
  if (page.more != 0) {
    std::string link = "</v2/" + route.name + "/referrers/" + route.reference + "?";
    if (n_given) link += "n=" + std::to_string(n) + "&";
    if (!filter.empty()) link += "artifactType=" + url_encode(filter) + "&";
    link += "last=" + url_encode(page.next) + ">; rel=\"next\"";
    c.resp.header("Link", link);
  }
  c.resp.end_headers();
  if (!c.resp.head()) c.resp.write(text.data(), text.size());
  c.resp.flush();
}

}  // namespace registry
