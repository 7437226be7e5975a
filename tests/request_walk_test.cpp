// What one request reads, from the system calls of the registry program
// (strace): the settings file once, whatever the request; with access
// control, the policy and the token key once each; an upload's lock once
// per request on it. A request that reads its configuration twice may see
// two configurations.
#include <gtest/gtest.h>

#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "support/cgi_response.h"
#include "support/test_support.h"

using namespace testing_support;

namespace {

const std::string kProgram = REGISTRY_PATH;
const std::string kStrace = "/usr/bin/strace";

// The files the traced program opened, each as often as it opened it, and
// the files it locked for writing.
struct Trace {
  std::vector<std::string> opened;
  std::vector<std::string> locked;
  // Locks taken and files flushed, in order: "lock <path>", "fsync <path>".
  std::vector<std::string> steps;
  size_t opens_of(const std::string& path) const { return count(opened, path); }
  size_t locks_of(const std::string& path) const { return count(locked, path); }
  static size_t count(const std::vector<std::string>& v, const std::string& path) {
    size_t n = 0;
    for (const std::string& p : v) n += p == path ? 1 : 0;
    return n;
  }
};

// The quoted path of an openat line (after the "<path>" strace -y puts
// after a directory's descriptor), or the "<path>" of an fcntl line's
// descriptor.
Trace read_trace(const std::string& log) {
  Trace t;
  size_t at = 0;
  while (at < log.size()) {
    const size_t nl = log.find('\n', at);
    const std::string line = log.substr(at, nl == std::string::npos ? std::string::npos : nl - at);
    at = nl == std::string::npos ? log.size() : nl + 1;
    if (line.find(" = -1 ") != std::string::npos) continue;  // failed calls open or lock nothing
    if (const size_t call = line.find("openat("); call != std::string::npos) {
      const size_t open = line.find('"');
      const size_t close = open == std::string::npos ? open : line.find('"', open + 1);
      if (close == std::string::npos) continue;
      std::string name = line.substr(open + 1, close - open - 1);
      // Opened in a directory's descriptor: "openat(3</dir>, "name", ...".
      const size_t dir = line.find('<', call);
      if (name[0] != '/' && dir != std::string::npos && dir < open) {
        name = line.substr(dir + 1, line.find('>', dir) - dir - 1) + "/" + name;
      }
      t.opened.push_back(name);
    } else if (line.find("fcntl(") != std::string::npos && line.find("F_WRLCK") != std::string::npos &&
               line.find("SETLKW") != std::string::npos) {
      const size_t open = line.find('<');
      const size_t close = open == std::string::npos ? open : line.find('>', open);
      if (close != std::string::npos) {
        t.locked.push_back(line.substr(open + 1, close - open - 1));
        t.steps.push_back("lock " + t.locked.back());
      }
    } else if (line.find("fsync(") != std::string::npos) {
      const size_t open = line.find('<');
      const size_t close = open == std::string::npos ? open : line.find('>', open);
      if (close != std::string::npos) t.steps.push_back("fsync " + line.substr(open + 1, close - open - 1));
    }
  }
  return t;
}

class RequestWalk : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(access(kStrace.c_str(), X_OK), 0) << "strace is missing: scripts/setup --clients";
    make_dirs(work);
    make_dirs(root + "/auth");
    // "secret", as htpasswd -B -C 4 writes it.
    write_bytes(root + "/auth/htpasswd", "alice:$2y$04$.Ri7EwUtFt2lR1kuDwV.K.Xrx3GD49Or4j9lQ4fq0YyLrQzLPUFQe\n");
    write_bytes(root + "/auth/policy", "alice ** *\n");
    write_settings("off");
  }

  void write_settings(const std::string& auth) {
    write_bytes(config, "{\"storage_root\":\"" + root + "\",\"auth\":\"" + auth + "\"}\n");
  }

  // The request as the web server makes it, its settings from config.json
  // alone; traced into *trace when given.
  CgiResponse call(const std::string& method, const std::string& path, const std::string& query,
                   const std::string& body, const std::map<std::string, std::string>& extra = {},
                   Trace* trace = nullptr) {
    std::map<std::string, std::string> env{{"REQUEST_METHOD", method},
                                           {"PATH_INFO", path},
                                           {"QUERY_STRING", query},
                                           {"CONTENT_LENGTH", std::to_string(body.size())},
                                           {"HTTP_HOST", "reg.example"},
                                           {"ASAN_OPTIONS", "detect_leaks=0"}};
    for (const auto& [k, v] : extra) env[k] = v;
    if (trace == nullptr) return parse_cgi_response(run_program(kProgram, {}, env, work, body));
    const std::string log = tmp / "trace";
    const ProcessResult r = run_program(
        kStrace, {"-f", "-y", "-o", log, "-e", "trace=openat,fcntl,fsync", kProgram}, env, work, body);
    *trace = read_trace(read_bytes(log));
    return parse_cgi_response(r);
  }

  TempDir tmp;
  std::string root = tmp / "root";
  std::string work = tmp / "work";
  std::string config = work + "/config.json";
};

