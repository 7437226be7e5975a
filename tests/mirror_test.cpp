// registry-mirror behind lighttpd, mirroring real registries on loopback:
// Debian's docker-registry with htpasswd Basic auth, this registry with
// tokens on, and a registry that misbehaves on purpose (cut mid-blob,
// wrong bytes). skopeo pulls through the mirror; what it pulls is compared
// byte for byte with what was pushed upstream; upstream's own logs tell
// how often it was asked for each blob.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/cgi_response.h"
#include "support/registry_runner.h"
#include "support/test_support.h"
#include "support/web_servers.h"

using namespace testing_support;

namespace {

const std::string kMirror = MIRROR_PATH;
const std::string kRegistry = REGISTRY_PATH;
const std::string kAdmin = REGISTRY_ADMIN_PATH;
const std::string kSource = SOURCE_DIR;

std::string skopeo() { return find_program({"/usr/bin/skopeo"}); }
std::string curl() { return find_program({"/usr/bin/curl"}); }
std::string peer() { return find_program({"/usr/bin/docker-registry"}); }

// Waits for a port to listen, a minute at most: a bound for a server that
// never starts.
bool wait_port(int port, pid_t pid) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < give_up) {
    const ProcessResult r = run_program(curl(), {"-s", "-o", "/dev/null", "http://127.0.0.1:" + std::to_string(port) + "/v2/"},
                                        {{"PATH", "/usr/bin:/bin"}}, "/");
    if (r.exit_code == 0) return true;
    if (waitpid(pid, nullptr, WNOHANG) == pid) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

// A process started here, stopped by its id when the test ends.
struct Started {
  pid_t pid = -1;
  int port = 0;
  std::string log;
  void stop() {
    if (pid > 0) stop_daemon(pid);
    pid = -1;
  }
  ~Started() { stop(); }
};

// Lines of a log that hold every one of the parts.
int count_lines(const std::string& log, const std::vector<std::string>& parts) {
  int n = 0;
  size_t at = 0;
  while (at < log.size()) {
    size_t end = log.find('\n', at);
    if (end == std::string::npos) end = log.size();
    const std::string line = log.substr(at, end - at);
    bool all = true;
    for (const std::string& p : parts) all = all && line.find(p) != std::string::npos;
    n += all ? 1 : 0;
    at = end + 1;
  }
  return n;
}

class Mirror : public ::testing::Test {
 protected:
  void SetUp() override {
    if (skopeo().empty() || curl().empty()) GTEST_SKIP() << "skopeo or curl is not installed (scripts/setup --clients)";
    home = tmp / "home";
  }

  // Debian's docker-registry, with users from htpasswd -B; its access log
  // (one line a request) in its log.
  void start_peer(Started* p, bool basic_auth) {
    if (peer().empty()) GTEST_SKIP() << "docker-registry is not installed (scripts/setup --bench)";
    const std::string dir = tmp / "peer";
    make_dirs(dir + "/storage");
    p->port = free_loopback_port();
    p->log = dir + "/log";
    std::string auth;
    if (basic_auth) {
      const ProcessResult r = run_program(find_program({"/usr/bin/htpasswd"}),
                                          {"-b", "-B", "-C", "5", "-c", dir + "/htpasswd", "alice", "alice-pw"},
                                          {{"PATH", "/usr/bin:/bin"}}, dir);
      ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
      auth = "auth:\n  htpasswd:\n    realm: peer\n    path: " + dir + "/htpasswd\n";
    }
    write_bytes(dir + "/config.yml", "version: 0.1\nlog:\n  level: info\nstorage:\n  filesystem:\n    rootdirectory: " +
                                         dir + "/storage\n" + auth + "http:\n  addr: 127.0.0.1:" +
                                         std::to_string(p->port) + "\n");
    p->pid = start_logged({peer(), "serve", dir + "/config.yml"}, p->log);
    ASSERT_TRUE(wait_port(p->port, p->pid)) << read_bytes(p->log);
  }

  // The misbehaving upstream, serving the layout in the mode given.
  void start_faulty(Started* p, const std::string& layout, const std::string& mode) {
    if (p->port == 0) p->port = free_loopback_port();
    p->log = tmp / ("faulty-" + mode + ".log");
    p->pid = start_logged({"/usr/bin/python3", kSource + "/tests/support/fault_upstream.py", std::to_string(p->port),
                           layout, mode},
                          p->log);
    ASSERT_TRUE(wait_port(p->port, p->pid)) << read_bytes(p->log);
  }

  // registry-mirror behind lighttpd, configured by config.json (which is
  // read at every request, so a test may change it between requests).
  void start_mirror(const std::string& config, const std::string& dir = "mirror") {
    mirror_dir = tmp / dir;
    mirror = std::make_unique<RegistryServer>(WebServer::kLighttpd, mirror_dir, kMirror);
    std::string why;
    if (!mirror->start(&why)) GTEST_SKIP() << why;
    configure_mirror(config);
  }
  void configure_mirror(const std::string& config) { write_bytes(mirror_dir + "/config.json", config); }

  ProcessResult push(const std::string& layout, const std::string& to, const std::string& creds = "") {
    std::vector<std::string> argv{skopeo(), "--insecure-policy", "copy", "--preserve-digests", "--dest-tls-verify=false"};
    if (!creds.empty()) argv.push_back("--dest-creds=" + creds);
    argv.push_back("oci:" + layout + ":latest");
    argv.push_back("docker://" + to);
    return run_client(argv, home);
  }
  ProcessResult pull(const std::string& ref, const std::string& layout) {
    return run_client({skopeo(), "--insecure-policy", "copy", "--src-tls-verify=false",
                       "docker://" + mirror->address() + "/" + ref, "oci:" + layout + ":latest"},
                      home);
  }
  // The status line's code and the body of a request to the mirror.
  ProcessResult request(const std::string& method, const std::string& path) {
    std::vector<std::string> argv{curl(), "-s", "-X", method, "-w", "\n%{http_code}", "http://" + mirror->address() + path};
    if (method == "POST") argv.insert(argv.begin() + 1, {"--data-binary", ""});
    return run_client(argv, home, 60);
  }
  // Blob files the mirror stores, and uploads it has under way.
  std::vector<std::string> stored_blobs() {
    std::vector<std::string> out;
    const std::string sha = mirror->storage() + "/blobs/sha256";
    if (!is_dir(sha)) return out;
    for (const std::string& prefix : list_names(sha)) {
      for (const std::string& name : list_names(sha + "/" + prefix)) out.push_back("sha256:" + name);
    }
    return out;
  }
  bool stores(const std::string& digest) {
    const std::vector<std::string> blobs = stored_blobs();
    return std::find(blobs.begin(), blobs.end(), digest) != blobs.end();
  }
  size_t uploads_under_way() {
    const std::string dir = mirror->storage() + "/uploads";
    return is_dir(dir) ? list_names(dir).size() : 0;
  }

  TempDir tmp;
  std::string home;
  std::string mirror_dir;
  std::unique_ptr<RegistryServer> mirror;
};

std::string whole_mirror_of(int port, const std::string& extra = "") {
  return "{\"mirror_upstream\": \"http://127.0.0.1:" + std::to_string(port) + "\"" + extra + "}\n";
}

// The largest blob of a layout: its layer.
std::string largest_blob(const std::string& layout) {
  std::string best;
  size_t size = 0;
  for (const std::string& name : list_names(layout + "/blobs/sha256")) {
    const size_t n = read_bytes(layout + "/blobs/sha256/" + name).size();
    if (n > size) {
      size = n;
      best = "sha256:" + name;
    }
  }
  return best;
}

TEST_F(Mirror, SkopeoPullsThroughAWholeRegistryMirrorOfABasicAuthPeerAndKeepsServingWhenItIsDown) {
  Started up;
  start_peer(&up, true);
  make_image(tmp / "image", {"--layers", "3", "--layer-bytes", "300000", "--seed", "41"});
  ASSERT_EQ(push(tmp / "image", "127.0.0.1:" + std::to_string(up.port) + "/library/demo:v1", "alice:alice-pw").exit_code, 0);
  start_mirror(whole_mirror_of(up.port, ", \"mirror_username\": \"alice\", \"mirror_password\": \"alice-pw\""));

  const ProcessResult cold = pull("library/demo:v1", tmp / "cold");
  ASSERT_EQ(cold.exit_code, 0) << cold.out << read_bytes(mirror->log());
  EXPECT_EQ(layout_blobs(tmp / "cold"), layout_blobs(tmp / "image")) << "every blob and manifest byte for byte";

  // Without credentials upstream refuses the mirror, which says so.
  configure_mirror(whole_mirror_of(up.port));
  const ProcessResult refused = request("GET", "/v2/library/other/manifests/v1");
  EXPECT_NE(refused.out.find("UNAVAILABLE"), std::string::npos) << refused.out;
  EXPECT_NE(refused.out.find("credentials"), std::string::npos) << refused.out;

  // Upstream gone: the stored tag and its content are still served; what
  // was never fetched is a clear, retryable error.
  up.stop();
  const ProcessResult warm = pull("library/demo:v1", tmp / "warm");
  ASSERT_EQ(warm.exit_code, 0) << warm.out << read_bytes(mirror->log());
  EXPECT_EQ(layout_blobs(tmp / "warm"), layout_blobs(tmp / "image"));
  const ProcessResult missing = request("GET", "/v2/library/demo/manifests/v2");
  EXPECT_NE(missing.out.find("UNAVAILABLE"), std::string::npos) << missing.out;
  EXPECT_EQ(missing.out.substr(missing.out.size() - 3), "503");

  // A mirrored repository takes no pushes.
  const ProcessResult pushed = request("POST", "/v2/library/demo/blobs/uploads/");
  EXPECT_NE(pushed.out.find("DENIED"), std::string::npos) << pushed.out;
  EXPECT_EQ(pushed.out.substr(pushed.out.size() - 3), "403");
}

TEST_F(Mirror, TwoPrefixesMirrorThisRegistryWithTokensOnAndABasicAuthPeerAndLeaveOtherRepositoriesItsOwn) {
  // Upstream: the plain registry program behind lighttpd, tokens on.
  RegistryServer upstream(WebServer::kLighttpd, tmp / "upstream", kRegistry);
  make_dirs(tmp / "upstream");
  write_bytes(tmp / "upstream/config.json", "{\"auth\": \"token\"}\n");
  std::string why;
  if (!upstream.start(&why)) GTEST_SKIP() << why;
  const ProcessResult add = run_program(kAdmin, {"--root", upstream.storage(), "user", "add", "carol", "--cost", "5"},
                                        {{"PATH", "/usr/bin:/bin"}}, tmp.path(), "carol-pw\n");
  ASSERT_EQ(add.exit_code, 0) << add.err;
  write_bytes(upstream.storage() + "/auth/policy", "carol team/** pull,push\n");
  make_image(tmp / "image", {"--layers", "2", "--layer-bytes", "200000", "--seed", "42"});
  ASSERT_EQ(push(tmp / "image", upstream.address() + "/team/app:v1", "carol:carol-pw").exit_code, 0);

  // A second upstream under a prefix of its own: docker-registry, with
  // other credentials.
  Started peer_up;
  start_peer(&peer_up, true);
  make_image(tmp / "other", {"--layers", "1", "--layer-bytes", "100000", "--seed", "43"});
  ASSERT_EQ(push(tmp / "other", "127.0.0.1:" + std::to_string(peer_up.port) + "/library/tool:v2", "alice:alice-pw")
                .exit_code,
            0);

  start_mirror(R"({"mirrors": [{"upstream": "http://)" + upstream.address() +
               R"(", "prefix": "hub/", "username": "carol", "password": "carol-pw"},
                               {"upstream": "http://127.0.0.1:)" + std::to_string(peer_up.port) +
               R"(", "prefix": "peer/", "username": "alice", "password": "alice-pw"}]})");
  const ProcessResult pulled = pull("hub/team/app:v1", tmp / "pulled");
  ASSERT_EQ(pulled.exit_code, 0) << pulled.out << read_bytes(mirror->log());
  EXPECT_EQ(layout_blobs(tmp / "pulled"), layout_blobs(tmp / "image"));
  const ProcessResult tool = pull("peer/library/tool:v2", tmp / "tool");
  ASSERT_EQ(tool.exit_code, 0) << tool.out << read_bytes(mirror->log());
  EXPECT_EQ(layout_blobs(tmp / "tool"), layout_blobs(tmp / "other"));
  // Each name is asked of its own upstream only.
  EXPECT_EQ(count_lines(read_bytes(peer_up.log), {"team/app"}), 0);
  EXPECT_GT(count_lines(read_bytes(peer_up.log), {"/v2/library/tool/manifests/v2"}), 0);

  // What upstream does not hold is unknown here too.
  const ProcessResult unknown = request("GET", "/v2/hub/team/none/manifests/v1");
  EXPECT_NE(unknown.out.find("MANIFEST_UNKNOWN"), std::string::npos) << unknown.out;

  // The token upstream gave is kept in the tree, readable by its owner
  // only, and every later process of the mirror uses it: with the
  // password now wrong, a new image of the same repository still comes
  // (no new token is asked for), one of another repository does not.
  const std::string tokens = mirror->storage() + "/mirror/tokens";
  ASSERT_TRUE(is_dir(tokens));
  for (const std::string& name : list_names(tokens)) {
    struct stat st {};
    ASSERT_EQ(stat((tokens + "/" + name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
  }
  make_image(tmp / "image2", {"--layers", "1", "--layer-bytes", "50000", "--seed", "44"});
  ASSERT_EQ(push(tmp / "image2", upstream.address() + "/team/app:v2", "carol:carol-pw").exit_code, 0);
  ASSERT_EQ(push(tmp / "image2", upstream.address() + "/team/other:v1", "carol:carol-pw").exit_code, 0);
  configure_mirror(R"({"mirrors": [{"upstream": "http://)" + upstream.address() +
                   R"(", "prefix": "hub/", "username": "carol", "password": "wrong"}]})");
  const ProcessResult kept = pull("hub/team/app:v2", tmp / "kept");
  ASSERT_EQ(kept.exit_code, 0) << kept.out << read_bytes(mirror->log());
  EXPECT_EQ(layout_blobs(tmp / "kept"), layout_blobs(tmp / "image2"));
  const ProcessResult other = request("GET", "/v2/hub/team/other/manifests/v1");
  EXPECT_NE(other.out.find("UNAVAILABLE"), std::string::npos) << other.out;

  // Outside the prefix the registry is an ordinary one: pushes work, and
  // nothing is asked of upstream.
  EXPECT_EQ(push(tmp / "image", mirror->address() + "/local/app:v1").exit_code, 0);
  const ProcessResult local = pull("local/app:v1", tmp / "local");
  ASSERT_EQ(local.exit_code, 0) << local.out;
  EXPECT_EQ(layout_blobs(tmp / "local"), layout_blobs(tmp / "image"));
  const ProcessResult denied = request("DELETE", "/v2/hub/team/app/manifests/v1");
  EXPECT_NE(denied.out.find("DENIED"), std::string::npos) << denied.out;
}

