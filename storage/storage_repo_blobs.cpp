// Blobs and uploads as a repository sees them. The blob store is shared by
// every repository; a repository holds a blob once it has a link to it
// (made when an upload of it finishes there, or when it is mounted from
// another repository that holds it), and serves, mounts and deletes only
// what it links. Deleting removes the link alone: the blob file goes when
// no repository needs it, by garbage collection. An upload belongs to the
// repository that started it, which marks it.
#include <cstring>
#include <ctime>

#include "platform/host.h"
#include "storage/reg_storage.h"
#include "storage/storage_blobs.h"
#include "storage/storage_digest.h"
#include "storage/storage_fs.h"
#include "storage/storage_layout.h"
#include "storage/storage_locks.h"
#include "storage/storage_names.h"
#include "storage/storage_repositories.h"
#include "storage/storage_state.h"
#include "storage/storage_uploads.h"

namespace storage {
namespace {

// The checks of every repository operation: pointers, readiness, the
// name, and the digest when one is given.
int check_repo(const char* repo, const char* digest) {
  if (repo == nullptr) {
    set_error(REG_ERR_INVALID, "NULL argument");
    return -1;
  }
  if (require_ready() != 0) return -1;
  if (!repo_name_valid(repo)) {
    set_error(REG_ERR_INVALID, "invalid repository name: %s", repo);
    return -1;
  }
  if (digest != nullptr && !any_digest_valid(digest)) {
    set_error(REG_ERR_INVALID, "invalid digest");
    return -1;
  }
  return 0;
}

// How old a blob link must be before a query refreshes its time.
constexpr int64_t kTouchInterval = 60;

bool linked(const char* repo, const char* digest) {
  char link[kPathCap];
  return repo_blob_link_path(repo, digest, link, sizeof link) && file_exists(link);
}

// The blob's file when the repository links it: 1, 0 (no link or no
// file), or -1 when the path holds something no blob can be.
int linked_blob(const char* repo, const char* digest, char* path, size_t cap, int64_t* size) {
  if (!linked(repo, digest)) return 0;
  blob_path_for_digest(digest, path, cap);
  host::Attributes a;
  if (!blob_present_or_restored(digest, path) || !host::get_attributes(path, &a)) return 0;
  if (a.kind != host::Kind::kFile) {
    set_error(REG_ERR_STORAGE, "blob is not a regular file: %s", digest);
    return -1;
  }
  if (size != nullptr) *size = a.size;
  return 1;
}

int link_blob(const char* repo, const char* digest) {
  char dir[kPathCap];
  char link[kPathCap];
  if (!repo_blob_link_dir(repo, digest, dir, sizeof dir) || !repo_blob_link_path(repo, digest, link, sizeof link)) {
    set_error(REG_ERR_INVALID, "path too long");
    return -1;
  }
  if (note_repository(repo) != 0 || mkdirs(dir) != 0 || write_file(link, digest, std::strlen(digest)) != 0) {
    set_error(REG_ERR_STORAGE, "write blob link failed: %s@%s", repo, digest);
    return -1;
  }
  return 0;
}

int upload_mark(const char* repo, const char* uuid, char* path, size_t cap) {
  if (!repo_upload_mark_path(repo, uuid, path, cap)) {
    set_error(REG_ERR_INVALID, "path too long");
    return -1;
  }
  return 0;
}

// The checks of an operation on one repository's upload, then its path:
// an identifier the repository did not start is not found.
int checked_repo_upload(const char* repo, const char* uuid, char* path, size_t cap, char* mark, size_t mark_cap) {
  if (uuid == nullptr) {
    set_error(REG_ERR_INVALID, "NULL argument");
    return -1;
  }
  if (check_repo(repo, nullptr) != 0 || checked_upload_path(uuid, path, cap) != 0) return -1;
  if (upload_mark(repo, uuid, mark, mark_cap) != 0) return -1;
  if (!file_exists(mark)) {
    set_error(REG_ERR_NOT_FOUND, "upload not found: %s", uuid);
    return -1;
  }
  return 0;
}

int append_to_upload(const char* repo, const char* upload_uuid, FILE* from, int64_t length, int64_t at,
                     int64_t* out_size, int64_t exact) {
  if (from == nullptr) {
    set_error(REG_ERR_INVALID, "NULL argument");
    return -1;
  }
  char path[kPathCap];
  char mark[kPathCap];
  if (checked_repo_upload(repo, upload_uuid, path, sizeof path, mark, sizeof mark) != 0) return -1;
  // Hashed as it arrives by the algorithm the upload was declared for; an
  // upload declared for none is the registry's own, SHA-256.
  char declared[16] = "";
  read_file(mark, declared, sizeof declared, nullptr);
  const DigestAlg named = digest_alg_named(declared);
  const DigestAlg alg = named == DigestAlg::kNone ? DigestAlg::kSha256 : named;
  LockedFile held;
  if (hold_upload(upload_uuid, path, &held) != 0) return -1;
  return append_held(&held, upload_uuid, alg, from, length, at, out_size, exact);
}

}  // namespace
}  // namespace storage

