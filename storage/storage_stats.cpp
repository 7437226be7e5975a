// Storage statistics: counts and byte totals from a walk of the tree, and
// the amounts that metrics report, from a recount kept in the tree.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/host.h"
#include "storage/reg_storage.h"
#include "storage/storage_blob_store.h"
#include "storage/storage_fs.h"
#include "storage/storage_digest.h"
#include "storage/storage_layout.h"
#include "storage/storage_locks.h"
#include "storage/storage_manifests.h"
#include "storage/storage_repositories.h"
#include "storage/storage_state.h"
#include "storage/storage_text.h"

namespace storage {

namespace {

// The counters see every entry of every directory they walk. A directory
// that cannot be read contributes nothing.

// The regular files among the entries of dir: their number, and the sum
// of their sizes added to *total.
int count_files(const char* dir, const std::vector<Entry>& entries, int64_t* total) {
  int count = 0;
  for (const Entry& e : entries) {
    if (e.kind != host::Kind::kFile) continue;
    char path[kPathCap];
    path_join(path, sizeof path, dir, e.name.c_str());
    const int64_t size = file_size(path);
    if (size > 0) *total += size;
    ++count;
  }
  return count;
}

int count_repos() {
  NameList names;
  return collect_repositories(&names) == Scan::kOk ? names.size() : 0;
}

// Every regular file in a prefix directory counts, whatever its name.
int64_t count_blobs(int* out_blobs) {
  int count = 0;
  int64_t total = 0;
  BlobStoreVisitor visit;
  visit.entry = [&](const BlobStoreEntry& e) {
    if (e.kind != host::Kind::kFile) return;
    if (e.size > 0) total += e.size;
    ++count;
  };
  walk_blob_store(visit);
  *out_blobs = count;
  return total;
}

int count_tags() {
  NameList repos;
  if (collect_repositories(&repos) != Scan::kOk) return 0;
  int count = 0;
  std::vector<Entry> tag_dirs;
  char** names = repos.items();
  for (int r = 0; r < repos.size(); ++r) {
    const std::string repo = names[r];
    char tags[kPathCap];
    if (!manifest_tags_dir(repo.c_str(), tags, sizeof tags) || scan_dir(tags, &tag_dirs) != Scan::kOk) continue;
    for (const Entry& t : tag_dirs) {
      if (t.kind != host::Kind::kDir) continue;
      char link_path[kPathCap];
      char link[kLinkReadCap];
      // A tag counts while its link can be read, whatever it holds.
      if (manifest_tag_path(repo.c_str(), t.name.c_str(), link_path, sizeof link_path) &&
          read_file(link_path, link, sizeof link, nullptr) == 0) {
        ++count;
      }
    }
  }
  return count;
}

// The revisions of every repository: each directory below
// _manifests/revisions/<alg>.
int64_t count_manifests() {
  NameList repos;
  if (collect_repositories(&repos) != Scan::kOk) return 0;
  int64_t count = 0;
  char** names = repos.items();
  for (int r = 0; r < repos.size(); ++r) {
    for (const DigestAlg alg : {DigestAlg::kSha256, DigestAlg::kSha512}) {
      char dir[kPathCap];
      if (!manifest_revisions_dir(names[r], alg, dir, sizeof dir)) continue;
      each_entry(dir, [&](const char*, host::Kind kind, host::DirStream*) {
        if (kind == host::Kind::kDir) ++count;
        return true;
      });
    }
  }
  return count;
}

int count_uploads(int64_t* out_upload_bytes) {
  *out_upload_bytes = 0;
  char dir[kPathCap];
  path_join(dir, sizeof dir, s_root, kUploadsDir);
  std::vector<Entry> entries;
  if (scan_dir(dir, &entries) != Scan::kOk) return 0;
  int64_t total = 0;
  const int count = count_files(dir, entries, &total);
  *out_upload_bytes = total;
  return count;
}

int stats_json(reg_writer write, void* write_ctx, reg_status* st) {
  if (write == nullptr) return fail(st, REG_ERR_INVALID, "NULL argument");
  if (require_ready(st) != 0) return -1;
  const int repos = count_repos();
  int blobs = 0;
  const int64_t blob_bytes = count_blobs(&blobs);
  const int tags = count_tags();
  int64_t upload_bytes = 0;
  const int uploads = count_uploads(&upload_bytes);
  char text[512];
  const int n = std::snprintf(text, sizeof text,
                              "{\"version\":\"1.0.0\",\"repositories\":%d,\"tags\":%d,\"blobs\":%d,"
                              "\"blob_bytes\":%lld,\"active_uploads\":%d,\"upload_bytes\":%lld}",
                              repos, tags, blobs, static_cast<long long>(blob_bytes), uploads,
                              static_cast<long long>(upload_bytes));
  TextOut out(write, write_ctx);
  out.put(text, static_cast<size_t>(n));
  return out.flush(st);
}

// The amounts a recount gives, in the order of the summary file's lines.
struct Recount {
  int64_t repositories = 0;
  int64_t manifests = 0;
  int64_t tags = 0;
  int64_t blobs = 0;
  int64_t blob_bytes = 0;
};

constexpr const char* kRecountNames[] = {"repositories", "manifests", "tags", "blobs", "blob_bytes"};

int64_t* recount_field(Recount* r, size_t i) {
  int64_t* fields[] = {&r->repositories, &r->manifests, &r->tags, &r->blobs, &r->blob_bytes};
  return fields[i];
}

Recount recount_tree() {
  Recount r;
  r.repositories = count_repos();
  r.manifests = count_manifests();
  r.tags = count_tags();
  int blobs = 0;
  r.blob_bytes = count_blobs(&blobs);
  r.blobs = blobs;
  return r;
}

std::string summary_text(Recount r) {
  std::string text;
  for (size_t i = 0; i < sizeof kRecountNames / sizeof kRecountNames[0]; ++i) {
    text += std::string(kRecountNames[i]) + " " + std::to_string(*recount_field(&r, i)) + "\n";
  }
  return text;
}

// The summary file's amounts and its age; false when it is missing or not
// whole (every line there, each "<name> <amount>").
bool read_summary(const char* path, Recount* out, int64_t* age) {
  host::Attributes a{};
  char text[512];
  size_t len = 0;
  if (!host::get_attributes(path, &a) || read_file(path, text, sizeof text - 1, &len) != 0) return false;
  text[len] = '\0';
  const char* p = text;
  for (size_t i = 0; i < sizeof kRecountNames / sizeof kRecountNames[0]; ++i) {
    const size_t name_len = std::strlen(kRecountNames[i]);
    if (std::strncmp(p, kRecountNames[i], name_len) != 0 || p[name_len] != ' ') return false;
    p += name_len + 1;
    char* end = nullptr;
    const long long v = std::strtoll(p, &end, 10);
    if (end == p || *end != '\n' || v < 0) return false;
    *recount_field(out, i) = v;
    p = end + 1;
  }
  *age = host::now_seconds() - a.mtime;
  if (*age < 0) *age = 0;
  return true;
}

// Recounts the tree into the summary file, when no other process is at it
// (wait: waits for that one instead); false when it did not.
bool recount_into(const char* path, bool wait, Recount* out) {
  char lock_path[kPathCap];
  if (!metrics_file_path(kMetricsRecountLockFile, lock_path, sizeof lock_path)) return false;
  LockedFile lock;
  lock.adopt(host::open_file(lock_path, "ab"));
  if (lock.get() == nullptr) return false;
  bool busy = false;
  if (wait ? !host::lock_file(lock.get()) : !host::try_lock_file(lock.get(), &busy)) return false;
  *out = recount_tree();
  const std::string text = summary_text(*out);
  // A lost summary is made again by the next scrape.
  write_file_locked(path, text.data(), text.size(), Durability::kCache);
  return true;
}

// The stored amounts of the recount, made again when it is older than
// max_age: by this process, or, while another is at it, the latest.
int recounted(int64_t max_age, Recount* out, int64_t* age, reg_status* st) {
  char dir[kPathCap];
  char path[kPathCap];
  path_join(dir, sizeof dir, s_root, kMetricsDir);
  if (!metrics_file_path(kMetricsSummaryFile, path, sizeof path)) return fail(st, REG_ERR_STORAGE, "storage root too long");
  if (mkdirs(dir) != 0) return fail(st, REG_ERR_STORAGE, "cannot create %s", dir);
  const bool have = read_summary(path, out, age);
  if (have && *age <= max_age) return 0;
  if (recount_into(path, !have, out)) {
    *age = 0;
    return 0;
  }
  if (have) return 0;
  // Another process recounted while this one waited for it.
  if (read_summary(path, out, age)) return 0;
  return fail(st, REG_ERR_STORAGE, "cannot recount the tree into %s", path);
}

int64_t count_events_pending() {
  char dir[kPathCap];
  event_outbox_dir(dir, sizeof dir);
  int64_t count = 0;
  const size_t suffix = sizeof kEventSuffix - 1;
  each_entry(dir, [&](const char* name, host::Kind kind, host::DirStream*) {
    const size_t len = std::strlen(name);
    if (kind == host::Kind::kFile && len == kEventNameLen + suffix && event_name_valid(name, kEventNameLen) &&
        std::memcmp(name + kEventNameLen, kEventSuffix, suffix) == 0) {
      ++count;
    }
    return true;
  });
  return count;
}

int amounts(int64_t max_age, reg_amounts* out, reg_status* st) {
  if (out == nullptr) return fail(st, REG_ERR_INVALID, "NULL argument");
  if (require_ready(st) != 0) return -1;
  Recount r;
  int64_t age = 0;
  if (recounted(max_age, &r, &age, st) != 0) return -1;
  *out = reg_amounts{};
  out->repositories = r.repositories;
  out->manifests = r.manifests;
  out->tags = r.tags;
  out->blobs = r.blobs;
  out->blob_bytes = r.blob_bytes;
  out->recount_age = age;
  int64_t upload_bytes = 0;
  out->uploads = count_uploads(&upload_bytes);
  out->upload_bytes = upload_bytes;
  out->events_pending = count_events_pending();
  return 0;
}

}  // namespace
}  // namespace storage

using namespace storage;

extern "C" int reg_metrics_amounts(int64_t max_age, reg_amounts* out, reg_status* caller) {
  CallStatus st(caller);
  return amounts(max_age, out, st);
}

extern "C" int reg_storage_stats_json(reg_writer write, void* write_ctx, reg_status* caller) {
  CallStatus st(caller);
  return stats_json(write, write_ctx, st);
}

extern "C" const char* reg_storage_get_stats_json(void) {
  PublishedStatus st;
  BufferWriter result{s_result, kResultCap};
  return stats_json(BufferWriter::write, &result, st) == 0 ? s_result : nullptr;
}
