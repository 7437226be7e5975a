// Blobs, uploads and manifests as a repository sees them: links, mounts,
// sessions that belong to one repository, streamed appends with ranges,
// every manifest kind with its references, and the kinds of failures.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "storage/reg_storage.h"
#include "support/storage_fixture.h"
#include "support/test_support.h"

using namespace testing_support;

namespace {

// A stream over bytes, as a request body arrives.
class Body {
 public:
  explicit Body(const std::string& bytes) : f_(std::tmpfile()) {
    std::fwrite(bytes.data(), 1, bytes.size(), f_);
    std::rewind(f_);
  }
  ~Body() { std::fclose(f_); }
  FILE* get() const { return f_; }

 private:
  FILE* f_;
};

class Repository : public FreshStorage {
 protected:
  // A blob pushed into repo through an upload; its digest.
  std::string push_blob(const std::string& repo, const std::string& bytes) {
    const std::string d = upload_blob(repo.c_str(), bytes, &st);
    EXPECT_FALSE(d.empty()) << st.message;
    return digest_string(bytes);
  }
  int push(const std::string& repo, const std::string& ref, const std::string& body, const char* ct = nullptr) {
    char out[REG_DIGEST_CAP];
    const int rc = reg_manifest_push(repo.c_str(), ref.c_str(), body.data(), body.size(), ct, nullptr, 0, out, nullptr,
                                     &st);
    if (rc == 0) pushed = out;
    return rc;
  }
  // Appends a body to the upload in one request of its own; *size gets
  // the upload's size after it.
  int append(const char* repo, const char* id, const std::string& bytes, int64_t length, int64_t at,
             int64_t* size = nullptr) {
    reg_upload* held = reg_upload_hold(repo, id, &st);
    if (held == nullptr) return -1;
    Body b(bytes);
    const int rc = reg_upload_held_append(held, b.get(), length, at, 0, &st);
    if (size != nullptr) *size = reg_upload_held_size(held);
    reg_upload_release(held);
    return rc;
  }
  std::string pushed;
  reg_status st;
};

std::string descriptor(const std::string& type, const std::string& digest, size_t size) {
  return "{\"mediaType\":\"" + type + "\",\"digest\":\"" + digest + "\",\"size\":" + std::to_string(size) + "}";
}

std::string image(const std::string& config, const std::vector<std::string>& layers, const std::string& extra = "") {
  std::string s = "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\",\"config\":" +
                  descriptor("application/vnd.oci.image.config.v1+json", config, 2) + ",\"layers\":[";
  for (size_t i = 0; i < layers.size(); ++i) {
    if (i > 0) s += ",";
    s += descriptor("application/vnd.oci.image.layer.v1.tar+gzip", layers[i], 5);
  }
  return s + "]" + extra + "}";
}

// ---- Links and mounts -------------------------------------------------------------

TEST_F(Repository, ABlobBelongsToTheRepositoriesThatHoldIt) {
  const std::string d = push_blob("a", "layer bytes");
  EXPECT_EQ(reg_repo_blob_exists("a", d.c_str(), &st), 1);
  EXPECT_EQ(reg_repo_blob_size("a", d.c_str(), &st), 11);
  EXPECT_EQ(reg_repo_blob_exists("b", d.c_str(), &st), 0) << "stored, but b never pushed or mounted it";
  EXPECT_EQ(st.kind, REG_ERR_NONE) << "not holding it is an answer, not a failure";
  EXPECT_EQ(reg_repo_blob_size("b", d.c_str(), &st), -1);
  EXPECT_EQ(st.kind, REG_ERR_NOT_FOUND);
  char path[4096];
  EXPECT_EQ(reg_repo_blob_path("b", d.c_str(), path, sizeof path, &st), -1);
  EXPECT_EQ(st.kind, REG_ERR_NOT_FOUND);
  ASSERT_EQ(reg_repo_blob_path("a", d.c_str(), path, sizeof path, &st), 0);
  EXPECT_EQ(read_bytes(path), "layer bytes");
  char small[16] = "untouched";
  EXPECT_EQ(reg_repo_blob_path("a", d.c_str(), small, sizeof small, &st), -1);
  EXPECT_EQ(st.kind, REG_ERR_INVALID);
  EXPECT_STREQ(small, "untouched") << "a path is copied whole or not at all";

  // Mounted from a, b holds it too; from a repository that lacks it, not.
  EXPECT_EQ(reg_repo_blob_mount("c", "b", d.c_str(), &st), -1);
  EXPECT_EQ(st.kind, REG_ERR_NOT_FOUND);
  ASSERT_EQ(reg_repo_blob_mount("b", "a", d.c_str(), &st), 0) << st.message;
  EXPECT_EQ(reg_repo_blob_exists("b", d.c_str(), &st), 1);

  // A delete in a removes a's link alone: b keeps serving the content.
  ASSERT_EQ(reg_repo_blob_unlink("a", d.c_str(), &st), 0);
  EXPECT_EQ(reg_repo_blob_exists("a", d.c_str(), &st), 0);
  EXPECT_EQ(reg_repo_blob_exists("b", d.c_str(), &st), 1);
  EXPECT_EQ(reg_blob_exists(d.c_str()), 1) << "the blob file stays for garbage collection";
  EXPECT_EQ(reg_repo_blob_unlink("a", d.c_str(), &st), -1);
  EXPECT_EQ(st.kind, REG_ERR_NOT_FOUND);
  // Touched, a link is marked as used.
  EXPECT_EQ(reg_repo_blob_touch("b", d.c_str(), &st), 0) << st.message;
  EXPECT_EQ(reg_repo_blob_touch("a", d.c_str(), &st), -1);
  EXPECT_EQ(st.kind, REG_ERR_NOT_FOUND);
  // A stored blob is linked by its digest.
  ASSERT_EQ(reg_repo_blob_link("a", d.c_str(), &st), 0) << st.message;
  EXPECT_EQ(reg_repo_blob_exists("a", d.c_str(), &st), 1);
}

TEST_F(Repository, RepositoryChecks) {
  const std::string d = digest_string("x");
  struct Case {
    const char* what;
    std::function<int()> call;
    int want;
    reg_error_kind kind;
  };
  char path[4096];
  const Case cases[] = {
      {"no such repository", [&] { return reg_repository_exists("nobody", &st); }, 0, REG_ERR_NONE},
      {"name", [&] { return reg_repo_blob_exists("bad//name", d.c_str(), &st); }, -1, REG_ERR_INVALID},
      {"null name", [&] { return reg_repository_exists(nullptr, &st); }, -1, REG_ERR_INVALID},
      {"digest", [&] { return reg_repo_blob_exists("a", "sha256:12", &st); }, -1, REG_ERR_INVALID},
      {"null digest", [&] { return reg_repo_blob_exists("a", nullptr, &st); }, -1, REG_ERR_INVALID},
      {"only a stored blob is linked", [&] { return reg_repo_blob_link("a", d.c_str(), &st); }, -1, REG_ERR_NOT_FOUND},
      {"source name", [&] { return reg_repo_blob_mount("a", "../b", d.c_str(), &st); }, -1, REG_ERR_INVALID},
      {"null path", [&] { return reg_repo_blob_path("a", d.c_str(), nullptr, 1, &st); }, -1, REG_ERR_INVALID},
      {"empty room", [&] { return reg_repo_blob_path("a", d.c_str(), path, 0, &st); }, -1, REG_ERR_INVALID},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.call(), c.want) << c.what;
    EXPECT_EQ(st.kind, c.kind) << c.what << ": " << st.message;
  }
  EXPECT_EQ(reg_repository_exists("bad//name", nullptr), -1) << "with no status the result alone tells";
  push_blob("team/app", "x");
  EXPECT_EQ(reg_repository_exists("team/app", &st), 1);
  EXPECT_EQ(reg_repository_exists("team", &st), 0) << "a directory on the way is no repository";
  EXPECT_STREQ(reg_catalog_json(0, nullptr), "{\"repositories\":[\"team/app\"]}");
  // Before initialisation, every operation fails alike.
  reg_storage_cleanup();
  EXPECT_EQ(reg_repository_exists("team/app", &st), -1);
  EXPECT_EQ(st.kind, REG_ERR_STORAGE);
  ASSERT_EQ(reg_storage_init(root.c_str()), 0);
}

