// The digest an upload keeps as its bytes arrive: taken up again by every
// later append and by the finish, and never trusted where it does not
// describe the upload file as it is.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "hash/sha256.h"
#include "hash/sha512.h"
#include "support/storage_fixture.h"

using namespace testing_support;

namespace {

std::string hex_of(const uint8_t* raw, size_t n) {
  static const char hx[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) out += {hx[raw[i] >> 4], hx[raw[i] & 15]};
  return out;
}

std::string sha512_digest(const std::string& data) { return sha512_digest_string(data); }

std::string pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + seed * 17 + (i >> 7)) & 0xff);
  return s;
}

// ---- The hash states themselves --------------------------------------------------

TEST(HashStates, AStateTakenUpAtAnyPointEndsInTheSameDigest) {
  const std::string data = pattern(1000, 1);
  for (size_t split : {0, 1, 55, 63, 64, 65, 127, 128, 129, 500, 1000}) {
    SCOPED_TRACE(split);
    sha256_ctx a;
    sha256_init(&a);
    sha256_update(&a, data.data(), split);
    uint8_t saved[SHA256_EXPORT_MAX];
    const size_t n = sha256_export(&a, saved);
    EXPECT_EQ(n, 40 + split % 64);
    sha256_ctx b;
    ASSERT_EQ(sha256_import(&b, saved, n), 0);
    sha256_update(&b, data.data() + split, data.size() - split);
    uint8_t raw[32];
    sha256_final(&b, raw);
    EXPECT_EQ("sha256:" + hex_of(raw, 32), digest_string(data));

    hash_sha512_ctx c;
    hash_sha512_init(&c);
    hash_sha512_update(&c, data.data(), split);
    uint8_t saved512[HASH_SHA512_EXPORT_MAX];
    const size_t m = hash_sha512_export(&c, saved512);
    EXPECT_EQ(m, 72 + split % 128);
    hash_sha512_ctx d;
    ASSERT_EQ(hash_sha512_import(&d, saved512, m), 0);
    hash_sha512_update(&d, data.data() + split, data.size() - split);
    uint8_t raw512[64];
    hash_sha512_final(&d, raw512);
    EXPECT_EQ("sha512:" + hex_of(raw512, 64), sha512_digest(data));
  }
}

TEST(HashStates, BytesThatAreNotAStateAreRefused) {
  sha256_ctx a;
  sha256_init(&a);
  sha256_update(&a, "abc", 3);
  uint8_t saved[SHA256_EXPORT_MAX];
  const size_t n = sha256_export(&a, saved);  // 40 + 3 buffered bytes
  sha256_ctx b;
  EXPECT_EQ(sha256_import(&b, saved, 0), -1);
  EXPECT_EQ(sha256_import(&b, saved, 39), -1);
  EXPECT_EQ(sha256_import(&b, saved, n - 1), -1) << "fewer buffered bytes than the count says";
  EXPECT_EQ(sha256_import(&b, saved, n + 1), -1) << "more buffered bytes than the count says";
  hash_sha512_ctx c;
  hash_sha512_init(&c);
  uint8_t saved512[HASH_SHA512_EXPORT_MAX];
  const size_t m = hash_sha512_export(&c, saved512);
  hash_sha512_ctx d;
  EXPECT_EQ(hash_sha512_import(&d, saved512, m - 1), -1);
  EXPECT_EQ(hash_sha512_import(&d, saved512, m + 1), -1);
}

// ---- Uploads ---------------------------------------------------------------------

