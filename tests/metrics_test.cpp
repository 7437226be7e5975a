// GET /metrics through the program: the counts after a known sequence of
// requests (exact, the bytes sent byte for byte), the stored amounts after
// pushes, deletes and uploads, who may scrape in each mode of access
// control, counts that stay right when a request or a scrape is killed at
// any step of its counting, many processes counting at once, and
// Prometheus' own parser reading the answer.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <utime.h>

#include <cstdlib>
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
const std::string kExposition = "text/plain; version=0.0.4; charset=utf-8";
// "secret", as htpasswd -B -C 4 writes it.
const std::string kSecretHash = "$2y$04$.Ri7EwUtFt2lR1kuDwV.K.Xrx3GD49Or4j9lQ4fq0YyLrQzLPUFQe";

std::string series(const std::string& route, const std::string& method, const std::string& status) {
  return "registry_http_requests_total{route=\"" + route + "\",method=\"" + method + "\",status=\"" + status + "\"}";
}

// The samples of an exposition: series to value. Comment lines are left
// out; every other line must be "<series> <value>".
std::map<std::string, long long> samples(const std::string& text) {
  std::map<std::string, long long> out;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    EXPECT_NE(end, std::string::npos) << "the last line has no end";
    if (end == std::string::npos) break;
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.empty() || line[0] == '#') continue;
    const size_t space = line.rfind(' ');
    EXPECT_NE(space, std::string::npos) << line;
    if (space == std::string::npos) continue;
    out[line.substr(0, space)] = std::atoll(line.c_str() + space + 1);
  }
  return out;
}

// A sample's value; 0 for a series not there (yet).
long long value_of(const std::map<std::string, long long>& s, const std::string& key) {
  const auto it = s.find(key);
  return it != s.end() ? it->second : 0;
}

// Ended by the crash hook: SIGKILL here, TerminateProcess with 137 under Wine.
bool killed(const ProcessResult& r) { return r.signal == 9 || r.exit_code == 137; }

// The requests counted, series by series, without the scrapes.
std::map<std::string, long long> requests_of(const std::map<std::string, long long>& all) {
  std::map<std::string, long long> out;
  for (const auto& [k, v] : all) {
    if (k.rfind("registry_http_requests_total{", 0) == 0 && k.find("route=\"metrics\"") == std::string::npos) out[k] = v;
  }
  return out;
}

class Metrics : public ::testing::Test {
 protected:
  // The storage root is there, as where a registry is deployed: a count
  // never makes one.
  void SetUp() override {
    make_dirs(work);
    make_dirs(root);
  }
  std::map<std::string, std::string> env_of(const std::string& method, const std::string& path,
                                            const std::string& query, const std::string& body,
                                            const std::map<std::string, std::string>& extra) const {
    std::map<std::string, std::string> env{{"REGISTRY_STORAGE_ROOT", root}, {"REQUEST_METHOD", method},
                                           {"PATH_INFO", path},            {"QUERY_STRING", query},
                                           {"CONTENT_LENGTH", std::to_string(body.size())},
                                           {"CONTENT_TYPE", kOci},         {"HTTP_HOST", "reg.example:5000"}};
    for (const auto& [k, v] : extra) env[k] = v;
    return env;
  }
  CgiResponse call(const std::string& method, const std::string& path, const std::string& query = "",
                   const std::string& body = "", const std::map<std::string, std::string>& extra = {}) const {
    return parse_cgi_response(run_registry(kProgram, env_of(method, path, query, body, extra), work, body));
  }
  // As a CGI process in either mode: crash points are armed per process.
  ProcessResult cgi(const std::string& method, const std::string& path, const std::string& crash) const {
    std::map<std::string, std::string> env = env_of(method, path, "", "", {});
    env["REGISTRY_CRASH_AT"] = crash;
    return run_program(kProgram, {}, env, work);
  }
  CgiResponse scrape(const std::map<std::string, std::string>& extra = {}) const {
    const CgiResponse r = call("GET", "/metrics", "", "", extra);
    EXPECT_EQ(r.status, "200 OK") << r.raw;
    EXPECT_EQ(r.header("Content-Type"), kExposition);
    return r;
  }
  std::map<std::string, long long> scraped() const { return samples(scrape().body); }
  // A blob pushed in one request; its digest.
  std::string blob(const std::string& repo, const std::string& bytes) const {
    const std::string d = digest_string(bytes);
    EXPECT_EQ(call("POST", "/v2/" + repo + "/blobs/uploads/", "digest=" + d, bytes).status, "201 Created");
    return d;
  }
  // An image manifest of one config blob, its annotation making it its own.
  std::string image(const std::string& repo, const std::string& note) const {
    const std::string config = "{\"n\":\"" + note + "\"}";
    const std::string d = blob(repo, config);
    return "{\"schemaVersion\":2,\"mediaType\":\"" + kOci +
           "\",\"config\":{\"mediaType\":\"application/vnd.oci.image.config.v1+json\",\"digest\":\"" + d +
           "\",\"size\":" + std::to_string(config.size()) + "},\"layers\":[]}";
  }
  // The stored amounts as they are now: the next scrape recounts.
  void forget_recount() const { std::remove((root + "/metrics/summary").c_str()); }

