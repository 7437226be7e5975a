// registry-admin gc: collects the garbage while the registry serves.
#include <cinttypes>
#include <cstdio>
#include <string>

#include "admin/admin_commands.h"
#include "platform/host.h"
#include "storage/upkeep/reg_maintenance.h"
#include "storage/reg_storage.h"

namespace admin {
namespace {

constexpr int64_t kDefaultGrace = 3600;            // 1h
constexpr int64_t kDefaultUploadAge = 7 * 86400;   // 7d

std::string counts_line(const reg_gc_summary& s) {
  return count_of(s.manifests_removed, "manifest", "manifests") + ", " +
         count_of(s.blobs_removed, "blob", "blobs") + " (" + human_bytes(s.blob_bytes_removed) + "), " +
         count_of(s.links_removed, "link", "links") + ", " + count_of(s.uploads_removed, "upload", "uploads") + " (" +
         human_bytes(s.upload_bytes_removed) + ")";
}

}  // namespace

int run_gc(Invocation& in) {
  reg_gc_options o{};
  o.grace_seconds = kDefaultGrace;
  o.upload_age_seconds = kDefaultUploadAge;
  o.dry_run = in.take_flag("--dry-run") ? 1 : 0;
  o.delete_untagged = in.take_flag("--delete-untagged") ? 1 : 0;
  bool bad = false;
  std::string value;
  if (in.take_value("--grace", &value, &bad) && !parse_duration(value, &o.grace_seconds)) {
    return fail(kExitUsage, "gc: --grace takes a duration such as 30s, 15m, 1h or 7d, not %s", value.c_str());
  }
  if (in.take_value("--upload-age", &value, &bad) && !parse_duration(value, &o.upload_age_seconds)) {
    return fail(kExitUsage, "gc: --upload-age takes a duration such as 1h or 7d, not %s", value.c_str());
  }
  int64_t unpulled_for = -1;
  std::string unpulled_text;
  if (in.take_value("--mirror-unpulled-for", &unpulled_text, &bad) && !parse_duration(unpulled_text, &unpulled_for)) {
    return fail(kExitUsage, "gc: --mirror-unpulled-for takes a duration such as 1h or 30d, not %s",
                unpulled_text.c_str());
  }
  if (bad) return kExitUsage;
  if (!in.rest().empty()) return fail(kExitUsage, "gc: unexpected argument: %s", in.rest()[0].c_str());
  if (const int opened = open_storage(Open::kRegistry); opened != kExitOk) return opened;

  // Mirrored manifests nobody pulled for that long go first, with their
  // tags: the collection below then frees the blobs only they held.
  int64_t unpulled = 0;
  std::string unpulled_error;
  if (unpulled_for >= 0) {
    reg_status mst;
    if (reg_mirror_drop_unpulled(unpulled_for, host::now_seconds(), o.dry_run, &unpulled, &mst) != 0) {
      unpulled_error = mst.message;
    }
  }

  Progress progress;
  FindingLog log(in.json(), &progress);
  Reporting both{&progress, &log};
  both.attach(&o.progress, &o.finding, &o.ctx);

  reg_gc_summary s{};
  reg_status st;
  const int rc = reg_gc(&o, &s, &st);
  progress.clear();
  const bool failed = rc != 0 || !unpulled_error.empty();
  const std::string error = rc != 0 ? st.message : unpulled_error;
  const std::string unpulled_json =
      unpulled_for >= 0 ? ",\"mirror_unpulled\":" + std::to_string(unpulled) : std::string();
  if (in.json()) {
    std::printf(
        "{\"dry_run\":%s,\"grace_seconds\":%" PRId64 ",\"delete_untagged\":%s%s,\"repositories\":%" PRId64
        ",\"manifests\":%" PRId64 ",\"blobs\":%" PRId64 ",\"removed\":{\"manifests\":%" PRId64 ",\"blobs\":%" PRId64
        ",\"blob_bytes\":%" PRId64 ",\"links\":%" PRId64 ",\"uploads\":%" PRId64 ",\"upload_bytes\":%" PRId64
        "},\"restored\":%" PRId64 ",\"unreadable\":%" PRId64 ",\"error\":%s,\"findings\":%s}\n",
        o.dry_run ? "true" : "false", o.grace_seconds, o.delete_untagged ? "true" : "false", unpulled_json.c_str(),
        s.repositories,
        s.manifests, s.blobs, s.manifests_removed, s.blobs_removed, s.blob_bytes_removed, s.links_removed,
        s.uploads_removed, s.upload_bytes_removed, s.blobs_restored, s.unreadable,
        failed ? json_string(error).c_str() : "null", log.json_array().c_str());
  } else {
    if (unpulled_for >= 0) {
      std::printf("mirror: %s %s, not pulled for %s\n", o.dry_run ? "would remove" : "removed",
                  count_of(unpulled, "manifest", "manifests").c_str(), unpulled_text.c_str());
    }
    std::printf("gc: %s, %s, %s\n", count_of(s.repositories, "repository", "repositories").c_str(),
                count_of(s.manifests, "manifest", "manifests").c_str(), count_of(s.blobs, "blob", "blobs").c_str());
    std::printf("%s: %s\n", o.dry_run ? "would remove" : "removed", counts_line(s).c_str());
    if (s.blobs_restored > 0) {
      std::printf("restored: %s needed during the collection\n", count_of(s.blobs_restored, "blob", "blobs").c_str());
    }
  }
  if (failed) return fail(kExitFound, "gc: %s", error.c_str());
  return kExitOk;
}

}  // namespace admin