TEST_F(Repository, TheCatalogListsEveryNameTheEngineAccepts) {
  // The longest names, at the top and nested: 255 bytes in all.
  const std::string top255(255, 'a');
  const std::string top254(254, 'b');
  const std::string nested255 = std::string(100, 'c') + "/" + std::string(154, 'd');
  for (const std::string& name : {top255, top254, nested255}) push_blob(name, "x");
  EXPECT_EQ(reg_repo_blob_exists(std::string(256, 'e').c_str(), digest_string("x").c_str(), &st), -1)
      << "256 is too long";
  EXPECT_EQ(st.kind, REG_ERR_INVALID);
  EXPECT_EQ(std::string(reg_catalog_json(0, nullptr)),
            "{\"repositories\":[\"" + top255 + "\",\"" + top254 + "\",\"" + nested255 + "\"]}");
}

// ---- Uploads -------------------------------------------------------------------------

TEST_F(Repository, AnUploadBelongsToTheRepositoryThatStartedIt) {
  char id[37];
  ASSERT_EQ(reg_upload_start("a", nullptr, id, &st), 0);
  EXPECT_EQ(upload_size("a", id, &st), 0);
  // Under any other name it is not found: not held, so nothing of it is
  // read, appended, finished or cancelled.
  EXPECT_EQ(reg_upload_hold("b", id, &st), nullptr);
  EXPECT_EQ(st.kind, REG_ERR_NOT_FOUND);
  EXPECT_EQ(upload_size("a", id, &st), 0) << "untouched by the other repository";
  reg_upload* held = reg_upload_hold("a", id, &st);
  ASSERT_NE(held, nullptr) << st.message;
  ASSERT_EQ(reg_upload_held_cancel(held, &st), 0);
  EXPECT_EQ(reg_upload_held_size(held), -1) << "cancelled, it is no longer held";
  Body body("abc");
  EXPECT_EQ(reg_upload_held_append(held, body.get(), -1, -1, 0, &st), -1);
  EXPECT_EQ(st.kind, REG_ERR_NOT_FOUND);
  reg_upload_release(held);
  EXPECT_EQ(upload_size("a", id, &st), -1);
  EXPECT_EQ(st.kind, REG_ERR_NOT_FOUND);
  EXPECT_TRUE(list_names(root + "/uploads").empty());
  EXPECT_TRUE(list_names(root + "/repositories/a/_uploads").empty());
  struct Case {
    const char* repo;
    const char* id;
    reg_error_kind kind;
  };
  const Case cases[] = {{"a", "not-an-id", REG_ERR_INVALID},
                        {"a", nullptr, REG_ERR_INVALID},
                        {nullptr, id, REG_ERR_INVALID},
                        {"a..b", id, REG_ERR_INVALID},
                        {"a", "91e3a35b-f173-0dfb-938b-ee4b3dc38bf5", REG_ERR_NOT_FOUND}};
  for (const Case& c : cases) {
    EXPECT_EQ(reg_upload_hold(c.repo, c.id, &st), nullptr) << (c.id ? c.id : "(null)");
    EXPECT_EQ(st.kind, c.kind) << (c.id ? c.id : "(null)");
  }
  reg_upload_release(nullptr);
  EXPECT_EQ(reg_upload_start("a", "md5", id, &st), -1);
  EXPECT_EQ(st.kind, REG_ERR_INVALID) << "an algorithm the registry has not";
}