  TempDir tmp;
  std::string root = tmp / "root";
  std::string work = tmp / "work";
};

// ---- Counting -------------------------------------------------------------------------

TEST_F(Metrics, CountsEveryRequestByRouteMethodAndStatusAndTheBytesBothWays) {
  const std::string config = "{\"a\":1}";
  const std::string d = digest_string(config);
  const std::string manifest = "{\"schemaVersion\":2,\"mediaType\":\"" + kOci +
                               "\",\"config\":{\"mediaType\":\"application/vnd.oci.image.config.v1+json\","
                               "\"digest\":\"" + d + "\",\"size\":" + std::to_string(config.size()) +
                               "},\"layers\":[]}";
  struct Step {
    std::string method, path, query, body, status;
  };
  const std::vector<Step> steps = {
      {"GET", "/v2/", "", "", "200 OK"},
      {"GET", "/v2/", "", "", "200 OK"},
      {"POST", "/v2/app/blobs/uploads/", "digest=" + d, config, "201 Created"},
      {"HEAD", "/v2/app/blobs/" + d, "", "", "200 OK"},
      {"GET", "/v2/app/manifests/v1", "", "", "404 Not Found"},
      {"PUT", "/v2/app/manifests/v1", "", manifest, "201 Created"},
      {"GET", "/v2/app/manifests/v1", "", "", "200 OK"},
      {"DELETE", "/v2/", "", "", "405 Method Not Allowed"},
      {"BREW", "/v2/app/tags/list", "", "", "405 Method Not Allowed"},
      {"GET", "/elsewhere", "", "", "404 Not Found"},
      {"GET", "/v2/a%20b/tags/list", "", "", "400 Bad Request"},
  };
  long long sent = 0;
  long long received = 0;
  for (const Step& s : steps) {
    const CgiResponse r = call(s.method, s.path, s.query, s.body);
    ASSERT_EQ(r.status, s.status) << s.method << " " << s.path << "\n" << r.raw;
    sent += static_cast<long long>(r.raw.size());
    received += static_cast<long long>(s.body.size());
  }
  const std::map<std::string, long long> first = scraped();
  const std::map<std::string, long long> expected = {
      {series("base", "GET", "200"), 2},         {series("upload_start", "POST", "201"), 1},
      {series("blob", "HEAD", "200"), 1},        {series("manifest", "GET", "404"), 1},
      {series("manifest", "PUT", "201"), 1},     {series("manifest", "GET", "200"), 1},
      {series("base", "DELETE", "405"), 1},      {series("tags", "other", "405"), 1},
      {series("none", "GET", "404"), 1},         {series("tags", "GET", "400"), 1},
  };
  EXPECT_EQ(requests_of(first), expected);
  EXPECT_EQ(first.at("registry_bytes_sent_total"), sent);
  EXPECT_EQ(first.at("registry_bytes_received_total"), received);
  EXPECT_EQ(first.count(series("metrics", "GET", "200")), 0u);

  // The scrape is counted once it is answered: the next one shows it, with
  // its bytes.
  const CgiResponse again = scrape();
  const std::map<std::string, long long> second = samples(again.body);
  EXPECT_EQ(second.at(series("metrics", "GET", "200")), 1);
  EXPECT_EQ(requests_of(second), expected);
  EXPECT_GT(second.at("registry_bytes_sent_total"), sent);
  // However many requests, the counts are in a few shard files.
  EXPECT_LE(list_names(root + "/metrics/requests").size(), 16u);
}

