// Uploads (storage_uploads.cpp) and the digest kept as their bytes
// arrive (storage_upload_digest.cpp).
#ifndef REGISTRY_STORAGE_UPLOADS_H
#define REGISTRY_STORAGE_UPLOADS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "storage/reg_storage.h"
#include "storage/storage_digest.h"
#include "storage/storage_fs.h"
#include "storage/storage_locks.h"

namespace storage {

// The digest of a held upload's bytes so far, kept as they arrive.
//
// Taken up, once per hold, from the state the previous holder kept for
// the upload (upload-digests/<uuid>) when that state describes the upload
// file as it is now; an empty file needs none. Appends then hash what they
// write; the hold's finish ends the hash here, without reading the state
// back; the hold's end keeps the state for the next holder, when it
// changed. Used under the upload's lock.
class RunningDigest {
 public:
  RunningDigest(const char* uuid, DigestAlg alg);
  // Takes up the kept state of the upload file f (the first call alone
  // looks); without one that describes f as it is, and with bytes in f,
  // nothing is hashed and the finish reads the file.
  void take_up(FILE* f);
  // An append begins: what undo goes back to.
  void begin();
  void take(const void* data, size_t len);
  // The append's bytes were cut off again: back to where it began.
  void undo();
  // Whether a state will be kept (what the hash covers is known).
  bool live() const { return state_ == State::kLive; }
  // The upload's bytes as they are now are on stable storage.
  void mark_synced() { synced_ = true; }
  bool is_synced() const { return synced_; }
  // "<alg>:<hex>" of the first size bytes of the upload, when the hash
  // covers exactly them.
  bool digest_of(int64_t size, std::string* out) const;
  // Keeps the state for the next holder when it changed under this hold:
  // the upload's bytes on stable storage first, then the state (which can
  // be made again, so it is not flushed); no state when there is none to
  // keep.
  void keep(FILE* f);

 private:
  enum class State { kUnknown, kLive, kNone };
  std::string uuid_;
  DigestHasher hasher_;
  DigestHasher before_;
  State state_ = State::kUnknown;
  bool changed_ = false;
  bool synced_ = false;
};

// Removes the upload's state; before the upload file goes, so that no
// state outlives its upload.
void drop_upload_state(const char* uuid);

}  // namespace storage

// A held upload (reg_storage.h): what was checked once, the lock, and the
// digest so far.
struct reg_upload {
  reg_upload(const char* id, storage::DigestAlg hashed_as)
      : uuid(id), digest(id, hashed_as), alg(hashed_as) {}

  std::string repo;  // empty for an upload of no repository (the reg_blob_* family)
  std::string uuid;
  char path[storage::kPathCap] = {};  // the upload file
  char mark[storage::kPathCap] = {};  // the repository's mark on it
  storage::DigestAlg declared = storage::DigestAlg::kNone;  // what the finish must give, if anything
  storage::LockedFile file;  // open and locked while held
  int64_t size = -1;         // -1 once no longer held
  storage::RunningDigest digest;
  storage::DigestAlg alg;  // what appends hash by
  // Request bodies pass through this one buffer: memory does not grow
  // with them, and no two holds share it.
  char buf[1 << 16];
};

namespace storage {

// Where an append's bytes come from: a stream, or memory.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Up to cap bytes into buf; 0 at the end (or on a failure).
  virtual size_t read(char* buf, size_t cap) = 0;
  virtual bool failed() const = 0;
};

// Holds the upload upload_uuid: of repo, checked against its mark, or,
// with repo null, of no repository (the reg_blob_* family, hashed by
// SHA-256). Null on failure.
reg_upload* hold_upload(const char* repo, const char* upload_uuid, reg_status* st);
// The one append: length, at and exact as reg_upload_held_append.
int append_held(reg_upload* h, ByteSource* from, int64_t length, int64_t at, bool exact, reg_status* st);
// The one finish: as reg_upload_held_finish_within (quota null: none); a
// held upload of no repository takes SHA-256 digests alone and links
// nothing.
int finish_held(reg_upload* h, const char* expected_digest, char* out_digest, reg_quota* quota, reg_status* st);
// The one cancel: as reg_upload_held_cancel.
int cancel_held(reg_upload* h, reg_status* st);
// Ends the hold: the digest kept for the next holder, the lock let go, the
// handle freed.
void release_upload(reg_upload* h);
// A new upload file under a fresh identifier.
int start_upload(char* out_upload_uuid, reg_status* st);

}  // namespace storage

#endif
