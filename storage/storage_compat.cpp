// Kept for the endpoint until it moves to the status forms: the earlier
// forms of the engine's operations (reg_storage_compat.h), each its status
// form with the outcome published as the last error, its text in the
// shared result buffer, and its page cursor and pushed subject kept here.
// These two and the result buffer are the state these forms need; they go
// with them.
#include <cstdio>
#include <cstring>

#include "storage/reg_storage.h"
#include "storage/storage_state.h"
#include "storage/storage_text.h"

using namespace storage;

namespace {

// Where the latest page of these forms ended, for reg_page_next.
reg_page s_page;
// The subject of the manifest the latest push of these forms stored.
char s_subject[REG_DIGEST_CAP];

// Runs a listing's status form into the shared result buffer.
template <typename List>
const char* page_into_result(List list) {
  PublishedStatus st;
  BufferWriter result{s_result, kResultCap};
  reg_page page{};
  if (list(BufferWriter::write, &result, &page, st.get()) != 0) return nullptr;
  s_page = page;
  return s_result;
}

// Holds the repository's upload for one operation alone.
template <typename Op>
int with_upload(const char* repo, const char* upload_uuid, Op op) {
  PublishedStatus st;
  if (repo == nullptr) return fail(st, REG_ERR_INVALID, "NULL argument");
  reg_upload* held = reg_upload_hold(repo, upload_uuid, st);
  if (held == nullptr) return -1;
  const int rc = op(held, st.get());
  reg_upload_release(held);
  return rc;
}

}  // namespace

int reg_storage_open(const char* root) {
  PublishedStatus st;
  return reg_storage_open(root, st);
}

int reg_storage_attach(const char* root, int create_root) {
  PublishedStatus st;
  return reg_storage_attach(root, create_root, st);
}

const char* reg_catalog_json_where(int n, const char* last, reg_name_filter keep, void* ctx) {
  return page_into_result([&](reg_writer w, void* wctx, reg_page* page, reg_status* st) {
    return reg_catalog_json_where(n, last, keep, ctx, w, wctx, page, st);
  });
}

const char* reg_tags_page_json(const char* repo_name, int n, const char* last) {
  return page_into_result([&](reg_writer w, void* wctx, reg_page* page, reg_status* st) {
    return reg_tags_page_json(repo_name, n, last, w, wctx, page, st);
  });
}

const char* reg_referrers_json(const char* repo, const char* subject, const char* artifact_type, int n,
                               const char* last) {
  return page_into_result([&](reg_writer w, void* wctx, reg_page* page, reg_status* st) {
    return reg_referrers_json(repo, subject, artifact_type, n, last, w, wctx, page, st);
  });
}

const char* reg_page_next() { return s_page.more ? s_page.next : nullptr; }

int reg_auth_path(reg_auth_file which, char* out, size_t cap) {
  PublishedStatus st;
  return reg_auth_path(which, out, cap, st);
}

int reg_attempts_read(const reg_attempt_key* keys, int n, int64_t now, int64_t window, reg_attempt_count* out) {
  PublishedStatus st;
  return reg_attempts_read(keys, n, now, window, out, st);
}

int reg_attempts_hold(reg_attempt_hold* hold, const reg_attempt_key* keys, int n, int64_t now, int64_t window,
                      reg_attempt_count* out) {
  PublishedStatus st;
  return reg_attempts_hold(hold, keys, n, now, window, out, st);
}

int reg_attempts_fail(reg_attempt_hold* hold, int64_t now, int64_t window) {
  PublishedStatus st;
  return reg_attempts_fail(hold, now, window, st);
}

int reg_attempts_take_back(reg_attempt_hold* hold, int64_t now, int64_t window) {
  PublishedStatus st;
  return reg_attempts_take_back(hold, now, window, st);
}

int reg_blob_store_name(const char* digest, char* out, size_t out_size) {
  PublishedStatus st;
  return reg_blob_store_name(digest, out, out_size, st);
}

int reg_repository_exists(const char* repo) {
  PublishedStatus st;
  return reg_repository_exists(repo, st);
}

int reg_repo_blob_link(const char* repo, const char* digest) {
  PublishedStatus st;
  return reg_repo_blob_link(repo, digest, st);
}

