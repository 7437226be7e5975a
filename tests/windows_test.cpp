// What only the Windows build can show: the backslash as the separator the
// system writes, drive-letter roots, a backslash in a repository name as a
// real separator, long roots through the \\?\ form, and binary files.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "cgi/bt_cgi.h"
#include "hash/sha256.h"
#include "platform/host.h"
#include "storage/reg_storage.h"
#include "storage/storage_fs.h"
#include "storage/storage_layout.h"
#include "storage/storage_state.h"

namespace {

constexpr char kEmptyHex[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
constexpr char kHelloDigest[] = "sha256:2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824";
const std::string kBody = "{\"schemaVersion\":2,\"config\":{\"digest\":\"sha256:" + std::string(64, 'a') + "\"}}";

bool is_dir(const std::string& p) {
  host::Attributes a;
  return host::get_attributes(p.c_str(), &a) && a.kind == host::Kind::kDir;
}

bool exists(const std::string& p) {
  host::Attributes a;
  return host::get_attributes(p.c_str(), &a);
}

std::string read_bytes(const std::string& p) {
  std::string out;
  if (FILE* f = host::open_file(p.c_str(), "rb")) {
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    std::fclose(f);
  }
  return out;
}

void remove_tree(const std::string& p) {
  host::DirStream ds;
  if (host::dir_open(&ds, p.c_str())) {
    const char* name;
    host::Kind kind;
    std::string names[1024];
    bool dirs[1024];
    int count = 0;
    while (count < 1024 && host::dir_next(&ds, &name, &kind)) {
      if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
      names[count] = name;
      dirs[count++] = kind == host::Kind::kDir;
    }
    host::dir_close(&ds);
    for (int i = 0; i < count; ++i) {
      const std::string child = p + "\\" + names[i];
      if (dirs[i]) {
        remove_tree(child);
      } else {
        host::remove_file(child.c_str());
      }
    }
    host::remove_dir(p.c_str());
  }
}

// A fresh directory below the system's temporary directory.
class WinTemp {
 public:
  WinTemp() {
    static int counter = 0;
    char base[MAX_PATH];
    GetTempPathA(sizeof base, base);
    path_ = std::string(base) + "regtest-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++);
    host::make_dir(path_.c_str());
  }
  ~WinTemp() { remove_tree(path_); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

class WindowsStorage : public ::testing::Test {
 protected:
  void SetUp() override { reg_storage_cleanup(); }
  void TearDown() override { reg_storage_cleanup(); }
  WinTemp tmp;
};

TEST(WindowsPaths, JoinsWriteTheBackslash) {
  char out[4096];
  storage::path_join(out, sizeof out, "D:\\reg", "blobs");
  EXPECT_STREQ(out, "D:\\reg\\blobs");
  bt_path_join(out, sizeof out, "root", "a");
  EXPECT_STREQ(out, "root\\a");
  bt_path_join(out, sizeof out, "root/", "a");
  EXPECT_STREQ(out, "root/a");
  bt_path_join(out, sizeof out, "root", "//a/b");
  EXPECT_STREQ(out, "root\\a/b");
  // The blob and upload paths of the root D:\reg, exactly as written.
  std::snprintf(storage::s_root, sizeof storage::s_root, "%s", "D:\\reg");
  storage::blob_path_for_digest((std::string("sha256:") + kEmptyHex).c_str(), out, sizeof out);
  EXPECT_EQ(std::string(out), std::string("D:\\reg\\blobs\\sha256\\e3\\") + kEmptyHex);
  storage::upload_path_for_uuid("91e3a35b-f173-0dfb-938b-ee4b3dc38bf5", out, sizeof out);
  EXPECT_STREQ(out, "D:\\reg\\uploads\\91e3a35b-f173-0dfb-938b-ee4b3dc38bf5.part");
  storage::s_root[0] = '\0';
}

TEST_F(WindowsStorage, TreeMarkerAndTrailingBackslash) {
  const std::string root = tmp.path() + "\\root";
  ASSERT_EQ(reg_storage_init((root + "\\").c_str()), 0) << reg_storage_last_error();
  EXPECT_EQ(std::string(storage::s_root), root) << "one trailing backslash is dropped";
  for (const char* d : {"\\blobs\\sha256", "\\repositories", "\\uploads"}) EXPECT_TRUE(is_dir(root + d)) << d;
  const std::string marker = read_bytes(root + "\\config.json");
  EXPECT_EQ(marker.size(), 110u) << "written in binary: LF stays LF";
  EXPECT_EQ(marker.find('\r'), std::string::npos);
  // A root given with '/' names the same tree.
  ASSERT_EQ(reg_storage_init((tmp.path() + "/root").c_str()), 0);
  EXPECT_STREQ(reg_catalog_json(0, nullptr), "{\"repositories\":[]}");
}

TEST_F(WindowsStorage, UploadFinishQueryDelete) {
  const std::string root = tmp.path() + "\\root";
  ASSERT_EQ(reg_storage_init(root.c_str()), 0);
  char id[37];
  char out[72];
  ASSERT_EQ(reg_blob_start_upload(id), 0);
  ASSERT_EQ(reg_blob_append_chunk(id, "hel\r\n", 5), 0);
  EXPECT_EQ(read_bytes(root + "\\uploads\\" + id + ".part"), "hel\r\n") << "appends are binary";
  ASSERT_EQ(reg_blob_cancel_upload(id), 0);
  ASSERT_EQ(reg_blob_start_upload(id), 0);
  ASSERT_EQ(reg_blob_append_chunk(id, "hello", 5), 0);
  ASSERT_EQ(reg_blob_finish_upload(id, kHelloDigest, out), 0) << reg_storage_last_error();
  char path[4096];
  ASSERT_EQ(reg_blob_get_filepath(kHelloDigest, path, sizeof path), 0);
  EXPECT_EQ(std::string(path), root + "\\blobs\\sha256\\2c\\" + (kHelloDigest + 7));
  EXPECT_EQ(reg_blob_get_size(kHelloDigest), 5);
  // Finishing the same content again: the stored blob stays, the upload goes.
  ASSERT_EQ(reg_blob_start_upload(id), 0);
  ASSERT_EQ(reg_blob_append_chunk(id, "hello", 5), 0);
  ASSERT_EQ(reg_blob_finish_upload(id, kHelloDigest, out), 0);
  EXPECT_FALSE(exists(root + "\\uploads\\" + id + ".part"));
  // The prefix directory, formatted with '/', is the one the joins name.
  ASSERT_EQ(reg_blob_delete(kHelloDigest), 0);
  EXPECT_FALSE(exists(root + "\\blobs\\sha256\\2c"));
}

TEST_F(WindowsStorage, RenameSemantics) {
  const std::string a = tmp.path() + "\\a";
  const std::string b = tmp.path() + "\\b";
  ASSERT_EQ(storage::write_file(a.c_str(), "A", 1), 0);
  ASSERT_EQ(storage::write_file(b.c_str(), "B", 1), 0);
  EXPECT_FALSE(host::rename_file(a.c_str(), b.c_str())) << "rename fails when the target exists";
  EXPECT_EQ(storage::write_file(b.c_str(), "B2", 2), 0) << "the atomic write replaces";
  EXPECT_EQ(read_bytes(b), "B2");
  EXPECT_TRUE(host::rename_replace(a.c_str(), b.c_str()));
  EXPECT_EQ(read_bytes(b), "A");
}

TEST_F(WindowsStorage, NamesTheSystemWouldFoldTogetherAreRefused) {
  const std::string root = tmp.path() + "\\root";
  ASSERT_EQ(reg_storage_init(root.c_str()), 0);
  char out[72];
  ASSERT_EQ(reg_manifest_put("team/app", "v1", kBody.data(), kBody.size(), nullptr, out), 0)
      << reg_storage_last_error();
  EXPECT_TRUE(is_dir(root + "\\repositories\\team\\app\\_manifests\\tags\\v1\\current"));
  EXPECT_STREQ(reg_catalog_json(0, nullptr), "{\"repositories\":[\"team/app\"]}");
  char ct[REG_CONTENT_TYPE_CAP];
  char d[72];
  EXPECT_STREQ(reg_manifest_get("team/app", "v1", ct, d), kBody.c_str());
  // A backslash would be a second spelling of team/app; a trailing dot is
  // dropped by the system ("app." is "app"); device names open a device.
  for (const char* name : {"team\\app", "app.", "team/app.", "con", "NUL", "nul.txt", "a/Com1", "lpt9.x", "aux/b"}) {
    EXPECT_EQ(reg_manifest_put(name, "v1", kBody.data(), kBody.size(), nullptr, out), -1) << name;
    EXPECT_EQ(std::string(reg_storage_last_error()), std::string("invalid repository name: ") + name);
  }
  for (const char* name : {"console", "com10", "a.b", "nul-x"}) {
    EXPECT_EQ(reg_manifest_put(name, "v1", kBody.data(), kBody.size(), nullptr, out), 0) << name;
  }
}

TEST_F(WindowsStorage, AnOpenLockedUploadIsFinishedAndThenGone) {
  // The finish renames the upload while it holds it open and locked: on
  // Windows that needs every handle to share deletion.
  const std::string root = tmp.path() + "\\root";
  ASSERT_EQ(reg_storage_init(root.c_str()), 0);
  char id[37];
  char out[72];
  ASSERT_EQ(reg_blob_start_upload(id), 0);
  ASSERT_EQ(reg_blob_append_chunk(id, "hello", 5), 0);
  ASSERT_EQ(reg_blob_finish_upload(id, kHelloDigest, out), 0) << reg_storage_last_error();
  EXPECT_EQ(read_bytes(root + "\\blobs\\sha256\\2c\\" + (kHelloDigest + 7)), "hello");
  EXPECT_EQ(reg_blob_append_chunk(id, "x", 1), -1) << "an upload that is gone stays gone";
  EXPECT_FALSE(exists(root + "\\uploads\\" + id + ".part"));
  ASSERT_EQ(reg_blob_start_upload(id), 0);
  ASSERT_EQ(reg_blob_append_chunk(id, "x", 1), 0);
  ASSERT_EQ(reg_blob_finish_upload(id, kHelloDigest, out), -1) << "a mismatch removes the upload";
  EXPECT_FALSE(exists(root + "\\uploads\\" + id + ".part"));
  ASSERT_EQ(reg_blob_start_upload(id), 0);
  ASSERT_EQ(reg_blob_cancel_upload(id), 0);
  EXPECT_FALSE(exists(root + "\\uploads\\" + id + ".part"));
}

TEST_F(WindowsStorage, RootsBeyondTheClassicLimitWork) {
  std::string root = tmp.path();
  while (root.size() < 3400) root += "\\" + std::string(200, 'd');
  root.resize(3400);
  ASSERT_EQ(reg_storage_init(root.c_str()), 0) << reg_storage_last_error();
  char id[37];
  char out[72];
  ASSERT_EQ(reg_blob_start_upload(id), 0) << reg_storage_last_error();
  ASSERT_EQ(reg_blob_append_chunk(id, "hello", 5), 0);
  ASSERT_EQ(reg_blob_finish_upload(id, kHelloDigest, out), 0) << reg_storage_last_error();
  EXPECT_EQ(reg_blob_exists(kHelloDigest), 1);
  ASSERT_EQ(reg_manifest_put("app", "latest", kBody.data(), kBody.size(), nullptr, out), 0)
      << reg_storage_last_error();
  char ct[REG_CONTENT_TYPE_CAP];
  char d[72];
  EXPECT_STREQ(reg_manifest_get("app", "latest", ct, d), kBody.c_str());
  EXPECT_STREQ(reg_catalog_json(0, nullptr), "{\"repositories\":[\"app\"]}");
  EXPECT_STREQ(reg_storage_get_stats_json(),
               "{\"version\":\"1.0.0\",\"repositories\":1,\"tags\":1,\"blobs\":1,\"blob_bytes\":5,"
               "\"active_uploads\":0,\"upload_bytes\":0}");
}

TEST_F(WindowsStorage, HashingFilesIsBinary) {
  const std::string f = tmp.path() + "\\crlf";
  ASSERT_EQ(storage::write_file(f.c_str(), "a\r\nb\n\x1a" "c", 7), 0);
  uint8_t file_digest[32];
  ASSERT_EQ(sha256_file(f.c_str(), file_digest), 0);
  sha256_ctx ctx;
  sha256_init(&ctx);
  sha256_update(&ctx, "a\r\nb\n\x1a" "c", 7);
  uint8_t mem_digest[32];
  sha256_final(&ctx, mem_digest);
  EXPECT_EQ(std::memcmp(file_digest, mem_digest, 32), 0);
}

}  // namespace