TEST_F(Metrics, HeadAnswersTheLengthWithoutTheBodyAndOtherMethodsAre405) {
  const CgiResponse get = scrape();
  const CgiResponse head = call("HEAD", "/metrics");
  EXPECT_EQ(head.status, "200 OK") << head.raw;
  EXPECT_EQ(head.body, "");
  // The HEAD's length is that of a body one GET longer in its counts.
  EXPECT_FALSE(head.header("Content-Length").empty());
  EXPECT_EQ(head.header("Content-Type"), kExposition);
  for (const char* m : {"POST", "PUT", "DELETE", "PATCH"}) {
    const CgiResponse r = call(m, "/metrics");
    EXPECT_EQ(r.status, "405 Method Not Allowed") << m << "\n" << r.raw;
    EXPECT_EQ(r.header("Allow"), "GET, HEAD") << m;
    EXPECT_EQ(r.code(), "UNSUPPORTED") << m;
  }
  EXPECT_EQ(scraped().at(series("metrics", "POST", "405")), 1);
}

TEST_F(Metrics, CountingOffCountsNothingAndABadValueIsAMisconfiguration) {
  call("GET", "/v2/", "", "", {{"REGISTRY_METRICS", "off"}});
  call("GET", "/v2/", "", "", {{"REGISTRY_METRICS", "off"}});
  call("GET", "/v2/");
  const std::map<std::string, long long> s = scraped();
  EXPECT_EQ(s.at(series("base", "GET", "200")), 1);
  const CgiResponse bad = call("GET", "/metrics", "", "", {{"REGISTRY_METRICS", "maybe"}});
  EXPECT_EQ(bad.status, "500 Internal Server Error") << bad.raw;
  EXPECT_NE(bad.err.find("REGISTRY_METRICS is \"maybe\": on or off"), std::string::npos) << bad.err;
}

TEST_F(Metrics, ACountNeverMakesAStorageRoot) {
  remove_tree(root);
  EXPECT_EQ(call("GET", "/elsewhere").status, "404 Not Found");
  EXPECT_EQ(call("DELETE", "/v2/").status, "405 Method Not Allowed");
  EXPECT_FALSE(exists(root));
}

// ---- Stored amounts ---------------------------------------------------------------------

TEST_F(Metrics, StoredAmountsFollowPushesDeletesAndUploads) {
  const std::map<std::string, long long> empty = scraped();
  for (const char* k : {"registry_repositories", "registry_manifests", "registry_tags", "registry_blobs",
                        "registry_blob_bytes", "registry_uploads_in_progress", "registry_upload_bytes",
                        "registry_events_pending"}) {
    EXPECT_EQ(empty.at(k), 0) << k;
  }
  const std::string a = image("team/app", "a");
  const std::string b = image("team/app", "b");
  const std::string c = image("other", "c");
  ASSERT_EQ(call("PUT", "/v2/team/app/manifests/v1", "", a).status, "201 Created");
  ASSERT_EQ(call("PUT", "/v2/team/app/manifests/v2", "", b).status, "201 Created");
  ASSERT_EQ(call("PUT", "/v2/team/app/manifests/latest", "", b).status, "201 Created");
  ASSERT_EQ(call("PUT", "/v2/other/manifests/v1", "", c, {{"REGISTRY_EVENTS", "on"}}).status, "201 Created");
  // An upload under way: begun, one chunk in.
  const CgiResponse started = call("POST", "/v2/other/blobs/uploads/");
  ASSERT_EQ(started.status, "202 Accepted") << started.raw;
  const std::string location = started.header("Location");
  const std::string chunk(1000, 'x');
  ASSERT_EQ(call("PATCH", location.substr(0, location.find('?')), "", chunk).status, "202 Accepted");

  // Within the minute, the recount of the empty tree still stands (made
  // just now, whatever the machine's speed); what is counted now (uploads,
  // events) is current.
  ASSERT_EQ(utime((root + "/metrics/summary").c_str(), nullptr), 0);
  const std::map<std::string, long long> cached = scraped();
  EXPECT_EQ(cached.at("registry_repositories"), 0);
  EXPECT_EQ(cached.at("registry_uploads_in_progress"), 1);
  EXPECT_EQ(cached.at("registry_upload_bytes"), 1000);
  EXPECT_EQ(cached.at("registry_events_pending"), static_cast<long long>(list_names(root + "/events/outbox").size()));
  EXPECT_EQ(cached.at("registry_events_pending"), 1);

  forget_recount();
  const std::map<std::string, long long> s = scraped();
  EXPECT_EQ(s.at("registry_repositories"), 2);
  EXPECT_EQ(s.at("registry_manifests"), 3);
  EXPECT_EQ(s.at("registry_tags"), 4);
  // The three configs; manifests live in their repositories.
  EXPECT_EQ(s.at("registry_blobs"), 3);
  EXPECT_EQ(s.at("registry_recount_age_seconds"), 0);
  EXPECT_EQ(s.at("registry_blob_bytes"), 3 * static_cast<long long>(std::string("{\"n\":\"a\"}").size()));

  ASSERT_EQ(call("DELETE", location.substr(0, location.find('?'))).status, "204 No Content");
  ASSERT_EQ(call("DELETE", "/v2/team/app/manifests/" + digest_string(b)).status, "202 Accepted");
  forget_recount();
  const std::map<std::string, long long> after = scraped();
  EXPECT_EQ(after.at("registry_manifests"), 2);
  EXPECT_EQ(after.at("registry_tags"), 2);  // v2 and latest went with b
  EXPECT_EQ(after.at("registry_uploads_in_progress"), 0);
  EXPECT_EQ(after.at("registry_upload_bytes"), 0);
}