TEST_F(Mirror, TwentyConcurrentPullsOfANewImageFetchEachBlobFromUpstreamOnce) {
  Started up;
  start_peer(&up, false);
  const std::string manifest = make_image(tmp / "image", {"--layers", "3", "--layer-bytes", "2000000", "--seed", "43"});
  ASSERT_EQ(push(tmp / "image", "127.0.0.1:" + std::to_string(up.port) + "/library/busy:v1").exit_code, 0);
  const std::string before = read_bytes(up.log);
  start_mirror(whole_mirror_of(up.port));

  constexpr int kPulls = 20;
  std::vector<ProcessResult> results(kPulls);
  std::vector<std::thread> pullers;
  for (int i = 0; i < kPulls; ++i) {
    pullers.emplace_back([&, i] { results[i] = pull("library/busy:v1", tmp / ("pull-" + std::to_string(i))); });
  }
  for (std::thread& t : pullers) t.join();
  for (int i = 0; i < kPulls; ++i) {
    ASSERT_EQ(results[i].exit_code, 0) << results[i].out << read_bytes(mirror->log());
    EXPECT_EQ(layout_blobs(tmp / ("pull-" + std::to_string(i))), layout_blobs(tmp / "image"));
  }
  const std::string log = read_bytes(up.log).substr(before.size());
  for (const std::string& name : list_names(tmp / "image/blobs/sha256")) {
    if ("sha256:" + name == manifest) continue;  // fetched as a manifest
    const std::string path = "/v2/library/busy/blobs/sha256:" + name;
    // docker-registry's line for each request it answered.
    EXPECT_EQ(count_lines(log, {"msg=\"response completed\"", "http.request.method=GET ",
                                "http.request.uri=\"" + path + "\"", "http.response.status=200 "}),
              1)
        << path << "\n" << log;
  }
}

