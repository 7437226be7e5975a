// Registry request functions.
#include "endpoint/oci_common.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cgi/bt_cgi.h"
#include "endpoint/http_response.h"
#include "endpoint/storage_config.h"
#include "platform/host.h"
#include "storage/reg_storage.h"

namespace {

int s_storage_ready = 0;

constexpr size_t kRootBuf = 1024;

}  // namespace

extern "C" {

int oci_init_storage(void) {
  if (s_storage_ready) return 0;
  // A root that cannot be had as configured is an error, never a reason to
  // serve some other tree: the default applies only without configuration.
  char root[kRootBuf] = {};
  char why[512] = {};
  if (endpoint::configured_storage_root(root, sizeof root, why, sizeof why) == endpoint::ConfigRoot::kInvalid) {
    std::fprintf(stderr, "registry: %s\n", why);
    return -1;
  }
  if (root[0] == '\0') bt_strlcpy(root, "./registry_storage", sizeof root);
  const int rc = reg_storage_init(root);
  if (rc == 0) {
    s_storage_ready = 1;
  } else {
    endpoint::log_failure("storage init", endpoint::storage_failure_text());
  }
  return rc;
}

void oci_send_error(int status, const char* code, const char* message) {
  endpoint::send_json(status,
                      endpoint::error_body(code != nullptr ? code : "UNKNOWN", message != nullptr ? message : "Unknown error"),
                      false);
  std::exit(0);
}

void oci_send_json(int status, const char* json) {
  endpoint::send_json(status, json != nullptr && json[0] != '\0' ? json : "{}", false);
}

int oci_valid_repo_name(const char* name) {
  return name != nullptr && reg_repository_name_valid(name, std::strlen(name)) ? 1 : 0;
}

int oci_parse_repo_marker(const char* path, const char* marker, char* name, uint64_t name_size, char* rest,
                          uint64_t rest_size) {
  if (path == nullptr || marker == nullptr || name == nullptr || name_size == 0) return 0;
  name[0] = '\0';
  const bool want_rest = rest != nullptr && rest_size != 0;
  if (want_rest) rest[0] = '\0';

  const char* p = path;
  while (*p == '/') ++p;
  if (std::strncmp(p, "v2/", 3) == 0) {
    p += 3;
  } else if (std::strcmp(p, "v2") == 0) {
    p += 2;
  }
  const char* at = marker[0] != '\0' ? std::strstr(p, marker) : nullptr;
  if (at == nullptr) return 0;
  const size_t len = static_cast<size_t>(at - p);
  if (len == 0 || len >= name_size) return 0;
  std::memcpy(name, p, len);
  name[len] = '\0';
  if (!oci_valid_repo_name(name)) return 0;
  if (!want_rest) return 1;

  const char* r = at + std::strlen(marker);
  while (*r == '/') ++r;
  size_t rlen = std::strlen(r);
  if (rlen > 0 && r[rlen - 1] == '/') --rlen;
  // A remainder cut to fit would be another reference than the one asked
  // for: like a name that does not fit, it is not found.
  if (rlen >= rest_size) {
    name[0] = '\0';
    return 0;
  }
  std::memcpy(rest, r, rlen);
  rest[rlen] = '\0';
  return 1;
}

}  // extern "C"
