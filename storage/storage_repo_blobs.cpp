// Blobs as a repository sees them. The blob store is shared by every
// repository; a repository holds a blob once it has a link to it (made
// when an upload of it finishes there, or when it is mounted from another
// repository that holds it), and serves, mounts and deletes only what it
// links. Deleting removes the link alone: the blob file goes when no
// repository needs it, by garbage collection.
#include <cstring>
#include <ctime>
#include <string>

#include "platform/host.h"
#include "storage/reg_storage.h"
#include "storage/storage_blobs.h"
#include "storage/storage_digest.h"
#include "storage/storage_fs.h"
#include "storage/storage_layout.h"
#include "storage/storage_locks.h"
#include "storage/storage_names.h"
#include "storage/storage_repo_blobs.h"
#include "storage/storage_repositories.h"
#include "storage/storage_state.h"

namespace storage {
namespace {

// How old a blob link must be before a query refreshes its time.
constexpr int64_t kTouchInterval = 60;

bool linked(const char* repo, const char* digest) {
  char link[kPathCap];
  return repo_blob_link_path(repo, digest, link, sizeof link) && file_exists(link);
}

// The blob's file when the repository links it: 1, 0 (no link or no
// file), or -1 when the path holds something no blob can be.
int linked_blob(const char* repo, const char* digest, char* path, size_t cap, int64_t* size, reg_status* st) {
  if (!linked(repo, digest)) return 0;
  blob_path_for_digest(digest, path, cap);
  host::Attributes a;
  if (!blob_present_or_restored(digest, path) || !host::get_attributes(path, &a)) return 0;
  if (a.kind != host::Kind::kFile) return fail(st, REG_ERR_STORAGE, "blob is not a regular file: %s", digest);
  if (size != nullptr) *size = a.size;
  return 1;
}

// The path of a blob the repository holds, and its size.
int held_blob_path(const char* repo, const char* digest, char* path, size_t cap, int64_t* size, reg_status* st) {
  const int found = linked_blob(repo, digest, path, cap, size, st);
  if (found < 0) return -1;
  if (found == 0) return fail(st, REG_ERR_NOT_FOUND, "blob not found: %s@%s", repo, digest);
  return 0;
}

// The checks of an operation on one of the repository's blobs.
int check_repo_blob(const char* repo, const char* digest, reg_status* st) {
  if (digest == nullptr) return fail(st, REG_ERR_INVALID, "NULL argument");
  return check_repo(repo, digest, st);
}

}  // namespace

int check_repo(const char* repo, const char* digest, reg_status* st) {
  if (repo == nullptr) return fail(st, REG_ERR_INVALID, "NULL argument");
  if (require_ready(st) != 0) return -1;
  if (!repo_name_valid(repo)) return fail(st, REG_ERR_INVALID, "invalid repository name: %s", repo);
  if (digest != nullptr && !any_digest_valid(digest)) return fail(st, REG_ERR_INVALID, "invalid digest");
  return 0;
}

int link_blob(const char* repo, const char* digest, reg_status* st) {
  char dir[kPathCap];
  char link[kPathCap];
  if (!repo_blob_link_dir(repo, digest, dir, sizeof dir) || !repo_blob_link_path(repo, digest, link, sizeof link)) {
    return fail(st, REG_ERR_INVALID, "path too long");
  }
  HeldFlushes later;
  StagedFile staged;
  if (note_repository(repo) != 0 || mkdirs(dir, &later) != 0 ||
      stage_file(link, digest, std::strlen(digest), &staged) != 0) {
    return fail(st, REG_ERR_STORAGE, "write blob link failed: %s@%s", repo, digest);
  }
  // The directories made for the link are on stable storage before it is
  // in place; the link's own flush carried most of their work.
  if (!later.settle()) {
    host::KeptError kept;
    discard_staged(staged);
    return fail(st, REG_ERR_STORAGE, "write blob link failed: %s@%s", repo, digest);
  }
  if (commit_staged(staged) != 0) return fail(st, REG_ERR_STORAGE, "write blob link failed: %s@%s", repo, digest);
  return 0;
}

int repo_holds_blob(const char* repo, const char* digest, reg_status* st) {
  char path[kPathCap];
  return linked_blob(repo, digest, path, sizeof path, nullptr, st);
}

int repo_usage(const char* repo, int64_t* bytes, reg_status* st) {
  *bytes = 0;
  for (const DigestAlg alg : {DigestAlg::kSha256, DigestAlg::kSha512}) {
    char dir[kPathCap];
    if (!repo_layers_dir(repo, alg, dir, sizeof dir)) return fail(st, REG_ERR_INVALID, "path too long");
    // A link counts what its blob holds now; a link whose blob is not
    // stored (collected, or never finished) counts nothing, as in du.
    const Scan scan = each_entry(dir, [&](const char* name, host::Kind, host::DirStream*) {
      if (hex_alg(name) != alg) return true;
      const std::string digest = std::string(digest_alg_name(alg)) + ":" + name;
      char blob[kPathCap];
      blob_path_for_digest(digest.c_str(), blob, sizeof blob);
      host::Attributes a;
      if (host::get_attributes(blob, &a) && a.kind == host::Kind::kFile) *bytes += a.size;
      return true;
    });
    if (scan == Scan::kFailed) return fail(st, REG_ERR_STORAGE, "cannot read the blob links of %s", repo);
  }
  return 0;
}

int admit_blob(const char* repo, const char* digest, int64_t size, reg_quota* quota, LockedFile* lock,
               reg_status* st) {
  if (quota == nullptr || quota->limit < 0) return 0;
  // The lock file lies among the manifests, which a repository that so
  // far holds only uploads does not have yet.
  char dir[kPathCap];
  if (!manifest_dir(repo, dir, sizeof dir)) return fail(st, REG_ERR_INVALID, "path too long");
  if (note_repository(repo) != 0 || mkdirs(dir) != 0 || lock_repository(repo, lock) != Lock::kHeld) {
    return fail(st, REG_ERR_STORAGE, "cannot lock repository: %s", repo);
  }
  if (linked(repo, digest)) return 0;
  int64_t usage = 0;
  if (repo_usage(repo, &usage, st) != 0) return -1;
  if (size <= quota->limit - usage) return 0;
  quota->usage = usage;
  quota->adding = size;
  return fail(st, REG_ERR_QUOTA, "quota of %s exceeded: it holds %lld bytes of blobs, %s adds %lld, the limit is %lld",
              repo, static_cast<long long>(usage), digest, static_cast<long long>(size),
              static_cast<long long>(quota->limit));
}

}  // namespace storage

