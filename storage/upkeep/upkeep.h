// What the walks that look after the whole tree share: telling their
// caller what they find and how far they are, and a repository's
// manifests read whole with the ones that stay.
#ifndef REGISTRY_STORAGE_UPKEEP_UPKEEP_H
#define REGISTRY_STORAGE_UPKEEP_UPKEEP_H

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "storage/storage_fs.h"
#include "storage/storage_manifest_check.h"
#include "storage/storage_state.h"
#include "storage/storage_text.h"
#include "storage/upkeep/reg_maintenance.h"
#include "storage/upkeep/repo_contents.h"

namespace storage {

// The caller's callbacks, either of which may be absent.
class Reporter {
 public:
  Reporter(reg_finding_fn on_finding, reg_progress_fn on_progress, void* ctx)
      : finding_(on_finding), progress_(on_progress), ctx_(ctx) {}
  void finding(const char* kind, const char* repo, const char* item, int64_t bytes, const char* problem,
               const char* action) const;
  void progress(const char* phase, int64_t done, int64_t total, int64_t bytes) const {
    if (progress_ != nullptr) progress_(ctx_, phase, done, total, bytes);
  }

 private:
  reg_finding_fn finding_;
  reg_progress_fn progress_;
  void* ctx_;
};

// The checks every walk makes first: its options and summary given (the
// summary then emptied), the engine ready. 0 or -1 with the failure in st.
template <typename Options, typename Summary>
int begin_walk(const Options* options, Summary* out, reg_status* st) {
  if (options == nullptr || out == nullptr) return fail(st, REG_ERR_INVALID, "NULL argument");
  *out = Summary{};
  return require_ready(st);
}

// The names in byte order, so that every report comes in the same order.
char** sorted_names(NameList* names);

// A path of the tree as seen from its root ("blobs/sha256/ab").
std::string relative_to_root(const char* path);

struct ViewManifest {
  StoredManifest stored;
  int state = 0;         // 1 parsed, 0 not a manifest, -1 cannot be read
  std::string problem;   // why, when it is not a manifest
  ManifestInfo info;
};

// A repository's manifests, parsed, and the digests its tags name.
struct RepoView {
  std::vector<ViewManifest> manifests;
  std::unordered_set<std::string> tagged;
};
// kMissing never: a repository without manifests has an empty view.
Scan read_repo_view(const char* repo, RepoView* view, ManifestBuffer* buf);

// Which manifests stay (one flag each, in the view's order): all of them,
// or with delete_untagged those a tag names, every child of an index,
// every referrer of one that stays, those changed at or after cutoff, and
// those that cannot be read (what they need is not known).
std::vector<char> manifests_that_stay(const RepoView& view, bool delete_untagged, int64_t cutoff);

}  // namespace storage

#endif
