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
    char id[37];
    EXPECT_EQ(reg_upload_start(repo.c_str(), id), 0) << reg_storage_last_error();
    Body b(bytes);
    EXPECT_EQ(reg_upload_append(repo.c_str(), id, b.get(), -1, -1, nullptr), 0) << reg_storage_last_error();
    const std::string d = digest_string(bytes);
    char out[72];
    EXPECT_EQ(reg_upload_finish(repo.c_str(), id, d.c_str(), out), 0) << reg_storage_last_error();
    return d;
  }
  int push(const std::string& repo, const std::string& ref, const std::string& body, const char* ct = nullptr) {
    char out[72];
    const int rc = reg_manifest_push(repo.c_str(), ref.c_str(), body.data(), body.size(), ct, out);
    if (rc == 0) pushed = out;
    return rc;
  }
  std::string pushed;
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
  EXPECT_EQ(reg_repo_blob_exists("a", d.c_str()), 1);
  EXPECT_EQ(reg_repo_blob_size("a", d.c_str()), 11);
  EXPECT_EQ(reg_repo_blob_exists("b", d.c_str()), 0) << "stored, but b never pushed or mounted it";
  EXPECT_EQ(reg_repo_blob_size("b", d.c_str()), -1);
  EXPECT_EQ(reg_storage_last_kind(), REG_ERR_NOT_FOUND);
  char path[4096];
  EXPECT_EQ(reg_repo_blob_path("b", d.c_str(), path, sizeof path), -1);
  EXPECT_EQ(reg_storage_last_kind(), REG_ERR_NOT_FOUND);
  ASSERT_EQ(reg_repo_blob_path("a", d.c_str(), path, sizeof path), 0);
  EXPECT_EQ(read_bytes(path), "layer bytes");

  // Mounted from a, b holds it too; from a repository that lacks it, not.
  EXPECT_EQ(reg_repo_blob_mount("c", "b", d.c_str()), -1);
  EXPECT_EQ(reg_storage_last_kind(), REG_ERR_NOT_FOUND);
  ASSERT_EQ(reg_repo_blob_mount("b", "a", d.c_str()), 0) << reg_storage_last_error();
  EXPECT_EQ(reg_repo_blob_exists("b", d.c_str()), 1);

  // A delete in a removes a's link alone: b keeps serving the content.
  ASSERT_EQ(reg_repo_blob_unlink("a", d.c_str()), 0);
  EXPECT_EQ(reg_repo_blob_exists("a", d.c_str()), 0);
  EXPECT_EQ(reg_repo_blob_exists("b", d.c_str()), 1);
  EXPECT_EQ(reg_blob_exists(d.c_str()), 1) << "the blob file stays for garbage collection";
  EXPECT_EQ(reg_repo_blob_unlink("a", d.c_str()), -1);
  EXPECT_EQ(reg_storage_last_kind(), REG_ERR_NOT_FOUND);
}

TEST_F(Repository, RepositoryChecks) {
  const std::string d = digest_string("x");
  EXPECT_EQ(reg_repository_exists("nobody"), 0);
  EXPECT_EQ(reg_repo_blob_exists("bad//name", d.c_str()), -1);
  EXPECT_EQ(reg_storage_last_kind(), REG_ERR_INVALID);
  EXPECT_EQ(reg_repo_blob_exists("a", "sha256:12"), -1);
  EXPECT_EQ(reg_storage_last_kind(), REG_ERR_INVALID);
  EXPECT_EQ(reg_repo_blob_link("a", d.c_str()), -1) << "only a stored blob is linked";
  EXPECT_EQ(reg_storage_last_kind(), REG_ERR_NOT_FOUND);
  EXPECT_EQ(reg_repo_blob_mount("a", "../b", d.c_str()), -1);
  EXPECT_EQ(reg_storage_last_kind(), REG_ERR_INVALID);
  push_blob("team/app", "x");
  EXPECT_EQ(reg_repository_exists("team/app"), 1);
  EXPECT_EQ(reg_repository_exists("team"), 0) << "a directory on the way is no repository";
  EXPECT_STREQ(reg_catalog_json(0, nullptr), "{\"repositories\":[\"team/app\"]}");
}

TEST_F(Repository, TheCatalogListsEveryNameTheEngineAccepts) {
  // The longest names, at the top and nested: 255 bytes in all.
  const std::string top255(255, 'a');
  const std::string top254(254, 'b');
  const std::string nested255 = std::string(100, 'c') + "/" + std::string(154, 'd');
  for (const std::string& name : {top255, top254, nested255}) push_blob(name, "x");
  EXPECT_EQ(reg_repo_blob_exists(std::string(256, 'e').c_str(), digest_string("x").c_str()), -1) << "256 is too long";
  EXPECT_EQ(std::string(reg_catalog_json(0, nullptr)),
            "{\"repositories\":[\"" + top255 + "\",\"" + top254 + "\",\"" + nested255 + "\"]}");
}

// ---- Uploads -------------------------------------------------------------------------

