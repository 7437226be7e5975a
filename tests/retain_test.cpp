// registry-admin retain on real trees: which tags its rules keep, that a
// dry run lists exactly what the real run removes and changes nothing,
// immutable tags, repositories no rule names, refused rule lines, the
// delete events, gc freeing the blobs afterwards, and a tag pushed again
// between the listing and its delete. Tag times are set on the tags'
// link files, never waited for.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <yyjson.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "storage/reg_storage.h"
#include "support/storage_fixture.h"
#include "support/test_support.h"
#include "support/tree_builder.h"

using namespace testing_support;

namespace {

constexpr int64_t kHour = 3600;
constexpr int64_t kDay = 86400;

std::string admin_program() {
  const char* p = std::getenv("REGISTRY_TEST_ADMIN_PROGRAM");
  return p != nullptr && p[0] != '\0' ? p : REGISTRY_ADMIN_PATH;
}

bool emulated() { return std::getenv("REGISTRY_TEST_EMULATOR") != nullptr; }

std::string padded(int n) {
  char text[8];
  std::snprintf(text, sizeof text, "%04d", n);
  return text;
}

// The lines of text that begin with prefix, the prefix taken off and the
// rest cut at the first ':' (the tag's place, "repo:tag").
std::set<std::string> items_of(const std::string& text, const std::string& prefix) {
  std::set<std::string> out;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    if (line.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string rest = line.substr(prefix.size());
    const size_t colon = rest.find(':', rest.find(':') + 1);  // past "repo:tag"
    out.insert(rest.substr(0, colon));
  }
  return out;
}

// Every path below dir with its bytes (files) and modification time: what
// a run that changes nothing leaves as it found it.
std::map<std::string, std::string> snapshot(const std::string& dir) {
  std::map<std::string, std::string> out;
  for (const std::string& name : list_names(dir)) {
    const std::string path = dir + "/" + name;
    struct stat st {};
    lstat(path.c_str(), &st);
    const std::string when = std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
    if (is_dir(path)) {
      out[path] = "dir " + when;
      for (const auto& [p, v] : snapshot(path)) out[p] = v;
    } else {
      out[path] = when + " " + read_bytes(path);
    }
  }
  return out;
}

class Retain : public FreshStorage, public TreeBuilder {
 protected:
  ProcessResult admin(const std::vector<std::string>& args, std::map<std::string, std::string> env = {}) {
    reg_storage_cleanup();  // the program has the tree to itself
    env["REGISTRY_STORAGE_ROOT"] = root;
    ProcessResult r = run_program(admin_program(), args, env, tmp.path());
    EXPECT_EQ(reg_storage_init(root.c_str()), 0);
    for (std::string* s : {&r.out, &r.err}) {
      for (size_t at = s->find("\r\n"); at != std::string::npos; at = s->find("\r\n", at)) s->erase(at, 1);
    }
    return r;
  }

  // A fresh image (its own config and layer) under every one of tags at
  // once; the digests of its manifest and of both blobs.
  struct Image {
    std::string manifest, config, layer;
  };
  Image image_tagged(const std::string& repo, const std::string& seed, const std::vector<std::string>& tags) {
    Image im;
    im.config = blob(repo, "config " + seed);
    im.layer = blob(repo, "layer " + seed);
    const std::string body =
        "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(kImageType) +
        "\",\"config\":{\"mediaType\":\"application/vnd.oci.image.config.v1+json\",\"digest\":\"" + im.config +
        "\",\"size\":" + std::to_string(7 + seed.size()) +
        "},\"layers\":[{\"mediaType\":\"application/vnd.oci.image.layer.v1.tar\",\"digest\":\"" + im.layer +
        "\",\"size\":" + std::to_string(6 + seed.size()) + "}]}";
    im.manifest = digest_string(body);
    std::vector<const char*> names;
    for (const std::string& t : tags) names.push_back(t.c_str());
    char digest[REG_DIGEST_CAP];
    reg_status st;
    EXPECT_EQ(reg_manifest_push(repo.c_str(), im.manifest.c_str(), body.data(), body.size(), kImageType, names.data(),
                                static_cast<int>(names.size()), digest, nullptr, &st),
              0)
        << st.message;
    return im;
  }

