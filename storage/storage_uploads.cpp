// Chunked blob uploads, verified by their digest and moved into the blob
// store.
//
// Every operation on a pending upload works on the upload file opened and
// locked (held), after checking that the path still names that file. A
// request holds the upload once for all it does: the checks of its name,
// identifier and mark are made once, and the digest kept as the bytes
// arrive stays in the hold from the append to the finish. A finish holds
// the lock from its hash to the rename into the blob store, so no append
// lands in the bytes it hashed; an append that opened the file before the
// finish took it finds, once it has the lock, that the upload is gone, and
// writes nothing. A blob therefore always holds exactly the bytes that were
// hashed, whatever runs beside it. Appends never create the file, so an
// upload that was finished or cancelled stays gone.
#include <cstdio>
#include <cstring>
#include <memory>
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
#include "storage/storage_uploads.h"

namespace storage {
namespace {

// Identifiers tried before start gives up on taken names. With identifiers
// from the random source a clash is all but impossible; the bound keeps a
// directory that refuses every name from holding the caller forever.
constexpr int kStartAttempts = 64;
// How much of a body is written behind at a time: large enough that the
// disk gets long writes, small enough that the flush at the end of a
// request has at most two of these to wait for.
constexpr int64_t kWriteBehindWindow = 8 << 20;

class StreamSource : public ByteSource {
 public:
  explicit StreamSource(FILE* f) : f_(f) {}
  size_t read(char* buf, size_t cap) override { return std::fread(buf, 1, cap, f_); }
  bool failed() const override { return std::ferror(f_) != 0; }

 private:
  FILE* f_;
};

class MemorySource : public ByteSource {
 public:
  MemorySource(const void* data, size_t len) : p_(static_cast<const char*>(data)), left_(len) {}
  size_t read(char* buf, size_t cap) override {
    const size_t n = cap < left_ ? cap : left_;
    std::memcpy(buf, p_, n);
    p_ += n;
    left_ -= n;
    return n;
  }
  bool failed() const override { return false; }

