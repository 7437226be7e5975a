// A request on an upload holds it once: read from the system calls the
// registry program makes (strace) serving a PATCH or a PUT with the last
// chunk, each takes the upload's lock once, a PUT reads none of the bytes that arrived before
// it, and no request reads back a digest state it wrote itself; a PATCH
// with an empty body touches nothing. The upload's bytes reach the disk
// before a state that stands for them is written.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "storage/reg_storage.h"
#include "support/storage_fixture.h"
#include "support/test_support.h"

using namespace testing_support;

namespace {

const std::string kProgram = REGISTRY_PATH;
const std::string kStrace = "/usr/bin/strace";

// One system call on a path of the tree.
struct Call {
  std::string name;  // "lock", "read", "write", "fsync", "rename"
  std::string path;  // the file it works on; for a rename, the new name
  long long bytes = 0;  // what a read or write moved
};

// What stands in the nth "<...>" of a line (strace -y: the path of a
// descriptor), and the quoted name right after it, if any.
std::string nth_path(const std::string& line, int n, std::string* name = nullptr) {
  size_t at = 0;
  for (int i = 0; i <= n; ++i) {
    at = line.find('<', at);
    if (at == std::string::npos) return "";
    ++at;
  }
  const size_t end = line.find('>', at);
  if (end == std::string::npos) return "";
  if (name != nullptr) {
    const size_t open = line.find('"', end);
    const size_t close = open == std::string::npos ? open : line.find('"', open + 1);
    *name = close == std::string::npos ? "" : line.substr(open + 1, close - open - 1);
  }
  return line.substr(at, end - at);
}

std::vector<Call> read_trace(const std::string& log) {
  std::vector<Call> calls;
  size_t at = 0;
  while (at < log.size()) {
    const size_t nl = log.find('\n', at);
    const std::string line = log.substr(at, nl == std::string::npos ? std::string::npos : nl - at);
    at = nl == std::string::npos ? log.size() : nl + 1;
    // "<pid>  <call>(<arguments>) = <result>"
    const size_t call_at = line.find_first_not_of(' ', line.find(' '));
    const size_t paren = line.find('(', call_at);
    const size_t result_at = line.rfind(" = ");
    if (call_at == std::string::npos || paren == std::string::npos || result_at == std::string::npos) continue;
    const std::string call = line.substr(call_at, paren - call_at);
    const long long result = std::atoll(line.c_str() + result_at + 3);
    if (call == "fcntl" && line.find("SETLKW") != std::string::npos && line.find("F_WRLCK") != std::string::npos) {
      calls.push_back({"lock", nth_path(line, 0)});
    } else if (call == "read" || call == "pread64" || call == "write" || call == "fsync" || call == "fdatasync") {
      const std::string name = call == "pread64" ? "read" : call == "fdatasync" ? "fsync" : call;
      if (result >= 0) calls.push_back({name, nth_path(line, 0), result});
    } else if (call == "sync_file_range" && result == 0) {
      calls.push_back({"behind", nth_path(line, 0)});
    } else if ((call == "renameat" || call == "renameat2") && result == 0) {
      std::string leaf;
      const std::string dir = nth_path(line, 1, &leaf);
      calls.push_back({"rename", leaf.empty() || leaf[0] == '/' ? leaf : dir + "/" + leaf});
    }
  }
  return calls;
}

// The calls of that name on path; reads and writes count when they moved bytes.
size_t count(const std::vector<Call>& calls, const std::string& name, const std::string& path) {
  size_t n = 0;
  for (const Call& c : calls) {
    const bool moved = (c.name != "read" && c.name != "write") || c.bytes > 0;
    n += c.name == name && c.path == path && moved ? 1 : 0;
  }
  return n;
}

class UploadHold : public FreshStorage {
 protected:
  void SetUp() override {
    FreshStorage::SetUp();
    ASSERT_EQ(access(kStrace.c_str(), X_OK), 0) << "strace is missing: scripts/setup --clients";
    reg_status st;
    ASSERT_EQ(reg_upload_start("app", nullptr, id, &st), 0) << st.message;
    upload = root + "/uploads/" + id + ".part";
    state = root + "/upload-digests/" + id;
  }