  std::string link_of(const std::string& repo, const std::string& tag) const {
    return root + "/repositories/" + repo + "/_manifests/tags/" + tag + "/current/link";
  }
  // The tag as pushed seconds ago.
  void pushed_ago(const std::string& repo, const std::string& tag, int64_t seconds) {
    make_old(link_of(repo, tag), seconds);
  }
  std::vector<std::string> tags_of(const std::string& repo) const {
    return list_names(root + "/repositories/" + repo + "/_manifests/tags");
  }
  std::string blob_file(const std::string& d) const {
    return root + "/blobs/sha256/" + d.substr(7, 2) + "/" + d.substr(7);
  }
  void write_policy(const std::string& text) {
    make_dirs(root + "/auth");
    write_bytes(root + "/auth/policy", text);
  }

  // The delete events in the outbox: their tags, each of repo.
  std::multiset<std::string> deleted_tags(const std::string& repo) {
    std::multiset<std::string> out;
    if (!is_dir(root + "/events/outbox")) return out;
    for (const std::string& name : list_names(root + "/events/outbox")) {
      const std::string text = read_bytes(root + "/events/outbox/" + name);
      yyjson_doc* doc = yyjson_read(text.data(), text.size(), 0);
      EXPECT_NE(doc, nullptr) << text;
      if (doc == nullptr) continue;
      yyjson_val* e = yyjson_arr_get_first(yyjson_obj_get(yyjson_doc_get_root(doc), "events"));
      yyjson_val* target = yyjson_obj_get(e, "target");
      EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(e, "action")), "delete") << text;
      EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(target, "repository")), repo.c_str()) << text;
      EXPECT_EQ(yyjson_get_len(yyjson_obj_get(e, "id")), 32u) << text;
      const char* tag = yyjson_get_str(yyjson_obj_get(target, "tag"));
      out.insert(tag != nullptr ? tag : "");
      yyjson_doc_free(doc);
    }
    return out;
  }
};

// A CI repository of 1,000 tags: 980 builds ci-0000..ci-0979 (older than
// a week, a build an hour), ten releases v1.0..v1.9 and latest (a month
// old), nine feature branches (four pushed within the week). Builds share
// twenty images; releases have one, each feature branch its own.
class CiRepository : public Retain {
 protected:
  static constexpr int kBuilds = 980;

  void SetUp() override {
    Retain::SetUp();
    std::vector<std::vector<std::string>> builds(20);
    for (int n = 0; n < kBuilds; ++n) builds[n % 20].push_back("ci-" + padded(n));
    for (int i = 0; i < 20; ++i) build_images.push_back(image_tagged("ci/app", "build " + std::to_string(i), builds[i]));
    std::vector<std::string> releases{"latest"};
    for (int i = 0; i < 10; ++i) releases.push_back("v1." + std::to_string(i));
    release_image = image_tagged("ci/app", "release", releases);
    for (int i = 0; i < 9; ++i) {
      feature_images.push_back(image_tagged("ci/app", "feature " + std::to_string(i), {"feature-" + std::to_string(i)}));
    }
    for (int n = 0; n < kBuilds; ++n) pushed_ago("ci/app", "ci-" + padded(n), 8 * kDay + (kBuilds - 1 - n) * kHour);
    for (const std::string& t : releases) pushed_ago("ci/app", t, 30 * kDay);
    for (int i = 0; i < 9; ++i) pushed_ago("ci/app", "feature-" + std::to_string(i), (i < 4 ? 1 + i : 6 + i) * kDay);
    // A repository that no rule names, with tags older than any rule keeps.
    other = image_tagged("other/tool", "other", {"old-1", "old-2"});
    pushed_ago("other/tool", "old-1", 400 * kDay);
    pushed_ago("other/tool", "old-2", 400 * kDay);
    write_policy(
        "*  **  pull,push\n"
        "immutable:  ci/**  ci-0005\n"
        "# builds: the last ten; anything pushed this week; releases always\n"
        "retain:  ci/**  last:10     ci-*\n"
        "retain:  ci/**  within:7d   *\n"
        "retain:  ci/**  always      latest,v*\n");
  }

