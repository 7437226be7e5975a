// Blob queries and deletion, by digest string.
#include <cstring>

#include "platform/host.h"
#include "storage/reg_storage.h"
#include "storage/storage_blobs.h"
#include "storage/storage_digest.h"
#include "storage/storage_fs.h"
#include "storage/storage_layout.h"
#include "storage/storage_state.h"

namespace storage {
namespace {

// The checks every query makes after its own pointer check; then the
// blob's path.
int checked_blob_path(const char* digest, char* path, size_t cap, reg_status* st) {
  if (require_ready(st) != 0) return -1;
  if (!digest_valid(digest)) return fail(st, REG_ERR_INVALID, "invalid digest");
  blob_path_for_digest(digest, path, cap);
  return 0;
}

// As checked_blob_path, after the "digest is NULL" check of exists, size
// and delete.
int checked_blob_path_of(const char* digest, char* path, size_t cap, reg_status* st) {
  if (digest == nullptr) return fail(st, REG_ERR_INVALID, "digest is NULL");
  return checked_blob_path(digest, path, cap, st);
}

enum class BlobFile { kAbsent, kPresent, kBroken };

// What is at a blob path: a regular file, nothing, or something that no
// blob can be (a directory, a link), which every query reports alike as a
// failure.
BlobFile blob_file(const char* path, const char* digest, int64_t* size, reg_status* st) {
  host::Attributes a;
  if (!blob_present_or_restored(digest, path) || !host::get_attributes(path, &a)) return BlobFile::kAbsent;
  if (a.kind == host::Kind::kFile) {
    if (size != nullptr) *size = a.size;
    return BlobFile::kPresent;
  }
  fail(st, REG_ERR_STORAGE, "blob is not a regular file: %s", digest);
  return BlobFile::kBroken;
}

int blob_exists(const char* digest, reg_status* st) {
  char path[kPathCap];
  if (checked_blob_path_of(digest, path, sizeof path, st) != 0) return -1;
  switch (blob_file(path, digest, nullptr, st)) {
    case BlobFile::kPresent: return 1;
    case BlobFile::kAbsent: return 0;
    case BlobFile::kBroken: break;
  }
  return -1;
}

int64_t blob_size(const char* digest, reg_status* st) {
  char path[kPathCap];
  if (checked_blob_path_of(digest, path, sizeof path, st) != 0) return -1;
  int64_t size = -1;
  return blob_file(path, digest, &size, st) == BlobFile::kPresent ? size : -1;
}

int blob_filepath(const char* digest, char* out_path, size_t out_size, reg_status* st) {
  if (digest == nullptr || out_path == nullptr || out_size == 0) return fail(st, REG_ERR_INVALID, "NULL argument");
  char path[kPathCap];
  if (checked_blob_path(digest, path, sizeof path, st) != 0) return -1;
  const BlobFile state = blob_file(path, digest, nullptr, st);
  if (state == BlobFile::kBroken) return -1;
  if (state == BlobFile::kAbsent) return fail(st, REG_ERR_NOT_FOUND, "blob not found: %s", digest);
  return copy_path_whole(path, out_path, out_size, st);
}

int blob_delete(const char* digest, reg_status* st) {
  char path[kPathCap];
  if (checked_blob_path_of(digest, path, sizeof path, st) != 0) return -1;
  const BlobFile state = blob_file(path, digest, nullptr, st);
  if (state == BlobFile::kBroken) return -1;
  if (state == BlobFile::kAbsent) return fail(st, REG_ERR_NOT_FOUND, "blob not found: %s", digest);
  if (remove_file(path) != 0) return fail(st, REG_ERR_STORAGE, "remove failed");
  // The prefix directory goes with its last blob; a directory that still
  // holds files stays.
  char prefix[kPathCap];
  blob_prefix_dir(digest, prefix, sizeof prefix);
  host::remove_dir(prefix);
  return 0;
}

}  // namespace

bool blob_present_or_restored(const char* digest, const char* path) {
  host::Attributes a;
  if (host::get_attributes(path, &a)) return true;
  char aside[kPathCap];
  blob_quarantine_path(digest, aside, sizeof aside);
  // Garbage collection deletes the quarantined file only after looking
  // again; a rename back first keeps the blob, a delete first loses the
  // race cleanly (the blob is then absent for everyone).
  host::rename_file(aside, path);
  return host::get_attributes(path, &a);
}

int copy_path_whole(const char* path, char* out, size_t out_size, reg_status* st) {
  const size_t len = std::strlen(path);
  if (len >= out_size) return fail(st, REG_ERR_INVALID, "path buffer too small");
  std::memcpy(out, path, len + 1);
  return 0;
}

}  // namespace storage

using namespace storage;

extern "C" {

int reg_blob_exists(const char* digest) {
  PublishedStatus st;
  return blob_exists(digest, st);
}

int64_t reg_blob_get_size(const char* digest) {
  PublishedStatus st;
  return blob_size(digest, st);
}

int reg_blob_get_filepath(const char* digest, char* out_path, size_t out_size) {
  PublishedStatus st;
  return blob_filepath(digest, out_path, out_size, st);
}

int reg_blob_delete(const char* digest) {
  PublishedStatus st;
  return blob_delete(digest, st);
}

int reg_blob_store_name(const char* digest, char* out, size_t out_size, reg_status* caller) {
  CallStatus st(caller);
  if (digest == nullptr || out == nullptr || out_size == 0) return fail(st, REG_ERR_INVALID, "NULL argument");
  if (!any_digest_valid(digest)) return fail(st, REG_ERR_INVALID, "invalid digest");
  if (!blob_store_name(digest, out, out_size)) {
    out[0] = '\0';
    return fail(st, REG_ERR_INVALID, "path buffer too small");
  }
  return 0;
}

}  // extern "C"
