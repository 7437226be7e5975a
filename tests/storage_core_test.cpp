// The storage core: initialisation, the tree, primitives, text helpers and
// the catalog, against real directories.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "storage/reg_storage.h"
#include "storage/storage_catalog.h"
#include "storage/storage_fs.h"
#include "storage/storage_state.h"
#include "storage/storage_text.h"
#include "support/storage_fixture.h"
#include "support/test_support.h"

using namespace testing_support;

namespace {

constexpr char kMarker[] =
    "{\n  \"schemaVersion\": 2,\n  \"title\": \"brindlet-registry-storage\",\n  \"version\": \"1.0.0\",\n"
    "  \"maxUploadSize\": -1\n}\n";
constexpr char kNotReady[] = "not initialized - call reg_storage_init first";

class StorageTest : public ::testing::Test {
 protected:
  void SetUp() override { reg_storage_cleanup(); }
  void TearDown() override { reg_storage_cleanup(); }
  TempDir tmp;
};

// ---- Initialisation ---------------------------------------------------------

TEST_F(StorageTest, InitCreatesTheTreeAndTheMarkerFile) {
  const std::string root = tmp / "a/b/root";
  ASSERT_EQ(reg_storage_init(root.c_str()), 0);
  EXPECT_STREQ(reg_storage_last_error(), "");
  EXPECT_EQ(list_names(root), (std::vector<std::string>{"blobs", "config.json", "repositories", "uploads"}));
  EXPECT_EQ(list_names(root + "/blobs"), std::vector<std::string>{"sha256"});
  EXPECT_TRUE(list_names(root + "/blobs/sha256").empty());
  EXPECT_EQ(read_bytes(root + "/config.json"), std::string(kMarker));
  EXPECT_EQ(read_bytes(root + "/config.json").size(), 110u);
}

TEST_F(StorageTest, SecondInitChangesNothingAndKeepsAnExistingMarker) {
  const std::string root = tmp / "root";
  ASSERT_EQ(reg_storage_init(root.c_str()), 0);
  write_bytes(root + "/config.json", "mine");
  ASSERT_EQ(reg_storage_init(root.c_str()), 0);
  EXPECT_EQ(read_bytes(root + "/config.json"), "mine");
  EXPECT_EQ(list_names(root), (std::vector<std::string>{"blobs", "config.json", "repositories", "uploads"}));
}

TEST_F(StorageTest, TrailingSeparatorRule) {
  // One trailing host separator is dropped; a second one, or the other
  // separator, stays.
  const std::string root = tmp / "r1/";
  ASSERT_EQ(reg_storage_init(root.c_str()), 0);
  EXPECT_EQ(std::string(storage::s_root), tmp / "r1");
  const std::string twice = tmp / "r2//";
  ASSERT_EQ(reg_storage_init(twice.c_str()), 0);
  EXPECT_EQ(std::string(storage::s_root), tmp / "r2/");
  const std::string back = tmp / "r3\\";
  ASSERT_EQ(reg_storage_init(back.c_str()), 0);
  EXPECT_EQ(std::string(storage::s_root), tmp / "r3\\");
  EXPECT_TRUE(is_dir(tmp / "r3/repositories"));
}

TEST_F(StorageTest, ASingleSeparatorRootBecomesEmptyAndFails) {
  EXPECT_EQ(reg_storage_init("/"), -1);
  EXPECT_STREQ(reg_storage_last_error(), "mkdirs failed: ");
}

TEST_F(StorageTest, RootLengthLimit) {
  // 3499 characters pass the length check, 3500 do not.
  std::string root = tmp.path();
  while (root.size() < 3499) {
    root += '/';
    root.append(std::min<size_t>(200, 3499 - root.size()), 'd');
  }
  ASSERT_EQ(root.size(), 3499u);
  EXPECT_EQ(reg_storage_init(root.c_str()), 0) << reg_storage_last_error();
  const std::string longer = root + "e";
  EXPECT_EQ(reg_storage_init(longer.c_str()), -1);
  EXPECT_STREQ(reg_storage_last_error(), "storage root dir too long (max 3499 chars)");
}

TEST_F(StorageTest, InitFailures) {
  const std::string file = tmp / "file";
  write_bytes(file, "x");
  EXPECT_EQ(reg_storage_init(file.c_str()), -1);
  EXPECT_EQ(std::string(reg_storage_last_error()), "mkdirs failed: " + file + "/blobs/sha256");

  const std::string under = tmp / "file/root";
  EXPECT_EQ(reg_storage_init(under.c_str()), -1);
  EXPECT_EQ(std::string(reg_storage_last_error()), "mkdirs failed: " + under);

  const std::string marker_dir = tmp / "m";
  make_dirs(marker_dir + "/config.json");
  EXPECT_EQ(reg_storage_init(marker_dir.c_str()), -1);
  // The specified message, and the path, which the engine adds.
  EXPECT_EQ(reg_storage_last_kind(), REG_ERR_STORAGE);
  EXPECT_EQ(std::string(reg_storage_last_error()).rfind("write config.json failed", 0), 0u) << reg_storage_last_error();
  EXPECT_EQ(list_names(marker_dir), (std::vector<std::string>{"blobs", "config.json", "repositories", "uploads"}))
      << "no temporary file is left behind";

  EXPECT_EQ(reg_storage_init(nullptr), -1);
  EXPECT_STREQ(reg_storage_last_error(), "storage root dir is empty");
  EXPECT_EQ(reg_storage_init(""), -1);
  EXPECT_STREQ(reg_storage_last_error(), "storage root dir is empty");
}

// The tools that look after a registry open it without making one where
// there is none: a mistyped root is an error that says why, and a
// directory that holds no registry is left as it is.
TEST_F(StorageTest, OpenMakesNothingWhereThereIsNoRegistry) {
  const std::string file = tmp / "file";
  write_bytes(file, "x");
  const std::string empty = tmp / "empty";
  make_dirs(empty);
  struct Case {
    std::string root;
    reg_error_kind kind;
    std::string cause;
  };
  const Case cases[] = {
      {tmp / "missing", REG_ERR_STORAGE, "No such file or directory"},
      {tmp / "missing/deeper", REG_ERR_STORAGE, "No such file or directory"},
      {file, REG_ERR_NOT_FOUND, ""},
      {empty, REG_ERR_NOT_FOUND, ""},
  };
  for (const Case& c : cases) {
    reg_status st;
    EXPECT_EQ(reg_storage_open(c.root.c_str(), &st), -1) << c.root;
    EXPECT_EQ(st.kind, c.kind) << c.root;
    EXPECT_NE(std::string(st.message).find(c.root), std::string::npos) << "the message names the root: " << st.message;
    EXPECT_EQ(std::string(st.cause), c.cause);
    EXPECT_EQ(reg_catalog_json(0, nullptr), nullptr) << "not ready";
  }
  EXPECT_FALSE(exists(tmp / "missing"));
  EXPECT_TRUE(list_names(empty).empty());

  // A registry that has served: opened, and what is missing of it made.
  const std::string root = tmp / "root";
  ASSERT_EQ(reg_storage_init(root.c_str()), 0);
  reg_storage_cleanup();
  remove_tree(root + "/uploads");
  reg_status st;
  ASSERT_EQ(reg_storage_open(root.c_str(), &st), 0) << st.message;
  EXPECT_EQ(st.kind, REG_ERR_NONE);
  EXPECT_STREQ(st.message, "");
  EXPECT_TRUE(is_dir(root + "/uploads"));
  EXPECT_STREQ(reg_catalog_json(0, nullptr), "{\"repositories\":[]}");

  // Attached, a directory is used as it is (made first only when asked).
  EXPECT_EQ(reg_storage_attach((tmp / "fresh").c_str(), 0, &st), -1);
  EXPECT_EQ(st.kind, REG_ERR_STORAGE);
  EXPECT_EQ(std::string(st.cause), "No such file or directory");
  EXPECT_FALSE(exists(tmp / "fresh"));
  ASSERT_EQ(reg_storage_attach((tmp / "fresh/root").c_str(), 1, &st), 0) << st.message;
  EXPECT_TRUE(list_names(tmp / "fresh/root").empty());
  char path[4096];
  ASSERT_EQ(reg_auth_path(REG_AUTH_HTPASSWD, path, sizeof path, &st), 0);
  EXPECT_EQ(std::string(path), tmp / "fresh/root/auth/htpasswd");
  char small[8];
  EXPECT_EQ(reg_auth_path(REG_AUTH_HTPASSWD, small, sizeof small, &st), -1);
  EXPECT_EQ(st.kind, REG_ERR_INVALID) << "a path that does not fit is never cut";
  EXPECT_STREQ(small, "");
  ASSERT_EQ(reg_storage_attach(empty.c_str(), 0, nullptr), 0) << "no status: the result alone tells";
  EXPECT_TRUE(list_names(empty).empty());
  reg_storage_cleanup();
}

TEST_F(StorageTest, StateMachine) {
  EXPECT_EQ(reg_catalog_json(0, nullptr), nullptr);
  EXPECT_STREQ(reg_storage_last_error(), kNotReady);

  const std::string root = tmp / "root";
  ASSERT_EQ(reg_storage_init(root.c_str()), 0);
  // An empty path on a ready engine fails and leaves it ready on its root.
  EXPECT_EQ(reg_storage_init(""), -1);
  EXPECT_STREQ(reg_storage_last_error(), "storage root dir is empty");
  EXPECT_STREQ(reg_catalog_json(0, nullptr), "{\"repositories\":[]}");
  EXPECT_EQ(std::string(storage::s_root), root);

  // A re-initialisation that fails at a directory leaves it not ready.
  write_bytes(tmp / "file", "x");
  const std::string bad = tmp / "file/sub";
  EXPECT_EQ(reg_storage_init(bad.c_str()), -1);
  EXPECT_EQ(reg_catalog_json(0, nullptr), nullptr);
  EXPECT_STREQ(reg_storage_last_error(), kNotReady);

  ASSERT_EQ(reg_storage_init(root.c_str()), 0);
  reg_storage_cleanup();
  EXPECT_STREQ(storage::s_root, "");
  EXPECT_EQ(reg_catalog_json(0, nullptr), nullptr);
  // A successful operation leaves an earlier message in place.
  ASSERT_EQ(reg_storage_init(root.c_str()), 0);
  EXPECT_STREQ(reg_storage_last_error(), "");
}

// ---- Primitives ---------------------------------------------------------------

TEST_F(StorageTest, MkdirsCreatesEveryLevel) {
  using storage::mkdirs;
  EXPECT_EQ(mkdirs((tmp / "a/b\\c/d/").c_str()), 0);
  EXPECT_TRUE(is_dir(tmp / "a/b/c/d"));
  EXPECT_EQ(mkdirs((tmp / "x//y").c_str()), 0);
  EXPECT_TRUE(is_dir(tmp / "x/y"));
  EXPECT_EQ(mkdirs((tmp / "a/b").c_str()), 0) << "existing directories count as created";
  write_bytes(tmp / "f", "x");
  EXPECT_EQ(mkdirs((tmp / "f").c_str()), 0) << "an existing entry of any kind counts";
  EXPECT_EQ(mkdirs((tmp / "f/g").c_str()), -1);
  EXPECT_EQ(mkdirs(""), -1);
  const std::string too_long = tmp.path() + "/" + std::string(4096, 'a');
  EXPECT_EQ(mkdirs(too_long.c_str()), -1);
}

TEST_F(StorageTest, ListDirCapsAt512) {
  using storage::dir_listing;
  static dir_listing listing;
  EXPECT_EQ(storage::list_dir((tmp / "missing").c_str(), &listing), -1);
  EXPECT_EQ(listing.count, 0);
  EXPECT_EQ(listing.truncated, 0);

  const std::string dir = tmp / "d";
  make_dirs(dir);
  EXPECT_EQ(storage::list_dir(dir.c_str(), &listing), 0);
  EXPECT_EQ(listing.count, 0);

  make_dirs(dir + "/sub");
  for (int i = 0; i < 511; ++i) write_bytes(dir + "/.f" + std::to_string(i), "");
  EXPECT_EQ(storage::list_dir(dir.c_str(), &listing), 0);
  EXPECT_EQ(listing.count, 512);
  EXPECT_EQ(listing.truncated, 0);
  int dirs = 0;
  for (int i = 0; i < listing.count; ++i) {
    if (listing.entries[i].is_dir) {
      ++dirs;
      EXPECT_STREQ(listing.entries[i].name, "sub");
    }
  }
  EXPECT_EQ(dirs, 1);

  write_bytes(dir + "/last", "");
  EXPECT_EQ(storage::list_dir(dir.c_str(), &listing), 0);
  EXPECT_EQ(listing.count, 512);
  EXPECT_EQ(listing.truncated, 1);
}

TEST_F(StorageTest, ListDirNeverTakesALinkForADirectory) {
  static storage::dir_listing listing;
  make_dirs(tmp / "d/real");
  ASSERT_EQ(symlink((tmp / "d/real").c_str(), (tmp / "d/link").c_str()), 0);
  ASSERT_EQ(storage::list_dir((tmp / "d").c_str(), &listing), 0);
  ASSERT_EQ(listing.count, 2);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(listing.entries[i].is_dir, std::string(listing.entries[i].name) == "real" ? 1 : 0)
        << listing.entries[i].name;
  }
}

