// A storage engine initialised on a fresh root for each test.
#ifndef REGISTRY_TESTS_STORAGE_FIXTURE_H
#define REGISTRY_TESTS_STORAGE_FIXTURE_H

#include <gtest/gtest.h>

#include <string>

#include "storage/reg_storage.h"
#include "test_support.h"

namespace testing_support {

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