TEST_F(Metrics, AnOldRecountIsMadeAgainAndAFreshOneIsServedAsItIs) {
  scraped();
  const std::string summary = root + "/metrics/summary";
  ASSERT_TRUE(is_file(summary));
  // A fresh recount stands, whatever it says.
  write_bytes(summary, "repositories 7\nmanifests 6\ntags 5\nblobs 4\nblob_bytes 3\n");
  EXPECT_EQ(scraped().at("registry_repositories"), 7);
  // Two minutes old: made again.
  struct utimbuf old {};
  old.actime = old.modtime = time(nullptr) - 120;
  ASSERT_EQ(utime(summary.c_str(), &old), 0);
  const std::map<std::string, long long> s = scraped();
  EXPECT_EQ(s.at("registry_repositories"), 0);
  EXPECT_EQ(s.at("registry_recount_age_seconds"), 0);
  // One that is not whole is made again too.
  write_bytes(summary, "repositories 7\nmanifests");
  EXPECT_EQ(scraped().at("registry_repositories"), 0);
}

// ---- Access ------------------------------------------------------------------------------

class MetricsAccess : public Metrics {
 protected:
  void SetUp() override {
    Metrics::SetUp();
    make_dirs(root + "/auth");
    write_bytes(root + "/auth/htpasswd", "alice:" + kSecretHash + "\nprom:" + kSecretHash + "\n");
    write_bytes(root + "/auth/policy",
                "alice  **                *\n"
                "prom   registry:metrics  *\n");
  }
  std::string token(const std::string& user, const std::string& scope) const {
    const CgiResponse r = call("GET", "", "service=registry&scope=" + scope, "",
                               {{"REGISTRY_AUTH", "token"},
                                {"REQUEST_URI", "/auth/token?service=registry&scope=" + scope},
                                {"HTTP_AUTHORIZATION", user == "alice" ? "Basic YWxpY2U6c2VjcmV0" : "Basic cHJvbTpzZWNyZXQ="}});
    EXPECT_EQ(r.status, "200 OK") << r.raw;
    const size_t at = r.body.find("\"token\":\"") + 9;
    return r.body.substr(at, r.body.find('"', at) - at);
  }
};