using namespace storage;

extern "C" {

int reg_repository_exists(const char* repo, reg_status* caller) {
  CallStatus st(caller);
  if (check_repo(repo, nullptr, st) != 0) return -1;
  char dir[kPathCap];
  if (!repository_dir(repo, dir, sizeof dir)) return 0;
  for (const char* own : {kManifestsDir, kLayersDir, kRepoUploadsDir}) {
    char path[kPathCap];
    path_join(path, sizeof path, dir, own);
    if (dir_exists(path)) return 1;
  }
  return 0;
}

int reg_repo_blob_link(const char* repo, const char* digest, reg_status* caller) {
  CallStatus st(caller);
  if (check_repo_blob(repo, digest, st) != 0) return -1;
  char blob[kPathCap];
  blob_path_for_digest(digest, blob, sizeof blob);
  if (!file_exists(blob)) return fail(st, REG_ERR_NOT_FOUND, "blob not found: %s", digest);
  return link_blob(repo, digest, st);
}

int reg_repo_blob_exists(const char* repo, const char* digest, reg_status* caller) {
  CallStatus st(caller);
  if (check_repo_blob(repo, digest, st) != 0) return -1;
  return repo_holds_blob(repo, digest, st);
}

int64_t reg_repo_blob_size(const char* repo, const char* digest, reg_status* caller) {
  CallStatus st(caller);
  if (check_repo_blob(repo, digest, st) != 0) return -1;
  char path[kPathCap];
  int64_t size = -1;
  return held_blob_path(repo, digest, path, sizeof path, &size, st) == 0 ? size : -1;
}

int reg_repo_blob_path(const char* repo, const char* digest, char* out_path, size_t out_size, reg_status* caller) {
  CallStatus st(caller);
  if (out_path == nullptr || out_size == 0) return fail(st, REG_ERR_INVALID, "NULL argument");
  if (check_repo_blob(repo, digest, st) != 0) return -1;
  char path[kPathCap];
  if (held_blob_path(repo, digest, path, sizeof path, nullptr, st) != 0) return -1;
  return copy_path_whole(path, out_path, out_size, st);
}

int reg_repo_blob_unlink(const char* repo, const char* digest, reg_status* caller) {
  CallStatus st(caller);
  if (check_repo_blob(repo, digest, st) != 0) return -1;
  char dir[kPathCap];
  char link[kPathCap];
  if (!repo_blob_link_dir(repo, digest, dir, sizeof dir) || !repo_blob_link_path(repo, digest, link, sizeof link) ||
      !file_exists(link)) {
    return fail(st, REG_ERR_NOT_FOUND, "blob not found: %s@%s", repo, digest);
  }
  if (remove_file(link) != 0) return fail(st, REG_ERR_STORAGE, "remove failed");
  host::remove_dir(dir);
  return 0;
}

int reg_repo_blob_touch(const char* repo, const char* digest, reg_status* caller) {
  CallStatus st(caller);
  if (check_repo_blob(repo, digest, st) != 0) return -1;
  char link[kPathCap];
  host::Attributes a;
  if (!repo_blob_link_path(repo, digest, link, sizeof link) || !host::get_attributes(link, &a) ||
      a.kind != host::Kind::kFile) {
    return fail(st, REG_ERR_NOT_FOUND, "blob not found: %s@%s", repo, digest);
  }
  // One write a minute at most, however often clients ask: collection
  // grace periods are far longer.
  if (std::time(nullptr) - a.mtime < kTouchInterval) return 0;
  if (!host::touch_file(link)) return fail(st, REG_ERR_STORAGE, "cannot touch blob link: %s@%s", repo, digest);
  return 0;
}

int reg_repo_blob_mount(const char* repo, const char* from, const char* digest, reg_status* caller) {
  return reg_repo_blob_mount_within(repo, from, digest, nullptr, caller);
}

int reg_repo_blob_mount_within(const char* repo, const char* from, const char* digest, reg_quota* quota,
                               reg_status* caller) {
  CallStatus st(caller);
  if (from == nullptr) return fail(st, REG_ERR_INVALID, "NULL argument");
  if (check_repo_blob(repo, digest, st) != 0) return -1;
  if (!repo_name_valid(from)) return fail(st, REG_ERR_INVALID, "invalid repository name: %s", from);
  char path[kPathCap];
  int64_t size = -1;
  if (held_blob_path(from, digest, path, sizeof path, &size, st) != 0) return -1;
  LockedFile lock;
  if (admit_blob(repo, digest, size, quota, &lock, st) != 0) return -1;
  return link_blob(repo, digest, st);
}

int reg_repo_usage(const char* repo, int64_t* out_bytes, reg_status* caller) {
  CallStatus st(caller);
  if (out_bytes == nullptr) return fail(st, REG_ERR_INVALID, "NULL argument");
  if (check_repo(repo, nullptr, st) != 0) return -1;
  return repo_usage(repo, out_bytes, st);
}

}  // extern "C"
