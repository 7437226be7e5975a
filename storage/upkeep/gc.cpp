// Garbage collection while the registry serves.
//
// Nothing here stops or slows the registry: there is no lock server and no
// read-only mode. What makes it safe is this protocol.
//
//   0. First, uploads untouched for the upload age expire.
//   1. Mark, without locks. Every repository's manifests are read. The
//      ones that stay are all of them, or with --delete-untagged those a
//      tag names, every child of an index, every referrer of a manifest
//      that stays, every manifest younger than the grace period, and every
//      body that cannot be read. The blobs they refer to are needed. Blob
//      links no staying manifest of their repository needs are timed.
//   2. Set aside. A blob that nothing needs, whose file and every link to
//      which are older than the grace period, is renamed to
//      "<prefix>/.gc-<hex>" in its own directory.
//   3. Check, repository by repository under its lock. The manifests are
//      read again as they are now; those that no longer stay are deleted
//      as a delete by digest would; every blob that a staying manifest
//      needs, or that a link younger than the grace period names, is put
//      back; old links nothing needs are set aside, timed again, and
//      removed (or put back when a client refreshed them meanwhile).
//   4. Remove what is still set aside.
//
// Why no push ever ends with a manifest whose blob is gone: a push checks
// that its repository holds every blob its manifest names under the
// repository's lock, and writes the manifest under that same lock. If
// that happens before step 3 reaches the repository, step 3 sees the
// manifest and puts its blobs back. If it happens after, the blob was
// already set aside when the push checked, and every reader of the engine
// (the push's own check included) that meets a blob missing renames it
// back: then step 4's removal finds nothing, or the removal came first and
// the push fails cleanly with "blob unknown", never half-stored. A pull
// that meets a blob set aside puts it back the same way. A renaming is
// atomic on every file system the tree may live on, so exactly one of the
// rename back and the removal wins.
//
// What the grace period is for: a client uploads or HEADs its blobs, then
// pushes the manifest that needs them. Both refresh the repository's link
// (an upload writes it, a HEAD touches it when it is more than a minute
// old), and a blob with a link younger than the grace period is not
// touched. A grace of at least a minute more than the longest time a
// client takes from its first blob to its manifest therefore makes sure no
// push even fails; any grace, 0 included, keeps every committed manifest
// whole. The default is an hour.
//
// Only one collection runs at a time (gc.lock). A collection killed
// anywhere leaves blobs set aside that readers put back as they meet them,
// and blobs and links set aside that the next collection (or fsck) puts
// back first and then judges anew.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/host.h"
#include "storage/reg_storage.h"
#include "storage/storage_blob_store.h"
#include "storage/storage_blobs.h"
#include "storage/storage_digest.h"
#include "storage/storage_fs.h"
#include "storage/storage_layout.h"
#include "storage/storage_locks.h"
#include "storage/storage_manifest_check.h"
#include "storage/storage_manifests.h"
#include "storage/storage_repositories.h"
#include "storage/storage_state.h"
#include "storage/storage_text.h"
#include "storage/storage_uploads.h"
#include "storage/upkeep/reg_maintenance.h"
#include "storage/upkeep/repo_contents.h"
#include "storage/upkeep/upkeep.h"

namespace storage {
namespace {

using DigestSet = std::unordered_set<std::string>;

constexpr char kWouldRemove[] = "would remove";

struct Candidate {
  int64_t size = 0;
  bool aside = false;     // renamed to .gc-<hex>
  bool restored = false;  // put back
};

class Collection {
 public:
  Collection(const reg_gc_options& o, reg_gc_summary* s, reg_status* st)
      : o_(o), s_(s), st_(st), report_(o.finding, o.progress, o.ctx), cutoff_(host::now_seconds() - o.grace_seconds) {}

  int run();

 private:
  void mark(const NameList& repos);
  void set_aside();
  void check(const NameList& repos);
  void check_repository(const char* repo);
  void remove_set_aside();
  void expire_uploads();

  bool restore(const std::string& digest, const char* repo, const char* why);
  bool young_link(const char* repo, const std::string& digest, int64_t* mtime);
  void take_back_link(const char* repo, const std::string& digest);
  void prune_link(const char* repo, const std::string& digest);
  void unreadable(const char* kind, const char* repo, const std::string& item, const char* problem);

