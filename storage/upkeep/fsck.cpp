// Fsck: what killed processes and hands leave in the tree, found and, on
// request, put back or removed the way the engine itself would finish the
// interrupted step.
//
// The engine's writers leave, when killed: temporary files beside what
// they were writing; a manifest body (and content type) whose revision
// link was not yet written, or no longer is (a push or a delete by digest
// cut short); directories made for a link that never came. A collection
// killed midway leaves blobs and blob links set aside under ".gc-" names.
// Hands leave the rest: tag links that hold no digest, revisions whose
// body went, referrer entries of deleted manifests, upload marks and
// digest states without uploads, nested repositories the catalog's index does not know.
//
// A repository's manifests and tags are checked and repaired under its
// lock, so no push or delete runs between a look and a repair. What is
// written without that lock (blob links, upload marks) is left alone while
// younger than the grace period: it may be a live writer's.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
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
#include "storage/storage_names.h"
#include "storage/storage_referrers.h"
#include "storage/storage_repositories.h"
#include "storage/storage_state.h"
#include "storage/storage_text.h"
#include "storage/upkeep/reg_maintenance.h"
#include "storage/upkeep/repo_contents.h"
#include "storage/upkeep/upkeep.h"

namespace storage {
namespace {

bool ends_with(const std::string& s, const char* suffix) {
  const size_t n = std::strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

// A temporary file of the engine's writers: ".<name>.tmp" or
// ".<name>.tmp.<pid>.<n>".
bool is_temporary(const std::string& name) {
  return name.size() > 1 && name[0] == '.' && (ends_with(name, ".tmp") || name.find(".tmp.") != std::string::npos);
}

class Fsck {
 public:
  Fsck(const reg_fsck_options& o, reg_fsck_summary* s, reg_status* st)
      : o_(o),
        s_(s),
        st_(st),
        report_(o.finding, o.progress, o.ctx),
        old_before_(host::now_seconds() - o.grace_seconds) {}
  int run();

 private:
  // Reports a problem; when repairing, runs fix and reports what it did.
  template <typename Fix>
  void problem(const char* kind, const char* repo, const std::string& item, const char* what, const char* done,
               Fix fix) {
    ++s_->problems;
    const char* action = "";
    if (o_.repair && fix()) {
      ++s_->repaired;
      action = done;
    }
    report_.finding(kind, repo, item.c_str(), 0, what, action);
  }
  bool old(const char* path) const {
    host::Attributes a;
    return host::get_attributes(path, &a) && a.mtime < old_before_;
  }

  void check_blob_store();
  void check_uploads();
  void check_upload_states();
  void check_repository(const char* repo);
  void check_manifests(const char* repo);
  void check_revisions(const char* repo, const std::unordered_set<std::string>& bodies);
  void check_tags(const char* repo);
  void check_referrers(const char* repo);
  void check_layers(const char* repo);
  void check_upload_marks(const char* repo);
  void remove_temporaries(const char* repo, const char* dir, bool locked);
  bool complete_manifest(const char* repo, const std::string& hex);

  const reg_fsck_options& o_;
  reg_fsck_summary* s_;
  reg_status* st_;
  Reporter report_;
  const int64_t old_before_;  // unlocked leftovers older than this are nobody's
  bool collection_running_ = false;
  ManifestBuffer buf_;
};

int Fsck::run() {
  char lock_path[kPathCap];
  gc_lock_path(lock_path, sizeof lock_path);
  // Blobs a running collection set aside are its own business.
  LockedFile gc_lock;
  if (FILE* f = host::open_file(lock_path, "ab")) {
    gc_lock.adopt(f);
    bool busy = false;
    collection_running_ = !host::try_lock_file(f, &busy) && busy;
  }
  NameList repos;
  std::vector<std::string> unmarked;
  if (walk_repositories(&repos, &unmarked) == Scan::kFailed) {
    return fail(st_, REG_ERR_STORAGE, "cannot walk the repositories");
  }
  for (const std::string& dir : unmarked) {
    problem("directory", dir.c_str(), "", "lies on the way to a nested repository the index does not mark",
            "marked", [&] { return mark_nesting(dir) == 0; });
  }
  check_blob_store();
  check_uploads();
  check_upload_states();
  char** items = sorted_names(&repos);
  s_->repositories = repos.size();
  for (int r = 0; r < repos.size(); ++r) {
    report_.progress("check", r, repos.size(), 0);
    check_repository(items[r]);
  }
  report_.progress("check", repos.size(), repos.size(), 0);
  return 0;
}

void Fsck::check_blob_store() {
  BlobStoreVisitor visit;
  visit.entry = [&](const BlobStoreEntry& e) {
    if (e.what == BlobName::kOther) {
      // Nothing of the engine's: told, never touched.
      ++s_->problems;
      report_.finding("file", "", relative_to_root(e.path.c_str()).c_str(), 0, "is not a blob", "");
      return;
    }
    // Blobs a running collection set aside are its own business.
    if (e.what != BlobName::kSetAside || collection_running_) return;
    char blob[kPathCap];
    blob_path_for_digest(e.digest.c_str(), blob, sizeof blob);
    if (file_exists(blob)) {
      problem("blob", "", e.digest, "a copy set aside by a collection that did not finish", "removed",
              [&] { return remove_file(e.path.c_str()) == 0; });
    } else {
      problem("blob", "", e.digest, "set aside by a collection that did not finish", "restored",
              [&] { return blob_present_or_restored(e.digest.c_str(), blob); });
    }
  };
  walk_blob_store(visit);
}

void Fsck::check_uploads() {
  char dir[kPathCap];
  uploads_dir(dir, sizeof dir);
  std::vector<Entry> entries;
  if (scan_dir(dir, &entries) != Scan::kOk) return;
  const size_t suffix = std::strlen(kUploadSuffix);
  for (const Entry& e : entries) {
    const std::string& name = e.name;
    if (e.kind == host::Kind::kFile && ends_with(name, kUploadSuffix) &&
        uuid_valid(name.substr(0, name.size() - suffix).c_str())) {
      continue;
    }
    char path[kPathCap];
    path_join(path, sizeof path, dir, name.c_str());
    ++s_->problems;
    report_.finding("file", "", relative_to_root(path).c_str(), 0, "is not an upload", "");
  }
}

void Fsck::check_upload_states() {
  char dir[kPathCap];
  upload_state_dir(dir, sizeof dir);
  remove_temporaries("", dir, false);
  std::vector<Entry> entries;
  if (scan_dir(dir, &entries) != Scan::kOk) return;
  for (const Entry& e : entries) {
    char path[kPathCap];
    path_join(path, sizeof path, dir, e.name.c_str());
    if (e.kind != host::Kind::kFile || !uuid_valid(e.name.c_str())) {
      if (is_temporary(e.name)) continue;
      ++s_->problems;
      report_.finding("file", "", relative_to_root(path).c_str(), 0, "is not the digest state of an upload", "");
      continue;
    }
    char upload[kPathCap];
    upload_path_for_uuid(e.name.c_str(), upload, sizeof upload);
    // Written under the upload's lock, and dropped before the upload goes:
    // a young one may belong to an upload being finished right now.
    if (file_exists(upload) || !old(path)) continue;
    problem("upload", "", e.name, "the digest state of an upload that is gone", "removed",
            [&] { return remove_file(path) == 0; });
  }
}

void Fsck::check_repository(const char* repo) {
  char dir[kPathCap];
  if (manifest_dir(repo, dir, sizeof dir) && dir_exists(dir)) {
    LockedFile lock;
    if (lock_repository(repo, &lock) != Lock::kHeld) {
      ++s_->problems;
      report_.finding("directory", repo, "_manifests", 0, "cannot be locked", "");
    } else {
      check_manifests(repo);
      check_tags(repo);
      check_referrers(repo);
    }
  }
  check_layers(repo);
  check_upload_marks(repo);
}

void Fsck::remove_temporaries(const char* repo, const char* dir, bool locked) {
  std::vector<Entry> entries;
  if (scan_dir(dir, &entries) != Scan::kOk) return;
  for (const Entry& e : entries) {
    if (e.kind != host::Kind::kFile || !is_temporary(e.name)) continue;
    char path[kPathCap];
    path_join(path, sizeof path, dir, e.name.c_str());
    // Under the lock nobody is writing a file of the fixed temporary name;
    // one of a writer's own name may be a push staging its files before it
    // takes the lock, so that, like any without the lock, goes only when old.
    const bool fixed_name = e.name.size() > 4 && e.name.compare(e.name.size() - 4, 4, ".tmp") == 0;
    if ((!locked || !fixed_name) && !old(path)) continue;
    problem("file", repo, relative_to_root(path), "a temporary file a killed writer left", "removed",
            [&] { return remove_file(path) == 0; });
  }
}

bool Fsck::complete_manifest(const char* repo, const std::string& hex) {
  char body[kPathCap];
  char rev_dir[kPathCap];
  char rev[kPathCap];
  char ct[kPathCap];
  if (!manifest_body_path(repo, hex.c_str(), body, sizeof body) ||
      !manifest_rev_dir(repo, hex.c_str(), rev_dir, sizeof rev_dir) ||
      !manifest_rev_path(repo, hex.c_str(), rev, sizeof rev) || !manifest_ct_path(repo, hex.c_str(), ct, sizeof ct)) {
    return false;
  }
  ManifestInfo info;
  char msg[320];
  const std::string digest = std::string(digest_alg_name(digest_alg_of_hex(hex.c_str()))) + ":" + hex;
  if (load_manifest(body, &buf_, &info, msg, sizeof msg) != 1) return false;
  DigestHasher hasher(digest_alg_of_hex(hex.c_str()));
  hasher.update(buf_.bytes.data(), buf_.len);
  if (hasher.finish() != digest) return false;  // scrub's to judge
  // As a push would have finished it: content type, revision, referrer.
  std::string type = info.media_type.empty() ? kDefaultContentType : info.media_type;
  char stored[REG_CONTENT_TYPE_CAP + 1];
  size_t stored_len = 0;
  if (read_file(ct, stored, sizeof stored, &stored_len) == 0 && stored_len > 0) type.assign(stored, stored_len);
  if (!file_exists(ct) && write_file_locked(ct, type.data(), type.size()) != 0) return false;
  return mkdirs(rev_dir) == 0 && write_file_locked(rev, digest.data(), digest.size()) == 0 &&
         record_referrer(repo, digest, buf_.len, type.c_str(), info) == 0;
}

void Fsck::check_manifests(const char* repo) {
  char dir[kPathCap];
  manifest_dir(repo, dir, sizeof dir);
  remove_temporaries(repo, dir, true);
  std::vector<Entry> entries;
  if (scan_dir(dir, &entries) != Scan::kOk) return;
  std::unordered_set<std::string> bodies;
  for (const Entry& e : entries) {
    if (e.kind == host::Kind::kFile && hex_alg(e.name.c_str()) != DigestAlg::kNone) bodies.insert(e.name);
  }
  // Revisions whose body went first: finishing their delete takes their
  // content types too.
  check_revisions(repo, bodies);
  for (const std::string& hex : bodies) {
    char rev[kPathCap];
    if (!manifest_rev_path(repo, hex.c_str(), rev, sizeof rev)) continue;
    std::string digest = std::string(digest_alg_name(digest_alg_of_hex(hex.c_str()))) + ":" + hex;
    char link[kLinkReadCap];
    size_t len = 0;
    if (read_file(rev, link, sizeof link, &len) == 0) {
      if (std::string(link, len) == digest) continue;
      problem("link", repo, digest, "its revision link holds something else", "rewritten",
              [&] { return write_file_locked(rev, digest.data(), digest.size()) == 0; });
      continue;
    }
    problem("manifest", repo, digest, "stored without a revision link (a push or delete cut short)", "restored",
            [&] { return complete_manifest(repo, hex); });
  }
  for (const Entry& e : entries) {
    if (e.kind != host::Kind::kFile || !ends_with(e.name, kContentTypeSuffix)) continue;
    const std::string hex = e.name.substr(0, e.name.size() - std::strlen(kContentTypeSuffix));
    if (hex_alg(hex.c_str()) == DigestAlg::kNone || bodies.count(hex) != 0) continue;
    char path[kPathCap];
    path_join(path, sizeof path, dir, e.name.c_str());
    // With its revision still there, it goes with the revision's repair.
    char rev[kPathCap];
    if (!file_exists(path) || !manifest_rev_path(repo, hex.c_str(), rev, sizeof rev) || file_exists(rev)) continue;
    problem("file", repo, relative_to_root(path), "the content type of a manifest that is not stored", "removed",
            [&] { return remove_file(path) == 0; });
  }
}

void Fsck::check_revisions(const char* repo, const std::unordered_set<std::string>& bodies) {
  for (DigestAlg alg : {DigestAlg::kSha256, DigestAlg::kSha512}) {
    char dir[kPathCap];
    std::vector<Entry> entries;
    if (!manifest_revisions_dir(repo, alg, dir, sizeof dir) || scan_dir(dir, &entries) != Scan::kOk) continue;
    for (const Entry& e : entries) {
      if (e.kind != host::Kind::kDir || hex_alg(e.name.c_str()) != alg) continue;
      char rev_dir[kPathCap];
      char rev[kPathCap];
      path_join(rev_dir, sizeof rev_dir, dir, e.name.c_str());
      manifest_rev_path(repo, e.name.c_str(), rev, sizeof rev);
      remove_temporaries(repo, rev_dir, true);
      const std::string digest = std::string(digest_alg_name(alg)) + ":" + e.name;
      if (bodies.count(e.name) != 0) continue;  // checked with its body
      if (!file_exists(rev)) {
        problem("directory", repo, relative_to_root(rev_dir), "a revision directory without its link", "removed",
                [&] { return host::remove_dir(rev_dir); });
        continue;
      }
      // The body went: the delete by digest is finished.
      problem("manifest", repo, digest, "a revision whose body is not stored", "removed",
              [&] { return remove_manifest_locked(repo, e.name.c_str()) == 0; });
    }
  }
}

void Fsck::check_tags(const char* repo) {
  std::vector<StoredTag> tags;
  if (read_stored_tags(repo, &tags) != Scan::kOk) return;
  char tags_dir[kPathCap];
  manifest_tags_dir(repo, tags_dir, sizeof tags_dir);
  for (const StoredTag& t : tags) {
    char current[kPathCap];
    char link[kPathCap];
    char tag_dir[kPathCap];
    if (!manifest_tag_dir(repo, t.name.c_str(), current, sizeof current) ||
        !manifest_tag_path(repo, t.name.c_str(), link, sizeof link)) {
      continue;
    }
    path_join(tag_dir, sizeof tag_dir, tags_dir, t.name.c_str());
    remove_temporaries(repo, current, true);
    auto remove_tag_files = [&] {
      remove_file(link);
      host::remove_dir(current);
      return host::remove_dir(tag_dir);
    };
    if (!tag_valid(t.name.c_str())) {
      ++s_->problems;
      report_.finding("tag", repo, t.name.c_str(), 0, "is not a valid tag name", "");
      continue;
    }
    if (!t.has_link) {
      problem("tag", repo, t.name, "has no link (a tag cut short)", "removed", remove_tag_files);
      continue;
    }
    if (!any_digest_valid(t.link.c_str())) {
      problem("tag", repo, t.name, t.link.empty() ? "its link is empty" : "its link holds no digest", "removed",
              remove_tag_files);
      continue;
    }
    char body[kPathCap];
    if (manifest_body_path(repo, digest_hex_of(t.link.c_str()), body, sizeof body) && !file_exists(body)) {
      problem("tag", repo, t.name, "names a manifest that is not stored", "removed", remove_tag_files);
    }
  }
}

void Fsck::check_referrers(const char* repo) {
  for (DigestAlg alg : {DigestAlg::kSha256, DigestAlg::kSha512}) {
    char dir[kPathCap];
    std::vector<Entry> subjects;
    if (!manifest_referrers_alg_dir(repo, alg, dir, sizeof dir) || scan_dir(dir, &subjects) != Scan::kOk) continue;
    for (const Entry& s : subjects) {
      char sub[kPathCap];
      path_join(sub, sizeof sub, dir, s.name.c_str());
      remove_temporaries(repo, sub, true);
      std::vector<Entry> entries;
      if (scan_dir(sub, &entries) != Scan::kOk) continue;
      for (const Entry& r : entries) {
        const size_t dash = r.name.find('-');
        if (r.kind != host::Kind::kFile || dash == std::string::npos || r.name[0] == '.') continue;
        char body[kPathCap];
        if (!manifest_body_path(repo, r.name.c_str() + dash + 1, body, sizeof body) || file_exists(body)) continue;
        char path[kPathCap];
        path_join(path, sizeof path, sub, r.name.c_str());
        problem("link", repo, r.name.substr(0, dash) + ":" + r.name.substr(dash + 1),
                "a referrer entry of a manifest that is not stored", "removed", [&] {
                  const bool gone = remove_file(path) == 0;
                  host::remove_dir(sub);
                  return gone;
                });
      }
    }
  }
}

void Fsck::check_layers(const char* repo) {
  std::vector<std::string> links;
  for (DigestAlg alg : {DigestAlg::kSha256, DigestAlg::kSha512}) {
    char dir[kPathCap];
    std::vector<Entry> entries;
    if (!repo_layers_dir(repo, alg, dir, sizeof dir) || scan_dir(dir, &entries) != Scan::kOk) continue;
    for (const Entry& e : entries) {
      if (e.kind != host::Kind::kDir || hex_alg(e.name.c_str()) != alg) continue;
      const std::string digest = std::string(digest_alg_name(alg)) + ":" + e.name;
      char link_dir[kPathCap];
      char link[kPathCap];
      char aside[kPathCap];
      path_join(link_dir, sizeof link_dir, dir, e.name.c_str());
      repo_blob_link_path(repo, digest.c_str(), link, sizeof link);
      repo_blob_link_aside_path(repo, digest.c_str(), aside, sizeof aside);
      // Timed before its leftovers go: removing them makes it new again.
      const bool old_dir = old(link_dir);
      remove_temporaries(repo, link_dir, false);
      const bool has_link = file_exists(link);
      if (file_exists(aside) && !collection_running_) {
        if (has_link) {
          problem("link", repo, digest, "a copy set aside by a collection that did not finish", "removed",
                  [&] { return remove_file(aside) == 0; });
        } else {
          problem("link", repo, digest, "set aside by a collection that did not finish", "restored",
                  [&] { return host::rename_file(aside, link); });
        }
        continue;
      }
      if (!has_link && old_dir) {
        problem("directory", repo, relative_to_root(link_dir), "a blob link directory without its link", "removed",
                [&] { return host::remove_dir(link_dir); });
      }
    }
  }
}

void Fsck::check_upload_marks(const char* repo) {
  std::vector<std::string> marks;
  if (read_upload_marks(repo, &marks) != Scan::kOk) return;
  char dir[kPathCap];
  if (repo_uploads_dir(repo, dir, sizeof dir)) remove_temporaries(repo, dir, false);
  for (const std::string& uuid : marks) {
    char upload[kPathCap];
    char mark[kPathCap];
    upload_path_for_uuid(uuid.c_str(), upload, sizeof upload);
    if (file_exists(upload) || !repo_upload_mark_path(repo, uuid.c_str(), mark, sizeof mark) || !old(mark)) continue;
    problem("upload", repo, uuid, "the mark of an upload that is gone", "removed",
            [&] { return remove_file(mark) == 0; });
  }
}

}  // namespace
}  // namespace storage

using namespace storage;

extern "C" int reg_fsck(const reg_fsck_options* options, reg_fsck_summary* out, reg_status* caller) {
  CallStatus st(caller);
  if (begin_walk(options, out, st.get()) != 0) return -1;
  if (options->grace_seconds < 0) return fail(st, REG_ERR_INVALID, "negative grace period");
  Fsck f(*options, out, st);
  return f.run();
}
