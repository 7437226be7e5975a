// Storage statistics: counts and byte totals from a walk of the tree.
#include <cstdarg>
#include <cstdio>

#include "storage/reg_storage.h"
#include "storage/storage_internal.h"

namespace storage {

// Every counter reads at most the 512 entries that one listing holds per
// directory, and a directory that cannot be listed contributes nothing.

namespace {

// The files (not directories) of a listing of dir: their number, and the
// sum of their sizes above 0 added to *total. A file whose size cannot be
// read counts with no bytes.
int count_files(const char* dir, const dir_listing& listing, int64_t* total) {
  int count = 0;
  for (int i = 0; i < listing.count; ++i) {
    if (listing.entries[i].is_dir) continue;
    char path[kPathCap];
    path_join(path, sizeof path, dir, listing.entries[i].name);
    const int64_t size = file_size(path);
    if (size > 0) *total += size;
    ++count;
  }
  return count;
}

}  // namespace

int count_repos() {
  char dir[kPathCap];
  repos_dir(dir, sizeof dir);
  dir_listing listing;
  if (list_dir(dir, &listing) != 0) return 0;
  int n = 0;
  for (int i = 0; i < listing.count; ++i) n += listing.entries[i].is_dir ? 1 : 0;
  return n;
}

int64_t count_blobs(int* out_blobs) {
  int count = 0;
  int64_t total = 0;
  char blobs[kPathCap];
  char sha[kPathCap];
  path_join(blobs, sizeof blobs, s_root, kBlobsDir);
  path_join(sha, sizeof sha, blobs, kSha256Dir);
  dir_listing prefixes;
  if (list_dir(sha, &prefixes) != 0) {
    *out_blobs = 0;
    return 0;
  }
  for (int i = 0; i < prefixes.count; ++i) {
    if (!prefixes.entries[i].is_dir) continue;  // only prefix directories hold blobs
    char prefix[kPathCap];
    path_join(prefix, sizeof prefix, sha, prefixes.entries[i].name);
    dir_listing files;
    if (list_dir(prefix, &files) != 0) continue;
    count += count_files(prefix, files, &total);
  }
  *out_blobs = count;
  return total;
}

int count_tags() {
  char repos[kPathCap];
  repos_dir(repos, sizeof repos);
  dir_listing listing;
  if (list_dir(repos, &listing) != 0) return 0;
  int count = 0;
  for (int i = 0; i < listing.count; ++i) {
    if (!listing.entries[i].is_dir) continue;
    const char* repo = listing.entries[i].name;
    char tags[kPathCap];
    dir_listing tag_dirs;
    if (!manifest_tags_dir(repo, tags, sizeof tags) || list_dir(tags, &tag_dirs) != 0) continue;
    for (int j = 0; j < tag_dirs.count; ++j) {
      if (!tag_dirs.entries[j].is_dir) continue;
      char link_path[kPathCap];
      char link[kLinkReadCap];
      // A tag counts while its link can be read, whatever it holds.
      if (manifest_tag_path(repo, tag_dirs.entries[j].name, link_path, sizeof link_path) &&
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
  dir_listing listing;
  if (list_dir(dir, &listing) != 0) return 0;
  int64_t total = 0;
  const int count = count_files(dir, listing, &total);
  *out_upload_bytes = total;
  return count;
}

namespace {

// Appends formatted text at pos within s_result, bounded by the room left.
size_t append_f(size_t pos, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
size_t append_f(size_t pos, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  const int n = std::vsnprintf(s_result + pos, kResultCap - pos, fmt, ap);
  va_end(ap);
  if (n < 0) return pos;
  const size_t room = kResultCap - pos - 1;
  return pos + (static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room);
}

}  // namespace
}  // namespace storage

using namespace storage;

extern "C" const char* reg_storage_get_stats_json(void) {
  if (require_ready() != 0) return nullptr;
  const int repos = count_repos();
  int blobs = 0;
  const int64_t blob_bytes = count_blobs(&blobs);
  const int tags = count_tags();
  int64_t upload_bytes = 0;
  const int uploads = count_uploads(&upload_bytes);
  size_t pos = 0;
  pos = append_f(pos, "{\"version\":\"1.0.0\",");
  pos = append_f(pos, "\"repositories\":%d,", repos);
  pos = append_f(pos, "\"tags\":%d,", tags);
  pos = append_f(pos, "\"blobs\":%d,", blobs);
  pos = append_f(pos, "\"blob_bytes\":%lld,", static_cast<long long>(blob_bytes));
  pos = append_f(pos, "\"active_uploads\":%d,", uploads);
  append_f(pos, "\"upload_bytes\":%lld}", static_cast<long long>(upload_bytes));
  return s_result;
}
