/* Kept for the endpoint until it moves to the status forms of
 * reg_storage.h: the earlier forms of the engine's operations, each a thin
 * wrapper over its status form that reports to reg_storage_last_error()
 * (and its kind and cause) as the first operations do, and keeps its text
 * results and page cursor in the engine as before. C++ only: they overload
 * the names of the status forms. Nothing new should call them; they go
 * once the endpoint has moved. Code defining REG_STORAGE_NO_COMPAT (the
 * engine's tests) does without them. */
#ifndef REGISTRY_STORAGE_REG_STORAGE_COMPAT_H
#define REGISTRY_STORAGE_REG_STORAGE_COMPAT_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

int reg_storage_open(const char* root);
int reg_storage_attach(const char* root, int create_root);

/* Texts in the shared result buffer; reg_page_next() tells where the
 * latest of these pages ended: the `last` for the next one, or null. */
const char* reg_catalog_json_where(int n, const char* last, reg_name_filter keep, void* ctx);
const char* reg_tags_page_json(const char* repo_name, int n, const char* last);
const char* reg_referrers_json(const char* repo, const char* subject, const char* artifact_type, int n,
                               const char* last);
const char* reg_page_next();

int reg_auth_path(reg_auth_file which, char* out, size_t cap);

int reg_attempts_read(const reg_attempt_key* keys, int n, int64_t now, int64_t window, reg_attempt_count* out);
int reg_attempts_hold(reg_attempt_hold* hold, const reg_attempt_key* keys, int n, int64_t now, int64_t window,
                      reg_attempt_count* out);
int reg_attempts_fail(reg_attempt_hold* hold, int64_t now, int64_t window);
int reg_attempts_take_back(reg_attempt_hold* hold, int64_t now, int64_t window);

int reg_blob_store_name(const char* digest, char* out, size_t out_size);

int reg_repository_exists(const char* repo);
int reg_repo_blob_link(const char* repo, const char* digest);
int reg_repo_blob_exists(const char* repo, const char* digest);
int64_t reg_repo_blob_size(const char* repo, const char* digest);
int reg_repo_blob_path(const char* repo, const char* digest, char* out_path, size_t out_size);
int reg_repo_blob_touch(const char* repo, const char* digest);
int reg_repo_blob_unlink(const char* repo, const char* digest);
int reg_repo_blob_mount(const char* repo, const char* from, const char* digest);

/* Each of these holds the upload for itself alone. */
int reg_upload_start(const char* repo, char* out_upload_uuid);
int reg_upload_start_for(const char* repo, const char* algorithm, char* out_upload_uuid);
int64_t reg_upload_size(const char* repo, const char* upload_uuid);
int reg_upload_append(const char* repo, const char* upload_uuid, FILE* from, int64_t length, int64_t at,
                      int64_t* out_size);
int reg_upload_append_exact(const char* repo, const char* upload_uuid, FILE* from, int64_t count, int64_t at,
                            int64_t* out_size);
int reg_upload_finish(const char* repo, const char* upload_uuid, const char* expected_digest, char* out_digest);
int reg_upload_cancel(const char* repo, const char* upload_uuid);

/* reg_manifest_last_subject() is the subject of the manifest the latest
 * of these stored, or null when it has none. */
int reg_manifest_push(const char* repo_name, const char* reference, const void* body, uint64_t body_len,
                      const char* content_type, char* out_digest);
int reg_manifest_push_tagged(const char* repo_name, const char* reference, const void* body, uint64_t body_len,
                             const char* content_type, const char* const* tags, int tag_count, char* out_digest);
const char* reg_manifest_last_subject();

#endif