  // What the rules let go: the builds but the last ten and the immutable
  // one, and the five feature branches older than a week.
  std::set<std::string> expected_going() const {
    std::set<std::string> out;
    for (int n = 0; n < kBuilds - 10; ++n) {
      if (n != 5) out.insert("ci/app:ci-" + padded(n));
    }
    for (int i = 4; i < 9; ++i) out.insert("ci/app:feature-" + std::to_string(i));
    return out;
  }

  std::vector<Image> build_images;
  Image release_image;
  std::vector<Image> feature_images;
  Image other;
};

TEST_F(CiRepository, DryRunListsWhatTheRunRemovesAndGcThenFreesTheBlobs) {
  const std::map<std::string, std::string> before = snapshot(root);
  const ProcessResult dry = admin({"retain", "--dry-run", "--verbose"});
  ASSERT_EQ(dry.exit_code, 0) << dry.err;
  EXPECT_EQ(dry.err, "");
  EXPECT_EQ(snapshot(root), before) << "a dry run changes nothing";
  const std::set<std::string> would = items_of(dry.out, "would remove tag ");
  EXPECT_EQ(would, expected_going());
  // Why each stays: the first rule that keeps it, or its immutability.
  EXPECT_NE(dry.out.find("kept tag ci/app:ci-0979: line 4: retain: ci/** last:10 ci-*\n"), std::string::npos);
  EXPECT_NE(dry.out.find("kept tag ci/app:feature-0: line 5: retain: ci/** within:7d *\n"), std::string::npos);
  EXPECT_NE(dry.out.find("kept tag ci/app:v1.3: line 6: retain: ci/** always latest,v*\n"), std::string::npos);
  EXPECT_NE(dry.out.find("kept tag ci/app:ci-0005: no rule keeps it, but it is immutable "
                         "(policy line 2: immutable: ci/** ci-0005)\n"),
            std::string::npos);
  EXPECT_NE(dry.out.find("would remove tag ci/app:ci-0000: no rule keeps it (pushed "), std::string::npos);
  EXPECT_EQ(items_of(dry.out, "kept tag ").size(), 1000u - would.size());
  EXPECT_EQ(dry.out.substr(dry.out.rfind("\nretain: ") + 1),
            "retain: 2 repositories, 1 repository under rules, 1000 tags in them\n"
            "would remove: 974 tags; kept: 26 (1 immutable, 0 pushed again)\n");

  const ProcessResult run = admin({"retain"}, {{"REGISTRY_EVENTS", "on"}});
  ASSERT_EQ(run.exit_code, 0) << run.err;
  EXPECT_EQ(items_of(run.out, "removed tag "), would) << "the run removes what the dry run listed";
  EXPECT_EQ(items_of(run.out, "kept tag "), std::set<std::string>{"ci/app:ci-0005"}) << "without --verbose";
  EXPECT_EQ(run.out.substr(run.out.rfind("\nretain: ") + 1),
            "retain: 2 repositories, 1 repository under rules, 1000 tags in them\n"
            "removed: 974 tags; kept: 26 (1 immutable, 0 pushed again); registry-admin gc frees what only they "
            "named\n");
  std::set<std::string> left;
  for (const std::string& t : tags_of("ci/app")) left.insert("ci/app:" + t);
  EXPECT_EQ(left.size(), 26u);
  for (const std::string& gone : would) EXPECT_EQ(left.count(gone), 0u) << gone;
  EXPECT_EQ(tags_of("other/tool"), (std::vector<std::string>{"old-1", "old-2"})) << "no rule names it";

  // One delete event a removed tag, as a client's delete leaves.
  std::set<std::string> evented;
  for (const std::string& t : deleted_tags("ci/app")) EXPECT_TRUE(evented.insert("ci/app:" + t).second) << t;
  EXPECT_EQ(evented, would);

  // Nothing is left to remove: a second run removes nothing.
  const ProcessResult again = admin({"retain"});
  EXPECT_EQ(again.exit_code, 0) << again.err;
  EXPECT_EQ(items_of(again.out, "removed tag ").size(), 0u);

  // gc takes the manifests no tag names any more, then their blobs: the
  // builds' images whose every tag went (0-4 and 6-9: build 5 holds
  // ci-0005, builds 10-19 the last ten) and the old feature branches'.
  const ProcessResult gc = admin({"gc", "--delete-untagged", "--grace", "0s"});
  ASSERT_EQ(gc.exit_code, 0) << gc.err << gc.out;
  for (int i = 0; i < 20; ++i) {
    const bool kept = i == 5 || i >= 10;
    EXPECT_EQ(exists(blob_file(build_images[i].layer)), kept) << "build " << i;
    EXPECT_EQ(exists(blob_file(build_images[i].config)), kept) << "build " << i;
  }
  for (int i = 0; i < 9; ++i) EXPECT_EQ(exists(blob_file(feature_images[i].layer)), i < 4) << "feature " << i;
  EXPECT_TRUE(exists(blob_file(release_image.layer)));
  EXPECT_TRUE(exists(blob_file(other.layer)));
}