// A directory made or removed by another process while a walk looks at it
// is either listed or missing, never a failure: a collection that met one
// would keep every blob and report the repository unreadable.
TEST_F(StorageTest, ADirectoryMadeOrRemovedDuringAWalkIsListedOrMissing) {
  const std::string parent = tmp / "repo/_manifests";
  make_dirs(parent);
  const std::string dir = parent + "/tags";
  std::atomic<bool> stop{false};
  std::thread toggler([&] {
    for (int i = 0; i < 200000 && !stop; ++i) {
      if (mkdir(dir.c_str(), 0777) != 0) rmdir(dir.c_str());
    }
  });
  int failed = 0, listed = 0, missing = 0;
  for (int i = 0; i < 20000; ++i) {
    switch (storage::each_entry(dir.c_str(), [](const char*, host::Kind, host::DirStream*) { return true; })) {
      case storage::Scan::kOk: ++listed; break;
      case storage::Scan::kMissing: ++missing; break;
      case storage::Scan::kFailed: ++failed; break;
    }
  }
  stop = true;
  toggler.join();
  EXPECT_EQ(failed, 0) << listed << " listed, " << missing << " missing";
}

TEST_F(StorageTest, ReadWriteRemove) {
  using namespace storage;
  const std::string f = tmp / "file";
  write_bytes(f, std::string(200, 'x'));
  char buf[128];
  size_t len = 999;
  EXPECT_EQ(read_file(f.c_str(), buf, sizeof buf, &len), 0);
  EXPECT_EQ(len, 127u);
  EXPECT_EQ(std::strlen(buf), 127u);
  EXPECT_EQ(read_file((tmp / "missing").c_str(), buf, sizeof buf, &len), -1);
  EXPECT_EQ(len, 127u) << "no length is stored on failure";

  EXPECT_EQ(write_file(f.c_str(), "", 0), 0);
  EXPECT_EQ(read_bytes(f), "");
  EXPECT_EQ(read_file(f.c_str(), buf, sizeof buf, &len), 0);
  EXPECT_EQ(len, 0u);
  EXPECT_EQ(write_file(f.c_str(), "a\0b", 3), 0);
  EXPECT_EQ(read_bytes(f), std::string("a\0b", 3));
  EXPECT_EQ(list_names(tmp.path()), std::vector<std::string>{"file"}) << "no temporary file is left";
  EXPECT_EQ(write_file((tmp / "nodir/file").c_str(), "x", 1), -1);

  EXPECT_EQ(remove_file((tmp / "missing").c_str()), 0);
  make_dirs(tmp / "dir");
  EXPECT_EQ(remove_file((tmp / "dir").c_str()), 0);
  EXPECT_TRUE(is_dir(tmp / "dir"));
  EXPECT_EQ(remove_file(f.c_str()), 0);
  EXPECT_FALSE(exists(f));
}

