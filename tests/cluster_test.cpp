// Several registry nodes over one storage tree: three lighttpd servers,
// each on its own loopback address (127.0.0.2, .3, .4) and each seeing the
// tree through its own path. scripts/test-cluster gives those paths as three
// FUSE mounts of one GlusterFS volume (REGISTRY_CLUSTER_MOUNTS; each test
// keeps its tree in a folder of its own there), a command that kills and
// restarts one of the volume's bricks (REGISTRY_CLUSTER_FAULT) and a folder
// that outlives the test for its logs (REGISTRY_CLUSTER_LOGS); without them
// the three nodes share one local directory, which is what a shared file
// system has to look like to the registry.
//
// At once, for a while: pushers send every request to the next node
// in turn (a blob HEADed on one node, uploaded through a second, its chunks
// appended through the others, the manifest put through a third) and read
// every push back through another node than the one that took it; skopeo
// pushes the same images into two repositories through two nodes and pulls
// each through a third; a mover moves and deletes tags through the third
// node and reads each change back through the other two; registry-admin gc
// runs in a loop on the first node with no grace period; a brick is killed
// and later restarted. Afterwards every tag pulls whole through every node,
// every blob hashes to its name through every path, and fsck finds nothing
// to repair.
//
// The clients stop at a time once each has got on (a push, a move, an image
// round trip), and at a bound in any case; the collections that may take a
// blob a push is about to need are paced by the clients' progress
// (ProgressGate). What is asserted holds at any speed: no violation, and
// every client got on.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/host.h"
#include "storage/reg_storage.h"
#include "support/progress_gate.h"
#include "support/test_support.h"
#include "support/web_servers.h"

using namespace testing_support;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kNodes = 3;
constexpr int kPushers = 4;
constexpr int kPusherRounds = 60;
constexpr int kMoverRounds = 400;
constexpr int kSkopeoImages = 4;
constexpr int kMaxCollections = 1000;  // of each kind
// Past the time asked for, a client that has not got on yet goes on for at
// most this long; whatever still runs after that and a margin is stopped.
constexpr int kBoundPastTime = 200;

const std::string kSupport = std::string(SOURCE_DIR) + "/tests/support/";

std::string env_or(const char* name, const std::string& fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && v[0] != '\0' ? v : fallback;
}

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t at = s.find(sep); at != std::string::npos; at = s.find(sep, start)) {
    out.push_back(s.substr(start, at - start));
    start = at + 1;
  }
  out.push_back(s.substr(start));
  return out;
}

std::string join(const std::vector<std::string>& parts, const std::string& sep) {
  std::string out;
  for (const std::string& p : parts) out += (out.empty() ? "" : sep) + p;
  return out;
}

int count(const std::string& text, const std::string& key) {
  std::smatch m;
  if (!std::regex_search(text, m, std::regex("\"" + key + "\": (\\d+)"))) return -1;
  return std::stoi(m[1]);
}

// Every blob of the tree's store hashes to its name and nothing is left set
// aside; the number of blobs.
int whole_store(const std::string& root) {
  const std::string sha = root + "/blobs/sha256";
  int n = 0;
  for (const std::string& prefix : list_names(sha)) {
    for (const std::string& name : list_names(sha + "/" + prefix)) {
      EXPECT_NE(name.compare(0, 4, ".gc-"), 0) << "left set aside: " << root << " " << name;
      EXPECT_EQ(digest_string(read_bytes(sha + "/" + prefix + "/" + name)), "sha256:" + name) << root;
      ++n;
    }
  }
  return n;
}

// What happened when, for reading after a failure: every collection with
// what it removed, and the brick's death and return, in seconds since the
// clients started.
class Trail {
 public:
  explicit Trail(const std::string& path) : f_(std::fopen(path.c_str(), "w")) {}
  ~Trail() {
    if (f_ != nullptr) std::fclose(f_);
  }
  Trail(const Trail&) = delete;
  Trail& operator=(const Trail&) = delete;
  void start() { started_ = Clock::now(); }
  void note(const std::string& text) {
    const std::lock_guard<std::mutex> hold(m_);
    if (f_ == nullptr) return;
    std::fprintf(f_, "%7.1f s  %s\n", std::chrono::duration<double>(Clock::now() - started_).count(), text.c_str());
    std::fflush(f_);
  }

