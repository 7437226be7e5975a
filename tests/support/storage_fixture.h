// A storage engine initialised on a fresh root for each test.
#ifndef REGISTRY_TESTS_STORAGE_FIXTURE_H
#define REGISTRY_TESTS_STORAGE_FIXTURE_H

#include <gtest/gtest.h>

#include <string>

#include "storage/reg_storage.h"
#include "test_support.h"

namespace testing_support {

// A writer for the engine's texts that appends to a std::string.
inline int append_text(void* ctx, const char* data, size_t len) {
  static_cast<std::string*>(ctx)->append(data, len);
  return 0;
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