TEST_F(RequestWalk, APatchAndAPutReadTheSettingsOnceAndLockTheUploadOnce) {
  const CgiResponse started = call("POST", "/v2/app/blobs/uploads/", "", "");
  ASSERT_EQ(started.status, "202 Accepted") << started.raw;
  const std::string id = started.header("Docker-Upload-UUID");
  const std::string session = "/v2/app/blobs/uploads/" + id;
  const std::string lock = root + "/uploads/" + id + ".part";

  Trace patch;
  EXPECT_EQ(call("PATCH", session, "", "first", {}, &patch).status, "202 Accepted");
  EXPECT_EQ(patch.opens_of(config), 1u);
  EXPECT_EQ(patch.locks_of(lock), 1u);

  Trace put;
  const CgiResponse r = call("PUT", session, "digest=" + digest_string("firstlast"), "last", {}, &put);
  EXPECT_EQ(r.status, "201 Created") << r.raw;
  EXPECT_EQ(put.opens_of(config), 1u);
  EXPECT_EQ(put.locks_of(lock), 1u);
}

TEST_F(RequestWalk, ATokenCheckedManifestGetReadsEachFileOfAccessControlOnce) {
  const std::string manifest =
      "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.index.v1+json\",\"manifests\":[]}";
  ASSERT_EQ(call("PUT", "/v2/team/app/manifests/v1", "", manifest,
                 {{"CONTENT_TYPE", "application/vnd.oci.image.index.v1+json"}})
                .status,
            "201 Created");
  write_settings("token");
  const CgiResponse issued = call("GET", "", "service=registry&scope=repository:team/app:pull", "",
                                  {{"REQUEST_URI", "/auth/token?service=registry&scope=repository:team/app:pull"},
                                   {"HTTP_AUTHORIZATION", "Basic YWxpY2U6c2VjcmV0"}});  // alice:secret
  ASSERT_EQ(issued.status, "200 OK") << issued.raw;
  const size_t at = issued.body.find("\"token\":\"") + 9;
  const std::string token = issued.body.substr(at, issued.body.find('"', at) - at);

  Trace get;
  const CgiResponse r =
      call("GET", "/v2/team/app/manifests/v1", "", "", {{"HTTP_AUTHORIZATION", "Bearer " + token}}, &get);
  EXPECT_EQ(r.status, "200 OK") << r.raw;
  EXPECT_EQ(r.body, manifest);
  EXPECT_EQ(get.opens_of(config), 1u);
  EXPECT_EQ(get.opens_of(root + "/auth/token.key"), 1u);
  // What a token grants was decided when it was issued.
  EXPECT_EQ(get.opens_of(root + "/auth/policy"), 0u);
  EXPECT_EQ(get.opens_of(root + "/auth/htpasswd"), 0u);
}

