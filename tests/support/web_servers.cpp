// Web servers and registry clients for the interoperability tests.
#include "web_servers.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace testing_support {
namespace {

const std::string kSource = SOURCE_DIR;

bool listening(const std::string& ip, int port) {
  const std::string probe = "exec 3<>/dev/tcp/" + ip + "/" + std::to_string(port);
  return std::system(("bash -c '" + probe + "' 2>/dev/null").c_str()) == 0;
}

// A server that is starting: a minute at most on a busy machine, a bound
// for one that never listens, not a guess at how long one takes.
constexpr auto kStartBound = std::chrono::seconds(60);

bool wait_listening(int port, pid_t pid, const std::string& ip = "127.0.0.1") {
  const auto give_up = std::chrono::steady_clock::now() + kStartBound;
  while (std::chrono::steady_clock::now() < give_up) {
    if (listening(ip, port)) return true;
    if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == pid) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

std::string replace_all(std::string s, const std::string& from, const std::string& to) {
  for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) s.replace(at, from.size(), to);
  return s;
}

void install_program(const std::string& from, const std::string& to) {
  make_dirs(to.substr(0, to.rfind('/')));
  write_bytes(to, read_bytes(from));
  chmod(to.c_str(), 0755);
}

}  // namespace

const char* web_server_name(WebServer s) {
  switch (s) {
    case WebServer::kLighttpd: return "lighttpd";
    case WebServer::kLighttpdDebian: return "lighttpd (Debian's configuration)";
    case WebServer::kNginx: return "nginx with fcgiwrap";
    case WebServer::kApache: return "Apache httpd";
    case WebServer::kLighttpdFastcgi: return "lighttpd with FastCGI";
    case WebServer::kNginxFastcgi: return "nginx with FastCGI";
    case WebServer::kApacheFastcgi: return "Apache httpd with FastCGI";
  }
  return "?";
}

DockerDaemon::DockerDaemon(const std::string& dockerd, const std::string& docker, const std::string& dir,
                           const std::string& registry_host, const std::string& home)
    : docker_(docker), dir_(dir), home_(home) {
  make_dirs(dir_);
  pid_ = start_logged({dockerd, "--data-root", dir_ + "/root", "--exec-root", dir_ + "/exec", "-H",
                       "unix://" + dir_ + "/sock", "--pidfile", dir_ + "/pid", "--iptables=false", "--bridge=none",
                       "--storage-driver=vfs", "--insecure-registry", registry_host},
                      dir_ + "/log");
  wait_for_socket(dir_ + "/sock");
}

ProcessResult DockerDaemon::run(const std::vector<std::string>& args) const {
  std::vector<std::string> argv{docker_, "-H", "unix://" + dir_ + "/sock"};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_client(argv, home_);
}

void DockerDaemon::stop() {
  if (pid_ > 0) stop_daemon(pid_);
  pid_ = -1;
}

std::string DockerDaemon::log() const { return read_bytes(dir_ + "/log"); }

std::string web_server_id(WebServer s) {
  switch (s) {
    case WebServer::kLighttpd: return "lighttpd";
    case WebServer::kLighttpdDebian: return "lighttpd_debian";
    case WebServer::kNginx: return "nginx_fcgiwrap";
    case WebServer::kApache: return "apache";
    case WebServer::kLighttpdFastcgi: return "lighttpd_fastcgi";
    case WebServer::kNginxFastcgi: return "nginx_fastcgi";
    case WebServer::kApacheFastcgi: return "apache_fastcgi";
  }
  return "other";
}

std::string deploy_file(const std::string& name, const std::map<std::string, std::string>& replace) {
  std::string text = read_bytes(kSource + "/deploy/" + name);
  for (const auto& [from, to] : replace) text = replace_all(text, from, to);
  return text;
}

std::string find_program(const std::vector<std::string>& candidates) {
  for (const std::string& p : candidates) {
    if (access(p.c_str(), X_OK) == 0) return p;
  }
  return "";
}

