/* The storage engine: the whole registry in a directory tree below one
 * storage root.
 *
 * Two conventions live side by side:
 *
 * - The operations that take a reg_status* (everything the programs use)
 *   report to that status, which belongs to the call: the call empties it
 *   when it starts and, when it fails, fills it with the kind of the
 *   failure, its message and, for a storage failure, the system's word for
 *   it. No other call reads or writes it, so calls in one process never
 *   see each other's failures. A null status is allowed: the outcome is
 *   then told by the result alone. Texts such a call produces go to the
 *   caller, through a writer or into buffers the caller owns; nothing of
 *   theirs lives in the engine after the call returns. A pointer that a
 *   contract below does not call optional must not be null: such a call
 *   fails with REG_ERR_INVALID and changes nothing.
 *
 * - The first operations of the engine (reg_storage_init, reg_catalog_json,
 *   the reg_blob_* upload and query family, reg_manifest_put,
 *   reg_manifest_get, reg_manifest_delete, reg_tags_list_json,
 *   reg_storage_get_stats_json) keep the convention stored trees and
 *   callers rely on: 0 / -1 (or a text / null), every failure's message
 *   left in reg_storage_last_error() (its kind and cause in
 *   reg_storage_last_kind() and reg_storage_last_cause()), and their texts
 *   in one shared result buffer, valid until the next of them writes it.
 *   Each is a thin wrapper over the status form the programs run.
 *
 * The engine's state (its root, whether it is ready) is one per process:
 * reg_storage_init, reg_storage_open and reg_storage_attach set it, and
 * every other operation reads it. */
#ifndef REGISTRY_STORAGE_REG_STORAGE_H
#define REGISTRY_STORAGE_REG_STORAGE_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Results of a call ------------------------------------------------------ */

/* What kind of failure a call had, so that callers tell them apart without
 * reading message texts. */
typedef enum reg_error_kind {
  REG_ERR_NONE = 0,      /* no failure */
  REG_ERR_INVALID = 1,   /* a name, reference, digest, argument or body that is not acceptable */
  REG_ERR_NOT_FOUND = 2, /* what was asked for does not exist */
  REG_ERR_DIGEST = 3,    /* content that does not hash to the digest given */
  REG_ERR_UNKNOWN_REFERENCE = 4, /* a manifest names content the repository does not hold */
  REG_ERR_TOO_LARGE = 5, /* more than the engine holds */
  REG_ERR_RANGE = 6,     /* an append that does not start where the upload ends */
  REG_ERR_STORAGE = 7,   /* the tree could not be read or written, or is not as the engine left it */
  REG_ERR_FIXED = 8,     /* a tag that the caller's guard says may not move or go */
  REG_ERR_QUOTA = 9      /* a blob link that would take a repository past its byte limit */
} reg_error_kind;

#define REG_MESSAGE_CAP 1024
#define REG_CAUSE_CAP 256

/* The outcome of one call. */
typedef struct reg_status {
  reg_error_kind kind;           /* REG_ERR_NONE when the call succeeded */
  char message[REG_MESSAGE_CAP]; /* what failed, cut to fit; "" on success */
  char cause[REG_CAUSE_CAP];     /* for REG_ERR_STORAGE, the system's word for the error
                                    ("No space left on device"), when it gave one; else "" */
} reg_status;

/* Receives a text a call produces, in pieces, in order: the pieces joined
 * are the whole text (no NUL). Returns 0 to go on; anything else stops the
 * call, which then fails with REG_ERR_STORAGE, its text cut short. */
typedef int (*reg_writer)(void* ctx, const char* data, size_t len);

/* Where a page of a listing ended. */
#define REG_PAGE_NEXT_CAP 512
typedef struct reg_page {
  int more;                     /* 1 when names remain after this page, else 0 */
  char next[REG_PAGE_NEXT_CAP]; /* with more: the `last` that asks for the next page; else "" */
} reg_page;

/* The longest text of one page of a listing, in bytes: a page whose next
 * name would take it past this ends before that name (and more is set). */
#define REG_PAGE_TEXT_MAX 4194304

/* The longest storage root the engine takes, in bytes; with the tree's
 * own names below it, every path of the tree fits the host's path limit. */
