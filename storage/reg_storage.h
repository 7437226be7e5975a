/* The storage engine: the whole registry in a directory tree below one
 * storage root. Operations return 0 / -1 (or a text / null); every failure
 * leaves its message in reg_storage_last_error(). Texts returned from the
 * shared result buffer stay valid until the next operation that writes it
 * (catalog, tag list, manifest read, statistics). */
#ifndef REGISTRY_STORAGE_REG_STORAGE_H
#define REGISTRY_STORAGE_REG_STORAGE_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* What kind of failure the latest failing operation had, so that callers
 * tell them apart without reading message texts. */
typedef enum reg_error_kind {
  REG_ERR_NONE = 0,      /* no failure since the latest successful init */
  REG_ERR_INVALID = 1,   /* a name, reference, digest, argument or body that is not acceptable */
  REG_ERR_NOT_FOUND = 2, /* what was asked for does not exist */
  REG_ERR_DIGEST = 3,    /* content that does not hash to the digest given */
  REG_ERR_UNKNOWN_REFERENCE = 4, /* a manifest names content the repository does not hold */
  REG_ERR_TOO_LARGE = 5, /* more than the engine holds */
  REG_ERR_RANGE = 6,     /* an append that does not start where the upload ends */
  REG_ERR_STORAGE = 7    /* the tree could not be read or written, or is not as the engine left it */
} reg_error_kind;

/* The longest storage root the engine takes, in bytes; with the tree's
 * own names below it, every path of the tree fits the host's path limit. */
#define REG_ROOT_MAX 3499

/* Creates what is missing of the tree below root and readies the engine. */
int reg_storage_init(const char* root);
/* Readies the engine on a registry that exists, for tools that look after
 * one: root must be a directory holding the storage marker, which the
 * registry writes when it first serves (-1, REG_ERR_NOT_FOUND, where there
 * is none; REG_ERR_STORAGE, with the system's word, where root cannot be
 * looked at). What else is missing of the tree is then made as
 * reg_storage_init makes it. Where there is no registry, nothing is made. */
int reg_storage_open(const char* root);
/* Readies the engine on the directory root as it is, making nothing below
 * it (with create_root, the directory itself and its parents when
 * missing): for the access-control files alone (reg_auth_path), which are
 * set up before a registry first serves. */
int reg_storage_attach(const char* root, int create_root);
/* Returns the engine to the not-initialised state. */
void reg_storage_cleanup(void);
/* Message of the latest failure; empty after a successful init. Never null. */
const char* reg_storage_last_error(void);
/* Kind of the latest failure (REG_ERR_NONE after a successful init). */
reg_error_kind reg_storage_last_kind(void);
/* For a storage failure, the system's own word for it ("No space left on
 * device"); empty otherwise. Never null. */
const char* reg_storage_last_cause(void);

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

/* {"repositories":[...]}: every repository by its full name ("team/app"),
 * in byte order, starting after `last` (null or empty: from the first), at
 * most n names (n <= 0: all). Null when the repositories cannot be read. */
const char* reg_catalog_json(int n, const char* last);

/* The catalog as reg_catalog_json, of the repositories for which keep
 * (called with ctx and each full name) answers nonzero; the page and its
 * `last` count the kept names only. A null keep keeps every name. */
typedef int (*reg_name_filter)(void* ctx, const char* name);
const char* reg_catalog_json_where(int n, const char* last, reg_name_filter keep, void* ctx);

/* Access-control files below the storage root (storage_layout.h names
 * them): the directory that holds them, the users' htpasswd file, the
 * policy, and the key that signs tokens. 0, or -1 before initialisation or
 * when the path does not fit cap. */
typedef enum reg_auth_file {
  REG_AUTH_DIR = 0,
  REG_AUTH_HTPASSWD = 1,
  REG_AUTH_POLICY = 2,
  REG_AUTH_TOKEN_KEY = 3
} reg_auth_file;
int reg_auth_path(reg_auth_file which, char* out, size_t cap);

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
 * processes on every machine sharing the tree respect. */
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
int reg_attempts_read(const reg_attempt_key* keys, int n, int64_t now, int64_t window, reg_attempt_count* out);

/* While a hold lasts, no other process changes the buckets of its keys or
 * takes a hold on them: checks of one key happen one after another, each
 * seeing every failure recorded before it. A process takes one hold at a
 * time; a hold starts zeroed ({0}), so that reg_attempts_release may be
 * called on one that never held anything. */
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
                      reg_attempt_count* out);
/* Counts one failure at now against every key of the hold: a key without
 * an open window opens one. */
int reg_attempts_fail(reg_attempt_hold* hold, int64_t now, int64_t window);
/* Takes back the failure that reg_attempts_fail just counted under this
 * hold (an attempt counted before its password was checked, which proved
 * right): one failure less for every key of the hold, and a key left with
 * none has no record. */