 private:
  std::mutex m_;
  FILE* f_;
  Clock::time_point started_ = Clock::now();
};

// skopeo pushes each image through one node, retrying when a collection
// with no grace took a blob before the manifest came (the registry then
// refuses the manifest cleanly), and pulls it back through the next. A push
// still refused cleanly after every retry committed nothing, so there is
// nothing to pull; it is counted, as the pushers count theirs. Past the
// deadline no image starts once one has gone round, nor any past the bound.
struct SkopeoTally {
  int round_trips = 0;
  int retries = 0;
  int refused = 0;
  std::vector<std::string> failures;
  std::atomic<int> images_done{0};  // pushed and pulled, refused, or failed
  std::atomic<bool> running{true};
};

void skopeo_round_trips(int lane, const std::string& skopeo, const std::vector<std::string>& nodes,
                        const std::vector<std::string>& images, const std::string& work, Clock::time_point deadline,
                        Clock::time_point bound, SkopeoTally* t) {
  const std::string home = work + "/home";
  const std::string repo = lane == 0 ? "skopeo/one" : "skopeo/two";
  struct Done {
    SkopeoTally* t;
    ~Done() { t->running = false; }
  } done{t};
  for (size_t k = 0; k < images.size(); ++k, ++t->images_done) {
    const auto now = Clock::now();
    if ((now >= deadline && t->round_trips > 0) || now >= bound) break;
    const std::string& push_node = nodes[(k + static_cast<size_t>(lane)) % nodes.size()];
    const std::string& pull_node = nodes[(k + static_cast<size_t>(lane) + 1) % nodes.size()];
    const std::string ref = repo + ":v" + std::to_string(k);
    bool pushed = false;
    std::string last;
    // A clean refusal is tried again up to eight times (the collections
    // that may cause one wait for this lane to get on, so a push meets at
    // most two); anything else, three times.
    bool refused = true;
    for (int attempt = 0; !pushed && (attempt < 3 || (refused && attempt < 8)); ++attempt) {
      if (attempt > 0) ++t->retries;
      const ProcessResult r = run_client({skopeo, "--insecure-policy", "copy", "--all", "--preserve-digests",
                                          "--dest-tls-verify=false", "oci:" + images[k] + ":latest",
                                          "docker://" + push_node + "/" + ref},
                                         home, 180);
      pushed = r.exit_code == 0;
      refused = r.out.find("blob unknown") != std::string::npos;
      last = r.out;
    }
    if (!pushed && refused) {
      ++t->refused;
      continue;
    }
    if (!pushed) {
      t->failures.push_back("push of " + ref + " through " + push_node + ": " + last);
      continue;
    }
    const std::string pulled = work + "/pulled-" + std::to_string(k);
    const ProcessResult r = run_client({skopeo, "--insecure-policy", "copy", "--all", "--preserve-digests",
                                        "--src-tls-verify=false", "docker://" + pull_node + "/" + ref,
                                        "oci:" + pulled + ":latest"},
                                       home, 180);
    if (r.exit_code != 0) {
      t->failures.push_back("pull of " + ref + " through " + pull_node + " right after its push through " + push_node +
                            ": " + r.out);
      continue;
    }
    if (layout_blobs(pulled) != layout_blobs(images[k])) {
      t->failures.push_back(ref + " pulled through " + pull_node + " differs from what was pushed");
      continue;
    }
    ++t->round_trips;
  }
}

// The tree named name as each node sees it: three paths to one tree on the
// shared file system, or one local directory thrice.
std::vector<std::string> node_roots(const TempDir& tmp, const std::string& name, bool* shared_fs) {
  std::vector<std::string> roots = split(env_or("REGISTRY_CLUSTER_MOUNTS", ""), ':');
  *shared_fs = roots.size() == kNodes;
  if (!*shared_fs) roots.assign(kNodes, tmp.path());
  for (std::string& root : roots) root += "/" + name;
  make_dirs(roots[0]);
  return roots;
}

// Files are replaced by a rename on one node while another node reads
// them: the reader finds the old file or the new one, whole, at every
// moment. (A network file system may answer a lookup of a name that another
// client just renamed over with ESTALE; the host layer looks again.)
struct Replacement {
  const char* what;
  // Replaces the file (or files) under root, round after round.
  void (*write)(const std::string& root, int writer, int round);
  // Reads under root: "" when what it found was whole, else what was wrong.
  std::string (*read)(const std::string& root);
};