RegistryServer::RegistryServer(WebServer kind, const std::string& dir, const std::string& program)
    : kind_(kind), dir_(dir), program_(program) {}

RegistryServer::~RegistryServer() { stop(); }

pid_t RegistryServer::spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                            const std::string& stderr_file) {
  const pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    const int out = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    dup2(out, 1);
    if (stderr_file.empty()) {
      dup2(out, 2);
    } else {
      const int err = ::open(stderr_file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      dup2(err, 2);
    }
    const int null = ::open("/dev/null", O_RDONLY);
    dup2(null, 0);
    for (const auto& [k, v] : env) setenv(k.c_str(), v.c_str(), 1);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  pids_.push_back(pid);
  return pid;
}

bool RegistryServer::start(std::string* why) {
  make_dirs(dir_);
  chmod(dir_.c_str(), 0755);
  log_ = dir_ + "/server.log";
  port_ = free_loopback_port();
  switch (kind_) {
    case WebServer::kLighttpd: return start_lighttpd(false, why);
    case WebServer::kLighttpdDebian: return start_lighttpd(true, why);
    case WebServer::kNginx: return start_nginx(why);
    case WebServer::kApache: return start_apache(why);
    case WebServer::kLighttpdFastcgi: return start_lighttpd_fastcgi(why);
    case WebServer::kNginxFastcgi: return start_nginx_fastcgi(why);
    case WebServer::kApacheFastcgi: return start_apache_fastcgi(why);
  }
  return false;
}

bool RegistryServer::fastcgi() const {
  return kind_ == WebServer::kLighttpdFastcgi || kind_ == WebServer::kNginxFastcgi || kind_ == WebServer::kApacheFastcgi;
}

bool RegistryServer::start_lighttpd_fastcgi(std::string* why) {
  const std::string lighttpd = find_program({"/usr/sbin/lighttpd", "/usr/bin/lighttpd"});
  if (lighttpd.empty()) {
    *why = "lighttpd is not installed";
    return false;
  }
  make_dirs(dir_ + "/htdocs");
  install_program(program_, dir_ + "/registry");
  storage_ = dir_ + "/registry_storage";
  if (!root_.empty()) storage_ = root_;
  make_dirs(storage_);
  // The root beside the program, where lighttpd starts it.
  write_bytes(dir_ + "/config.json", "{\"storage_root\": \"" + storage_ + "\"}\n");
  const std::string config = dir_ + "/lighttpd.conf";
  std::string text = deploy_file("lighttpd-fastcgi.conf", {});
  if (ip_ != "127.0.0.1") text = replace_all(text, "\"127.0.0.1\"", "\"" + ip_ + "\"");
  for (const auto& [from, to] : edits_) text = replace_all(text, from, to);
  write_bytes(config, text);
  const pid_t pid = spawn({lighttpd, "-D", "-f", config}, {{"REGISTRY_PORT", std::to_string(port_)},
                                                         {"REGISTRY_CGI", dir_ + "/registry"},
                                                         {"REGISTRY_DOCROOT", dir_ + "/htdocs"},
                                                         {"REGISTRY_RUN", dir_}});
  if (!wait_listening(port_, pid, ip_)) {
    *why = "lighttpd did not start: " + read_bytes(log_);
    return false;
  }
  return true;
}

bool RegistryServer::start_fastcgi_program(const std::string& socket, std::string* why) {
  const std::string spawn_fcgi = find_program({"/usr/bin/spawn-fcgi"});
  if (spawn_fcgi.empty()) {
    *why = "spawn-fcgi is not installed";
    return false;
  }
  // As the deploy/ files start it, in the foreground (-n) for the test to
  // stop it by its process id; the socket open to the server's user.
  spawn({spawn_fcgi, "-n", "-s", socket, "-M", "0666", "-d", dir_ + "/lib", "--", dir_ + "/lib/registry"},
        {{"REGISTRY_STORAGE_ROOT", storage_}, {"REGISTRY_FASTCGI_WORKERS", "4"}}, dir_ + "/program.stderr");
  wait_for_socket(socket);
  return true;
}

bool RegistryServer::start_nginx_fastcgi(std::string* why) {
  const std::string nginx = find_program({"/usr/sbin/nginx"});
  if (nginx.empty()) {
    *why = "nginx is not installed";
    return false;
  }
  install_program(program_, dir_ + "/lib/registry");
  storage_ = dir_ + "/storage";
  make_dirs(storage_);
  const std::string socket = dir_ + "/registry-fastcgi.sock";
  if (!start_fastcgi_program(socket, why)) return false;
  const std::string site = dir_ + "/site.conf";
  std::string site_text = deploy_file("nginx-fastcgi.conf", {{"listen 5000;", "listen 127.0.0.1:" + std::to_string(port_) + ";"},
                                                       {"/var/lib/registry", storage_},
                                                       {"/run/registry-fastcgi.sock", socket}});
  for (const auto& [from, to] : edits_) site_text = replace_all(site_text, from, to);
  write_bytes(site, site_text);
  return start_nginx_with_site(nginx, site, why);
}

bool RegistryServer::start_apache_fastcgi(std::string* why) {
  const std::string apache = find_program({"/usr/sbin/apache2"});
  if (apache.empty()) {
    *why = "Apache httpd is not installed";
    return false;
  }
  install_program(program_, dir_ + "/lib/registry");
  storage_ = dir_ + "/storage";
  make_dirs(storage_);
  chmod(dir_.substr(0, dir_.rfind('/')).c_str(), 0755);
  const std::string socket = dir_ + "/registry-fastcgi.sock";
  if (!start_fastcgi_program(socket, why)) return false;
  const std::string snippet = dir_ + "/registry.conf";
  std::string apache_text = deploy_file("apache-fastcgi.conf", {{"/var/lib/registry", storage_},
                                                          {"/run/registry-fastcgi.sock", socket}});
  for (const auto& [from, to] : edits_) apache_text = replace_all(apache_text, from, to);
  write_bytes(snippet, apache_text);
  return start_apache_with(apache, snippet, {"mpm_event", "authz_core", "env", "mime", "proxy", "proxy_fcgi"}, why);
}

bool RegistryServer::start_lighttpd(bool debian, std::string* why) {
  const std::string lighttpd = find_program({"/usr/sbin/lighttpd", "/usr/bin/lighttpd"});
  if (lighttpd.empty()) {
    *why = "lighttpd is not installed";
    return false;
  }
  make_dirs(dir_ + "/htdocs");
  std::string config;
  if (!debian) {
    // deploy/lighttpd.conf (with the test's edits, if any): the program
    // beside its default root, or beside a config.json that names the
    // root, on its own address.
    install_program(program_, dir_ + "/registry");
    storage_ = dir_ + "/registry_storage";
    if (!root_.empty()) {
      storage_ = root_;
      write_bytes(dir_ + "/config.json", "{\"storage_root\": \"" + root_ + "\"}\n");
    }
    config = dir_ + "/lighttpd.conf";
    std::string text = deploy_file("lighttpd.conf", {});
    if (ip_ != "127.0.0.1") text = replace_all(text, "\"127.0.0.1\"", "\"" + ip_ + "\"");
    for (const auto& [from, to] : edits_) text = replace_all(text, from, to);
    write_bytes(config, text);
    const pid_t pid = spawn({lighttpd, "-D", "-f", config},
                            {{"REGISTRY_PORT", std::to_string(port_)},
                             {"REGISTRY_CGI", dir_ + "/registry"},
                             {"REGISTRY_DOCROOT", dir_ + "/htdocs"}});
    if (!wait_listening(port_, pid, ip_)) {
      *why = "lighttpd did not start: " + read_bytes(log_);
      return false;
    }
    return true;
  }
  // Debian's lighttpd.conf, with what a test may not do (port 80, every
  // address, its pid file and logs, www-data) set aside, and the snippet of
  // deploy/ included as conf-enabled would include it.
  install_program(program_, dir_ + "/lib/registry");
  storage_ = dir_ + "/storage";
  make_dirs(storage_);
  const std::string snippet = dir_ + "/50-registry.conf";
  program_log_ = dir_ + "/breakage.log";
  std::string text = deploy_file("lighttpd-debian.conf", {{"/usr/local/lib/registry/registry", dir_ + "/lib/registry"},
                                                         {"/var/lib/registry", storage_},
                                                         {"/var/log/lighttpd/breakage.log", program_log_}});
  for (const auto& [from, to] : edits_) text = replace_all(text, from, to);
  write_bytes(snippet, text);
  config = dir_ + "/lighttpd.conf";
  write_bytes(config, "server.modules = ( \"mod_indexfile\", \"mod_access\", \"mod_alias\", \"mod_redirect\" )\n"
                      "server.document-root = \"" + dir_ + "/htdocs\"\n"
                      "server.errorlog = \"" + log_ + "\"\n"
                      "server.pid-file = \"\"\n"
                      "server.bind = \"127.0.0.1\"\n"
                      "server.port = " + std::to_string(port_) + "\n"
                      "index-file.names = ( \"index.html\" )\n"
                      "include \"" + snippet + "\"\n"
                      "server.modules += ( \"mod_dirlisting\", \"mod_staticfile\" )\n");
  // Its own standard error apart from every log, as Debian's init script
  // (/dev/null) and systemd (the journal) give it.
  const std::string own_stderr = dir_ + "/lighttpd.stderr";
  const pid_t pid = spawn({lighttpd, "-D", "-f", config}, {}, own_stderr);
  if (!wait_listening(port_, pid)) {
    *why = "lighttpd did not start: " + read_bytes(log_) + read_bytes(own_stderr);
    return false;
  }
  return true;
}

namespace {

// The arguments of fcgiwrap as the nginx snippet's systemd drop-in gives
// them ("-f -c 4"), so the test runs as many children as a reader sets up.
std::vector<std::string> fcgiwrap_arguments(const std::string& snippet) {
  const std::string start = "ExecStart=/usr/sbin/fcgiwrap ";
  const size_t at = snippet.find(start);
  if (at == std::string::npos) return {};
  const size_t end = snippet.find_first_of("\\'\n", at + start.size());
  std::istringstream words(snippet.substr(at + start.size(), end - at - start.size()));
  std::vector<std::string> args;
  for (std::string w; words >> w;) args.push_back(w);
  return args;
}

}  // namespace

bool RegistryServer::start_nginx(std::string* why) {
  const std::string nginx = find_program({"/usr/sbin/nginx"});
  const std::string fcgiwrap = find_program({"/usr/sbin/fcgiwrap"});
  if (nginx.empty() || fcgiwrap.empty()) {
    *why = "nginx or fcgiwrap is not installed";
    return false;
  }
  install_program(program_, dir_ + "/lib/registry");
  storage_ = dir_ + "/storage";
  make_dirs(storage_);
  const std::string socket = dir_ + "/fcgiwrap.socket";
  std::vector<std::string> fcgiwrap_argv{fcgiwrap};
  for (const std::string& a : fcgiwrap_arguments(deploy_file("nginx.conf", {}))) fcgiwrap_argv.push_back(a);
  fcgiwrap_argv.insert(fcgiwrap_argv.end(), {"-s", "unix:" + socket});
  // fcgiwrap's own standard error is the journal's under systemd: with -f
  // the program's goes to nginx's error log instead.
  spawn(fcgiwrap_argv, {}, dir_ + "/fcgiwrap.stderr");
  wait_for_socket(socket);
  const std::string site = dir_ + "/site.conf";
  std::string site_text = deploy_file("nginx.conf", {{"listen 5000;", "listen 127.0.0.1:" + std::to_string(port_) + ";"},
                                               {"/usr/local/lib/registry/registry", dir_ + "/lib/registry"},
                                               {"/var/lib/registry", storage_},
                                               {"/run/fcgiwrap.socket", socket}});
  for (const auto& [from, to] : edits_) site_text = replace_all(site_text, from, to);
  write_bytes(site, site_text);
  return start_nginx_with_site(nginx, site, why);
}

bool RegistryServer::start_nginx_with_site(const std::string& nginx, const std::string& site, std::string* why) {
  make_dirs(dir_ + "/tmp");
  // The snippet includes fastcgi_params beside the main configuration, as
  // in /etc/nginx.
  write_bytes(dir_ + "/fastcgi_params", read_bytes("/etc/nginx/fastcgi_params"));
  const std::string config = dir_ + "/nginx.conf";
  write_bytes(config, "user root;\nworker_processes 1;\npid " + dir_ + "/nginx.pid;\nerror_log " + log_ +
                          ";\nevents { worker_connections 64; }\nhttp {\n  access_log off;\n  client_body_temp_path " +
                          dir_ + "/tmp/body;\n  fastcgi_temp_path " + dir_ + "/tmp/fastcgi;\n  proxy_temp_path " +
                          dir_ + "/tmp/proxy;\n  uwsgi_temp_path " + dir_ + "/tmp/uwsgi;\n  scgi_temp_path " + dir_ +
                          "/tmp/scgi;\n  include /etc/nginx/mime.types;\n  include " + site + ";\n}\n");
  const pid_t pid = spawn({nginx, "-c", config, "-g", "daemon off;"}, {});
  if (!wait_listening(port_, pid)) {
    *why = "nginx did not start: " + read_bytes(log_);
    return false;
  }
  return true;
}

bool RegistryServer::start_apache(std::string* why) {
  const std::string apache = find_program({"/usr/sbin/apache2"});
  if (apache.empty()) {
    *why = "Apache httpd is not installed";
    return false;
  }
  install_program(program_, dir_ + "/lib/registry");
  storage_ = dir_ + "/storage";
  make_dirs(storage_);
  // Apache runs CGI programs as its user, never root: the storage is theirs,
  // and the way to it open.
  chmod(storage_.c_str(), 0777);
  chmod(dir_.substr(0, dir_.rfind('/')).c_str(), 0755);
  const std::string snippet = dir_ + "/registry.conf";
  std::string apache_text = deploy_file("apache.conf", {{"/usr/local/lib/registry/registry", dir_ + "/lib/registry"},
                                                   {"/usr/local/lib/registry", dir_ + "/lib"},
                                                   {"/var/lib/registry", storage_}});
  for (const auto& [from, to] : edits_) apache_text = replace_all(apache_text, from, to);
  write_bytes(snippet, apache_text);
  return start_apache_with(apache, snippet, {"mpm_event", "authz_core", "alias", "cgid", "env", "mime"}, why);
}

bool RegistryServer::start_apache_with(const std::string& apache, const std::string& snippet,
                                       const std::vector<std::string>& modules, std::string* why) {
  const std::string mods = "/usr/lib/apache2/modules/";
  std::string config;
  for (const std::string& m : modules) {
    config += std::string("LoadModule ") + m + "_module " + mods + "mod_" + m + ".so\n";
  }
  // Blob downloads sent by Apache, as the snippet sets up where the module
  // is there (libapache2-mod-xsendfile).
  if (exists(mods + "mod_xsendfile.so")) config += "LoadModule xsendfile_module " + mods + "mod_xsendfile.so\n";
  pid_file_ = dir_ + "/apache.pid";
  config += "ServerRoot " + dir_ + "\nDefaultRuntimeDir " + dir_ + "\nPidFile " + pid_file_ + "\nMutex file:" + dir_ +
            (std::find(modules.begin(), modules.end(), "cgid") != modules.end() ? "\nScriptSock " + dir_ + "/cgid.sock"
                                                                                 : std::string()) +
            "\nListen 127.0.0.1:" + std::to_string(port_) +
            "\nServerName 127.0.0.1\nErrorLog " + log_ + "\nUser nobody\nGroup nogroup\n" +
            "DocumentRoot " + dir_ + "/htdocs\nTypesConfig /etc/mime.types\n"
            "<Directory />\n  AllowOverride None\n  Require all denied\n</Directory>\nInclude " + snippet + "\n";
  make_dirs(dir_ + "/htdocs");
  write_bytes(dir_ + "/apache.conf", config);
  const pid_t pid = spawn({apache, "-f", dir_ + "/apache.conf", "-DFOREGROUND"}, {});
  if (!wait_listening(port_, pid)) {
    *why = "Apache httpd did not start: " + read_bytes(log_);
    return false;
  }
  return true;
}

int RegistryServer::get_status(const std::string& target) const {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return 0;
  timeval limit{60, 0};  // a hung server fails the caller, never stalls it
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port_));
  inet_pton(AF_INET, ip_.c_str(), &addr.sin_addr);
  std::string reply;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    const std::string request = "GET " + target + " HTTP/1.1\r\nHost: " + address() + "\r\nConnection: close\r\n\r\n";
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
      char buf[4096];
      ssize_t n;
      while ((n = recv(fd, buf, sizeof buf, 0)) > 0) reply.append(buf, static_cast<size_t>(n));
    }
  }
  close(fd);
  if (reply.rfind("HTTP/1.", 0) != 0 || reply.size() < 12) return 0;
  return std::atoi(reply.c_str() + 9);
}

