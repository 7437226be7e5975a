// GET /v2/<name>/referrers/<digest>[?artifactType=]: the manifests that
// refer to a digest, as an OCI image index, always 200 (a 404 would tell a
// client that the API does not exist).
#include <string>
#include <vector>

#include "endpoint/handlers.h"
#include "endpoint/http_response.h"
#include "endpoint/request.h"
#include "storage/reg_storage.h"

namespace endpoint {

void handle_referrers(const Route& route) {
  const std::string method = request_method();
  if (method != "GET" && method != "HEAD") send_method_not_allowed("GET, HEAD", "Method not allowed for referrers");
  if (!digest_form_valid(route.reference)) send_error(ApiError::kDigestInvalid, "invalid digest: " + route.reference);
  storage_or_fail();
  const std::string filter = query_value("artifactType");
  const std::string last = query_value("last");
  bool n_given = false;
  int n = page_size(&n_given);
  if (!n_given || n <= 0) n = kPageMax;
  const char* body = reg_referrers_json(route.name.c_str(), route.reference.c_str(),
                                        filter.empty() ? nullptr : filter.c_str(), n, last.empty() ? nullptr : last.c_str());
  if (body == nullptr) send_engine_failure({ApiError::kDigestInvalid, ApiError::kNameUnknown}, "referrers");
  const std::string text = body;
  std::vector<std::string> lines;
  if (!filter.empty()) lines.push_back("OCI-Filters-Applied: artifactType");
  if (const char* next = reg_page_next()) {
    std::string link = "Link: </v2/" + route.name + "/referrers/" + route.reference + "?";
    if (n_given) link += "n=" + std::to_string(n) + "&";
    if (!filter.empty()) link += "artifactType=" + url_encode(filter) + "&";
    link += "last=" + url_encode(next) + ">; rel=\"next\"";
    lines.push_back(link);
  }
  begin_response(200);
  header("Content-Type", "application/vnd.oci.image.index.v1+json");
  header_number("Content-Length", static_cast<int64_t>(text.size()));
  for (const std::string& l : lines) header(l.substr(0, l.find(':')).c_str(), l.substr(l.find(':') + 2).c_str());
  end_headers();
  if (!is_head()) std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

}  // namespace endpoint
