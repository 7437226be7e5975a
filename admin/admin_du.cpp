// registry-admin du: bytes per repository, its own and shared with others.
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "admin/admin_commands.h"
#include "storage/upkeep/reg_maintenance.h"
#include "storage/reg_storage.h"

namespace admin {
namespace {

struct Row {
  std::string name;
  reg_usage u;
};

struct Collected {
  Progress* progress;
  std::vector<Row> rows;
};

}  // namespace

int run_du(Invocation& in) {
  if (!in.rest().empty()) return fail(kExitUsage, "du: unexpected argument: %s", in.rest()[0].c_str());
  if (const int opened = open_storage(Open::kRegistry); opened != kExitOk) return opened;
  Progress progress;
  Collected c{&progress, {}};
  reg_usage_total total{};
  reg_status st;
  const int rc = reg_disk_usage(
      [](void* ctx, const reg_usage* u) {
        static_cast<Collected*>(ctx)->rows.push_back({u->repository, *u});
      },
      &c,
      [](void* ctx, const char* phase, int64_t done, int64_t all, int64_t bytes) {
        static_cast<Collected*>(ctx)->progress->update(phase, done, all, bytes);
      },
      &total, &st);
  progress.clear();
  if (rc != 0) return fail(kExitFound, "du: %s", st.message);
  if (in.json()) {
    std::string out = "{\"repositories\":[";
    for (size_t i = 0; i < c.rows.size(); ++i) {
      const reg_usage& u = c.rows[i].u;
      char nums[256];
      std::snprintf(nums, sizeof nums,
                    ",\"own_bytes\":%" PRId64 ",\"shared_bytes\":%" PRId64 ",\"manifest_bytes\":%" PRId64
                    ",\"blobs\":%" PRId64 ",\"manifests\":%" PRId64 "}",
                    u.own_bytes, u.shared_bytes, u.manifest_bytes, u.blobs, u.manifests);
      out += (i > 0 ? ",{\"name\":" : "{\"name\":") + json_string(c.rows[i].name) + nums;
    }
    std::printf("%s],\"blob_bytes\":%" PRId64 ",\"unlinked_bytes\":%" PRId64 ",\"manifest_bytes\":%" PRId64 "}\n",
                out.c_str(), total.blob_bytes, total.unlinked_bytes, total.manifest_bytes);
    return kExitOk;
  }
  size_t width = 10;
  for (const Row& r : c.rows) width = r.name.size() > width ? r.name.size() : width;
  // Sizes first (OWN, SHARED, MANIFEST SIZE), then counts (BLOBS, MANIFESTS).
  std::printf("%-*s %12s %12s %13s %8s %9s\n", static_cast<int>(width), "REPOSITORY", "OWN", "SHARED", "MANIFEST SIZE",
              "BLOBS", "MANIFESTS");
  for (const Row& r : c.rows) {
    std::printf("%-*s %12s %12s %13s %8" PRId64 " %9" PRId64 "\n", static_cast<int>(width), r.name.c_str(),
                human_bytes(r.u.own_bytes).c_str(), human_bytes(r.u.shared_bytes).c_str(),
                human_bytes(r.u.manifest_bytes).c_str(), r.u.blobs, r.u.manifests);
  }
  std::printf("total: %s, blobs %s (%s linked by no repository), manifests %s\n",
              count_of(total.repositories, "repository", "repositories").c_str(), human_bytes(total.blob_bytes).c_str(),
              human_bytes(total.unlinked_bytes).c_str(),
              human_bytes(total.manifest_bytes).c_str());
  return kExitOk;
}

}  // namespace admin
