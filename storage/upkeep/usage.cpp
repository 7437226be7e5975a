// Disk usage per repository: the blobs it links, told apart by whether
// other repositories link them too, and its manifest bodies.
#include <algorithm>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/host.h"
#include "storage/reg_storage.h"
#include "storage/storage_blob_store.h"
#include "storage/storage_fs.h"
#include "storage/storage_repositories.h"
#include "storage/storage_state.h"
#include "storage/storage_text.h"
#include "storage/upkeep/reg_maintenance.h"
#include "storage/upkeep/repo_contents.h"
#include "storage/upkeep/upkeep.h"

namespace storage {
namespace {

struct BlobUse {
  int64_t size = -1;  // -1: not stored
  int links = 0;
};

}  // namespace
}  // namespace storage

using namespace storage;

extern "C" int reg_disk_usage(reg_usage_fn fn, void* ctx, reg_progress_fn progress, reg_usage_total* total,
                              reg_status* caller) {
  CallStatus st(caller);
  if (total == nullptr) return fail(st, REG_ERR_INVALID, "NULL argument");
  *total = reg_usage_total{};
  if (require_ready(st) != 0) return -1;
  Reporter report(nullptr, progress, ctx);
  NameList repos;
  if (collect_repositories(&repos) == Scan::kFailed) return fail(st, REG_ERR_STORAGE, "cannot list the repositories");
  char** names = sorted_names(&repos);
  std::unordered_map<std::string, BlobUse> blobs;
  std::vector<std::vector<std::string>> links(static_cast<size_t>(repos.size()));
  std::vector<reg_usage> usage(static_cast<size_t>(repos.size()));
  for (int r = 0; r < repos.size(); ++r) {
    report.progress("links", r, repos.size(), 0);
    reg_usage& u = usage[static_cast<size_t>(r)];
    u = reg_usage{};
    u.repository = names[r];
    if (read_blob_links(names[r], &links[static_cast<size_t>(r)]) == Scan::kFailed) {
      return fail(st, REG_ERR_STORAGE, "cannot read the blob links of %s", names[r]);
    }
    for (const std::string& d : links[static_cast<size_t>(r)]) ++blobs[d].links;
    std::vector<StoredManifest> manifests;
    if (read_stored_manifests(names[r], &manifests) == Scan::kFailed) {
      return fail(st, REG_ERR_STORAGE, "cannot read the manifests of %s", names[r]);
    }
    u.manifests = static_cast<int64_t>(manifests.size());
    for (const StoredManifest& m : manifests) u.manifest_bytes += m.size;
    total->manifest_bytes += u.manifest_bytes;
  }
  // The store, each blob once: its size, and whether anything links it.
  BlobStoreVisitor visit;
  visit.entry = [&](const BlobStoreEntry& b) {
    if (b.what != BlobName::kBlob || b.size < 0) return;
    total->blob_bytes += b.size;
    const auto it = blobs.find(b.digest);
    if (it == blobs.end()) {
      total->unlinked_bytes += b.size;
    } else {
      it->second.size = b.size;
    }
  };
  if (walk_blob_store(visit) == Scan::kFailed) return fail(st, REG_ERR_STORAGE, "cannot read the blob store");
  for (int r = 0; r < repos.size(); ++r) {
    reg_usage& u = usage[static_cast<size_t>(r)];
    for (const std::string& d : links[static_cast<size_t>(r)]) {
      const BlobUse& b = blobs[d];
      if (b.size < 0) continue;
      ++u.blobs;
      (b.links > 1 ? u.shared_bytes : u.own_bytes) += b.size;
    }
    if (fn != nullptr) fn(ctx, &u);
  }
  total->repositories = repos.size();
  return 0;
}