TEST_F(StorageTest, FileAttributes) {
  using namespace storage;
  const std::string big = tmp / "big";
  int fd = open(big.c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 5LL * 1024 * 1024 * 1024 + 3), 0);  // sparse
  close(fd);
  EXPECT_EQ(file_size(big.c_str()), 5LL * 1024 * 1024 * 1024 + 3);
  EXPECT_EQ(file_size((tmp / "missing").c_str()), -1);
  EXPECT_EQ(file_exists(big.c_str()), 1);
  EXPECT_EQ(file_exists(tmp.path().c_str()), 0);
  EXPECT_EQ(file_exists((tmp / "missing").c_str()), 0);
  EXPECT_EQ(dir_exists(tmp.path().c_str()), 1);
  EXPECT_EQ(dir_exists(big.c_str()), 0);
  // Backslashes name the same nesting as '/'.
  make_dirs(tmp / "p/q");
  EXPECT_EQ(dir_exists((tmp / "p\\q").c_str()), 1);
}

// ---- Text -------------------------------------------------------------------

TEST(StorageText, JsonEscapeAppend) {
  using storage::json_escape_append;
  char buf[64];
  size_t n = json_escape_append(buf, sizeof buf, "q\"b\\t\t\x01/\xc3\xa9\x7f");
  EXPECT_EQ(std::string(buf, n), "q\\\"b\\\\t\\t\\u0001/\xc3\xa9\x7f");
  EXPECT_EQ(buf[n], '\0');

  std::memset(buf, 'z', sizeof buf);
  n = json_escape_append(buf, 9, "\x01\x02");
  EXPECT_EQ(std::string(buf, n), "\\u0001");
  EXPECT_EQ(buf[n], '\0');
  std::memset(buf, 'z', sizeof buf);
  n = json_escape_append(buf, 8, "abc");
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(buf[0], '\0');
  std::memset(buf, 'z', sizeof buf);
  n = json_escape_append(buf, 0, "abc");
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(buf[0], 'z');
  n = json_escape_append(buf, sizeof buf, nullptr);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(buf[0], '\0');
}

