// Chunked blob uploads, verified by SHA-256 and moved into the blob store.
//
// Every operation on a pending upload works on the upload file opened and
// locked, after checking that the path still names that file. A finish
// holds the lock from its hash to the rename into the blob store, so no
// append lands in the bytes it hashed; an append that opened the file
// before the finish took it finds, once it has the lock, that the upload
// is gone, and writes nothing. A blob therefore always holds exactly the
// bytes that were hashed, whatever runs beside it. Appends never create
// the file, so an upload that was finished or cancelled stays gone.
#include <cstdio>
#include <cstring>
#include <string>

#include "hash/sha256.h"
#include "platform/host.h"
#include "storage/reg_storage.h"
#include "storage/storage_blobs.h"
#include "storage/storage_digest.h"
#include "storage/storage_fs.h"
#include "storage/storage_layout.h"
#include "storage/storage_locks.h"
#include "storage/storage_state.h"
#include "storage/storage_uploads.h"

namespace storage {
namespace {

// Identifiers tried before start gives up on taken names. With identifiers
// from the random source a clash is all but impossible; the bound keeps a
// directory that refuses every name from holding the caller forever.
constexpr int kStartAttempts = 64;

}  // namespace

int checked_upload_path(const char* upload_uuid, char* path, size_t cap) {
  if (require_ready() != 0) return -1;
  if (!uuid_valid(upload_uuid)) {
    set_error(REG_ERR_INVALID, "invalid upload uuid");
    return -1;
  }
  upload_path_for_uuid(upload_uuid, path, cap);
  return 0;
}

int hold_upload(const char* upload_uuid, const char* path, LockedFile* held) {
  const Lock lock = lock_existing(path, held);
  if (lock == Lock::kGone) {
    set_error(REG_ERR_NOT_FOUND, "upload not found: %s", upload_uuid);
    return -1;
  }
  if (lock == Lock::kFailed) {
    set_error(REG_ERR_STORAGE, "cannot lock upload: %s", upload_uuid);
    return -1;
  }
  return 0;
}

int start_upload(char* out_upload_uuid) {
  char path[kPathCap];
  for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
    if (!uuid_make(out_upload_uuid)) {
      set_error(REG_ERR_STORAGE, "cannot draw an upload identifier from the system's random source");
      return -1;
    }
    upload_path_for_uuid(out_upload_uuid, path, sizeof path);
    // Created exclusively: an upload of that name, another process's, is
    // never emptied or shared; the next identifier is tried instead.
    bool taken = false;
    if (FILE* f = host::create_new_file(path, &taken)) {
      std::fclose(f);
      return 0;
    }
    if (!taken) break;  // not a name clash: the directory is unusable
  }
  set_error(REG_ERR_STORAGE, "cannot create upload file: %s", path);
  return -1;
}

namespace {

// The digest of the held upload's bytes: its kept state's when that
// agrees with the digest expected, else the file hashed again, whole.
bool upload_digest(FILE* f, const char* upload_uuid, const char* expected_digest, std::string* computed) {
  const DigestAlg alg = digest_alg(expected_digest);
  if (digest_from_state(upload_uuid, f, alg, computed) && *computed == expected_digest) return true;
  return DigestHasher::of_stream(alg, f, computed);
}

}  // namespace

