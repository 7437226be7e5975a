// Repository names that hold bytes outside the name grammar, where a
// request can carry one (the path, a token's scope, a mount's source), in
// every access-control mode: each is refused whole before anything is
// read, granted or changed. The case that matters most is a NUL: storage
// takes a name as a C string, so "team/secret\0/cache" would be
// "team/secret" there while the policy compared all of its bytes with the
// rule "team/*/cache".
#include <gtest/gtest.h>

#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "access/auth_token.h"
#include "support/cgi_response.h"
#include "support/registry_runner.h"
#include "support/test_support.h"

using namespace testing_support;

namespace {

const std::string kProgram = program_under_test(REGISTRY_PATH);
// "secret", as htpasswd -B -C 4 writes it.
const std::string kSecretHash = "$2y$04$.Ri7EwUtFt2lR1kuDwV.K.Xrx3GD49Or4j9lQ4fq0YyLrQzLPUFQe";
const std::string kManifestType = "application/vnd.oci.image.manifest.v1+json";

std::string basic_dave() { return "Basic " + std::string("ZGF2ZTpzZWNyZXQ=");  /* dave:secret */ }

// Names as a client would write them in a URL, each decoding to bytes of
// no repository's form, and each with a way to be read as team/secret or a
// name dave's rule "team/*/cache" matches.
const char* const kHostileNames[] = {
    "team/secret%00/cache", "team/secret%00",      "team/secret%0a/cache", "team/secret%20/cache",
    "team/secret%ff/cache", "team/secret%5c/cache", "team/Secret/cache",    "team/./cache",
    "team/../team/secret",  "team//secret",         "team/secret/cache%00",
};

class HostileNames : public ::testing::Test {
 protected:
  void SetUp() override {
    // team/secret holds a blob and a manifest that dave may never read.
    mode = "off";
    blob = digest_string("the secret layer");
    EXPECT_EQ(call("POST", "/v2/team/secret/blobs/uploads/", "digest=" + blob, "the secret layer").status,
              "201 Created");
    const std::string config = digest_string("{}");
    EXPECT_EQ(call("POST", "/v2/team/secret/blobs/uploads/", "digest=" + config, "{}").status, "201 Created");
    manifest = "{\"schemaVersion\":2,\"mediaType\":\"" + kManifestType +
               "\",\"config\":{\"mediaType\":\"application/vnd.oci.image.config.v1+json\",\"digest\":\"" + config +
               "\",\"size\":2},\"layers\":[{\"mediaType\":\"application/vnd.oci.image.layer.v1.tar\",\"digest\":\"" +
               blob + "\",\"size\":16}]}";
    EXPECT_EQ(call("PUT", "/v2/team/secret/manifests/v1", "", manifest, {{"CONTENT_TYPE", kManifestType}}).status,
              "201 Created");
    make_dirs(root + "/auth");
    write_bytes(root + "/auth/htpasswd", "dave:" + kSecretHash + "\n");
    write_bytes(root + "/auth/policy", "dave team/*/cache pull,push\n");
  }
  CgiResponse call(const std::string& method, const std::string& path, const std::string& query = "",
                   const std::string& body = "", std::map<std::string, std::string> extra = {}) {
    std::map<std::string, std::string> env{{"REGISTRY_STORAGE_ROOT", root}, {"REQUEST_METHOD", method},
                                           {"PATH_INFO", path},            {"QUERY_STRING", query},
                                           {"CONTENT_LENGTH", std::to_string(body.size())},
                                           {"REGISTRY_AUTH", mode},        {"HTTP_HOST", "reg.example:5000"}};
    for (const auto& [k, v] : extra) env[k] = v;
    make_dirs(work);
    return parse_cgi_response(run_registry(kProgram, env, work, body));
  }
  // The request as the web server passes it when the client wrote the
  // path percent-encoded: REQUEST_URI as sent, PATH_INFO decoded as far as
  // an environment variable can hold it (up to a NUL).
  CgiResponse raw(const std::string& method, const std::string& encoded_path, const std::string& query = "",
                  std::map<std::string, std::string> extra = {}) {
    extra["REQUEST_URI"] = encoded_path + (query.empty() ? "" : "?" + query);
    return call(method, "/", query, "", extra);
  }
  std::string token(const std::string& query) {
    const CgiResponse r = call("GET", "", query, "", {{"REQUEST_URI", "/auth/token?" + query},
                                                      {"HTTP_AUTHORIZATION", basic_dave()}});
    EXPECT_EQ(r.status, "200 OK") << r.raw;
    const size_t at = r.body.find("\"token\":\"") + 9;
    return r.body.substr(at, r.body.find('"', at) - at);
  }
  // Credentials that would let dave through where his rule matches.
  std::map<std::string, std::string> as_dave(const std::string& name) {
    if (mode == "remote-user") return {{"REMOTE_USER", "dave"}};
    if (mode == "token") {
      return {{"HTTP_AUTHORIZATION",
               "Bearer " + token("scope=repository:" + name + ":pull,push,delete&scope=repository:team/ci/cache:pull,push")}};
    }
    return {};
  }
  std::string key() {
    std::string k = read_bytes(root + "/auth/token.key");
    while (!k.empty() && k.back() == '\n') k.pop_back();
    return k;
  }
  void expect_secret_untouched() {
    const std::string saved = mode;
    mode = "off";
    EXPECT_EQ(call("GET", "/v2/team/secret/manifests/v1").body, manifest);
    EXPECT_EQ(call("GET", "/v2/team/secret/blobs/" + blob).body, "the secret layer");
    EXPECT_EQ(call("GET", "/v2/team/ci/cache/blobs/" + blob).status, "404 Not Found");
    mode = saved;
  }
  TempDir tmp;
  std::string root = tmp / "root";
  std::string work = tmp / "work";
  std::string mode;
  std::string blob;
  std::string manifest;
};

TEST_F(HostileNames, InThePathAreNameInvalidBeforeAnythingElse) {
  for (const char* m : {"off", "token", "remote-user"}) {
    mode = m;
    for (const char* name : kHostileNames) {
      const std::string what = std::string(m) + " " + name;
      const std::string base = std::string("/v2/") + name;
      const std::map<std::string, std::string> creds = as_dave(name);
      const std::vector<std::pair<std::string, std::string>> requests = {
          {"GET", base + "/manifests/v1"},      {"HEAD", base + "/manifests/v1"},
          {"DELETE", base + "/manifests/v1"},   {"PUT", base + "/manifests/v2"},
          {"GET", base + "/blobs/" + blob},     {"DELETE", base + "/blobs/" + blob},
          {"GET", base + "/tags/list"},         {"POST", base + "/blobs/uploads/"},
          {"GET", base + "/referrers/" + blob},
      };
      for (const auto& [method, path] : requests) {
        const CgiResponse r = raw(method, path, "", creds);
        EXPECT_EQ(r.status, "400 Bad Request") << what << " " << method << " " << path << "\n" << r.raw;
        EXPECT_EQ(r.code(), "NAME_INVALID") << what << " " << method << " " << path;
      }
      const CgiResponse r = raw("POST", base + "/blobs/uploads/", "mount=" + blob + "&from=team/secret", creds);
      EXPECT_EQ(r.code(), "NAME_INVALID") << what;
    }
  }
  expect_secret_untouched();
}

TEST_F(HostileNames, InAScopeAreGrantedNothing) {
  mode = "token";
  for (const char* name : kHostileNames) {
    const std::string t = token(std::string("scope=repository:") + name + ":pull,push,delete");
    auth::Claims claims;
    ASSERT_EQ(auth::check_token(t, key(), "registry", time(nullptr),
                                    &claims),
              auth::TokenCheck::kValid);
    EXPECT_TRUE(claims.access.empty()) << name;
  }
  // The same request for a name of dave's rule is granted: the refusals
  // above are the names', not the scope form's.
  const std::string t = token("scope=repository:team/ci/cache:pull,push");
  auth::Claims claims;
  ASSERT_EQ(auth::check_token(t, key(), "registry", time(nullptr),
                                  &claims),
            auth::TokenCheck::kValid);
  ASSERT_EQ(claims.access.size(), 1u);
  EXPECT_EQ(claims.access[0].name, "team/ci/cache");
}

TEST_F(HostileNames, AsAMountSourceMountNothing) {
  for (const char* m : {"off", "token", "remote-user"}) {
    mode = m;
    for (const char* name : kHostileNames) {
      const std::string what = std::string(m) + " " + name;
      const CgiResponse r = raw("POST", "/v2/team/ci/cache/blobs/uploads/",
                                "mount=" + blob + "&from=" + name, as_dave(name));
      // A mount that cannot be made is a session, as the API has it.
      EXPECT_EQ(r.status, "202 Accepted") << what << "\n" << r.raw;
      EXPECT_NE(r.header("Docker-Upload-UUID"), "(none)") << what;
      expect_secret_untouched();
    }
  }
}

}  // namespace