TEST_F(CiRepository, RulesFromAFileOfTheirOwnAndJson) {
  // The policy's own retain lines give way to the file's; its immutable
  // line still holds.
  write_bytes(tmp / "rules", "retain: ci/** always ci-00*,ci-01*\nretain: other/** last:1 *\n");
  const ProcessResult r = admin({"--json", "retain", "--dry-run", "--rules", tmp / "rules"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  yyjson_doc* doc = yyjson_read(r.out.data(), r.out.size(), 0);
  ASSERT_NE(doc, nullptr) << r.out;
  yyjson_val* top = yyjson_doc_get_root(doc);
  EXPECT_TRUE(yyjson_get_bool(yyjson_obj_get(top, "dry_run")));
  EXPECT_EQ(yyjson_get_int(yyjson_obj_get(top, "ruled")), 2);
  EXPECT_EQ(yyjson_get_int(yyjson_obj_get(top, "tags")), 1002);
  // Kept: ci-0000..ci-0199 and the newer of other's two, by byte order
  // (both pushed in the same second).
  EXPECT_EQ(yyjson_get_int(yyjson_obj_get(top, "kept")), 201);
  EXPECT_EQ(yyjson_get_int(yyjson_obj_get(top, "removed")), 1002 - 201);
  std::set<std::string> other_going;
  yyjson_val* f;
  yyjson_arr_iter it;
  yyjson_arr_iter_init(yyjson_obj_get(top, "findings"), &it);
  while ((f = yyjson_arr_iter_next(&it)) != nullptr) {
    if (std::string(yyjson_get_str(yyjson_obj_get(f, "repository"))) == "other/tool") {
      EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(f, "action")), "would remove");
      other_going.insert(yyjson_get_str(yyjson_obj_get(f, "item")));
    }
  }
  EXPECT_EQ(other_going, std::set<std::string>{"old-1"});
  yyjson_doc_free(doc);
  EXPECT_EQ(tags_of("ci/app").size(), 1000u);
}

TEST_F(Retain, BadRuleLinesAreRefusedNamingTheLine) {
  image_tagged("app", "x", {"a"});
  struct Case {
    std::string text;
    std::string err;
  };
  const std::vector<Case> cases = {
      {"retain: app last:3\n",
       "line 1: a retain rule has four fields: retain:, repositories, last:N or within:DURATION or always, tags"},
      {"# keep\n\nretain: app last:0 *\n",
       "line 3: keeps last:N (N from 1), within:DURATION (30s, 15m, 12h, 7d) or always, not last:0"},
      {"retain: app last:x *\n",
       "line 1: keeps last:N (N from 1), within:DURATION (30s, 15m, 12h, 7d) or always, not last:x"},
      {"retain: app within:7w *\n",
       "line 1: keeps last:N (N from 1), within:DURATION (30s, 15m, 12h, 7d) or always, not within:7w"},
      {"retain: app within:d *\n",
       "line 1: keeps last:N (N from 1), within:DURATION (30s, 15m, 12h, 7d) or always, not within:d"},
      {"retain: app keep *\n",
       "line 1: keeps last:N (N from 1), within:DURATION (30s, 15m, 12h, 7d) or always, not keep"},
      {"retain: app always v*,,x\n", "line 1: tags are tag patterns joined by ',': v*,,x"},
      {"retain: app always v/1\n", "line 1: tags are tag patterns joined by ',': v/1"},
      {"retain: a%b always *\n", "line 1: not a repository pattern: a%b"},
      {"retain: app always * extra\n",
       "line 1: a retain rule has four fields: retain:, repositories, last:N or within:DURATION or always, tags"},
  };
  // The default policy's path, as the host joins it.
  const std::string policy = root + (emulated() ? "\\auth\\policy" : "/auth/policy");
  for (const Case& c : cases) {
    write_policy("");
    write_bytes(tmp / "rules", c.text);
    ProcessResult r = admin({"retain", "--rules", tmp / "rules"});
    EXPECT_EQ(r.exit_code, 2) << c.text;
    EXPECT_EQ(r.err, "registry-admin: retain: " + (tmp / "rules") + ": " + c.err + "\n") << c.text;
    EXPECT_EQ(r.out, "");
    // The same line in the policy file: refused with the file's name.
    write_policy(c.text);
    r = admin({"retain", "--dry-run"});
    EXPECT_EQ(r.exit_code, 2) << c.text;
    EXPECT_EQ(r.err, "registry-admin: retain: policy " + policy + ": " + c.err + "\n") << c.text;
  }
  EXPECT_EQ(tags_of("app"), std::vector<std::string>{"a"});

  write_policy("*  **  pull,push\n");
  ProcessResult r = admin({"retain"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.err, "registry-admin: retain: no retain: rules in " + policy + "\n");
  r = admin({"retain", "--rules", tmp / "missing"});
  EXPECT_EQ(r.exit_code, 2);
  const std::string cannot = "registry-admin: retain: cannot read " + (tmp / "missing") + ": ";
  EXPECT_EQ(r.err.substr(0, cannot.size()), cannot);
  EXPECT_GT(r.err.size(), cannot.size() + 1) << "the system's word for why";
  r = admin({"retain", "--keep"});
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.err, "registry-admin: retain: unexpected argument: --keep\n");
}

