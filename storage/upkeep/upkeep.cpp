// Shared parts of the tree-wide walks: reports, repository views, and the
// rule that decides which manifests stay.
#include "storage/upkeep/upkeep.h"

#include <cstring>
#include <unordered_map>

#include "platform/host.h"
#include "storage/reg_storage.h"
#include "storage/storage_digest.h"
#include "storage/storage_layout.h"
#include "storage/storage_state.h"

namespace storage {

void Reporter::finding(const char* kind, const char* repo, const char* item, int64_t bytes, const char* problem,
                       const char* action) const {
  if (finding_ == nullptr) return;
  reg_finding f{kind, repo, item, bytes, problem, action};
  finding_(ctx_, &f);
}

char** sorted_names(NameList* names) {
  char** items = names->items();
  sort_str(items, names->size());
  return items;
}

std::string relative_to_root(const char* path) {
  const size_t n = std::strlen(s_root);
  if (std::strncmp(path, s_root, n) != 0) return path;
  const char* rest = path + n;
  while (host::is_sep(*rest)) ++rest;
  std::string out = rest;
  for (char& c : out) {
    if (host::is_sep(c)) c = '/';
  }
  return out;
}

Scan read_repo_view(const char* repo, RepoView* view, ManifestBuffer* buf) {
  view->manifests.clear();
  view->tagged.clear();
  std::vector<StoredManifest> stored;
  if (read_stored_manifests(repo, &stored) == Scan::kFailed) return Scan::kFailed;
  for (StoredManifest& s : stored) {
    char path[kPathCap];
    if (!manifest_body_path(repo, s.hex.c_str(), path, sizeof path)) return Scan::kFailed;
    ViewManifest m;
    char msg[320] = "";
    m.state = load_manifest(path, buf, &m.info, msg, sizeof msg);
    // Deleted since it was listed: not there.
    if (m.state < 0 && !file_exists(path)) continue;
    m.problem = msg;
    m.stored = std::move(s);
    view->manifests.push_back(std::move(m));
  }
  std::vector<StoredTag> tags;
  if (read_stored_tags(repo, &tags) == Scan::kFailed) return Scan::kFailed;
  for (const StoredTag& t : tags) {
    if (t.has_link && any_digest_valid(t.link.c_str())) view->tagged.insert(t.link);
  }
  return Scan::kOk;
}

std::vector<char> manifests_that_stay(const RepoView& view, bool delete_untagged, int64_t cutoff) {
  const size_t n = view.manifests.size();
  std::vector<char> stay(n, 1);
  if (!delete_untagged) return stay;
  std::unordered_map<std::string, size_t> by_digest;
  std::unordered_set<std::string> children;
  for (size_t i = 0; i < n; ++i) {
    const ViewManifest& m = view.manifests[i];
    by_digest[m.stored.digest] = i;
    children.insert(m.info.manifests.begin(), m.info.manifests.end());
  }
  // An index's children stay whatever becomes of the index: a platform
  // image of a multi-platform image is never pulled by a tag of its own.
  for (size_t i = 0; i < n; ++i) {
    const ViewManifest& m = view.manifests[i];
    stay[i] = view.tagged.count(m.stored.digest) != 0 || children.count(m.stored.digest) != 0 ||
              m.stored.mtime >= cutoff || m.state != 1;
  }
  // Referrers of what stays, and referrers of those, until nothing changes.
  for (bool changed = true; changed;) {
    changed = false;
    for (size_t i = 0; i < n; ++i) {
      const ViewManifest& m = view.manifests[i];
      if (stay[i] || m.info.subject.empty()) continue;
      const auto s = by_digest.find(m.info.subject);
      if (s != by_digest.end() && stay[s->second]) {
        stay[i] = 1;
        changed = true;
      }
    }
  }
  return stay;
}

}  // namespace storage
