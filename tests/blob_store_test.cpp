// The blob store: digests and identifiers, the upload state table, queries
// and deletion, against a real tree.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "platform/host.h"
#include "storage/reg_storage.h"
#include "storage/storage_blob_store.h"
#include "storage/storage_digest.h"
#include "storage/storage_layout.h"
#include "support/storage_fixture.h"
#include "support/test_support.h"

using namespace testing_support;

namespace {

constexpr char kEmptyDigest[] = "sha256:e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
constexpr char kEmptyHex[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
// sha256("hello")
constexpr char kHelloDigest[] = "sha256:2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824";
constexpr char kNotReady[] = "not initialized - call reg_storage_init first";
constexpr char kWellFormedUuid[] = "12105cf4-1d0d-a12b-5247-bc73a8ea5f1b";
// The separator the registry writes between the parts it joins.
const std::string kSep(1, host::kSep);

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// ---- Digests and identifiers ------------------------------------------------

TEST(Digests, HexEncoding) {
  const uint8_t bytes[] = {0x00, 0xab, 0xff};
  char out[7];
  storage::bin_to_hex(bytes, 3, out);
  EXPECT_STREQ(out, "00abff");
  out[0] = 'x';
  storage::bin_to_hex(bytes, 0, out);
  EXPECT_STREQ(out, "");
}

TEST(Digests, DigestValidTable) {
  const std::string hex = kEmptyHex;
  struct Case {
    std::string s;
    int want;
  };
  const Case cases[] = {
      {kEmptyDigest, 1},
      {"sha256:" + upper(hex), 0},
      {"SHA256:" + hex, 0},
      {"sha256:" + hex.substr(0, 63), 0},
      {"sha256:" + hex + "0", 0},
      {std::string(kEmptyDigest) + "\n", 0},
      {"sha512:" + hex + hex, 0},
      {"sha256:" + hex.substr(0, 63) + "g", 0},
      {"sha256:" + hex.substr(0, 63) + "\xe9", 0},
      {"sha256", 0},
      {"", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(storage::digest_valid(c.s.c_str()), c.want) << c.s;
  EXPECT_EQ(storage::digest_valid(nullptr), 0);
}

// The public checks look at exactly the bytes they are given: a NUL is a
// byte like any other, never the end of the string.
TEST(Digests, PublicDigestAndTagChecksCountEveryByte) {
  const std::string hex = kEmptyHex;
  const std::string hex512 = hex + hex;
  struct Case {
    std::string s;
    int digest, tag;
  };
  const Case cases[] = {
      {kEmptyDigest, 1, 0},
      {"sha512:" + hex512, 1, 0},
      {"sha512:" + hex, 0, 0},
      {"sha256:" + hex512, 0, 0},
      {"sha256:" + upper(hex), 0, 0},
      {std::string(kEmptyDigest) + std::string(1, '\0'), 0, 0},
      {std::string(kEmptyDigest).substr(0, 20) + std::string(1, '\0') + std::string(kEmptyDigest).substr(21), 0, 0},
      {"sha256:", 0, 0},
      {"", 0, 0},
      {"latest", 0, 1},
      {"_v1.0-rc", 0, 1},
      {std::string(128, 't'), 0, 1},
      {std::string(129, 't'), 0, 0},
      {".hidden", 0, 0},
      {"-x", 0, 0},
      {"a/b", 0, 0},
      {"a:b", 0, 0},
      {std::string("v1\0x", 4), 0, 0},
      {std::string("v1\0", 3), 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(reg_digest_valid(c.s.data(), c.s.size()), c.digest) << c.s;
    EXPECT_EQ(reg_tag_valid(c.s.data(), c.s.size()), c.tag) << c.s;
  }
  EXPECT_EQ(reg_digest_valid(nullptr, 71), 0);
  EXPECT_EQ(reg_tag_valid(nullptr, 2), 0);
}

// The bytes of Marsaglia's xorshift32 (13, 17, 5) from a state: the
// examples below were written for identifiers made from it.
void xorshift_bytes(uint32_t x, uint8_t out[16]) {
  for (int i = 0; i < 16; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    out[i] = static_cast<uint8_t>(x & 0xff);
  }
}

TEST(Digests, IdentifiersShowTheirBytesLowNibbleFirst) {
  const uint8_t bytes[16] = {0x21, 0x01, 0xc5, 0x4f, 0xd1, 0xd0, 0x1a, 0xb2,
                             0x25, 0x74, 0xcb, 0x37, 0x8a, 0xae, 0xf5, 0xb1};
  char out[37];
  storage::uuid_format(bytes, out);
  EXPECT_STREQ(out, "12105cf4-1d0d-a12b-5247-bc73a8ea5f1b");
  uint8_t from_state[16];
  xorshift_bytes(1, from_state);
  EXPECT_EQ(std::memcmp(from_state, bytes, 16), 0);
  xorshift_bytes(0x9e3779b9, from_state);
  storage::uuid_format(from_state, out);
  EXPECT_STREQ(out, "91e3a35b-f173-0dfb-938b-ee4b3dc38bf5");
}

TEST(Digests, IdentifiersComeFromTheRandomSource) {
  // 2000 identifiers, all valid and all different, with every digit
  // position taking many values: nothing of a counter or a clock in them.
  std::set<std::string> seen;
  std::vector<std::set<char>> digits(36);
  for (int i = 0; i < 2000; ++i) {
    char out[37];
    ASSERT_TRUE(storage::uuid_make(out));
    ASSERT_EQ(storage::uuid_valid(out), 1) << out;
    seen.insert(out);
    for (int p = 0; p < 36; ++p) digits[static_cast<size_t>(p)].insert(out[p]);
  }
  EXPECT_EQ(seen.size(), 2000u);
  for (int p = 0; p < 36; ++p) {
    if (p == 8 || p == 13 || p == 18 || p == 23) continue;
    EXPECT_EQ(digits[static_cast<size_t>(p)].size(), 16u) << "position " << p;
  }
}

TEST(Digests, UuidValidTable) {
  const std::string id = "91e3a35b-f173-0dfb-938b-ee4b3dc38bf5";
  std::string dash_moved = id;
  std::swap(dash_moved[8], dash_moved[9]);
  std::string dash_at_digit = id;
  dash_at_digit[0] = '-';
  const std::pair<std::string, int> cases[] = {
      {id, 1},
      {upper(id), 0},
      {"{" + id + "}", 0},
      {"91e3a35bf1730dfb938bee4b3dc38bf5", 0},
      {dash_moved, 0},
      {dash_at_digit, 0},
      {id.substr(0, 35), 0},
      {id + "0", 0},
      {"", 0},
  };
  for (const auto& [s, want] : cases) EXPECT_EQ(storage::uuid_valid(s.c_str()), want) << s;
  EXPECT_EQ(storage::uuid_valid(nullptr), 0);
}

// ---- Uploads and queries ------------------------------------------------------

class BlobStore : public FreshStorage {
 protected:
  std::string upload_file(const char* id) const { return root + kSep + "uploads" + kSep + id + ".part"; }
  std::string blob_file(const std::string& digest) const {
    return root + kSep + "blobs" + kSep + "sha256" + kSep + digest.substr(7, 2) + kSep + digest.substr(7);
  }
  std::string start() {
    char id[37];
    EXPECT_EQ(reg_blob_start_upload(id), 0) << reg_storage_last_error();
    return id;
  }
};

TEST_F(BlobStore, BlobPathOfTheEmptyBlob) {
  char out[4096];
  storage::blob_path_for_digest(kEmptyDigest, out, sizeof out);
  EXPECT_EQ(std::string(out), blob_file(std::string("sha256:") + kEmptyHex));
  EXPECT_EQ(std::strlen(out), root.size() + 81);
}

// The layout's inverse of the blob store's paths: a name is a blob only in
// the prefix directory its digest puts it in.
TEST_F(BlobStore, EntryNamesReadBackAsTheirDigests) {
  using storage::BlobName;
  using storage::DigestAlg;
  const std::string hex = kEmptyHex;
  struct Case {
    DigestAlg alg;
    std::string prefix, name;
    BlobName want;
    std::string digest;
  };
  const Case cases[] = {
      {DigestAlg::kSha256, "e3", hex, BlobName::kBlob, kEmptyDigest},
      {DigestAlg::kSha256, "e3", ".gc-" + hex, BlobName::kSetAside, kEmptyDigest},
      {DigestAlg::kSha512, "e3", hex + hex, BlobName::kBlob, "sha512:" + hex + hex},
      {DigestAlg::kSha512, "e3", hex, BlobName::kOther, ""},       // the other algorithm's length
      {DigestAlg::kSha256, "ab", hex, BlobName::kOther, ""},       // another prefix's blob
      {DigestAlg::kSha256, "e3", upper(hex), BlobName::kOther, ""},
      {DigestAlg::kSha256, "e3", "." + hex + ".tmp.12.0", BlobName::kOther, ""},
      {DigestAlg::kSha256, "e3", ".gc-", BlobName::kOther, ""},
      {DigestAlg::kSha256, "e3x", hex, BlobName::kOther, ""},
  };
  for (const Case& c : cases) {
    std::string digest;
    EXPECT_EQ(storage::blob_entry_name(c.alg, c.prefix.c_str(), c.name.c_str(), &digest), c.want) << c.name;
    if (c.want != BlobName::kOther) {
      EXPECT_EQ(digest, c.digest);
      char path[4096];
      storage::blob_path_for_digest(digest.c_str(), path, sizeof path);
      EXPECT_NE(std::string(path).find(kSep + c.prefix + kSep), std::string::npos) << path;
    }
  }
}

// The one walk of the store: every entry of every prefix directory, in
// byte order, told apart; what lies beside the prefixes is left out, and an
// algorithm's directory that cannot be read is told and fails the walk
// while the other is walked all the same.
TEST_F(BlobStore, TheWalkMeetsEveryEntryOfThePrefixesInOrder) {
  char id[37];
  char out[72];
  for (const char* content : {"hello", ""}) {
    ASSERT_EQ(reg_blob_start_upload(id), 0);
    ASSERT_EQ(reg_blob_append_chunk(id, content, std::strlen(content)), 0);
    ASSERT_EQ(reg_blob_finish_upload(id, content[0] != '\0' ? kHelloDigest : kEmptyDigest, out), 0);
  }
  const std::string store = root + "/blobs/sha256/";
  write_bytes(store + "e3/.gc-" + std::string(64, 'e').replace(0, 2, "e3"), "aside");
  write_bytes(store + "e3/stray", "x");
  write_bytes(store + "loose", "not in a prefix");
  struct Seen {
    storage::BlobName what;
    std::string digest, name;
    int64_t size;
  };
  std::vector<Seen> seen;
  std::vector<std::string> unreadable;
  std::vector<std::pair<int64_t, int64_t>> progress;
  storage::BlobStoreVisitor visit;
  visit.entry = [&](const storage::BlobStoreEntry& e) { seen.push_back({e.what, e.digest, e.name, e.size}); };
  visit.unreadable = [&](const char* dir) { unreadable.push_back(dir); };
  visit.progress = [&](int64_t done, int64_t total) { progress.push_back({done, total}); };
  ASSERT_EQ(storage::walk_blob_store(visit), storage::Scan::kOk);
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[0].name, "2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824");
  EXPECT_EQ(seen[0].digest, kHelloDigest);
  EXPECT_EQ(seen[0].size, 5);
  EXPECT_EQ(seen[1].what, storage::BlobName::kSetAside);
  EXPECT_EQ(seen[2].what, storage::BlobName::kBlob);
  EXPECT_EQ(seen[2].digest, kEmptyDigest);
  EXPECT_EQ(seen[2].size, 0);
  EXPECT_EQ(seen[3].what, storage::BlobName::kOther);
  EXPECT_EQ(seen[3].name, "stray");
  EXPECT_TRUE(unreadable.empty());
  const std::vector<std::pair<int64_t, int64_t>> steps = {{0, 2}, {1, 2}, {2, 2}};
  EXPECT_EQ(progress, steps);

  // An algorithm's directory that is no directory.
  write_bytes(root + "/blobs/sha512", "a file");
  seen.clear();
  EXPECT_EQ(storage::walk_blob_store(visit), storage::Scan::kFailed);
  EXPECT_EQ(seen.size(), 4u);
  ASSERT_EQ(unreadable.size(), 1u);
  EXPECT_NE(unreadable[0].find("sha512"), std::string::npos) << unreadable[0];
}

TEST_F(BlobStore, StartAppendFinish) {
  const std::string id = start();
  EXPECT_EQ(storage::uuid_valid(id.c_str()), 1);
  EXPECT_TRUE(is_file(upload_file(id.c_str())));
  EXPECT_EQ(read_bytes(upload_file(id.c_str())), "");
  ASSERT_EQ(reg_blob_append_chunk(id.c_str(), "hel", 3), 0);
  ASSERT_EQ(reg_blob_append_chunk(id.c_str(), "x", 0), 0);
  ASSERT_EQ(reg_blob_append_chunk(id.c_str(), "lo", 2), 0);
  EXPECT_EQ(read_bytes(upload_file(id.c_str())), "hello");
  char out[72];
  std::memset(out, 'z', sizeof out);
  ASSERT_EQ(reg_blob_finish_upload(id.c_str(), kHelloDigest, out), 0);
  EXPECT_STREQ(out, kHelloDigest);
  EXPECT_EQ(std::strlen(out), 71u);
  EXPECT_EQ(read_bytes(blob_file(kHelloDigest)), "hello");
  EXPECT_FALSE(exists(upload_file(id.c_str())));
  EXPECT_EQ(reg_blob_exists(kHelloDigest), 1);
  EXPECT_EQ(reg_blob_get_size(kHelloDigest), 5);
}

TEST_F(BlobStore, TwoStartsInOneProcessGetTwoUploads) {
  const std::string a = start();
  const std::string b = start();
  EXPECT_NE(a, b);
  ASSERT_EQ(reg_blob_append_chunk(a.c_str(), "a", 1), 0);
  EXPECT_EQ(read_bytes(upload_file(a.c_str())), "a");
  EXPECT_EQ(read_bytes(upload_file(b.c_str())), "");
}

TEST_F(BlobStore, StartNeverTakesOverAnExistingUpload) {
  const std::string first = start();
  ASSERT_EQ(reg_blob_append_chunk(first.c_str(), "keep", 4), 0);
  for (int i = 0; i < 200; ++i) EXPECT_NE(start(), first);
  EXPECT_EQ(read_bytes(upload_file(first.c_str())), "keep");
}

TEST_F(BlobStore, EmptyBlob) {
  const std::string id = start();
  char out[72];
  ASSERT_EQ(reg_blob_finish_upload(id.c_str(), kEmptyDigest, out), 0);
  EXPECT_TRUE(is_file(root + "/blobs/sha256/e3/" + kEmptyHex));
  EXPECT_EQ(reg_blob_get_size(kEmptyDigest), 0);
}

TEST_F(BlobStore, FinishChecks) {
  const std::string id = start();
  ASSERT_EQ(reg_blob_append_chunk(id.c_str(), "hello", 5), 0);
  char out[72] = "untouched";
  // Upper case is refused by form, and the upload stays.
  EXPECT_EQ(reg_blob_finish_upload(id.c_str(), upper(kHelloDigest).c_str(), out), -1);
  EXPECT_STREQ(reg_storage_last_error(), "invalid expected digest");
  EXPECT_STREQ(out, "untouched");
  EXPECT_EQ(reg_blob_finish_upload(id.c_str(), kHelloDigest, out), 0);

  // A well-formed wrong digest removes the upload.
  const std::string id2 = start();
  ASSERT_EQ(reg_blob_append_chunk(id2.c_str(), "hello", 5), 0);
  EXPECT_EQ(reg_blob_finish_upload(id2.c_str(), kEmptyDigest, out), -1);
  EXPECT_EQ(std::string(reg_storage_last_error()),
            std::string("digest mismatch: expected ") + kEmptyDigest + ", got " + kHelloDigest);
  EXPECT_FALSE(exists(upload_file(id2.c_str())));
  EXPECT_EQ(reg_blob_finish_upload(id2.c_str(), kHelloDigest, out), -1);
  EXPECT_EQ(std::string(reg_storage_last_error()), "upload not found: " + id2);

  EXPECT_EQ(reg_blob_finish_upload(upper(id2).c_str(), kHelloDigest, out), -1);
  EXPECT_STREQ(reg_storage_last_error(), "invalid upload uuid");
  EXPECT_EQ(reg_blob_finish_upload(nullptr, kHelloDigest, out), -1);
  EXPECT_STREQ(reg_storage_last_error(), "NULL argument");
  EXPECT_EQ(reg_blob_finish_upload(id2.c_str(), nullptr, out), -1);
  EXPECT_STREQ(reg_storage_last_error(), "NULL argument");
  EXPECT_EQ(reg_blob_finish_upload(id2.c_str(), kHelloDigest, nullptr), -1);
  EXPECT_STREQ(reg_storage_last_error(), "NULL argument");
}

TEST_F(BlobStore, FinishingAStoredBlobLeavesItUntouched) {
  make_dirs(root + "/blobs/sha256/2c");
  write_bytes(blob_file(kHelloDigest), "HELLO");  // same size, other bytes: proves it is untouched
  const std::string id = start();
  ASSERT_EQ(reg_blob_append_chunk(id.c_str(), "hello", 5), 0);
  char out[72];
  ASSERT_EQ(reg_blob_finish_upload(id.c_str(), kHelloDigest, out), 0);
  EXPECT_STREQ(out, kHelloDigest);
  EXPECT_EQ(read_bytes(blob_file(kHelloDigest)), "HELLO");
  EXPECT_FALSE(exists(upload_file(id.c_str())));
}

TEST_F(BlobStore, AnHonestUploadRepairsAStoredBlobOfAnotherSize) {
  // A blob file whose size is not the verified upload's cannot hold that
  // content: the verified bytes take its place.
  make_dirs(root + "/blobs/sha256/2c");
  write_bytes(blob_file(kHelloDigest), "hello, and more");
  const std::string id = start();
  ASSERT_EQ(reg_blob_append_chunk(id.c_str(), "hello", 5), 0);
  char out[72];
  ASSERT_EQ(reg_blob_finish_upload(id.c_str(), kHelloDigest, out), 0) << reg_storage_last_error();
  EXPECT_EQ(read_bytes(blob_file(kHelloDigest)), "hello");
  EXPECT_FALSE(exists(upload_file(id.c_str())));
}

TEST_F(BlobStore, FinishFailuresKeepTheUpload) {
  const std::string id = start();
  ASSERT_EQ(reg_blob_append_chunk(id.c_str(), "hello", 5), 0);
  char out[72];
  // The prefix directory cannot be made: a file stands where it goes.
  write_bytes(root + "/blobs/sha256/2c", "x");
  EXPECT_EQ(reg_blob_finish_upload(id.c_str(), kHelloDigest, out), -1);
  EXPECT_EQ(std::string(reg_storage_last_error()), "rename to CAS failed: " + blob_file(kHelloDigest));
  EXPECT_TRUE(is_file(upload_file(id.c_str())));
  // The whole blob store gone: the prefix directory cannot be created.
  remove_tree(root + "/blobs");
  write_bytes(root + "/blobs", "x");
  EXPECT_EQ(reg_blob_finish_upload(id.c_str(), kHelloDigest, out), -1);
  EXPECT_STREQ(reg_storage_last_error(), "mkdirs blob dir failed");
  EXPECT_TRUE(is_file(upload_file(id.c_str())));
}

TEST_F(BlobStore, AppendChecks) {
  const std::string id = start();
  EXPECT_EQ(reg_blob_append_chunk(id.c_str(), nullptr, 0), -1);
  EXPECT_STREQ(reg_storage_last_error(), "upload_uuid/data is NULL");
  EXPECT_EQ(reg_blob_append_chunk(nullptr, "x", 1), -1);
  EXPECT_STREQ(reg_storage_last_error(), "upload_uuid/data is NULL");
  EXPECT_EQ(reg_blob_append_chunk(upper(id).c_str(), "x", 1), -1);
  EXPECT_STREQ(reg_storage_last_error(), "invalid upload uuid");
  EXPECT_EQ(reg_blob_append_chunk(kWellFormedUuid, "x", 1), -1);
  EXPECT_EQ(std::string(reg_storage_last_error()), std::string("upload not found: ") + kWellFormedUuid);
  EXPECT_FALSE(exists(upload_file(kWellFormedUuid))) << "append never creates an upload";
}

TEST_F(BlobStore, Cancel) {
  EXPECT_EQ(reg_blob_cancel_upload(kWellFormedUuid), 0) << "never started";
  const std::string id = start();
  EXPECT_EQ(reg_blob_cancel_upload(id.c_str()), 0);
  EXPECT_FALSE(exists(upload_file(id.c_str())));
  EXPECT_EQ(reg_blob_cancel_upload(id.c_str()), 0) << "twice";
  EXPECT_EQ(reg_blob_cancel_upload(nullptr), -1);
  EXPECT_STREQ(reg_storage_last_error(), "upload_uuid is NULL");
  EXPECT_EQ(reg_blob_cancel_upload("not-a-uuid"), -1);
  EXPECT_STREQ(reg_storage_last_error(), "invalid upload uuid");
}

TEST_F(BlobStore, UploadsDirectoryRemovedAfterInit) {
  remove_tree(root + "/uploads");
  char id[37] = "";
  EXPECT_EQ(reg_blob_start_upload(id), -1);
  EXPECT_EQ(storage::uuid_valid(id), 1) << "the new identifier is still handed out";
  EXPECT_EQ(std::string(reg_storage_last_error()), "cannot create upload file: " + upload_file(id));
}

TEST_F(BlobStore, EveryOperationBeforeInit) {
  reg_storage_cleanup();
  char id[37];
  char out[72];
  char path[128];
  // A NULL argument is reported before the engine's state.
  EXPECT_EQ(reg_blob_start_upload(nullptr), -1);
  EXPECT_STREQ(reg_storage_last_error(), "out_upload_uuid is NULL");
  EXPECT_EQ(reg_blob_append_chunk(nullptr, "x", 1), -1);
  EXPECT_STREQ(reg_storage_last_error(), "upload_uuid/data is NULL");
  EXPECT_EQ(reg_blob_finish_upload(nullptr, kEmptyDigest, out), -1);
  EXPECT_STREQ(reg_storage_last_error(), "NULL argument");
  EXPECT_EQ(reg_blob_cancel_upload(nullptr), -1);
  EXPECT_STREQ(reg_storage_last_error(), "upload_uuid is NULL");
  EXPECT_EQ(reg_blob_exists(nullptr), -1);
  EXPECT_STREQ(reg_storage_last_error(), "digest is NULL");
  EXPECT_EQ(reg_blob_get_size(nullptr), -1);
  EXPECT_STREQ(reg_storage_last_error(), "digest is NULL");
  EXPECT_EQ(reg_blob_get_filepath(kEmptyDigest, path, 0), -1);
  EXPECT_STREQ(reg_storage_last_error(), "NULL argument");
  EXPECT_EQ(reg_blob_delete(nullptr), -1);
  EXPECT_STREQ(reg_storage_last_error(), "digest is NULL");
  // Then the state.
  EXPECT_EQ(reg_blob_start_upload(id), -1);
  EXPECT_STREQ(reg_storage_last_error(), kNotReady);
  EXPECT_EQ(reg_blob_append_chunk(kWellFormedUuid, "x", 1), -1);
  EXPECT_STREQ(reg_storage_last_error(), kNotReady);
  EXPECT_EQ(reg_blob_finish_upload(kWellFormedUuid, kEmptyDigest, out), -1);
  EXPECT_STREQ(reg_storage_last_error(), kNotReady);
  EXPECT_EQ(reg_blob_cancel_upload(kWellFormedUuid), -1);
  EXPECT_STREQ(reg_storage_last_error(), kNotReady);
  EXPECT_EQ(reg_blob_exists(kEmptyDigest), -1);
  EXPECT_STREQ(reg_storage_last_error(), kNotReady);
  EXPECT_EQ(reg_blob_get_size(kEmptyDigest), -1);
  EXPECT_STREQ(reg_storage_last_error(), kNotReady);
  EXPECT_EQ(reg_blob_get_filepath(kEmptyDigest, path, sizeof path), -1);
  EXPECT_STREQ(reg_storage_last_error(), kNotReady);
  EXPECT_EQ(reg_blob_delete(kEmptyDigest), -1);
  EXPECT_STREQ(reg_storage_last_error(), kNotReady);
}

TEST_F(BlobStore, QueriesOfAMissingBlob) {
  reg_blob_cancel_upload("bad");  // leaves "invalid upload uuid" as the last error
  EXPECT_EQ(reg_blob_exists(kHelloDigest), 0);
  EXPECT_STREQ(reg_storage_last_error(), "invalid upload uuid") << "a 0 sets no message";
  EXPECT_EQ(reg_blob_get_size(kHelloDigest), -1);
  EXPECT_STREQ(reg_storage_last_error(), "invalid upload uuid");
  char path[4096];
  EXPECT_EQ(reg_blob_get_filepath(kHelloDigest, path, sizeof path), -1);
  EXPECT_EQ(std::string(reg_storage_last_error()), std::string("blob not found: ") + kHelloDigest);
  EXPECT_EQ(reg_blob_delete(kHelloDigest), -1);
  EXPECT_EQ(std::string(reg_storage_last_error()), std::string("blob not found: ") + kHelloDigest);
  for (int (*op)(const char*) : {reg_blob_exists, reg_blob_delete}) {
    EXPECT_EQ(op(upper(kHelloDigest).c_str()), -1);
    EXPECT_STREQ(reg_storage_last_error(), "invalid digest");
  }
  EXPECT_EQ(reg_blob_get_size(upper(kHelloDigest).c_str()), -1);
  EXPECT_STREQ(reg_storage_last_error(), "invalid digest");
  EXPECT_EQ(reg_blob_get_filepath(upper(kHelloDigest).c_str(), path, sizeof path), -1);
  EXPECT_STREQ(reg_storage_last_error(), "invalid digest");
}

TEST_F(BlobStore, FilepathFitsWholeOrNotAtAll) {
  const std::string id = start();
  char out[72];
  ASSERT_EQ(reg_blob_finish_upload(id.c_str(), kEmptyDigest, out), 0);
  const std::string want = blob_file(kEmptyDigest);
  std::vector<char> buf(want.size() + 1, 'z');
  EXPECT_EQ(reg_blob_get_filepath(kEmptyDigest, buf.data(), want.size()), -1);
  EXPECT_STREQ(reg_storage_last_error(), "path buffer too small");
  EXPECT_EQ(buf[0], 'z') << "left untouched";
  EXPECT_EQ(reg_blob_get_filepath(kEmptyDigest, buf.data(), want.size() + 1), 0);
  EXPECT_EQ(std::string(buf.data()), want);
}

TEST_F(BlobStore, DeleteRemovesThePrefixDirectoryWithItsLastBlob) {
  // Two blobs in one prefix directory: "hello" (2c) and a planted one.
  const std::string id = start();
  ASSERT_EQ(reg_blob_append_chunk(id.c_str(), "hello", 5), 0);
  char out[72];
  ASSERT_EQ(reg_blob_finish_upload(id.c_str(), kHelloDigest, out), 0);
  const std::string other = "sha256:2c" + std::string(62, '0');
  write_bytes(blob_file(other), "x");
  EXPECT_EQ(reg_blob_delete(kHelloDigest), 0);
  EXPECT_TRUE(is_dir(root + "/blobs/sha256/2c")) << "kept while it holds a blob";
  EXPECT_EQ(reg_blob_delete(other.c_str()), 0);
  EXPECT_FALSE(exists(root + "/blobs/sha256/2c"));
  EXPECT_EQ(reg_blob_delete(other.c_str()), -1);
  EXPECT_EQ(std::string(reg_storage_last_error()), "blob not found: " + other);
}

#ifndef _WIN32
// ---- Real processes -------------------------------------------------------------

// Forks n children that each run fn(i) and exit with its result; returns
// how many exited with 0.
template <typename Fn>
int run_children(int n, Fn fn) {
  std::vector<pid_t> pids;
  for (int i = 0; i < n; ++i) {
    pid_t pid = fork();
    if (pid == 0) _exit(fn(i));
    pids.push_back(pid);
  }
  int ok = 0;
  for (pid_t pid : pids) {
    int status = 0;
    waitpid(pid, &status, 0);
    ok += WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 1 : 0;
  }
  return ok;
}

TEST_F(BlobStore, ProcessesStartedAtOnceNeverShareAnUpload) {
  constexpr int kChildren = 16;
  // Each child is a copy of the same process, initialises in the same
  // second, starts one upload at about the same moment and writes its own
  // number into it.
  const int ok = run_children(kChildren, [&](int i) {
    reg_storage_cleanup();
    if (reg_storage_init(root.c_str()) != 0) return 1;
    char id[37];
    if (reg_blob_start_upload(id) != 0) return 2;
    const std::string mine = "child-" + std::to_string(i);
    usleep(20000);  // let every child start before any appends
    if (reg_blob_append_chunk(id, mine.data(), mine.size()) != 0) return 3;
    return read_bytes(upload_file(id)) == mine ? 0 : 4;
  });
  EXPECT_EQ(ok, kChildren);
  EXPECT_EQ(list_names(root + "/uploads").size(), static_cast<size_t>(kChildren));
}

TEST_F(BlobStore, ConcurrentFinishesOfTheSameContent) {
  constexpr int kChildren = 12;
  const std::string content(3 << 20, 'q');  // large enough that hashing overlaps
  char digest[72];
  std::snprintf(digest, sizeof digest, "%s", digest_string(content).c_str());
  std::vector<std::string> ids;
  for (int i = 0; i < kChildren; ++i) {
    ids.push_back(start());
    ASSERT_EQ(reg_blob_append_chunk(ids.back().c_str(), content.data(), content.size()), 0);
  }
  const int ok = run_children(kChildren, [&](int i) {
    reg_storage_cleanup();
    if (reg_storage_init(root.c_str()) != 0) return 1;
    char out[72];
    return reg_blob_finish_upload(ids[static_cast<size_t>(i)].c_str(), digest, out) == 0 ? 0 : 2;
  });
  EXPECT_GE(ok, 1);
  EXPECT_EQ(read_bytes(blob_file(digest)), content) << "the blob is complete and correct";
  // Every upload was finished, or is still pending and can be finished now.
  for (const std::string& id : ids) {
    if (exists(upload_file(id.c_str()))) {
      char out[72];
      EXPECT_EQ(reg_blob_finish_upload(id.c_str(), digest, out), 0) << reg_storage_last_error();
    }
  }
  EXPECT_TRUE(list_names(root + "/uploads").empty());
  EXPECT_EQ(read_bytes(blob_file(digest)), content);
}

#endif

}  // namespace