// Holds the repository's lock as a push does, from this process.
class HeldRepositoryLock {
 public:
  explicit HeldRepositoryLock(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_CLOEXEC)) {
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    held_ = fd_ >= 0 && fcntl(fd_, F_OFD_SETLKW, &fl) == 0;
  }
  ~HeldRepositoryLock() {
    if (fd_ >= 0) close(fd_);
  }
  bool held() const { return held_; }
  void release() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
  bool held_ = false;
};

TEST_F(CiRepository, ATagPushedAgainAfterTheListingIsNotRemoved) {
  if (emulated()) GTEST_SKIP() << "the lock is taken as the POSIX host takes it";
  const std::string lock_path = root + "/repositories/ci/app/_manifests/lock";
  ASSERT_TRUE(is_file(lock_path));
  HeldRepositoryLock lock(lock_path);
  ASSERT_TRUE(lock.held());
  reg_storage_cleanup();
  const std::string log = tmp / "retain.log";
  const pid_t pid = start_logged({admin_program(), "--root", root, "retain", "--verbose"}, log);
  ASSERT_GT(pid, 0);
  // Its kept tags are reported once the listing is over and before any
  // delete, each of which waits for the lock held here.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (read_bytes(log).find("kept tag ci/app:") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_NE(read_bytes(log).find("kept tag ci/app:"), std::string::npos) << read_bytes(log);
  // ci-0000 pushed again, as a push moves a link in under the lock: the
  // same digest, and (to show the time alone is not what tells) the same
  // old time.
  const std::string link = link_of("ci/app", "ci-0000");
  const std::string digest = read_bytes(link);
  struct stat old {};
  ASSERT_EQ(stat(link.c_str(), &old), 0);
  write_bytes(link + ".new", digest);
  const struct timespec times[2] = {old.st_atim, old.st_mtim};
  ASSERT_EQ(utimensat(AT_FDCWD, (link + ".new").c_str(), times, 0), 0);
  ASSERT_EQ(std::rename((link + ".new").c_str(), link.c_str()), 0);
  lock.release();
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_EQ(reg_storage_init(root.c_str()), 0);
  const std::string out = read_bytes(log);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;
  EXPECT_NE(out.find("kept tag ci/app:ci-0000: pushed again since it was listed\n"), std::string::npos) << out;
  EXPECT_TRUE(is_file(link));
  EXPECT_NE(out.find("removed tag ci/app:ci-0001: "), std::string::npos);
  EXPECT_FALSE(exists(link_of("ci/app", "ci-0001")));
  EXPECT_NE(out.find("removed: 973 tags; kept: 27 (1 immutable, 1 pushed again)"), std::string::npos) << out;
}

}  // namespace