TEST(StorageText, SortIsByUnsignedBytes) {
  std::vector<std::string> in{"b", "B", "a_", "a-", "a", "\xc3\xa9", "1", ".x", "-"};
  std::vector<char*> ptrs;
  for (auto& s : in) ptrs.push_back(s.data());
  storage::sort_str(ptrs.data(), static_cast<int>(ptrs.size()));
  std::vector<std::string> got(ptrs.begin(), ptrs.end());
  EXPECT_EQ(got, (std::vector<std::string>{"-", ".x", "1", "B", "a", "a-", "a_", "b", "\xc3\xa9"}));
  EXPECT_LT(storage::str_cmp("a", "\x80"), 0);
  EXPECT_EQ(storage::str_cmp("x", "x"), 0);
}

// ---- Catalog ------------------------------------------------------------------

class CatalogTest : public StorageTest {
 protected:
  void SetUp() override {
    StorageTest::SetUp();
    root = tmp / "root";
    ASSERT_EQ(reg_storage_init(root.c_str()), 0);
  }
  void add_repo(const std::string& name) { make_dirs(root + "/repositories/" + name); }
  std::string root;
};

TEST_F(CatalogTest, PageTable) {
  for (const char* r : {"beta", "alpha", "Gamma"}) add_repo(r);
  write_bytes(root + "/repositories/notes.txt", "");
  struct Case {
    int n;
    const char* last;
    const char* want;
  };
  const Case cases[] = {
      {0, nullptr, "{\"repositories\":[\"Gamma\",\"alpha\",\"beta\"]}"},
      {2, nullptr, "{\"repositories\":[\"Gamma\",\"alpha\"]}"},
      {1, nullptr, "{\"repositories\":[\"Gamma\"]}"},
      {0, "alpha", "{\"repositories\":[\"beta\"]}"},
      {0, "alz", "{\"repositories\":[\"beta\"]}"},
      {0, "", "{\"repositories\":[\"Gamma\",\"alpha\",\"beta\"]}"},
      {0, "A", "{\"repositories\":[\"Gamma\",\"alpha\",\"beta\"]}"},
      {0, "zzz", "{\"repositories\":[]}"},
      {-3, nullptr, "{\"repositories\":[\"Gamma\",\"alpha\",\"beta\"]}"},
      {2147483647, "alpha", "{\"repositories\":[\"beta\"]}"},
      {2147483647, nullptr, "{\"repositories\":[\"Gamma\",\"alpha\",\"beta\"]}"},
      {1, "Gamma", "{\"repositories\":[\"alpha\"]}"},
  };
  for (const Case& c : cases) {
    EXPECT_STREQ(reg_catalog_json(c.n, c.last), c.want) << "n=" << c.n << " last=" << (c.last ? c.last : "(null)");
  }
}