int reg_attempts_take_back(reg_attempt_hold* hold, int64_t now, int64_t window);
/* Ends the hold (a hold that holds nothing is left as it is). */
void reg_attempts_release(reg_attempt_hold* hold);

/* After a catalog or tag-list page: the name to pass as `last` for the next
 * page when names remain after this one (cut by n, or by the room of the
 * result buffer), else null. Valid until the next listing. */
const char* reg_page_next(void);

/* ---- Blob uploads ---------------------------------------------------------
 * An upload is a file that holds the bytes appended so far. Finishing hashes
 * it and, when the digest matches, moves it into the blob store. */

/* Starts an upload; its 36-character identifier goes to out_upload_uuid (37 bytes). */
int reg_blob_start_upload(char* out_upload_uuid);
/* Appends len bytes (0 allowed) at the end of the upload. */
int reg_blob_append_chunk(const char* upload_uuid, const void* data, size_t len);
/* Verifies the upload against expected_digest ("sha256:<64 hex>") and
 * stores it as that blob; out_digest (72 bytes) receives the digest. */
int reg_blob_finish_upload(const char* upload_uuid, const char* expected_digest, char* out_digest);
/* Discards the upload; an upload that does not exist counts as discarded. */
int reg_blob_cancel_upload(const char* upload_uuid);

/* ---- Blob queries and deletion -------------------------------------------- */

/* 1 when the blob is stored, 0 when not, -1 on failure. */
int reg_blob_exists(const char* digest);
/* The blob's size in bytes; -1 on failure and for a blob that is not stored. */
int64_t reg_blob_get_size(const char* digest);
/* The blob file's path, copied only when it fits out_path whole. */
int reg_blob_get_filepath(const char* digest, char* out_path, size_t out_size);
/* Removes the blob file (and its prefix directory once empty). */
int reg_blob_delete(const char* digest);
/* Where the blob's file lies below <root>/blobs, its parts joined by '/'
 * ("sha256/e3/e3b0c442..."): the name a web server that maps that
 * directory gives it. Depends on the digest string alone. */
int reg_blob_store_name(const char* digest, char* out, size_t out_size);

/* ---- Repositories: blobs and uploads as a repository sees them ------------
 * Blobs here are addressed by SHA-256 or SHA-512 digest strings.
 * A repository holds a blob once it links it: when an upload of it finishes
 * there, or when it is mounted from a repository that holds it. Deleting
 * removes the repository's link alone; blob files go by garbage collection.
 * An upload belongs to the repository that started it: under any other
 * name it is not found. */

/* 1 when the repository holds its own data (manifests, blob links or
 * uploads), 0 when not, -1 on failure. */
int reg_repository_exists(const char* repo);
/* Links a stored blob into the repository. */
int reg_repo_blob_link(const char* repo, const char* digest);
/* 1 when the repository holds the blob, 0 when not, -1 on failure. */
int reg_repo_blob_exists(const char* repo, const char* digest);
/* The size of a blob the repository holds; -1 when it does not, or on failure. */
int64_t reg_repo_blob_size(const char* repo, const char* digest);
/* The path of a blob the repository holds, copied only when it fits whole. */
int reg_repo_blob_path(const char* repo, const char* digest, char* out_path, size_t out_size);
/* Marks the repository's link to the blob as just used (a client asked
 * whether the blob is there, about to push a manifest that needs it):
 * garbage collection keeps a blob so marked for its grace period. The
 * mark is refreshed when it is more than a minute old. */
int reg_repo_blob_touch(const char* repo, const char* digest);
/* Removes the repository's link to the blob. */
int reg_repo_blob_unlink(const char* repo, const char* digest);
/* Links a blob that repository `from` holds into repo; not found when it does not. */
int reg_repo_blob_mount(const char* repo, const char* from, const char* digest);

/* Room for any digest string the registry takes ("sha512:" and 128 hex
 * digits) and its NUL. */
#define REG_DIGEST_CAP 136

/* Starts an upload that belongs to repo; out_upload_uuid gets 37 bytes. */
int reg_upload_start(const char* repo, char* out_upload_uuid);
/* The same, for a digest of the named algorithm ("sha256", "sha512"; null
 * for either): the finish must name a digest of it. */
int reg_upload_start_for(const char* repo, const char* algorithm, char* out_upload_uuid);
/* The bytes the repository's upload holds; -1 when there is no such upload. */
int64_t reg_upload_size(const char* repo, const char* upload_uuid);
/* Appends length bytes read from `from` (length < 0: to its end). With
 * at >= 0 the upload must hold exactly `at` bytes first (REG_ERR_RANGE
 * otherwise). A body that does not arrive whole is not kept. *out_size
 * (may be null) gets the upload's new size. */