  // One request to the registry program, as the web server makes it,
  // under strace: a PATCH whose chunk starts at `at` (-1: no range), or a
  // PUT with the last chunk and the upload's digest.
  std::vector<Call> request(const std::string& method, const std::string& body, long long at,
                            const std::string& digest = "") {
    std::map<std::string, std::string> env{{"REGISTRY_STORAGE_ROOT", root},
                                           {"REQUEST_METHOD", method},
                                           {"PATH_INFO", std::string("/v2/app/blobs/uploads/") + id},
                                           {"QUERY_STRING", digest.empty() ? "" : "digest=" + digest},
                                           {"CONTENT_LENGTH", std::to_string(body.size())},
                                           // The leak checker of a sanitizer build cannot run under ptrace.
                                           {"ASAN_OPTIONS", "detect_leaks=0"},
                                           // Only the upload's own files are looked at here.
                                           {"REGISTRY_METRICS", "off"}};
    if (at >= 0 && !body.empty()) {
      env["HTTP_CONTENT_RANGE"] = std::to_string(at) + "-" + std::to_string(at + static_cast<long long>(body.size()) - 1);
    }
    const std::string log = tmp / "trace";
    make_dirs(tmp / "work");
    const ProcessResult r = run_program(
        kStrace,
        {"-f", "-y", "-o", log, "-e", "trace=fcntl,read,pread64,write,fsync,fdatasync,sync_file_range,rename,renameat,renameat2",
         "-e", "read=none", "-e", "write=none", kProgram},
        env, tmp / "work", body);
    const std::string expected = method == "PUT" ? "Status: 201" : "Status: 202";
    EXPECT_EQ(r.out.rfind(expected, 0), 0u) << method << ": " << r.out << r.err;
    return read_trace(read_bytes(log));
  }

  char id[37] = "";
  std::string upload;
  std::string state;
};

TEST_F(UploadHold, EachRequestTakesTheLockOnceAndReadsNoStateItWrote) {
  const std::string a(300000, 'a'), b(200000, 'b'), c(100000, 'c');

  for (const std::string* chunk : {&a, &b}) {
    const std::vector<Call> patch = request("PATCH", *chunk, chunk == &a ? 0 : 300000);
    EXPECT_EQ(count(patch, "lock", upload), 1u) << "one lock for the whole PATCH";
    EXPECT_EQ(count(patch, "rename", state), 1u) << "the state kept once, for the next request";
    // What the previous request kept may be read, before this one writes.
    bool written = false;
    for (const Call& call : patch) {
      if (call.name == "rename" && call.path == state) written = true;
      EXPECT_FALSE(written && call.name == "read" && call.path == state) << "a state read back by its writer";
    }
    EXPECT_EQ(count(patch, "read", upload), 0u) << "an append reads nothing of the upload";
    // The bytes are on the disk before the state that stands for them.
    bool synced = false;
    for (const Call& call : patch) {
      if (call.name == "fsync" && call.path == upload) synced = true;
      if (call.name == "rename" && call.path == state) {
        EXPECT_TRUE(synced) << "a state written before its bytes";
      }
    }
  }

  // An empty PATCH asks for nothing: the lock of its check, and no write.
  const std::vector<Call> empty = request("PATCH", "", -1);
  EXPECT_EQ(count(empty, "lock", upload), 1u);
  for (const Call& call : empty) {
    if (call.path.rfind(root + "/", 0) != 0) continue;  // its answer
    EXPECT_TRUE(call.name == "lock" || call.name == "read") << call.name << " " << call.path;
    EXPECT_NE(call.path, state) << "an empty request does not even look at the state";
  }

  // The last chunk and the finish: one lock, no state written, none of the
  // earlier bytes read again.
  const std::string all = a + b + c;
  const std::vector<Call> put = request("PUT", c, -1, digest_string(all));
  EXPECT_EQ(count(put, "lock", upload), 1u) << "one lock for the last chunk and the finish";
  EXPECT_EQ(count(put, "rename", state), 0u) << "no state written for a finish that takes its own digest";
  EXPECT_EQ(count(put, "read", upload), 0u) << "the finish hashed nothing again";
  EXPECT_LE(count(put, "read", state), 1u) << "the previous request's state, once";
  EXPECT_EQ(count(put, "fsync", upload), 1u) << "the bytes flushed once, before the blob's name leads to them";
  const std::string blob = root + "/blobs/sha256/" + digest_string(all).substr(7, 2) + "/" + digest_string(all).substr(7);
  EXPECT_EQ(count(put, "rename", blob), 1u);
  EXPECT_EQ(read_bytes(blob), all);
  EXPECT_FALSE(exists(state)) << "no state outlives its upload";
}

// A long body is written behind as it arrives, window by window, and is
// still flushed whole before the state that stands for it: the flush at
// the end then finds little left to write.
TEST_F(UploadHold, ALongBodyIsWrittenBehindAndStillFlushedBeforeItsState) {
  const std::string body(20 << 20, 'x');  // two and a half windows
  const std::vector<Call> patch = request("PATCH", body, 0);
  EXPECT_GE(count(patch, "behind", upload), 3u) << "the first two windows started, the first waited for";
  bool behind = false, synced = false;
  for (const Call& call : patch) {
    if (call.name == "behind" && call.path == upload) behind = true;
    if (call.name == "fsync" && call.path == upload) {
      EXPECT_TRUE(behind) << "written behind before the flush";
      synced = true;
    }
    if (call.name == "rename" && call.path == state) {
      EXPECT_TRUE(synced) << "a state written before its bytes";
    }
  }
  EXPECT_TRUE(synced);
  EXPECT_EQ(read_bytes(upload).size(), body.size());
}

}  // namespace