TEST_F(Mirror, ATagMovedUpstreamIsSeenOnceItsTimeToLiveHasPassedAndNotBefore) {
  Started up;
  start_peer(&up, false);
  const std::string to = "127.0.0.1:" + std::to_string(up.port) + "/library/moving:v1";
  make_image(tmp / "first", {"--layers", "1", "--layer-bytes", "1000", "--seed", "44"});
  make_image(tmp / "second", {"--layers", "1", "--layer-bytes", "1000", "--seed", "45"});
  ASSERT_EQ(push(tmp / "first", to).exit_code, 0);
  start_mirror(whole_mirror_of(up.port, ", \"mirror_tag_ttl\": \"3600\""));
  auto served_digest = [&] {
    const ProcessResult r = run_client({curl(), "-s", "-I", "http://" + mirror->address() + "/v2/library/moving/manifests/v1"}, home, 60);
    const size_t at = r.out.find("Docker-Content-Digest: ");
    return at == std::string::npos ? r.out : r.out.substr(at + 23, 71);
  };
  const std::string first = served_digest();
  ASSERT_EQ(first.rfind("sha256:", 0), 0u) << first;
  ASSERT_EQ(push(tmp / "second", to).exit_code, 0);
  EXPECT_EQ(served_digest(), first) << "within its time to live the stored tag is served";
  configure_mirror(whole_mirror_of(up.port, ", \"mirror_tag_ttl\": \"0\""));
  const std::string second = served_digest();
  EXPECT_NE(second, first) << "past it, upstream's tag";
  EXPECT_EQ(second.rfind("sha256:", 0), 0u) << second;
}

