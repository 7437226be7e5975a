// The registry program as a FastCGI responder, over what only a process
// that serves many requests can get wrong: a request that breaks off
// halfway (an abort, a connection dropped, a body that never comes) leaves
// the process serving the next; nothing one request was granted or
// answered reaches the next; files that change are read again; the limit
// of requests ends the process.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>

#include "fastcgi/records.h"
#include "support/cgi_response.h"
#include "support/registry_runner.h"
#include "support/test_support.h"

using namespace testing_support;

namespace {

const std::string kProgram = program_under_test(REGISTRY_PATH);
// "secret", as htpasswd -B -C 4 writes it.
const std::string kSecretHash = "$2y$04$.Ri7EwUtFt2lR1kuDwV.K.Xrx3GD49Or4j9lQ4fq0YyLrQzLPUFQe";

class Responder : public ::testing::Test {
 protected:
  void SetUp() override { make_dirs(root); }
  void TearDown() override { stop(); }
  // The program on a socket of its own, with the given variables.
  void start(const std::map<std::string, std::string>& env = {}) {
    socket_path = tmp / "sock";
    unlink(socket_path.c_str());
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socket_path.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(fd, 8), 0);
    std::vector<std::string> vars;
    for (const auto& [k, v] : env) vars.push_back(k + "=" + v);
    pid = fork();
    if (pid == 0) {
      dup2(fd, 0);
      std::vector<char*> envp;
      for (std::string& v : vars) envp.push_back(v.data());
      envp.push_back(nullptr);
      char* argv[] = {const_cast<char*>(kProgram.c_str()), nullptr};
      if (chdir(tmp.path().c_str()) != 0) _exit(126);
      execve(argv[0], argv, envp.data());
      _exit(127);
    }
    close(fd);
  }
  void stop() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
      pid = -1;
    }
  }
  std::map<std::string, std::string> vars(const std::string& method, const std::string& path,
                                          std::map<std::string, std::string> extra = {}) {
    extra.emplace("REQUEST_METHOD", method);
    extra.emplace("PATH_INFO", path);
    extra.emplace("REGISTRY_STORAGE_ROOT", root);
    return extra;
  }
  CgiResponse call(const std::string& method, const std::string& path, std::map<std::string, std::string> extra = {},
                   const std::string& body = "") {
    if (!body.empty()) extra.emplace("CONTENT_LENGTH", std::to_string(body.size()));
    return parse_cgi_response(fastcgi_request(socket_path, vars(method, path, extra), body));
  }
  // A connection that sends records and reads what comes back until the
  // responder closes it.
  int connect_raw() {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socket_path.c_str());
    for (int i = 0; i < 500 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0; ++i) usleep(10000);
    return fd;
  }
  std::string begin_with_params(const std::map<std::string, std::string>& params) {
    const char begin[8] = {0, fastcgi::kResponder, 0, 0, 0, 0, 0, 0};
    std::string r = fastcgi::record(fastcgi::kBeginRequest, 1, std::string_view(begin, sizeof begin));
    r += fastcgi::record(fastcgi::kParams, 1, fastcgi::encode_pairs(fastcgi::Pairs(params.begin(), params.end())));
    r += fastcgi::record(fastcgi::kParams, 1, {});
    return r;
  }
  static std::string read_until_closed(int fd) {
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
    return out;
  }
  TempDir tmp;
  std::string root = tmp / "root";
  std::string socket_path;
  pid_t pid = -1;
};

TEST_F(Responder, ARequestThatBreaksOffLeavesTheProcessServingTheNext) {
  start({{"REGISTRY_FASTCGI_BODY_TIMEOUT", "1"}});
  const std::string location = call("POST", "/v2/app/blobs/uploads/").header("Location");
  ASSERT_NE(location, "(none)");
  struct Case {
    const char* what;
    std::string tail;  // what follows the request's parameters
    bool close_early;  // the server's side goes away after sending it
  };
  const Case cases[] = {
      {"aborted mid-body", fastcgi::record(fastcgi::kStdin, 1, "half") + fastcgi::record(fastcgi::kAbortRequest, 1, {}),
       false},
      {"connection dropped mid-body", fastcgi::record(fastcgi::kStdin, 1, "half"), true},
      {"body that never comes", fastcgi::record(fastcgi::kStdin, 1, "half"), false},
      {"records cut short", std::string("\x01\x05\x00\x01\x00\x40", 6), true},
  };
  for (const Case& c : cases) {
    const int fd = connect_raw();
    const std::string request =
        begin_with_params(vars("PATCH", location, {{"CONTENT_LENGTH", "100"}})) + c.tail;
    ASSERT_EQ(write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    if (c.close_early) shutdown(fd, SHUT_WR);
    read_until_closed(fd);  // whatever the answer, within the body's time limit
    close(fd);
    // Nothing of the broken chunk was taken, and the next request is served.
    const CgiResponse next = call("GET", location);
    EXPECT_EQ(next.status, "204 No Content") << c.what << "\n" << next.raw;
    EXPECT_EQ(next.header("Range"), "0-0") << c.what;
  }
  EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), 0) << "one process served every request";
}

