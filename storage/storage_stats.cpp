// Storage statistics: counts and byte totals from a walk of the tree.
#include <cstdio>

#include "platform/host.h"
#include "storage/reg_storage.h"
#include "storage/storage_blob_store.h"
#include "storage/storage_fs.h"
#include "storage/storage_layout.h"
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

}  // namespace
}  // namespace storage

using namespace storage;

extern "C" int reg_storage_stats_json(reg_writer write, void* write_ctx, reg_status* caller) {
  CallStatus st(caller);
  return stats_json(write, write_ctx, st);
}

extern "C" const char* reg_storage_get_stats_json(void) {
  PublishedStatus st;
  BufferWriter result{s_result, kResultCap};
  return stats_json(BufferWriter::write, &result, st) == 0 ? s_result : nullptr;
}