TEST_F(MetricsAccess, TokensNeedTheMetricsScopeWhichOnlyThePolicyGrants) {
  const std::map<std::string, std::string> token_mode{{"REGISTRY_AUTH", "token"}};
  const std::string challenge =
      "Bearer realm=\"http://reg.example:5000/auth/token\",service=\"registry\",scope=\"registry:metrics:*\"";
  const CgiResponse none = call("GET", "/metrics", "", "", token_mode);
  EXPECT_EQ(none.status, "401 Unauthorized") << none.raw;
  EXPECT_EQ(none.header("WWW-Authenticate"), challenge);
  // alice may do anything to repositories, but the policy does not name
  // her for metrics: her token comes without the scope.
  const std::string alice = token("alice", "registry:metrics:*");
  const CgiResponse denied = call("GET", "/metrics", "", "", {{"REGISTRY_AUTH", "token"}, {"HTTP_AUTHORIZATION", "Bearer " + alice}});
  EXPECT_EQ(denied.status, "401 Unauthorized") << denied.raw;
  EXPECT_EQ(denied.header("WWW-Authenticate"), challenge + ",error=\"insufficient_scope\"");
  // A scope with fewer actions than all is not granted either.
  const std::string pull_only = token("prom", "registry:metrics:pull");
  EXPECT_EQ(call("GET", "/metrics", "", "", {{"REGISTRY_AUTH", "token"}, {"HTTP_AUTHORIZATION", "Bearer " + pull_only}}).status,
            "401 Unauthorized");
  const std::string prom = token("prom", "registry:metrics:*");
  const CgiResponse allowed = call("GET", "/metrics", "", "", {{"REGISTRY_AUTH", "token"}, {"HTTP_AUTHORIZATION", "Bearer " + prom}});
  EXPECT_EQ(allowed.status, "200 OK") << allowed.raw;
  // The metrics scope names no repository.
  EXPECT_EQ(call("GET", "/v2/app/tags/list", "", "", {{"REGISTRY_AUTH", "token"}, {"HTTP_AUTHORIZATION", "Bearer " + prom}}).status,
            "401 Unauthorized");
  // The refusals were counted too.
  EXPECT_EQ(samples(allowed.body).at(series("metrics", "GET", "401")), 3);
}

TEST_F(MetricsAccess, RemoteUsersNeedAPolicyRuleAndWithoutAccessControlAnyoneMayScrape) {
  struct Case {
    std::map<std::string, std::string> env;
    std::string status;
  };
  const std::vector<Case> cases = {
      {{{"REGISTRY_AUTH", "remote-user"}}, "401 Unauthorized"},
      {{{"REGISTRY_AUTH", "remote-user"}, {"REMOTE_USER", "alice"}}, "403 Forbidden"},
      {{{"REGISTRY_AUTH", "remote-user"}, {"REMOTE_USER", "prom"}}, "200 OK"},
      {{{"REGISTRY_AUTH", "off"}}, "200 OK"},
  };
  for (const Case& c : cases) {
    const CgiResponse r = call("GET", "/metrics", "", "", c.env);
    EXPECT_EQ(r.status, c.status) << r.raw;
  }
  // "anonymous" and "*" rules grant it as they grant anything else.
  write_bytes(root + "/auth/policy", "*  registry:metrics  pull\n");
  EXPECT_EQ(call("GET", "/metrics", "", "", {{"REGISTRY_AUTH", "remote-user"}, {"REMOTE_USER", "alice"}}).status, "200 OK");
  EXPECT_EQ(call("GET", "/metrics", "", "", {{"REGISTRY_AUTH", "remote-user"}}).status, "401 Unauthorized");
  write_bytes(root + "/auth/policy", "anonymous  registry:metrics  pull\n");
  EXPECT_EQ(call("GET", "/metrics", "", "", {{"REGISTRY_AUTH", "remote-user"}}).status, "200 OK");
}

TEST(MetricsPolicy, OnlyTheExactResourceIsAcceptedAndItGrantsNoRepository) {
  struct Case {
    std::string text;
    bool valid;
  };
  for (const Case& c : std::vector<Case>{{"prom registry:metrics *\n", true},
                                         {"prom registry:metrics pull\n", true},
                                         {"prom registry:catalog *\n", false},
                                         {"prom registry:metrics: *\n", false},
                                         {"prom Registry:metrics *\n", false},
                                         {"prom registry:metrics nothing\n", false}}) {
    auth::Policy p;
    std::string why;
    EXPECT_EQ(auth::parse_policy(c.text, &p, &why), c.valid) << c.text << why;
  }
  auth::Policy p;
  std::string why;
  ASSERT_TRUE(auth::parse_policy("prom registry:metrics *\nalice ** *\n", &p, &why)) << why;
  EXPECT_TRUE(auth::may_read_metrics(p, "prom"));
  EXPECT_FALSE(auth::may_read_metrics(p, "alice"));
  EXPECT_FALSE(auth::may_read_metrics(p, ""));
  EXPECT_EQ(auth::allowed_actions(p, "prom", "registry"), 0u);
  EXPECT_FALSE(auth::may_read_metrics(auth::default_policy(), "alice"));
}