int reg_repo_blob_exists(const char* repo, const char* digest) {
  PublishedStatus st;
  return reg_repo_blob_exists(repo, digest, st);
}

int64_t reg_repo_blob_size(const char* repo, const char* digest) {
  PublishedStatus st;
  return reg_repo_blob_size(repo, digest, st);
}

int reg_repo_blob_path(const char* repo, const char* digest, char* out_path, size_t out_size) {
  PublishedStatus st;
  return reg_repo_blob_path(repo, digest, out_path, out_size, st);
}

int reg_repo_blob_touch(const char* repo, const char* digest) {
  PublishedStatus st;
  return reg_repo_blob_touch(repo, digest, st);
}

int reg_repo_blob_unlink(const char* repo, const char* digest) {
  PublishedStatus st;
  return reg_repo_blob_unlink(repo, digest, st);
}

int reg_repo_blob_mount(const char* repo, const char* from, const char* digest) {
  PublishedStatus st;
  return reg_repo_blob_mount(repo, from, digest, st);
}

int reg_upload_start(const char* repo, char* out_upload_uuid) {
  PublishedStatus st;
  return reg_upload_start(repo, nullptr, out_upload_uuid, st);
}

int reg_upload_start_for(const char* repo, const char* algorithm, char* out_upload_uuid) {
  PublishedStatus st;
  return reg_upload_start(repo, algorithm, out_upload_uuid, st);
}

int64_t reg_upload_size(const char* repo, const char* upload_uuid) {
  int64_t size = -1;
  with_upload(repo, upload_uuid, [&](reg_upload* held, reg_status*) {
    size = reg_upload_held_size(held);
    return 0;
  });
  return size;
}

int reg_upload_append(const char* repo, const char* upload_uuid, FILE* from, int64_t length, int64_t at,
                      int64_t* out_size) {
  return with_upload(repo, upload_uuid, [&](reg_upload* held, reg_status* st) {
    if (reg_upload_held_append(held, from, length, at, 0, st) != 0) return -1;
    if (out_size != nullptr) *out_size = reg_upload_held_size(held);
    return 0;
  });
}

int reg_upload_append_exact(const char* repo, const char* upload_uuid, FILE* from, int64_t count, int64_t at,
                            int64_t* out_size) {
  if (count < 0) {
    PublishedStatus st;
    return fail(st, REG_ERR_INVALID, "negative chunk length");
  }
  return with_upload(repo, upload_uuid, [&](reg_upload* held, reg_status* st) {
    if (reg_upload_held_append(held, from, count, at, 1, st) != 0) return -1;
    if (out_size != nullptr) *out_size = reg_upload_held_size(held);
    return 0;
  });
}

int reg_upload_finish(const char* repo, const char* upload_uuid, const char* expected_digest, char* out_digest) {
  return with_upload(repo, upload_uuid, [&](reg_upload* held, reg_status* st) {
    return reg_upload_held_finish(held, expected_digest, out_digest, st);
  });
}

int reg_upload_cancel(const char* repo, const char* upload_uuid) {
  return with_upload(repo, upload_uuid,
                     [&](reg_upload* held, reg_status* st) { return reg_upload_held_cancel(held, st); });
}

int reg_manifest_push(const char* repo_name, const char* reference, const void* body, uint64_t body_len,
                      const char* content_type, char* out_digest) {
  return reg_manifest_push_tagged(repo_name, reference, body, body_len, content_type, nullptr, 0, out_digest);
}

int reg_manifest_push_tagged(const char* repo_name, const char* reference, const void* body, uint64_t body_len,
                             const char* content_type, const char* const* tags, int tag_count, char* out_digest) {
  PublishedStatus st;
  char subject[REG_DIGEST_CAP];
  if (reg_manifest_push(repo_name, reference, body, body_len, content_type, tags, tag_count, out_digest, subject, st) !=
      0) {
    return -1;
  }
  std::memcpy(s_subject, subject, sizeof s_subject);
  return 0;
}

const char* reg_manifest_last_subject() { return s_subject[0] != '\0' ? s_subject : nullptr; }
