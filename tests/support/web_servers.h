// The registry behind the real web servers of Debian's packages, each set
// up from the configuration in deploy/, on a free loopback port, and the
// real registry clients that talk to it. Every process started here is
// stopped by its process id; every client runs under a time limit.
#ifndef REGISTRY_TESTS_WEB_SERVERS_H
#define REGISTRY_TESTS_WEB_SERVERS_H

#include <gtest/gtest.h>
#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "test_support.h"

namespace testing_support {

// The CGI setups (the program started once per request), and the FastCGI
// ones (started once, serving request after request): lighttpd starting
// it itself, nginx and Apache in front of one that spawn-fcgi started.
enum class WebServer { kLighttpd, kLighttpdDebian, kNginx, kApache, kLighttpdFastcgi, kNginxFastcgi, kApacheFastcgi };
const char* web_server_name(WebServer s);
// The server as a test name's part: "lighttpd", "lighttpd_debian",
// "nginx_fcgiwrap", "apache", "lighttpd_fastcgi", "nginx_fastcgi",
// "apache_fastcgi".
std::string web_server_id(WebServer s);
// For INSTANTIATE_TEST_SUITE_P over servers.
inline std::string web_server_param_name(const ::testing::TestParamInfo<WebServer>& info) {
  return web_server_id(info.param);
}

class RegistryServer {
 public:
  // dir: a scratch directory of the test's own; program: the registry.
  RegistryServer(WebServer kind, const std::string& dir, const std::string& program);
  ~RegistryServer();
  RegistryServer(const RegistryServer&) = delete;
  RegistryServer& operator=(const RegistryServer&) = delete;

  // Whether the program serves as a FastCGI application here.
  bool fastcgi() const;

  // lighttpd only, before start: listen on another loopback address, and
  // serve the storage tree at root (named in a config.json beside the
  // program) instead of the one in dir; several servers may share a tree.
  void set_bind_address(const std::string& ip) { ip_ = ip; }
  void set_storage_root(const std::string& root) { root_ = root; }

  // false, with the reason, when the server is not installed or does not
  // start listening.
  bool start(std::string* why);
  // An edit of the deploy/ file, made after the usual ones (a commented
  // line turned on, say), for the servers configured from a snippet.
  void edit_deploy_file(const std::string& from, const std::string& to) { edits_[from] = to; }
  void stop();
  int port() const { return port_; }
  std::string address() const { return ip_ + ":" + std::to_string(port_); }
  const std::string& storage() const { return storage_; }
  const std::string& log() const { return log_; }
  // Where the registry program's standard error lands, as the deploy/
  // file sets the server up: the server's error log, or Debian's
  // lighttpd's breakage log.
  const std::string& program_log() const { return program_log_.empty() ? log_ : program_log_; }

  // The status of a GET of target ("/v2/_catalog") through the server; 0
  // when no answer came. The first request is when the registry makes its
  // tree, which the maintenance commands need to find.
  int get_status(const std::string& target) const;

  // Process ids of the registry program while it runs (children of the
  // server), for the tests that kill it.
  std::vector<pid_t> registry_processes() const;

 private:
  bool start_lighttpd(bool debian, std::string* why);
  bool start_nginx(std::string* why);
  bool start_apache(std::string* why);
  bool start_lighttpd_fastcgi(std::string* why);
  bool start_nginx_fastcgi(std::string* why);
  bool start_apache_fastcgi(std::string* why);
  // The program as a FastCGI application on the socket, as the deploy/
  // files have spawn-fcgi start it.
  bool start_fastcgi_program(const std::string& socket, std::string* why);
  bool start_nginx_with_site(const std::string& nginx, const std::string& site, std::string* why);
  bool start_apache_with(const std::string& apache, const std::string& snippet, const std::vector<std::string>& modules,
                         std::string* why);
  // The server in a process group of its own, its output in log_ and its
  // standard error there too, or in stderr_file when one is named.
  pid_t spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
              const std::string& stderr_file = "");

  WebServer kind_;
  std::string dir_;
  std::string program_;
  std::string storage_;
  std::string log_;
  std::string program_log_;
  std::string ip_ = "127.0.0.1";
  std::string root_;
  int port_ = 0;
  std::vector<pid_t> pids_;
  std::string pid_file_;  // a daemon that writes its own (apache)
  std::map<std::string, std::string> edits_;
};

// Stops a daemon (dockerd, containerd) started by start_logged, with its
// whole process group, by its process id.
void stop_daemon(pid_t pid);
// Waits for a path (a daemon's socket) to appear, for a minute at most: a
// bound for a daemon that never starts, not a guess at how long one takes.
void wait_for_socket(const std::string& path);

// A dockerd of a test's own: its data, socket and log under dir, the
// registry at registry_host taken as insecure; stopped by its process id
// at stop() or when the object goes.
class DockerDaemon {
 public:
  DockerDaemon(const std::string& dockerd, const std::string& docker, const std::string& dir,
               const std::string& registry_host, const std::string& home);
  ~DockerDaemon() { stop(); }
  DockerDaemon(const DockerDaemon&) = delete;
  DockerDaemon& operator=(const DockerDaemon&) = delete;
  // The docker client against this daemon.
  ProcessResult run(const std::vector<std::string>& args) const;
  void stop();
  std::string log() const;

 private:
  std::string docker_;
  std::string dir_;
  std::string home_;
  pid_t pid_ = -1;
};

// The deploy/ file, read, with each key of replace put in place of its
// value's occurrences.
std::string deploy_file(const std::string& name, const std::map<std::string, std::string>& replace);

// Runs a client with a time limit, in cwd, with HOME and the temporary
// directories in home; output and error together.
ProcessResult run_client(const std::vector<std::string>& argv, const std::string& home, int seconds = 180,
                         const std::map<std::string, std::string>& extra_env = {});

// The first of the paths that is an executable file, or "".
std::string find_program(const std::vector<std::string>& candidates);

// Writes an OCI image layout with tests/support/make_image.py; the digest
// its tag names.
std::string make_image(const std::string& dir, const std::vector<std::string>& args);

// SHA-256 digests of the files in an OCI layout's blobs/sha256, sorted.
std::vector<std::string> layout_blobs(const std::string& dir);

}  // namespace testing_support

#endif