int finish_held(LockedFile* held, const char* upload_uuid, const char* upload, const char* expected_digest,
                char* out_digest) {
  FILE* f = held->get();
  std::string computed;
  if (!upload_digest(f, upload_uuid, expected_digest, &computed)) {
    set_error(REG_ERR_STORAGE, "hashing upload failed");
    return -1;
  }
  host::FileStamp stamp;
  if (!host::stamp_of(f, &stamp)) {
    set_error(REG_ERR_STORAGE, "hashing upload failed");
    return -1;
  }
  // Whatever happens next, the upload file is either gone or a blob.
  drop_upload_state(upload_uuid);
  if (computed != expected_digest) {
    set_error(REG_ERR_DIGEST, "digest mismatch: expected %s, got %s", expected_digest, computed.c_str());
    remove_file(upload);
    return -1;
  }
  char blob[kPathCap];
  blob_path_for_digest(expected_digest, blob, sizeof blob);
  blob_present_or_restored(expected_digest, blob);
  if (file_size(blob) == stamp.size) {
    // The same content is stored already: the upload is not needed.
    remove_file(upload);
  } else {
    char prefix[kPathCap];
    blob_prefix_dir(expected_digest, prefix, sizeof prefix);
    if (mkdirs(prefix) != 0) {
      set_error(REG_ERR_STORAGE, "mkdirs blob dir failed");
      return -1;
    }
    // The bytes are on the disk before the blob's name leads to them.
    if (!host::sync_file(f)) {
      set_error(REG_ERR_STORAGE, "cannot flush upload: %s", upload);
      return -1;
    }
    // The verified file becomes the blob in one step: a blob path never
    // holds a partial file. A stored file of another size is not this
    // content (it rotted): the verified bytes take its place.
    const bool renamed =
        file_exists(blob) ? host::rename_replace(upload, blob) : host::rename_file(upload, blob);
    if (!renamed) {
      set_error(REG_ERR_STORAGE, "rename to CAS failed: %s", blob);
      return -1;
    }
    if (!host::sync_parent(blob)) {
      set_error(REG_ERR_STORAGE, "cannot flush blob directory: %s", blob);
      return -1;
    }
  }
  // Young for garbage collection from now on, whenever its bytes came:
  // the manifest that needs it is yet to be pushed.
  host::touch_file(blob);
  std::snprintf(out_digest, std::strlen(expected_digest) + 1, "%s", expected_digest);
  return 0;
}

int append_held(LockedFile* held, const char* upload_uuid, DigestAlg alg, FILE* from, int64_t length, int64_t at,
                int64_t* out_size, int64_t exact) {
  FILE* f = held->get();
  if (std::fseek(f, 0, SEEK_END) != 0) {
    set_error(REG_ERR_STORAGE, "write error appending chunk");
    return -1;
  }
  const int64_t size = std::ftell(f);
  if (at >= 0 && at != size) {
    set_error(REG_ERR_RANGE, "chunk starts at %lld, the upload holds %lld bytes", static_cast<long long>(at),
              static_cast<long long>(size));
    return -1;
  }
  UploadDigest digest(upload_uuid, f, alg);
  // The body passes through one fixed buffer: memory does not grow with it.
  static char buf[1 << 16];
  int64_t copied = 0;
  bool write_failed = false;
  // Held to a count, one byte more than it is read at most: that byte
  // alone tells a longer body.
  if (exact >= 0) length = exact + 1;
  while (length < 0 || copied < length) {
    const size_t want =
        length < 0 || length - copied > static_cast<int64_t>(sizeof buf) ? sizeof buf : static_cast<size_t>(length - copied);
    const size_t got = std::fread(buf, 1, want, from);
    if (got == 0) break;
    if (!host::write_bytes(f, buf, got)) {
      write_failed = true;
      break;
    }
    digest.take(buf, got);
    copied += static_cast<int64_t>(got);
  }
  const bool wrong_count = exact >= 0 && copied != exact;
  const bool short_body = exact < 0 && length >= 0 && copied < length;
  write_failed = write_failed || std::fflush(f) != 0 || std::ferror(f) != 0;
  if (write_failed || short_body || wrong_count || std::ferror(from) != 0) {
    // The failure is worded before the clean-up, which makes calls of its
    // own: the system's error is the write's ("No space left on device").
    if (write_failed) set_error(REG_ERR_STORAGE, "write error appending chunk");
    // Nothing of a body that did not arrive whole stays in the upload.
    const bool undone = host::truncate_file(f, size);
    if (!write_failed && !undone) set_error(REG_ERR_STORAGE, "write error appending chunk");
    digest.keep(f, false);
    if (!write_failed && undone && wrong_count && std::ferror(from) == 0) {
      set_error(REG_ERR_RANGE, "the chunk holds %s bytes, its range names %lld", copied > exact ? "more" : "fewer",
                static_cast<long long>(exact));
    } else if (!write_failed && undone) {
      set_error(REG_ERR_INVALID, "request body ended after %lld of %lld bytes", static_cast<long long>(copied),
                static_cast<long long>(length));
    }
    return -1;
  }
  digest.keep(f, true);
  if (!held->release()) {
    set_error(REG_ERR_STORAGE, "write error appending chunk");
    return -1;
  }
  if (out_size != nullptr) *out_size = size + copied;
  return 0;
}

}  // namespace storage

