// Storage statistics over trees built by the tests and by the engine.
#include <gtest/gtest.h>

#include <string>

#include "storage/reg_storage.h"
#include "support/storage_fixture.h"
#include "support/test_support.h"

using namespace testing_support;

namespace {

std::string stats_text(int repos, int tags, int blobs, long long blob_bytes, int uploads, long long upload_bytes) {
  return "{\"version\":\"1.0.0\",\"repositories\":" + std::to_string(repos) + ",\"tags\":" + std::to_string(tags) +
         ",\"blobs\":" + std::to_string(blobs) + ",\"blob_bytes\":" + std::to_string(blob_bytes) +
         ",\"active_uploads\":" + std::to_string(uploads) + ",\"upload_bytes\":" + std::to_string(upload_bytes) + "}";
}

class Stats : public FreshStorage {
 protected:
  std::string stats() {
    const char* s = reg_storage_get_stats_json();
    return s != nullptr ? s : std::string("NULL: ") + reg_storage_last_error();
  }
};

TEST_F(Stats, EmptyRoot) {
  EXPECT_EQ(stats(),
            "{\"version\":\"1.0.0\",\"repositories\":0,\"tags\":0,\"blobs\":0,\"blob_bytes\":0,\"active_uploads\":0,"
            "\"upload_bytes\":0}");
}

TEST_F(Stats, UploadsAndBlobsThroughTheEngine) {
  char a[37];
  char b[37];
  ASSERT_EQ(reg_blob_start_upload(a), 0);
  ASSERT_EQ(reg_blob_append_chunk(a, "0123456789", 10), 0);
  ASSERT_EQ(reg_blob_start_upload(b), 0);
  EXPECT_EQ(stats(), stats_text(0, 0, 0, 0, 2, 10)) << "a fresh empty upload counts with 0 bytes";
  char out[72];
  ASSERT_EQ(reg_blob_finish_upload(b, "sha256:e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", out), 0);
  EXPECT_EQ(stats(), stats_text(0, 0, 1, 0, 1, 10)) << "the empty blob is one blob of 0 bytes";
}

TEST_F(Stats, WhatCountsAsABlobAnUploadARepositoryAndATag) {
  const std::string sha = root + "/blobs/sha256";
  make_dirs(sha + "/ab");
  write_bytes(sha + "/ab/anything", "12345");
  write_bytes(sha + "/ab/.hidden", "1");
  make_dirs(sha + "/ab/sub");
  write_bytes(sha + "/ab/sub/deeper", "999");
  make_dirs(sha + "/not-a-prefix");
  write_bytes(sha + "/not-a-prefix/x", "12");
  write_bytes(sha + "/loose", "1234");
  make_dirs(root + "/uploads/dir");
  write_bytes(root + "/uploads/other-name", "abc");
  make_dirs(root + "/repositories/plain");
  write_bytes(root + "/repositories/file", "");
  const std::string tags = root + "/repositories/app/_manifests/tags";
  make_dirs(tags + "/nolink/current");
  make_dirs(tags + "/empty/current");
  write_bytes(tags + "/empty/current/link", "");
  make_dirs(tags + "/good/current");
  write_bytes(tags + "/good/current/link", "sha256:whatever");
  write_bytes(tags + "/afile", "");
  make_dirs(root + "/repositories/team/app/_manifests/tags/deep/current");
  write_bytes(root + "/repositories/team/app/_manifests/tags/deep/current/link", "x");
  // Made by hand: the engine indexes the nested name when it next starts.
  remove_tree(root + "/repositories/_nested");
  ASSERT_EQ(reg_storage_init(root.c_str()), 0);
  // blobs: anything, .hidden, x (any prefix-directory name); not loose, not deeper.
  // uploads: other-name; not dir. repositories: plain, app, team/app (by
  // its full name, as the catalog lists it); not file, not team.
  // tags: empty, good and the nested repository's deep; not nolink, afile.
  EXPECT_EQ(stats(), stats_text(3, 3, 3, 8, 1, 3));
  EXPECT_STREQ(reg_catalog_json(0, nullptr), "{\"repositories\":[\"app\",\"plain\",\"team/app\"]}");
}

TEST_F(Stats, CountsSeeEveryEntry) {
  for (int i = 0; i < 600; ++i) write_bytes(root + "/uploads/u" + std::to_string(i), "x");
  for (int i = 0; i < 600; ++i) make_dirs(root + "/repositories/r" + std::to_string(i));
  for (int i = 0; i < 600; ++i) {
    const std::string tag = root + "/repositories/r7/_manifests/tags/t" + std::to_string(i) + "/current";
    make_dirs(tag);
    write_bytes(tag + "/link", "x");
  }
  EXPECT_EQ(stats(), stats_text(600, 600, 0, 0, 600, 600));
}

TEST_F(Stats, BeforeInit) {
  reg_storage_cleanup();
  EXPECT_EQ(stats(), "NULL: not initialized - call reg_storage_init first");
}

}  // namespace