#define REG_ROOT_MAX 3499

/* ---- The engine's state ------------------------------------------------------- */

/* Creates what is missing of the tree below root and readies the engine. */
int reg_storage_init(const char* root);
/* Readies the engine on a registry that exists, for tools that look after
 * one: root must be a directory holding the storage marker, which the
 * registry writes when it first serves (-1, REG_ERR_NOT_FOUND, where there
 * is none; REG_ERR_STORAGE, with the system's word, where root cannot be
 * looked at). What else is missing of the tree is then made as
 * reg_storage_init makes it. Where there is no registry, nothing is made.
 * On any failure the engine is not ready. */
int reg_storage_open(const char* root, reg_status* st);
/* Readies the engine on the directory root as it is, making nothing below
 * it (with create_root, the directory itself and its parents when
 * missing): for the access-control files alone (reg_auth_path), which are
 * set up before a registry first serves. On any failure the engine is not
 * ready. */
int reg_storage_attach(const char* root, int create_root, reg_status* st);
/* Returns the engine to the not-initialised state. */
void reg_storage_cleanup(void);
/* Message of the latest failure of the first operations (see above);
 * empty after a successful init. Never null. */
const char* reg_storage_last_error(void);
/* Kind of that failure (REG_ERR_NONE after a successful init). */
reg_error_kind reg_storage_last_kind(void);
/* For a storage failure, the system's own word for it; empty otherwise.
 * Never null. */
const char* reg_storage_last_cause(void);

/* ---- Names -------------------------------------------------------------------- */

/* Whether exactly len bytes at name are a repository name of the registry
 * API: 1 to 255 bytes, components of lower-case letters and digits joined
 * inside by '.', '_', "__" or runs of '-', separated by single '/' (and,
 * on Windows, no component that the system takes for a device). Every byte
 * counts, a NUL among them: a name that holds one is refused, so no check
 * downstream can see a shorter name than this one did. Callable before
 * initialisation. 1 or 0. */
int reg_repository_name_valid(const char* name, size_t len);

/* Whether exactly len bytes at s are a digest string the registry takes:
 * "sha256:" and 64, or "sha512:" and 128, lower-case hex digits, and
 * nothing else (a NUL among the len bytes included). Callable before
 * initialisation. 1 or 0. */
int reg_digest_valid(const char* s, size_t len);

/* Whether exactly len bytes at s are a tag: [A-Za-z0-9_][A-Za-z0-9._-]*,
 * at most 128 bytes, every byte counted as reg_repository_name_valid
 * counts them. A tag is one path component and nothing else. Callable
 * before initialisation. 1 or 0. */
int reg_tag_valid(const char* s, size_t len);

/* ---- Listings ----------------------------------------------------------------- *
 * Names are listed in byte order, starting after `last` (null or empty:
 * from the first; `last` need not name anything), at most n of them (n <=
 * 0: all, up to REG_PAGE_TEXT_MAX bytes of text). The text goes to write
 * (with write_ctx); page (may be null) gets where the page ended. */

/* {"repositories":[...]}: every repository by its full name ("team/app"),
 * of those for which keep (called with keep_ctx and each full name)
 * answers nonzero; a null keep keeps every name. The page and its `last`
 * count the kept names only. -1 (REG_ERR_STORAGE) when the repositories
 * cannot be read: never an empty answer for a tree that is not. */
typedef int (*reg_name_filter)(void* ctx, const char* name);
int reg_catalog_json_where(int n, const char* last, reg_name_filter keep, void* keep_ctx, reg_writer write,
                           void* write_ctx, reg_page* page, reg_status* st);
/* The catalog as one text in the shared result buffer (keep and page
 * aside, as reg_catalog_json_where); null on failure. */
const char* reg_catalog_json(int n, const char* last);

/* {"name":"<repo>","tags":[...]}: the repository's tags (a tag counts
 * while its link can be read). A repository without tags, or none at
 * all, has an empty list. */
int reg_tags_page_json(const char* repo_name, int n, const char* last, reg_writer write, void* write_ctx,
                       reg_page* page, reg_status* st);
/* Every tag of the repository, as one text in the shared result buffer;
 * null on failure. */
const char* reg_tags_list_json(const char* repo_name);

