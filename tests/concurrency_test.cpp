// Real processes working on one tree at once: uploads of overlapping
// content, pushes, puts and deletes of tags, listings and statistics, for a
// bounded time; then the invariants of the tree. The work goes through the
// calls the registry program makes (held uploads, the status forms), and
// through the first operations of the engine beside them.
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
#include "support/storage_fixture.h"
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

bool valid_json(const std::string& text) { return valid_json(text.c_str()); }

std::vector<std::string> blob_contents() {
  std::vector<std::string> v;
  for (int i = 0; i < 4; ++i) {
    std::string s(50000 + 7919 * i, '\0');
    for (size_t j = 0; j < s.size(); ++j) s[j] = static_cast<char>((j * (i + 3)) ^ (j >> 8));
    v.push_back(s);
  }
  return v;
}

// Indexes of no children: a push of one needs nothing in the repository.
std::vector<std::string> index_bodies() {
  std::vector<std::string> v;
  for (int i = 0; i < 3; ++i) {
    v.push_back("{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.index.v1+json\",\"manifests\":[],"
                "\"annotations\":{\"n\":\"" + std::to_string(i) + "\"}}");
  }
  return v;
}

// A whole upload through the calls of the registry program: start, two
// PATCH requests, then a PUT with the last chunk that ends it as mode says
// (0 cancel, 1 a wrong digest, else the right one). false on what no
// interleaving may produce.
bool push_blob_in_requests(const char* repo, const std::string& blob, int mode) {
  reg_status st;
  char id[37];
  if (reg_upload_start(repo, nullptr, id, &st) != 0) return false;
  const size_t third = blob.size() / 3;
  if (append_to(repo, id, blob.substr(0, third), 0, &st) != 0 ||
      append_to(repo, id, blob.substr(third, third), static_cast<int64_t>(third), &st) != 0) {
    return false;
  }
  reg_upload* held = reg_upload_hold(repo, id, &st);
  if (held == nullptr) return false;
  bool ok = append_bytes(held, blob.substr(2 * third), static_cast<int64_t>(2 * third), &st) == 0;
  char out[REG_DIGEST_CAP];
  if (ok && mode == 0) {
    ok = reg_upload_held_cancel(held, &st) == 0;
  } else if (ok && mode == 1) {
    ok = reg_upload_held_finish(held, digest_string(blob + "x").c_str(), out, &st) != 0 && st.kind == REG_ERR_DIGEST;
  } else if (ok && reg_upload_held_finish(held, digest_string(blob).c_str(), out, &st) != 0) {
    // Another process may delete the prefix directory under us; the
    // upload then stays and a second request can finish it.
    reg_upload_release(held);
    ok = finish_upload(repo, id, digest_string(blob), &st) == 0 || cancel_upload(repo, id, &st) == 0;
    return ok;
  }
  reg_upload_release(held);
  return ok;
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
  const auto indexes = index_bodies();
  reg_status st;
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
    switch (rng() % 13) {
      case 10:
      case 11:  // a whole upload, as the registry's requests make it
        if (!push_blob_in_requests(repo, blob, static_cast<int>(rng() % 4))) bad("an upload in requests");
        break;
      case 12: {  // a push of an index under tags, as the registry makes it
        const std::string& index = indexes[rng() % indexes.size()];
        const char* const push_tags[] = {tag, tags[rng() % 4]};
        char out[REG_DIGEST_CAP];
        if (reg_manifest_push(repo, digest_string(index).c_str(), index.data(), index.size(), nullptr, push_tags, 2, out,
                              nullptr, &st) != 0) {
          bad("push");
        }
        break;
      }
      case 0:
      case 1: {  // a whole upload, in three chunks, through the first operations
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
        if (rng() % 2 == 0) {
          reg_manifest_delete(repo, ref.c_str());
        } else {
          reg_manifest_remove(repo, ref.c_str(), &st);
        }
        break;
      }
      case 6: {
        char ct[REG_CONTENT_TYPE_CAP];
        char digest[REG_DIGEST_CAP];
        if (const char* got = reg_manifest_get(repo, tag, ct, digest)) {
          if (digest_string(got) != digest) bad("a fetched body does not match its digest");
        }
        std::string read;
        if (reg_manifest_read(repo, tag, append_text, &read, ct, digest, &st) == 0 && digest_string(read) != digest) {
          bad("a body read does not match its digest");
        }
        break;
      }
      case 7:
        if (!valid_json(reg_catalog_json(0, nullptr))) bad("catalog JSON");
        if (!valid_json(catalog_page(2, nullptr).text)) bad("catalog page JSON");
        break;
      case 8:
        if (!valid_json(reg_tags_list_json(repo))) bad("tag list JSON");
        if (!valid_json(tags_page(repo, 1, "t0").text)) bad("tag page JSON");
        break;
      default: {
        if (!valid_json(reg_storage_get_stats_json())) bad("statistics JSON");
        std::string stats;
        if (reg_storage_stats_json(append_text, &stats, &st) != 0 || !valid_json(stats)) bad("statistics JSON");
      }
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
