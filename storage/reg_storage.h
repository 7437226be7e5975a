/* The storage engine: the whole registry in a directory tree below one
 * storage root. Operations return 0 / -1 (or a text / null); every failure
 * leaves its message in reg_storage_last_error(). Texts returned from the
 * shared result buffer stay valid until the next operation that writes it
 * (catalog, tag list, manifest read, statistics). */
#ifndef REGISTRY_STORAGE_REG_STORAGE_H
#define REGISTRY_STORAGE_REG_STORAGE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Creates what is missing of the tree below root and readies the engine. */
int reg_storage_init(const char* root);
/* Returns the engine to the not-initialised state. */
void reg_storage_cleanup(void);
/* Message of the latest failure; empty after a successful init. Never null. */
const char* reg_storage_last_error(void);

/* {"repositories":[...]}: every repository by its full name ("team/app"),
 * in byte order, starting after `last` (null or empty: from the first), at
 * most n names (n <= 0: all). Null when the repositories cannot be read. */
const char* reg_catalog_json(int n, const char* last);

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

/* ---- Manifests and tags ----------------------------------------------------
 * A manifest is stored per repository under the SHA-256 of its bytes, with
 * its content type, a revision link and, when pushed under a tag, a tag link. */

/* Validates body (a JSON image manifest, len bytes) and stores it under
 * reference: a tag, or the digest string the body must hash to. content_type
 * is a media type, or null or empty for the default. out_digest (72 bytes)
 * receives its digest string. */
int reg_manifest_put(const char* repo_name, const char* reference, const void* body, uint64_t body_len,
                     const char* content_type, char* out_digest);
/* Room for a stored content type and its NUL (media types are at most 255 bytes). */
#define REG_CONTENT_TYPE_CAP 256

/* The body of the manifest that reference names, as text in the shared
 * result buffer; its content type (REG_CONTENT_TYPE_CAP bytes) and digest
 * string (72 bytes). */
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

/* ---- Statistics --------------------------------------------------------------
 * {"version":"1.0.0","repositories":N,"tags":N,"blobs":N,"blob_bytes":N,
 *  "active_uploads":N,"upload_bytes":N} from a walk of the tree. */
const char* reg_storage_get_stats_json(void);

#ifdef __cplusplus
}
#endif

#endif