/* The referrers of subject (a digest string) in the repository, as an OCI
 * image index: the manifests whose "subject" names it, and those a client
 * listed in an index tagged "<alg>-<hex>" before the referrers API existed.
 * Only those with artifactType artifact_type when it is given (null or
 * empty: all); paged by referrer digest. A subject never pushed has none. */
int reg_referrers_json(const char* repo, const char* subject, const char* artifact_type, int n, const char* last,
                       reg_writer write, void* write_ctx, reg_page* page, reg_status* st);

/* ---- Access-control files ------------------------------------------------------
 * Below the storage root (storage_layout.h names them): the directory that
 * holds them, the users' htpasswd file, the policy, and the key that signs
 * tokens. The path goes to out (cap bytes, with its NUL): 0, or -1 before
 * initialisation (REG_ERR_STORAGE) or when it does not fit cap
 * (REG_ERR_INVALID, out then ""). */
typedef enum reg_auth_file {
  REG_AUTH_DIR = 0,
  REG_AUTH_HTPASSWD = 1,
  REG_AUTH_POLICY = 2,
  REG_AUTH_TOKEN_KEY = 3
} reg_auth_file;
int reg_auth_path(reg_auth_file which, char* out, size_t cap, reg_status* st);

/* ---- Failed password attempts ------------------------------------------------
 * Failures counted per key (REG_ATTEMPT_KEY_LEN bytes: a keyed hash that the
 * caller makes of what it throttles, a user name or a client address), each
 * count within a window that opens at the key's first failure and lasts
 * `window` seconds. The records lie in REG_ATTEMPT_BUCKETS bucket files
 * below <root>/auth/throttle, the key's first byte choosing the bucket, and
 * a bucket holds at most REG_ATTEMPT_BUCKET_CAP records, so the state never
 * grows past a fixed size however many keys fail. A record whose window
 * has passed is dropped when its bucket is next written; a full bucket
 * makes room by dropping the record with the fewest failures (the oldest
 * of those), never the one being counted. Every file is replaced whole, so
 * readers take no lock; writers change a bucket under its lock, which
 * processes on every machine sharing the tree respect. Arguments out of
 * range (no keys, more than REG_ATTEMPT_KEYS_MAX, a window <= 0, null
 * pointers) are REG_ERR_INVALID. */
#define REG_ATTEMPT_KEY_LEN 16
#define REG_ATTEMPT_BUCKETS 64
#define REG_ATTEMPT_BUCKET_CAP 64
#define REG_ATTEMPT_KEYS_MAX 2

typedef struct reg_attempt_key {
  unsigned char bytes[REG_ATTEMPT_KEY_LEN];
} reg_attempt_key;

/* What is recorded against one key now. */
typedef struct reg_attempt_count {
  int64_t since;     /* the second its window opened; 0 when it has no open window */
  uint32_t failures; /* failures within that window */
} reg_attempt_count;

/* The counts of keys[0..n) (1 <= n <= REG_ATTEMPT_KEYS_MAX) at now, into
 * out[0..n), without a lock. */
int reg_attempts_read(const reg_attempt_key* keys, int n, int64_t now, int64_t window, reg_attempt_count* out,
                      reg_status* st);

/* While a hold lasts, no other process changes the buckets of its keys or
 * takes a hold on them: checks of one key happen one after another, each
 * seeing every failure recorded before it. A process takes one hold at a
 * time; a hold is the caller's, and starts zeroed ({0}), so that
 * reg_attempts_release may be called on one that never held anything. */
typedef struct reg_attempt_hold {
  reg_attempt_key keys[REG_ATTEMPT_KEYS_MAX];
  int key_count;
  FILE* locks[REG_ATTEMPT_KEYS_MAX]; /* the buckets' lock files, held */
  int lock_count;
} reg_attempt_hold;
/* Takes the hold on keys[0..n) (waiting while another process has one),
 * then reads their counts as reg_attempts_read does. On failure nothing
 * is held. */
int reg_attempts_hold(reg_attempt_hold* hold, const reg_attempt_key* keys, int n, int64_t now, int64_t window,
                      reg_attempt_count* out, reg_status* st);
