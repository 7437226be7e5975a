// A storage engine initialised on a fresh root for each test.
#ifndef REGISTRY_TESTS_STORAGE_FIXTURE_H
#define REGISTRY_TESTS_STORAGE_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "storage/reg_storage.h"
#include "test_support.h"

namespace testing_support {

// A writer for the engine's texts that appends to a std::string.
inline int append_text(void* ctx, const char* data, size_t len) {
  static_cast<std::string*>(ctx)->append(data, len);
  return 0;
}

// A stream that reads the bytes given, from its start; the caller closes it.
inline FILE* stream_of(const std::string& bytes) {
  FILE* f = std::tmpfile();
  if (f == nullptr) return nullptr;
  if (std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
    std::fclose(f);
    return nullptr;
  }
  std::rewind(f);
  return f;
}

// Appends bytes to the held upload, as a request body of declared length.
inline int append_bytes(reg_upload* held, const std::string& bytes, int64_t at, reg_status* st) {
  FILE* f = stream_of(bytes);
  if (f == nullptr) return -1;
  const int rc = reg_upload_held_append(held, f, static_cast<int64_t>(bytes.size()), at, 0, st);
  std::fclose(f);
  return rc;
}

// Appends bytes to the repository's upload in one request of its own.
inline int append_to(const char* repo, const char* uuid, const std::string& bytes, int64_t at, reg_status* st) {
  reg_upload* held = reg_upload_hold(repo, uuid, st);
  if (held == nullptr) return -1;
  const int rc = append_bytes(held, bytes, at, st);
  reg_upload_release(held);
  return rc;
}

// Finishes the repository's upload in one request of its own.
inline int finish_upload(const char* repo, const char* uuid, const std::string& digest, reg_status* st,
                         char* out = nullptr) {
  char own[REG_DIGEST_CAP];
  reg_upload* held = reg_upload_hold(repo, uuid, st);
  if (held == nullptr) return -1;
  const int rc = reg_upload_held_finish(held, digest.c_str(), out != nullptr ? out : own, st);
  reg_upload_release(held);
  return rc;
}

// The bytes the repository's upload holds; -1 (st tells) when there is none.
inline int64_t upload_size(const char* repo, const char* uuid, reg_status* st) {
  reg_upload* held = reg_upload_hold(repo, uuid, st);
  if (held == nullptr) return -1;
  const int64_t size = reg_upload_held_size(held);
  reg_upload_release(held);
  return size;
}

// Cancels the repository's upload in one request of its own.
inline int cancel_upload(const char* repo, const char* uuid, reg_status* st) {
  reg_upload* held = reg_upload_hold(repo, uuid, st);
  if (held == nullptr) return -1;
  const int rc = reg_upload_held_cancel(held, st);
  reg_upload_release(held);
  return rc;
}

// A whole upload of bytes into repo, as a monolithic push makes it: start,
// then one request that appends and finishes. The blob's digest, or ""
// (st tells why).
inline std::string upload_blob(const char* repo, const std::string& bytes, reg_status* st,
                               const char* algorithm = nullptr, const std::string& digest = "") {
  char uuid[37];
  if (reg_upload_start(repo, algorithm, uuid, st) != 0) return "";
  const std::string d = !digest.empty() ? digest : digest_string(bytes);
  reg_upload* held = reg_upload_hold(repo, uuid, st);
  if (held == nullptr) return "";
  char out[REG_DIGEST_CAP];
  const bool ok = append_bytes(held, bytes, 0, st) == 0 && reg_upload_held_finish(held, d.c_str(), out, st) == 0;
  reg_upload_release(held);
  return ok ? d : "";
}

// One page of a listing through the engine's status forms.
struct Listing {
  int rc = -1;
  std::string text;
  reg_page page{};
  reg_status st{};
};

inline Listing catalog_page(int n, const char* last, reg_name_filter keep = nullptr, void* keep_ctx = nullptr) {
  Listing l;
  l.rc = reg_catalog_json_where(n, last, keep, keep_ctx, append_text, &l.text, &l.page, &l.st);
  return l;
}

inline Listing tags_page(const char* repo, int n, const char* last) {
  Listing l;
  l.rc = reg_tags_page_json(repo, n, last, append_text, &l.text, &l.page, &l.st);
  return l;
}

inline Listing referrers_page(const char* repo, const char* subject, const char* artifact_type, int n,
                              const char* last) {
  Listing l;
  l.rc = reg_referrers_json(repo, subject, artifact_type, n, last, append_text, &l.text, &l.page, &l.st);
  return l;
}

class FreshStorage : public ::testing::Test {
 protected:
  void SetUp() override {
    reg_storage_cleanup();
    root = tmp / "root";
    ASSERT_EQ(reg_storage_init(root.c_str()), 0) << reg_storage_last_error();
  }
  void TearDown() override { reg_storage_cleanup(); }

  TempDir tmp;
  std::string root;
};

}  // namespace testing_support

#endif