TEST_F(Repository, StreamedAppendsWithAndWithoutRanges) {
  char id[37];
  ASSERT_EQ(reg_upload_start("a", nullptr, id, &st), 0);
  int64_t size = -1;
  ASSERT_EQ(append("a", id, "hello ", 6, 0, &size), 0) << st.message;
  EXPECT_EQ(size, 6);
  // A chunk that does not start where the upload ends.
  EXPECT_EQ(append("a", id, "xx", 2, 3, &size), -1);
  EXPECT_EQ(st.kind, REG_ERR_RANGE);
  // A body shorter than declared leaves the upload as it was.
  EXPECT_EQ(append("a", id, "wor", 5, 6, &size), -1);
  EXPECT_EQ(st.kind, REG_ERR_INVALID);
  EXPECT_EQ(size, 6) << "a failed append leaves the upload held, as it was";
  EXPECT_EQ(upload_size("a", id, &st), 6);
  // To the end of the stream (a chunked body of unknown length), and only
  // the declared length of a longer one.
  ASSERT_EQ(append("a", id, "world", -1, 6, &size), 0);
  EXPECT_EQ(size, 11);
  ASSERT_EQ(append("a", id, "!!!!", 1, -1, &size), 0);
  EXPECT_EQ(size, 12);
  char out[72];
  ASSERT_EQ(finish_upload("a", id, digest_string("hello world!"), &st, out), 0) << st.message;
  EXPECT_EQ(reg_repo_blob_size("a", out, &st), 12);
  EXPECT_TRUE(list_names(root + "/repositories/a/_uploads").empty()) << "the mark goes with the upload";
}