const std::string kBodyA = "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\","
                           "\"config\":{\"mediaType\":\"application/vnd.oci.image.config.v1+json\",\"digest\":"
                           "\"sha256:" + std::string(64, 'a') + "\",\"size\":1},\"layers\":[]}";
const std::string kBodyB = kBodyA.substr(0, kBodyA.size() - 1) + ",\"annotations\":{\"b\":\"b\"}}";
const std::string kFileBytes(20000, 'f');

const Replacement kReplacements[] = {
    {"a tag moved between two manifests",
     [](const std::string&, int writer, int round) {
       const std::string& body = (writer + round) % 2 == 0 ? kBodyA : kBodyB;
       char digest[REG_DIGEST_CAP];
       reg_manifest_put("moving/app", "latest", body.data(), body.size(), nullptr, digest);
     },
     [](const std::string&) -> std::string {
       char ct[REG_CONTENT_TYPE_CAP];
       char digest[REG_DIGEST_CAP];
       const char* got = reg_manifest_get("moving/app", "latest", ct, digest);
       if (got == nullptr) return std::string("no manifest: ") + reg_storage_last_error();
       return got == kBodyA || got == kBodyB ? "" : "another body";
     }},
    {"a file renamed over another of the same name",
     [](const std::string& root, int writer, int round) {
       const std::string temp = root + "/replaced.tmp" + std::to_string(writer) + "-" + std::to_string(round);
       bool taken = false;
       FILE* f = host::create_new_file(temp.c_str(), &taken);
       if (f == nullptr) return;
       std::fwrite(kFileBytes.data(), 1, kFileBytes.size(), f);
       std::fclose(f);
       host::rename_replace(temp.c_str(), (root + "/replaced").c_str());
     },
     [](const std::string& root) -> std::string {
       const std::string path = root + "/replaced";
       char why[256];
       host::Attributes a;
       if (!host::get_attributes(path.c_str(), &a)) {
         host::last_error_text(why, sizeof why);
         return std::string("no attributes: ") + why;
       }
       FILE* f = host::open_file(path.c_str(), "rb");
       if (f == nullptr) {
         host::last_error_text(why, sizeof why);
         return std::string("cannot open: ") + why;
       }
       std::string got(kFileBytes.size() + 1, '\0');
       got.resize(std::fread(got.data(), 1, got.size(), f));
       std::fclose(f);
       return got == kFileBytes ? "" : "another content";
     }},
};