class UploadDigests : public FreshStorage {
 public:
  std::string start(const char* alg = nullptr) {
    char id[37];
    reg_status st;
    EXPECT_EQ(reg_upload_start("app", alg, id, &st), 0) << st.message;
    return id;
  }
  // Appends bytes in a request of their own.
  void append(const std::string& id, const std::string& bytes) {
    reg_status st;
    EXPECT_EQ(append_to("app", id.c_str(), bytes, -1, &st), 0) << st.message;
  }
  // 0, or -1 with the kind of the failure in *why.
  int finish(const std::string& id, const std::string& digest, reg_error_kind* why = nullptr) {
    reg_status st;
    const int rc = finish_upload("app", id.c_str(), digest, &st);
    if (why != nullptr) *why = st.kind;
    return rc;
  }
  int cancel(const std::string& id) {
    reg_status st;
    return cancel_upload("app", id.c_str(), &st);
  }
  std::string state_of(const std::string& id) const { return root + "/upload-digests/" + id; }
  std::string upload_of(const std::string& id) const { return root + "/uploads/" + id + ".part"; }
  std::string blob_of(const std::string& digest) const {
    const std::string alg = digest.substr(0, 6);
    const std::string hex = digest.substr(7);
    return root + "/blobs/" + alg + "/" + hex.substr(0, 2) + "/" + hex;
  }
};

TEST_F(UploadDigests, ChunksAreHashedAsTheyArriveAndTheFinishTakesOnlyTheirDigest) {
  const std::vector<std::string> chunks{pattern(70000, 1), pattern(1, 2), pattern(65536, 3), pattern(129, 4)};
  std::string all;
  for (const std::string& c : chunks) all += c;

  const std::string whole = start();
  const std::string cut = start();
  for (const std::string& c : chunks) {
    append(whole, c);
    append(cut, c);
  }
  EXPECT_TRUE(is_file(state_of(whole)));
  reg_error_kind why = REG_ERR_NONE;
  EXPECT_EQ(finish(cut, digest_string(all.substr(0, all.size() - 129)), &why), -1);
  EXPECT_EQ(why, REG_ERR_DIGEST);
  EXPECT_EQ(finish(whole, digest_string(all), &why), 0) << why;
  EXPECT_EQ(read_bytes(blob_of(digest_string(all))), all);

  // SHA-512: hashed as it arrives where the upload was declared for it,
  // from the file at the finish where it was not.
  const std::string declared = start("sha512");
  const std::string undeclared = start();
  for (const std::string& c : chunks) {
    append(declared, c + "!");
    append(undeclared, c + "?");
  }
  std::string with_bangs, with_marks;
  for (const std::string& c : chunks) with_bangs += c + "!", with_marks += c + "?";
  EXPECT_EQ(finish(declared, sha512_digest(with_bangs), &why), 0) << why;
  EXPECT_EQ(finish(undeclared, sha512_digest(with_marks), &why), 0) << why;
  EXPECT_EQ(read_bytes(blob_of(sha512_digest(with_marks))), with_marks);

  // No state outlives its upload, finished, refused or cancelled.
  const std::string cancelled = start();
  append(cancelled, "x");
  EXPECT_EQ(cancel(cancelled), 0);
  EXPECT_TRUE(list_names(root + "/upload-digests").empty());
}

// Each case spoils the state of an upload that holds `bytes` in its own
// way; the upload then takes one more chunk and is finished. The right
// digest is always accepted, and the digest of what the spoiled state
// stands for, where that is not the file's, is always refused.
struct Spoiling {
  const char* what;
  // Spoils the state of upload id; returns the bytes the file now holds
  // and, in *claimed, what the state stands for ("" when nothing).
  std::function<std::string(UploadDigests& t, const std::string& id, const std::string& bytes, std::string* claimed)>
      spoil;
};

std::string replace_line(const std::string& text, int line, const std::string& with) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    const size_t nl = text.find('\n', at);
    lines.push_back(text.substr(at, nl - at));
    at = nl + 1;
  }
  lines[line] = with;
  std::string body;
  for (int i = 0; i < 4; ++i) body += lines[i] + "\n";
  // Signed again, as a whole state of that content would be.
  return body + digest_string(body).substr(7) + "\n";
}

std::string line_of(const std::string& text, int line) {
  size_t at = 0;
  for (int i = 0; i < line; ++i) at = text.find('\n', at) + 1;
  return text.substr(at, text.find('\n', at) - at);
}

