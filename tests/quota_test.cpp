// Quotas: the policy's "quota:" lines limit the bytes of blobs a
// repository links. Pushes within the limit go through; a blob that would
// pass it is refused with DENIED naming the rule, the usage and the limit,
// at the finish and at a mount, and a full repository gets no session. A blob
// the repository links already costs nothing; a delete and a collection
// give the room back. Pushers racing for the last room never overshoot,
// since the check and the link are made under the repository's lock.
// registry-admin du shows usage beside the limit.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
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
const std::string kTeamRule = "(policy line 4: quota: team/** 4KiB)";

std::string admin_program() {
  const char* p = std::getenv("REGISTRY_TEST_ADMIN_PROGRAM");
  return p != nullptr && p[0] != '\0' ? p : REGISTRY_ADMIN_PATH;
}

// A blob of n bytes, told apart from others of its size by seed.
std::string blob_of(size_t n, char seed) {
  std::string b(n, seed);
  if (n > 0) b[0] = static_cast<char>('a' + (n % 26));
  return b;
}

// Everything under root an hour old: what the collection's grace period
// protects is past it, without a wait.
void age_tree(const std::string& root) {
  namespace fs = std::filesystem;
  const auto then = fs::file_time_type::clock::now() - std::chrono::hours(1);
  for (const fs::directory_entry& e : fs::recursive_directory_iterator(root)) fs::last_write_time(e.path(), then);
}

class Quotas : public ::testing::Test {
 protected:
  void SetUp() override {
    make_dirs(root + "/auth");
    make_dirs(work);
    write_bytes(root + "/auth/policy",
                "# a narrow limit before the broad one\n"
                "*       **           *\n"
                "quota:  team/small   1KiB\n"
                "quota:  team/**      4KiB\n"
                "quota:  team/never   1B\n");
  }
  CgiResponse call(const std::string& method, const std::string& path, const std::string& query = "",
                   const std::string& body = "", const std::map<std::string, std::string>& extra = {}) const {
    std::map<std::string, std::string> env{{"REGISTRY_STORAGE_ROOT", root}, {"REQUEST_METHOD", method},
                                           {"PATH_INFO", path},            {"QUERY_STRING", query},
                                           {"CONTENT_LENGTH", std::to_string(body.size())},
                                           {"CONTENT_TYPE", "application/octet-stream"},
                                           {"HTTP_HOST", "reg.example:5000"}};
    for (const auto& [k, v] : extra) env[k] = v;
    return parse_cgi_response(run_registry(kProgram, env, work, body));
  }
  // A blob pushed whole: POST with ?digest=.
  CgiResponse push_blob(const std::string& repo, const std::string& blob) const {
    return call("POST", "/v2/" + repo + "/blobs/uploads/", "digest=" + digest_string(blob), blob);
  }
  // A session's path, from the answer that made it.
  std::string start(const std::string& repo) const {
    const CgiResponse r = call("POST", "/v2/" + repo + "/blobs/uploads/");
    EXPECT_EQ(r.status, "202 Accepted") << r.raw;
    return r.header("Location");
  }
  CgiResponse patch(const std::string& location, const std::string& chunk) const {
    return call("PATCH", location, "", chunk);
  }
  CgiResponse finish(const std::string& location, const std::string& blob, const std::string& last = "") const {
    return call("PUT", location, "digest=" + digest_string(blob), last);
  }
  CgiResponse mount(const std::string& repo, const std::string& from, const std::string& blob) const {
    return call("POST", "/v2/" + repo + "/blobs/uploads/", "mount=" + digest_string(blob) + "&from=" + from);
  }
  void expect_denied(const CgiResponse& r, const std::string& message) const {
    EXPECT_EQ(r.status, "403 Forbidden") << r.raw;
    EXPECT_EQ(r.code(), "DENIED") << r.raw;
    EXPECT_NE(r.body.find(message), std::string::npos) << r.body;
  }
  bool holds(const std::string& repo, const std::string& blob) const {
    return call("HEAD", "/v2/" + repo + "/blobs/" + digest_string(blob)).status == "200 OK";
  }
  ProcessResult admin(const std::vector<std::string>& args) const {
    ProcessResult r = run_program(admin_program(), args, {{"REGISTRY_STORAGE_ROOT", root}}, work);
    for (std::string* s : {&r.out, &r.err}) {
      for (size_t at = s->find("\r\n"); at != std::string::npos; at = s->find("\r\n", at)) s->erase(at, 1);
    }
    return r;
  }

