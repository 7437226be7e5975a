// registry-admin du: bytes per repository, its own and shared with others,
// and, where the policy limits a repository, its usage beside its limit.
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "access/auth_files.h"
#include "admin/admin_commands.h"
#include "cgi/request_env.h"
#include "settings/settings.h"
#include "storage/upkeep/reg_maintenance.h"
#include "storage/reg_storage.h"

namespace admin {
namespace {

struct Row {
  std::string name;
  reg_usage u;
  const auth::QuotaRule* quota = nullptr;  // the policy's limit for it, if any
};

// What a quota counts: every blob the repository links, once.
int64_t quota_usage(const reg_usage& u) { return u.own_bytes + u.shared_bytes; }

// "3.9 KiB of 4.0 KiB (98%)", or "-" for a repository without a limit.
std::string usage_of_limit(const Row& r) {
  if (r.quota == nullptr) return "-";
  const int64_t used = quota_usage(r.u);
  const int64_t percent = r.quota->bytes > 0 ? used * 100 / r.quota->bytes : (used > 0 ? 100 : 0);
  return human_bytes(used) + " of " + human_bytes(r.quota->bytes) + " (" + std::to_string(percent) + "%)";
}

// The policy's quota lines: false, with why, when the policy cannot be read.
bool load_quotas(auth::Policy* policy, std::string* why) {
  const settings::Settings all = settings::read_settings(cgi::process_environment());
  if (!all.auth_error.empty()) {
    *why = all.auth_error;
    return false;
  }
  return auth::load_policy(all.auth, policy, why);
}

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
  auth::Policy policy;
  std::string why;
  if (!load_quotas(&policy, &why)) return fail(kExitFound, "du: %s", why.c_str());
  for (Row& r : c.rows) r.quota = auth::quota_rule_for(policy, r.name);
  const bool limits = !policy.quotas.empty();
  if (in.json()) {
    std::string out = "{\"repositories\":[";
    for (size_t i = 0; i < c.rows.size(); ++i) {
      const reg_usage& u = c.rows[i].u;
      char nums[256];
      std::snprintf(nums, sizeof nums,
                    ",\"own_bytes\":%" PRId64 ",\"shared_bytes\":%" PRId64 ",\"manifest_bytes\":%" PRId64
                    ",\"blobs\":%" PRId64 ",\"manifests\":%" PRId64 "}",
                    u.own_bytes, u.shared_bytes, u.manifest_bytes, u.blobs, u.manifests);
      out += (i > 0 ? ",{\"name\":" : "{\"name\":") + json_string(c.rows[i].name);
      if (const auth::QuotaRule* q = c.rows[i].quota) {
        char quota[128];
        std::snprintf(quota, sizeof quota, ",\"usage_bytes\":%" PRId64 ",\"limit_bytes\":%" PRId64 ",\"quota_line\":%d",
                      quota_usage(u), q->bytes, q->line);
        out += quota;
      }
      out += nums;
    }
    std::printf("%s],\"blob_bytes\":%" PRId64 ",\"unlinked_bytes\":%" PRId64 ",\"manifest_bytes\":%" PRId64 "}\n",
                out.c_str(), total.blob_bytes, total.unlinked_bytes, total.manifest_bytes);
    return kExitOk;
  }
  size_t width = 10;
  for (const Row& r : c.rows) width = r.name.size() > width ? r.name.size() : width;
  // Sizes first (OWN, SHARED, MANIFEST SIZE), then counts (BLOBS, MANIFESTS).
  // With quota lines in the policy, a last column: usage of limit.
  std::printf("%-*s %12s %12s %13s %8s %9s%s\n", static_cast<int>(width), "REPOSITORY", "OWN", "SHARED",
              "MANIFEST SIZE", "BLOBS", "MANIFESTS", limits ? "  QUOTA" : "");
  for (const Row& r : c.rows) {
    const std::string quota = limits ? "  " + usage_of_limit(r) : "";
    std::printf("%-*s %12s %12s %13s %8" PRId64 " %9" PRId64 "%s\n", static_cast<int>(width), r.name.c_str(),
                human_bytes(r.u.own_bytes).c_str(), human_bytes(r.u.shared_bytes).c_str(),
                human_bytes(r.u.manifest_bytes).c_str(), r.u.blobs, r.u.manifests, quota.c_str());
  }
  std::printf("total: %s, blobs %s (%s linked by no repository), manifests %s\n",
              count_of(total.repositories, "repository", "repositories").c_str(), human_bytes(total.blob_bytes).c_str(),
              human_bytes(total.unlinked_bytes).c_str(),
              human_bytes(total.manifest_bytes).c_str());
  return kExitOk;
}

}  // namespace admin