/* Counts one failure at now against every key of the hold: a key without
 * an open window opens one. A hold that holds nothing is REG_ERR_INVALID. */
int reg_attempts_fail(reg_attempt_hold* hold, int64_t now, int64_t window, reg_status* st);
/* Takes back the failure that reg_attempts_fail just counted under this
 * hold (an attempt counted before its password was checked, which proved
 * right): one failure less for every key of the hold, and a key left with
 * none has no record. */
int reg_attempts_take_back(reg_attempt_hold* hold, int64_t now, int64_t window, reg_status* st);
/* Ends the hold (a hold that holds nothing, or null, is left as it is). */
void reg_attempts_release(reg_attempt_hold* hold);

/* ---- Blob uploads and queries by digest -------------------------------------
 * An upload is a file that holds the bytes appended so far. Finishing hashes
 * it and, when the SHA-256 digest matches, moves it into the blob store.
 * These address blobs by SHA-256 digest strings ("sha256:<64 hex>"). */

/* Starts an upload; its 36-character identifier goes to out_upload_uuid (37 bytes). */
int reg_blob_start_upload(char* out_upload_uuid);
/* Appends len bytes (0 allowed) at the end of the upload. */
int reg_blob_append_chunk(const char* upload_uuid, const void* data, size_t len);
/* Verifies the upload against expected_digest and stores it as that blob;
 * out_digest (72 bytes) receives the digest. */
int reg_blob_finish_upload(const char* upload_uuid, const char* expected_digest, char* out_digest);
/* Discards the upload; an upload that does not exist counts as discarded. */
int reg_blob_cancel_upload(const char* upload_uuid);

/* 1 when the blob is stored, 0 when not, -1 on failure. */
int reg_blob_exists(const char* digest);
/* The blob's size in bytes; -1 on failure and for a blob that is not stored. */
int64_t reg_blob_get_size(const char* digest);
/* The blob file's path, copied only when it fits out_path whole. */
int reg_blob_get_filepath(const char* digest, char* out_path, size_t out_size);
/* Removes the blob file (and its prefix directory once empty). */
int reg_blob_delete(const char* digest);

/* Room for any digest string the registry takes ("sha512:" and 128 hex
 * digits) and its NUL. */
#define REG_DIGEST_CAP 136

/* Where the blob's file lies below <root>/blobs, its parts joined by '/'
 * ("sha256/e3/e3b0c442..."): the name a web server that maps that
 * directory gives it. Depends on the digest string (SHA-256 or SHA-512)
 * alone; callable before initialisation. REG_ERR_INVALID for a digest
 * that is not one, or a name that does not fit out_size (out then ""). */
int reg_blob_store_name(const char* digest, char* out, size_t out_size, reg_status* st);

/* ---- Repositories: blobs and uploads as a repository sees them ------------
 * Blobs here are addressed by SHA-256 or SHA-512 digest strings.
 * A repository holds a blob once it links it: when an upload of it finishes
 * there, or when it is mounted from a repository that holds it. Deleting
 * removes the repository's link alone; blob files go by garbage collection.
 * Every operation here checks, in this order, its pointers (null:
 * REG_ERR_INVALID), that the engine is ready (REG_ERR_STORAGE), the
 * repository name (the engine's rule: REG_ERR_INVALID) and the digest's
 * form (REG_ERR_INVALID), before it looks at the tree. */

/* 1 when the repository holds its own data (manifests, blob links or
 * uploads), 0 when not, -1 on failure. */
int reg_repository_exists(const char* repo, reg_status* st);
/* Links a stored blob into the repository (REG_ERR_NOT_FOUND when the
 * blob is not stored). */
int reg_repo_blob_link(const char* repo, const char* digest, reg_status* st);
/* 1 when the repository holds the blob, 0 when not, -1 on failure. A blob
 * that garbage collection has set aside is put back by looking. */
int reg_repo_blob_exists(const char* repo, const char* digest, reg_status* st);
/* The size of a blob the repository holds; -1 when it does not
 * (REG_ERR_NOT_FOUND), or on failure. */
int64_t reg_repo_blob_size(const char* repo, const char* digest, reg_status* st);
/* The path of a blob the repository holds, copied with its NUL into
 * out_path only when it fits whole (REG_ERR_INVALID otherwise, out_path
 * untouched); REG_ERR_NOT_FOUND when it does not hold it. */