int reg_upload_append(const char* repo, const char* upload_uuid, FILE* from, int64_t length, int64_t at,
                      int64_t* out_size);
/* The same for a body of no declared length that must hold exactly
 * `count` bytes: `from` is read to its end, and a body of any other length
 * is REG_ERR_RANGE and leaves the upload as it was. */
int reg_upload_append_exact(const char* repo, const char* upload_uuid, FILE* from, int64_t count, int64_t at,
                            int64_t* out_size);
/* Verifies the upload against expected_digest (SHA-256 or SHA-512), stores
 * the blob and links it into the repository; out_digest (REG_DIGEST_CAP
 * bytes) gets the digest. */
int reg_upload_finish(const char* repo, const char* upload_uuid, const char* expected_digest, char* out_digest);
/* Discards the repository's upload. */
int reg_upload_cancel(const char* repo, const char* upload_uuid);

/* ---- Manifests and tags ----------------------------------------------------
 * A manifest is stored per repository under the SHA-256 of its bytes, with
 * its content type, a revision link and, when pushed under a tag, a tag link. */

/* Validates body (len bytes: an OCI image manifest or index, a Docker
 * schema 2 manifest or manifest list, or an OCI artifact manifest, at most
 * REG_MANIFEST_MAX bytes) and stores it under
 * reference: a tag, or the digest string the body must hash to. content_type
 * is a media type, or null or empty for the default. out_digest (72 bytes)
 * receives its digest string. A digest reference is SHA-256 here; a push
 * takes SHA-512 too, and its out_digest has REG_DIGEST_CAP bytes. */
int reg_manifest_put(const char* repo_name, const char* reference, const void* body, uint64_t body_len,
                     const char* content_type, char* out_digest);
/* The largest manifest body the engine stores: 4 MiB. */
#define REG_MANIFEST_MAX 4194304

/* As reg_manifest_put, as a push through the registry API makes it: every
 * blob the manifest refers to (config, layers, artifact blobs) must be held
 * by the repository and every manifest an index lists must be stored in
 * it (REG_ERR_UNKNOWN_REFERENCE otherwise); a subject need not be. */
int reg_manifest_push(const char* repo_name, const char* reference, const void* body, uint64_t body_len,
                      const char* content_type, char* out_digest);

/* As reg_manifest_push, pushed by its digest (reference) and given the
 * tags listed besides, all under one lock: the manifest is whole before
 * any of them names it. */
int reg_manifest_push_tagged(const char* repo_name, const char* reference, const void* body, uint64_t body_len,
                             const char* content_type, const char* const* tags, int tag_count, char* out_digest);

/* The digest that the "subject" of the manifest stored by the latest
 * successful put or push names, or null when it has none. */
const char* reg_manifest_last_subject(void);

/* Room for a stored content type and its NUL (media types are at most 255 bytes). */
#define REG_CONTENT_TYPE_CAP 256

/* The body of the manifest that reference names, as text in the shared
 * result buffer; its content type (REG_CONTENT_TYPE_CAP bytes) and digest
 * string (REG_DIGEST_CAP bytes: a SHA-512 reference gives a longer one). */
const char* reg_manifest_get(const char* repo_name, const char* reference, char* out_content_type,
                             char* out_digest);
/* By tag: removes that tag alone. By digest: removes the manifest and every
 * tag that names it; a digest that is not stored fails ("manifest unknown"). */
int reg_manifest_delete(const char* repo_name, const char* reference);
/* {"name":"<repo>","tags":[...]}: all of the repository's tags in byte order. */
const char* reg_tags_list_json(const char* repo_name);
/* The same, one page: the tags after `last` (null or empty: from the
 * first), at most n (n <= 0: all); reg_page_next tells whether more remain. */
const char* reg_tags_page_json(const char* repo_name, int n, const char* last);

/* The referrers of subject (a digest string) in the repository, as an OCI
 * image index: the manifests whose "subject" names it, and those a client
 * listed in an index tagged "<alg>-<hex>" before the referrers API existed.
 * Only those with artifactType artifact_type when it is given; at most n (n
 * <= 0: all) after the referrer digest last; reg_page_next tells whether
 * more remain. A subject never pushed has none. */
const char* reg_referrers_json(const char* repo, const char* subject, const char* artifact_type, int n,
                               const char* last);

/* ---- Statistics --------------------------------------------------------------
 * {"version":"1.0.0","repositories":N,"tags":N,"blobs":N,"blob_bytes":N,
 *  "active_uploads":N,"upload_bytes":N} from a walk of the tree. */
const char* reg_storage_get_stats_json(void);

#ifdef __cplusplus
}
#endif

#endif