using namespace storage;

extern "C" {

int reg_repository_exists(const char* repo) {
  if (check_repo(repo, nullptr) != 0) return -1;
  char dir[kPathCap];
  if (!repository_dir(repo, dir, sizeof dir)) return 0;
  for (const char* own : {kManifestsDir, kLayersDir, kRepoUploadsDir}) {
    char path[kPathCap];
    path_join(path, sizeof path, dir, own);
    if (dir_exists(path)) return 1;
  }
  return 0;
}

int reg_repo_blob_link(const char* repo, const char* digest) {
  if (digest == nullptr) {
    set_error(REG_ERR_INVALID, "NULL argument");
    return -1;
  }
  if (check_repo(repo, digest) != 0) return -1;
  char blob[kPathCap];
  blob_path_for_digest(digest, blob, sizeof blob);
  if (!file_exists(blob)) {
    set_error(REG_ERR_NOT_FOUND, "blob not found: %s", digest);
    return -1;
  }
  return link_blob(repo, digest);
}

int reg_repo_blob_exists(const char* repo, const char* digest) {
  if (digest == nullptr) {
    set_error(REG_ERR_INVALID, "NULL argument");
    return -1;
  }
  if (check_repo(repo, digest) != 0) return -1;
  char path[kPathCap];
  return linked_blob(repo, digest, path, sizeof path, nullptr);
}

int64_t reg_repo_blob_size(const char* repo, const char* digest) {
  char path[kPathCap];
  return reg_repo_blob_path(repo, digest, path, sizeof path) == 0 ? file_size(path) : -1;
}

int reg_repo_blob_path(const char* repo, const char* digest, char* out_path, size_t out_size) {
  if (digest == nullptr || out_path == nullptr || out_size == 0) {
    set_error(REG_ERR_INVALID, "NULL argument");
    return -1;
  }
  if (check_repo(repo, digest) != 0) return -1;
  char path[kPathCap];
  const int found = linked_blob(repo, digest, path, sizeof path, nullptr);
  if (found < 0) return -1;
  if (found == 0) {
    set_error(REG_ERR_NOT_FOUND, "blob not found: %s@%s", repo, digest);
    return -1;
  }
  return copy_path_whole(path, out_path, out_size);
}

int reg_repo_blob_unlink(const char* repo, const char* digest) {
  if (digest == nullptr) {
    set_error(REG_ERR_INVALID, "NULL argument");
    return -1;
  }
  if (check_repo(repo, digest) != 0) return -1;
  char dir[kPathCap];
  char link[kPathCap];
  if (!repo_blob_link_dir(repo, digest, dir, sizeof dir) || !repo_blob_link_path(repo, digest, link, sizeof link) ||
      !file_exists(link)) {
    set_error(REG_ERR_NOT_FOUND, "blob not found: %s@%s", repo, digest);
    return -1;
  }
  if (remove_file(link) != 0) {
    set_error(REG_ERR_STORAGE, "remove failed");
    return -1;
  }
  host::remove_dir(dir);
  return 0;
}

int reg_repo_blob_touch(const char* repo, const char* digest) {
  if (digest == nullptr) {
    set_error(REG_ERR_INVALID, "NULL argument");
    return -1;
  }
  if (check_repo(repo, digest) != 0) return -1;
  char link[kPathCap];
  host::Attributes a;
  if (!repo_blob_link_path(repo, digest, link, sizeof link) || !host::get_attributes(link, &a) ||
      a.kind != host::Kind::kFile) {
    set_error(REG_ERR_NOT_FOUND, "blob not found: %s@%s", repo, digest);
    return -1;
  }
  // One write a minute at most, however often clients ask: collection
  // grace periods are far longer.
  if (std::time(nullptr) - a.mtime < kTouchInterval) return 0;
  if (!host::touch_file(link)) {
    set_error(REG_ERR_STORAGE, "cannot touch blob link: %s@%s", repo, digest);
    return -1;
  }
  return 0;
}

int reg_repo_blob_mount(const char* repo, const char* from, const char* digest) {
  if (from == nullptr || digest == nullptr) {
    set_error(REG_ERR_INVALID, "NULL argument");
    return -1;
  }
  if (check_repo(repo, digest) != 0) return -1;
  if (!repo_name_valid(from)) {
    set_error(REG_ERR_INVALID, "invalid repository name: %s", from);
    return -1;
  }
  char path[kPathCap];
  const int found = linked_blob(from, digest, path, sizeof path, nullptr);
  if (found < 0) return -1;
  if (found == 0) {
    set_error(REG_ERR_NOT_FOUND, "blob not found: %s@%s", from, digest);
    return -1;
  }
  return link_blob(repo, digest);
}

int reg_upload_start(const char* repo, char* out_upload_uuid) {
  return reg_upload_start_for(repo, nullptr, out_upload_uuid);
}

int reg_upload_start_for(const char* repo, const char* algorithm, char* out_upload_uuid) {
  if (out_upload_uuid == nullptr) {
    set_error(REG_ERR_INVALID, "NULL argument");
    return -1;
  }
  if (check_repo(repo, nullptr) != 0) return -1;
  const DigestAlg alg = algorithm == nullptr ? DigestAlg::kNone : digest_alg_named(algorithm);
  if (algorithm != nullptr && alg == DigestAlg::kNone) {
    set_error(REG_ERR_INVALID, "unsupported digest algorithm: %s", algorithm);
    return -1;
  }
  if (start_upload(out_upload_uuid) != 0) return -1;
  // The mark makes the upload the repository's, and holds the algorithm
  // its digest was declared to have, if any. An upload without one (the
  // process ended between the two) belongs to nobody and expires.
  char mark[kPathCap];
  char dir[kPathCap];
  if (upload_mark(repo, out_upload_uuid, mark, sizeof mark) != 0) return -1;
  std::snprintf(dir, sizeof dir, "%s", mark);
  for (size_t n = std::strlen(dir); n > 0 && !host::is_sep(dir[n - 1]);) dir[--n] = '\0';
  const char* declared = alg == DigestAlg::kNone ? "" : digest_alg_name(alg);
  if (note_repository(repo) != 0 || mkdirs(dir) != 0 || write_file(mark, declared, std::strlen(declared)) != 0) {
    set_error(REG_ERR_STORAGE, "cannot mark upload: %s@%s", repo, out_upload_uuid);
    char upload[kPathCap];
    upload_path_for_uuid(out_upload_uuid, upload, sizeof upload);
    host::remove_file(upload);
    return -1;
  }
  return 0;
}

int64_t reg_upload_size(const char* repo, const char* upload_uuid) {
  char path[kPathCap];
  char mark[kPathCap];
  if (checked_repo_upload(repo, upload_uuid, path, sizeof path, mark, sizeof mark) != 0) return -1;
  const int64_t size = file_size(path);
  if (size < 0) set_error(REG_ERR_NOT_FOUND, "upload not found: %s", upload_uuid);
  return size;
}

int reg_upload_append(const char* repo, const char* upload_uuid, FILE* from, int64_t length, int64_t at,
                      int64_t* out_size) {
  return append_to_upload(repo, upload_uuid, from, length, at, out_size, -1);
}

int reg_upload_append_exact(const char* repo, const char* upload_uuid, FILE* from, int64_t count, int64_t at,
                            int64_t* out_size) {
  if (count < 0) {
    set_error(REG_ERR_INVALID, "negative chunk length");
    return -1;
  }
  return append_to_upload(repo, upload_uuid, from, -1, at, out_size, count);
}

int reg_upload_finish(const char* repo, const char* upload_uuid, const char* expected_digest, char* out_digest) {
  if (expected_digest == nullptr || out_digest == nullptr) {
    set_error(REG_ERR_INVALID, "NULL argument");
    return -1;
  }
  char path[kPathCap];
  char mark[kPathCap];
  if (checked_repo_upload(repo, upload_uuid, path, sizeof path, mark, sizeof mark) != 0) return -1;
  if (!any_digest_valid(expected_digest)) {
    set_error(REG_ERR_INVALID, "invalid expected digest");
    return -1;
  }
  // An upload started for one algorithm finishes with a digest of it.
  char declared[16] = "";
  size_t declared_len = 0;
  read_file(mark, declared, sizeof declared, &declared_len);
  if (declared_len > 0 && digest_alg_named(declared) != digest_alg(expected_digest)) {
    set_error(REG_ERR_INVALID, "upload declared for %s, finished with %s", declared, expected_digest);
    return -1;
  }
  LockedFile held;
  if (hold_upload(upload_uuid, path, &held) != 0) return -1;
  const int rc = finish_held(&held, upload_uuid, path, expected_digest, out_digest);
  held.release();
  // A mismatch removed the upload; either way the mark has no upload left
  // to name once the upload file is gone.
  if (!file_exists(path)) remove_file(mark);
  if (rc != 0) return -1;
  // The repository holds the blob from here on.
  return link_blob(repo, expected_digest);
}

int reg_upload_cancel(const char* repo, const char* upload_uuid) {
  char path[kPathCap];
  char mark[kPathCap];
  if (checked_repo_upload(repo, upload_uuid, path, sizeof path, mark, sizeof mark) != 0) return -1;
  if (reg_blob_cancel_upload(upload_uuid) != 0) return -1;
  remove_file(mark);
  return 0;
}

}  // extern "C"