  const reg_gc_options& o_;
  reg_gc_summary* s_;
  reg_status* st_;
  Reporter report_;
  const int64_t cutoff_;  // nothing changed at or after this second goes
  ManifestBuffer buf_;
  DigestSet needed_;                                 // blobs a staying manifest refers to
  std::unordered_map<std::string, int64_t> loose_;   // unneeded links: the newest time per blob
  std::map<std::string, Candidate> candidates_;     // in digest order, for reports
  std::unordered_set<std::string> expired_;          // uploads this run removed
  bool keep_blobs_ = false;  // something could not be read: no blob goes
};

// The blobs the manifests that stay refer to; *unreadable gets whether a
// manifest that stays could not be read (its blobs are then unknown).
DigestSet blobs_of(const RepoView& view, const std::vector<char>& stay, bool* unreadable) {
  DigestSet out;
  for (size_t i = 0; i < view.manifests.size(); ++i) {
    if (!stay[i]) continue;
    const ViewManifest& m = view.manifests[i];
    if (m.state != 1) *unreadable = true;
    out.insert(m.info.blobs.begin(), m.info.blobs.end());
  }
  return out;
}

void Collection::unreadable(const char* kind, const char* repo, const std::string& item, const char* problem) {
  keep_blobs_ = true;
  ++s_->unreadable;
  report_.finding(kind, repo, item.c_str(), 0, problem, "");
}

int Collection::run() {
  char lock_path[kPathCap];
  gc_lock_path(lock_path, sizeof lock_path);
  FILE* f = host::open_file(lock_path, "ab");
  if (f == nullptr) return fail(st_, REG_ERR_STORAGE, "cannot open %s", lock_path);
  LockedFile lock;
  lock.adopt(f);
  bool busy = false;
  if (!host::try_lock_file(f, &busy)) {
    if (!busy) return fail(st_, REG_ERR_STORAGE, "cannot lock %s", lock_path);
    fail(st_, REG_ERR_STORAGE, "another garbage collection is running");
    st_->cause[0] = '\0';  // no call failed: another process holds the lock
    return -1;
  }
  NameList repos;
  if (collect_repositories(&repos) == Scan::kFailed) return fail(st_, REG_ERR_STORAGE, "cannot list the repositories");
  // Expired uploads first: the check then takes their marks.
  expire_uploads();
  mark(repos);
  set_aside();
  if (!o_.dry_run) {
    // Repositories made since the first listing are checked too.
    if (collect_repositories(&repos) == Scan::kFailed) {
      keep_blobs_ = true;
      ++s_->unreadable;
    } else {
      check(repos);
    }
    remove_set_aside();
  }
  if (keep_blobs_) {
    return fail(st_, REG_ERR_STORAGE, "no blob was removed: some manifests or directories could not be read");
  }
  return 0;
}

void Collection::mark(const NameList& repos) {
  NameList names = repos;
  char** items = sorted_names(&names);
  s_->repositories = names.size();
  for (int r = 0; r < names.size(); ++r) {
    const char* repo = items[r];
    report_.progress("mark", r, names.size(), 0);
    RepoView view;
    if (read_repo_view(repo, &view, &buf_) != Scan::kOk) {
      unreadable("directory", repo, "", "the repository cannot be read");
      continue;
    }
    s_->manifests += static_cast<int64_t>(view.manifests.size());
    const std::vector<char> stay = manifests_that_stay(view, o_.delete_untagged != 0, cutoff_);
    bool bad = false;
    DigestSet here = blobs_of(view, stay, &bad);
    for (size_t i = 0; i < view.manifests.size(); ++i) {
      const ViewManifest& m = view.manifests[i];
      if (m.state != 1) unreadable("manifest", repo, m.stored.digest, m.state < 0 ? "cannot be read" : m.problem.c_str());
      if (!stay[i] && o_.dry_run) {
        ++s_->manifests_removed;
        report_.finding("manifest", repo, m.stored.digest.c_str(), m.stored.size, "no tag reaches it", kWouldRemove);
      }
    }
    std::vector<std::string> links;
    if (read_blob_links(repo, &links) == Scan::kFailed) {
      unreadable("directory", repo, "_layers", "the repository's blob links cannot be read");
    }
    for (const std::string& d : links) {
      if (here.count(d) != 0) continue;
      int64_t mtime = 0;
      if (young_link(repo, d, &mtime)) {
        loose_[d] = std::max(loose_[d], mtime);
      } else if (o_.dry_run) {
        ++s_->links_removed;
        report_.finding("link", repo, d.c_str(), 0, "no manifest of the repository refers to it", kWouldRemove);
      }
    }
    needed_.merge(here);
  }
  report_.progress("mark", names.size(), names.size(), 0);
}

bool Collection::young_link(const char* repo, const std::string& digest, int64_t* mtime) {
  char link[kPathCap];
  host::Attributes a;
  if (!repo_blob_link_path(repo, digest.c_str(), link, sizeof link) || !host::get_attributes(link, &a)) return false;
  *mtime = a.mtime;
  return a.mtime >= cutoff_;
}

void Collection::set_aside() {
  BlobStoreVisitor visit;
  visit.progress = [&](int64_t done, int64_t total) { report_.progress("sweep", done, total, 0); };
  visit.unreadable = [&](const char* dir) { unreadable("directory", "", relative_to_root(dir), "cannot be read"); };
  visit.entry = [&](const BlobStoreEntry& e) {
    if (e.what == BlobName::kOther) return;
    const std::string& digest = e.digest;
    char path[kPathCap];
    blob_path_for_digest(digest.c_str(), path, sizeof path);
    if (e.what == BlobName::kSetAside) {
      // Set aside by a collection that did not finish: back first,
      // then judged like any other blob.
      if (!o_.dry_run && !blob_present_or_restored(digest.c_str(), path)) return;
      report_.finding("blob", "", digest.c_str(), 0, "set aside by a collection that did not finish",
                      o_.dry_run ? "would restore" : "restored");
      if (o_.dry_run) return;
    }
    ++s_->blobs;
    if (needed_.count(digest) != 0) return;
    host::Attributes a;
    if (!host::get_attributes(path, &a) || a.kind != host::Kind::kFile || a.mtime >= cutoff_) return;
    const auto link = loose_.find(digest);
    if (link != loose_.end() && link->second >= cutoff_) return;
    candidates_[digest].size = a.size;
  };
  walk_blob_store(visit);
  if (keep_blobs_) {
    candidates_.clear();
    return;
  }
  for (auto& [digest, c] : candidates_) {
    if (o_.dry_run) {
      ++s_->blobs_removed;
      s_->blob_bytes_removed += c.size;
      report_.finding("blob", "", digest.c_str(), c.size, "no manifest refers to it", kWouldRemove);
      continue;
    }
    char path[kPathCap];
    char aside[kPathCap];
    blob_path_for_digest(digest.c_str(), path, sizeof path);
    blob_quarantine_path(digest.c_str(), aside, sizeof aside);
    c.aside = host::rename_file(path, aside);
  }
}

void Collection::check(const NameList& repos) {
  NameList names = repos;
  char** items = sorted_names(&names);
  for (int r = 0; r < names.size(); ++r) {
    report_.progress("check", r, names.size(), 0);
    check_repository(items[r]);
  }
  report_.progress("check", names.size(), names.size(), 0);
}

bool Collection::restore(const std::string& digest, const char* repo, const char* why) {
  const auto it = candidates_.find(digest);
  if (it == candidates_.end() || !it->second.aside || it->second.restored) return false;
  char path[kPathCap];
  blob_path_for_digest(digest.c_str(), path, sizeof path);
  it->second.restored = true;
  if (blob_present_or_restored(digest.c_str(), path)) {
    ++s_->blobs_restored;
    report_.finding("blob", repo, digest.c_str(), it->second.size, why, "restored");
  }
  return true;
}

void Collection::check_repository(const char* repo) {
  char dir[kPathCap];
  if (!manifest_dir(repo, dir, sizeof dir)) return;
  // A directory with neither manifests nor blob links is no repository of
  // anyone's yet (the walk may meet "team" between the creations of "team"
  // and "team/app"): nothing to collect, and no lock file to make there.
  char layers[kPathCap];
  if (!dir_exists(dir) && !(repo_layers_dir(repo, DigestAlg::kSha256, layers, sizeof layers) && dir_exists(layers)) &&
      !(repo_layers_dir(repo, DigestAlg::kSha512, layers, sizeof layers) && dir_exists(layers))) {
    return;
  }
  // A repository that holds blob links but no manifest yet gets the lock
  // file too: links are removed under the lock that a push checks under.
  LockedFile lock;
  if (mkdirs(dir) != 0 || lock_repository(repo, &lock) != Lock::kHeld) {
    unreadable("directory", repo, "", "the repository cannot be locked");
    return;
  }
  RepoView view;
  if (read_repo_view(repo, &view, &buf_) != Scan::kOk) {
    unreadable("directory", repo, "", "the repository cannot be read");
    return;
  }
  const std::vector<char> stay = manifests_that_stay(view, o_.delete_untagged != 0, cutoff_);
  for (size_t i = 0; i < view.manifests.size(); ++i) {
    if (stay[i]) continue;
    const ViewManifest& m = view.manifests[i];
    if (remove_manifest_locked(repo, m.stored.hex.c_str()) == 0) {
      ++s_->manifests_removed;
      report_.finding("manifest", repo, m.stored.digest.c_str(), m.stored.size, "no tag reaches it", "removed");
    }
  }
  bool bad = false;
  const DigestSet here = blobs_of(view, stay, &bad);
  if (bad) keep_blobs_ = true;  // reported by the mark
  for (const std::string& d : here) restore(d, repo, "a manifest pushed during the collection refers to it");

  std::vector<std::string> links;
  if (read_blob_links(repo, &links) == Scan::kFailed) {
    unreadable("directory", repo, "_layers", "the repository's blob links cannot be read");
    return;
  }
  for (const std::string& d : links) {
    take_back_link(repo, d);
    if (here.count(d) != 0) continue;
    int64_t mtime = 0;
    if (young_link(repo, d, &mtime)) {
      restore(d, repo, "uploaded or asked for during the collection");
      continue;
    }
    prune_link(repo, d);
  }

  std::vector<std::string> marks;
  if (read_upload_marks(repo, &marks) != Scan::kOk) return;
  for (const std::string& uuid : marks) {
    char upload[kPathCap];
    char mark[kPathCap];
    upload_path_for_uuid(uuid.c_str(), upload, sizeof upload);
    if (file_exists(upload) || !repo_upload_mark_path(repo, uuid.c_str(), mark, sizeof mark)) continue;
    // An upload that expired in this run was reported as such.
    if (remove_file(mark) == 0 && expired_.count(uuid) == 0) {
      report_.finding("upload", repo, uuid.c_str(), 0, "the mark of an upload that is gone", "removed");
    }
  }
}

// A link that a collection killed in prune_link left set aside: back
// first, then judged like any other. (Left aside, it hid the link from
// this run, which then removed the blob, and fsck then put back a link to
// a blob that is gone.) Only a collection sets links aside, one at a time,
// and this repository's lock is held: no live writer's.
void Collection::take_back_link(const char* repo, const std::string& digest) {
  char link[kPathCap];
  char aside[kPathCap];
  if (!repo_blob_link_path(repo, digest.c_str(), link, sizeof link) ||
      !repo_blob_link_aside_path(repo, digest.c_str(), aside, sizeof aside) || !file_exists(aside)) {
    return;
  }
  if (file_exists(link)) {
    remove_file(aside);  // the copy of a link refreshed since
    return;
  }
  if (host::rename_file(aside, link)) {
    report_.finding("link", repo, digest.c_str(), 0, "set aside by a collection that did not finish", "restored");
  }
}

void Collection::prune_link(const char* repo, const std::string& digest) {
  char link[kPathCap];
  char aside[kPathCap];
  char dir[kPathCap];
  if (!repo_blob_link_path(repo, digest.c_str(), link, sizeof link) ||
      !repo_blob_link_aside_path(repo, digest.c_str(), aside, sizeof aside) ||
      !repo_blob_link_dir(repo, digest.c_str(), dir, sizeof dir)) {
    return;
  }
  // A HEAD touches the link without the lock: set aside first, then timed
  // again, a touch that came before the move shows in the time, and one
  // that comes after finds no link (and the client uploads again).
  if (!host::rename_replace(link, aside)) return;
  host::Attributes a;
  if (host::get_attributes(aside, &a) && a.mtime >= cutoff_) {
    host::rename_replace(aside, link);
    restore(digest, repo, "asked for during the collection");
    return;
  }
  if (remove_file(aside) != 0) return;
  host::remove_dir(dir);
  ++s_->links_removed;
  report_.finding("link", repo, digest.c_str(), 0, "no manifest of the repository refers to it", "removed");
}

void Collection::remove_set_aside() {
  int64_t done = 0;
  int64_t bytes = 0;
  const int64_t total = static_cast<int64_t>(candidates_.size());
  for (auto& [digest, c] : candidates_) {
    report_.progress("remove", done++, total, bytes);
    if (!c.aside || c.restored) continue;
    char path[kPathCap];
    char aside[kPathCap];
    blob_path_for_digest(digest.c_str(), path, sizeof path);
    blob_quarantine_path(digest.c_str(), aside, sizeof aside);
    if (keep_blobs_) {
      blob_present_or_restored(digest.c_str(), path);
      continue;
    }
    if (!host::remove_file(aside)) {
      // A reader put it back first: it stays.
      if (file_exists(path)) {
        ++s_->blobs_restored;
        report_.finding("blob", "", digest.c_str(), c.size, "asked for during the collection", "restored");
      }
      continue;
    }
    ++s_->blobs_removed;
    s_->blob_bytes_removed += c.size;
    bytes += c.size;
    report_.finding("blob", "", digest.c_str(), c.size, "no manifest refers to it", "removed");
  }
  report_.progress("remove", total, total, bytes);
}

void Collection::expire_uploads() {
  char dir[kPathCap];
  uploads_dir(dir, sizeof dir);
  std::vector<Entry> entries;
  if (scan_dir(dir, &entries) != Scan::kOk) return;
  const int64_t expired_before = host::now_seconds() - o_.upload_age_seconds;
  const size_t suffix = std::strlen(kUploadSuffix);
  for (const Entry& e : entries) {
    const std::string& name = e.name;
    if (e.kind != host::Kind::kFile || name.size() <= suffix ||
        name.compare(name.size() - suffix, suffix, kUploadSuffix) != 0) {
      continue;
    }
    const std::string uuid = name.substr(0, name.size() - suffix);
    if (!uuid_valid(uuid.c_str())) continue;
    char path[kPathCap];
    upload_path_for_uuid(uuid.c_str(), path, sizeof path);
    host::Attributes a;
    if (!host::get_attributes(path, &a) || a.mtime >= expired_before) continue;
    if (!o_.dry_run) {
      // Under the upload's lock, and only when no append came meanwhile.
      LockedFile held;
      if (lock_existing(path, &held) != Lock::kHeld || !host::get_attributes(path, &a) ||
          a.mtime >= expired_before) {
        continue;
      }
      drop_upload_state(uuid.c_str());
      if (remove_file(path) != 0) continue;
    }
    expired_.insert(uuid);
    ++s_->uploads_removed;
    s_->upload_bytes_removed += a.size;
    report_.finding("upload", "", uuid.c_str(), a.size, "untouched for longer than the upload age",
                    o_.dry_run ? kWouldRemove : "removed");
  }
}

}  // namespace
}  // namespace storage

using namespace storage;

extern "C" int reg_gc_running(void) {
  if (!s_ready) return 0;
  char path[kPathCap];
  gc_lock_path(path, sizeof path);
  if (!file_exists(path)) return 0;
  // Looked at, never taken: a look must not keep a collection from
  // starting.
  FILE* f = host::open_file(path, "rb");
  if (f == nullptr) return 0;
  const bool running = host::locked_elsewhere(f);
  std::fclose(f);
  return running ? 1 : 0;
}

extern "C" int reg_gc(const reg_gc_options* options, reg_gc_summary* out, reg_status* caller) {
  CallStatus st(caller);
  if (begin_walk(options, out, st.get()) != 0) return -1;
  if (options->grace_seconds < 0 || options->upload_age_seconds < 0) {
    return fail(st, REG_ERR_INVALID, "negative grace period or upload age");
  }
  Collection c(*options, out, st);
  return c.run();
}