  TempDir tmp;
  std::string root = tmp / "root";
  std::string work = tmp / "work";
};

TEST_F(Quotas, PushesWithinTheLimitGoThroughAndTheBlobThatWouldPassItIsRefused) {
  const std::string a = blob_of(3000, 'a'), b = blob_of(1000, 'b');
  ASSERT_EQ(push_blob("team/app", a).status, "201 Created");
  ASSERT_EQ(push_blob("team/app", b).status, "201 Created");  // 4000 of 4096
  const std::string c = blob_of(200, 'c');
  const std::string over =
      "quota exceeded for team/app: 4000 bytes used + 200 bytes of this blob > limit 4096 bytes " + kTeamRule;
  expect_denied(push_blob("team/app", c), over);  // pushed whole
  EXPECT_FALSE(holds("team/app", c));
  // In chunks: taken as they come, refused at the finish, with or
  // without a last chunk; the upload is gone after.
  for (const std::string& last : {std::string(), c.substr(150)}) {
    const std::string where = start("team/app");
    EXPECT_EQ(patch(where, c.substr(0, 90)).status, "202 Accepted");
    EXPECT_EQ(patch(where, c.substr(90, last.empty() ? std::string::npos : 60)).status, "202 Accepted");
    expect_denied(finish(where, c, last), over);
    EXPECT_EQ(call("GET", where).status, "404 Not Found");
    EXPECT_FALSE(holds("team/app", c));
  }
  // What fits still goes, up to the last byte; then no session is made.
  const std::string d = blob_of(96, 'd');
  const std::string rest = start("team/app");
  EXPECT_EQ(patch(rest, d).status, "202 Accepted");
  EXPECT_EQ(finish(rest, d).status, "201 Created");
  expect_denied(call("POST", "/v2/team/app/blobs/uploads/"),
                "quota exceeded for team/app: 4096 bytes used, the limit is 4096 bytes " + kTeamRule);
  // An empty blob costs nothing and still fits.
  EXPECT_EQ(push_blob("team/app", "").status, "201 Created");
  // Repositories no line names, and the first line that matches decides:
  // team/small is held to 1KiB, not 4KiB; team/never's own line comes
  // after team/**, which takes it.
  EXPECT_EQ(push_blob("other/app", blob_of(9000, 'x')).status, "201 Created");
  expect_denied(push_blob("team/small", blob_of(1025, 's')),
                "quota exceeded for team/small: 0 bytes used + 1025 bytes of this blob > limit 1024 bytes "
                "(policy line 3: quota: team/small 1KiB)");
  EXPECT_EQ(push_blob("team/small", blob_of(1024, 's')).status, "201 Created");
  EXPECT_EQ(push_blob("team/never", blob_of(4096, 'n')).status, "201 Created");
}

TEST_F(Quotas, TheFinishDecidesBetweenUploadsThatEachFitAlone) {
  ASSERT_EQ(push_blob("team/app", blob_of(4000, 'a')).status, "201 Created");
  const std::string x = blob_of(90, 'x'), y = blob_of(90, 'y');
  const std::string first = start("team/app"), second = start("team/app");
  ASSERT_EQ(patch(first, x).status, "202 Accepted");   // 4090 of 4096
  ASSERT_EQ(patch(second, y).status, "202 Accepted");  // so would this be
  EXPECT_EQ(finish(first, x).status, "201 Created");
  expect_denied(finish(second, y),
                "quota exceeded for team/app: 4090 bytes used + 90 bytes of this blob > limit 4096 bytes " +
                    kTeamRule);
  EXPECT_FALSE(holds("team/app", y));
  // The refused upload is gone: the client starts again.
  EXPECT_EQ(call("GET", second).status, "404 Not Found");
}

TEST_F(Quotas, ABlobTheRepositoryLinksAlreadyCostsNothing) {
  const std::string a = blob_of(3000, 'a'), b = blob_of(1096, 'b');
  ASSERT_EQ(push_blob("team/app", a).status, "201 Created");
  ASSERT_EQ(push_blob("team/app", b).status, "201 Created");  // 4096 of 4096: full
  // Pushed again whole, or mounted from another repository: the same
  // blob, no new bytes.
  EXPECT_EQ(push_blob("team/app", a).status, "201 Created");
  ASSERT_EQ(push_blob("other/app", a).status, "201 Created");
  EXPECT_EQ(mount("team/app", "other/app", a).status, "201 Created");
  // Another repository linking the same blob counts it as its own too.
  ASSERT_EQ(push_blob("team/web", a).status, "201 Created");
  expect_denied(push_blob("team/web", blob_of(1097, 'c')),
                "quota exceeded for team/web: 3000 bytes used + 1097 bytes of this blob > limit 4096 bytes");
}