// Referrers through the mirror, from an upstream with the referrers API
// (this registry) and from one without it (Debian's docker-registry,
// where oras keeps them in the index tagged <alg>-<hex>): oras discover
// through the mirror lists what was attached upstream, and still does
// from what the mirror stored once upstream is gone.
TEST_F(Mirror, OrasDiscoversReferrersThroughTheMirrorFromEitherKindOfUpstreamAndFromTheTreeOnceItIsGone) {
  const std::string oras = find_program({"/usr/bin/oras"});
  if (oras.empty()) GTEST_SKIP() << "oras is not installed (scripts/setup --clients)";
  // The referrers' digests oras lists for subject (name@digest at host).
  auto discover = [&](const std::string& host, const std::string& subject) {
    const ProcessResult r = run_client({oras, "discover", "--plain-http", "--format", "json", host + "/" + subject}, home, 120);
    std::vector<std::string> out;
    for (size_t at = r.out.find("\"digest\""); at != std::string::npos; at = r.out.find("\"digest\"", at + 1)) {
      const size_t d = r.out.find("sha256:", at);
      if (d != std::string::npos) out.push_back(r.out.substr(d, 71));
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    if (r.exit_code != 0) out.push_back("failed: " + r.out + r.err);
    return out;
  };
  struct Case {
    const char* upstream;
    bool referrers_api;
    const char* seed;
  };
  for (const Case& k : {Case{"this registry", true, "46"}, Case{"docker-registry", false, "47"}}) {
    SCOPED_TRACE(k.upstream);
    const std::string dir = tmp / (k.referrers_api ? "with-api" : "without-api");
    make_dirs(dir);
    Started peer_up;
    std::unique_ptr<RegistryServer> own;
    std::string host;
    if (k.referrers_api) {
      own = std::make_unique<RegistryServer>(WebServer::kLighttpd, dir + "/upstream", kRegistry);
      std::string why;
      if (!own->start(&why)) GTEST_SKIP() << why;
      host = own->address();
    } else {
      start_peer(&peer_up, false);
      host = "127.0.0.1:" + std::to_string(peer_up.port);
    }
    const std::string subject = make_image(dir + "/image", {"--layers", "1", "--layer-bytes", "1000", "--seed", k.seed});
    ASSERT_EQ(push(dir + "/image", host + "/team/signed:v1").exit_code, 0);
    write_bytes(dir + "/sig.txt", "signature bytes\n");
    write_bytes(dir + "/sbom.txt", "sbom bytes\n");
    for (const char* type : {"application/vnd.example.sig", "application/vnd.example.sbom"}) {
      const std::string file = std::string(type).find("sig") != std::string::npos ? "sig.txt" : "sbom.txt";
      const ProcessResult a = run_client({oras, "attach", "--plain-http", "--artifact-type", type,
                                          host + "/team/signed@" + subject, file}, dir, 120);
      ASSERT_EQ(a.exit_code, 0) << a.out << a.err;
    }
    const std::vector<std::string> upstream_lists = discover(host, "team/signed@" + subject);
    ASSERT_EQ(upstream_lists.size(), 2u) << ::testing::PrintToString(upstream_lists);

    start_mirror(whole_mirror_of(std::stoi(host.substr(host.rfind(':') + 1)), ", \"mirror_tag_ttl\": \"3600\""),
                 k.referrers_api ? "mirror-with-api" : "mirror-without-api");
    EXPECT_EQ(discover(mirror->address(), "team/signed@" + subject), upstream_lists) << read_bytes(mirror->log());
    // The artifacts themselves come through too.
    const ProcessResult fetched = run_client(
        {oras, "pull", "--plain-http", "-o", dir + "/pulled", mirror->address() + "/team/signed@" + upstream_lists[0]},
        home, 120);
    EXPECT_EQ(fetched.exit_code, 0) << fetched.out << fetched.err;

    if (own) own->stop();
    peer_up.stop();
    EXPECT_EQ(discover(mirror->address(), "team/signed@" + subject), upstream_lists) << "served from the tree";
    mirror.reset();
  }
}

// gc --mirror-unpulled-for: what was pulled within the age stays; a
// mirrored image nobody pulled for longer loses its manifests and tags,
// the sweep frees its blobs, and the next pull fetches it again whole.
// The stamps are aged by setting their times, not by waiting.
TEST_F(Mirror, GcDropsMirroredImagesNotPulledForTheAgeGivenAndKeepsTheOthers) {
  Started up;
  start_peer(&up, false);
  const std::string host = "127.0.0.1:" + std::to_string(up.port);
  make_image(tmp / "old", {"--layers", "2", "--layer-bytes", "5000", "--seed", "48"});
  make_image(tmp / "fresh", {"--layers", "1", "--layer-bytes", "5000", "--seed", "49"});
  ASSERT_EQ(push(tmp / "old", host + "/library/old:v1").exit_code, 0);
  ASSERT_EQ(push(tmp / "fresh", host + "/library/fresh:v1").exit_code, 0);
  start_mirror(whole_mirror_of(up.port));
  ASSERT_EQ(pull("library/old:v1", tmp / "old-1").exit_code, 0) << read_bytes(mirror->log());
  ASSERT_EQ(pull("library/fresh:v1", tmp / "fresh-1").exit_code, 0) << read_bytes(mirror->log());
  const std::vector<std::string> old_blobs = layout_blobs(tmp / "old");
  const std::vector<std::string> stored_before = stored_blobs();
  auto stored_of = [&](const std::string& layout) {
    std::vector<std::string> out;
    for (const std::string& d : layout_blobs(layout)) {
      if (std::find(stored_before.begin(), stored_before.end(), d) != stored_before.end()) out.push_back(d);
    }
    return out;
  };
  ASSERT_FALSE(stored_of(tmp / "old").empty());

  auto gc = [&](const std::vector<std::string>& extra) {
    std::vector<std::string> argv{"--root", mirror->storage(), "gc", "--grace", "1h", "--mirror-unpulled-for", "1h"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return run_program(kAdmin, argv, {{"PATH", "/usr/bin:/bin"}}, tmp.path());
  };
  // Pulled just now: nothing goes.
  ProcessResult r = gc({});
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("mirror: removed 0 manifests, not pulled for 1h"), std::string::npos) << r.out;
  EXPECT_EQ(stored_blobs().size(), stored_before.size());

  // Two hours on: everything was stored two hours ago, and library/fresh
  // pulled again since.
  auto set_times = [&](const std::string& dir, const std::string& when) {
    const ProcessResult touched =
        run_program(find_program({"/usr/bin/find"}), {dir, "-exec", "touch", "-d", when, "{}", "+"},
                    {{"PATH", "/usr/bin:/bin"}}, tmp.path());
    ASSERT_EQ(touched.exit_code, 0) << touched.err;
  };
  set_times(mirror->storage(), "2 hours ago");
  set_times(mirror->storage() + "/mirror/pulled/library/fresh", "now");
  r = gc({"--dry-run", "--json"});
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("\"mirror_unpulled\":1,"), std::string::npos) << r.out;
  EXPECT_EQ(stored_blobs().size(), stored_before.size()) << "a dry run removes nothing";
  r = gc({});
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_NE(r.out.find("mirror: removed 1 manifest, not pulled for 1h"), std::string::npos) << r.out;
  for (const std::string& digest : stored_of(tmp / "old")) EXPECT_FALSE(stores(digest)) << digest;
  for (const std::string& digest : stored_of(tmp / "fresh")) EXPECT_TRUE(stores(digest)) << digest;

  // Upstream gone: the image pulled within the hour is still served whole.
  up.stop();
  const ProcessResult kept = pull("library/fresh:v1", tmp / "fresh-2");
  ASSERT_EQ(kept.exit_code, 0) << kept.out << read_bytes(mirror->log());
  EXPECT_EQ(layout_blobs(tmp / "fresh-2"), layout_blobs(tmp / "fresh"));
  // Upstream back: the dropped image is fetched again, byte for byte.
  start_peer(&up, false);
  configure_mirror(whole_mirror_of(up.port));
  const ProcessResult again = pull("library/old:v1", tmp / "old-2");
  ASSERT_EQ(again.exit_code, 0) << again.out << read_bytes(mirror->log());
  EXPECT_EQ(layout_blobs(tmp / "old-2"), old_blobs);
}