int reg_repo_blob_path(const char* repo, const char* digest, char* out_path, size_t out_size, reg_status* st);
/* Marks the repository's link to the blob as just used (a client asked
 * whether the blob is there, about to push a manifest that needs it):
 * garbage collection keeps a blob so marked for its grace period. The
 * mark is refreshed when it is more than a minute old. */
int reg_repo_blob_touch(const char* repo, const char* digest, reg_status* st);
/* Removes the repository's link to the blob (REG_ERR_NOT_FOUND when there
 * is none). */
int reg_repo_blob_unlink(const char* repo, const char* digest, reg_status* st);
/* Links a blob that repository `from` holds into repo; REG_ERR_NOT_FOUND
 * when it does not hold it. */
int reg_repo_blob_mount(const char* repo, const char* from, const char* digest, reg_status* st);

/* A repository's byte limit, and what a change refused for it met. */
typedef struct reg_quota {
  int64_t limit;  /* the most bytes of blobs the repository may link; negative: no limit */
  int64_t usage;  /* on REG_ERR_QUOTA: the bytes of the blobs it linked */
  int64_t adding; /* on REG_ERR_QUOTA: the size of the blob refused */
} reg_quota;

/* The bytes of the blobs the repository links, each blob counted once
 * however often it is pushed (manifests are not counted); 0 for a
 * repository that links none. A look at every link and its blob: its cost
 * grows with the number of blobs linked. */
int reg_repo_usage(const char* repo, int64_t* out_bytes, reg_status* st);
/* As reg_repo_blob_mount, within quota (null: none): under the
 * repository's lock, a blob it does not link yet whose size would take
 * its usage past quota->limit is refused with REG_ERR_QUOTA, quota->usage
 * and quota->adding set; one it links already costs nothing. */
int reg_repo_blob_mount_within(const char* repo, const char* from, const char* digest, reg_quota* quota,
                               reg_status* st);

/* ---- Uploads of a repository -------------------------------------------------
 * An upload belongs to the repository that started it: under any other name
 * it is not found. Its bytes are hashed as they arrive, so that finishing
 * it need not read them again. */

/* Starts an upload that belongs to repo; out_upload_uuid (37 bytes) gets
 * its identifier. algorithm ("sha256", "sha512"; null for either) names
 * the algorithm of the digest the finish must give; another name is
 * REG_ERR_INVALID. */
int reg_upload_start(const char* repo, const char* algorithm, char* out_upload_uuid, reg_status* st);

/* One upload, held: the repository's name, the identifier and the
 * repository's mark on the upload were checked once, and the upload's lock
 * is held, so no other process appends to, finishes or cancels it until
 * reg_upload_release. A request takes the lock once for all it does. */
typedef struct reg_upload reg_upload;

/* Holds the upload upload_uuid of repo, waiting while another request
 * holds it: null on failure (REG_ERR_INVALID for a null argument or a name
 * or identifier of no upload's form, REG_ERR_NOT_FOUND for one the
 * repository did not start or that is gone, REG_ERR_STORAGE when it cannot
 * be locked). The handle is the caller's until reg_upload_release; one
 * thread uses it at a time. */
reg_upload* reg_upload_hold(const char* repo, const char* upload_uuid, reg_status* st);
/* The bytes the held upload holds; -1 once it was finished or cancelled. */
int64_t reg_upload_held_size(const reg_upload* upload);
/* Appends bytes read from `from` at the end of the held upload:
 *   length < 0: `from` is read to its end;
 *   length >= 0, exact 0: length bytes are read; a body that ends sooner
 *     is REG_ERR_INVALID;
 *   length >= 0, exact != 0: `from` is read to its end and must hold
 *     exactly length bytes (REG_ERR_RANGE otherwise).
 * With at >= 0 the upload must hold exactly `at` bytes first
 * (REG_ERR_RANGE). A body that does not arrive whole leaves the upload as
 * it was; a zero-length body with no `at` does nothing at all. On failure
 * the upload stays held, as it was. */
