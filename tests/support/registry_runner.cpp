// The registry program as a CGI process or a FastCGI responder.
#include "registry_runner.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "fastcgi/records.h"

namespace testing_support {
namespace {

struct Responder {
  pid_t pid;
  std::string socket;
};

std::map<std::string, Responder>& responders() {
  static std::map<std::string, Responder> r;
  return r;
}

void stop_responders() {
  for (auto& [cwd, r] : responders()) {
    kill(r.pid, SIGTERM);
    waitpid(r.pid, nullptr, 0);
    unlink(r.socket.c_str());
  }
  responders().clear();
}

// A responder of program in cwd, on a socket of its own, with no variables
// of its own: everything comes with each request.
const Responder& responder_for(const std::string& program, const std::string& cwd) {
  auto it = responders().find(cwd);
  if (it != responders().end()) return it->second;
  if (responders().empty()) std::atexit(stop_responders);
  static int made = 0;
  const std::string path = "/tmp/regtest-fcgi." + std::to_string(getpid()) + "." + std::to_string(made++);
  unlink(path.c_str());
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0) {
    throw std::runtime_error("cannot listen at " + path);
  }
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(fd, 0);
    close(fd);
    if (chdir(cwd.c_str()) != 0) _exit(126);
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    char* envp[] = {nullptr};
    execve(argv[0], argv, envp);
    _exit(127);
  }
  close(fd);
  return responders().emplace(cwd, Responder{pid, path}).first->second;
}

bool write_all(int fd, const std::string& bytes) {
  size_t off = 0;
  while (off < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + off, bytes.size() - off);
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

bool read_all(int fd, void* buf, size_t n) {
  auto* p = static_cast<char*>(buf);
  while (n > 0) {
    const ssize_t got = read(fd, p, n);
    if (got <= 0) return false;
    p += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

}  // namespace

bool fastcgi_mode() {
  const char* mode = std::getenv("REGISTRY_TEST_MODE");
  return mode != nullptr && std::strcmp(mode, "fastcgi") == 0;
}

ProcessResult fastcgi_request(const std::string& socket_path, const std::map<std::string, std::string>& params,
                              const std::string& body) {
  signal(SIGPIPE, SIG_IGN);
  ProcessResult r;
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socket_path.c_str());
  bool connected = false;
  for (int i = 0; i < 500 && !connected; ++i) {
    connected = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    if (!connected) usleep(10000);
  }
  if (!connected) {
    close(fd);
    throw std::runtime_error("cannot reach the responder at " + socket_path);
  }
  const char begin[8] = {0, fastcgi::kResponder, 0, 0, 0, 0, 0, 0};
  std::string request = fastcgi::record(fastcgi::kBeginRequest, 1, std::string_view(begin, sizeof begin));
  fastcgi::Pairs pairs(params.begin(), params.end());
  request += fastcgi::stream_records(fastcgi::kParams, 1, fastcgi::encode_pairs(pairs));
  if (!pairs.empty()) request += fastcgi::record(fastcgi::kParams, 1, {});
  if (!body.empty()) request += fastcgi::stream_records(fastcgi::kStdin, 1, body);
  request += fastcgi::record(fastcgi::kStdin, 1, {});
  // The request goes while the answer is read: a large body and a large
  // answer would otherwise wait on each other.
  const pid_t writer = fork();
  if (writer == 0) _exit(write_all(fd, request) ? 0 : 1);
  for (;;) {
    uint8_t head[fastcgi::kHeaderSize];
    fastcgi::Header h;
    if (!read_all(fd, head, sizeof head) || !fastcgi::parse_header(head, &h)) break;
    std::string content(h.content_length + h.padding_length, '\0');
    if (!read_all(fd, content.data(), content.size())) break;
    content.resize(h.content_length);
    if (h.type == fastcgi::kStdout) r.out += content;
    if (h.type == fastcgi::kStderr) r.err += content;
    if (h.type == fastcgi::kEndRequest && content.size() >= 4) {
      r.exit_code = (static_cast<unsigned char>(content[0]) << 24) | (static_cast<unsigned char>(content[1]) << 16) |
                    (static_cast<unsigned char>(content[2]) << 8) | static_cast<unsigned char>(content[3]);
      break;
    }
  }
  close(fd);
  waitpid(writer, nullptr, 0);
  return r;
}

ProcessResult run_registry(const std::string& program, const std::map<std::string, std::string>& env,
                           const std::string& cwd, const std::string& body) {
  if (!fastcgi_mode()) return run_program(program, {}, env, cwd, body);
  return fastcgi_request(responder_for(program, cwd).socket, env, body);
}

}  // namespace testing_support