TEST_F(RequestWalk, AManifestPutFlushesItsBodyBeforeItTakesTheRepositorysLock) {
  // Pushes to one repository wait for each other only for the renames and
  // the links: the body and its content type are on the disk before.
  const std::string config_blob = "{}";
  ASSERT_EQ(call("POST", "/v2/app/blobs/uploads/", "digest=" + digest_string(config_blob), config_blob).status, "201 Created");
  const std::string manifest = "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\","
                               "\"config\":{\"mediaType\":\"application/vnd.oci.image.config.v1+json\",\"digest\":\"" +
                               digest_string(config_blob) + "\",\"size\":2},\"layers\":[]}";
  Trace put;
  const CgiResponse r = call("PUT", "/v2/app/manifests/v1", "", manifest,
                             {{"CONTENT_TYPE", "application/vnd.oci.image.manifest.v1+json"}}, &put);
  ASSERT_EQ(r.status, "201 Created") << r.raw;
  const std::string lock = "lock " + root + "/repositories/app/_manifests/lock";
  const std::string staged = "fsync " + root + "/repositories/app/_manifests/." + digest_string(manifest).substr(7);
  size_t lock_at = put.steps.size(), body_at = put.steps.size(), ct_at = put.steps.size();
  for (size_t i = 0; i < put.steps.size(); ++i) {
    const std::string& s = put.steps[i];
    if (s == lock && lock_at == put.steps.size()) lock_at = i;
    if (s.rfind(staged + ".tmp.", 0) == 0) body_at = i;
    if (s.rfind(staged + ".ct.tmp.", 0) == 0) ct_at = i;
  }
  ASSERT_LT(lock_at, put.steps.size()) << "the repository's lock was never taken";
  EXPECT_LT(body_at, lock_at) << "the body was not flushed before the lock";
  EXPECT_LT(ct_at, lock_at) << "the content type was not flushed before the lock";
}

TEST_F(RequestWalk, APushIntoARepositoryFlushesEachFileAndDirectoryOnce) {
  // The flushes of the directories a push changes wait for the link that
  // leads to them and are made together: a directory changed by several
  // steps of one request is flushed once, not once a step.
  auto push_blob = [&](const std::string& bytes, Trace* trace) {
    return call("POST", "/v2/app/blobs/uploads/", "digest=" + digest_string(bytes), bytes, {}, trace);
  };
  auto manifest_of = [](const std::string& config_blob, const std::string& note) {
    return "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\",\"config\":{"
           "\"mediaType\":\"application/vnd.oci.image.config.v1+json\",\"digest\":\"" + digest_string(config_blob) +
           "\",\"size\":" + std::to_string(config_blob.size()) + "},\"layers\":[],\"annotations\":{\"n\":\"" + note + "\"}}";
  };
  const std::map<std::string, std::string> type{{"CONTENT_TYPE", "application/vnd.oci.image.manifest.v1+json"}};
  // The repository and its directories exist: what the first push of a
  // repository makes is made once.
  ASSERT_EQ(push_blob("{}", nullptr).status, "201 Created");
  ASSERT_EQ(call("PUT", "/v2/app/manifests/v1", "", manifest_of("{}", "1"), type).status, "201 Created");

  Trace blob;
  ASSERT_EQ(push_blob("a layer of its own", &blob).status, "201 Created");
  Trace put;
  ASSERT_EQ(call("PUT", "/v2/app/manifests/v2", "", manifest_of("{}", "2"), type, &put).status, "201 Created");
  for (const Trace* t : {&blob, &put}) {
    std::map<std::string, int> flushes;
    for (const std::string& step : t->steps) {
      if (step.rfind("fsync ", 0) == 0) ++flushes[step.substr(6)];
    }
    EXPECT_GE(flushes.size(), 6u) << "too few flushes read from the trace";
    for (const auto& [path, n] : flushes) EXPECT_EQ(n, 1) << path << " was flushed " << n << " times";
  }
}

}  // namespace