TEST(Cluster, WhatOneNodeReplacesAnotherNodeReadsWholeAtEveryMoment) {
  TempDir tmp;
  bool shared_fs = false;
  const std::vector<std::string> roots = node_roots(tmp, "replacements", &shared_fs);
  const double seconds = shared_fs ? 8 : 3;
  for (const Replacement& r : kReplacements) {
    SCOPED_TRACE(r.what);
    ASSERT_EQ(reg_storage_init(roots[0].c_str()), 0) << reg_storage_last_error();
    r.write(roots[0], 0, 0);
    reg_storage_cleanup();
    const auto until = Clock::now() + std::chrono::duration<double>(seconds);
    // Writers through the first and the third path, the reader through the
    // second.
    std::vector<pid_t> writers;
    for (int w = 0; w < 2; ++w) {
      const pid_t pid = fork();
      if (pid == 0) {
        const std::string& root = roots[w == 0 ? 0 : 2];
        if (reg_storage_init(root.c_str()) != 0) _exit(1);
        for (int round = 1; Clock::now() < until; ++round) r.write(root, w, round);
        _exit(0);
      }
      writers.push_back(pid);
    }
    const ProcessResult reader = run_in_child([&] {
      if (reg_storage_init(roots[1].c_str()) != 0) _exit(1);
      long reads = 0;
      long misses = 0;
      std::string first;
      while (Clock::now() < until) {
        ++reads;
        const std::string wrong = r.read(roots[1]);
        if (!wrong.empty() && misses++ == 0) first = wrong;
      }
      std::printf("%ld reads, %ld missed%s%s\n", reads, misses, first.empty() ? "" : ", the first: ", first.c_str());
    });
    for (pid_t pid : writers) {
      int status = 0;
      waitpid(pid, &status, 0);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(reader.exit_code, 0);
    EXPECT_NE(reader.out.find(" reads, 0 missed"), std::string::npos) << reader.out;
    std::printf("[ figures  ] %s: %s", r.what, reader.out.c_str());
  }
}

TEST(Cluster, NodesOverOneTreeServeEveryPushWholeWhileGcRunsAndABrickDies) {
  TempDir tmp;
  const std::string python = find_program({"/usr/bin/python3"});
  ASSERT_FALSE(python.empty());
  bool shared_fs = false;
  const std::vector<std::string> roots = node_roots(tmp, "registry", &shared_fs);
  const std::string fault = env_or("REGISTRY_CLUSTER_FAULT", "");
  const int seconds = std::atoi(env_or("REGISTRY_CLUSTER_SECONDS", "20").c_str());
  ASSERT_GT(seconds, 0);
  // The clients' output, the nodes' own folders and the trail: where the
  // script keeps them past the test, else with the test.
  const std::string logs = env_or("REGISTRY_CLUSTER_LOGS", tmp.path());
  make_dirs(logs);
  Trail trail(logs + "/trail.log");

  std::vector<std::unique_ptr<RegistryServer>> servers;
  std::vector<std::string> nodes;
  std::vector<std::string> urls;
  for (int i = 0; i < kNodes; ++i) {
    // The first node runs the program once per request, the others as
    // FastCGI applications: both kinds of node over one tree.
    const WebServer kind = i == 0 ? WebServer::kLighttpd : WebServer::kLighttpdFastcgi;
    auto server = std::make_unique<RegistryServer>(kind, logs + "/node" + std::to_string(i), REGISTRY_PATH);
    server->set_bind_address(std::string("127.0.0.") + std::to_string(i + 2));
    server->set_storage_root(roots[static_cast<size_t>(i)]);
    std::string why;
    if (!server->start(&why)) {
      if (shared_fs) FAIL() << why;
      GTEST_SKIP() << why;
    }
    nodes.push_back(server->address());
    urls.push_back("http://" + server->address());
    servers.push_back(std::move(server));
  }
  // The registry makes its tree at its first request; the collections
  // look after a registry, never make one.
  ASSERT_EQ(servers[0]->get_status("/v2/_catalog"), 200);
  const std::string all_nodes = join(urls, ",");
  std::printf("[ cluster  ] %s over %s, %d s%s\n", join(nodes, " ").c_str(),
              shared_fs ? join(roots, " ").c_str() : "one local directory", seconds,
              fault.empty() ? "" : ", a brick killed and restarted");

  // Images for skopeo: real layers; every other one an index of two.
  const std::string skopeo = find_program({"/usr/bin/skopeo"});
  std::vector<std::string> images;
  if (!skopeo.empty()) {
    for (int k = 0; k < kSkopeoImages; ++k) {
      std::vector<std::string> args{"--layers", "3", "--layer-bytes", "150000", "--seed", std::to_string(40 + k)};
      if (k % 2 == 1) args.insert(args.end(), {"--platforms", "2"});
      images.push_back(tmp / ("image" + std::to_string(k)));
      ASSERT_FALSE(make_image(images.back(), args).empty());
    }
  } else {
    std::printf("[ cluster  ] skopeo is not installed (scripts/setup --clients): no skopeo round trips\n");
  }

  std::fflush(stdout);  // before the forks below
  const auto started = Clock::now();
  trail.start();
  const auto deadline = started + std::chrono::seconds(seconds);
  const auto bound = deadline + std::chrono::seconds(kBoundPastTime);
  const std::vector<std::string> repos = {"team/a", "team/b"};
  std::vector<pid_t> clients;
  std::vector<std::string> outputs;
  for (int i = 0; i < kPushers; ++i) {
    const std::string& repo = repos[static_cast<size_t>(i) % repos.size()];
    std::vector<std::string> argv = {python, kSupport + "pusher.py", all_nodes, repo, std::string("p") + std::to_string(i),
                                     std::to_string(200 + i), std::to_string(kPusherRounds), std::to_string(seconds),
                                     "--bound", std::to_string(seconds + kBoundPastTime)};
    if (i >= 2) argv.push_back(repos[static_cast<size_t>(i + 1) % repos.size()]);  // mounts from the other
    if (i % 2 == 1) argv.push_back("--chunked");
    outputs.push_back(logs + "/pusher" + std::to_string(i) + ".out");
    clients.push_back(start_logged(argv, outputs.back()));
  }
  outputs.push_back(logs + "/mover.out");
  clients.push_back(start_logged({python, kSupport + "tag_mover.py", urls[2], urls[0] + "," + urls[1],
                                  "team/a,team/b,skopeo/one", std::to_string(kMoverRounds), std::to_string(seconds),
                                  "--bound", std::to_string(seconds + kBoundPastTime)},
                                 outputs.back()));
  std::set<pid_t> running(clients.begin(), clients.end());
  ProgressGate gate;
  for (size_t i = 0; i < clients.size(); ++i) {
    gate.watch([&outputs, i] { return rounds_logged(outputs[i]); },
               [&running, &clients, i] { return running.count(clients[i]) != 0; });
  }

  SkopeoTally lanes[2];
  std::vector<std::thread> threads;
  if (!skopeo.empty()) {
    for (int lane = 0; lane < 2; ++lane) {
      threads.emplace_back(skopeo_round_trips, lane, skopeo, nodes, images, tmp / ("skopeo" + std::to_string(lane)),
                           deadline, bound, &lanes[lane]);
      gate.watch([&lanes, lane] { return lanes[lane].images_done.load(); },
                 [&lanes, lane] { return lanes[lane].running.load(); });
    }
  }
  // The brick dies a quarter into the pushes and comes back after a third
  // of them, while everything above goes on.
  std::atomic<int> fault_status{0};
  std::string fault_output;
  if (!fault.empty()) {
    threads.emplace_back([&] {
      std::this_thread::sleep_until(started + std::chrono::milliseconds(seconds * 250));
      ProcessResult r = run_program(fault, {"kill"}, {{"PATH", "/usr/sbin:/usr/bin:/sbin:/bin"}}, tmp.path());
      trail.note("fault kill: " + r.out + r.err);
      fault_output += r.out + r.err;
      if (r.exit_code != 0) fault_status = 1;
      std::this_thread::sleep_until(started + std::chrono::milliseconds(seconds * 600));
      r = run_program(fault, {"restart"}, {{"PATH", "/usr/sbin:/usr/bin:/sbin:/bin"}}, tmp.path());
      trail.note("fault restart: " + r.out + r.err);
      fault_output += r.out + r.err;
      if (r.exit_code != 0) fault_status = 2;
    });
  }

  // Collections on the first node until every client is done: those that
  // may take what a push is about to need when the gate lets them, others
  // that take nothing young in between.
  const std::map<std::string, std::string> env0 = {{"REGISTRY_STORAGE_ROOT", roots[0]}};
  // Untagged manifests are deleted only once a minute old: a multi-arch
  // push sends its images untagged and names them in the tagged index
  // last, so with no grace a collection would take them (and their blobs)
  // from under every such push, however often it is tried.
  const std::vector<std::vector<std::string>> modes = {
      {"gc", "--grace", "0s"}, {"gc", "--grace", "60s", "--delete-untagged"}, {"gc", "--grace", "2s"}};
  const std::vector<std::string> meanwhile = {"gc", "--grace", "1h", "--delete-untagged"};
  int collections = 0;
  int others = 0;
  int removed_blobs = 0;
  std::map<pid_t, int> status_of;
  std::vector<std::string> gc_failures;
  // The clients end by themselves; whatever hangs is killed well after
  // their bound.
  const auto last_call = bound + std::chrono::seconds(40);
  while ((!running.empty() || lanes[0].running || lanes[1].running) && Clock::now() < last_call) {
    const bool gated = gate.open() && collections < kMaxCollections;
    if (gated || others < kMaxCollections) {
      if (gated) gate.pass();
      const std::vector<std::string>& mode = gated ? modes[static_cast<size_t>(collections) % modes.size()] : meanwhile;
      trail.note(join(mode, " ") + ": started");
      const ProcessResult gc = run_program(REGISTRY_ADMIN_PATH, mode, env0, tmp.path());
      trail.note(join(mode, " ") + ": exit " + std::to_string(gc.exit_code) + "\n" + gc.out + gc.err);
      if (gc.exit_code != 0) gc_failures.push_back(gc.out + gc.err);
      ++(gated ? collections : others);
      std::smatch m;
      static const std::regex kRemoved("removed: \\d+ manifests?, (\\d+) blobs?");
      if (std::regex_search(gc.out, m, kRemoved)) removed_blobs += std::stoi(m[1]);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    for (auto it = running.begin(); it != running.end();) {
      int status = 0;
      if (waitpid(*it, &status, WNOHANG) == *it) {
        status_of[*it] = status;
        it = running.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (pid_t pid : running) {
    kill(pid, SIGKILL);
    waitpid(pid, &status_of[pid], 0);
  }
  for (std::thread& t : threads) t.join();
  const double took = std::chrono::duration<double>(Clock::now() - started).count();

  EXPECT_TRUE(gc_failures.empty()) << gc_failures.size() << " collections failed; the first: " << gc_failures[0];
  EXPECT_EQ(fault_status.load(), 0) << fault_output;
  for (const std::string& line : split(fault_output, '\n')) {
    if (!line.empty()) std::printf("[ cluster  ] %s\n", line.c_str());
  }
  int pushes = 0;
  int retries = 0;
  for (size_t i = 0; i < clients.size(); ++i) {
    const std::string out = read_bytes(outputs[i]);
    const int status = status_of[clients[i]];
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << outputs[i] << ": " << out;
    EXPECT_EQ(out.find("VIOLATION"), std::string::npos) << outputs[i] << ": " << out;
    if (i < kPushers) {
      EXPECT_GT(count(out, "pushes"), 0) << outputs[i] << ": " << out;
      pushes += std::max(0, count(out, "pushes"));
      retries += std::max(0, count(out, "retries"));
    }
  }
  const std::string mover = read_bytes(outputs.back());
  EXPECT_GT(count(mover, "moves"), 0) << mover;
  int round_trips = 0;
  int refused = 0;
  for (const SkopeoTally& lane : lanes) {
    EXPECT_TRUE(lane.failures.empty()) << lane.failures.size() << " skopeo failures; the first: " << lane.failures[0];
    if (!skopeo.empty()) {
      EXPECT_GT(lane.round_trips, 0) << "a skopeo lane got on";
    }
    round_trips += lane.round_trips;
    retries += lane.retries;
    refused += lane.refused;
  }
  std::printf("[ figures  ] %.0f s: %d pushes (%d retried after a clean refusal), %d skopeo round trips "
              "(%d refused cleanly after every retry), %d tag moves, %d tag deletes, %d collections with little or "
              "no grace and %d others, %d blobs removed\n",
              took, pushes, retries, round_trips, refused, count(mover, "moves"), count(mover, "deletes"),
              collections, others, removed_blobs);

  // Afterwards: every tag pulls whole through every node, alike.
  std::string first;
  for (const std::string& url : urls) {
    const ProcessResult r = run_program(python, {kSupport + "pull_all.py", url}, {{"PATH", "/usr/bin:/bin"}}, "");
    EXPECT_EQ(r.exit_code, 0) << url << ": " << r.out << r.err;
    EXPECT_GT(count(r.out, "tags"), 0) << r.out;
    const std::string counts = r.out.substr(0, r.out.find(", \"problems\""));
    if (first.empty()) first = counts;
    EXPECT_EQ(counts, first) << "what " << url << " serves differs from what " << urls[0] << " serves";
  }
  std::printf("[ figures  ] through every node: %s\n", first.c_str());
  for (auto& s : servers) s->stop();
  // Every blob hashes to its name, through every path to the tree.
  const int blobs = whole_store(roots[0]);
  EXPECT_GT(blobs, 0);
  for (size_t i = 1; i < roots.size(); ++i) EXPECT_EQ(whole_store(roots[i]), blobs) << roots[i];
  const ProcessResult fsck = run_program(REGISTRY_ADMIN_PATH, {"fsck", "--grace", "0s"},
                                         {{"REGISTRY_STORAGE_ROOT", roots[1]}}, tmp.path());
  EXPECT_EQ(fsck.exit_code, 0) << fsck.out << fsck.err;
  EXPECT_NE(fsck.out.find("nothing to repair"), std::string::npos) << fsck.out;
  if (HasFailure()) std::printf("[ cluster  ] what happened when: %s/trail.log\n", logs.c_str());
}

}  // namespace
