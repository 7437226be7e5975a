// The repository catalog endpoint: GET and HEAD on /v2/_catalog, run as a
// CGI program once per request.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cgi/bt_cgi.h"
#include "endpoint/oci_common.h"
#include "storage/reg_storage.h"

extern "C" int handle_v2_catalog(void);

namespace {

// The leading decimal number of text as atoi reads it, with a number out
// of range read as the largest or smallest int.
int parse_int(const char* text) {
  if (text == nullptr || text[0] == '\0') return 0;
  errno = 0;
  const long v = std::strtol(text, nullptr, 10);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

}  // namespace

extern "C" int handle_v2_catalog(void) {
  const char* method = cgi_method();
  const bool head = std::strcmp(method, "HEAD") == 0;
  if (!head && std::strcmp(method, "GET") != 0) {
    oci_send_error(405, "UNSUPPORTED", "Method not allowed for /v2/_catalog");
  }
  if (oci_init_storage() != 0) {
    oci_send_error(500, "STORAGE_ERROR", "Failed to initialize registry storage");
  }
  const char* n_text = cgi_query("n");
  const char* last_text = cgi_query("last");
  const int n = parse_int(n_text);
  const char* last = last_text != nullptr && last_text[0] != '\0' ? last_text : nullptr;

  const char* body = reg_catalog_json(n, last);
  if (body == nullptr) {
    // A tree we cannot read is a failure, never an empty catalog.
    std::fprintf(stderr, "registry: catalog: %s\n", reg_storage_last_error());
    oci_send_error(500, "STORAGE_ERROR", "Failed to read the repository catalog");
  }

  cgi_header_status(200, "OK");
  cgi_header_extra("Docker-Distribution-API-Version: registry/2.0");
  cgi_header_json();
  cgi_headers_end();
  if (!head) {
    std::fputs(body, stdout);
    std::fputs("\n", stdout);
  }
  std::fflush(stdout);
  return 0;
}

int main() { return handle_v2_catalog(); }