TEST_F(CatalogTest, NestedRepositoriesAreListedByTheirFullName) {
  const std::string body = "{\"config\":{\"digest\":\"sha256:" + std::string(64, 'a') + "\"}}";
  char out[72];
  for (const char* name : {"library/alpine", "team/app", "team/app/web", "plain", "a/b/c/d"}) {
    ASSERT_EQ(reg_manifest_put(name, "v1", body.data(), body.size(), nullptr, out), 0) << name;
  }
  EXPECT_STREQ(reg_catalog_json(0, nullptr),
               "{\"repositories\":[\"a/b/c/d\",\"library/alpine\",\"plain\",\"team/app\",\"team/app/web\"]}");
  Listing l = catalog_page(2, "library/alpine");
  EXPECT_EQ(l.text, "{\"repositories\":[\"plain\",\"team/app\"]}");
  EXPECT_EQ(l.page.more, 1);
  EXPECT_STREQ(l.page.next, "team/app");
  l = catalog_page(2, "team/app");
  EXPECT_EQ(l.text, "{\"repositories\":[\"team/app/web\"]}");
  EXPECT_EQ(l.page.more, 0);
  EXPECT_STREQ(l.page.next, "");
}

TEST_F(CatalogTest, ATreeFromAnOlderBuildIsIndexedWhenTheEngineStarts) {
  // Directories made without the engine's index of nested names, as an
  // older build left them: the first start walks them all. A directory is
  // a repository when it holds the repository's own data, or when no
  // directory lies below it; "library" holds only "alpine".
  reg_storage_cleanup();
  remove_tree(root + "/repositories/_nested");
  add_repo("library/alpine");
  add_repo("team/app/_manifests");
  add_repo("team/app/web");
  add_repo("team/app/web/_manifests/tags");
  add_repo("plain");
  add_repo("a/b/c/d");
  add_repo("a/b/.tmp/x");
  ASSERT_EQ(reg_storage_init(root.c_str()), 0) << reg_storage_last_error();
  EXPECT_EQ(list_names(root + "/repositories/_nested"),
            (std::vector<std::string>{"a", "a%b", "a%b%c", "library", "team", "team%app"}));
  EXPECT_STREQ(reg_catalog_json(0, nullptr),
               "{\"repositories\":[\"a/b/c/d\",\"library/alpine\",\"plain\",\"team/app\",\"team/app/web\"]}");
}

