// The registry served over HTTP by the real lighttpd with the configuration
// shipped in deploy/, on a free loopback port: the catalog, and the one
// rule that sends every path under /v2/ (and nothing else) to the program.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "support/test_support.h"

using namespace testing_support;

namespace {

const std::string kProgram = REGISTRY_PATH;
const std::string kConfig = std::string(SOURCE_DIR) + "/deploy/lighttpd.conf";

std::string find_lighttpd() {
  for (const char* p : {"/usr/sbin/lighttpd", "/usr/bin/lighttpd", "/usr/local/sbin/lighttpd"}) {
    if (access(p, X_OK) == 0) return p;
  }
  return "";
}

struct HttpResponse {
  int status = 0;
  std::string head;  // status line and header lines
  std::string body;
  bool has_header(const std::string& line) const { return head.find("\r\n" + line + "\r\n") != std::string::npos; }
};

bool connect_to(int port, int* out_fd) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return false;
  }
  *out_fd = fd;
  return true;
}

HttpResponse request(int port, const std::string& raw) {
  int fd = -1;
  if (!connect_to(port, &fd)) throw std::runtime_error("cannot connect");
  send(fd, raw.data(), raw.size(), MSG_NOSIGNAL);
  std::string data;
  char buf[8192];
  ssize_t n;
  while ((n = recv(fd, buf, sizeof buf, 0)) > 0) data.append(buf, static_cast<size_t>(n));
  close(fd);
  HttpResponse r;
  const size_t end = data.find("\r\n\r\n");
  r.head = data.substr(0, end == std::string::npos ? data.size() : end + 2);
  r.body = end == std::string::npos ? "" : data.substr(end + 4);
  if (data.rfind("HTTP/1.1 ", 0) == 0) r.status = std::stoi(data.substr(9, 3));
  return r;
}

std::string simple(const std::string& method, const std::string& target, const std::string& extra = "") {
  return method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + extra + "\r\n";
}

class Http : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string lighttpd = find_lighttpd();
    ASSERT_FALSE(lighttpd.empty()) << "lighttpd is not installed: run scripts/setup";
    // The program runs in the directory that holds it: the default root
    // lies beside it.
    make_dirs(tmp / "htdocs");
    cgi = tmp / "registry";
    write_bytes(cgi, read_bytes(kProgram));
    chmod(cgi.c_str(), 0755);
    port = free_loopback_port();
    pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      setenv("REGISTRY_PORT", std::to_string(port).c_str(), 1);
      setenv("REGISTRY_CGI", cgi.c_str(), 1);
      setenv("REGISTRY_DOCROOT", (tmp / "htdocs").c_str(), 1);
      unsetenv("REGISTRY_STORAGE_ROOT");
      if (chdir(tmp.path().c_str()) != 0) _exit(126);
      execl(lighttpd.c_str(), "lighttpd", "-D", "-f", kConfig.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    // A minute at most: a bound for a server that never listens.
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < give_up) {
      int fd = -1;
      if (connect_to(port, &fd)) {
        close(fd);
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    FAIL() << "lighttpd did not start listening on port " << port;
  }
  void TearDown() override {
    if (pid > 0) {
      kill(pid, SIGTERM);
      int status;
      waitpid(pid, &status, 0);
    }
  }
  TempDir tmp;
  std::string cgi;
  int port = 0;
  pid_t pid = -1;
};

TEST_F(Http, CatalogRequests) {
  const std::string storage = tmp / "registry_storage";

  HttpResponse get = request(port, simple("GET", "/v2/_catalog"));
  EXPECT_EQ(get.status, 200);
  EXPECT_TRUE(get.has_header("Docker-Distribution-API-Version: registry/2.0")) << get.head;
  EXPECT_TRUE(get.has_header("Content-Type: application/json; charset=utf-8")) << get.head;
  EXPECT_EQ(get.body, "{\"repositories\":[]}\n");
  EXPECT_TRUE(is_dir(storage + "/repositories")) << "the default root lies beside the program";

  for (const char* r : {"beta", "alpha", "Gamma", "delta"}) make_dirs(storage + "/repositories/" + r);
  HttpResponse page = request(port, simple("GET", "/v2/_catalog?n=2&last=alpha"));
  EXPECT_EQ(page.status, 200);
  EXPECT_EQ(page.body, "{\"repositories\":[\"beta\",\"delta\"]}\n");

  HttpResponse head = request(port, simple("HEAD", "/v2/_catalog"));
  EXPECT_EQ(head.status, 200);
  EXPECT_TRUE(head.has_header("Docker-Distribution-API-Version: registry/2.0")) << head.head;
  EXPECT_TRUE(head.has_header("Content-Type: application/json; charset=utf-8")) << head.head;
  EXPECT_TRUE(head.has_header("Content-Length: 50")) << "the length GET would send: " << head.head;
  EXPECT_EQ(head.body, "");

  HttpResponse post = request(port, simple("POST", "/v2/_catalog", "Content-Length: 0\r\n"));
  EXPECT_EQ(post.status, 405);
  EXPECT_TRUE(post.has_header("Docker-Distribution-API-Version: registry/2.0")) << post.head;
  EXPECT_EQ(post.body, "{\"errors\":[{\"code\":\"UNSUPPORTED\",\"message\":\"Method not allowed for /v2/_catalog\"}]}\n");

  HttpResponse del = request(port, simple("DELETE", "/v2/_catalog"));
  EXPECT_EQ(del.status, 405);

  HttpResponse other = request(port, simple("GET", "/v2/_catalogue"));
  EXPECT_EQ(other.status, 404);
  EXPECT_TRUE(other.has_header("Docker-Distribution-API-Version: registry/2.0")) << "answered by the registry";
  HttpResponse base = request(port, simple("GET", "/v2/"));
  EXPECT_EQ(base.status, 200);
  EXPECT_EQ(base.body, "{}\n");
  EXPECT_EQ(request(port, simple("GET", "/v2")).status, 200);
  HttpResponse outside = request(port, simple("GET", "/v2x/_catalog"));
  EXPECT_EQ(outside.status, 404);
  EXPECT_FALSE(outside.has_header("Docker-Distribution-API-Version: registry/2.0")) << "not the registry's";
}

TEST_F(Http, StorageFailureIsA500WithTheErrorBody) {
  write_bytes(tmp / "registry_storage", "a file where the root should be");
  HttpResponse r = request(port, simple("GET", "/v2/_catalog"));
  EXPECT_EQ(r.status, 500);
  EXPECT_EQ(r.body,
            "{\"errors\":[{\"code\":\"STORAGE_ERROR\",\"message\":\"Failed to initialize registry storage\"}]}\n");
}

}  // namespace
