// The storage engine against what busy clients and hostile trees do to it:
// appends racing a finish, processes killed in the middle of a put or a
// delete, uploads raced by finishes and cancels, and links planted inside
// the tree. Real processes on real trees; only the public interface.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "storage/reg_storage.h"
#include "storage/upkeep/reg_maintenance.h"
#include "support/storage_fixture.h"
#include "support/test_support.h"
#include "support/tree_builder.h"

using namespace testing_support;

namespace {

class Integrity : public FreshStorage {
 protected:
  std::string upload_file(const std::string& id) const { return root + "/uploads/" + id + ".part"; }
  std::string mdir(const std::string& repo) const { return root + "/repositories/" + repo + "/_manifests"; }

  // Every blob file hashes to its name; returns how many there are.
  int expect_blobs_whole() {
    int n = 0;
    const std::string sha = root + "/blobs/sha256";
    for (const std::string& prefix : list_names(sha)) {
      for (const std::string& name : list_names(sha + "/" + prefix)) {
        EXPECT_EQ(digest_string(read_bytes(sha + "/" + prefix + "/" + name)), "sha256:" + name);
        ++n;
      }
    }
    return n;
  }

  // Every tag and revision link of the repository names a stored body.
  void expect_links_name_bodies(const std::string& repo, const std::string& when) {
    const std::string m = mdir(repo);
    for (const std::string& tag : list_names(m + "/tags")) {
      if (tag[0] == '.') continue;
      const std::string link = m + "/tags/" + tag + "/current/link";
      if (!is_file(link)) continue;
      const std::string d = read_bytes(link);
      ASSERT_EQ(d.size(), 71u) << when << ": tag " << tag;
      EXPECT_TRUE(is_file(m + "/" + d.substr(7))) << when << ": tag " << tag << " names a missing body";
    }
    for (const std::string& hex : list_names(m + "/revisions/sha256")) {
      const std::string link = m + "/revisions/sha256/" + hex + "/link";
      if (is_file(link)) {
        EXPECT_TRUE(is_file(m + "/" + hex)) << when << ": revision " << hex << " without its body";
      }
    }
  }
};

int wait_for(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// In a child: a fresh engine on root, then fn's result as exit status.
template <typename Fn>
pid_t spawn(const std::string& root, Fn fn) {
  const pid_t pid = fork();
  if (pid == 0) {
    reg_storage_cleanup();
    if (reg_storage_init(root.c_str()) != 0) _exit(100);
    _exit(fn());
  }
  return pid;
}

// ---- Appends racing a finish ------------------------------------------------

// How one family of calls uploads: the registry's requests on held
// uploads of a repository, or the engine's first operations.
struct UploadCalls {
  const char* name;
  std::function<std::string(const std::string& bytes)> start_with;  // a new upload holding bytes
  std::function<int(const std::string& id, const char* bytes, size_t len)> append;
  std::function<int(const std::string& id, const std::string& digest)> finish;
  std::function<void(const std::string& id)> cancel;
};

std::vector<UploadCalls> upload_families() {
  UploadCalls held{"held uploads",
                   [](const std::string& bytes) {
                     reg_status st;
                     char id[37] = "";
                     EXPECT_EQ(reg_upload_start("app", nullptr, id, &st), 0) << st.message;
                     EXPECT_EQ(append_to("app", id, bytes, 0, &st), 0) << st.message;
                     return std::string(id);
                   },
                   [](const std::string& id, const char* bytes, size_t len) {
                     reg_status st;
                     return append_to("app", id.c_str(), std::string(bytes, len), -1, &st);
                   },
                   [](const std::string& id, const std::string& digest) {
                     reg_status st;
                     return finish_upload("app", id.c_str(), digest, &st);
                   },
                   [](const std::string& id) {
                     reg_status st;
                     cancel_upload("app", id.c_str(), &st);
                   }};
  UploadCalls first{"the first operations",
                    [](const std::string& bytes) {
                      char id[37] = "";
                      EXPECT_EQ(reg_blob_start_upload(id), 0);
                      EXPECT_EQ(reg_blob_append_chunk(id, bytes.data(), bytes.size()), 0);
                      return std::string(id);
                    },
                    [](const std::string& id, const char* bytes, size_t len) {
                      return reg_blob_append_chunk(id.c_str(), bytes, len);
                    },
                    [](const std::string& id, const std::string& digest) {
                      char out[72];
                      return reg_blob_finish_upload(id.c_str(), digest.c_str(), out);
                    },
                    [](const std::string& id) { reg_blob_cancel_upload(id.c_str()); }};
  return {held, first};
}

TEST_F(Integrity, AppendsRacingAFinishNeverCorruptABlob) {
  // One process finishes an upload while another appends "EVIL" to it,
  // round after round: at least 300 rounds however long they take, then
  // more for about a second, 1500 at most, for each family of calls.
  // Whatever interleaving happens, no blob may hold bytes that do not
  // hash to its name.
  std::string content(4103, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 31 + 7);
  const std::string digest = digest_string(content);
  for (const UploadCalls& calls : upload_families()) {
    SCOPED_TRACE(calls.name);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    int rounds = 0;
    int finished = 0;
    while (rounds < 300 || (std::chrono::steady_clock::now() < end && rounds < 1500)) {
      ++rounds;
      const std::string upload = calls.start_with(content);
      const pid_t evil = spawn(root, [&] {
        for (int i = 0; i < 200; ++i) {
          if (calls.append(upload, "EVIL", 4) != 0) return 0;
        }
        return 0;
      });
      usleep(static_cast<useconds_t>(rounds % 7) * 50);
      if (calls.finish(upload, digest) == 0) ++finished;
      wait_for(evil);
      // The blob must stay whole; the next round's finish may meet it.
      const std::string blob = root + "/blobs/sha256/" + digest.substr(7, 2) + "/" + digest.substr(7);
      if (is_file(blob)) {
        ASSERT_EQ(read_bytes(blob).size(), content.size()) << "round " << rounds;
        ASSERT_EQ(digest_string(read_bytes(blob)), digest) << "round " << rounds;
        ASSERT_EQ(reg_blob_delete(digest.c_str()), 0);
      }
      calls.cancel(upload);
    }
    EXPECT_GT(finished, 0) << "some finishes won the race";
    expect_blobs_whole();
    EXPECT_TRUE(list_names(root + "/uploads").empty()) << "no upload came back after its finish or cancel";
  }
}

// ---- Appends after a finish or a cancel -------------------------------------

TEST_F(Integrity, AnUploadThatIsGoneStaysGone) {
  char id[37];
  char out[72];
  ASSERT_EQ(reg_blob_start_upload(id), 0);
  ASSERT_EQ(reg_blob_finish_upload(id, digest_string("").c_str(), out), 0);
  EXPECT_EQ(reg_blob_append_chunk(id, "x", 1), -1);
  EXPECT_EQ(std::string(reg_storage_last_error()), std::string("upload not found: ") + id);
  EXPECT_FALSE(exists(upload_file(id)));
  ASSERT_EQ(reg_blob_start_upload(id), 0);
  ASSERT_EQ(reg_blob_cancel_upload(id), 0);
  EXPECT_EQ(reg_blob_append_chunk(id, "x", 1), -1);
  EXPECT_FALSE(exists(upload_file(id)));
}

TEST_F(Integrity, AppendsRacingFinishesAndCancelsLeaveNoStrayUpload) {
  const std::string content = "some bytes";
  const std::string digest = digest_string(content);
  for (const UploadCalls& calls : upload_families()) {
    SCOPED_TRACE(calls.name);
    for (int round = 0; round < 300; ++round) {
      const std::string upload = calls.start_with(content);
      const pid_t appender = spawn(root, [&] {
        for (int i = 0; i < 50 && calls.append(upload, "", 0) == 0; ++i) {
        }
        return 0;
      });
      if (round % 2 == 0) {
        calls.finish(upload, digest);
      } else {
        calls.cancel(upload);
      }
      wait_for(appender);
      ASSERT_FALSE(exists(upload_file(upload))) << "round " << round << ": the upload came back";
    }
  }
}

// ---- Kills in the middle of puts and deletes ---------------------------------

TEST_F(Integrity, AKilledDeleteOrPutNeverLeavesALinkToAMissingBody) {
  // Each round: x is tagged u; one process tags it t while another deletes
  // tag u or deletes x by digest, and either may be killed at any moment.
  // No tag or revision may ever name a missing body, and a put that
  // reported success while no delete of x ran keeps its tag.
  const std::string x = "{\"schemaVersion\":2,\"config\":{\"digest\":\"sha256:" + std::string(64, 'c') + "\"}}";
  const std::string dx = digest_string(x);
  std::mt19937 rng(3);
  int kills = 0;
  int broken = 0;
  for (int round = 0; round < 400; ++round) {
    char out[72];
    ASSERT_EQ(reg_manifest_put("app", "u", x.data(), x.size(), nullptr, out), 0) << reg_storage_last_error();
    // Mostly deletes of the tag, the case where a delete once moved the
    // body aside and a kill left it there; every third by digest.
    const bool by_digest = round % 3 == 0;
    const pid_t deleter = spawn(root, [&] { return reg_manifest_delete("app", by_digest ? dx.c_str() : "u") == 0 ? 0 : 1; });
    const pid_t putter = spawn(root, [&] {
      char d[72];
      return reg_manifest_put("app", "t", x.data(), x.size(), nullptr, d) == 0 ? 0 : 1;
    });
    // Kill the deleter (most rounds) or the putter at a moment somewhere
    // in their work.
    usleep(static_cast<useconds_t>(200 + rng() % 900));
    const pid_t victim = round % 4 == 3 ? putter : deleter;
    kills += kill(victim, SIGKILL) == 0 ? 1 : 0;
    const int put_status = wait_for(putter);
    wait_for(deleter);
    const int before = ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
    expect_links_name_bodies("app", "round " + std::to_string(round));
    if (put_status == 0 && !by_digest) {
      char ct[REG_CONTENT_TYPE_CAP];
      char d[72];
      EXPECT_NE(reg_manifest_get("app", "t", ct, d), nullptr)
          << "round " << round << ": a put reported success and its tag is gone: " << reg_storage_last_error();
    }
    if (::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count() != before) ++broken;
    if (broken >= 5) break;  // enough to show it; the rest would only repeat
    // The next round starts from a whole manifest again.
    reg_manifest_delete("app", "t");
  }
  EXPECT_EQ(broken, 0) << "rounds that left a link to a missing body";
  EXPECT_GT(kills, 0);
  // What killed writers left is taken over by the next operation that
  // meets it: once x is put again and deleted, nothing of it remains.
  char out[72];
  ASSERT_EQ(reg_manifest_put("app", "t", x.data(), x.size(), nullptr, out), 0);
  ASSERT_EQ(reg_manifest_put("app", "u", x.data(), x.size(), nullptr, out), 0);
  ASSERT_EQ(reg_manifest_delete("app", dx.c_str()), 0) << reg_storage_last_error();
  std::vector<std::string> left;
  for (const std::string& n : list_names(mdir("app"))) left.push_back(n);
  EXPECT_EQ(left, (std::vector<std::string>{"lock", "revisions", "tags"})) << "no moved-aside or temporary files";
  EXPECT_TRUE(list_names(mdir("app") + "/tags").empty());
  EXPECT_TRUE(list_names(mdir("app") + "/revisions/sha256").empty());
}

// ---- Fsck after kills ----------------------------------------------------------------

TEST_F(Integrity, FsckAfterKilledWritersLeavesATreeThatPassesEveryInvariant) {
  // Writers of every kind killed at random moments: puts of images and of
  // their referrers, deletes by tag and by digest, uploads. Then fsck
  // repairs, finds nothing more, and the tree holds every invariant.
  std::vector<std::string> bodies;
  for (int i = 0; i < 3; ++i) {
    bodies.push_back("{\"schemaVersion\":2,\"config\":{\"digest\":\"sha256:" + std::string(64, 'c') +
                     "\"},\"layers\":[],\"n\":" + std::to_string(i) + "}");
  }
  const std::string subject = digest_string(bodies[0]);
  const std::string referrer = "{\"schemaVersion\":2,\"config\":{\"digest\":\"sha256:" + std::string(64, 'd') +
                               "\"},\"layers\":[],\"subject\":{\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\","
                               "\"digest\":\"" + subject + "\",\"size\":1}}";
  bodies.push_back(referrer);
  std::mt19937 rng(7);
  int kills = 0;
  for (int round = 0; round < 120; ++round) {
    const std::string& body = bodies[rng() % bodies.size()];
    const std::string tag = std::string("t").append(std::to_string(rng() % 3));
    const bool by_digest = rng() % 2 == 0;
    const std::string victim_body = bodies[rng() % bodies.size()];
    std::vector<pid_t> pids;
    pids.push_back(spawn(root, [&] {
      char d[72];
      return reg_manifest_put("app", rng() % 2 == 0 ? tag.c_str() : digest_string(body).c_str(), body.data(),
                              body.size(), nullptr, d) == 0 ? 0 : 1;
    }));
    pids.push_back(spawn(root, [&] {
      return reg_manifest_delete("app", by_digest ? digest_string(victim_body).c_str() : tag.c_str()) == 0 ? 0 : 1;
    }));
    pids.push_back(spawn(root, [&] {
      const std::string bytes(20000 + round, static_cast<char>('a' + round % 26));
      reg_status st;
      return upload_blob("app", bytes, &st).empty() ? 1 : 0;
    }));
    usleep(static_cast<useconds_t>(100 + rng() % 1500));
    kills += kill(pids[rng() % pids.size()], SIGKILL) == 0 ? 1 : 0;
    for (pid_t p : pids) wait_for(p);
  }
  EXPECT_GT(kills, 0);

  // Old enough that no leftover can be a live writer's.
  make_old(root, 600);
  reg_fsck_options o{};
  reg_fsck_summary s{};
  o.repair = 1;
  o.grace_seconds = 60;
  reg_status st;
  ASSERT_EQ(reg_fsck(&o, &s, &st), 0) << st.message;
  EXPECT_EQ(s.repaired, s.problems);
  std::printf("[ figures  ] %d kills; fsck repaired %lld problems\n", kills, static_cast<long long>(s.repaired));
  o.repair = 0;
  ASSERT_EQ(reg_fsck(&o, &s, &st), 0);
  EXPECT_EQ(s.problems, 0) << "a repaired tree has nothing more to repair";

  // The invariants: every link names what it should, every body has its
  // revision, every blob hashes to its name, nothing temporary is left.
  expect_links_name_bodies("app", "after fsck");
  expect_blobs_whole();
  const std::string m = mdir("app");
  for (const std::string& name : list_names(m)) {
    if (name.size() == 64) {
      EXPECT_TRUE(is_file(m + "/revisions/sha256/" + name + "/link")) << name;
    }
    EXPECT_NE(name[0], '.') << name;
  }
  for (const std::string& tag : list_names(m + "/tags")) {
    char ct[REG_CONTENT_TYPE_CAP];
    char d[72];
    EXPECT_NE(reg_manifest_get("app", tag.c_str(), ct, d), nullptr) << tag << ": " << reg_storage_last_error();
  }
  const std::string refs = m + "/referrers/sha256/" + subject.substr(7);
  for (const std::string& entry : exists(refs) ? list_names(refs) : std::vector<std::string>{}) {
    EXPECT_TRUE(is_file(m + "/" + entry.substr(7))) << "referrer entry " << entry;
  }
  for (const std::string& d : list_names(root + "/repositories/app/_layers/sha256")) {
    EXPECT_EQ(list_names(root + "/repositories/app/_layers/sha256/" + d), std::vector<std::string>{"link"}) << d;
  }
  for (const std::string& id : list_names(root + "/repositories/app/_uploads")) {
    EXPECT_TRUE(is_file(upload_file(id))) << "a mark without its upload: " << id;
  }
}

// ---- Links planted inside the tree --------------------------------------------

TEST_F(Integrity, LinksInsideTheTreeAreNeverFollowed) {
  const std::string outside = tmp / "outside";
  make_dirs(outside);
  write_bytes(outside + "/victim", "victim's bytes");
  const std::string body = "{\"config\":{\"digest\":\"sha256:" + std::string(64, 'a') + "\"}}";
  char out[72];
  char ct[REG_CONTENT_TYPE_CAP];

  // A repository that is a link to a directory outside.
  ASSERT_EQ(symlink(outside.c_str(), (root + "/repositories/evil").c_str()), 0);
  EXPECT_EQ(reg_manifest_put("evil", "t", body.data(), body.size(), nullptr, out), -1);
  EXPECT_EQ(list_names(outside), std::vector<std::string>{"victim"}) << "nothing written outside";
  EXPECT_STREQ(reg_catalog_json(0, nullptr), "{\"repositories\":[]}");

  // A repository whose _manifests is a link.
  make_dirs(root + "/repositories/r");
  ASSERT_EQ(symlink(outside.c_str(), (root + "/repositories/r/_manifests").c_str()), 0);
  EXPECT_EQ(reg_manifest_put("r", "t", body.data(), body.size(), nullptr, out), -1);
  EXPECT_EQ(reg_manifest_delete("r", "t"), -1);
  EXPECT_EQ(list_names(outside), std::vector<std::string>{"victim"});

  // A tag link that is a link to a file outside: never read.
  ASSERT_EQ(reg_manifest_put("ok", "real", body.data(), body.size(), nullptr, out), 0);
  write_bytes(outside + "/digest", out);
  make_dirs(mdir("ok") + "/tags/planted/current");
  ASSERT_EQ(symlink((outside + "/digest").c_str(), (mdir("ok") + "/tags/planted/current/link").c_str()), 0);
  EXPECT_EQ(reg_manifest_get("ok", "planted", ct, out), nullptr);
  EXPECT_STREQ(reg_tags_list_json("ok"), "{\"name\":\"ok\",\"tags\":[\"real\"]}");

  // An upload file that is a link to a file outside: no append writes
  // into it, and no finish publishes it.
  char id[37];
  ASSERT_EQ(reg_blob_start_upload(id), 0);
  ASSERT_EQ(unlink(upload_file(id).c_str()), 0);
  ASSERT_EQ(symlink((outside + "/victim").c_str(), upload_file(id).c_str()), 0);
  EXPECT_EQ(reg_blob_append_chunk(id, "EVIL", 4), -1);
  EXPECT_EQ(read_bytes(outside + "/victim"), "victim's bytes");
  const std::string victim_digest = digest_string("victim's bytes");
  EXPECT_EQ(reg_blob_finish_upload(id, victim_digest.c_str(), out), -1);
  EXPECT_EQ(reg_blob_exists(victim_digest.c_str()), 0) << "the link was not moved into the store";
  EXPECT_TRUE(is_file(outside + "/victim"));

  // A blob path that is a link: not served.
  const std::string dir = root + "/blobs/sha256/" + victim_digest.substr(7, 2);
  make_dirs(dir);
  ASSERT_EQ(symlink((outside + "/victim").c_str(), (dir + "/" + victim_digest.substr(7)).c_str()), 0);
  EXPECT_EQ(reg_blob_exists(victim_digest.c_str()), -1);
  EXPECT_EQ(reg_blob_get_size(victim_digest.c_str()), -1);
  char path[4096];
  EXPECT_EQ(reg_blob_get_filepath(victim_digest.c_str(), path, sizeof path), -1);

  // A prefix directory that is a link: a finish does not move a blob through it.
  const std::string hello = digest_string("hello");
  ASSERT_EQ(symlink(outside.c_str(), (root + "/blobs/sha256/" + hello.substr(7, 2)).c_str()), 0);
  ASSERT_EQ(reg_blob_start_upload(id), 0);
  ASSERT_EQ(reg_blob_append_chunk(id, "hello", 5), 0);
  EXPECT_EQ(reg_blob_finish_upload(id, hello.c_str(), out), -1);
  EXPECT_EQ(list_names(outside), (std::vector<std::string>{"digest", "victim"}));
}

TEST_F(Integrity, TheStorageRootItselfMayBeALink) {
  const std::string link = tmp / "root-link";
  ASSERT_EQ(symlink(root.c_str(), link.c_str()), 0);
  reg_storage_cleanup();
  ASSERT_EQ(reg_storage_init(link.c_str()), 0) << reg_storage_last_error();
  const std::string body = "{\"config\":{\"digest\":\"sha256:" + std::string(64, 'a') + "\"}}";
  char out[72];
  ASSERT_EQ(reg_manifest_put("team/app", "v1", body.data(), body.size(), nullptr, out), 0) << reg_storage_last_error();
  EXPECT_STREQ(reg_catalog_json(0, nullptr), "{\"repositories\":[\"team/app\"]}");
  char id[37];
  ASSERT_EQ(reg_blob_start_upload(id), 0);
  ASSERT_EQ(reg_blob_append_chunk(id, "hello", 5), 0);
  ASSERT_EQ(reg_blob_finish_upload(id, digest_string("hello").c_str(), out), 0) << reg_storage_last_error();
  EXPECT_EQ(reg_blob_get_size(out), 5);
}

// ---- Faults answered as faults --------------------------------------------------

TEST_F(Integrity, ADirectoryUnderABlobsNameGetsOneAnswer) {
  const std::string d = digest_string("hello");
  make_dirs(root + "/blobs/sha256/" + d.substr(7, 2) + "/" + d.substr(7));
  EXPECT_EQ(reg_blob_exists(d.c_str()), -1);
  EXPECT_EQ(reg_storage_last_kind(), REG_ERR_STORAGE);
  const std::string msg = reg_storage_last_error();
  EXPECT_NE(msg.find(d), std::string::npos) << msg;
  EXPECT_EQ(reg_blob_get_size(d.c_str()), -1);
  EXPECT_EQ(std::string(reg_storage_last_error()), msg);
  char path[4096];
  EXPECT_EQ(reg_blob_get_filepath(d.c_str(), path, sizeof path), -1);
  EXPECT_EQ(std::string(reg_storage_last_error()), msg);
  EXPECT_EQ(reg_blob_delete(d.c_str()), -1);
  EXPECT_EQ(std::string(reg_storage_last_error()), msg);
}

TEST_F(Integrity, AnUnreadableRepositoriesDirectoryFailsTheCatalog) {
  // As an unprivileged user (root reads every directory), in a child.
  make_dirs(root + "/repositories/a");
  ASSERT_EQ(chmod((root + "/repositories").c_str(), 0711), 0);  // others may pass, not list
  chmod(tmp.path().c_str(), 0755);
  auto r = run_in_child([&] {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
      std::printf("cannot drop privileges");
      return;
    }
    reg_storage_cleanup();
    if (reg_storage_init(root.c_str()) != 0) {
      std::printf("init: %s", reg_storage_last_error());
      return;
    }
    const char* text = reg_catalog_json(0, nullptr);
    std::printf("%s|%s", text == nullptr ? "null" : text, reg_storage_last_error());
  });
  chmod((root + "/repositories").c_str(), 0755);
  if (r.out.rfind("init: ", 0) == 0 || r.out.empty()) GTEST_SKIP() << "the tree is not usable by user nobody here: [" << r.out << "]";
  EXPECT_EQ(r.out, "null|cannot read repositories: " + root + "/repositories");
}

}  // namespace