// podman and containerd configured as their users configure a mirror:
// registries.conf's [[registry.mirror]], and a hosts.toml beside
// containerd's certificates. Every blob they get comes through the mirror,
// which holds each byte for byte, and upstream sees no request of theirs.
TEST_F(Mirror, PodmanAndContainerdPullThroughTheMirrorAsTheirUsersConfigureOne) {
  Started up;
  start_peer(&up, false);
  const std::string upstream = "127.0.0.1:" + std::to_string(up.port);
  const std::string manifest = make_image(tmp / "image", {"--layers", "2", "--layer-bytes", "200000", "--seed", "47"});
  ASSERT_EQ(push(tmp / "image", upstream + "/library/demo:v1").exit_code, 0);
  const std::string pushed_log = read_bytes(up.log);
  start_mirror(whole_mirror_of(up.port));
  int clients = 0;

  const std::string podman = find_program({"/usr/bin/podman"});
  if (!podman.empty()) {
    ++clients;
    const std::string root = tmp / "podman";
    make_dirs(root);
    write_bytes(root + "/registries.conf", "[[registry]]\nlocation = \"" + upstream +
                                               "\"\n\n[[registry.mirror]]\nlocation = \"" + mirror->address() +
                                               "\"\ninsecure = true\n");
    const ProcessResult r = run_client({podman, "--root", root + "/root", "--runroot", root + "/run", "--storage-driver",
                                        "vfs", "pull", upstream + "/library/demo:v1"},
                                       home, 180, {{"CONTAINERS_REGISTRIES_CONF", root + "/registries.conf"}});
    EXPECT_EQ(r.exit_code, 0) << r.out << read_bytes(mirror->log());
  }

  const std::string containerd = find_program({"/usr/bin/containerd"});
  const std::string ctr = find_program({"/usr/bin/ctr"});
  if (!containerd.empty() && !ctr.empty()) {
    ++clients;
    const std::string d = tmp / "containerd";
    make_dirs(d + "/certs.d/" + upstream);
    write_bytes(d + "/certs.d/" + upstream + "/hosts.toml",
                "server = \"http://" + upstream + "\"\n\n[host.\"http://" + mirror->address() +
                    "\"]\n  capabilities = [\"pull\", \"resolve\"]\n");
    const std::string sock = d + "/sock";
    Started daemon;
    daemon.pid = start_logged({containerd, "--root", d + "/root", "--state", d + "/state", "--address", sock}, d + "/log");
    wait_for_socket(sock);
    const ProcessResult r = run_client({ctr, "--address", sock, "images", "pull", "--hosts-dir", d + "/certs.d",
                                        upstream + "/library/demo:v1"},
                                       home);
    EXPECT_EQ(r.exit_code, 0) << r.out << read_bytes(mirror->log());
  }
  if (clients == 0) GTEST_SKIP() << "neither podman nor containerd is installed (scripts/setup --clients)";

  for (const std::string& name : list_names(tmp / "image/blobs/sha256")) {
    if ("sha256:" + name != manifest) {
      EXPECT_TRUE(stores("sha256:" + name)) << name;
    }
  }
  for (const std::string& digest : stored_blobs()) {
    const std::string name = digest.substr(7);
    EXPECT_EQ(read_bytes(mirror->storage() + "/blobs/sha256/" + name.substr(0, 2) + "/" + name),
              read_bytes(tmp / "image/blobs/sha256/" + name))
        << digest;
  }
  const std::string log = read_bytes(up.log).substr(pushed_log.size());
  EXPECT_EQ(count_lines(log, {"msg=\"response completed\"", "/blobs/"}),
            count_lines(log, {"msg=\"response completed\"", "/blobs/", "useragent=registry-mirror"}))
      << "only the mirror asked upstream for blobs\n" << log;
}

