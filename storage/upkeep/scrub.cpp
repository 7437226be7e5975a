// Scrub: every blob and manifest body hashed again, every link checked.
//
// Content is read on as many threads as asked (a disk that is faster than
// one core's hashing is common). What does not hash to its name is
// reported, and with repair moved into <root>/quarantine: a blob whose
// bytes rotted keeps its size, so an upload of the same content would
// otherwise find it "already stored" and never replace it. The move is
// checked after it is made: the file is hashed once more where it now
// lies, and put back when it turns out whole (an upload replaced the
// rotten file between the first hash and the move). Manifest bodies are
// moved under their repository's lock, so no push of the same manifest
// runs between the check and the move.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/host.h"
#include "storage/reg_storage.h"
#include "storage/storage_blob_store.h"
#include "storage/storage_digest.h"
#include "storage/storage_fs.h"
#include "storage/storage_layout.h"
#include "storage/storage_locks.h"
#include "storage/storage_repositories.h"
#include "storage/storage_state.h"
#include "storage/storage_text.h"
#include "storage/upkeep/reg_maintenance.h"
#include "storage/upkeep/repo_contents.h"
#include "storage/upkeep/upkeep.h"

namespace storage {
namespace {

constexpr size_t kReadBuffer = 1 << 20;

struct Work {
  std::string digest;
  std::string repo;  // "" for a blob of the store
  std::string path;
  int64_t size = 0;
};

enum class Verdict : char { kWhole, kRotten, kGone, kUnreadable };

// Hashes the file at path with the digest's algorithm into buf.
Verdict hash_file(const std::string& path, const std::string& digest, std::vector<char>* buf,
                  std::atomic<int64_t>* bytes) {
  FILE* f = host::open_file(path.c_str(), "rb");
  if (f == nullptr) return file_exists(path.c_str()) ? Verdict::kUnreadable : Verdict::kGone;
  std::setvbuf(f, nullptr, _IONBF, 0);
  DigestHasher hasher(digest_alg(digest.c_str()));
  size_t n = 0;
  while ((n = std::fread(buf->data(), 1, buf->size(), f)) > 0) {
    hasher.update(buf->data(), n);
    if (bytes != nullptr) bytes->fetch_add(static_cast<int64_t>(n), std::memory_order_relaxed);
  }
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) return Verdict::kUnreadable;
  return hasher.finish() == digest ? Verdict::kWhole : Verdict::kRotten;
}

class Scrub {
 public:
  Scrub(const reg_scrub_options& o, reg_scrub_summary* s, reg_status* st)
      : o_(o), s_(s), st_(st), report_(o.finding, o.progress, o.ctx) {}
  int run();

 private:
  bool list_blobs();
  bool check_repository(const char* repo);
  void check_link(const char* repo, const char* kind, const std::string& item, const std::string& target_path,
                  const char* problem);
  void hash_all();
  void settle(const Work& w, Verdict v);
  bool quarantine_blob(const Work& w);
  bool quarantine_manifest(const Work& w);

