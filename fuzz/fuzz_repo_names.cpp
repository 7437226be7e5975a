// The repository-name validator over arbitrary bytes, NULs included: it
// accepts exactly the names of the API's grammar (as its regular
// expression writes it), every check that a request's name meets agrees
// with it (the route table, the C view of the name, the policy), and a
// name it accepts is stored by the engine under exactly those bytes.
#include "fuzz/fuzz_target.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <regex>
#include <string>

#include "access/auth_policy.h"
#include "access/auth_token.h"
#include "registry/oci_common.h"
#include "registry/routes.h"
#include "storage/reg_storage.h"

namespace {

bool valid_by_definition(const std::string& n) {
  static const std::regex grammar("[a-z0-9]+((\\.|_|__|[-]+)[a-z0-9]+)*(/[a-z0-9]+((\\.|_|__|[-]+)[a-z0-9]+)*)*");
  return !n.empty() && n.size() <= 255 && n.find('\0') == std::string::npos && std::regex_match(n, grammar);
}

std::string s_root;

void remove_root() { std::filesystem::remove_all(s_root); }

void ready_engine() {
  if (!s_root.empty()) return;
  s_root = (std::filesystem::temp_directory_path() / ("fuzz-repo-names-" + std::to_string(getpid()))).string();
  if (reg_storage_init(s_root.c_str()) != 0) std::abort();
  std::atexit(remove_root);
}

bool is_file(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string name(reinterpret_cast<const char*>(data), size);
  const bool valid = reg_repository_name_valid(name.data(), name.size()) == 1;
  if (valid != valid_by_definition(name)) std::abort();

  // The route table sees the same name, whole.
  const registry::Route r = registry::route_path("/v2/" + name + "/tags/list");
  if (r.kind == registry::RouteKind::kTags && r.name == name && r.name_valid != valid) std::abort();
  // A policy that lets everyone do anything grants nothing on a refused name.
  auth::Policy everything;
  everything.rules.push_back({"*", "**", auth::kActionsAll});
  if (!valid && auth::allowed_actions(everything, "someone", name) != 0) std::abort();
  if (!valid) return 0;

  // What a C string of it holds is the whole name.
  if (std::strlen(name.c_str()) != name.size() || oci_valid_repo_name(name.c_str()) != 1) std::abort();
  // The engine stores the repository under exactly these bytes.
  ready_engine();
  char id[37];
  reg_status st;
  if (reg_upload_start(name.c_str(), nullptr, id, &st) != 0) std::abort();
  if (!is_file(s_root + "/repositories/" + name + "/_uploads/" + id)) std::abort();
  if (reg_repository_exists(name.c_str(), &st) != 1) std::abort();
  reg_upload* held = reg_upload_hold(name.c_str(), id, &st);
  if (held == nullptr || reg_upload_held_cancel(held, &st) != 0) std::abort();
  reg_upload_release(held);
  return 0;
}