TEST_F(Quotas, AMountAddsALinkAndIsCounted) {
  const std::string big = blob_of(1000, 'm'), more = blob_of(100, 'n');
  ASSERT_EQ(push_blob("other/app", big).status, "201 Created");
  ASSERT_EQ(push_blob("other/app", more).status, "201 Created");
  EXPECT_EQ(mount("team/small", "other/app", big).status, "201 Created");
  expect_denied(mount("team/small", "other/app", more),
                "quota exceeded for team/small: 1000 bytes used + 100 bytes of the mounted blob > limit 1024 bytes "
                "(policy line 3: quota: team/small 1KiB)");
  EXPECT_FALSE(holds("team/small", more));
  // A mount of a blob the source does not hold is a session, as ever.
  EXPECT_EQ(mount("team/small", "other/app", blob_of(5, 'z')).status, "202 Accepted");
}

TEST_F(Quotas, ADeleteAndACollectionGiveTheRoomBack) {
  // A blob deleted by a client gives its room back at once.
  const std::string a = blob_of(4000, 'a');
  ASSERT_EQ(push_blob("team/app", a).status, "201 Created");
  expect_denied(push_blob("team/app", blob_of(200, 'b')), "4000 bytes used + 200 bytes");
  ASSERT_EQ(call("DELETE", "/v2/team/app/blobs/" + digest_string(a)).status, "202 Accepted");
  EXPECT_EQ(push_blob("team/app", blob_of(200, 'b')).status, "201 Created");

  // An image's layer goes when its manifest is deleted and the collection
  // finds no manifest needs it.
  const std::string layer = blob_of(3000, 'l'), config = "{}";
  ASSERT_EQ(push_blob("team/web", layer).status, "201 Created");
  ASSERT_EQ(push_blob("team/web", config).status, "201 Created");
  const std::string manifest =
      "{\"schemaVersion\":2,\"mediaType\":\"" + kOci +
      "\",\"config\":{\"mediaType\":\"application/vnd.oci.empty.v1+json\",\"digest\":\"" + digest_string(config) +
      "\",\"size\":2},\"layers\":[{\"mediaType\":\"application/vnd.oci.image.layer.v1.tar\",\"digest\":\"" +
      digest_string(layer) + "\",\"size\":3000}]}";
  ASSERT_EQ(call("PUT", "/v2/team/web/manifests/v1", "", manifest, {{"CONTENT_TYPE", kOci}}).status, "201 Created");
  expect_denied(push_blob("team/web", blob_of(1500, 'c')), "3002 bytes used + 1500 bytes");
  ASSERT_EQ(call("DELETE", "/v2/team/web/manifests/" + digest_string(manifest)).status, "202 Accepted");
  age_tree(root);
  ASSERT_EQ(admin({"gc", "--grace", "1m"}).exit_code, 0);
  EXPECT_EQ(push_blob("team/web", blob_of(1500, 'c')).status, "201 Created");
}

TEST_F(Quotas, PushersRacingForTheLastRoomNeverPassTheLimit) {
  // Eight processes push a blob of 1000 bytes each, all at once, into
  // repositories with room for four: the first four to reach the lock
  // are linked, the others refused. Three rounds, each a repository.
  // The first round's pushers are also the first to write the tree's
  // marker, all at once (on Windows such a race once failed some of them).
  constexpr int kPushers = 8;
  // The tree is made by a first request beforehand: what is raced for here
  // is the room, not the first start of a storage root.
  ASSERT_EQ(call("GET", "/v2/").status, "200 OK");
  for (int round = 0; round < 3; ++round) {
    const std::string repo = "team/race" + std::to_string(round);
    std::vector<CgiResponse> answers(kPushers);
    std::vector<std::thread> pushers;
    for (int i = 0; i < kPushers; ++i) {
      pushers.emplace_back([&, i] { answers[i] = push_blob(repo, blob_of(1000, static_cast<char>('A' + i))); });
    }
    for (std::thread& t : pushers) t.join();
    int linked = 0;
    for (int i = 0; i < kPushers; ++i) {
      if (answers[i].status == "201 Created") {
        ++linked;
        EXPECT_TRUE(holds(repo, blob_of(1000, static_cast<char>('A' + i))));
      } else {
        expect_denied(answers[i], "quota exceeded for " + repo);
      }
    }
    EXPECT_EQ(linked, 4) << repo;
  }
}