// A body of no declared length whose range names its length: read to its
// end, it must hold exactly that many bytes, and nothing of it is kept
// when it does not.
TEST_F(Repository, AnExactAppendTakesTheWholeBodyOrNothing) {
  char id[37];
  ASSERT_EQ(reg_upload_start("a", nullptr, id, &st), 0);
  reg_upload* held = reg_upload_hold("a", id, &st);
  ASSERT_NE(held, nullptr) << st.message;
  struct Case {
    std::string body;
    int64_t length, at;
    int rc;
    reg_error_kind kind;
    int64_t size_after;
  };
  const Case cases[] = {
      {"abc", 3, 0, 0, REG_ERR_NONE, 3},
      {"defg", 3, 3, -1, REG_ERR_RANGE, 3},   // longer than its range
      {"de", 3, 3, -1, REG_ERR_RANGE, 3},     // shorter
      {"def", 3, 2, -1, REG_ERR_RANGE, 3},    // not where the upload ends
      {"", -1, 3, -1, REG_ERR_INVALID, 3},    // no length to hold it to
      {"", 0, 3, 0, REG_ERR_NONE, 3},         // an empty chunk at the end
      {"def", 3, 3, 0, REG_ERR_NONE, 6},
  };
  for (const Case& c : cases) {
    Body b(c.body);
    EXPECT_EQ(reg_upload_held_append(held, b.get(), c.length, c.at, 1, &st), c.rc) << c.body;
    EXPECT_EQ(st.kind, c.kind) << c.body << ": " << st.message;
    EXPECT_EQ(reg_upload_held_size(held), c.size_after) << c.body;
  }
  char out[72];
  ASSERT_EQ(reg_upload_held_finish(held, digest_string("abcdef").c_str(), out, &st), 0) << st.message;
  reg_upload_release(held);
}

TEST_F(Repository, AStreamedAppendOfAMegabyteAtATime) {
  std::string big(3 << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 2654435761u >> 13);
  const std::string d = push_blob("a", big);
  char path[4096];
  ASSERT_EQ(reg_repo_blob_path("a", d.c_str(), path, sizeof path, &st), 0);
  EXPECT_EQ(digest_string(read_bytes(path)), d);
}

TEST_F(Repository, AFinishWithTheWrongDigestRemovesTheUpload) {
  char id[37];
  ASSERT_EQ(reg_upload_start("a", nullptr, id, &st), 0);
  ASSERT_EQ(append("a", id, "data", -1, -1), 0);
  reg_upload* held = reg_upload_hold("a", id, &st);
  ASSERT_NE(held, nullptr);
  char out[72];
  // A digest of no digest's form is refused before anything happens: the
  // upload stays held.
  EXPECT_EQ(reg_upload_held_finish(held, "sha256:1", out, &st), -1);
  EXPECT_EQ(st.kind, REG_ERR_INVALID);
  EXPECT_EQ(reg_upload_held_size(held), 4);
  EXPECT_EQ(reg_upload_held_finish(held, digest_string("other").c_str(), out, &st), -1);
  EXPECT_EQ(st.kind, REG_ERR_DIGEST);
  EXPECT_EQ(reg_upload_held_size(held), -1) << "removed, it is no longer held";
  reg_upload_release(held);
  EXPECT_EQ(upload_size("a", id, &st), -1);
  EXPECT_TRUE(list_names(root + "/repositories/a/_uploads").empty());
  EXPECT_EQ(finish_upload("a", id, "sha256:1", &st), -1);
  EXPECT_EQ(st.kind, REG_ERR_NOT_FOUND) << "the session is gone first";
}

// An upload declared for one algorithm finishes with a digest of it; one
// declared for none takes either.
TEST_F(Repository, AnUploadFinishesWithADigestOfItsDeclaredAlgorithm) {
  const std::string bytes = "sha512 content";
  struct Case {
    const char* declared;
    std::string digest;
    int rc;
    reg_error_kind kind;
  };
  const std::string sha512 = upload_blob("x", bytes, &st, "sha512", "");
  ASSERT_TRUE(sha512.empty()) << "a SHA-256 digest for an upload declared for SHA-512";
  EXPECT_EQ(st.kind, REG_ERR_INVALID);
  char uuid[37];
  ASSERT_EQ(reg_upload_start("a", "sha256", uuid, &st), 0);
  ASSERT_EQ(append_to("a", uuid, bytes, 0, &st), 0);
  EXPECT_EQ(finish_upload("a", uuid, "sha512:" + std::string(128, 'a'), &st), -1);
  EXPECT_EQ(st.kind, REG_ERR_INVALID);
  EXPECT_EQ(upload_size("a", uuid, &st), static_cast<int64_t>(bytes.size())) << "the upload stays";
  EXPECT_EQ(finish_upload("a", uuid, digest_string(bytes), &st), 0) << st.message;
}