 private:
  const char* p_;
  size_t left_;
};

int upload_gone(const reg_upload* h, reg_status* st) {
  return fail(st, REG_ERR_NOT_FOUND, "upload not found: %s", h->uuid.c_str());
}

// The checks a hold makes of its upload's repository: the name, and the
// repository's mark on the upload, which holds the algorithm its digest
// was declared to have, if any.
int check_mark(reg_upload* h, reg_status* st) {
  if (!repo_upload_mark_path(h->repo.c_str(), h->uuid.c_str(), h->mark, sizeof h->mark)) {
    return fail(st, REG_ERR_INVALID, "path too long");
  }
  char declared[16] = "";
  size_t len = 0;
  if (read_file(h->mark, declared, sizeof declared, &len) != 0) {
    if (file_exists(h->mark)) return fail(st, REG_ERR_STORAGE, "cannot read the mark of upload %s", h->uuid.c_str());
    return upload_gone(h, st);
  }
  h->declared = len > 0 ? digest_alg_named(declared) : DigestAlg::kNone;
  // Hashed as it arrives by the algorithm it was declared for; an upload
  // declared for none is the registry's own, SHA-256.
  h->alg = h->declared == DigestAlg::kNone ? DigestAlg::kSha256 : h->declared;
  return 0;
}

// The digest of the held upload's bytes: the hold's running one when it
// covers the file and agrees with the digest expected, else the file
// hashed again, whole.
bool upload_digest(reg_upload* h, DigestAlg alg, const char* expected_digest, std::string* computed) {
  FILE* f = h->file.get();
  if (alg == h->alg) {
    h->digest.take_up(f);
    if (h->digest.digest_of(h->size, computed) && *computed == expected_digest) return true;
  }
  return DigestHasher::of_stream(alg, f, computed);
}

// The upload is no longer held: the lock goes, and with the upload file
// gone, so does the repository's mark on it.
void let_go(reg_upload* h) {
  h->file.release();
  h->size = -1;
  if (!h->repo.empty() && !file_exists(h->path)) remove_file(h->mark);
}

// Moves the verified upload into the blob store as expected_digest, on
// stable storage before it returns. Its directory is flushed at once, not
// held for the link: until then a failure could lose the upload's bytes
// with the blob, where a failure before the rename keeps them.
int store_blob(reg_upload* h, const char* expected_digest, int64_t size, reg_status* st) {
  char blob[kPathCap];
  blob_path_for_digest(expected_digest, blob, sizeof blob);
  blob_present_or_restored(expected_digest, blob);
  if (file_size(blob) == size) {
    // The same content is stored already: the upload is not needed.
    remove_file(h->path);
  } else {
    char prefix[kPathCap];
    blob_prefix_dir(expected_digest, prefix, sizeof prefix);
    if (mkdirs(prefix) != 0) return fail(st, REG_ERR_STORAGE, "mkdirs blob dir failed");
    // The bytes are on the disk before the blob's name leads to them (the
    // hold's last append may have put them there already).
    if (!h->digest.is_synced() && !host::sync_file(h->file.get())) {
      return fail(st, REG_ERR_STORAGE, "cannot flush upload: %s", h->path);
    }
    // The verified file becomes the blob in one step: a blob path never
    // holds a partial file. A stored file of another size is not this
    // content (it rotted): the verified bytes take its place.
    const bool renamed = file_exists(blob) ? host::rename_replace(h->path, blob) : host::rename_file(h->path, blob);
    if (!renamed) return fail(st, REG_ERR_STORAGE, "rename to CAS failed: %s", blob);
    if (!host::sync_parent(blob)) return fail(st, REG_ERR_STORAGE, "cannot flush blob directory: %s", blob);
  }
  // Young for garbage collection from now on, whenever its bytes came:
  // the manifest that needs it is yet to be pushed.
  host::touch_file(blob);
  return 0;
}

}  // namespace

int start_upload(char* out_upload_uuid, reg_status* st) {
  char path[kPathCap];
  for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
    if (!uuid_make(out_upload_uuid)) {
      return fail(st, REG_ERR_STORAGE, "cannot draw an upload identifier from the system's random source");
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
  return fail(st, REG_ERR_STORAGE, "cannot create upload file: %s", path);
}

reg_upload* hold_upload(const char* repo, const char* upload_uuid, reg_status* st) {
  if (upload_uuid == nullptr) {
    fail(st, REG_ERR_INVALID, "NULL argument");
    return nullptr;
  }
  if (repo != nullptr ? check_repo(repo, nullptr, st) != 0 : require_ready(st) != 0) return nullptr;
  if (!uuid_valid(upload_uuid)) {
    fail(st, REG_ERR_INVALID, "invalid upload uuid");
    return nullptr;
  }
  auto h = std::make_unique<reg_upload>(upload_uuid, DigestAlg::kSha256);
  upload_path_for_uuid(upload_uuid, h->path, sizeof h->path);
  if (repo != nullptr) {
    h->repo = repo;
    if (check_mark(h.get(), st) != 0) return nullptr;
    h->digest = RunningDigest(upload_uuid, h->alg);
  }
  const Lock lock = lock_existing(h->path, &h->file);
  if (lock == Lock::kGone) {
    upload_gone(h.get(), st);
    return nullptr;
  }
  if (lock == Lock::kFailed) {
    fail(st, REG_ERR_STORAGE, "cannot lock upload: %s", upload_uuid);
    return nullptr;
  }
  // Unbuffered: bodies pass through the hold's own buffer, and a seek
  // reads nothing to fill one.
  FILE* f = h->file.get();
  std::setvbuf(f, nullptr, _IONBF, 0);
  host::FileStamp stamp;
  if (!host::stamp_of(f, &stamp)) {
    fail(st, REG_ERR_STORAGE, "cannot read upload: %s", upload_uuid);
    return nullptr;
  }
  h->size = stamp.size;
  return h.release();
}

int append_held(reg_upload* h, ByteSource* from, int64_t length, int64_t at, bool exact, reg_status* st) {
  if (h->size < 0) return upload_gone(h, st);
  if (exact && length < 0) return fail(st, REG_ERR_INVALID, "negative chunk length");
  // An empty body with no range asks for nothing: nothing is touched.
  if (length == 0 && at < 0 && !exact) return 0;
  FILE* f = h->file.get();
  if (std::fseek(f, 0, SEEK_END) != 0) return fail(st, REG_ERR_STORAGE, "write error appending chunk");
  const int64_t size = std::ftell(f);
  if (at >= 0 && at != size) {
    return fail(st, REG_ERR_RANGE, "chunk starts at %lld, the upload holds %lld bytes", static_cast<long long>(at),
                static_cast<long long>(size));
  }
  h->digest.take_up(f);
  h->digest.begin();
  int64_t copied = 0;
  // The bytes already on their way to the disk end here: a long body is
  // written behind as it arrives, so the flush before the answer waits
  // for little.
  int64_t behind = size;
  bool write_failed = false;
  // Held to a count, one byte more than it is read at most: that byte
  // alone tells a longer body.
  const int64_t want_total = exact ? length + 1 : length;
  while (want_total < 0 || copied < want_total) {
    const int64_t left = want_total - copied;
    const size_t want = want_total < 0 || left > static_cast<int64_t>(sizeof h->buf) ? sizeof h->buf
                                                                                       : static_cast<size_t>(left);
    const size_t got = from->read(h->buf, want);
    if (got == 0) break;
    if (!host::write_bytes(f, h->buf, got)) {
      write_failed = true;
      break;
    }
    h->digest.take(h->buf, got);
    copied += static_cast<int64_t>(got);
    if (size + copied - behind >= kWriteBehindWindow) {
      host::write_behind(f, behind, kWriteBehindWindow);
      behind += kWriteBehindWindow;
    }
  }
  const bool wrong_count = exact && copied != length;
  const bool short_body = !exact && length >= 0 && copied < length;
  write_failed = write_failed || std::fflush(f) != 0 || std::ferror(f) != 0;
  // Bytes that a state will stand for reach the disk first; a flush that
  // fails is a write that failed.
  if (!write_failed && !short_body && !wrong_count && !from->failed() && h->digest.live()) {
    write_failed = !host::sync_file(f);
    if (!write_failed) h->digest.mark_synced();
  }
  if (write_failed || short_body || wrong_count || from->failed()) {
    // The failure is worded before the clean-up, which makes calls of its
    // own: the system's error is the write's ("No space left on device").
    if (write_failed) fail(st, REG_ERR_STORAGE, "write error appending chunk");
    // Nothing of a body that did not arrive whole stays in the upload.
    const bool undone = host::truncate_file(f, size);
    h->digest.undo();
    if (!write_failed && !undone) return fail(st, REG_ERR_STORAGE, "write error appending chunk");
    if (write_failed) return -1;
    if (wrong_count && !from->failed()) {
      return fail(st, REG_ERR_RANGE, "the chunk holds %s bytes, its range names %lld", copied > length ? "more" : "fewer",
                  static_cast<long long>(length));
    }
    return fail(st, REG_ERR_INVALID, "request body ended after %lld of %lld bytes", static_cast<long long>(copied),
                static_cast<long long>(length));
  }
  h->size = size + copied;
  return 0;
}

int finish_held(reg_upload* h, const char* expected_digest, char* out_digest, reg_quota* quota, reg_status* st) {
  if (expected_digest == nullptr || out_digest == nullptr) return fail(st, REG_ERR_INVALID, "NULL argument");
  if (h->size < 0) return upload_gone(h, st);
  // An upload of no repository is the first operations' own: SHA-256.
  const DigestAlg alg = h->repo.empty() ? (digest_valid(expected_digest) ? DigestAlg::kSha256 : DigestAlg::kNone)
                                        : digest_alg(expected_digest);
  if (alg == DigestAlg::kNone) return fail(st, REG_ERR_INVALID, "invalid expected digest");
  // An upload started for one algorithm finishes with a digest of it.
  if (h->declared != DigestAlg::kNone && h->declared != alg) {
    return fail(st, REG_ERR_INVALID, "upload declared for %s, finished with %s", digest_alg_name(h->declared),
                expected_digest);
  }
  std::string computed;
  if (!upload_digest(h, alg, expected_digest, &computed)) {
    fail(st, REG_ERR_STORAGE, "hashing upload failed");
    let_go(h);
    return -1;
  }
  // Whatever happens next, the upload file is either gone or a blob.
  drop_upload_state(h->uuid.c_str());
  // Held from the quota's check to the link, so that no other link of the
  // repository is made between them.
  LockedFile repo_lock;
  int rc = 0;
  if (computed != expected_digest) {
    rc = fail(st, REG_ERR_DIGEST, "digest mismatch: expected %s, got %s", expected_digest, computed.c_str());
    remove_file(h->path);
  } else if (!h->repo.empty() && admit_blob(h->repo.c_str(), expected_digest, h->size, quota, &repo_lock, st) != 0) {
    // Refused, or not known to fit: the bytes are not kept.
    rc = -1;
    remove_file(h->path);
  } else {
    rc = store_blob(h, expected_digest, h->size, st);
  }
  let_go(h);
  if (rc != 0) return -1;
  // The repository holds the blob from here on.
  if (!h->repo.empty() && link_blob(h->repo.c_str(), expected_digest, st) != 0) return -1;
  std::snprintf(out_digest, std::strlen(expected_digest) + 1, "%s", expected_digest);
  return 0;
}

int cancel_held(reg_upload* h, reg_status* st) {
  if (h->size < 0) return upload_gone(h, st);
  drop_upload_state(h->uuid.c_str());
  const bool removed = remove_file(h->path) == 0;
  // The failure is worded before the clean-up, which makes calls of its own.
  if (!removed) fail(st, REG_ERR_STORAGE, "cancel failed");
  let_go(h);
  return removed ? 0 : -1;
}

void release_upload(reg_upload* h) {
  if (h == nullptr) return;
  if (h->size >= 0) h->digest.keep(h->file.get());
  delete h;
}

}  // namespace storage

using namespace storage;

extern "C" {

int reg_blob_start_upload(char* out_upload_uuid) {
  PublishedStatus st;
  if (out_upload_uuid == nullptr) return fail(st, REG_ERR_INVALID, "out_upload_uuid is NULL");
  if (require_ready(st) != 0) return -1;
  return start_upload(out_upload_uuid, st);
}

int reg_blob_append_chunk(const char* upload_uuid, const void* data, size_t len) {
  PublishedStatus st;
  if (upload_uuid == nullptr || data == nullptr) return fail(st, REG_ERR_INVALID, "upload_uuid/data is NULL");
  reg_upload* h = hold_upload(nullptr, upload_uuid, st);
  if (h == nullptr) return -1;
  MemorySource from(data, len);
  const int rc = append_held(h, &from, static_cast<int64_t>(len), -1, false, st);
  release_upload(h);
  return rc;
}

int reg_blob_finish_upload(const char* upload_uuid, const char* expected_digest, char* out_digest) {
  PublishedStatus st;
  if (upload_uuid == nullptr || expected_digest == nullptr || out_digest == nullptr) {
    return fail(st, REG_ERR_INVALID, "NULL argument");
  }
  if (require_ready(st) != 0) return -1;
  // The forms of both names are checked before the upload is looked at.
  if (!uuid_valid(upload_uuid)) return fail(st, REG_ERR_INVALID, "invalid upload uuid");
  if (!digest_valid(expected_digest)) return fail(st, REG_ERR_INVALID, "invalid expected digest");
  reg_upload* h = hold_upload(nullptr, upload_uuid, st);
  if (h == nullptr) return -1;
  const int rc = finish_held(h, expected_digest, out_digest, nullptr, st);
  release_upload(h);
  return rc;
}

int reg_blob_cancel_upload(const char* upload_uuid) {
  PublishedStatus st;
  if (upload_uuid == nullptr) return fail(st, REG_ERR_INVALID, "upload_uuid is NULL");
  reg_upload* h = hold_upload(nullptr, upload_uuid, st);
  if (h == nullptr) {
    // An upload that is not there counts as cancelled.
    if (st.get()->kind == REG_ERR_NOT_FOUND) {
      *st.get() = reg_status{};
      return 0;
    }
    if (st.get()->kind == REG_ERR_STORAGE && s_ready) fail(st, REG_ERR_STORAGE, "cancel failed");
    return -1;
  }
  const int rc = cancel_held(h, st);
  release_upload(h);
  return rc;
}

int reg_upload_start(const char* repo, const char* algorithm, char* out_upload_uuid, reg_status* caller) {
  CallStatus st(caller);
  if (out_upload_uuid == nullptr) return fail(st, REG_ERR_INVALID, "NULL argument");
  if (check_repo(repo, nullptr, st) != 0) return -1;
  const DigestAlg alg = algorithm == nullptr ? DigestAlg::kNone : digest_alg_named(algorithm);
  if (algorithm != nullptr && alg == DigestAlg::kNone) {
    return fail(st, REG_ERR_INVALID, "unsupported digest algorithm: %s", algorithm);
  }
  if (start_upload(out_upload_uuid, st) != 0) return -1;
  // The mark makes the upload the repository's, and holds the algorithm
  // its digest was declared to have, if any. An upload without one (the
  // process ended between the two) belongs to nobody and expires.
  char mark[kPathCap];
  char dir[kPathCap];
  if (!repo_upload_mark_path(repo, out_upload_uuid, mark, sizeof mark) ||
      !repo_uploads_dir(repo, dir, sizeof dir)) {
    return fail(st, REG_ERR_INVALID, "path too long");
  }
  const char* declared = alg == DigestAlg::kNone ? "" : digest_alg_name(alg);
  if (note_repository(repo) != 0 || mkdirs(dir) != 0 || write_file(mark, declared, std::strlen(declared)) != 0) {
    fail(st, REG_ERR_STORAGE, "cannot mark upload: %s@%s", repo, out_upload_uuid);
    char upload[kPathCap];
    upload_path_for_uuid(out_upload_uuid, upload, sizeof upload);
    host::remove_file(upload);
    return -1;
  }
  return 0;
}

reg_upload* reg_upload_hold(const char* repo, const char* upload_uuid, reg_status* caller) {
  CallStatus st(caller);
  if (repo == nullptr) {
    fail(st, REG_ERR_INVALID, "NULL argument");
    return nullptr;
  }
  return hold_upload(repo, upload_uuid, st);
}

int64_t reg_upload_held_size(const reg_upload* upload) { return upload != nullptr ? upload->size : -1; }

int reg_upload_held_append(reg_upload* upload, FILE* from, int64_t length, int64_t at, int exact,
                           reg_status* caller) {
  CallStatus st(caller);
  if (upload == nullptr || from == nullptr) return fail(st, REG_ERR_INVALID, "NULL argument");
  StreamSource source(from);
  return append_held(upload, &source, length, at, exact != 0, st);
}

int reg_upload_held_finish(reg_upload* upload, const char* expected_digest, char* out_digest, reg_status* caller) {
  return reg_upload_held_finish_within(upload, expected_digest, out_digest, nullptr, caller);
}

int reg_upload_held_finish_within(reg_upload* upload, const char* expected_digest, char* out_digest,
                                  reg_quota* quota, reg_status* caller) {
  CallStatus st(caller);
  if (upload == nullptr) return fail(st, REG_ERR_INVALID, "NULL argument");
  return finish_held(upload, expected_digest, out_digest, quota, st);
}

int reg_upload_held_cancel(reg_upload* upload, reg_status* caller) {
  CallStatus st(caller);
  if (upload == nullptr) return fail(st, REG_ERR_INVALID, "NULL argument");
  return cancel_held(upload, st);
}

void reg_upload_release(reg_upload* upload) { release_upload(upload); }

}  // extern "C"
