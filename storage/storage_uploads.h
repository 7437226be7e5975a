// Uploads (storage_uploads.cpp) and the digest kept as their bytes
// arrive (storage_upload_digest.cpp).
#ifndef REGISTRY_STORAGE_UPLOADS_H
#define REGISTRY_STORAGE_UPLOADS_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "storage/storage_digest.h"
#include "storage/storage_locks.h"

namespace storage {

// Hashes what an append writes to an upload, taking up where the state
// kept for the upload left off. Used under the upload's lock.
class UploadDigest {
 public:
  // Takes up the kept state when it describes the upload file as it is
  // now; without one (and with bytes in the file) it hashes nothing and
  // keeps no state.
  UploadDigest(const char* uuid, FILE* upload, DigestAlg alg);
  void take(const void* data, size_t len);
  // Keeps the state for the upload file as it is now: with appended, what
  // was taken is in the file; without, the file holds what it held before
  // (a body that did not arrive whole was cut off again).
  void keep(FILE* upload, bool appended);

 private:
  std::string uuid_;
  DigestHasher hasher_;
  DigestHasher before_;
  bool live_ = false;
};
// The digest of the held upload's bytes by its kept state, when there is
// one of that algorithm that describes the file as it is now.
bool digest_from_state(const char* uuid, FILE* upload, DigestAlg alg, std::string* out);
// Removes the upload's state; before the upload file goes, so that no
// state outlives its upload.
void drop_upload_state(const char* uuid);

// require_ready, the identifier's form, then the upload file's path.
int checked_upload_path(const char* upload_uuid, char* path, size_t cap);
// Opens and locks the upload at path (not found, or a lock failure, set
// their messages).
int hold_upload(const char* upload_uuid, const char* path, LockedFile* held);
// A new upload file under a fresh identifier.
int start_upload(char* out_upload_uuid);
// Verifies the held upload and moves it into the blob store, on stable
// storage before it returns.
int finish_held(LockedFile* held, const char* upload_uuid, const char* upload, const char* expected_digest,
                char* out_digest);
// Copies length bytes (< 0: to the end of the stream) from `from` to the
// end of the held upload, which must then hold exactly `at` bytes (< 0:
// anywhere), hashing them by alg as they go. A body that does not arrive
// whole leaves the upload as it was. With `exact` >= 0 the stream is read
// to its end and must hold exactly that many bytes (REG_ERR_RANGE, and the
// upload as it was, otherwise). Releases the upload; *out_size gets its
// new size.
int append_held(LockedFile* held, const char* upload_uuid, DigestAlg alg, FILE* from, int64_t length, int64_t at,
                int64_t* out_size, int64_t exact = -1);

}  // namespace storage

#endif