// ---- Manifests of every kind ----------------------------------------------------------

TEST_F(Repository, EveryManifestKindIsPushedWithItsReferencesHeld) {
  const std::string config = push_blob("a", "{}");
  const std::string layer = push_blob("a", "layer");
  const std::string m = image(config, {layer});
  ASSERT_EQ(push("a", "v1", m, "application/vnd.oci.image.manifest.v1+json"), 0) << st.message;
  const std::string child = pushed;

  // Docker schema 2, with a foreign layer the registry need not hold.
  const std::string docker =
      "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.docker.distribution.manifest.v2+json\",\"config\":" +
      descriptor("application/vnd.docker.container.image.v1+json", config, 2) + ",\"layers\":[" +
      descriptor("application/vnd.docker.image.rootfs.diff.tar.gzip", layer, 5) +
      ",{\"mediaType\":\"application/vnd.docker.image.rootfs.foreign.diff.tar.gzip\",\"digest\":\"" +
      digest_string("elsewhere") + "\",\"size\":9,\"urls\":[\"https://example.com/l\"]}]}";
  ASSERT_EQ(push("a", "docker", docker, "application/vnd.docker.distribution.manifest.v2+json"), 0)
      << st.message;

  // An index of the image and a Docker manifest list.
  const std::string index = "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.index.v1+json\","
                            "\"manifests\":[" + descriptor("application/vnd.oci.image.manifest.v1+json", child, m.size()) +
                            "]}";
  ASSERT_EQ(push("a", "multi", index, "application/vnd.oci.image.index.v1+json"), 0) << st.message;
  const std::string list =
      "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.docker.distribution.manifest.list.v2+json\","
      "\"manifests\":[" + descriptor("application/vnd.docker.distribution.manifest.v2+json", child, m.size()) + "]}";
  ASSERT_EQ(push("a", "list", list), 0) << st.message;

  // An artifact: an image manifest with artifactType, the empty config and
  // a subject; and an OCI artifact manifest.
  const std::string empty = push_blob("a", "{}");
  const std::string artifact =
      "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\","
      "\"artifactType\":\"application/vnd.example.sbom\",\"config\":" +
      descriptor("application/vnd.oci.empty.v1+json", empty, 2) + ",\"layers\":[" +
      descriptor("text/plain", layer, 5) + "],\"subject\":" +
      descriptor("application/vnd.oci.image.manifest.v1+json", child, m.size()) + "}";
  ASSERT_EQ(push("a", "sbom", artifact), 0) << st.message;
  const std::string oci_artifact =
      "{\"mediaType\":\"application/vnd.oci.artifact.manifest.v1+json\",\"artifactType\":\"application/x.sig\","
      "\"blobs\":[" + descriptor("text/plain", layer, 5) + "]}";
  ASSERT_EQ(push("a", "sig", oci_artifact), 0) << st.message;

  char ct[REG_CONTENT_TYPE_CAP];
  char d[72];
  ASSERT_NE(reg_manifest_get("a", "multi", ct, d), nullptr);
  EXPECT_STREQ(ct, "application/vnd.oci.image.index.v1+json") << "served with its own content type";
}