TEST_F(CatalogTest, EntriesThatNoNameCanReachAreNotListed) {
  // Names no request can name: the tree's own, temporary files' and
  // names outside the rule (invalid UTF-8 among them, which would make
  // the answer invalid JSON), and links.
  for (const char* d : {"_manifests", ".hidden", "q\"uote", "ctl\x01", "bad\xff\xfe", "a..b", "ok", "ok/_x",
                        "ok/.tmp", "ok/s p"}) {
    add_repo(d);
  }
  ASSERT_EQ(symlink((root + "/repositories/ok").c_str(), (root + "/repositories/link").c_str()), 0);
  ASSERT_EQ(symlink(tmp.path().c_str(), (root + "/repositories/ok/out").c_str()), 0);
  EXPECT_STREQ(reg_catalog_json(0, nullptr), "{\"repositories\":[\"ok\"]}");
}

TEST_F(CatalogTest, MissingRepositoriesDirectoryIsAnEmptyCatalog) {
  add_repo("a");
  remove_tree(root + "/repositories");
  EXPECT_STREQ(reg_catalog_json(0, nullptr), "{\"repositories\":[]}");
}

TEST_F(CatalogTest, EveryRepositoryIsListedHoweverMany) {
  constexpr int kRepos = 1500;  // three times what one directory listing once held
  for (int i = 0; i < kRepos; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "r%d", i);
    add_repo(name);
  }
  const Listing all = catalog_page(0, nullptr);
  ASSERT_EQ(all.rc, 0) << all.st.message;
  EXPECT_EQ(all.text, reg_catalog_json(0, nullptr)) << "one listing, whichever form asks";
  size_t commas = 0;
  for (char c : all.text) commas += c == ',' ? 1 : 0;
  EXPECT_EQ(commas + 1, static_cast<size_t>(kRepos));
  EXPECT_EQ(all.page.more, 0);
  Listing l = catalog_page(2, "r998");
  EXPECT_EQ(l.text, "{\"repositories\":[\"r999\"]}") << "the last names in byte order";
  EXPECT_EQ(l.page.more, 0);
  EXPECT_EQ(catalog_page(2, "r1498").text, "{\"repositories\":[\"r1499\",\"r15\"]}");
  l = catalog_page(2, "r0");
  EXPECT_EQ(l.text, "{\"repositories\":[\"r1\",\"r10\"]}");
  EXPECT_STREQ(l.page.next, "r10");
}