TEST_F(Repository, AnUploadBelongsToTheRepositoryThatStartedIt) {
  char id[37];
  ASSERT_EQ(reg_upload_start("a", id), 0);
  EXPECT_EQ(reg_upload_size("a", id), 0);
  EXPECT_EQ(reg_upload_size("b", id), -1);
  EXPECT_EQ(reg_storage_last_kind(), REG_ERR_NOT_FOUND);
  Body body("abc");
  EXPECT_EQ(reg_upload_append("b", id, body.get(), -1, -1, nullptr), -1);
  EXPECT_EQ(reg_storage_last_kind(), REG_ERR_NOT_FOUND);
  char out[72];
  EXPECT_EQ(reg_upload_finish("b", id, digest_string("").c_str(), out), -1);
  EXPECT_EQ(reg_upload_cancel("b", id), -1);
  EXPECT_EQ(reg_upload_size("a", id), 0) << "untouched by the other repository";
  ASSERT_EQ(reg_upload_cancel("a", id), 0);
  EXPECT_EQ(reg_upload_size("a", id), -1);
  EXPECT_TRUE(list_names(root + "/uploads").empty());
  EXPECT_TRUE(list_names(root + "/repositories/a/_uploads").empty());
  EXPECT_EQ(reg_upload_size("a", "not-an-id"), -1);
  EXPECT_EQ(reg_storage_last_kind(), REG_ERR_INVALID);
}

TEST_F(Repository, StreamedAppendsWithAndWithoutRanges) {
  char id[37];
  ASSERT_EQ(reg_upload_start("a", id), 0);
  int64_t size = -1;
  Body first("hello ");
  ASSERT_EQ(reg_upload_append("a", id, first.get(), 6, 0, &size), 0) << reg_storage_last_error();
  EXPECT_EQ(size, 6);
  // A chunk that does not start where the upload ends.
  Body wrong("xx");
  EXPECT_EQ(reg_upload_append("a", id, wrong.get(), 2, 3, &size), -1);
  EXPECT_EQ(reg_storage_last_kind(), REG_ERR_RANGE);
  EXPECT_STREQ(reg_storage_last_error(), "chunk starts at 3, the upload holds 6 bytes");
  // A body shorter than declared leaves the upload as it was.
  Body short_body("wor");
  EXPECT_EQ(reg_upload_append("a", id, short_body.get(), 5, 6, &size), -1);
  EXPECT_EQ(reg_storage_last_kind(), REG_ERR_INVALID);
  EXPECT_EQ(reg_upload_size("a", id), 6);
  // To the end of the stream (a chunked body of unknown length), and only
  // the declared length of a longer one.
  Body rest("world");
  ASSERT_EQ(reg_upload_append("a", id, rest.get(), -1, 6, &size), 0);
  EXPECT_EQ(size, 11);
  Body longer("!!!!");
  ASSERT_EQ(reg_upload_append("a", id, longer.get(), 1, -1, &size), 0);
  EXPECT_EQ(size, 12);
  char out[72];
  ASSERT_EQ(reg_upload_finish("a", id, digest_string("hello world!").c_str(), out), 0) << reg_storage_last_error();
  EXPECT_EQ(reg_repo_blob_size("a", out), 12);
  EXPECT_TRUE(list_names(root + "/repositories/a/_uploads").empty()) << "the mark goes with the upload";
}

TEST_F(Repository, AStreamedAppendOfAMegabyteAtATime) {
  std::string big(3 << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 2654435761u >> 13);
  const std::string d = push_blob("a", big);
  char path[4096];
  ASSERT_EQ(reg_repo_blob_path("a", d.c_str(), path, sizeof path), 0);
  EXPECT_EQ(digest_string(read_bytes(path)), d);
}

TEST_F(Repository, AFinishWithTheWrongDigestRemovesTheUpload) {
  char id[37];
  ASSERT_EQ(reg_upload_start("a", id), 0);
  Body b("data");
  ASSERT_EQ(reg_upload_append("a", id, b.get(), -1, -1, nullptr), 0);
  char out[72];
  EXPECT_EQ(reg_upload_finish("a", id, digest_string("other").c_str(), out), -1);
  EXPECT_EQ(reg_storage_last_kind(), REG_ERR_DIGEST);
  EXPECT_EQ(reg_upload_size("a", id), -1);
  EXPECT_TRUE(list_names(root + "/repositories/a/_uploads").empty());
  EXPECT_EQ(reg_upload_finish("a", id, "sha256:1", out), -1);
  EXPECT_EQ(reg_storage_last_kind(), REG_ERR_NOT_FOUND) << "the session is gone first";
}

// ---- Manifests of every kind ----------------------------------------------------------

