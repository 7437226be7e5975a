#include "test_support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testing_support {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string templ = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/regtest.XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}

TempDir::~TempDir() { remove_tree(path_); }

void remove_tree(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    chmod(path.c_str(), 0700);
    if (DIR* d = opendir(path.c_str())) {
      while (struct dirent* e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        remove_tree(path + "/" + e->d_name);
      }
      closedir(d);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

void make_dirs(const std::string& path) {
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') {
      std::string part = path.substr(0, i);
      if (mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) {
        throw std::runtime_error("mkdir failed: " + part);
      }
    }
  }
}

bool is_dir(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_file(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> list_names(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (struct dirent* e = readdir(d)) {
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

namespace {

std::string drain(int fd) {
  std::string out;
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
      out.append(buf, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  return out;
}

// How the child ended: its exit status, or the signal that ended it.
void wait_exit(pid_t pid, ProcessResult* r) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  r->exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r->signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

// Everything the child writes to out_fd until it closes, then its exit.
ProcessResult collect(int out_fd, pid_t pid) {
  ProcessResult r;
  r.out = drain(out_fd);
  close(out_fd);
  wait_exit(pid, &r);
  return r;
}

}  // namespace

ProcessResult run_program(const std::string& program, const std::vector<std::string>& args,
                          const std::map<std::string, std::string>& env, const std::string& cwd,
                          const std::string& stdin_bytes, const RunAs& as) {
  int out_pipe[2];
  int in_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(in_pipe) != 0) throw std::runtime_error("pipe failed");
  // Standard error goes to a file, so the child never waits on a second pipe.
  char err_name[] = "/tmp/regtest-stderr.XXXXXX";
  const int err_fd = mkstemp(err_name);
  if (err_fd < 0) throw std::runtime_error("mkstemp failed");
  unlink(err_name);
  std::vector<std::string> env_strings;
  for (const auto& [k, v] : env) env_strings.push_back(k + "=" + v);
  // A program for another system runs under its emulator (Wine for the
  // Windows build), which needs a few variables of its own.
  const char* emulator = std::getenv("REGISTRY_TEST_EMULATOR");
  const bool emulated = emulator != nullptr && emulator[0] != '\0';
  if (emulated) {
    for (const char* name : {"WINEPREFIX", "WINEDEBUG", "WINEDLLOVERRIDES", "WINESERVER", "HOME", "PATH"}) {
      if (const char* v = std::getenv(name); v != nullptr && env.count(name) == 0) {
        env_strings.push_back(std::string(name) + "=" + v);
      }
    }
  }
  std::vector<char*> envp;
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> argv_strings{program};
  if (emulated) argv_strings.insert(argv_strings.begin(), emulator);
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : argv_strings) argv.push_back(s.data());
  argv.push_back(nullptr);

  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    dup2(err_fd, 2);
    close(err_fd);
    close(in_pipe[0]);
    close(in_pipe[1]);
    close(out_pipe[0]);
    close(out_pipe[1]);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    if (as.uid >= 0 && (setgroups(0, nullptr) != 0 || setgid(static_cast<gid_t>(as.gid)) != 0 ||
                        setuid(static_cast<uid_t>(as.uid)) != 0)) {
      _exit(125);
    }
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  signal(SIGPIPE, SIG_IGN);
  size_t off = 0;
  while (off < stdin_bytes.size()) {
    ssize_t n = write(in_pipe[1], stdin_bytes.data() + off, stdin_bytes.size() - off);
    if (n <= 0) break;
    off += static_cast<size_t>(n);
  }
  close(in_pipe[1]);
  ProcessResult r = collect(out_pipe[0], pid);
  lseek(err_fd, 0, SEEK_SET);
  r.err = drain(err_fd);
  close(err_fd);
  return r;
}

pid_t start_logged(const std::vector<std::string>& argv, const std::string& log) {
  const pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    if (std::freopen(log.c_str(), "w", stdout) == nullptr || std::freopen(log.c_str(), "a", stderr) == nullptr) {
      _exit(126);
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  return pid;
}

ProcessResult run_in_child(const std::function<void()>& fn) {
  int out_pipe[2];
  if (pipe(out_pipe) != 0) throw std::runtime_error("pipe failed");
  std::fflush(stdout);
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(out_pipe[1], 1);
    close(out_pipe[0]);
    close(out_pipe[1]);
    fn();
    std::fflush(stdout);
    _exit(0);
  }
  close(out_pipe[1]);
  return collect(out_pipe[0], pid);
}

ProcessResult run_in_child_with_input(const std::function<void()>& fn,
                                      const std::map<std::string, const char*>& env,
                                      const std::vector<std::string>& stdin_pieces) {
  int in_pipe[2];
  if (pipe(in_pipe) != 0) throw std::runtime_error("pipe failed");
  signal(SIGPIPE, SIG_IGN);
  pid_t feeder = fork();
  if (feeder == 0) {
    close(in_pipe[0]);
    for (const std::string& piece : stdin_pieces) {
      if (write(in_pipe[1], piece.data(), piece.size()) < 0) break;
      usleep(20000);
    }
    _exit(0);
  }
  close(in_pipe[1]);
  ProcessResult r = run_in_child([&] {
    dup2(in_pipe[0], 0);
    close(in_pipe[0]);
    for (const auto& [k, v] : env) {
      if (v != nullptr) {
        setenv(k.c_str(), v, 1);
      } else {
        unsetenv(k.c_str());
      }
    }
    fn();
  });
  close(in_pipe[0]);
  kill(feeder, SIGKILL);
  ProcessResult fed;
  wait_exit(feeder, &fed);
  return r;
}

std::string program_under_test(const std::string& fallback) {
  const char* p = std::getenv("REGISTRY_TEST_PROGRAM");
  return p != nullptr && p[0] != '\0' ? p : fallback;
}

int free_loopback_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    close(fd);
    throw std::runtime_error("no free port");
  }
  close(fd);
  return ntohs(addr.sin_port);
}

}  // namespace testing_support