int reg_upload_held_append(reg_upload* upload, FILE* from, int64_t length, int64_t at, int exact, reg_status* st);
/* Verifies the held upload against expected_digest (SHA-256 or SHA-512;
 * of the algorithm the upload was started for, if any: REG_ERR_INVALID
 * otherwise), stores the blob, on stable storage, and links it into the
 * repository; out_digest (REG_DIGEST_CAP bytes) gets the digest.
 * REG_ERR_DIGEST when the bytes do not hash to it: the upload is then
 * removed. A digest refused by its form or algorithm (or a null argument)
 * leaves the upload held as it was; after any other outcome the upload is
 * no longer held: finished, removed, or, after a storage failure, left in
 * the tree for another request to finish. */
int reg_upload_held_finish(reg_upload* upload, const char* expected_digest, char* out_digest, reg_status* st);
/* As reg_upload_held_finish, within quota (null: none) as
 * reg_repo_blob_mount_within: the check and the link are made under the
 * repository's lock, so that of two finishes that each fit alone but not
 * together, the second sees the first's blob. A refused upload is
 * discarded; its digest was checked first. */
int reg_upload_held_finish_within(reg_upload* upload, const char* expected_digest, char* out_digest,
                                  reg_quota* quota, reg_status* st);
/* Discards the held upload; it is then no longer held. */
int reg_upload_held_cancel(reg_upload* upload, reg_status* st);
/* Lets go of the upload, keeping for the next request what its digest so
 * far is, and frees the handle (null: nothing). */
void reg_upload_release(reg_upload* upload);

/* ---- Manifests and tags ----------------------------------------------------
 * A manifest is stored per repository under the digest of its bytes, with
 * its content type, a revision link and, when pushed under a tag, a tag link. */

/* The largest manifest body the engine stores: 4 MiB. */
#define REG_MANIFEST_MAX 4194304
/* Room for a stored content type and its NUL (media types are at most 255 bytes). */
#define REG_CONTENT_TYPE_CAP 256

/* Validates body (len bytes: an OCI image manifest or index, a Docker
 * schema 2 manifest or manifest list, or an OCI artifact manifest, at most
 * REG_MANIFEST_MAX bytes) and stores it under reference: a tag, or the
 * SHA-256 digest string the body must hash to. content_type is a media
 * type, or null or empty for the default. out_digest (72 bytes) receives
 * its digest string. What the manifest refers to is not looked for. */
int reg_manifest_put(const char* repo_name, const char* reference, const void* body, uint64_t body_len,
                     const char* content_type, char* out_digest);

/* As reg_manifest_put, as a push through the registry API makes it: the
 * reference may be a SHA-512 digest string too; every blob the manifest
 * refers to (config, layers, artifact blobs) must be held by the
 * repository and every manifest an index lists must be stored in it
 * (REG_ERR_UNKNOWN_REFERENCE otherwise); a subject need not be. The
 * tag_count tags of tags (none: tags may be null) are pointed at the
 * manifest too, all under one lock, once it is whole: all of them, or,
 * when the push fails, none. out_digest (REG_DIGEST_CAP bytes) gets its
 * digest string; out_subject (REG_DIGEST_CAP bytes, may be null) the
 * digest its "subject" names, or "" when it has none. */
int reg_manifest_push(const char* repo_name, const char* reference, const void* body, uint64_t body_len,
                      const char* content_type, const char* const* tags, int tag_count, char* out_digest,
                      char* out_subject, reg_status* st);

/* Says whether a tag of the repository being changed is fixed: non-zero
 * when it may never be moved to another manifest nor removed. */
typedef int (*reg_tag_guard)(void* ctx, const char* tag);

/* As reg_manifest_push, with each tag the push would point asked of guard
 * (null: none is fixed) under the repository's lock: a fixed tag that
 * names another manifest fails the push with REG_ERR_FIXED (the message
 * names the tag) before anything is written; one that names this manifest
 * already, or does not exist yet, is pointed as usual. */
int reg_manifest_push_guarded(const char* repo_name, const char* reference, const void* body, uint64_t body_len,
                              const char* content_type, const char* const* tags, int tag_count,
                              reg_tag_guard guard, void* guard_ctx, char* out_digest, char* out_subject,
                              reg_status* st);