// Upstream failing mid-blob or sending other bytes: the client's answer
// falls short, nothing is stored, and once upstream is right the next
// pull works.
TEST_F(Mirror, ABlobCutShortOrWrongUpstreamIsRefusedWithNothingStoredAndTheNextPullWorks) {
  int seed = 46;
  for (const std::string mode : {"cut", "wrong"}) {
    SCOPED_TRACE(mode);
    const std::string image = tmp / ("image-" + mode);
    make_image(image, {"--layers", "1", "--layer-bytes", "500000", "--seed", std::to_string(seed++)});
    const std::string layer = largest_blob(image);
    Started up;
    start_faulty(&up, image, mode);
    if (!mirror) start_mirror(whole_mirror_of(up.port));
    configure_mirror(whole_mirror_of(up.port));
    const std::string out = tmp / ("got-" + mode);
    const ProcessResult r = run_client({curl(), "-s", "-f", "-o", out, "http://" + mirror->address() + "/v2/library/demo/blobs/" + layer}, home, 60);
    EXPECT_NE(r.exit_code, 0) << "the client sees the failure";
    EXPECT_NE(digest_string(read_bytes(out)), layer) << "never the whole blob";
    EXPECT_FALSE(stores(layer));
    EXPECT_EQ(uploads_under_way(), 0u);
    EXPECT_NE(read_bytes(mirror->log()).find(mode == std::string("cut") ? "did not arrive whole" : "refused"),
              std::string::npos) << read_bytes(mirror->log());
    up.stop();
    Started good;
    good.port = up.port;
    start_faulty(&good, image, "good");
    const ProcessResult again = run_client({curl(), "-s", "-f", "-o", out, "http://" + mirror->address() + "/v2/library/demo/blobs/" + layer}, home, 60);
    EXPECT_EQ(again.exit_code, 0) << again.out;
    EXPECT_EQ(digest_string(read_bytes(out)), layer);
    EXPECT_TRUE(stores(layer));
  }
}

// A referrers list upstream gives in pages: every page is read, by the
// Link each names, and only pages on upstream itself.
TEST_F(Mirror, ReferrersListedOnSeveralPagesUpstreamAreAllFetchedAndALinkElsewhereIsNotFollowed) {
  make_image(tmp / "image", {"--layers", "1", "--layer-bytes", "2000", "--seed", "49"});
  const std::string index = read_bytes(tmp / "image/index.json");
  const size_t at = index.find("sha256:");
  ASSERT_NE(at, std::string::npos) << index;
  const std::string subject = index.substr(at, 71);
  struct Case {
    std::string mode;
    int listed;
    std::string log;
  };
  for (const Case& c : {Case{"paged", 3, ""}, Case{"astray", 2, "next page is not its own: http://127.0.0.2:9/v2/"}}) {
    SCOPED_TRACE(c.mode);
    Started up;
    start_faulty(&up, tmp / "image", c.mode);
    start_mirror(whole_mirror_of(up.port), "mirror-" + c.mode);
    const ProcessResult r = request("GET", "/v2/library/demo/referrers/" + subject);
    EXPECT_EQ(r.out.substr(r.out.size() - 3), "200") << r.out;
    for (int i = 0; i < 3; ++i) {
      const bool listed = r.out.find("application/vnd.example.note." + std::to_string(i)) != std::string::npos;
      EXPECT_EQ(listed, i < c.listed) << i << "\n" << r.out << read_bytes(mirror->log());
    }
    EXPECT_EQ(count_lines(read_bytes(up.log), {"/referrers/"}), c.listed) << read_bytes(up.log);
    if (!c.log.empty()) {
      EXPECT_NE(read_bytes(mirror->log()).find(c.log), std::string::npos) << read_bytes(mirror->log());
    }
    mirror.reset();
  }
}

