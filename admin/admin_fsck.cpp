// registry-admin fsck: what killed processes left in the tree; with
// --repair, put back or removed as the engine would finish it.
#include <cinttypes>
#include <cstdio>
#include <string>

#include "admin/admin_commands.h"
#include "storage/upkeep/reg_maintenance.h"
#include "storage/reg_storage.h"

namespace admin {

int run_fsck(Invocation& in) {
  reg_fsck_options o{};
  o.repair = in.take_flag("--repair") ? 1 : 0;
  o.grace_seconds = 3600;
  bool bad = false;
  std::string value;
  if (in.take_value("--grace", &value, &bad) && !parse_duration(value, &o.grace_seconds)) {
    return fail(kExitUsage, "fsck: --grace takes a duration such as 30s, 15m, 1h or 7d, not %s", value.c_str());
  }
  if (bad) return kExitUsage;
  if (!in.rest().empty()) return fail(kExitUsage, "fsck: unexpected argument: %s", in.rest()[0].c_str());
  if (const int opened = open_storage(Open::kRegistry); opened != kExitOk) return opened;

  Progress progress;
  FindingLog log(in.json(), &progress);
  Reporting both{&progress, &log};
  both.attach(&o.progress, &o.finding, &o.ctx);
  reg_fsck_summary s{};
  reg_status st;
  const int rc = reg_fsck(&o, &s, &st);
  progress.clear();
  const std::string error = rc != 0 ? st.message : "";
  const int64_t left = s.problems - s.repaired;
  if (in.json()) {
    std::printf("{\"repair\":%s,\"repositories\":%" PRId64 ",\"problems\":%" PRId64 ",\"repaired\":%" PRId64
                ",\"error\":%s,\"findings\":%s}\n",
                o.repair ? "true" : "false", s.repositories, s.problems, s.repaired,
                rc != 0 ? json_string(error).c_str() : "null", log.json_array().c_str());
  } else if (s.problems == 0) {
    std::printf("fsck: %s, nothing to repair\n", count_of(s.repositories, "repository", "repositories").c_str());
  } else {
    std::printf("fsck: %s, %s, %" PRId64 " repaired%s\n", count_of(s.repositories, "repository", "repositories").c_str(),
                count_of(s.problems, "problem", "problems").c_str(), s.repaired,
                o.repair ? "" : " (fsck --repair repairs what it can)");
  }
  if (rc != 0) return fail(kExitFound, "fsck: %s", error.c_str());
  return left == 0 ? kExitOk : kExitFound;
}

}  // namespace admin