TEST_F(CatalogTest, APageThatDoesNotFitOnePageOfTextSaysWhereItStopped) {
  // 17000 names of 250 bytes: 4.3 MB of names, more than one page of
  // text (REG_PAGE_TEXT_MAX) holds.
  std::vector<std::string> names;
  for (int i = 0; i < 17000; ++i) {
    char prefix[16];
    std::snprintf(prefix, sizeof prefix, "n%05d", i);
    names.push_back(prefix + std::string(244, 'x'));
    add_repo(names.back());
  }
  std::vector<std::string> seen;
  std::string last;
  int pages = 0;
  for (; pages < 3; ++pages) {
    const Listing l = catalog_page(0, last.empty() ? nullptr : last.c_str());
    ASSERT_EQ(l.rc, 0) << l.st.message;
    const std::string& text = l.text;
    ASSERT_LE(text.size(), static_cast<size_t>(REG_PAGE_TEXT_MAX));
    ASSERT_EQ(text.substr(0, 17), "{\"repositories\":[");
    ASSERT_EQ(text.substr(text.size() - 2), "]}");
    for (size_t at = text.find('"', 17); at != std::string::npos; at = text.find('"', at + 1)) {
      const size_t end = text.find('"', at + 1);
      seen.push_back(text.substr(at + 1, end - at - 1));
      at = end;
    }
    if (!l.page.more) break;
    EXPECT_EQ(std::string(l.page.next), seen.back()) << "the page says where it stopped";
    last = l.page.next;
  }
  EXPECT_EQ(pages, 1) << "two pages";
  EXPECT_EQ(seen, names) << "every name once, in order, over the pages";
}

TEST(CatalogPage, ANameThatDoesNotFitEndsThePageAsWholeJson) {
  std::string a = "alpha", b = std::string(40, 'b'), c = "c";
  char* names[] = {a.data(), b.data(), c.data()};
  constexpr char kOpen[] = "{\"repositories\":[";
  // Pages for a buffer of 64 bytes, and for the smallest room that holds
  // the open, the close and the NUL.
  struct Case {
    size_t cap;
    const char* want;
    int written;
  };
  const Case cases[] = {{64, "{\"repositories\":[\"alpha\"]}", 1}, {20, "{\"repositories\":[]}", 0}};
  for (const Case& k : cases) {
    char out[64];
    std::memset(out, 'z', sizeof out);
    storage::BufferWriter w{out, k.cap};
    storage::TextOut text(storage::BufferWriter::write, &w);
    int written = -1;
    storage::write_names_page(&text, kOpen, sizeof kOpen - 1, names, 0, 3, k.cap, &written);
    reg_status st;
    ASSERT_EQ(text.flush(&st), 0) << "the page fits the room it was cut for";
    EXPECT_STREQ(out, k.want);
    EXPECT_EQ(written, k.written) << "the caller learns how far the page got";
    EXPECT_EQ(w.len, std::strlen(out));
    EXPECT_EQ(out[sizeof out - 1], 'z') << "nothing written past what was needed";
  }
}

}  // namespace