TEST_F(Responder, NothingOfOneRequestReachesTheNext) {
  make_dirs(root + "/auth");
  write_bytes(root + "/auth/htpasswd", "alice:" + kSecretHash + "\n");
  write_bytes(root + "/auth/policy", "alice ** *\n");
  start({{"REGISTRY_AUTH", "token"}});
  const CgiResponse t = call("GET", "/", {{"REQUEST_URI", "/auth/token?scope=repository:app:pull,push"},
                                          {"QUERY_STRING", "scope=repository:app:pull,push"},
                                          {"HTTP_AUTHORIZATION", "Basic YWxpY2U6c2VjcmV0"}});
  ASSERT_EQ(t.status, "200 OK") << t.raw;
  const std::string token = t.body.substr(t.body.find("\"token\":\"") + 9, t.body.find('"', t.body.find("\"token\":\"") + 9) -
                                                                               t.body.find("\"token\":\"") - 9);
  EXPECT_EQ(call("POST", "/v2/app/blobs/uploads/", {{"HTTP_AUTHORIZATION", "Bearer " + token}}).status, "202 Accepted");
  // The next request carries nothing: none of the grants, the user or the
  // answer of the one before.
  const CgiResponse anonymous = call("POST", "/v2/app/blobs/uploads/");
  EXPECT_EQ(anonymous.status, "401 Unauthorized") << anonymous.raw;
  EXPECT_EQ(anonymous.code(), "UNAUTHORIZED");
  // An error's text stays its own request's.
  const CgiResponse bad = call("GET", "/v2/app/manifests/sha256:12", {{"HTTP_AUTHORIZATION", "Bearer " + token}});
  EXPECT_EQ(bad.code(), "MANIFEST_UNKNOWN");
  const CgiResponse fine = call("GET", "/v2/", {{"HTTP_AUTHORIZATION", "Bearer " + token}});
  EXPECT_EQ(fine.status, "200 OK");
  EXPECT_EQ(fine.body, "{}\n");
  EXPECT_EQ(fine.err, "") << "no line of an earlier failure";
}

TEST_F(Responder, FilesThatChangeAreReadAgain) {
  make_dirs(root + "/auth");
  write_bytes(root + "/auth/policy", "anonymous team/** pull\n");
  start({{"REGISTRY_AUTH", "remote-user"}});
  EXPECT_EQ(call("GET", "/v2/team/app/tags/list").code(), "NAME_UNKNOWN") << "pull allowed: the repository is unknown";
  // The same number of bytes, another rule.
  write_bytes(root + "/auth/policy", "anonymous mean/** pull\n");
  EXPECT_EQ(call("GET", "/v2/team/app/tags/list").status, "401 Unauthorized");
  // config.json in the working directory too.
  write_bytes(tmp / "config.json", "{\"auth\": \"off\"}\n");
  stop();
  start({});
  EXPECT_EQ(call("GET", "/v2/team/app/tags/list").code(), "NAME_UNKNOWN");
  write_bytes(tmp / "config.json", "{\"auth\": \"remote-user\"}\n");
  EXPECT_EQ(call("GET", "/v2/team/app/tags/list").status, "401 Unauthorized");
}

TEST_F(Responder, TheLimitOfRequestsEndsTheProcess) {
  start({{"REGISTRY_FASTCGI_MAX_REQUESTS", "3"}});
  for (int i = 0; i < 3; ++i) EXPECT_EQ(call("GET", "/v2/").status, "200 OK");
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  pid = -1;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
