// registry-admin scrub: every blob and manifest hashed again, every link
// checked; with --repair, what rotted is moved into quarantine.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "admin/admin_commands.h"
#include "storage/upkeep/reg_maintenance.h"
#include "storage/reg_storage.h"

namespace admin {

int run_scrub(Invocation& in) {
  reg_scrub_options o{};
  o.repair = in.take_flag("--repair") ? 1 : 0;
  bool bad = false;
  std::string value;
  if (in.take_value("--threads", &value, &bad)) {
    char* end = nullptr;
    const long n = std::strtol(value.c_str(), &end, 10);
    if (end == value.c_str() || *end != '\0' || n < 1 || n > 64) {
      return fail(kExitUsage, "scrub: --threads takes a number from 1 to 64, not %s", value.c_str());
    }
    o.threads = static_cast<int>(n);
  }
  if (bad) return kExitUsage;
  if (!in.rest().empty()) return fail(kExitUsage, "scrub: unexpected argument: %s", in.rest()[0].c_str());
  if (const int opened = open_storage(Open::kRegistry); opened != kExitOk) return opened;

  Progress progress;
  FindingLog log(in.json(), &progress);
  Reporting both{&progress, &log};
  both.attach(&o.progress, &o.finding, &o.ctx);
  reg_scrub_summary s{};
  reg_status st;
  const int rc = reg_scrub(&o, &s, &st);
  progress.clear();
  const std::string error = rc != 0 ? st.message : "";
  const int64_t wrong = s.bad_blobs + s.bad_manifests + s.dangling_links;
  if (in.json()) {
    std::printf("{\"repair\":%s,\"blobs\":%" PRId64 ",\"manifests\":%" PRId64 ",\"bytes\":%" PRId64
                ",\"links\":%" PRId64 ",\"bad_blobs\":%" PRId64 ",\"bad_manifests\":%" PRId64
                ",\"dangling_links\":%" PRId64 ",\"repaired\":%" PRId64 ",\"error\":%s,\"findings\":%s}\n",
                o.repair ? "true" : "false", s.blobs, s.manifests, s.bytes, s.links, s.bad_blobs, s.bad_manifests,
                s.dangling_links, s.repaired, rc != 0 ? json_string(error).c_str() : "null", log.json_array().c_str());
  } else {
    std::printf("scrub: %s and %s hashed (%s), %s checked\n", count_of(s.blobs, "blob", "blobs").c_str(),
                count_of(s.manifests, "manifest", "manifests").c_str(), human_bytes(s.bytes).c_str(),
                count_of(s.links, "link", "links").c_str());
    if (wrong == 0) {
      std::printf("everything hashes to its name\n");
    } else {
      std::printf("wrong: %s, %s, %s; %" PRId64 " moved to quarantine\n", count_of(s.bad_blobs, "blob", "blobs").c_str(),
                  count_of(s.bad_manifests, "manifest", "manifests").c_str(),
                  count_of(s.dangling_links, "dangling link", "dangling links").c_str(), s.repaired);
      // What the operator can do about it, where this run did not.
      if (!o.repair && s.bad_blobs + s.bad_manifests > 0) {
        std::printf("scrub --repair moves what does not hash to its name into quarantine\n");
      }
    }
  }
  if (rc != 0) return fail(kExitFound, "scrub: %s", error.c_str());
  return wrong == 0 ? kExitOk : kExitFound;
}

}  // namespace admin
