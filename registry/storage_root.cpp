// The storage engine, readied once.
#include "registry/storage_root.h"

#include "storage/reg_storage.h"

namespace registry {
namespace {

// Set by the first start that succeeds, with the root it started on; a
// failure is not remembered, so the next request tries again.
int s_storage_ready = 0;
std::string s_ready_root;

}  // namespace

StorageReady ready_storage(const settings::Settings& s, std::string* why) {
  // A root that cannot be had as configured is an error, never a reason to
  // serve some other tree: the default applies only without configuration.
  if (!s.root_error.empty()) {
    *why = s.root_error;
    return StorageReady::kBadSetting;
  }
  if (s_storage_ready != 0 && s_ready_root == s.root) return StorageReady::kReady;
  if (reg_storage_init(s.root.c_str()) != 0) {
    *why = reg_storage_last_error();
    const char* cause = reg_storage_last_cause();
    if (cause[0] != '\0') *why += std::string(": ") + cause;
    s_storage_ready = 0;
    return StorageReady::kFailed;
  }
  s_storage_ready = 1;
  s_ready_root = s.root;
  return StorageReady::kReady;
}

bool storage_ready_on(const settings::Settings& s) { return s_storage_ready != 0 && s_ready_root == s.root; }

}  // namespace registry
