// Registry request functions.
#include "registry/oci_common.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <string>

#include "cgi/bt_cgi.h"
#include "cgi/request_env.h"
#include "registry/front_door.h"
#include "registry/request.h"
#include "registry/response.h"
#include "registry/storage_root.h"
#include "settings/settings.h"
#include "storage/reg_storage.h"

extern "C" {

int oci_init_storage(void) {
  // The settings as the programs read them; a root that cannot be had as
  // configured is an error, never a reason to serve some other tree.
  const settings::Settings s = settings::read_settings(cgi::process_environment());
  std::string why;
  switch (registry::ready_storage(s, &why)) {
    case registry::StorageReady::kReady: return 0;
    case registry::StorageReady::kBadSetting: registry::StderrLog().line("registry: " + why); return -1;
    case registry::StorageReady::kFailed:
    {
      const registry::Request req(cgi::process_environment(), stdin);
      registry::StderrLog().line("registry: storage init " + req.method() + " " + req.path() + ": " + why);
    }
      return -1;
  }
  return -1;
}

int handle_v2_catalog(void) {
  registry::StdoutOutput out;
  registry::StderrLog log;
  registry::serve_catalog(cgi::process_environment(), stdin, out, log);
  return 0;
}

void oci_send_error(int status, const char* code, const char* message) {
  oci_send_json(status, registry::error_body(code != nullptr ? code : "UNKNOWN",
                                             message != nullptr ? message : "Unknown error")
                            .c_str());
  std::exit(0);
}

void oci_send_json(int status, const char* json) {
  registry::StdoutOutput out;
  registry::Response(out, false).json(status, json != nullptr && json[0] != '\0' ? json : "{}");
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