TEST_F(UploadDigests, AStateThatDoesNotDescribeTheFileIsNeverTrusted) {
  const std::vector<Spoiling> cases{
      {"a byte of the state flipped",
       [](UploadDigests& t, const std::string& id, const std::string& bytes, std::string*) {
         std::string s = read_bytes(t.state_of(id));
         s[s.size() / 2] ^= 1;
         write_bytes(t.state_of(id), s);
         return bytes;
       }},
      {"bytes appended after the state was kept (an append killed before its state)",
       [](UploadDigests& t, const std::string& id, const std::string& bytes, std::string* claimed) {
         *claimed = bytes;
         FILE* f = std::fopen(t.upload_of(id).c_str(), "ab");
         std::fputs("tail", f);
         std::fclose(f);
         return bytes + "tail";
       }},
      {"the file cut back by one byte",
       [](UploadDigests& t, const std::string& id, const std::string& bytes, std::string* claimed) {
         *claimed = bytes;
         write_bytes(t.upload_of(id), bytes.substr(0, bytes.size() - 1));
         return bytes.substr(0, bytes.size() - 1);
       }},
      {"the state of another upload, of other bytes of the same length",
       [](UploadDigests& t, const std::string& id, const std::string& bytes, std::string* claimed) {
         *claimed = pattern(bytes.size(), 99);
         const std::string other = t.start();
         t.append(other, *claimed);
         write_bytes(t.state_of(id), read_bytes(t.state_of(other)));
         return bytes;
       }},
      {"a count of bytes that is not the file's size, signed again",
       [](UploadDigests& t, const std::string& id, const std::string& bytes, std::string*) {
         const std::string s = read_bytes(t.state_of(id));
         std::string state = line_of(s, 3);
         state[64 + 15] = state[64 + 15] == '0' ? '1' : '0';  // the count's last digit
         write_bytes(t.state_of(id), replace_line(s, 3, state));
         return bytes;
       }},
      {"another format, signed again",
       [](UploadDigests& t, const std::string& id, const std::string& bytes, std::string*) {
         write_bytes(t.state_of(id), replace_line(read_bytes(t.state_of(id)), 0, "registry upload digest 2"));
         return bytes;
       }},
      {"another algorithm, signed again",
       [](UploadDigests& t, const std::string& id, const std::string& bytes, std::string*) {
         write_bytes(t.state_of(id), replace_line(read_bytes(t.state_of(id)), 1, "sha512"));
         return bytes;
       }},
      {"cut short",
       [](UploadDigests& t, const std::string& id, const std::string& bytes, std::string*) {
         const std::string s = read_bytes(t.state_of(id));
         write_bytes(t.state_of(id), s.substr(0, s.size() - 10));
         return bytes;
       }},
      {"empty",
       [](UploadDigests& t, const std::string& id, const std::string& bytes, std::string*) {
         write_bytes(t.state_of(id), "");
         return bytes;
       }},
      {"gone",
       [](UploadDigests& t, const std::string& id, const std::string& bytes, std::string*) {
         std::remove(t.state_of(id).c_str());
         return bytes;
       }},
  };
  const std::string bytes = pattern(5000, 7);
  for (const Spoiling& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string right = start();
    const std::string wrong = start();
    append(right, bytes);
    append(wrong, bytes);
    std::string claimed;
    std::string now = c.spoil(*this, right, bytes, &claimed);
    c.spoil(*this, wrong, bytes, &claimed);
    // The next append must not carry a spoiled state on either.
    append(right, "more");
    append(wrong, "more");
    now += "more";
    reg_error_kind why = REG_ERR_NONE;
    if (!claimed.empty()) {
      EXPECT_EQ(finish(wrong, digest_string(claimed + "more"), &why), -1);
      EXPECT_EQ(why, REG_ERR_DIGEST);
    } else {
      EXPECT_EQ(cancel(wrong), 0);
    }
    EXPECT_EQ(finish(right, digest_string(now), &why), 0) << why;
    EXPECT_EQ(read_bytes(blob_of(digest_string(now))), now);
  }
}

}  // namespace