// Upstream's refusals as the registry's own errors, its Retry-After kept.
TEST_F(Mirror, UpstreamBusyOrBrokenIsARetryableErrorWithItsRetryAfter) {
  make_image(tmp / "image", {"--layers", "1", "--layer-bytes", "2000", "--seed", "48"});
  const std::string layer = largest_blob(tmp / "image");
  struct Case {
    std::string mode;
    std::string status;
    std::string code;
    std::string retry_after;
  };
  const Case cases[] = {{"busy", "429", "TOOMANYREQUESTS", "Retry-After: 7"},
                        {"broken", "503", "UNAVAILABLE", "Retry-After: 9"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    Started up;
    start_faulty(&up, tmp / "image", c.mode);
    if (!mirror) start_mirror(whole_mirror_of(up.port));
    configure_mirror(whole_mirror_of(up.port));
    for (const std::string& path : {std::string("/v2/library/demo/manifests/v1"), "/v2/library/demo/blobs/" + layer}) {
      const ProcessResult r = run_client({curl(), "-s", "-i", "http://" + mirror->address() + path}, home, 60);
      EXPECT_NE(r.out.find("HTTP/1.1 " + c.status), std::string::npos) << path << "\n" << r.out;
      EXPECT_NE(r.out.find(c.code), std::string::npos) << r.out;
      EXPECT_NE(r.out.find(c.retry_after), std::string::npos) << r.out;
    }
    EXPECT_FALSE(stores(layer));
  }
}

// The settings and the refusals that need no upstream: each program run
// once per request, as a CGI program.
// The program alone, as a web server starts it for one request, in front
// of a registry on loopback: the same test runs the Windows build under
// Wine (REGISTRY_TEST_PROGRAM, REGISTRY_TEST_EMULATOR).
TEST(MirrorAlone, FetchesAManifestAndStreamsABlobItStoresAndRefusesWrongBytesAndAnUpstreamThatIsDown) {
  TempDir tmp;
  const std::string program = program_under_test(kMirror);
  make_image(tmp / "image", {"--layers", "1", "--layer-bytes", "300000", "--seed", "50"});
  const std::string layer = largest_blob(tmp / "image");
  const std::string root = tmp / "root";
  make_dirs(tmp / "work");
  auto get = [&](int port, const std::string& path) {
    return parse_cgi_response(run_registry(program,
                                           {{"REGISTRY_STORAGE_ROOT", root}, {"REQUEST_METHOD", "GET"},
                                            {"PATH_INFO", path}, {"QUERY_STRING", ""}, {"HTTP_HOST", "reg.example"},
                                            {"REGISTRY_MIRROR_UPSTREAM", "http://127.0.0.1:" + std::to_string(port)}},
                                           tmp / "work"));
  };
  auto serve = [&](const std::string& mode, int port) {
    const pid_t pid = start_logged({"/usr/bin/python3", kSource + "/tests/support/fault_upstream.py",
                                    std::to_string(port), tmp / "image", mode},
                                   tmp / (mode + ".log"));
    EXPECT_TRUE(wait_port(port, pid)) << read_bytes(tmp / (mode + ".log"));
    return pid;
  };
  auto stored = [&] { return is_file(root + "/blobs/sha256/" + layer.substr(7, 2) + "/" + layer.substr(7)); };

  const int port = free_loopback_port();
  pid_t up = serve("wrong", port);
  const CgiResponse wrong = get(port, "/v2/library/demo/blobs/" + layer);
  EXPECT_NE(digest_string(wrong.body), layer) << "never the whole blob";
  EXPECT_FALSE(stored());
  stop_daemon(up);

  up = serve("good", port);
  const CgiResponse manifest = get(port, "/v2/library/demo/manifests/v1");
  ASSERT_EQ(manifest.status, "200 OK") << manifest.raw;
  EXPECT_EQ(manifest.header("Docker-Content-Digest"), digest_string(manifest.body));
  const CgiResponse blob = get(port, "/v2/library/demo/blobs/" + layer);
  ASSERT_EQ(blob.status, "200 OK") << blob.err;
  EXPECT_EQ(digest_string(blob.body), layer);
  EXPECT_TRUE(stored());
  stop_daemon(up);

  // Upstream gone: what is stored is served, what is not is a retryable
  // error.
  EXPECT_EQ(digest_string(get(port, "/v2/library/demo/blobs/" + layer).body), layer);
  EXPECT_EQ(get(port, "/v2/library/demo/manifests/v1").status, "200 OK");
  const CgiResponse missing = get(port, "/v2/library/demo/manifests/v2");
  EXPECT_EQ(missing.status, "503 Service Unavailable") << missing.raw;
  EXPECT_EQ(missing.code(), "UNAVAILABLE");
}

TEST(MirrorProgram, SettingsThatCannotBeUsedAre500AndTheRefusalsAreWorded) {
  TempDir tmp;
  const std::string root = tmp / "root";
  auto call = [&](const std::string& program, const std::string& method, const std::string& path,
                  std::map<std::string, std::string> extra) {
    std::map<std::string, std::string> env{{"REGISTRY_STORAGE_ROOT", root}, {"REQUEST_METHOD", method},
                                           {"PATH_INFO", path}, {"QUERY_STRING", ""}, {"CONTENT_LENGTH", "0"},
                                           {"HTTP_HOST", "reg.example:5000"}};
    for (const auto& [k, v] : extra) env[k] = v;
    make_dirs(tmp / "work");
    return parse_cgi_response(run_registry(program, env, tmp / "work"));
  };
  const std::string blob = "/v2/hub/a/blobs/sha256:" + std::string(64, 'a');
  struct Case {
    std::map<std::string, std::string> env;
    std::string log;
  };
  const Case bad[] = {
      {{{"REGISTRY_MIRROR_UPSTREAM", "ftp://up.example"}}, "REGISTRY_MIRROR_UPSTREAM is \"ftp://up.example\""},
      {{{"REGISTRY_MIRROR_UPSTREAM", "http://up.example/?x"}}, "an http:// or https:// URL"},
      {{{"REGISTRY_MIRROR_UPSTREAM", "http://up.example"}, {"REGISTRY_MIRROR_TAG_TTL", "-1"}},
       "REGISTRY_MIRROR_TAG_TTL is \"-1\": seconds from 0 to 31536000"},
      {{{"REGISTRY_MIRROR_UPSTREAM", "http://up.example"}, {"REGISTRY_MIRROR_PUSH", "yes"}},
       "REGISTRY_MIRROR_PUSH is \"yes\": deny or allow"},
      {{{"REGISTRY_MIRROR_UPSTREAM", "http://up.example"}, {"REGISTRY_MIRROR_PREFIX", "/hub"}},
       "REGISTRY_MIRROR_PREFIX is \"/hub\""},
  };
  for (const Case& c : bad) {
    const CgiResponse r = call(kMirror, "GET", blob, c.env);
    EXPECT_EQ(r.status, "500 Internal Server Error") << r.raw;
    EXPECT_NE(r.err.find(c.log), std::string::npos) << r.err;
  }
  // Several upstreams in config.json's "mirrors".
  struct ListCase {
    std::string config;
    std::map<std::string, std::string> env;
    std::string log;
  };
  const ListCase bad_lists[] = {
      {R"({"mirrors": {"upstream": "http://a.example"}})", {}, "\"mirrors\" is not an array of objects"},
      {R"({"mirrors": ["http://a.example"]})", {}, "\"mirrors\" is not an array of objects"},
      {R"({"mirrors": [{"upstream": 5}]})", {}, "mirrors[0]: not valid JSON (\"upstream\" is not a string)"},
      {R"({"mirrors": [{"upstream": "http://a.example", "prefix": "a/"}, {"upstream": "ftp://b.example"}]})", {},
       "mirrors[1].upstream is \"ftp://b.example\": an http:// or https:// URL"},
      {R"({"mirrors": [{"prefix": "a/"}]})", {}, "mirrors[0] names no upstream"},
      {R"({"mirrors": [{"upstream": "http://a.example", "prefix": "hub"}, {"upstream": "http://b.example", "prefix": "hub/"}]})",
       {}, "http://a.example and http://b.example both mirror \"hub/\""},
      {R"({"mirrors": [{"upstream": "http://a.example"}]})", {{"REGISTRY_MIRROR_UPSTREAM", "http://c.example"}},
       "http://c.example and http://a.example both mirror the whole registry"},
  };
  for (const ListCase& c : bad_lists) {
    make_dirs(tmp / "work");
    write_bytes(tmp / "work/config.json", c.config);
    const CgiResponse r = call(kMirror, "GET", blob, c.env);
    EXPECT_EQ(r.status, "500 Internal Server Error") << c.config << "\n" << r.raw;
    EXPECT_NE(r.err.find(c.log), std::string::npos) << c.config << "\n" << r.err;
  }
  // The longest prefix a name is under decides: hub/deep/ takes pushes,
  // the rest of hub/ does not, and names under neither are this
  // registry's own.
  write_bytes(tmp / "work/config.json",
              R"({"mirrors": [{"upstream": "http://127.0.0.1:9", "prefix": "hub/"},
                              {"upstream": "http://127.0.0.1:9", "prefix": "hub/deep/", "push": "allow"}]})");
  for (const std::string& program : {kRegistry, kMirror}) {
    EXPECT_EQ(call(program, "POST", "/v2/hub/a/blobs/uploads/", {}).status, "403 Forbidden");
    EXPECT_EQ(call(program, "POST", "/v2/hub/deep/a/blobs/uploads/", {}).status, "202 Accepted");
    EXPECT_EQ(call(program, "POST", "/v2/deep/a/blobs/uploads/", {}).status, "202 Accepted");
  }
  std::remove((tmp / "work/config.json").c_str());
  const std::map<std::string, std::string> hub{{"REGISTRY_MIRROR_UPSTREAM", "http://127.0.0.1:9"},
                                               {"REGISTRY_MIRROR_PREFIX", "hub"}};
  // The static program has no mirror: it says so instead of answering
  // from a tree that is not upstream's.
  const CgiResponse plain = call(kRegistry, "GET", blob, hub);
  EXPECT_EQ(plain.code(), "UNSUPPORTED") << plain.raw;
  EXPECT_NE(plain.body.find("registry-mirror"), std::string::npos) << plain.body;
  // Pushes below the prefix are refused by either program, unless allowed.
  for (const std::string& program : {kRegistry, kMirror}) {
    const CgiResponse push = call(program, "POST", "/v2/hub/a/blobs/uploads/", hub);
    EXPECT_EQ(push.status, "403 Forbidden") << push.raw;
    EXPECT_EQ(push.code(), "DENIED");
    std::map<std::string, std::string> allowed = hub;
    allowed["REGISTRY_MIRROR_PUSH"] = "allow";
    EXPECT_EQ(call(program, "POST", "/v2/hub/a/blobs/uploads/", allowed).status, "202 Accepted");
    EXPECT_EQ(call(program, "POST", "/v2/other/blobs/uploads/", hub).status, "202 Accepted");
  }
  // Upstream not listening: what is not stored is a retryable error.
  const CgiResponse down = call(kMirror, "GET", "/v2/hub/a/manifests/v1", hub);
  EXPECT_EQ(down.status, "503 Service Unavailable") << down.raw;
  EXPECT_EQ(down.code(), "UNAVAILABLE");
  EXPECT_NE(down.err.find("registry: mirror GET /v2/hub/a/manifests/v1"), std::string::npos) << down.err;
}

}  // namespace
