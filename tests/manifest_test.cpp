// Manifests and tags: put, get, resolve, delete and the tag list, against a
// real tree.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "hash/sha256.h"
#include "storage/reg_storage.h"
#include "storage/storage_manifests.h"
#include "support/storage_fixture.h"
#include "support/test_support.h"

using namespace testing_support;

namespace {

const std::string kD1 = "sha256:" + std::string(64, 'a');
const std::string kD2 = "sha256:" + std::string(64, 'b');
const std::string kManifest = "{\"schemaVersion\":2,\"config\":{\"digest\":\"" + kD1 + "\"},\"layers\":[{\"digest\":\"" +
                              kD2 + "\"}]}";
constexpr char kDefaultCt[] = "application/vnd.docker.distribution.manifest.v2+json";
constexpr char kNotReady[] = "not initialized - call reg_storage_init first";

class Manifests : public FreshStorage {
 protected:

  int put(const std::string& repo, const std::string& ref, const std::string& body, const char* ct = nullptr) {
    char out[72] = "untouched";
    const int rc = reg_manifest_put(repo.c_str(), ref.c_str(), body.data(), body.size(), ct, out);
    last_digest = out;
    return rc;
  }
  // The body, or "" with the message in err.
  std::string get(const std::string& repo, const std::string& ref) {
    char ct[REG_CONTENT_TYPE_CAP];
    char digest[72];
    const char* body = reg_manifest_get(repo.c_str(), ref.c_str(), ct, digest);
    if (body == nullptr) {
      err = reg_storage_last_error();
      err_kind = reg_storage_last_kind();
      return "";
    }
    got_ct = ct;
    got_digest = digest;
    return body;
  }
  std::string mdir(const std::string& repo) const { return root + "/repositories/" + repo + "/_manifests"; }
  std::string tag_link(const std::string& repo, const std::string& tag) const {
    return mdir(repo) + "/tags/" + tag + "/current/link";
  }
  std::string rev_link(const std::string& repo, const std::string& digest) const {
    return mdir(repo) + "/revisions/sha256/" + digest.substr(7) + "/link";
  }
  std::string body_file(const std::string& repo, const std::string& digest) const {
    return mdir(repo) + "/" + digest.substr(7);
  }
  std::string tags(const std::string& repo) {
    const char* t = reg_tags_list_json(repo.c_str());
    return t != nullptr ? t : std::string("NULL: ") + reg_storage_last_error();
  }

  // Messages are compared where their text is the engine's specified one;
  // kInvalid stands for a refusal of REG_ERR_INVALID whatever its words.
  static constexpr char kInvalid[] = "(refused as invalid)";
  // The failure matches want: its specified text, or kInvalid.
  static void expect_failure(const std::string& want, const std::string& message, reg_error_kind kind,
                             const std::string& what) {
    if (want == kInvalid) {
      EXPECT_EQ(kind, REG_ERR_INVALID) << what << ": " << message;
    } else {
      EXPECT_EQ(message, want) << what;
    }
  }

