// Garbage collection beside live pushes, through the real web server:
// pushers (real processes speaking HTTP as docker and skopeo do: HEAD each
// blob, upload what is missing, PUT the manifest) push and re-push images
// that share layers, within and across repositories, pull every tag back
// right after pushing it, and delete tags, while registry-admin gc runs in
// a loop with no grace period at all. Afterwards every tag pulls whole,
// every blob hashes to its name, and fsck finds nothing to repair.
//
// The pushers run their rounds, or stop at a time bound once each has
// pushed a few times; the collections with little or no grace are paced by
// the pushers' progress (ProgressGate), and collections that take nothing
// young fill the time between. What is asserted holds at any speed: no
// violation, and every pusher got on.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "storage/reg_storage.h"
#include "support/progress_gate.h"
#include "support/test_support.h"
#include "support/web_servers.h"

using namespace testing_support;

namespace {

constexpr int kPushers = 4;
constexpr int kRounds = 40;
constexpr int kPusherSeconds = 90;   // no round starts after this once a pusher has made kAtLeast pushes
constexpr int kAtLeast = 3;
constexpr int kPusherBound = 200;    // and none after this at all
constexpr int kMaxCollections = 400; // of each kind

// Every blob of the store hashes to its name; the number of blobs.
int whole_store(const std::string& storage) {
  const std::string sha = storage + "/blobs/sha256";
  int n = 0;
  for (const std::string& prefix : list_names(sha)) {
    for (const std::string& name : list_names(sha + "/" + prefix)) {
      EXPECT_NE(name.compare(0, 4, ".gc-"), 0) << "left set aside: " << name;
      EXPECT_EQ(digest_string(read_bytes(sha + "/" + prefix + "/" + name)), "sha256:" + name);
      ++n;
    }
  }
  return n;
}

// The registry run once per request, and as a FastCGI application whose
// processes serve request after request.
class GcWhileServing : public ::testing::TestWithParam<WebServer> {};

TEST_P(GcWhileServing, PushersNeverLoseABlobToACollectionWithNoGrace) {
  TempDir tmp;
  RegistryServer server(GetParam(), tmp / "server", REGISTRY_PATH);
  std::string why;
  if (!server.start(&why)) GTEST_SKIP() << why;
  const std::string python = find_program({"/usr/bin/python3"});
  ASSERT_FALSE(python.empty());
  // The registry makes its tree at its first request; the collections
  // look after a registry, never make one.
  ASSERT_EQ(server.get_status("/v2/_catalog"), 200);
  const std::string base = "http://" + server.address();
  const std::string pusher = std::string(SOURCE_DIR) + "/tests/support/pusher.py";
  const std::vector<std::string> repos = {"team/a", "team/b"};

  std::vector<pid_t> pids;
  std::vector<std::string> logs;
  for (int i = 0; i < kPushers; ++i) {
    const std::string& repo = repos[static_cast<size_t>(i) % repos.size()];
    const std::string& other = repos[static_cast<size_t>(i + 1) % repos.size()];
    std::vector<std::string> argv = {python, pusher, base, repo, std::string("p").append(std::to_string(i)), std::to_string(100 + i),
                                     std::to_string(kRounds), std::to_string(kPusherSeconds),
                                     "--at-least", std::to_string(kAtLeast), "--bound", std::to_string(kPusherBound)};
    if (i >= 2) argv.push_back(other);  // half of them mount layers from the other repository
    logs.push_back(tmp / std::string("pusher").append(std::to_string(i)).append(".out"));
    pids.push_back(start_logged(argv, logs.back()));
  }
  std::set<pid_t> running(pids.begin(), pids.end());
  ProgressGate gate;
  for (int i = 0; i < kPushers; ++i) {
    gate.watch([&logs, i] { return rounds_logged(logs[static_cast<size_t>(i)]); },
               [&running, &pids, i] { return running.count(pids[static_cast<size_t>(i)]) != 0; });
  }

  // Collections until every pusher is done, bounded in count and time:
  // those that may take a pushed blob when the gate lets them, the others
  // in between.
  const std::map<std::string, std::string> env = {{"REGISTRY_STORAGE_ROOT", server.storage()}};
  const std::vector<std::vector<std::string>> modes = {
      {"gc", "--grace", "0s"}, {"gc", "--grace", "0s", "--delete-untagged"}, {"gc", "--grace", "2s"}};
  const std::vector<std::string> meanwhile = {"gc", "--grace", "1h", "--delete-untagged"};
  int collections = 0;
  int others = 0;
  int removed_blobs = 0;
  int restored = 0;
  std::vector<int> status_of(kPushers, -1);
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(kPusherBound + 30);
  while (!running.empty() && std::chrono::steady_clock::now() < give_up) {
    const bool gated = gate.open() && collections < kMaxCollections;
    if (!gated && others >= kMaxCollections) {
      usleep(100000);
    } else {
      if (gated) gate.pass();
      const ProcessResult gc = run_program(
          REGISTRY_ADMIN_PATH, gated ? modes[static_cast<size_t>(collections) % modes.size()] : meanwhile, env, tmp.path());
      ASSERT_EQ(gc.exit_code, 0) << gc.out << gc.err;
      ++(gated ? collections : others);
      std::smatch m;
      static const std::regex kRemoved("removed: \\d+ manifests?, (\\d+) blobs?");
      if (std::regex_search(gc.out, m, kRemoved)) removed_blobs += std::stoi(m[1]);
      static const std::regex kRestored("restored: (\\d+) blobs?");
      if (std::regex_search(gc.out, m, kRestored)) restored += std::stoi(m[1]);
    }
    for (int i = 0; i < kPushers; ++i) {
      int status = 0;
      if (running.count(pids[static_cast<size_t>(i)]) != 0 &&
          waitpid(pids[static_cast<size_t>(i)], &status, WNOHANG) == pids[static_cast<size_t>(i)]) {
        running.erase(pids[static_cast<size_t>(i)]);
        status_of[static_cast<size_t>(i)] = status;
      }
    }
  }
  // Whatever hangs past the pushers' own bound is stopped.
  for (int i = 0; i < kPushers; ++i) {
    const pid_t pid = pids[static_cast<size_t>(i)];
    if (running.count(pid) != 0) {
      kill(pid, SIGKILL);
      waitpid(pid, &status_of[static_cast<size_t>(i)], 0);
    }
  }
  int pushes = 0;
  int retries = 0;
  for (int i = 0; i < kPushers; ++i) {
    const std::string out = read_bytes(logs[static_cast<size_t>(i)]);
    EXPECT_TRUE(WIFEXITED(status_of[static_cast<size_t>(i)]) && WEXITSTATUS(status_of[static_cast<size_t>(i)]) == 0)
        << "pusher " << i << ": " << out;
    EXPECT_EQ(out.find("VIOLATION"), std::string::npos) << out;
    std::smatch m;
    static const std::regex kCounts("\"pushes\": (\\d+), \"retries\": (\\d+)");
    ASSERT_TRUE(std::regex_search(out, m, kCounts)) << "pusher " << i << ": " << out;
    EXPECT_GE(std::stoi(m[1]), kAtLeast) << "pusher " << i << " got on: " << out;
    pushes += std::stoi(m[1]);
    retries += std::stoi(m[2]);
  }
  std::printf("[ figures  ] %d pushes (%d retried after a clean refusal), %d collections with little or no grace "
              "and %d others, %d blobs removed, %d blobs put back\n",
              pushes, retries, collections, others, removed_blobs, restored);
  EXPECT_GT(collections, 0);

  // Afterwards: every tag pulls whole, through the server.
  server.stop();
  ASSERT_EQ(reg_storage_init(server.storage().c_str()), 0);
  int tags = 0;
  for (const std::string& repo : repos) {
    const std::string tag_dir = server.storage() + "/repositories/" + repo + "/_manifests/tags";
    for (const std::string& tag : list_names(tag_dir)) {
      char ct[REG_CONTENT_TYPE_CAP];
      char digest[REG_DIGEST_CAP];
      const char* body = reg_manifest_get(repo.c_str(), tag.c_str(), ct, digest);
      ASSERT_NE(body, nullptr) << repo << ":" << tag << ": " << reg_storage_last_error();
      ++tags;
      const std::string text = body;
      static const std::regex kDigest("\"digest\":\"(sha256:[0-9a-f]{64})\"");
      for (auto it = std::sregex_iterator(text.begin(), text.end(), kDigest); it != std::sregex_iterator(); ++it) {
        const std::string d = (*it)[1];
        char path[4096];
        reg_status st;
        ASSERT_EQ(reg_repo_blob_path(repo.c_str(), d.c_str(), path, sizeof path, &st), 0)
            << repo << ":" << tag << " needs " << d << ": " << st.message;
        EXPECT_EQ(digest_string(read_bytes(path)), d);
      }
    }
  }
  reg_storage_cleanup();
  EXPECT_GT(tags, 0);
  EXPECT_GT(whole_store(server.storage()), 0);
  const ProcessResult fsck = run_program(REGISTRY_ADMIN_PATH, {"fsck", "--grace", "0s"}, env, tmp.path());
  EXPECT_EQ(fsck.exit_code, 0) << fsck.out << fsck.err;
  EXPECT_EQ(fsck.out, "fsck: 2 repositories, nothing to repair\n");
}

INSTANTIATE_TEST_SUITE_P(Servers, GcWhileServing, ::testing::Values(WebServer::kLighttpd, WebServer::kLighttpdFastcgi),
                         web_server_param_name);

}  // namespace
