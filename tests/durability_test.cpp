// What the registry program puts on stable storage before it answers 201,
// read from the system calls it makes (strace): a power cut cannot be
// staged here, the order that makes one harmless can be checked.
//
// For every name it makes in the tree (a rename into place, a new
// directory) the program must, before the first byte of its answer:
//   - have flushed what the name will lead to (the renamed file itself)
//     before the rename;
//   - flush the directory that holds the new name after it;
//   - and put a link (a name that leads to other names: a blob's link in a
//     repository, a revision, a tag) in place only once every name made
//     before it is on stable storage, so that no link outlives, in a power
//     cut, what it leads to. Directory flushes may be held back until
//     then, not past it.
// Only the digest states of uploads are exempt: they can be made again.
#include <gtest/gtest.h>

#include <unistd.h>

#include <map>
#include <regex>
#include <string>
#include <vector>

#include "support/test_support.h"

using namespace testing_support;

namespace {

const std::string kProgram = REGISTRY_PATH;
const std::string kStrace = "/usr/bin/strace";

struct Call {
  std::string name;
  std::vector<std::string> paths;  // the fd or path arguments, resolved
  bool ok = false;
};

std::string dirname_of(const std::string& path) { return path.substr(0, path.find_last_of('/')); }

// "5</a/b>", "AT_FDCWD</a>" and a following "name" argument: the path
// they name together.
std::string resolve(const std::string& dir, const std::string& name) {
  return name.empty() || name[0] == '/' ? name : dir + "/" + name;
}

std::vector<Call> read_trace(const std::string& log) {
  static const std::regex fd_call(R"re(^\d+ +(fsync|fdatasync|read|pread64)\(\d+<([^>]*)>.*= (-?\d+))re");
  static const std::regex two_at(
      R"re(^\d+ +(renameat2?|linkat)\((?:AT_FDCWD|\d+)<([^>]*)>, "([^"]*)", (?:AT_FDCWD|\d+)<([^>]*)>, "([^"]*)".*= (-?\d+))re");
  static const std::regex one_at(R"re(^\d+ +(mkdirat)\((?:AT_FDCWD|\d+)<([^>]*)>, "([^"]*)".*= (-?\d+))re");
  static const std::regex answer(R"re(^\d+ +write\(1<)re");
  std::vector<Call> calls;
  size_t at = 0;
  while (at < log.size()) {
    const size_t nl = log.find('\n', at);
    const std::string line = log.substr(at, nl == std::string::npos ? std::string::npos : nl - at);
    at = nl == std::string::npos ? log.size() : nl + 1;
    std::smatch m;
    if (std::regex_search(line, m, fd_call)) {
      calls.push_back({m[1], {m[2]}, std::stoll(m[3]) >= 0});
    } else if (std::regex_search(line, m, two_at)) {
      calls.push_back({m[1], {resolve(m[2], m[3]), resolve(m[4], m[5])}, m[6] == "0"});
    } else if (std::regex_search(line, m, one_at)) {
      calls.push_back({m[1], {resolve(m[2], m[3])}, m[4] == "0"});
    } else if (std::regex_search(line, m, answer)) {
      calls.push_back({"answer", {}, true});
    } else if (line.find("rename(") != std::string::npos || line.find("mkdir(") != std::string::npos) {
      ADD_FAILURE() << "a call the order check does not read: " << line;
    }
  }
  return calls;
}

bool synced_in(const std::vector<Call>& calls, size_t from, size_t to, const std::string& path) {
  for (size_t i = from; i < to && i < calls.size(); ++i) {
    if ((calls[i].name == "fsync" || calls[i].name == "fdatasync") && calls[i].ok && calls[i].paths[0] == path) {
      return true;
    }
  }
  return false;
}

class Durability : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(access(kStrace.c_str(), X_OK), 0) << "strace is missing: scripts/setup --clients"; }

  // Runs the program as the web server would, under strace when traced;
  // returns its output, the calls in *calls.
  std::string call(const std::string& method, const std::string& path, const std::string& query,
                   const std::string& body, std::vector<Call>* calls = nullptr,
                   const std::map<std::string, std::string>& extra = {}) {
    std::map<std::string, std::string> env{{"REGISTRY_STORAGE_ROOT", root},     {"REQUEST_METHOD", method},
                                           {"PATH_INFO", path},                 {"QUERY_STRING", query},
                                           {"CONTENT_LENGTH", std::to_string(body.size())}};
    for (const auto& [k, v] : extra) env[k] = v;
    make_dirs(work);
    if (calls == nullptr) return run_program(kProgram, {}, env, work, body).out;
    const std::string log = tmp / "trace";
    const ProcessResult r = run_program(
        kStrace,
        {"-f", "-y", "-o", log, "-e", "trace=fsync,fdatasync,read,pread64,rename,renameat,renameat2,linkat,mkdir,mkdirat,write",
         "-e", "read=none", "-e", "write=none", kProgram},
        env, work, body);
    *calls = read_trace(read_bytes(log));
    return r.out;
  }

  // Every name made under the root is flushed in the order above, and
  // the answer comes after; returns how many names were checked.
  int expect_stable_before_answer(const std::vector<Call>& calls) {
    size_t answer = calls.size();
    for (size_t i = 0; i < calls.size(); ++i) {
      if (calls[i].name == "answer") {
        answer = i;
        break;
      }
    }
    EXPECT_LT(answer, calls.size()) << "no answer written";
    int checked = 0;
    const std::string states = root + "/upload-digests";
    std::vector<std::string> unflushed;  // directories changed since their last flush
    for (size_t i = 0; i < answer; ++i) {
      const Call& c = calls[i];
      if (c.ok && (c.name == "fsync" || c.name == "fdatasync")) std::erase(unflushed, c.paths[0]);
      if (!c.ok || c.name == "fsync" || c.name == "fdatasync" || c.name == "read" || c.name == "pread64") continue;
      const std::string& made = c.paths.back();
      if (made.rfind(root + "/", 0) != 0 || made.rfind(states, 0) == 0) continue;
      ++checked;
      if (made.substr(made.find_last_of('/') + 1) == "link") {
        std::string pending;
        for (const std::string& d : unflushed) pending += " " + d;
        EXPECT_TRUE(unflushed.empty()) << made << " was put in place before these were flushed:" << pending;
      }
      unflushed.push_back(dirname_of(made));
      if (c.name != "mkdirat") {
        EXPECT_TRUE(synced_in(calls, 0, i, c.paths[0])) << c.paths[0] << " was not flushed before it became " << made;
      }
      EXPECT_TRUE(synced_in(calls, i + 1, answer, dirname_of(made)))
          << dirname_of(made) << " was not flushed after " << made << " appeared in it";
    }
    return checked;
  }

  std::string push_blob(const std::string& repo, const std::string& bytes) {
    const std::string d = digest_string(bytes);
    EXPECT_NE(call("POST", "/v2/" + repo + "/blobs/uploads/", "digest=" + d, bytes).find("Status: 201"),
              std::string::npos);
    return d;
  }

  TempDir tmp;
  std::string root = tmp / "root";
  std::string work = tmp / "work";
};

TEST_F(Durability, AMonolithicBlobPushIsStableBeforeItsAnswer) {
  std::vector<Call> calls;
  const std::string bytes(300000, 'b');
  const std::string out =
      call("POST", "/v2/team/app/blobs/uploads/", "digest=" + digest_string(bytes), bytes, &calls);
  EXPECT_NE(out.find("Status: 201 Created"), std::string::npos) << out;
  // The blob, its prefix directory, the repository's link to it and the
  // directories on the way, the nested repository's marker.
  EXPECT_GE(expect_stable_before_answer(calls), 6);
}

TEST_F(Durability, AChunkedPushFinishesFromItsKeptDigestStably) {
  const std::string start = call("POST", "/v2/app/blobs/uploads/", "", "");
  const size_t at = start.find("Location: ");
  ASSERT_NE(at, std::string::npos) << start;
  const std::string location = start.substr(at + 10, start.find("\r\n", at) - at - 10);
  const std::string bytes(1 << 20, 'c');
  for (size_t i = 0; i < bytes.size(); i += 300000) {
    const std::string piece = bytes.substr(i, 300000);
    EXPECT_NE(call("PATCH", location, "", piece).find("Status: 202"), std::string::npos);
  }
  std::vector<Call> calls;
  const std::string out = call("PUT", location, "digest=" + digest_string(bytes), "", &calls);
  EXPECT_NE(out.find("Status: 201 Created"), std::string::npos) << out;
  EXPECT_GE(expect_stable_before_answer(calls), 2);
  // The finish took the digest kept as the chunks came: it read none of
  // the upload's bytes.
  for (const Call& c : calls) {
    if (c.name == "read" || c.name == "pread64") {
      EXPECT_EQ(c.paths[0].find("/uploads/"), std::string::npos) << "the finish read " << c.paths[0];
    }
  }
}

// The digest state kept after a PATCH may be lost and made again, but it
// must never stand for bytes that are not on the disk: the upload file is
// flushed before its state is put in place, and both before the answer.
TEST_F(Durability, APatchFlushesItsBytesBeforeTheStateThatStandsForThem) {
  const std::string start = call("POST", "/v2/app/blobs/uploads/", "", "");
  const size_t at = start.find("Location: ");
  ASSERT_NE(at, std::string::npos) << start;
  const std::string location = start.substr(at + 10, start.find("\r\n", at) - at - 10);
  const std::string id = location.substr(location.rfind('/') + 1);
  const std::string upload = root + "/uploads/" + id + ".part";
  const std::string state = root + "/upload-digests/" + id;
  for (int round = 0; round < 2; ++round) {
    std::vector<Call> calls;
    const std::string out = call("PATCH", location, "", std::string(200000, static_cast<char>('p' + round)), &calls);
    EXPECT_NE(out.find("Status: 202"), std::string::npos) << out;
    size_t synced = calls.size(), kept = calls.size(), answer = calls.size();
    for (size_t i = 0; i < calls.size(); ++i) {
      const Call& c = calls[i];
      if ((c.name == "fsync" || c.name == "fdatasync") && c.ok && c.paths[0] == upload && synced == calls.size()) {
        synced = i;
      }
      if (c.name.rfind("rename", 0) == 0 && c.ok && c.paths.back() == state) kept = i;
      if (c.name == "answer" && answer == calls.size()) answer = i;
    }
    ASSERT_LT(kept, calls.size()) << "round " << round << ": the state was kept";
    EXPECT_LT(synced, kept) << "round " << round << ": the upload was flushed before its state was put in place";
    EXPECT_LT(kept, answer) << "round " << round << ": the state is in place before the answer";
  }
}

TEST_F(Durability, AManifestPushIsStableBeforeItsAnswer) {
  const std::string config = push_blob("app", "{}");
  const std::string layer = push_blob("app", "layer");
  const std::string manifest =
      "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\",\"config\":{\"mediaType\":"
      "\"application/vnd.oci.image.config.v1+json\",\"digest\":\"" + config + "\",\"size\":2},\"layers\":[{"
      "\"mediaType\":\"application/vnd.oci.image.layer.v1.tar+gzip\",\"digest\":\"" + layer + "\",\"size\":5}]}";
  std::vector<Call> calls;
  const std::string out = call("PUT", "/v2/app/manifests/v1", "", manifest, &calls,
                               {{"CONTENT_TYPE", "application/vnd.oci.image.manifest.v1+json"}});
  EXPECT_NE(out.find("Status: 201 Created"), std::string::npos) << out;
  // Body, content type, revision link, tag link and their new directories.
  EXPECT_GE(expect_stable_before_answer(calls), 8);
}

}  // namespace