// ---- Kills and concurrency ------------------------------------------------------------

TEST_F(Metrics, AKillAtAnyStepOfCountingLosesAtMostThatRequestAndCountsNothingTwice) {
  // Every step of a count in a tree that has no shard yet, then in one
  // that has: the process ended before each step and after it.
  long long answered = 0;
  long long counted = 0;
  for (const char* when : {"", ":after"}) {
    for (int step = 1; step < 16; ++step) {
      const std::string crash = std::to_string(step) + when;
      SCOPED_TRACE(crash);
      remove_tree(root + "/metrics");
      const ProcessResult r = cgi("GET", "/v2/", crash);
      // The answer went before the count: always there, whole.
      EXPECT_EQ(parse_cgi_response(r).status, "200 OK") << r.out;
      const std::map<std::string, long long> s = scraped();
      const long long n = value_of(s, series("base", "GET", "200"));
      EXPECT_LE(n, 1);
      answered += 1;
      counted += n;
      if (!killed(r)) {
        EXPECT_EQ(n, 1);
        break;
      }
      // Counted once it is written, never half: the next request adds one.
      ASSERT_EQ(call("GET", "/v2/").status, "200 OK");
      EXPECT_EQ(scraped().at(series("base", "GET", "200")), n + 1);
    }
  }
  EXPECT_GT(answered, counted) << "some step came before the count";
  EXPECT_GT(counted, 0) << "some step came after it";
}

TEST_F(Metrics, AShardThatIsNotWholeStartsAgainAndTheOthersStand) {
  for (int i = 0; i < 20; ++i) ASSERT_EQ(call("GET", "/v2/").status, "200 OK");
  const std::vector<std::string> shards = list_names(root + "/metrics/requests");
  ASSERT_FALSE(shards.empty());
  // A power cut that tore a write: the shard's end line is gone.
  const std::string torn = root + "/metrics/requests/" + shards[0];
  std::string text = read_bytes(torn);
  const long long lost = value_of(samples(text.substr(0, text.rfind("end\n"))), series("base", "GET", "200"));
  write_bytes(torn, text.substr(0, text.size() - 2) + "garbage that was longer than the shard\n");
  // (A FastCGI responder counts into one shard: then nothing is left.)
  const long long left = value_of(scraped(), series("base", "GET", "200"));
  EXPECT_EQ(left, 20 - lost);
  // The next count into it starts it again, whole.
  const std::string path = "/v2/";
  for (int i = 0; i < 40; ++i) call("GET", path);
  EXPECT_EQ(scraped().at(series("base", "GET", "200")), left + 40);
}

TEST_F(Metrics, ManyProcessesCountingAndScrapingAtOnceMissNothing) {
  constexpr int kWorkers = 4;
  constexpr int kEach = 40;
  // The first request starts a FastCGI responder, before the workers share it.
  ASSERT_EQ(call("GET", "/v2/").status, "200 OK");
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([this, w] {
      for (int i = 0; i < kEach; ++i) {
        // One worker scrapes between its requests: folds meet recordings.
        if (w == 0 && i % 4 == 0) call("GET", "/metrics");
        call("GET", "/v2/");
      }
    });
  }
  for (std::thread& t : workers) t.join();
  const std::map<std::string, long long> s = scraped();
  EXPECT_EQ(s.at(series("base", "GET", "200")), kWorkers * kEach + 1);
  EXPECT_EQ(s.at(series("metrics", "GET", "200")), kEach / 4);
}

// ---- Prometheus reads it --------------------------------------------------------------

TEST_F(Metrics, PromtoolChecksTheAnswer) {
  const char* promtool = "/usr/bin/promtool";
  if (!is_file(promtool)) GTEST_SKIP() << "promtool missing: scripts/setup --clients installs Debian's prometheus";
  call("GET", "/v2/");
  call("PUT", "/v2/app/manifests/v1", "", "{}");
  call("BREW", "/v2/");
  scraped();
  const CgiResponse r = scrape();
  const ProcessResult check = run_program(promtool, {"check", "metrics"}, {}, work, r.body);
  EXPECT_EQ(check.exit_code, 0) << check.out << check.err << "\n" << r.body;
  EXPECT_EQ(check.out + check.err, "");
}

}  // namespace
