// Immutable tags: the policy's "immutable:" rules fix tags, so that a push
// may make such a tag once and push the same manifest to it again, while a
// push that would move it, a delete of it and a delete of the manifest it
// names are refused with DENIED naming the rule, in every mode of access
// control. Two pushes racing to a new fixed tag: exactly one wins.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <thread>
#include <vector>

#include "access/auth_policy.h"
#include "support/cgi_response.h"
#include "support/registry_runner.h"
#include "support/test_support.h"

using namespace testing_support;

namespace {

const std::string kProgram = program_under_test(REGISTRY_PATH);
const std::string kOci = "application/vnd.oci.image.manifest.v1+json";
const std::string kRule = "policy line 3: immutable: prod/** v*,stable";

class ImmutableTags : public ::testing::Test {
 protected:
  void SetUp() override {
    make_dirs(root + "/auth");
    make_dirs(work);
    write_bytes(root + "/auth/policy",
                "# release tags never move\n"
                "*           **        *\n"
                "immutable:  prod/**   v*,stable\n");
  }
  CgiResponse call(const std::string& method, const std::string& path, const std::string& query = "",
                   const std::string& body = "") const {
    std::map<std::string, std::string> env{{"REGISTRY_STORAGE_ROOT", root}, {"REQUEST_METHOD", method},
                                           {"PATH_INFO", path},            {"QUERY_STRING", query},
                                           {"CONTENT_LENGTH", std::to_string(body.size())},
                                           {"CONTENT_TYPE", kOci},         {"HTTP_HOST", "reg.example:5000"}};
    return parse_cgi_response(run_registry(kProgram, env, work, body));
  }
  // An image manifest of one empty config blob, pushed into repo first;
  // the annotation makes each one its own.
  std::string image(const std::string& repo, const std::string& annotation) const {
    const std::string config = "{}";
    const std::string d = digest_string(config);
    EXPECT_EQ(call("POST", "/v2/" + repo + "/blobs/uploads/", "digest=" + d, config).status, "201 Created");
    return "{\"schemaVersion\":2,\"mediaType\":\"" + kOci +
           "\",\"config\":{\"mediaType\":\"application/vnd.oci.empty.v1+json\",\"digest\":\"" + d +
           "\",\"size\":2},\"layers\":[],\"annotations\":{\"n\":\"" + annotation + "\"}}";
  }
  CgiResponse push(const std::string& repo, const std::string& ref, const std::string& body,
                   const std::string& query = "") const {
    return call("PUT", "/v2/" + repo + "/manifests/" + ref, query, body);
  }
  std::string tag_digest(const std::string& repo, const std::string& tag) const {
    return call("HEAD", "/v2/" + repo + "/manifests/" + tag).header("Docker-Content-Digest");
  }
  void expect_denied(const CgiResponse& r, const std::string& tag, const std::string& repo) const {
    EXPECT_EQ(r.status, "403 Forbidden") << r.raw;
    EXPECT_EQ(r.code(), "DENIED") << r.raw;
    EXPECT_NE(r.body.find("tag " + tag + " of " + repo + " is immutable (" + kRule + ")"), std::string::npos)
        << r.body;
  }