  std::string last_digest;
  std::string err;
  reg_error_kind err_kind = REG_ERR_NONE;
  std::string got_ct;
  std::string got_digest;
};

// ---- Put ------------------------------------------------------------------

TEST_F(Manifests, PutWritesFourFilesWithExactBytes) {
  const std::string d = digest_string(kManifest);
  ASSERT_EQ(put("team/app", "latest", kManifest), 0) << reg_storage_last_error();
  EXPECT_EQ(last_digest, d);
  EXPECT_EQ(read_bytes(body_file("team/app", d)), kManifest);
  EXPECT_EQ(read_bytes(body_file("team/app", d) + ".ct"), kDefaultCt);
  EXPECT_EQ(read_bytes(rev_link("team/app", d)), d);
  EXPECT_EQ(read_bytes(tag_link("team/app", "latest")), d);
  EXPECT_EQ(read_bytes(tag_link("team/app", "latest")).size(), 71u);
  // Nothing else lies in the manifests directory but the repository's
  // lock file: no temporary files.
  EXPECT_EQ(list_names(mdir("team/app")),
            (std::vector<std::string>{d.substr(7), d.substr(7) + ".ct", "lock", "revisions", "tags"}));
}

TEST_F(Manifests, PutContentTypes) {
  ASSERT_EQ(put("a", "t1", kManifest, ""), 0);
  EXPECT_EQ(read_bytes(body_file("a", last_digest) + ".ct"), kDefaultCt);
  ASSERT_EQ(put("a", "t1", kManifest, "application/vnd.oci.image.manifest.v1+json"), 0);
  EXPECT_EQ(read_bytes(body_file("a", last_digest) + ".ct"), "application/vnd.oci.image.manifest.v1+json")
      << "the last put wins";
}

TEST_F(Manifests, ContentTypesAreMediaTypesStoredAndReturnedWhole) {
  const std::string long_type = "application/vnd.example." + std::string(150, 'x') + "+json";  // 179 bytes
  const std::string longest = "a/" + std::string(253, 'b');
  struct Case {
    std::string type;
    bool ok;
  };
  const Case cases[] = {
      {"application/vnd.oci.image.manifest.v1+json", true},
      {long_type, true},
      {longest, true},
      {longest + "b", false},
      {"application/json; charset=utf-8", true},
      {"text/plain;a=b ; c=\"quoted \\\" value\"", true},
      {"application/x\r\nSet-Cookie: evil=1", false},
      {"application/x\nX: y", false},
      {"application/x\tq", false},
      {"x", false},
      {"/json", false},
      {"application/", false},
      {"appli cation/json", false},
      {"application/json;", false},
      {"application/json; a", false},
      {"application/json; a=", false},
      {"application/json; a=\"open", false},
      {"application/json; a=\"\x01\"", false},
      {"text/caf\xc3\xa9", false},
  };
  for (const Case& c : cases) {
    const int rc = put("a", "t", kManifest, c.type.c_str());
    if (!c.ok) {
      EXPECT_EQ(rc, -1) << c.type;
      EXPECT_EQ(reg_storage_last_kind(), REG_ERR_INVALID) << c.type;
      continue;
    }
    ASSERT_EQ(rc, 0) << c.type << ": " << reg_storage_last_error();
    EXPECT_EQ(get("a", "t"), kManifest);
    EXPECT_EQ(got_ct, c.type) << "what is stored comes back whole";
  }
}

TEST_F(Manifests, ADigestReferenceMustBeTheBodysDigest) {
  const std::string d = digest_string(kManifest);
  const std::string zeros = "sha256:" + std::string(64, '0');
  struct Case {
    std::string ref;
    reg_error_kind kind;
  };
  const Case cases[] = {
      {"sha256:", REG_ERR_INVALID},
      {"sha256:whatever", REG_ERR_INVALID},
      {"sha256:not-a-digest/../../x", REG_ERR_INVALID},
      {"sha256:" + std::string(64, 'F'), REG_ERR_INVALID},
      {"sha512:" + std::string(128, 'a'), REG_ERR_INVALID},  // the first operations' put is SHA-256's
      {zeros, REG_ERR_DIGEST},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(put("a", c.ref, kManifest), -1) << c.ref;
    EXPECT_EQ(reg_storage_last_kind(), c.kind) << c.ref << ": " << reg_storage_last_error();
  }
  EXPECT_FALSE(exists(root + "/repositories/a")) << "nothing written";
  ASSERT_EQ(put("a", d, kManifest), 0) << reg_storage_last_error();
  EXPECT_EQ(last_digest, d);
  EXPECT_FALSE(exists(mdir("a") + "/tags")) << "a digest reference writes no tag link";
  EXPECT_TRUE(is_file(rev_link("a", d)));
  EXPECT_EQ(get("a", d), kManifest);
}

TEST_F(Manifests, PutValidationTable) {
  const std::string cfg = "\"config\":{\"digest\":\"" + kD1 + "\"}";
  struct Case {
    std::string body;
    std::string want;  // "" for success
  };
  const Case cases[] = {
      {"", "manifest JSON parse failed"},
      {"\xEF\xBB\xBF{" + cfg + "}", "manifest JSON parse failed"},
      {"{" + cfg + "/*c*/}", "manifest JSON parse failed"},
      {"{" + cfg + ",}", "manifest JSON parse failed"},
      {"{" + cfg + "} x", "manifest JSON parse failed"},
      {"{\"config\":{\"digest\":\"" + kD1 + "\",\"x\":\"\xff\"}}", "manifest JSON parse failed"},
      {"{}", "manifest missing valid config.digest"},
      {"[]", "manifest must be a JSON object"},
      {"\"s\"", "manifest must be a JSON object"},
      {"{\"config\":\"" + kD1 + "\"}", "manifest missing valid config.digest"},
      {"{\"config\":{\"digest\":1}}", "manifest missing valid config.digest"},
      {"{\"config\":{\"digest\":\"sha256:" + std::string(64, 'A') + "\"}}", "manifest missing valid config.digest"},
      {"{\"config\":{\"digest\":\"sha256:" + std::string(63, 'a') + "\"}}", "manifest missing valid config.digest"},
      {"{\"config\":{\"digest\":\"sha512:" + std::string(128, 'a') + "\"}}", ""},
      {"{\"config\":{\"digest\":\"sha512:" + std::string(64, 'a') + "\"}}", "manifest missing valid config.digest"},
      {"{\"config\":{\"digest\":\"sha384:" + std::string(96, 'a') + "\"}}", "manifest missing valid config.digest"},
      {"{\"config\":{}}", "manifest missing valid config.digest"},
      {"{" + cfg + "}", ""},
      {" \n{" + cfg + ",\"layers\":[]} \n", ""},
      {"{" + cfg + ",\"layers\":null}", "manifest layers must be an array"},
      {"{" + cfg + ",\"layers\":{}}", "manifest layers must be an array"},
      {"{" + cfg + ",\"layers\":[{}]}", "manifest layer 0 missing valid digest"},
      {"{" + cfg + ",\"layers\":[{\"digest\":\"" + kD2 + "\"},{\"size\":1}]}", "manifest layer 1 missing valid digest"},
      {"{" + cfg + ",\"layers\":[{\"digest\":\"" + kD2 + "\"},\"" + kD2 + "\"]}", "manifest layer 1 missing valid digest"},
      {"{\"x\":[1,{}]," + cfg + ",\"layers\":[{\"digest\":\"" + kD2 + "\",\"size\":3,\"extra\":{}}],\"y\":null}", ""},
      // A key twice in any object, however it is spelled: parsers differ in
      // which one they take.
      {"{" + cfg + ",\"config\":{\"digest\":\"bad\"}}", kInvalid},
      {"{\"config\":{\"digest\":\"bad\"}," + cfg + "}", kInvalid},
      {"{" + cfg + ",\"conf\\u0069g\":{\"digest\":\"" + kD2 + "\"}}", kInvalid},
      {"{\"config\":{\"digest\":\"" + kD1 + "\",\"digest\":\"" + kD2 + "\"}}", kInvalid},
      {"{" + cfg + ",\"layers\":[{\"digest\":\"" + kD2 + "\",\"size\":1,\"size\":2}]}", kInvalid},
      {"{" + cfg + ",\"x\":[[{\"a\":1,\"b\":{\"c\":1,\"c\":1}}]]}", kInvalid},
      {"{" + cfg + ",\"a\":{\"k\":1},\"b\":{\"k\":1}}", ""},
  };
  for (const Case& c : cases) {
    const int rc = put("a", "t", c.body);
    if (c.want.empty()) {
      EXPECT_EQ(rc, 0) << c.body << ": " << reg_storage_last_error();
    } else {
      EXPECT_EQ(rc, -1) << c.body;
      expect_failure(c.want, reg_storage_last_error(), reg_storage_last_kind(), c.body);
      EXPECT_EQ(last_digest, "untouched");
    }
  }
}

TEST_F(Manifests, TheLengthBoundsTheBody) {
  const std::string body = "{\"config\":{\"digest\":\"" + kD1 + "\"}}";
  char out[72];
  EXPECT_EQ(reg_manifest_put("a", "t", body.data(), body.size() - 1, nullptr, out), -1);
  EXPECT_STREQ(reg_storage_last_error(), "manifest JSON parse failed");
  const std::string padded = body + "garbage";
  EXPECT_EQ(reg_manifest_put("a", "t", padded.data(), body.size(), nullptr, out), 0);
  EXPECT_STREQ(out, digest_string(body).c_str());
}

TEST_F(Manifests, BodiesDifferingInWhiteSpaceAreTwoManifests) {
  ASSERT_EQ(put("a", "x", kManifest), 0);
  const std::string d1 = last_digest;
  ASSERT_EQ(put("a", "y", kManifest + " "), 0);
  EXPECT_NE(last_digest, d1);
  EXPECT_TRUE(is_file(body_file("a", d1)));
  EXPECT_TRUE(is_file(body_file("a", last_digest)));
}

TEST_F(Manifests, PutRefusals) {
  struct Case {
    std::string repo;
    std::string ref;
    std::string want;
  };
  const Case cases[] = {
      {std::string(255, 'n'), "t", ""},
      {std::string(256, 'n'), "t", "invalid repository name: " + std::string(256, 'n')},
      {"Team/App_1-x.y/z", "t", ""},
      {"a..b", "t", "invalid repository name: a..b"},
      {"..", "t", "invalid repository name: .."},
      // One name, one directory: no spelling reaches another name's files.
      {".", "t", "invalid repository name: ."},
      {"/", "t", "invalid repository name: /"},
      {"./a", "t", "invalid repository name: ./a"},
      {"a/", "t", "invalid repository name: a/"},
      {"a//b", "t", "invalid repository name: a//b"},
      {"a\\", "t", "invalid repository name: a\\"},
      {"a\\b", "t", "invalid repository name: a\\b"},
      {"/abs", "t", "invalid repository name: /abs"},
      {"a/./b", "t", "invalid repository name: a/./b"},
      {"a/.b", "t", "invalid repository name: a/.b"},
      {"_a", "t", "invalid repository name: _a"},
      {"victim/_manifests/" + std::string(64, 'a'), "t", "invalid repository name: victim/_manifests/" + std::string(64, 'a')},
      {"a b", "t", "invalid repository name: a b"},
      {"a:b", "t", "invalid repository name: a:b"},
      {"caf\xc3\xa9", "t", "invalid repository name: caf\xc3\xa9"},
      {"", "t", "invalid repository name: "},
      {"a", "", "empty reference"},
      {"a", "../x", kInvalid},
      {"a", "a/b", kInvalid},
      {"a", "a\\b", kInvalid},
      {"a", ".hidden", kInvalid},
      {"a", "-x", kInvalid},
      {"a", "a:b", kInvalid},
      {"a", "SHA256:" + std::string(64, 'a'), kInvalid},
      {"a", std::string(129, 't'), kInvalid},
      {"a", std::string(128, 't'), ""},
      {"a", "_v1.2-rc.3", ""},
  };
  for (const Case& c : cases) {
    const int rc = put(c.repo, c.ref, kManifest);
    if (c.want.empty()) {
      EXPECT_EQ(rc, 0) << c.repo << " " << c.ref << ": " << reg_storage_last_error();
    } else {
      EXPECT_EQ(rc, -1) << c.repo << " " << c.ref;
      expect_failure(c.want, reg_storage_last_error(), reg_storage_last_kind(), c.repo + " " + c.ref);
    }
  }
  // Nothing was written for the refused tags.
  EXPECT_EQ(list_names(mdir("a") + "/tags"), (std::vector<std::string>{"_v1.2-rc.3", std::string(128, 't')}));
  EXPECT_EQ(list_names(root + "/repositories"),
            (std::vector<std::string>{"Team", "_nested", "_nested.lock", "a", std::string(255, 'n')}));
}

TEST_F(Manifests, OversizedBodiesAreRefusedBeforeParsing) {
  std::string big = kManifest;
  big.append(REG_MANIFEST_MAX + 1 - big.size(), ' ');  // 4 MiB and one byte: one byte too many
  EXPECT_EQ(put("a", "t", big), -1);
  EXPECT_EQ(reg_storage_last_kind(), REG_ERR_TOO_LARGE);
  big.pop_back();
  EXPECT_EQ(put("a", "t", big), 0) << reg_storage_last_error();
  EXPECT_EQ(get("a", "t"), big) << "the largest body comes back whole";
}

TEST_F(Manifests, NullArgumentsAndState) {
  char out[72];
  char ct[REG_CONTENT_TYPE_CAP];
  EXPECT_EQ(reg_manifest_put(nullptr, "t", "{}", 2, nullptr, out), -1);
  EXPECT_STREQ(reg_storage_last_error(), "NULL argument");
  EXPECT_EQ(reg_manifest_put("a", "t", nullptr, 2, nullptr, out), -1);
  EXPECT_STREQ(reg_storage_last_error(), "NULL argument");
  EXPECT_EQ(reg_manifest_put("a", "t", "{}", 2, nullptr, nullptr), -1);
  EXPECT_STREQ(reg_storage_last_error(), "NULL argument");
  EXPECT_EQ(reg_manifest_get("a", "t", nullptr, out), nullptr);
  EXPECT_STREQ(reg_storage_last_error(), "NULL argument");
  EXPECT_EQ(reg_manifest_delete("a", nullptr), -1);
  EXPECT_STREQ(reg_storage_last_error(), "NULL argument");
  EXPECT_EQ(reg_tags_list_json(nullptr), nullptr);
  EXPECT_STREQ(reg_storage_last_error(), "repo_name is NULL");
  reg_storage_cleanup();
  EXPECT_EQ(reg_manifest_put("a", "t", "{}", 2, nullptr, out), -1);
  EXPECT_STREQ(reg_storage_last_error(), kNotReady);
  EXPECT_EQ(reg_manifest_get("a", "t", ct, out), nullptr);
  EXPECT_STREQ(reg_storage_last_error(), kNotReady);
  EXPECT_EQ(reg_manifest_delete("a", "t"), -1);
  EXPECT_STREQ(reg_storage_last_error(), kNotReady);
  EXPECT_EQ(reg_tags_list_json("a"), nullptr);
  EXPECT_STREQ(reg_storage_last_error(), kNotReady);
}

// ---- Get and resolve ----------------------------------------------------------

TEST_F(Manifests, GetReturnsWhatWasPut) {
  ASSERT_EQ(put("a", "v1", kManifest, "application/x-custom"), 0);
  const std::string d = last_digest;
  EXPECT_EQ(get("a", "v1"), kManifest);
  EXPECT_EQ(got_ct, "application/x-custom");
  EXPECT_EQ(got_digest, d);
  EXPECT_EQ(get("a", d), kManifest);
  EXPECT_EQ(got_digest, d);
}

TEST_F(Manifests, ContentTypeFileFallbacks) {
  ASSERT_EQ(put("a", "v1", kManifest, "x/y"), 0);
  const std::string ct = body_file("a", last_digest) + ".ct";
  // Whatever the file holds that is not a media type (written by hand or
  // by an older build) gives the default, never bytes for a header.
  for (const std::string& bad : {std::string(""), std::string(200, 'c') + "\n", std::string("text/x \n"),
                                 std::string("text/x\r\nSet-Cookie: a=b"), "a/" + std::string(300, 'b'),
                                 std::string("text/x\0y", 8)}) {
    write_bytes(ct, bad);
    get("a", "v1");
    EXPECT_EQ(got_ct, kDefaultCt) << bad;
  }
  remove_tree(ct);
  get("a", "v1");
  EXPECT_EQ(got_ct, kDefaultCt);
  write_bytes(ct, "text/x;a=1");
  get("a", "v1");
  EXPECT_EQ(got_ct, "text/x;a=1") << "a media type is used unchanged";
}

TEST_F(Manifests, GetFailures) {
  ASSERT_EQ(put("a", "v1", kManifest), 0);
  const std::string unknown = "sha256:" + std::string(64, '0');
  struct Case {
    std::string repo;
    std::string ref;
    std::string want;
  };
  const Case cases[] = {
      {"a", "sha256:" + std::string(64, 'A'), "invalid digest reference"},
      {"a", "sha256:" + std::string(63, 'a'), "invalid digest reference"},
      {"a", "sha256:", "invalid digest reference"},
      {"a", unknown, "manifest body not found: a@" + unknown},
      {"a", "nope", "tag not found: a:nope"},
      {"nobody", "v1", "tag not found: nobody:v1"},
      {"a..b", "v1", "invalid repository name"},
      {"a", "../../a/_manifests/tags/v1", kInvalid},
      {"a", "", kInvalid},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(get(c.repo, c.ref), "") << c.ref;
    expect_failure(c.want, err, err_kind, c.ref);
  }
}

TEST_F(Manifests, StoredBodyLargerThanTheResultBufferIsRefused) {
  ASSERT_EQ(put("a", "v1", kManifest), 0);
  write_bytes(body_file("a", last_digest), kManifest + std::string(REG_MANIFEST_MAX, ' '));
  EXPECT_EQ(get("a", "v1"), "");
  EXPECT_EQ(err_kind, REG_ERR_TOO_LARGE) << err;
}

TEST_F(Manifests, CorruptTagLinkFailsByTagButKeepsTheManifestAlive) {
  ASSERT_EQ(put("a", "good", kManifest), 0);
  const std::string d = last_digest;
  ASSERT_EQ(put("a", "bad", kManifest), 0);
  write_bytes(tag_link("a", "bad"), d + "\n");
  EXPECT_EQ(get("a", "bad"), "");
  EXPECT_EQ(err, "corrupt tag link: a:bad");
  EXPECT_EQ(reg_manifest_delete("a", "bad"), -1);
  EXPECT_STREQ(reg_storage_last_error(), "corrupt tag link: a:bad");
  // The corrupt link still names the digest.
  EXPECT_EQ(reg_manifest_delete("a", "good"), 0);
  EXPECT_EQ(get("a", d), kManifest);
  EXPECT_EQ(storage::manifest_has_tag_for("a", d.substr(7).c_str()), 1);
}

// ---- The status forms ----------------------------------------------------------

// A writer that takes nothing.
int refuse(void*, const char*, size_t) { return -1; }

TEST_F(Manifests, TheStatusFormsPushReadAndRemove) {
  reg_status st;
  const std::string index = "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.index.v1+json\","
                            "\"manifests\":[]}";
  const std::string d = digest_string(index);
  // Pushed by digest with tags: all of them name it, and it has no subject.
  const char* const tags[] = {"a", "b", "a"};
  char out[REG_DIGEST_CAP];
  char subject[REG_DIGEST_CAP] = "untouched";
  ASSERT_EQ(reg_manifest_push("r", d.c_str(), index.data(), index.size(), nullptr, tags, 3, out, subject, &st), 0)
      << st.message;
  EXPECT_EQ(out, d);
  EXPECT_STREQ(subject, "");
  EXPECT_EQ(tags_page("r", 0, nullptr).text, "{\"name\":\"r\",\"tags\":[\"a\",\"b\"]}");
  // A referrer of it: its subject comes back.
  const std::string referrer = "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.index.v1+json\","
                               "\"manifests\":[],\"subject\":{\"mediaType\":\"application/vnd.oci.image.index.v1+json\","
                               "\"digest\":\"" + d + "\",\"size\":1}}";
  ASSERT_EQ(reg_manifest_push("r", "sig", referrer.data(), referrer.size(), nullptr, nullptr, 0, out, subject, &st), 0)
      << st.message;
  EXPECT_EQ(subject, d);
  EXPECT_NE(referrers_page("r", d.c_str(), nullptr, 0, nullptr).text.find(digest_string(referrer)), std::string::npos);
  // A tag that is not one fails the whole push, and moves nothing.
  const char* const bad[] = {"c", "../x"};
  EXPECT_EQ(reg_manifest_push("r", d.c_str(), index.data(), index.size(), nullptr, bad, 2, out, nullptr, &st), -1);
  EXPECT_EQ(st.kind, REG_ERR_INVALID);
  EXPECT_FALSE(exists(mdir("r") + "/tags/c"));
  EXPECT_EQ(reg_manifest_push("r", d.c_str(), index.data(), index.size(), nullptr, nullptr, -1, out, nullptr, &st), -1);
  EXPECT_EQ(st.kind, REG_ERR_INVALID);

  // Read whole, through a writer: what the first operations' get returns.
  std::string body;
  char ct[REG_CONTENT_TYPE_CAP];
  char digest[REG_DIGEST_CAP];
  ASSERT_EQ(reg_manifest_read("r", "b", append_text, &body, ct, digest, &st), 0) << st.message;
  EXPECT_EQ(body, index);
  EXPECT_EQ(body, get("r", "b"));
  EXPECT_STREQ(ct, "application/vnd.oci.image.index.v1+json");
  EXPECT_EQ(digest, d);
  // A writer that refuses the text fails the call, with no system error.
  EXPECT_EQ(reg_manifest_read("r", "b", refuse, nullptr, ct, digest, &st), -1);
  EXPECT_EQ(st.kind, REG_ERR_STORAGE);
  EXPECT_STREQ(st.cause, "");
  EXPECT_EQ(catalog_page(0, nullptr).rc, 0);
  EXPECT_EQ(reg_catalog_json_where(0, nullptr, nullptr, nullptr, refuse, nullptr, nullptr, &st), -1);
  EXPECT_EQ(st.kind, REG_ERR_STORAGE);
  EXPECT_EQ(reg_storage_stats_json(refuse, nullptr, &st), -1);
  EXPECT_EQ(st.kind, REG_ERR_STORAGE);
  struct Case {
    const char* repo;
    const char* ref;
    reg_error_kind kind;
  };
  const Case reads[] = {{"r", "nope", REG_ERR_NOT_FOUND}, {"r..", "b", REG_ERR_INVALID}, {"r", "sha256:1", REG_ERR_INVALID}};
  for (const Case& c : reads) {
    EXPECT_EQ(reg_manifest_read(c.repo, c.ref, append_text, &body, ct, digest, &st), -1) << c.ref;
    EXPECT_EQ(st.kind, c.kind) << c.ref;
  }

  // Removed by tag, then by digest with the tag left naming it.
  ASSERT_EQ(reg_manifest_remove("r", "a", &st), 0) << st.message;
  EXPECT_EQ(reg_manifest_remove("r", "a", &st), -1);
  EXPECT_EQ(st.kind, REG_ERR_NOT_FOUND);
  ASSERT_EQ(reg_manifest_remove("r", d.c_str(), &st), 0) << st.message;
  EXPECT_EQ(tags_page("r", 0, nullptr).text, "{\"name\":\"r\",\"tags\":[\"sig\"]}");
  EXPECT_EQ(reg_manifest_remove("r", d.c_str(), &st), -1);
  EXPECT_EQ(st.kind, REG_ERR_NOT_FOUND);
}

// Only the names a filter keeps are listed, and the page counts them alone.
int keep_team(void* ctx, const char* name) {
  ++*static_cast<int*>(ctx);
  return std::strncmp(name, "team/", 5) == 0 ? 1 : 0;
}

TEST_F(Manifests, TheCatalogListsWhatItsFilterKeeps) {
  for (const char* repo : {"alone", "team/a", "team/b", "team/c", "zed"}) ASSERT_EQ(put(repo, "t", kManifest), 0);
  int asked = 0;
  const Listing l = catalog_page(2, nullptr, keep_team, &asked);
  ASSERT_EQ(l.rc, 0) << l.st.message;
  EXPECT_EQ(l.text, "{\"repositories\":[\"team/a\",\"team/b\"]}");
  EXPECT_EQ(l.page.more, 1);
  EXPECT_STREQ(l.page.next, "team/b");
  EXPECT_EQ(asked, 5) << "every name is asked about once";
  const Listing rest = catalog_page(2, "team/b", keep_team, &asked);
  EXPECT_EQ(rest.text, "{\"repositories\":[\"team/c\"]}");
  EXPECT_EQ(rest.page.more, 0);
}

// ---- Delete -----------------------------------------------------------------

TEST_F(Manifests, DeleteOneOfTwoTags) {
  ASSERT_EQ(put("a", "x", kManifest), 0);
  const std::string d = last_digest;
  ASSERT_EQ(put("a", "y", kManifest), 0);
  EXPECT_EQ(reg_manifest_delete("a", "x"), 0);
  EXPECT_FALSE(exists(mdir("a") + "/tags/x")) << "the tag's directories go with it";
  EXPECT_EQ(list_names(mdir("a") + "/tags"), std::vector<std::string>{"y"});
  EXPECT_EQ(get("a", "y"), kManifest);
  EXPECT_EQ(get("a", d), kManifest);
  EXPECT_TRUE(is_file(rev_link("a", d)));
}

TEST_F(Manifests, DeletingATagRemovesTheTagAlone) {
  // Pushed by digest (as an index's children are), then tagged: deleting
  // the tag leaves the manifest to everything that names it by digest.
  const std::string d = digest_string(kManifest);
  ASSERT_EQ(put("a", d, kManifest), 0);
  ASSERT_EQ(put("a", "v1", kManifest), 0);
  EXPECT_EQ(reg_manifest_delete("a", "v1"), 0);
  EXPECT_EQ(get("a", d), kManifest);
  EXPECT_TRUE(is_file(body_file("a", d)));
  EXPECT_TRUE(is_file(rev_link("a", d)));
  EXPECT_FALSE(exists(mdir("a") + "/tags/v1"));
  // The last tag of a manifest pushed by tag: the manifest stays too.
  ASSERT_EQ(put("b", "only", kManifest), 0);
  EXPECT_EQ(reg_manifest_delete("b", "only"), 0);
  EXPECT_EQ(get("b", d), kManifest);
  EXPECT_EQ(reg_manifest_delete("b", "only"), -1);
  EXPECT_STREQ(reg_storage_last_error(), "tag not found: b:only");
}

TEST_F(Manifests, DeleteByDigestRemovesTheManifestAndEveryTagNamingIt) {
  ASSERT_EQ(put("a", "x", kManifest), 0);
  const std::string d = last_digest;
  ASSERT_EQ(put("a", "y", kManifest), 0);
  ASSERT_EQ(put("a", "other", kManifest + " "), 0);
  EXPECT_EQ(reg_manifest_delete("a", d.c_str()), 0) << reg_storage_last_error();
  EXPECT_FALSE(exists(body_file("a", d)));
  EXPECT_FALSE(exists(body_file("a", d) + ".ct"));
  EXPECT_FALSE(exists(mdir("a") + "/revisions/sha256/" + d.substr(7)));
  EXPECT_EQ(list_names(mdir("a") + "/tags"), std::vector<std::string>{"other"});
  EXPECT_EQ(get("a", "x"), "");
  EXPECT_EQ(err, "tag not found: a:x");
  EXPECT_EQ(get("a", d), "");
  EXPECT_EQ(err, "manifest body not found: a@" + d);
  EXPECT_NE(get("a", "other"), "");
}

TEST_F(Manifests, DeletingADigestThatIsNotStoredFails) {
  ASSERT_EQ(put("a", "x", kManifest), 0);
  const std::string never = "sha256:" + std::string(64, '0');
  EXPECT_EQ(reg_manifest_delete("a", never.c_str()), -1);
  EXPECT_EQ(reg_storage_last_kind(), REG_ERR_NOT_FOUND);
  EXPECT_EQ(reg_manifest_delete("nobody", never.c_str()), -1);
  EXPECT_EQ(reg_storage_last_kind(), REG_ERR_NOT_FOUND);
  EXPECT_EQ(reg_manifest_delete("nobody", "t"), -1);
  EXPECT_STREQ(reg_storage_last_error(), "tag not found: nobody:t");
  EXPECT_FALSE(exists(root + "/repositories/nobody")) << "asking creates nothing";
  const std::string d = last_digest;
  ASSERT_EQ(reg_manifest_delete("a", d.c_str()), 0);
  EXPECT_EQ(reg_manifest_delete("a", d.c_str()), -1) << "deleted once";
  EXPECT_EQ(reg_storage_last_kind(), REG_ERR_NOT_FOUND);
  EXPECT_EQ(reg_manifest_delete("a", "../x"), -1);
  EXPECT_EQ(reg_storage_last_kind(), REG_ERR_INVALID);
  EXPECT_EQ(reg_manifest_delete("a", "sha256:12"), -1);
  EXPECT_STREQ(reg_storage_last_error(), "invalid digest reference");
}

TEST_F(Manifests, KeepingFiveTagsOfAThousandLeavesFive) {
  // A CI retention policy: push 600 tags (more than one directory listing
  // held), delete all but five.
  const std::string keep[] = {"t0007", "t0123", "t0500", "t0577", "t0599"};
  for (int i = 0; i < 600; ++i) {
    char tag[16];
    std::snprintf(tag, sizeof tag, "t%04d", i);
    ASSERT_EQ(put("ci", tag, kManifest), 0);
  }
  for (int i = 0; i < 600; ++i) {
    char tag[16];
    std::snprintf(tag, sizeof tag, "t%04d", i);
    if (std::find(std::begin(keep), std::end(keep), tag) == std::end(keep)) {
      ASSERT_EQ(reg_manifest_delete("ci", tag), 0);
    }
  }
  EXPECT_EQ(tags("ci"), "{\"name\":\"ci\",\"tags\":[\"t0007\",\"t0123\",\"t0500\",\"t0577\",\"t0599\"]}");
  EXPECT_EQ(list_names(mdir("ci") + "/tags").size(), 5u) << "no dead directories";
  const std::string stats = reg_storage_get_stats_json();
  EXPECT_NE(stats.find("\"tags\":5,"), std::string::npos) << stats;
}

TEST_F(Manifests, TagListsHoldEveryTagAndPage) {
  ASSERT_EQ(put("many", "v0000", kManifest), 0);
  const std::string d = last_digest;
  for (int i = 1; i < 2000; ++i) {  // links written straight into the tree: quicker than 2000 puts
    char tag[16];
    std::snprintf(tag, sizeof tag, "v%04d", i);
    make_dirs(mdir("many") + "/tags/" + tag + "/current");
    write_bytes(tag_link("many", tag), d);
  }
  const std::string text = tags("many");
  size_t quotes = 0;
  for (char c : text) quotes += c == '"' ? 1 : 0;
  EXPECT_EQ(quotes, 2u * 2000 + 6) << "every tag, besides the name member";
  const Listing all = tags_page("many", 0, nullptr);
  EXPECT_EQ(all.text, text) << "one listing, whichever form asks";
  EXPECT_EQ(all.page.more, 0);
  Listing l = tags_page("many", 2, "v1998");
  EXPECT_EQ(l.text, "{\"name\":\"many\",\"tags\":[\"v1999\"]}");
  EXPECT_EQ(l.page.more, 0);
  l = tags_page("many", 2, "v0000");
  EXPECT_EQ(l.text, "{\"name\":\"many\",\"tags\":[\"v0001\",\"v0002\"]}");
  EXPECT_EQ(l.page.more, 1);
  EXPECT_STREQ(l.page.next, "v0002");
  l = tags_page("a..b", 0, nullptr);
  EXPECT_EQ(l.rc, -1);
  EXPECT_EQ(l.st.kind, REG_ERR_INVALID);
  const std::string stats = reg_storage_get_stats_json();
  EXPECT_NE(stats.find("\"tags\":2000,"), std::string::npos) << stats;
}

#ifndef _WIN32  // the file system's listing order, read with readdir
TEST_F(Manifests, DeleteByDigestReachesTagsBeyondOneListing) {
  ASSERT_EQ(put("a", "keep", kManifest), 0);
  const std::string d = last_digest;
  // 600 more tags of another manifest.
  ASSERT_EQ(put("a", "t0", kManifest + " "), 0);
  const std::string other = last_digest;
  for (int i = 1; i < 600; ++i) {
    char tag[16];
    std::snprintf(tag, sizeof tag, "t%d", i);
    make_dirs(mdir("a") + "/tags/" + tag + "/current");
    write_bytes(tag_link("a", tag), other);
  }
  // Name d from a tag that the file system lists after the first 512.
  std::vector<std::string> order;
  {
    DIR* dir = opendir((mdir("a") + "/tags").c_str());
    ASSERT_NE(dir, nullptr);
    while (dirent* e = readdir(dir)) {
      if (e->d_name[0] != '.') order.push_back(e->d_name);
    }
    closedir(dir);
  }
  ASSERT_GT(order.size(), 512u);
  const std::string late = order.back();
  ASSERT_NE(late, "keep");
  write_bytes(tag_link("a", late), d);
  EXPECT_EQ(reg_manifest_delete("a", d.c_str()), 0);
  EXPECT_FALSE(exists(mdir("a") + "/tags/" + late)) << "a tag beyond the first 512 entries goes too";
  EXPECT_FALSE(exists(mdir("a") + "/tags/keep"));
  EXPECT_EQ(list_names(mdir("a") + "/tags").size(), 599u);
}

#endif

// ---- Tag list -------------------------------------------------------------------

TEST_F(Manifests, TagList) {
  EXPECT_EQ(tags("nobody"), "{\"name\":\"nobody\",\"tags\":[]}");
  ASSERT_EQ(put("a", "v1", kManifest), 0);
  EXPECT_EQ(tags("a"), "{\"name\":\"a\",\"tags\":[\"v1\"]}");
  make_dirs(root + "/repositories/b/_manifests");
  EXPECT_EQ(tags("b"), "{\"name\":\"b\",\"tags\":[]}") << "no tags directory";
  // "C" rather than "B": on Windows names differing only in case are one directory.
  for (const char* t : {"b", "C", "a_", "a-", "a", "gone", "empty", "corrupt"}) ASSERT_EQ(put("a", t, kManifest), 0);
  ASSERT_EQ(reg_manifest_delete("a", "gone"), 0);
  write_bytes(tag_link("a", "empty"), "");
  write_bytes(tag_link("a", "corrupt"), "junk");
  write_bytes(mdir("a") + "/tags/plainfile", "");
  make_dirs(mdir("a") + "/tags/nolink/current");
  make_dirs(mdir("a") + "/tags/.hidden/current");  // no tag has such a name
  write_bytes(mdir("a") + "/tags/.hidden/current/link", last_digest);
  EXPECT_EQ(tags("a"), "{\"name\":\"a\",\"tags\":[\"C\",\"a\",\"a-\",\"a_\",\"b\",\"corrupt\",\"empty\",\"v1\"]}");
  ASSERT_EQ(put("x/y", "t", kManifest), 0);
  EXPECT_EQ(tags("x/y"), "{\"name\":\"x/y\",\"tags\":[\"t\"]}");
  EXPECT_EQ(tags("x\\y"), "NULL: invalid repository name") << "one spelling per name";
  EXPECT_EQ(tags("a..b"), "NULL: invalid repository name");
}

#ifndef _WIN32  // kills child processes
// ---- Interruption ---------------------------------------------------------------

TEST_F(Manifests, AKilledPutNeverLeavesABrokenTagLink) {
  std::mt19937 rng(7);
  std::string bodies[2] = {kManifest, kManifest + "\n\n"};
  ASSERT_EQ(put("a", "latest", bodies[0]), 0);
  for (int round = 0; round < 150; ++round) {
    pid_t pid = fork();
    if (pid == 0) {
      reg_storage_cleanup();
      if (reg_storage_init(root.c_str()) != 0) _exit(1);
      for (int i = 0;; ++i) {
        const std::string& b = bodies[i % 2];
        char out[72];
        reg_manifest_put("a", "latest", b.data(), b.size(), nullptr, out);
      }
    }
    usleep(static_cast<useconds_t>(rng() % 3000));
    kill(pid, SIGKILL);
    int status;
    waitpid(pid, &status, 0);
    const std::string link = read_bytes(tag_link("a", "latest"));
    ASSERT_EQ(link.size(), 71u) << "round " << round;
    ASSERT_TRUE(link == digest_string(bodies[0]) || link == digest_string(bodies[1])) << link;
    ASSERT_EQ(digest_string(read_bytes(body_file("a", link))), link) << "the named body is whole";
    ASSERT_EQ(get("a", "latest").empty(), false) << err;
  }
}

#endif

}  // namespace
