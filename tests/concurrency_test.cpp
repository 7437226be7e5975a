// Real processes working on one tree at once: uploads of overlapping
// content, puts and deletes of tags, listings and statistics, for a bounded
// time; then the invariants of the tree.
#include <gtest/gtest.h>
#include <yyjson.h>

#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "hash/sha256.h"
#include "storage/reg_storage.h"
#include "storage/storage_digest.h"
#include "support/test_support.h"

using namespace testing_support;

namespace {

constexpr int kProcesses = 8;
constexpr double kSeconds = 3.0;

bool valid_json(const char* text) {
  if (text == nullptr) return false;
  yyjson_doc* doc = yyjson_read(text, std::strlen(text), 0);
  yyjson_doc_free(doc);
  return doc != nullptr;
}

std::vector<std::string> blob_contents() {
  std::vector<std::string> v;
  for (int i = 0; i < 4; ++i) {
    std::string s(50000 + 7919 * i, '\0');
    for (size_t j = 0; j < s.size(); ++j) s[j] = static_cast<char>((j * (i + 3)) ^ (j >> 8));
    v.push_back(s);
  }
  return v;
}

std::vector<std::string> manifest_bodies() {
  std::vector<std::string> v;
  for (int i = 0; i < 3; ++i) {
    v.push_back("{\"schemaVersion\":2,\"config\":{\"digest\":\"sha256:" + std::string(64, static_cast<char>('a' + i)) +
                "\"},\"layers\":[],\"n\":" + std::to_string(i) + "}");
  }
  return v;
}

struct Tally {
  long ops = 0;
  long violations = 0;
};

// One worker's loop; violations are what no interleaving may produce.
Tally work(const std::string& root, unsigned seed) {
  Tally t;
  if (reg_storage_init(root.c_str()) != 0) {
    t.violations = 1;
    return t;
  }
  std::mt19937 rng(seed);
  const auto blobs = blob_contents();
  const auto bodies = manifest_bodies();
  const char* repos[] = {"r0", "team/r1"};
  const char* tags[] = {"t0", "t1", "t2", "latest"};
  auto bad = [&](const char* what) {
    ++t.violations;
    std::fprintf(stderr, "violation: %s (%s)\n", what, reg_storage_last_error());
  };
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(kSeconds);
  while (std::chrono::steady_clock::now() < end) {
    ++t.ops;
    const std::string& blob = blobs[rng() % blobs.size()];
    const std::string& body = bodies[rng() % bodies.size()];
    const char* repo = repos[rng() % 2];
    const char* tag = tags[rng() % 4];
    switch (rng() % 10) {
      case 0:
      case 1: {  // a whole upload, in three chunks
        char id[37];
        char out[72];
        if (reg_blob_start_upload(id) != 0) {
          bad("start");
          break;
        }
        const size_t third = blob.size() / 3;
        reg_blob_append_chunk(id, blob.data(), third);
        reg_blob_append_chunk(id, blob.data() + third, third);
        reg_blob_append_chunk(id, blob.data() + 2 * third, blob.size() - 2 * third);
        const int mode = static_cast<int>(rng() % 4);
        if (mode == 0) {
          reg_blob_cancel_upload(id);
        } else if (mode == 1) {
          if (reg_blob_finish_upload(id, digest_string(blob + "x").c_str(), out) == 0) bad("finish with a wrong digest");
        } else if (reg_blob_finish_upload(id, digest_string(blob).c_str(), out) != 0) {
          // Another process may delete the prefix directory under us; the
          // upload then stays and can be finished again.
          if (reg_blob_finish_upload(id, digest_string(blob).c_str(), out) != 0) reg_blob_cancel_upload(id);
        }
        break;
      }
      case 2: {
        const std::string d = digest_string(blob);
        if (reg_blob_exists(d.c_str()) == 1 && rng() % 4 == 0) reg_blob_delete(d.c_str());
        break;
      }
      case 3:
      case 4: {
        char out[72];
        const bool by_digest = rng() % 5 == 0;
        const std::string ref = by_digest ? digest_string(body) : tag;
        if (reg_manifest_put(repo, ref.c_str(), body.data(), body.size(), nullptr, out) != 0) bad("put");
        break;
      }
      case 5: {
        const bool by_digest = rng() % 4 == 0;
        const std::string ref = by_digest ? digest_string(bodies[rng() % bodies.size()]) : tag;
        reg_manifest_delete(repo, ref.c_str());
        break;
      }
      case 6: {
        char ct[REG_CONTENT_TYPE_CAP];
        char digest[72];
        if (const char* got = reg_manifest_get(repo, tag, ct, digest)) {
          if (digest_string(got) != digest) bad("a fetched body does not match its digest");
        }
        break;
      }
      case 7:
        if (!valid_json(reg_catalog_json(0, nullptr))) bad("catalog JSON");
        break;
      case 8:
        if (!valid_json(reg_tags_list_json(repo))) bad("tag list JSON");
        break;
      default:
        if (!valid_json(reg_storage_get_stats_json())) bad("statistics JSON");
    }
  }
  return t;
}

void check_files_hash_to_their_names(const std::string& dir, long* checked) {
  for (const std::string& name : list_names(dir)) {
    const std::string path = dir + "/" + name;
    if (is_dir(path)) continue;
    if (name.size() == 64) {
      EXPECT_EQ(digest_string(read_bytes(path)), "sha256:" + name) << path;
      ++*checked;
    }
  }
}

TEST(Concurrency, MixedWorkOnOneTreeKeepsEveryInvariant) {
  TempDir tmp;
  const std::string root = tmp / "root";
  ASSERT_EQ(reg_storage_init(root.c_str()), 0);
  std::vector<pid_t> pids;
  std::vector<int> fds;
  for (int i = 0; i < kProcesses; ++i) {
    int fd[2];
    ASSERT_EQ(pipe(fd), 0);
    pid_t pid = fork();
    if (pid == 0) {
      close(fd[0]);
      const Tally t = work(root, static_cast<unsigned>(1000 + i));
      if (write(fd[1], &t, sizeof t) != static_cast<ssize_t>(sizeof t)) _exit(3);
      _exit(t.violations == 0 ? 0 : 1);
    }
    close(fd[1]);
    pids.push_back(pid);
    fds.push_back(fd[0]);
  }
  Tally total;
  for (int i = 0; i < kProcesses; ++i) {
    Tally t;
    EXPECT_EQ(read(fds[static_cast<size_t>(i)], &t, sizeof t), static_cast<ssize_t>(sizeof t));
    close(fds[static_cast<size_t>(i)]);
    int status = 0;
    waitpid(pids[static_cast<size_t>(i)], &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "worker " << i;
    total.ops += t.ops;
    total.violations += t.violations;
  }
  EXPECT_EQ(total.violations, 0);

  // Every blob file's content hashes to its name; no partial blob.
  long blobs = 0;
  for (const std::string& prefix : list_names(root + "/blobs/sha256")) {
    check_files_hash_to_their_names(root + "/blobs/sha256/" + prefix, &blobs);
  }
  // Every manifest body hashes to its name; every readable link is a whole
  // digest string; every readable tag link names a stored body.
  long bodies = 0;
  long links = 0;
  for (const std::string repo : {"r0", "team/r1"}) {
    const std::string m = root + "/repositories/" + repo + "/_manifests";
    check_files_hash_to_their_names(m, &bodies);
    for (const std::string& hex : list_names(m + "/revisions/sha256")) {
      const std::string link = m + "/revisions/sha256/" + hex + "/link";
      if (!exists(link)) continue;
      EXPECT_EQ(read_bytes(link), "sha256:" + hex);
      ++links;
    }
    for (const std::string& tag : list_names(m + "/tags")) {
      const std::string link = m + "/tags/" + tag + "/current/link";
      if (!exists(link)) continue;
      const std::string d = read_bytes(link);
      ASSERT_EQ(storage::digest_valid(d.c_str()), 1) << link << ": " << d;
      EXPECT_TRUE(is_file(m + "/" + d.substr(7))) << repo << ":" << tag << " names a missing body";
      ++links;
    }
  }
  std::printf("concurrency: %d processes, %.0f s, %ld operations, %ld violations; checked %ld blobs, %ld bodies, %ld links\n",
              kProcesses, kSeconds, total.ops, total.violations, blobs, bodies, links);
  reg_storage_cleanup();
}

// A tree from a build that kept no index of nested repositories, and
// processes that all start on it at the same moment: each of them finds it
// unindexed and wants to make the index. Every start succeeds, one whole
// index is left, and nothing any of them built aside.
TEST(Concurrency, ProcessesStartingAtOnceOnAnUnindexedTreeLeaveOneWholeIndex) {
  const std::string catalog =
      "{\"repositories\":[\"a/b/c/d\",\"library/alpine\",\"plain\",\"team/app\",\"team/app/web\"]}";
  const std::vector<std::string> markers = {"a", "a%b", "a%b%c", "library", "team", "team%app"};
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    TempDir tmp;
    const std::string root = tmp / "root";
    for (const char* d : {"library/alpine", "team/app/_manifests", "team/app/web", "plain", "a/b/c/d"}) {
      make_dirs(root + "/repositories/" + d);
    }
    int gate[2];
    ASSERT_EQ(pipe(gate), 0);
    std::vector<pid_t> starters;
    for (int i = 0; i < kProcesses; ++i) {
      const pid_t pid = fork();
      if (pid == 0) {
        close(gate[1]);
        char c;
        while (read(gate[0], &c, 1) < 0) {
        }
        if (reg_storage_init(root.c_str()) != 0) _exit(1);
        _exit(catalog == reg_catalog_json(0, nullptr) ? 0 : 2);
      }
      starters.push_back(pid);
    }
    close(gate[0]);
    close(gate[1]);  // every starter goes at once
    for (pid_t pid : starters) {
      int status = 0;
      waitpid(pid, &status, 0);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    }
    EXPECT_EQ(list_names(root + "/repositories/_nested"), markers);
    for (const std::string& name : list_names(root + "/repositories")) {
      EXPECT_NE(name.compare(0, 8, ".nested."), 0) << "left behind: " << name;
    }
  }
}

}  // namespace
