// registry-admin stats: the engine's statistics of the tree.
#include <cstdio>

#include "admin/admin_commands.h"
#include "storage/reg_storage.h"

namespace admin {

int run_stats(Invocation& in) {
  if (!in.rest().empty()) return fail(kExitUsage, "stats: unexpected argument: %s", in.rest()[0].c_str());
  if (const int opened = open_storage(Open::kRegistry); opened != kExitOk) return opened;
  const char* json = reg_storage_get_stats_json();
  if (json == nullptr) return fail(kExitFound, "stats: %s", reg_storage_last_error());
  std::printf("%s\n", json);
  return kExitOk;
}

}  // namespace admin
