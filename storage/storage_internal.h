// Internals shared by the storage engine's source files: process-wide
// state, the error convention, file-system primitives, listings and text
// helpers. Not part of the public interface.
#ifndef REGISTRY_STORAGE_INTERNAL_H
#define REGISTRY_STORAGE_INTERNAL_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/host.h"
#include "storage/reg_storage.h"
#include "storage/storage_layout.h"

namespace storage {

// ---- Process-wide state (storage_core.cpp) -------------------------------
inline constexpr size_t kRootCap = REG_ROOT_MAX + 1;
inline constexpr size_t kErrorCap = 1024;
// The largest manifest the engine takes (4 MiB, as the common registries),
// and the shared result buffer that holds one with its NUL. Pages of
// untouched static memory cost nothing.
inline constexpr size_t kManifestMax = 4u << 20;
inline constexpr size_t kResultCap = kManifestMax + 1;
inline constexpr size_t kPathCap = host::kPathMax;

extern char s_root[kRootCap];
extern int s_ready;
extern char s_error[kErrorCap];
extern char s_result[kResultCap];

// Formats the message of the failure being reported into s_error and
// records its kind; a storage failure also keeps the system's error text.
void set_error(reg_error_kind kind, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// 0 when the engine is ready; else -1 with the "not initialized" message.
int require_ready();

// ---- File-system primitives (storage_fs.cpp) ------------------------------
enum class Scan { kOk, kMissing, kFailed };

// Creates the directory and its missing parents; each level it creates is
// on stable storage (its parent flushed) before it returns.
int mkdirs(const char* path);
int file_exists(const char* path);  // a regular file
int dir_exists(const char* path);
// The size of a regular file; -1 for anything else or when absent.
int64_t file_size(const char* path);
int read_file(const char* path, char* buf, size_t cap, size_t* out_len);
// How far a write goes before it returns. kStable: the file's bytes, and
// the name that leads to them, are on stable storage (the file flushed
// before its rename, its directory after), so that a power cut after an
// answer loses nothing the answer promised. kCache: for what can be made
// again (it may be lost, never seen in part).
enum class Durability { kStable, kCache };
// Replaces the file at path with exactly len bytes, atomically: a reader
// sees either the old content or the new, never a part. The temporary
// file has a name of this process's own, so writers never meet.
int write_file(const char* path, const void* data, size_t len, Durability d = Durability::kStable);
// As write_file, for a writer that holds the lock that guards path: the
// temporary file has one fixed name, so what a killed writer left there is
// taken over by the next write of the same file.
int write_file_locked(const char* path, const void* data, size_t len, Durability d = Durability::kStable);
// write_file_locked in two steps, for writes that must all happen or none:
// stage_file_locked writes the bytes, on stable storage, under the fixed
// temporary name beside path; commit_staged renames them into place and
// flushes the directory; discard_staged takes them away unused.
struct StagedFile {
  std::string tmp;
  std::string path;
};
int stage_file_locked(const char* path, const void* data, size_t len, StagedFile* out);
int commit_staged(const StagedFile& staged);
void discard_staged(const StagedFile& staged);
int remove_file(const char* path);
// Opens a directory for enumeration; kMissing when nothing is there,
// kFailed when something is there that cannot be read as one.
Scan open_dir(const char* path, host::DirStream* ds);
// A name for a temporary file beside path (attempt tells names apart);
// false when it does not fit cap.
bool temp_name_for(const char* path, unsigned attempt, char* out, size_t cap);
// The fixed temporary name of write_file_locked; false when it does not fit.
bool locked_temp_name_for(const char* path, char* out, size_t cap);

inline constexpr int kListCap = 512;
inline constexpr size_t kNameCap = 512;

struct dir_entry {
  char name[kNameCap];
  int32_t is_dir;
};

struct dir_listing {
  dir_entry entries[kListCap];
  int32_t count;
  int32_t truncated;
};

// Fills the listing in enumeration order, at most 512 entries.
int list_dir(const char* path, dir_listing* out);

// Every entry of a directory ("." and ".." left out), in the file
// system's order, however many there are.
struct Entry {
  std::string name;
  host::Kind kind;
};
Scan scan_dir(const char* path, std::vector<Entry>* out);

// ---- Text (storage_text.cpp) ----------------------------------------------
size_t json_escape_append(char* dst, size_t cap, const char* text);
// Length of the full escaped form of text, as json_escape_append writes it.
size_t json_escaped_len(const char* text);
int str_cmp(const char* a, const char* b);
void sort_str(char** items, int count);

// ---- Digests and upload identifiers (storage_digest.cpp) ------------------
inline constexpr size_t kDigestCap = 72;      // "sha256:" + 64 hex digits + NUL
inline constexpr size_t kAnyDigestCap = 136;  // "sha512:" + 128 hex digits + NUL
inline constexpr size_t kHexCap = 129;        // the longest digest hex + NUL
inline constexpr size_t kUuidCap = 37;        // 36 characters + NUL

// The digest algorithms content may be addressed by. SHA-256 is the
// registry's own (its manifests by tag, the engine's reg_blob_* calls);
// SHA-512 content is stored, verified and served beside it.
enum class DigestAlg { kNone, kSha256, kSha512 };
// The algorithm of a well-formed digest string ("sha256:" and 64, or
// "sha512:" and 128, lowercase hex digits); kNone for anything else.
DigestAlg digest_alg(const char* s);
// The same for exactly len bytes at s (reg_digest_valid's rule).
DigestAlg digest_alg(const char* s, size_t len);
inline bool any_digest_valid(const char* s) { return digest_alg(s) != DigestAlg::kNone; }
// "sha256" or "sha512": the algorithm's name, and its directory in the tree.
const char* digest_alg_name(DigestAlg alg);
DigestAlg digest_alg_named(const char* name);
// The algorithm whose digests have hex of that length (64, 128).
DigestAlg digest_alg_of_hex(const char* hex);
// The hex digits of a digest string (after the ':').
const char* digest_hex_of(const char* digest);

// SHA-256 or SHA-512 over bytes taken in pieces.
class DigestHasher {
 public:
  explicit DigestHasher(DigestAlg alg);
  void update(const void* data, size_t len);
  // "<alg>:<hex>" of everything taken in.
  std::string finish();
  // The same over what an open stream holds, from its start: false when
  // it cannot be read.
  static bool of_stream(DigestAlg alg, FILE* f, std::string* out);
  DigestAlg alg() const { return alg_; }
  // The running state as portable bytes, and that state taken up again
  // (false, the hasher untouched, when the bytes are not one).
  std::string save() const;
  bool restore(const std::string& saved);
  // How many bytes were taken in.
  uint64_t bytes_taken() const;

 private:
  DigestAlg alg_;
  alignas(8) unsigned char state_[264];
};

// 2 * len lowercase hex digits, high nibble first, and a NUL.
void bin_to_hex(const uint8_t* data, size_t len, char* out);
// 1 for "sha256:" followed by exactly 64 lowercase hex digits.
int digest_valid(const char* s);
// The identifier that 16 bytes make: 32 digits in 8-4-4-4-12 groups, the
// low nibble of each byte first.
void uuid_format(const uint8_t bytes[16], char* out);
// A new upload identifier from the system's cryptographic random source;
// false when the source fails.
bool uuid_make(char* out);
// 1 for 36 characters: lowercase hex digits in 8-4-4-4-12 groups.
int uuid_valid(const char* s);

// ---- Names (storage_names.cpp) ---------------------------------------------
// One component of a repository name: 1.. bytes of [A-Za-z0-9._-], not
// beginning with '.' or '_' (the tree's own and temporary names), and on
// Windows nothing the system would fold into another name.
bool repo_component_valid(const char* s, size_t len);
#if defined(_WIN32)
// CON, NUL, COM1 and the like, whatever their extension: Windows opens a
// device for them in any directory.
bool is_device_name(const char* s, size_t len);
#endif
// 1..255 bytes of components joined by single '/', without "..": one name,
// one directory, and no two names sharing files.
int repo_name_valid(const char* name);
// reg_tag_valid of a NUL-terminated text (null: 0).
int tag_valid(const char* tag);
// A media type: type "/" subtype of token characters, then optional
// "; name=value" parameters (token or quoted-string values), no control
// bytes, at most kContentTypeMax bytes.
inline constexpr size_t kContentTypeMax = 255;
bool media_type_valid(const char* s);

// ---- Locks (storage_locks.cpp) ----------------------------------------------
// A file held open with an exclusive lock, released when the object goes.
class LockedFile {
 public:
  LockedFile() = default;
  ~LockedFile() { release(); }
  LockedFile(const LockedFile&) = delete;
  LockedFile& operator=(const LockedFile&) = delete;
  FILE* get() const { return f_; }
  void adopt(FILE* f) { release(), f_ = f; }
  // Closes the file: false when buffered bytes could not be written.
  bool release();

 private:
  FILE* f_ = nullptr;
};

enum class Lock { kHeld, kGone, kFailed };
// Opens the existing regular file at path for reading and writing and
// locks it; kGone when there is none, or when, once locked, path no longer
// names the file that was opened (another process finished or removed it).
Lock lock_existing(const char* path, LockedFile* out);
// Locks the repository's manifests (its lock file, created when missing):
// every change to a repository's manifests and tags is made under it.
Lock lock_repository(const char* name, LockedFile* out);

// ---- Blobs (storage_blobs.cpp) -------------------------------------------------
// A blob that garbage collection holds aside (quarantined) while it looks
// for a manifest that needs it is put back by whoever meets it missing:
// true when the blob file is there (again) afterwards.
bool blob_present_or_restored(const char* digest, const char* path);
// Copies a blob's path with its NUL into out when it fits whole; else -1
// with "path buffer too small" and out untouched.
int copy_path_whole(const char* path, char* out, size_t out_size);

// ---- The digest of an upload as its bytes arrive (storage_upload_digest.cpp) ---
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

// ---- Uploads (storage_uploads.cpp) ---------------------------------------------
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

// ---- Manifests and tags (storage_manifests.cpp) ---------------------------
inline constexpr size_t kLinkReadCap = 256;  // a link holds at most a SHA-512 digest string
inline constexpr char kDefaultContentType[] = "application/vnd.docker.distribution.manifest.v2+json";

// Reference (tag or digest string) to digest hex (kHexCap bytes).
int manifest_resolve(const char* name, const char* reference, char* out_hex);
// 1 when some tag of the repository, however many it has, names hex.
int manifest_has_tag_for(const char* name, const char* hex);
enum class ManifestKind { kImage, kIndex, kArtifact };
// What a manifest says of itself and what it refers to.
struct ManifestInfo {
  ManifestKind kind = ManifestKind::kImage;
  std::string media_type;          // its "mediaType", when it has one
  std::string artifact_type;       // its "artifactType", when it has one
  std::string config_media_type;   // an image manifest's config "mediaType"
  std::string subject;             // the digest its "subject" names, when it has one
  std::string annotations;         // its "annotations" object as JSON text, when it has one
  std::vector<std::string> blobs;      // config, layers, blobs: content the repository must hold
  std::vector<std::string> manifests;  // an index's children: manifests the repository must hold
};
// The message of the first reason the document is not an acceptable
// manifest (yyjson's strict parse, no key twice in any object, then the
// shape of its kind), or null with *info filled.
const char* manifest_body_error(const void* body, size_t len, ManifestInfo* info, char* msg, size_t msg_size);

// Removes the stored manifest hex and everything that names it, as a
// delete by digest does, for a caller that holds the repository's lock.
int remove_manifest_locked(const char* repo_name, const char* hex);

// ---- Name lists -------------------------------------------------------------
// Names packed one after another in one block, for sorting and paging
// without a heap block per name.
class NameList {
 public:
  void clear() { arena_.clear(), offsets_.clear(); }
  void add(const std::string& name) {
    offsets_.push_back(arena_.size());
    arena_.append(name.c_str(), name.size() + 1);
  }
  int size() const { return static_cast<int>(offsets_.size()); }
  // The names as NUL-terminated texts, valid until the next add.
  char** items() {
    items_.resize(offsets_.size());
    for (size_t i = 0; i < offsets_.size(); ++i) items_[i] = arena_.data() + offsets_[i];
    return items_.data();
  }

 private:
  std::string arena_;
  std::vector<size_t> offsets_;
  std::vector<char*> items_;
};

// ---- Referrers (storage_referrers.cpp) ---------------------------------------
// Records the manifest (digest, size bytes, stored content type ct) as a
// referrer of its subject, under the repository's lock.
int record_referrer(const char* repo, const std::string& digest, size_t size, const char* ct, const ManifestInfo& info);
// Forgets the manifest as a referrer of its subject, under the lock.
void forget_referrer(const char* repo, const std::string& digest, const ManifestInfo& info);

// ---- Repositories (storage_repositories.cpp) -------------------------------
// Every repository below repositories/, by its full name, at any depth.
// Unsorted. kMissing for a tree without a repositories directory.
Scan collect_repositories(NameList* out);
// Marks the directories on the way to a repository whose name nests, so
// that listings find it; done before the repository's first data.
int note_repository(const char* name);
// Builds the index of nested repositories for a tree that has none.
int index_nested_repositories();
// The full walk, for checks of the whole tree: every repository, found by
// looking into every directory, and the directories on the way to nested
// ones that the index does not mark.
Scan walk_repositories(NameList* repos, std::vector<std::string>* unmarked);
// Marks one directory as lying on the way to nested repositories.
int mark_nesting(const std::string& on_the_way);

// ---- What a repository holds, for walks of the whole tree (storage_repo_contents.cpp)
// The algorithm of a digest's hex digits (64 or 128 lowercase hex
// digits); kNone for any other name.
DigestAlg hex_alg(const char* name);

struct StoredManifest {
  std::string hex;
  std::string digest;  // "<alg>:<hex>"
  int64_t mtime = 0;
  int64_t size = 0;
};
// The manifest bodies below _manifests, with their times and sizes.
Scan read_stored_manifests(const char* repo, std::vector<StoredManifest>* out);

struct StoredTag {
  std::string name;
  std::string link;  // what its link holds ("" when it has none)
  bool has_link = false;
};
Scan read_stored_tags(const char* repo, std::vector<StoredTag>* out);

// The digests the repository links (its _layers).
Scan read_blob_links(const char* repo, std::vector<std::string>* out);
// The identifiers of the uploads the repository marked.
Scan read_upload_marks(const char* repo, std::vector<std::string>* out);

// Reads the manifest body at path (at most kManifestMax bytes) into buf
// and parses it: 1 parsed, 0 not a manifest (msg says why), -1 unreadable.
struct ManifestBuffer {
  std::vector<char> bytes;
  size_t len = 0;
};
int load_manifest(const char* path, ManifestBuffer* buf, ManifestInfo* info, char* msg, size_t msg_size);

// ---- Statistics (storage_stats.cpp) ---------------------------------------
int count_repos();
int64_t count_blobs(int* out_blobs);
int count_tags();
int count_uploads(int64_t* out_upload_bytes);

// ---- Name pages (storage_catalog.cpp) -------------------------------------
// Appends names[start..end) as JSON strings joined by commas, then "]}" and
// a NUL, after the pos bytes already in out. A name that would not fit ends
// the list before it, so the text is always whole JSON (cap - pos >= 3).
// Returns the text's length; *written gets the number of names written.
size_t append_names_and_close(char* out, size_t pos, size_t cap, char* const* names, int start, int end,
                              int* written);
// Writes {"repositories":[...]} for names[start..end) into out (cap >= 32).
// A name that would not fit ends the page before it: the text is always
// whole JSON. Returns its length.
size_t write_catalog_page(char* out, size_t cap, char* const* names, int start, int end, int* written);
// Records where the page just written ended: the name to continue after,
// or none when the page reached the end of the list.
void set_page_next(const char* last_written);

}  // namespace storage

#endif