  TempDir tmp;
  std::string root = tmp / "root";
  std::string work = tmp / "work";
};

TEST_F(ImmutableTags, AFixedTagIsMadeOnceAndPushedAgainButNeverMoved) {
  const std::string a = image("prod/app", "a");
  const std::string b = image("prod/app", "b");
  ASSERT_EQ(push("prod/app", "v1", a).status, "201 Created");
  EXPECT_EQ(push("prod/app", "v1", a).status, "201 Created");  // the same digest again
  expect_denied(push("prod/app", "v1", b), "v1", "prod/app");
  // By digest with ?tag=: refused whole, the other tag not made either.
  expect_denied(push("prod/app", digest_string(b), b, "tag=v1&tag=next"), "v1", "prod/app");
  EXPECT_EQ(call("HEAD", "/v2/prod/app/manifests/next").status, "404 Not Found");
  EXPECT_EQ(tag_digest("prod/app", "v1"), digest_string(a));

  // Tags no rule names move freely, in the same repository and elsewhere.
  const struct {
    std::string repo, tag;
  } free_tags[] = {{"prod/app", "latest"}, {"prod/app", "xv1"}, {"prod/app", "stable2"}, {"dev/app", "v1"},
                   {"prod", "v1"}};
  for (const auto& t : free_tags) {
    const std::string first = image(t.repo, "a"), second = image(t.repo, "b");
    EXPECT_EQ(push(t.repo, t.tag, first).status, "201 Created") << t.repo << ":" << t.tag;
    EXPECT_EQ(push(t.repo, t.tag, second).status, "201 Created") << t.repo << ":" << t.tag;
    EXPECT_EQ(tag_digest(t.repo, t.tag), digest_string(second)) << t.repo << ":" << t.tag;
  }
  // "**" holds deeper names; "stable" is fixed as written.
  ASSERT_EQ(push("prod/team/web", "stable", image("prod/team/web", "a")).status, "201 Created");
  expect_denied(push("prod/team/web", "stable", image("prod/team/web", "b")), "stable", "prod/team/web");
}

TEST_F(ImmutableTags, AFixedTagAndTheManifestItNamesCannotBeDeleted) {
  const std::string a = image("prod/app", "a");
  const std::string b = image("prod/app", "b");
  ASSERT_EQ(push("prod/app", "v1", a).status, "201 Created");
  ASSERT_EQ(push("prod/app", "latest", b).status, "201 Created");
  expect_denied(call("DELETE", "/v2/prod/app/manifests/v1"), "v1", "prod/app");
  expect_denied(call("DELETE", "/v2/prod/app/manifests/" + digest_string(a)), "v1", "prod/app");
  EXPECT_EQ(tag_digest("prod/app", "v1"), digest_string(a));
  // What no fixed tag names goes as before.
  EXPECT_EQ(call("DELETE", "/v2/prod/app/manifests/latest").status, "202 Accepted");
  EXPECT_EQ(call("DELETE", "/v2/prod/app/manifests/" + digest_string(b)).status, "202 Accepted");
  EXPECT_EQ(call("DELETE", "/v2/prod/app/manifests/v9").status, "404 Not Found");
}

TEST_F(ImmutableTags, TwoPushesRacingToANewFixedTagExactlyOneWins) {
  const std::string a = image("prod/app", "a");
  const std::string b = image("prod/app", "b");
  for (int round = 0; round < 10; ++round) {
    std::string tag = "v";
    tag += std::to_string(round);
    CgiResponse ra, rb;
    std::thread ta([&] { ra = push("prod/app", tag, a); });
    std::thread tb([&] { rb = push("prod/app", tag, b); });
    ta.join();
    tb.join();
    const bool a_won = ra.status == "201 Created";
    const bool b_won = rb.status == "201 Created";
    ASSERT_NE(a_won, b_won) << ra.raw << "\n" << rb.raw;
    expect_denied(a_won ? rb : ra, tag, "prod/app");
    EXPECT_EQ(tag_digest("prod/app", tag), digest_string(a_won ? a : b));
  }
}

TEST_F(ImmutableTags, RulesHoldWithAccessControlOnAndGrantNothing) {
  // remote-user mode: the policy access control read decides; "immutable:"
  // lines give nobody a right.
  write_bytes(root + "/auth/policy", "alice ** *\nimmutable: prod/** v*\n");
  const auto as = [&](const std::string& user, const std::string& method, const std::string& ref,
                      const std::string& body) {
    std::map<std::string, std::string> env{{"REGISTRY_STORAGE_ROOT", root}, {"REQUEST_METHOD", method},
                                           {"PATH_INFO", "/v2/prod/app/manifests/" + ref},
                                           {"CONTENT_LENGTH", std::to_string(body.size())},
                                           {"CONTENT_TYPE", kOci},         {"REGISTRY_AUTH", "remote-user"},
                                           {"REMOTE_USER", user},          {"HTTP_HOST", "reg.example:5000"}};
    return parse_cgi_response(run_registry(kProgram, env, work, body));
  };
  const std::string a = image("prod/app", "a");
  ASSERT_EQ(as("alice", "PUT", "v1", a).status, "201 Created");
  const CgiResponse r = as("alice", "DELETE", "v1", "");
  EXPECT_EQ(r.status, "403 Forbidden") << r.raw;
  EXPECT_NE(r.body.find("policy line 2: immutable: prod/** v*"), std::string::npos) << r.body;
  EXPECT_EQ(as("immutable:", "GET", "v1", "").status, "403 Forbidden");
}

TEST_F(ImmutableTags, APolicyWithABadImmutableRuleIsRefusedWhole) {
  const struct {
    std::string line, why;
  } cases[] = {
      {"immutable: prod/** v/1", "line 1: tags are tag patterns joined by ',': v/1"},
      {"immutable: prod/** v*,", "line 1: tags are tag patterns joined by ',': v*,"},
      {"immutable: prod/!! v*", "line 1: not a repository pattern: prod/!!"},
      {"immutable: prod/**", "line 1: a rule has three fields: who, repositories, actions"},
  };
  for (const auto& c : cases) {
    auth::Policy p;
    std::string why;
    EXPECT_FALSE(auth::parse_policy(c.line + "\n", &p, &why)) << c.line;
    EXPECT_EQ(why, c.why) << c.line;
    // The program answers 500 rather than letting a push past an unread rule.
    write_bytes(root + "/auth/policy", c.line + "\n");
    EXPECT_EQ(push("prod/app", "v1", "{}").status, "500 Internal Server Error") << c.line;
  }
}

}  // namespace