void RegistryServer::stop() {
  for (auto it = pids_.rbegin(); it != pids_.rend(); ++it) {
    kill(-*it, SIGTERM);  // the process group: the server and its workers
    kill(*it, SIGTERM);
  }
  for (pid_t pid : pids_) {
    for (int i = 0; i < 200 && waitpid(pid, nullptr, WNOHANG) == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  pids_.clear();
}

std::vector<pid_t> RegistryServer::registry_processes() const {
  std::vector<pid_t> found;
  const std::string installed = kind_ == WebServer::kLighttpd ? dir_ + "/registry" : dir_ + "/lib/registry";
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return found;
  while (dirent* e = readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
    if (pid <= 0) continue;
    char exe[4096];
    const std::string link = std::string("/proc/") + e->d_name + "/exe";
    const ssize_t n = readlink(link.c_str(), exe, sizeof exe - 1);
    if (n <= 0) continue;
    exe[n] = '\0';
    if (installed == exe) found.push_back(pid);
  }
  closedir(proc);
  return found;
}

ProcessResult run_client(const std::vector<std::string>& argv, const std::string& home, int seconds,
                         const std::map<std::string, std::string>& extra_env) {
  make_dirs(home + "/tmp");
  std::map<std::string, std::string> env{{"HOME", home},
                                         {"TMPDIR", home + "/tmp"},
                                         {"PATH", "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"},
                                         {"XDG_RUNTIME_DIR", home + "/tmp"}};
  for (const auto& [k, v] : extra_env) env[k] = v;
  std::vector<std::string> args{std::to_string(seconds)};
  args.insert(args.end(), argv.begin(), argv.end());
  ProcessResult r = run_program("/usr/bin/timeout", args, env, home);
  r.out += r.err;
  return r;
}

void stop_daemon(pid_t pid) {
  kill(-pid, SIGTERM);
  for (int i = 0; i < 500 && waitpid(pid, nullptr, WNOHANG) == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(-pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

void wait_for_socket(const std::string& path) {
  const auto give_up = std::chrono::steady_clock::now() + kStartBound;
  while (!exists(path) && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::string make_image(const std::string& dir, const std::vector<std::string>& args) {
  std::vector<std::string> argv{kSource + "/tests/support/make_image.py", dir};
  argv.insert(argv.end(), args.begin(), args.end());
  ProcessResult r = run_program("/usr/bin/python3", argv, {{"PATH", "/usr/bin:/bin"}}, "");
  std::string out = r.out;
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

std::vector<std::string> layout_blobs(const std::string& dir) {
  std::vector<std::string> digests;
  for (const std::string& name : list_names(dir + "/blobs/sha256")) {
    digests.push_back(digest_string(read_bytes(dir + "/blobs/sha256/" + name)));
  }
  std::sort(digests.begin(), digests.end());
  return digests;
}

}  // namespace testing_support
