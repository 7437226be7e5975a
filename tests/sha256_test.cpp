// SHA-256: the published vectors, block-edge lengths, every way of feeding
// a message, on the portable path and on the path the CPU chooses.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "hash/sha256.h"
#include "hash/sha256_internal.h"
#include "support/test_support.h"

using namespace testing_support;

namespace {

std::string hex(const uint8_t* d, size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += digits[d[i] >> 4];
    s += digits[d[i] & 15];
  }
  return s;
}

std::string digest_of(const std::string& msg) {
  sha256_ctx ctx;
  sha256_init(&ctx);
  sha256_update(&ctx, msg.data(), msg.size());
  uint8_t out[32];
  sha256_final(&ctx, out);
  return hex(out, 32);
}

// The context after taking msg in one byte at a time: the reference for
// every field between calls.
sha256_ctx bytewise_context(const std::string& msg) {
  sha256_ctx ctx;
  std::memset(&ctx, 0, sizeof ctx);
  sha256_init(&ctx);
  for (char c : msg) sha256_update(&ctx, &c, 1);
  return ctx;
}

// Runs each test on both paths.
class Sha256 : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { sha256_detail::force_portable(GetParam()); }
  void TearDown() override { sha256_detail::force_portable(false); }
};

INSTANTIATE_TEST_SUITE_P(Paths, Sha256, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& tp) { return tp.param ? "Portable" : "Chosen"; });

struct Vector {
  std::string msg;
  const char* digest;
};

TEST_P(Sha256, PublishedVectorsAndBlockEdges) {
  const Vector vectors[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopq"
       "rstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {std::string(63, 'a'), "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
      {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
      {std::string(65, 'a'), "635361c48bb9eab14198e76ea8ab7f1a41685d6ad62aa9146d301d4f17eb0ae0"},
      {std::string(119, 'a'), "31eba51c313a5c08226adf18d4a359cfdfd8d2e816b13f4af952f7ea6584dcfb"},
      {std::string(120, 'a'), "2f3d335432c70b580af0e8e1b3674a7c020d683aa5f73aaaedfdc55af904c21c"},
      {std::string(127, 'a'), "c57e9278af78fa3cab38667bef4ce29d783787a2f731d4e12200270f0c32320a"},
      {std::string(128, 'a'), "6836cf13bac400e9105071cd6af47084dfacad4e5e302c94bfed24e013afb73e"},
  };
  for (const Vector& v : vectors) {
    EXPECT_EQ(digest_of(v.msg), v.digest) << "length " << v.msg.size();
    // Byte by byte, and in pieces of 1, 63, 64, 65, 127 bytes in turn, which
    // straddle every block edge.
    sha256_ctx ctx;
    sha256_init(&ctx);
    for (char c : v.msg) sha256_update(&ctx, &c, 1);
    uint8_t out[32];
    sha256_final(&ctx, out);
    EXPECT_EQ(hex(out, 32), v.digest) << "byte by byte, length " << v.msg.size();
    sha256_init(&ctx);
    const size_t pieces[] = {1, 63, 64, 65, 127};
    for (size_t off = 0, k = 0; off < v.msg.size(); ++k) {
      const size_t n = std::min(pieces[k % 5], v.msg.size() - off);
      sha256_update(&ctx, v.msg.data() + off, n);
      off += n;
    }
    sha256_final(&ctx, out);
    EXPECT_EQ(hex(out, 32), v.digest) << "pieces, length " << v.msg.size();
  }
}

TEST_P(Sha256, EveryFieldBetweenCallsIsWhatByteWiseFillingGives) {
  std::string msg(1000, '\0');
  for (size_t i = 0; i < msg.size(); ++i) msg[i] = static_cast<char>(i * 7 + 3);
  for (size_t first : {0, 1, 5, 63, 64, 65, 128, 200}) {
    for (size_t second : {0, 1, 63, 64, 100, 128, 129, 500}) {
      const std::string part = msg.substr(0, first + second);
      sha256_ctx ctx;
      std::memset(&ctx, 0, sizeof ctx);
      sha256_init(&ctx);
      sha256_update(&ctx, part.data(), first);
      sha256_update(&ctx, part.data() + first, second);
      const sha256_ctx want = bytewise_context(part);
      EXPECT_EQ(std::memcmp(&ctx, &want, sizeof ctx), 0) << first << " then " << second;
    }
  }
}

TEST_P(Sha256, UpdateWithNoBytesChangesNothing) {
  sha256_ctx ctx;
  sha256_init(&ctx);
  sha256_update(&ctx, "abc", 3);
  sha256_ctx before = ctx;
  sha256_update(&ctx, "x", 0);
  sha256_update(&ctx, nullptr, 0);
  EXPECT_EQ(std::memcmp(&ctx, &before, sizeof ctx), 0);
}

TEST(Sha256Paths, RandomizedCrossCheck) {
  std::mt19937_64 rng(12345);
  for (int round = 0; round < 400; ++round) {
    const size_t len = rng() % 3000;
    std::string msg(len, '\0');
    for (char& c : msg) c = static_cast<char>(rng());
    std::string digests[2];
    sha256_ctx contexts[2];
    for (int p = 0; p < 2; ++p) {
      sha256_detail::force_portable(p == 0);
      sha256_ctx& ctx = contexts[p];
      std::memset(&ctx, 0, sizeof ctx);
      sha256_init(&ctx);
      std::mt19937_64 cuts(round);  // the same pieces on both paths
      for (size_t off = 0; off < len;) {
        const size_t n = std::min<size_t>(cuts() % 200, len - off);
        sha256_update(&ctx, msg.data() + off, n);
        off += n;
      }
      sha256_ctx copy = ctx;
      uint8_t out[32];
      sha256_final(&copy, out);
      digests[p] = hex(out, 32);
    }
    sha256_detail::force_portable(false);
    EXPECT_EQ(digests[0], digests[1]) << "length " << len;
    EXPECT_EQ(std::memcmp(&contexts[0], &contexts[1], sizeof(sha256_ctx)), 0) << "length " << len;
  }
}

TEST(Sha256File, DigestsOfFiles) {
  TempDir tmp;
  uint8_t out[32];
  std::memset(out, 0xAB, sizeof out);
  EXPECT_EQ(sha256_file((tmp / "missing").c_str(), out), -1);
  for (uint8_t b : out) EXPECT_EQ(b, 0xAB) << "out is left untouched";

  write_bytes(tmp / "empty", "");
  ASSERT_EQ(sha256_file((tmp / "empty").c_str(), out), 0);
  EXPECT_EQ(hex(out, 32), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");

  std::string big(200001, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i % 251);
  write_bytes(tmp / "big", big);
  ASSERT_EQ(sha256_file((tmp / "big").c_str(), out), 0);
  EXPECT_EQ(hex(out, 32), "be1df2e91a4a6124274d4d6ddbf01709451d4d2cc676e5968bcb40c9177fcd9a");
  EXPECT_EQ(hex(out, 32), digest_of(big));

  EXPECT_EQ(sha256_file(tmp.path().c_str(), out), -1) << "a directory cannot be read as a file";
}

TEST(Sha256Paths, ThisMachineUsesTheFastestPath) {
  sha256_detail::force_portable(false);
  std::printf("sha256 path in use: %s\n", sha256_detail::path_name());
  EXPECT_TRUE(std::string(sha256_detail::path_name()) == "sha-ni" ||
              std::string(sha256_detail::path_name()) == "portable");
}

}  // namespace