TEST_F(Repository, EveryManifestKindIsPushedWithItsReferencesHeld) {
  const std::string config = push_blob("a", "{}");
  const std::string layer = push_blob("a", "layer");
  const std::string m = image(config, {layer});
  ASSERT_EQ(push("a", "v1", m, "application/vnd.oci.image.manifest.v1+json"), 0) << reg_storage_last_error();
  const std::string child = pushed;

  // Docker schema 2, with a foreign layer the registry need not hold.
  const std::string docker =
      "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.docker.distribution.manifest.v2+json\",\"config\":" +
      descriptor("application/vnd.docker.container.image.v1+json", config, 2) + ",\"layers\":[" +
      descriptor("application/vnd.docker.image.rootfs.diff.tar.gzip", layer, 5) +
      ",{\"mediaType\":\"application/vnd.docker.image.rootfs.foreign.diff.tar.gzip\",\"digest\":\"" +
      digest_string("elsewhere") + "\",\"size\":9,\"urls\":[\"https://example.com/l\"]}]}";
  ASSERT_EQ(push("a", "docker", docker, "application/vnd.docker.distribution.manifest.v2+json"), 0)
      << reg_storage_last_error();

  // An index of the image and a Docker manifest list.
  const std::string index = "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.index.v1+json\","
                            "\"manifests\":[" + descriptor("application/vnd.oci.image.manifest.v1+json", child, m.size()) +
                            "]}";
  ASSERT_EQ(push("a", "multi", index, "application/vnd.oci.image.index.v1+json"), 0) << reg_storage_last_error();
  const std::string list =
      "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.docker.distribution.manifest.list.v2+json\","
      "\"manifests\":[" + descriptor("application/vnd.docker.distribution.manifest.v2+json", child, m.size()) + "]}";
  ASSERT_EQ(push("a", "list", list), 0) << reg_storage_last_error();

  // An artifact: an image manifest with artifactType, the empty config and
  // a subject; and an OCI artifact manifest.
  const std::string empty = push_blob("a", "{}");
  const std::string artifact =
      "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\","
      "\"artifactType\":\"application/vnd.example.sbom\",\"config\":" +
      descriptor("application/vnd.oci.empty.v1+json", empty, 2) + ",\"layers\":[" +
      descriptor("text/plain", layer, 5) + "],\"subject\":" +
      descriptor("application/vnd.oci.image.manifest.v1+json", child, m.size()) + "}";
  ASSERT_EQ(push("a", "sbom", artifact), 0) << reg_storage_last_error();
  const std::string oci_artifact =
      "{\"mediaType\":\"application/vnd.oci.artifact.manifest.v1+json\",\"artifactType\":\"application/x.sig\","
      "\"blobs\":[" + descriptor("text/plain", layer, 5) + "]}";
  ASSERT_EQ(push("a", "sig", oci_artifact), 0) << reg_storage_last_error();

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
  struct Case {
    std::string body;
    reg_error_kind kind;
    std::string message;
  };
  const Case cases[] = {
      {image(never, {layer}), REG_ERR_UNKNOWN_REFERENCE, "manifest blob unknown: " + never},
      {image(config, {layer, elsewhere}), REG_ERR_UNKNOWN_REFERENCE, "manifest blob unknown: " + elsewhere},
      {"{\"mediaType\":\"application/vnd.oci.image.index.v1+json\",\"manifests\":[" +
           descriptor("application/vnd.oci.image.manifest.v1+json", never, 1) + "]}",
       REG_ERR_UNKNOWN_REFERENCE, "manifest unknown: " + never},
      {"{\"mediaType\":\"application/vnd.oci.image.index.v1+json\"}", REG_ERR_INVALID,
       "manifest index missing manifests"},
      {"{\"mediaType\":\"application/vnd.oci.image.index.v1+json\",\"manifests\":[{}]}", REG_ERR_INVALID,
       "manifest manifests 0 missing valid digest"},
      {"{\"mediaType\":\"application/vnd.docker.distribution.manifest.v1+prettyjws\"}", REG_ERR_INVALID,
       "manifest mediaType not supported: application/vnd.docker.distribution.manifest.v1+prettyjws"},
      {"{\"mediaType\":7}", REG_ERR_INVALID, "manifest mediaType must be a string"},
      {image(config, {layer}, ",\"subject\":{}"), REG_ERR_INVALID, "manifest subject missing valid digest"},
      {image(config, {layer}, ",\"artifactType\":\"not a type\""), REG_ERR_INVALID,
       "manifest artifactType must be a media type"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(push("a", "t", c.body), -1) << c.body;
    EXPECT_EQ(reg_storage_last_kind(), c.kind) << c.body;
    EXPECT_EQ(std::string(reg_storage_last_error()), c.message);
  }
  // A subject may name a manifest not pushed (yet).
  EXPECT_EQ(push("a", "t", image(config, {layer}, ",\"subject\":" + descriptor("x/y", never, 3))), 0)
      << reg_storage_last_error();
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
      {"unknown upload", [&] { return reg_upload_size("a", "91e3a35b-f173-0dfb-938b-ee4b3dc38bf5") < 0; },
       REG_ERR_NOT_FOUND},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(c.fails()) << c.what;
    EXPECT_EQ(reg_storage_last_kind(), c.kind) << c.what << ": " << reg_storage_last_error();
    EXPECT_STREQ(reg_storage_last_cause(), "") << c.what;
  }
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