using namespace storage;

extern "C" {

int reg_blob_start_upload(char* out_upload_uuid) {
  if (out_upload_uuid == nullptr) {
    set_error(REG_ERR_INVALID, "out_upload_uuid is NULL");
    return -1;
  }
  if (require_ready() != 0) return -1;
  return start_upload(out_upload_uuid);
}

int reg_blob_append_chunk(const char* upload_uuid, const void* data, size_t len) {
  if (upload_uuid == nullptr || data == nullptr) {
    set_error(REG_ERR_INVALID, "upload_uuid/data is NULL");
    return -1;
  }
  char path[kPathCap];
  if (checked_upload_path(upload_uuid, path, sizeof path) != 0) return -1;
  LockedFile upload;
  if (hold_upload(upload_uuid, path, &upload) != 0) return -1;
  FILE* f = upload.get();
  UploadDigest digest(upload_uuid, f, DigestAlg::kSha256);
  bool failed = std::fseek(f, 0, SEEK_END) != 0;
  const size_t written = !failed && host::write_bytes(f, data, len) ? len : 0;
  failed = failed || written < len || std::fflush(f) != 0 || std::ferror(f) != 0;
  if (failed) {
    // What part of the chunk reached the file is not known: the finish
    // hashes the file. The failure keeps the write's error.
    host::KeptError kept;
    drop_upload_state(upload_uuid);
    upload.release();
  } else {
    digest.take(data, written);
    digest.keep(f, true);
    // Bytes still buffered at the close are part of this write.
    failed = !upload.release();
  }
  if (failed) {
    set_error(REG_ERR_STORAGE, "write error appending chunk");
    return -1;
  }
  return 0;
}

int reg_blob_finish_upload(const char* upload_uuid, const char* expected_digest, char* out_digest) {
  if (upload_uuid == nullptr || expected_digest == nullptr || out_digest == nullptr) {
    set_error(REG_ERR_INVALID, "NULL argument");
    return -1;
  }
  char upload[kPathCap];
  if (checked_upload_path(upload_uuid, upload, sizeof upload) != 0) return -1;
  if (!digest_valid(expected_digest)) {
    set_error(REG_ERR_INVALID, "invalid expected digest");
    return -1;
  }
  LockedFile held;
  if (hold_upload(upload_uuid, upload, &held) != 0) return -1;
  return finish_held(&held, upload_uuid, upload, expected_digest, out_digest);
}

int reg_blob_cancel_upload(const char* upload_uuid) {
  if (upload_uuid == nullptr) {
    set_error(REG_ERR_INVALID, "upload_uuid is NULL");
    return -1;
  }
  char path[kPathCap];
  if (checked_upload_path(upload_uuid, path, sizeof path) != 0) return -1;
  LockedFile held;
  const Lock lock = lock_existing(path, &held);
  if (lock == Lock::kGone) return 0;
  if (lock == Lock::kHeld) drop_upload_state(upload_uuid);
  if (lock == Lock::kFailed || remove_file(path) != 0) {
    set_error(REG_ERR_STORAGE, "cancel failed");
    return -1;
  }
  return 0;
}

}  // extern "C"