  const reg_scrub_options& o_;
  reg_scrub_summary* s_;
  reg_status* st_;
  Reporter report_;
  std::vector<Work> work_;
  std::vector<Verdict> verdicts_;
  int64_t total_bytes_ = 0;
  bool failed_ = false;
};

int Scrub::run() {
  NameList repos;
  if (collect_repositories(&repos) == Scan::kFailed) return fail(st_, REG_ERR_STORAGE, "cannot list the repositories");
  if (!list_blobs()) return -1;
  char** items = sorted_names(&repos);
  for (int r = 0; r < repos.size(); ++r) {
    report_.progress("list", r, repos.size(), 0);
    if (!check_repository(items[r])) failed_ = true;
  }
  // Reports come in one order: blobs by digest, then manifests by
  // repository and digest.
  std::sort(work_.begin(), work_.end(), [](const Work& a, const Work& b) {
    return a.repo != b.repo ? a.repo < b.repo : a.digest < b.digest;
  });
  hash_all();
  for (size_t i = 0; i < work_.size(); ++i) settle(work_[i], verdicts_[i]);
  if (failed_) return fail(st_, REG_ERR_STORAGE, "parts of the tree could not be read");
  return 0;
}

bool Scrub::list_blobs() {
  BlobStoreVisitor visit;
  visit.entry = [&](const BlobStoreEntry& b) {
    if (b.what != BlobName::kBlob) return;
    Work w;
    w.digest = b.digest;
    w.path = b.path;
    w.size = b.size < 0 ? 0 : b.size;
    total_bytes_ += w.size;
    work_.push_back(std::move(w));
  };
  visit.unreadable = [&](const char* dir) {
    report_.finding("directory", "", relative_to_root(dir).c_str(), 0, "cannot be read", "");
    failed_ = true;
  };
  if (walk_blob_store(visit) == Scan::kFailed) {
    fail(st_, REG_ERR_STORAGE, "cannot read the blob store");
    return false;
  }
  return true;
}

void Scrub::check_link(const char* repo, const char* kind, const std::string& item, const std::string& target_path,
                       const char* problem) {
  ++s_->links;
  if (file_exists(target_path.c_str())) return;
  ++s_->dangling_links;
  report_.finding(kind, repo, item.c_str(), 0, problem, "");
}

bool Scrub::check_repository(const char* repo) {
  std::vector<StoredManifest> manifests;
  if (read_stored_manifests(repo, &manifests) == Scan::kFailed) {
    report_.finding("directory", repo, "_manifests", 0, "cannot be read", "");
    return false;
  }
  for (StoredManifest& m : manifests) {
    Work w;
    char path[kPathCap];
    if (!manifest_body_path(repo, m.hex.c_str(), path, sizeof path)) continue;
    w.digest = m.digest;
    w.repo = repo;
    w.path = path;
    w.size = m.size;
    total_bytes_ += w.size;
    work_.push_back(std::move(w));
  }
  // Tags: a link that holds a digest, of a manifest that is stored.
  std::vector<StoredTag> tags;
  if (read_stored_tags(repo, &tags) == Scan::kFailed) {
    report_.finding("directory", repo, "_manifests/tags", 0, "cannot be read", "");
    return false;
  }
  for (const StoredTag& t : tags) {
    if (!t.has_link || !any_digest_valid(t.link.c_str())) {
      ++s_->links;
      ++s_->dangling_links;
      report_.finding("tag", repo, t.name.c_str(), 0, t.has_link ? "its link holds no digest" : "it has no link", "");
      continue;
    }
    char body[kPathCap];
    if (manifest_body_path(repo, digest_hex_of(t.link.c_str()), body, sizeof body)) {
      check_link(repo, "tag", t.name, body, "names a manifest that is not stored");
    }
  }
  // Revisions, blob links and referrer entries name stored content.
  for (DigestAlg alg : {DigestAlg::kSha256, DigestAlg::kSha512}) {
    char dir[kPathCap];
    std::vector<Entry> entries;
    if (manifest_revisions_dir(repo, alg, dir, sizeof dir) && scan_dir(dir, &entries) == Scan::kOk) {
      for (const Entry& e : entries) {
        char body[kPathCap];
        if (hex_alg(e.name.c_str()) != alg || !manifest_body_path(repo, e.name.c_str(), body, sizeof body)) continue;
        check_link(repo, "link", std::string(digest_alg_name(alg)) + ":" + e.name, body,
                   "a revision of a manifest that is not stored");
      }
    }
    if (manifest_referrers_alg_dir(repo, alg, dir, sizeof dir) && scan_dir(dir, &entries) == Scan::kOk) {
      for (const Entry& subject : entries) {
        char sub[kPathCap];
        path_join(sub, sizeof sub, dir, subject.name.c_str());
        std::vector<Entry> referrers;
        if (scan_dir(sub, &referrers) != Scan::kOk) continue;
        for (const Entry& r : referrers) {
          // Entries are named "<alg>-<hex>".
          const size_t dash = r.name.find('-');
          if (dash == std::string::npos || hex_alg(r.name.c_str() + dash + 1) == DigestAlg::kNone) continue;
          char body[kPathCap];
          if (!manifest_body_path(repo, r.name.c_str() + dash + 1, body, sizeof body)) continue;
          check_link(repo, "link", r.name.substr(0, dash) + ":" + r.name.substr(dash + 1), body,
                     "a referrer entry of a manifest that is not stored");
        }
      }
    }
  }
  std::vector<std::string> links;
  if (read_blob_links(repo, &links) == Scan::kFailed) {
    report_.finding("directory", repo, "_layers", 0, "cannot be read", "");
    return false;
  }
  for (const std::string& d : links) {
    char blob[kPathCap];
    char link[kPathCap];
    char aside[kPathCap];
    blob_path_for_digest(d.c_str(), blob, sizeof blob);
    blob_quarantine_path(d.c_str(), aside, sizeof aside);
    // A link whose directory lost its file (a killed delete) names nothing
    // either, but is fsck's to tidy; one set aside by a collection is there.
    if (!repo_blob_link_path(repo, d.c_str(), link, sizeof link) || !file_exists(link)) continue;
    if (file_exists(aside)) {
      ++s_->links;
      continue;
    }
    check_link(repo, "link", d, blob, "names a blob that is not stored");
  }
  return true;
}

void Scrub::hash_all() {
  verdicts_.assign(work_.size(), Verdict::kWhole);
  std::atomic<size_t> next{0};
  std::atomic<int64_t> done{0};
  std::atomic<int64_t> bytes{0};
  unsigned threads = o_.threads > 0 ? static_cast<unsigned>(o_.threads) : std::thread::hardware_concurrency();
  if (threads == 0) threads = 1;
  if (threads > 64) threads = 64;
  auto worker = [&]() {
    std::vector<char> buf(kReadBuffer);
    for (size_t i = next.fetch_add(1); i < work_.size(); i = next.fetch_add(1)) {
      verdicts_[i] = hash_file(work_[i].path, work_[i].digest, &buf, &bytes);
      done.fetch_add(1);
    }
  };
  std::vector<std::thread> pool;
  for (unsigned t = 1; t < threads; ++t) pool.emplace_back(worker);
  // The calling thread hashes too, and reports between files when it is
  // the only one.
  if (threads == 1) {
    std::vector<char> buf(kReadBuffer);
    for (size_t i = 0; i < work_.size(); ++i) {
      report_.progress("hash", static_cast<int64_t>(i), static_cast<int64_t>(work_.size()), bytes.load());
      verdicts_[i] = hash_file(work_[i].path, work_[i].digest, &buf, &bytes);
    }
  } else {
    while (done.load() < static_cast<int64_t>(work_.size())) {
      report_.progress("hash", done.load(), static_cast<int64_t>(work_.size()), bytes.load());
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  for (std::thread& t : pool) t.join();
  report_.progress("hash", static_cast<int64_t>(work_.size()), static_cast<int64_t>(work_.size()), bytes.load());
  s_->bytes = bytes.load();
}

void Scrub::settle(const Work& w, Verdict v) {
  const bool blob = w.repo.empty();
  if (v == Verdict::kGone) return;  // removed while we looked: nothing to judge
  if (blob) {
    ++s_->blobs;
  } else {
    ++s_->manifests;
  }
  if (v == Verdict::kWhole) return;
  const char* kind = blob ? "blob" : "manifest";
  if (v == Verdict::kUnreadable) {
    failed_ = true;
    report_.finding(kind, w.repo.c_str(), w.digest.c_str(), w.size, "cannot be read", "");
    return;
  }
  ++(blob ? s_->bad_blobs : s_->bad_manifests);
  const char* action = "";
  if (o_.repair) {
    const bool moved = blob ? quarantine_blob(w) : quarantine_manifest(w);
    if (moved) {
      ++s_->repaired;
      action = "moved to quarantine";
    }
  }
  report_.finding(kind, w.repo.c_str(), w.digest.c_str(), w.size, "its bytes do not hash to its digest", action);
}

bool Scrub::quarantine_blob(const Work& w) {
  char dir[kPathCap];
  char to[kPathCap];
  quarantine_dir(dir, sizeof dir);
  blob_rotten_path(w.digest.c_str(), to, sizeof to);
  if (mkdirs(dir) != 0 || !host::rename_replace(w.path.c_str(), to)) return false;
  // What was moved is hashed once more where it now lies: an upload may
  // have put whole bytes in place since the first hash.
  std::vector<char> buf(kReadBuffer);
  if (hash_file(to, w.digest, &buf, nullptr) == Verdict::kWhole) {
    host::rename_file(to, w.path.c_str());
    return false;
  }
  return true;
}

bool Scrub::quarantine_manifest(const Work& w) {
  LockedFile lock;
  if (lock_repository(w.repo.c_str(), &lock) != Lock::kHeld) return false;
  std::vector<char> buf(kReadBuffer);
  if (hash_file(w.path, w.digest, &buf, nullptr) != Verdict::kRotten) return false;
  char dir[kPathCap];
  char to[kPathCap];
  quarantine_dir(dir, sizeof dir);
  if (!manifest_rotten_path(w.repo.c_str(), digest_hex_of(w.digest.c_str()), to, sizeof to)) return false;
  return mkdirs(dir) == 0 && host::rename_replace(w.path.c_str(), to);
}

}  // namespace
}  // namespace storage

using namespace storage;

extern "C" int reg_scrub(const reg_scrub_options* options, reg_scrub_summary* out, reg_status* caller) {
  CallStatus st(caller);
  if (begin_walk(options, out, st.get()) != 0) return -1;
  Scrub s(*options, out, st);
  return s.run();
}