TEST_F(Quotas, DuShowsUsageBesideTheLimit) {
  ASSERT_EQ(push_blob("team/app", blob_of(3000, 'a')).status, "201 Created");
  ASSERT_EQ(push_blob("team/small", blob_of(1000, 'b')).status, "201 Created");
  ASSERT_EQ(push_blob("other/app", blob_of(3000, 'a')).status, "201 Created");  // shared with team/app
  ProcessResult r = admin({"du"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out,
            "REPOSITORY          OWN       SHARED MANIFEST SIZE    BLOBS MANIFESTS  QUOTA\n"
            "other/app           0 B      2.9 KiB           0 B        1         0  -\n"
            "team/app            0 B      2.9 KiB           0 B        1         0  2.9 KiB of 4.0 KiB (73%)\n"
            "team/small       1000 B          0 B           0 B        1         0  1000 B of 1.0 KiB (97%)\n"
            "total: 3 repositories, blobs 3.9 KiB (0 B linked by no repository), manifests 0 B\n");
  r = admin({"--json", "du"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("{\"name\":\"team/app\",\"usage_bytes\":3000,\"limit_bytes\":4096,\"quota_line\":4,"
                       "\"own_bytes\":0,\"shared_bytes\":3000"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("{\"name\":\"other/app\",\"own_bytes\":0"), std::string::npos) << r.out;
  // A policy without quota lines: the table as it always was.
  write_bytes(root + "/auth/policy", "* ** *\n");
  r = admin({"du"});
  EXPECT_EQ(r.out.find("QUOTA"), std::string::npos) << r.out;
}

TEST_F(Quotas, QuotaLinesAreReadStrictly) {
  const struct {
    std::string size;
    int64_t bytes;
  } good[] = {{"0", 0},
              {"7", 7},
              {"7B", 7},
              {"2KB", 2000},
              {"500MiB", int64_t{500} << 20},
              {"10GiB", int64_t{10} << 30},
              {"3TB", int64_t{3000000000000}},
              {"1TiB", int64_t{1} << 40},
              {"9223372036854775807", INT64_MAX}};
  for (const auto& g : good) {
    auth::Policy p;
    std::string why;
    ASSERT_TRUE(auth::parse_policy("quota: a/** " + g.size + "\n", &p, &why)) << g.size << ": " << why;
    ASSERT_EQ(p.quotas.size(), 1u);
    EXPECT_EQ(p.quotas[0].bytes, g.bytes) << g.size;
    EXPECT_EQ(p.quotas[0].text, "quota: a/** " + g.size);
    EXPECT_TRUE(p.rules.empty());  // a quota line grants nothing
  }
  const std::string unit_why = "a size is a number of bytes, with KB, MB, GB, TB, KiB, MiB, GiB or TiB if wanted: ";
  const struct {
    std::string line, why;
  } bad[] = {
      {"quota: a/** 5mib", "line 1: " + unit_why + "5mib"},
      {"quota: a/** MiB", "line 1: " + unit_why + "MiB"},
      {"quota: a/** -1", "line 1: " + unit_why + "-1"},
      {"quota: a/** 1.5GiB", "line 1: " + unit_why + "1.5GiB"},
      {"quota: a/** 9223372036854775808", "line 1: " + unit_why + "9223372036854775808"},
      {"quota: a/** 9000000TiB", "line 1: " + unit_why + "9000000TiB"},
      {"quota: a/** 5 MiB", "line 1: a rule has three fields: who, repositories, actions"},
      {"quota: a/!! 5MiB", "line 1: not a repository pattern: a/!!"},
  };
  for (const auto& c : bad) {
    auth::Policy p;
    std::string why;
    EXPECT_FALSE(auth::parse_policy(c.line + "\n", &p, &why)) << c.line;
    EXPECT_EQ(why, c.why) << c.line;
    // The program answers 500 rather than letting a push past an unread
    // limit.
    write_bytes(root + "/auth/policy", c.line + "\n");
    EXPECT_EQ(push_blob("a/b", "x").status, "500 Internal Server Error") << c.line;
  }
}

}  // namespace