/* The body of the manifest that reference (tag or digest string) names,
 * passed to write whole, in one piece; its content type
 * (REG_CONTENT_TYPE_CAP bytes) and digest string (REG_DIGEST_CAP bytes).
 * REG_ERR_NOT_FOUND for a tag or body that is not stored. */
int reg_manifest_read(const char* repo_name, const char* reference, reg_writer write, void* write_ctx,
                      char* out_content_type, char* out_digest, reg_status* st);
/* The same with the body as text in the shared result buffer; the digest
 * buffer needs REG_DIGEST_CAP bytes for a SHA-512 reference. */
const char* reg_manifest_get(const char* repo_name, const char* reference, char* out_content_type,
                             char* out_digest);

/* By tag: removes that tag alone. By digest: removes the manifest and every
 * tag that names it; a digest that is not stored is REG_ERR_NOT_FOUND. */
int reg_manifest_remove(const char* repo_name, const char* reference, reg_status* st);
/* As reg_manifest_remove, refusing (REG_ERR_FIXED, the message naming the
 * tag) to remove a tag that guard says is fixed, or by digest a manifest
 * that such a tag names; decided under the repository's lock. */
int reg_manifest_remove_guarded(const char* repo_name, const char* reference, reg_tag_guard guard, void* guard_ctx,
                                reg_status* st);
/* The same, reporting to the last error. */
int reg_manifest_delete(const char* repo_name, const char* reference);

/* ---- What a mirror keeps --------------------------------------------------------
 * A registry that mirrors another fetches what it lacks and stores it as
 * ordinary content; beside it, the engine keeps these. */

/* Opens, making it where missing, the file that a process locks
 * (host::lock_file) while it fetches the blob `digest` from upstream, so
 * that others wait for that one fetch instead of starting their own: null
 * on failure (REG_ERR_INVALID for a digest of no valid form). */
FILE* reg_mirror_fetch_lock_open(const char* digest, reg_status* st);
/* Seconds since the tag of repo was last compared with upstream (the time
 * is now); -1 with REG_ERR_NOT_FOUND when it never was. */
int64_t reg_mirror_tag_checked_age(const char* repo, const char* tag, int64_t now, reg_status* st);
/* Records that the tag of repo was compared with upstream just now. */
int reg_mirror_tag_mark_checked(const char* repo, const char* tag, reg_status* st);
/* The same for the referrers of digest in repo: when they were last asked
 * of upstream. */
int64_t reg_mirror_referrers_checked_age(const char* repo, const char* digest, int64_t now, reg_status* st);
int reg_mirror_referrers_mark_checked(const char* repo, const char* digest, reg_status* st);
/* Records that the manifest digest of repo was pulled now: at most once a
 * minute (a pull within a minute of the last one costs a look, no write). */
int reg_mirror_mark_pulled(const char* repo, const char* digest, reg_status* st);
/* Removes every mirrored manifest last pulled more than age seconds
 * before now, with the tags that name it, so that a collection then frees
 * its blobs; what upstream still holds is fetched again when asked for.
 * dry_run: counts them, removes nothing. The count goes to *dropped. */
int reg_mirror_drop_unpulled(int64_t age, int64_t now, int dry_run, int64_t* dropped, reg_status* st);

/* A token that an upstream gave, kept for every process of the mirror
 * until it expires. key (key_len bytes) names what it is for (upstream,
 * user, scope); the file holds "<expires: seconds since 1970>\n<token>"
 * and only its owner may read it. A token lost with a crash is only asked
 * for again. get: the token into out (cap bytes with its NUL) and when it
 * expires into *expires, 0; -1 with
 * REG_ERR_NOT_FOUND when none is kept or it expires by now. */
int reg_mirror_token_get(const char* key, size_t key_len, int64_t now, char* out, size_t cap, int64_t* expires,
                         reg_status* st);
int reg_mirror_token_put(const char* key, size_t key_len, const char* token, size_t token_len, int64_t expires,
                         reg_status* st);

/* ---- Statistics --------------------------------------------------------------
 * {"version":"1.0.0","repositories":N,"tags":N,"blobs":N,"blob_bytes":N,
 *  "active_uploads":N,"upload_bytes":N} from a walk of the tree, to write. */
