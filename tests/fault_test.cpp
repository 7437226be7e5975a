// Faults: a read-only tree, a full file system, a file-size limit, the blob
// directory removed under a finish, and uploads killed at random moments.
// Each gives the specified error, never a crash, a partial blob or link, or
// a success that did not happen. (Kills at each step of an operation in
// turn, deterministic, are crash_points_test's.)
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "hash/sha256.h"
#include "storage/reg_storage.h"
#include "support/cgi_response.h"
#include "support/storage_fixture.h"
#include "support/test_support.h"

using namespace testing_support;

namespace {

const std::string kProgram = V2_CATALOG_PATH;
const std::string kBody = "{\"schemaVersion\":2,\"config\":{\"digest\":\"sha256:" + std::string(64, 'a') + "\"}}";

// Every file in a prefix directory holds the content its name says.
void expect_whole_blobs(const std::string& root) {
  for (const std::string& prefix : list_names(root + "/blobs/sha256")) {
    for (const std::string& name : list_names(root + "/blobs/sha256/" + prefix)) {
      EXPECT_EQ(digest_string(read_bytes(root + "/blobs/sha256/" + prefix + "/" + name)), "sha256:" + name);
    }
  }
}

void chmod_tree(const std::string& path, mode_t dir_mode) {
  if (!is_dir(path)) return;
  chmod(path.c_str(), dir_mode);
  for (const std::string& n : list_names(path)) chmod_tree(path + "/" + n, dir_mode);
}

// Drops root's privileges in a child, so that permissions apply to it.
void become_unprivileged() {
  if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(99);
}

TEST(Faults, ReadOnlyTree) {
  TempDir tmp;
  chmod(tmp.path().c_str(), 0755);
  const std::string root = tmp / "root";
  ASSERT_EQ(reg_storage_init(root.c_str()), 0);
  make_dirs(root + "/repositories/app");
  reg_storage_cleanup();
  chmod_tree(root, 0555);
  auto r = run_in_child([&] {
    become_unprivileged();
    if (reg_storage_init(root.c_str()) != 0) {
      std::printf("init: %s\n", reg_storage_last_error());
      return;
    }
    char id[37];
    char out[72];
    std::printf("start %d %s\n", reg_blob_start_upload(id), reg_storage_last_error());
    std::printf("put %d %s\n", reg_manifest_put("app", "t", kBody.data(), kBody.size(), nullptr, out),
                reg_storage_last_error());
    std::printf("catalog %s\n", reg_catalog_json(0, nullptr));
    const std::string fresh = root + "/sub";
    std::printf("fresh %d %s\n", reg_storage_init(fresh.c_str()), reg_storage_last_error());
  });
  chmod_tree(root, 0755);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("start -1 cannot create upload file: " + root + "/uploads/"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("put -1 mkdirs manifests dir failed"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("catalog {\"repositories\":[\"app\"]}"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("fresh -1 mkdirs failed: " + root + "/sub"), std::string::npos) << r.out;
  EXPECT_TRUE(list_names(root + "/uploads").empty());
}

TEST(Faults, ReadOnlyParentGivesThe500Response) {
  TempDir tmp;
  chmod(tmp.path().c_str(), 0555);
  auto r = run_in_child([&] {
    become_unprivileged();
    const std::string root = tmp / "root";
    char* const argv[] = {const_cast<char*>(kProgram.c_str()), nullptr};
    std::string env_root = "REGISTRY_STORAGE_ROOT=" + root;
    char* const envp[] = {env_root.data(), nullptr};
    std::fflush(stdout);
    execve(kProgram.c_str(), argv, envp);
    _exit(127);
  });
  chmod(tmp.path().c_str(), 0700);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("Status: 500 Internal Server Error\r\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"STORAGE_ERROR\""), std::string::npos);
}

// The faults that start from an engine ready on a fresh root.
using FaultsOnAFreshRoot = FreshStorage;

TEST_F(FaultsOnAFreshRoot, FileSizeLimitFailsWritesCleanly) {
  char out[72];
  ASSERT_EQ(reg_manifest_put("app", "t", kBody.data(), kBody.size(), nullptr, out), 0);
  const std::string old_digest = out;
  char id[37];
  ASSERT_EQ(reg_blob_start_upload(id), 0);
  char held_id[37];
  reg_status st;
  ASSERT_EQ(reg_upload_start("app", nullptr, held_id, &st), 0);
  reg_storage_cleanup();
  auto r = run_in_child([&] {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim = {1000, 1000};
    setrlimit(RLIMIT_FSIZE, &lim);
    if (reg_storage_init(root.c_str()) != 0) return;
    const std::string big = kBody.substr(0, kBody.size() - 1) + ",\"pad\":\"" + std::string(3000, 'p') + "\"}";
    char d[72];
    std::printf("put %d %s\n", reg_manifest_put("app", "t", big.data(), big.size(), nullptr, d), reg_storage_last_error());
    const std::string chunk(3000, 'c');
    std::printf("append %d %s\n", reg_blob_append_chunk(id, chunk.data(), chunk.size()), reg_storage_last_error());
    // The body from memory: a temporary file would meet the limit first.
    reg_status in_child;
    int held = -1;
    if (reg_upload* h = reg_upload_hold("app", held_id, &in_child)) {
      FILE* body = fmemopen(const_cast<char*>(chunk.data()), chunk.size(), "rb");
      held = reg_upload_held_append(h, body, static_cast<int64_t>(chunk.size()), 0, 0, &in_child);
      std::fclose(body);
      reg_upload_release(h);
    }
    std::printf("held append %d %d %s|", held, static_cast<int>(in_child.kind), in_child.cause);
    std::printf("%lld\n", static_cast<long long>(upload_size("app", held_id, &in_child)));
    const std::string fresh = tmp / "fresh";
    std::printf("init-limit-0 ok\n");
    struct rlimit zero = {0, 0};
    setrlimit(RLIMIT_FSIZE, &zero);
    std::printf("fresh %d %s\n", reg_storage_init(fresh.c_str()), reg_storage_last_error());
  });
  EXPECT_NE(r.out.find("put -1 write manifest body failed"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("append -1 write error appending chunk"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("held append -1 " + std::to_string(REG_ERR_STORAGE) + " File too large|0"), std::string::npos)
      << "the system's word, and nothing of the body kept: " << r.out;
  EXPECT_NE(r.out.find("fresh -1 write config.json failed"), std::string::npos) << r.out;
  // The tag still names the old, whole manifest; no temporary file is left.
  const std::string m = root + "/repositories/app/_manifests";
  EXPECT_EQ(read_bytes(m + "/tags/t/current/link"), old_digest);
  EXPECT_EQ(list_names(m), (std::vector<std::string>{old_digest.substr(7), old_digest.substr(7) + ".ct", "lock", "revisions", "tags"}));
  EXPECT_FALSE(exists(tmp / "fresh/config.json"));
  EXPECT_EQ(list_names(tmp / "fresh"), (std::vector<std::string>{"blobs", "repositories", "uploads"}));
}

TEST(Faults, FullFileSystem) {
  TempDir tmp;
  const std::string mnt = tmp / "mnt";
  make_dirs(mnt);
  if (mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=256k") != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs here (" << std::strerror(errno)
                 << "); the file-size-limit test covers failing writes";
  }
  struct Unmount {
    std::string path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
  } unmount{mnt};
  const std::string root = mnt + "/root";
  reg_storage_cleanup();
  ASSERT_EQ(reg_storage_init(root.c_str()), 0);
  char out[72];
  ASSERT_EQ(reg_manifest_put("app", "t", kBody.data(), kBody.size(), nullptr, out), 0);
  const std::string old_digest = out;
  char id[37];
  ASSERT_EQ(reg_blob_start_upload(id), 0);
  // Fill what is left.
  write_bytes(mnt + "/filler", std::string(512 * 1024, 'f'));
  const std::string big = kBody.substr(0, kBody.size() - 1) + ",\"pad\":\"" + std::string(8192, 'p') + "\"}";
  EXPECT_EQ(reg_manifest_put("app", "t", big.data(), big.size(), nullptr, out), -1);
  EXPECT_STREQ(reg_storage_last_error(), "write manifest body failed");
  const std::string chunk(8192, 'c');
  EXPECT_EQ(reg_blob_append_chunk(id, chunk.data(), chunk.size()), -1);
  EXPECT_STREQ(reg_storage_last_error(), "write error appending chunk");
  // The same through the registry's requests: the system's word, nothing
  // of the body kept, the tag as it was.
  reg_status st;
  char held_id[37];
  ASSERT_EQ(reg_upload_start("app", nullptr, held_id, &st), 0) << st.message;
  EXPECT_EQ(append_to("app", held_id, chunk, 0, &st), -1);
  EXPECT_EQ(st.kind, REG_ERR_STORAGE);
  EXPECT_STREQ(st.cause, "No space left on device");
  EXPECT_EQ(upload_size("app", held_id, &st), 0);
  const std::string index = "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.index.v1+json\","
                            "\"manifests\":[],\"annotations\":{\"pad\":\"" + std::string(8192, 'p') + "\"}}";
  EXPECT_EQ(reg_manifest_push("app", "t", index.data(), index.size(), nullptr, nullptr, 0, out, nullptr, &st), -1);
  EXPECT_EQ(st.kind, REG_ERR_STORAGE);
  EXPECT_STREQ(st.cause, "No space left on device");
  const std::string m = root + "/repositories/app/_manifests";
  EXPECT_EQ(read_bytes(m + "/tags/t/current/link"), old_digest);
  char ct[REG_CONTENT_TYPE_CAP];
  char d[72];
  EXPECT_STREQ(reg_manifest_get("app", "t", ct, d), kBody.c_str());
  EXPECT_STREQ(reg_catalog_json(0, nullptr), "{\"repositories\":[\"app\"]}");
  reg_storage_cleanup();
}

TEST_F(FaultsOnAFreshRoot, BlobDirectoryRemovedUnderAFinish) {
  std::string content(24 << 20, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 2654435761u >> 13);
  const std::string digest = digest_string(content);
  // Half the rounds through the registry's requests, half through the
  // engine's first operations.
  for (int round = 0; round < 6; ++round) {
    const bool held = round % 2 == 0;
    char id[37];
    reg_status st;
    if (held) {
      ASSERT_EQ(reg_upload_start("app", nullptr, id, &st), 0);
      ASSERT_EQ(append_to("app", id, content, 0, &st), 0) << st.message;
    } else {
      ASSERT_EQ(reg_blob_start_upload(id), 0);
      ASSERT_EQ(reg_blob_append_chunk(id, content.data(), content.size()), 0);
    }
    auto finish = [&]() {
      char out[72];
      return held ? finish_upload("app", id, digest, &st) : reg_blob_finish_upload(id, digest.c_str(), out);
    };
    pid_t pid = fork();
    if (pid == 0) _exit(finish() == 0 ? 0 : 1);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) remove_tree(root + "/blobs");
    const bool finished = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    const std::string upload = root + "/uploads/" + id + ".part";
    if (!finished) {
      EXPECT_EQ(read_bytes(upload).size(), content.size()) << "a failed finish keeps the whole upload";
      EXPECT_EQ(finish(), 0) << reg_storage_last_error() << st.message;
    }
    EXPECT_FALSE(exists(upload));
    expect_whole_blobs(root);
  }
}

TEST_F(FaultsOnAFreshRoot, KilledUploadsNeverLeaveAPartialBlob) {
  std::mt19937 rng(11);
  int killed = 0;
  for (int round = 0; round < 60; ++round) {
    pid_t pid = fork();
    if (pid == 0) {
      reg_storage_cleanup();
      if (reg_storage_init(root.c_str()) != 0) _exit(1);
      for (unsigned i = 0;; ++i) {
        std::string content(256 * 1024 + i % 7, static_cast<char>(i));
        const size_t half = content.size() / 2;
        char id[37];
        char out[72];
        if (i % 2 == 0) {  // through the registry's requests
          reg_status st;
          if (reg_upload_start("app", nullptr, id, &st) != 0) _exit(2);
          append_to("app", id, content.substr(0, half), 0, &st);
          append_to("app", id, content.substr(half), static_cast<int64_t>(half), &st);
          finish_upload("app", id, digest_string(content), &st, out);
        } else {
          if (reg_blob_start_upload(id) != 0) _exit(2);
          reg_blob_append_chunk(id, content.data(), half);
          reg_blob_append_chunk(id, content.data() + half, content.size() - half);
          reg_blob_finish_upload(id, digest_string(content).c_str(), out);
        }
        if (i % 3 == 0) reg_blob_delete(digest_string(content).c_str());
      }
    }
    usleep(static_cast<useconds_t>(rng() % 20000));
    kill(pid, SIGKILL);
    int status;
    waitpid(pid, &status, 0);
    killed += WIFSIGNALED(status) ? 1 : 0;
    expect_whole_blobs(root);
  }
  EXPECT_EQ(killed, 60);
  // What is left in uploads is pending uploads only, each finishable or cancellable.
  for (const std::string& name : list_names(root + "/uploads")) {
    const std::string id = name.substr(0, 36);
    EXPECT_EQ(reg_blob_cancel_upload(id.c_str()), 0);
  }
}

// ---- The line a 500 leaves in the server's error log ---------------------------------------

// A small tmpfs mounted for the life of the object; mounted() false where
// this machine does not let the test mount one.
class SmallFileSystem {
 public:
  SmallFileSystem(const std::string& path, const char* options) : path_(path) {
    make_dirs(path);
    mounted_ = mount("tmpfs", path.c_str(), "tmpfs", 0, options) == 0;
    if (!mounted_) why_ = std::strerror(errno);
  }
  ~SmallFileSystem() {
    if (mounted_) umount2(path_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  const std::string& why() const { return why_; }
  bool make_read_only() {
    return mount("tmpfs", path_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0;
  }

 private:
  std::string path_;
  bool mounted_ = false;
  std::string why_;
};

void chown_tree(const std::string& path, uid_t uid, gid_t gid) {
  lchown(path.c_str(), uid, gid);
  if (!is_dir(path)) return;
  for (const std::string& n : list_names(path)) chown_tree(path + "/" + n, uid, gid);
}

// A registry tree made as the registry makes it, belonging to the user the
// program runs as here.
void made_tree(const std::string& root) {
  reg_storage_cleanup();
  ASSERT_EQ(reg_storage_init(root.c_str()), 0) << reg_storage_last_error();
  reg_storage_cleanup();
  chown_tree(root, kNobody.uid, kNobody.gid);
}

// Every 500 leaves one line on standard error (the web server's error
// log) that names the operation, the request, what failed and the
// system's own word for why: "Permission denied" must never come out as
// "No such file or directory", and an unreadable policy or users' file
// must say it is one. The program runs as an unprivileged user, so that
// permissions apply; full and read-only file systems are small tmpfs
// mounts (left out, with a note, where mounting is not allowed).
TEST(Faults, Every500LineNamesTheSystemsError) {
  TempDir tmp;
  chmod(tmp.path().c_str(), 0755);
  struct Case {
    std::string name;
    std::map<std::string, std::string> env;  // the request and its settings
    std::string body;
    std::string line;  // the whole line, without its end
  };
  std::vector<Case> cases;
  auto request = [](const std::string& root, const char* method, const std::string& uri) {
    std::map<std::string, std::string> env{{"REGISTRY_STORAGE_ROOT", root}, {"REQUEST_METHOD", method}, {"REQUEST_URI", uri}};
    const size_t q = uri.find('?');
    if (q != std::string::npos) env["QUERY_STRING"] = uri.substr(q + 1);
    return env;
  };

  // A root in a directory the user may not write to.
  make_dirs(tmp / "locked");
  chmod((tmp / "locked").c_str(), 0755);
  cases.push_back({"permission", request(tmp / "locked/root", "GET", "/v2/_catalog"), "",
                   "registry: storage init GET /v2/_catalog: mkdirs failed: " + (tmp / "locked/root") +
                       ": Permission denied"});

  // A root whose parent is a link to nothing.
  ASSERT_EQ(symlink((tmp / "nowhere").c_str(), (tmp / "dangling").c_str()), 0);
  cases.push_back({"missing parent", request(tmp / "dangling/root", "GET", "/v2/_catalog"), "",
                   "registry: storage init GET /v2/_catalog: mkdirs failed: " + (tmp / "dangling/root") +
                       ": No such file or directory"});

  // Access-control files the user may not read, and a directory of them
  // it may not look into: refused, never taken for files that are absent.
  const std::string authed = tmp / "authed";
  made_tree(authed);
  make_dirs(authed + "/auth");
  write_bytes(authed + "/auth/policy", "alice ** pull\n");
  write_bytes(authed + "/auth/htpasswd", "alice:$2y$04$abcdefghijklmnopqrstuu5Ih2W6F7bbv1Cw6ZxqgqM9lVqH0e5m6\n");
  chown_tree(authed + "/auth", kNobody.uid, kNobody.gid);
  chmod((authed + "/auth/policy").c_str(), 0);
  chmod((authed + "/auth/htpasswd").c_str(), 0);
  auto with = [](std::map<std::string, std::string> env, const std::map<std::string, std::string>& more) {
    for (const auto& [k, v] : more) env[k] = v;
    return env;
  };
  cases.push_back({"unreadable policy",
                   with(request(authed, "GET", "/v2/_catalog"), {{"REGISTRY_AUTH", "remote-user"}, {"REMOTE_USER", "alice"}}),
                   "",
                   "registry: access control: GET /v2/_catalog: cannot read the policy " + authed +
                       "/auth/policy: Permission denied"});
  cases.push_back({"unreadable users' file",
                   with(request(authed, "GET", "/auth/token?service=registry"),
                        {{"REGISTRY_AUTH", "token"}, {"HTTP_AUTHORIZATION", "Basic YWxpY2U6cHc="}}),  // alice:pw
                   "",
                   "registry: token GET /auth/token: cannot read the users' file " + authed +
                       "/auth/htpasswd: Permission denied"});
  const std::string closed = tmp / "closed";
  made_tree(closed);
  make_dirs(closed + "/auth");
  write_bytes(closed + "/auth/policy", "alice ** pull\n");
  chown_tree(closed + "/auth", kNobody.uid, kNobody.gid);
  chmod((closed + "/auth").c_str(), 0);
  cases.push_back({"unsearchable auth directory",
                   with(request(closed, "GET", "/v2/_catalog"), {{"REGISTRY_AUTH", "remote-user"}, {"REMOTE_USER", "alice"}}),
                   "",
                   "registry: access control: GET /v2/_catalog: cannot read the policy " + closed +
                       "/auth/policy: Permission denied"});

  // A full file system, and a read-only one.
  SmallFileSystem full(tmp / "full", "size=256k");
  SmallFileSystem read_only(tmp / "ro", "size=1m");
  if (full.mounted()) {
    made_tree(tmp / "full/root");
    write_bytes(tmp / "full/filler", std::string(512 * 1024, 'f'));  // cut short where the space ends
    const std::string layer(64 * 1024, 'l');
    cases.push_back({"full disk",
                     with(request(tmp / "full/root", "POST", "/v2/app/blobs/uploads/?digest=" + digest_string(layer)),
                          {{"CONTENT_LENGTH", std::to_string(layer.size())}}),
                     layer, ""});
  }
  if (read_only.mounted()) {
    made_tree(tmp / "ro/root");
    ASSERT_TRUE(read_only.make_read_only()) << std::strerror(errno);
    cases.push_back({"read-only", request(tmp / "ro/root", "POST", "/v2/app/blobs/uploads/"), "", ""});
  }

  for (const Case& c : cases) {
    const CgiResponse r = parse_cgi_response(run_program(REGISTRY_PATH, {}, c.env, tmp.path(), c.body, kNobody));
    EXPECT_EQ(r.status.substr(0, 3), "500") << c.name << ": " << r.raw;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << c.name << ": " << r.err;
    const std::string line = r.err.substr(0, r.err.find('\n'));
    if (!c.line.empty()) {
      EXPECT_EQ(line, c.line) << c.name;
    } else if (c.name == "full disk") {
      EXPECT_EQ(line, "registry: blob upload append POST /v2/app/blobs/uploads/: write error appending chunk: "
                      "No space left on device");
    } else {
      // The upload's name is drawn at random.
      const std::string start = "registry: blob upload start POST /v2/app/blobs/uploads/: cannot create upload file: " +
                                (tmp / "ro/root/uploads/");
      EXPECT_EQ(line.substr(0, start.size()), start);
      EXPECT_EQ(line.substr(start.size() + 36), ".part: Read-only file system") << line;
    }
  }
  reg_storage_cleanup();
  if (!full.mounted() || !read_only.mounted()) {
    GTEST_SKIP() << "no small tmpfs here (" << full.why() << read_only.why()
                 << "): the full and read-only cases were left out";
  }
}

}  // namespace