TEST_F(Repository, WhatAManifestNamesMustBeInTheRepository) {
  const std::string config = push_blob("a", "{}");
  const std::string layer = push_blob("a", "layer");
  const std::string elsewhere = push_blob("other", "not in a");
  const std::string never = digest_string("never pushed");
  // What is missing is named, for the client to see.
  struct Case {
    std::string body;
    reg_error_kind kind;
    std::string named;
  };
  const Case cases[] = {
      {image(never, {layer}), REG_ERR_UNKNOWN_REFERENCE, never},
      {image(config, {layer, elsewhere}), REG_ERR_UNKNOWN_REFERENCE, elsewhere},
      {"{\"mediaType\":\"application/vnd.oci.image.index.v1+json\",\"manifests\":[" +
           descriptor("application/vnd.oci.image.manifest.v1+json", never, 1) + "]}",
       REG_ERR_UNKNOWN_REFERENCE, never},
      {"{\"mediaType\":\"application/vnd.oci.image.index.v1+json\"}", REG_ERR_INVALID, ""},
      {"{\"mediaType\":\"application/vnd.oci.image.index.v1+json\",\"manifests\":[{}]}", REG_ERR_INVALID, ""},
      {"{\"mediaType\":\"application/vnd.docker.distribution.manifest.v1+prettyjws\"}", REG_ERR_INVALID, ""},
      {"{\"mediaType\":7}", REG_ERR_INVALID, ""},
      {image(config, {layer}, ",\"subject\":{}"), REG_ERR_INVALID, ""},
      {image(config, {layer}, ",\"artifactType\":\"not a type\""), REG_ERR_INVALID, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(push("a", "t", c.body), -1) << c.body;
    EXPECT_EQ(st.kind, c.kind) << c.body;
    EXPECT_NE(std::string(st.message).find(c.named), std::string::npos) << st.message;
  }
  // A subject may name a manifest not pushed (yet).
  EXPECT_EQ(push("a", "t", image(config, {layer}, ",\"subject\":" + descriptor("x/y", never, 3))), 0)
      << st.message;
  // reg_manifest_put, the engine's own, does not look for references.
  char out[72];
  const std::string unchecked = image(never, {never});
  EXPECT_EQ(reg_manifest_put("a", "u", unchecked.data(), unchecked.size(), nullptr, out), 0);
}

TEST_F(Repository, FailureKinds) {
  char ct[REG_CONTENT_TYPE_CAP];
  char d[72];
  char out[72];
  const std::string big(REG_MANIFEST_MAX + 1, ' ');
  const std::string x = digest_string("x");
  const std::string zeros_config = "{\"config\":{\"digest\":\"sha256:" + std::string(64, '0') + "\"}}";
  struct Case {
    const char* what;
    std::function<bool()> fails;
    reg_error_kind kind;
  };
  const Case cases[] = {
      {"unknown tag", [&] { return reg_manifest_get("a", "nope", ct, d) == nullptr; }, REG_ERR_NOT_FOUND},
      {"bad name", [&] { return reg_manifest_get("a//b", "t", ct, d) == nullptr; }, REG_ERR_INVALID},
      {"bad digest", [&] { return reg_manifest_get("a", "sha256:zz", ct, d) == nullptr; }, REG_ERR_INVALID},
      {"too large", [&] { return reg_manifest_put("a", "t", big.data(), big.size(), nullptr, out) != 0; },
       REG_ERR_TOO_LARGE},
      {"mismatch",
       [&] { return reg_manifest_put("a", x.c_str(), zeros_config.data(), zeros_config.size(), nullptr, out) != 0; },
       REG_ERR_DIGEST},
      {"unknown digest", [&] { return reg_manifest_delete("a", x.c_str()) != 0; }, REG_ERR_NOT_FOUND},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(c.fails()) << c.what;
    EXPECT_EQ(reg_storage_last_kind(), c.kind) << c.what << ": " << st.message;
    EXPECT_STREQ(reg_storage_last_cause(), "") << c.what;
  }
  // The status forms report to the call's status alone.
  reg_storage_init(nullptr);  // a failure of the first operations, left in the last error
  const std::string before = reg_storage_last_error();
  EXPECT_EQ(upload_size("a", "91e3a35b-f173-0dfb-938b-ee4b3dc38bf5", &st), -1);
  EXPECT_EQ(st.kind, REG_ERR_NOT_FOUND);
  EXPECT_STREQ(st.cause, "");
  EXPECT_EQ(reg_storage_last_error(), before) << "the status form's failure is its caller's alone";
  EXPECT_EQ(reg_manifest_remove("a", x.c_str(), &st), -1);
  EXPECT_EQ(st.kind, REG_ERR_NOT_FOUND);
  EXPECT_EQ(reg_storage_last_error(), before);
  // A storage failure carries the system's word for it.
  reg_storage_cleanup();
  write_bytes(tmp / "file", "x");
  EXPECT_EQ(reg_storage_init((tmp / "file/under").c_str()), -1);
  EXPECT_EQ(reg_storage_last_kind(), REG_ERR_STORAGE);
  EXPECT_STREQ(reg_storage_last_cause(), "Not a directory");
  ASSERT_EQ(reg_storage_init(root.c_str()), 0);
  EXPECT_EQ(reg_storage_last_kind(), REG_ERR_NONE);
}

}  // namespace