int reg_storage_stats_json(reg_writer write, void* write_ctx, reg_status* st);
/* The same, as text in the shared result buffer. */
const char* reg_storage_get_stats_json(void);

/* ---- Metrics -----------------------------------------------------------------
 * Request counts kept in the tree, so that every process on every machine
 * serving it adds to the same figures, CGI programs that live for one
 * request too. Counts are text, one series a line: "<series> <count>\n",
 * the series a name with its labels, no space or line end in it. */

/* Adds the counts of text (len bytes) to the totals: to one of a few
 * shard files, under its lock, in one write. */
int reg_metrics_record(const char* text, size_t len, reg_status* st);
/* Writes the totals of every shard, one series a line in the byte order
 * of their names. */
int reg_metrics_totals(reg_writer write, void* write_ctx, reg_status* st);

/* What the tree holds. The first five come from a recount of the tree that
 * is at most max_age seconds old (made now when the latest is older, by
 * one process while the others use the latest); uploads and events are
 * counted now, each from one directory. */
typedef struct reg_amounts {
  int64_t repositories;
  int64_t manifests; /* revisions, counted in each repository */
  int64_t tags;
  int64_t blobs;
  int64_t blob_bytes;
  int64_t uploads;
  int64_t upload_bytes;
  int64_t events_pending;
  int64_t recount_age; /* seconds since the recount the first five come from */
} reg_amounts;
int reg_metrics_amounts(int64_t max_age, reg_amounts* out, reg_status* st);

/* ---- Events ------------------------------------------------------------------
 * The outbox of events for a deliverer to send on: one file per event,
 * written whole and on stable storage before the call that records it
 * returns, and removed only once delivered. Names order events by the
 * time they were recorded. */
#define REG_EVENT_ID_LEN 32   /* an event's id: lowercase hex digits */
#define REG_EVENT_NAME_CAP 54 /* "<20 digits>-<id>" and a NUL */
#define REG_EVENT_MAX 65536   /* the longest event text */

/* Records the event text (len bytes, at most REG_EVENT_MAX) of the given
 * id (REG_EVENT_ID_LEN hex digits, NUL-terminated) in the outbox.
 * out_name (REG_EVENT_NAME_CAP bytes, may be null) gets its name. */
int reg_event_record(const char* id, const void* data, size_t len, char* out_name, reg_status* st);
/* A new event id, REG_EVENT_ID_LEN lowercase hex digits from the system's
 * random source, into out (REG_EVENT_ID_LEN + 1 bytes); -1 when that
 * source fails. */
int reg_event_new_id(char* out);

typedef struct reg_event_info {
  char name[REG_EVENT_NAME_CAP];
  int64_t tries;    /* failed deliveries so far */
  int64_t last_try; /* unix time of the last of them; 0 with none */
} reg_event_info;
/* Returns 0 to go on, anything else to stop the listing (then a success). */
typedef int (*reg_event_visitor)(void* ctx, const reg_event_info* event);

/* Every event in the outbox, oldest first. An outbox not yet made holds none. */
int reg_events_pending(reg_event_visitor each, void* ctx, reg_status* st);
/* The text of the named event, to write in one piece; REG_ERR_NOT_FOUND
 * once it is delivered. */
int reg_event_read(const char* name, reg_writer write, void* write_ctx, reg_status* st);
/* Counts a failed delivery of the named event, at the time now. */
int reg_event_tried(const char* name, reg_status* st);
/* Takes the delivered event out of the outbox, with its count of tries.
 * An event that is already gone is a success. */
int reg_event_remove(const char* name, reg_status* st);

/* Removes what writers killed part-way left in the outbox (temporary
 * files, never an event) once it is older than age seconds: a live
 * writer's file is younger. Called under the deliverers' lock. */
int reg_events_sweep(int64_t age, reg_status* st);

/* The deliverers' lock: one delivers at a time, and the system lets go of
 * a killed holder's lock. reg_events_lock waits for it; null on failure. */
typedef struct reg_event_lock reg_event_lock;
reg_event_lock* reg_events_lock(reg_status* st);
void reg_events_unlock(reg_event_lock* lock);

#ifdef __cplusplus
}
#endif

#endif
