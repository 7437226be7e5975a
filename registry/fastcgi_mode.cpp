// The FastCGI responder.
#include "registry/fastcgi_mode.h"

#include <cstdlib>
#include <string>
#include <unordered_map>

#include "fastcgi/connection.h"
#include "platform/host.h"
#include "registry/front_door.h"
#include "registry/response.h"

namespace registry {
namespace {

// A request's variables are its parameters, and nothing else: a variable
// of the process's own environment never passes for a header. Settings
// (REGISTRY_*) a parameter does not give come from the process's
// environment, where lighttpd's bin-environment and a unit put them.
class ParamsEnvironment final : public cgi::Environment {
 public:
  ParamsEnvironment(const fastcgi::Pairs& params, const cgi::Environment& process) : process_(process) {
    for (const auto& [name, value] : params) values_.emplace(name, value);
  }
  const char* get(const char* name) const override {
    const auto it = values_.find(name);
    if (it != values_.end()) return it->second.c_str();
    return std::string_view(name).rfind("REGISTRY_", 0) == 0 ? process_.get(name) : nullptr;
  }

 private:
  std::unordered_map<std::string, std::string> values_;
  const cgi::Environment& process_;
};

class LinkChannel final : public fastcgi::Channel {
 public:
  explicit LinkChannel(host::Link link) : link_(link) {}
  long read(void* buf, size_t n, int timeout_ms) override { return host::link_read(link_, buf, n, timeout_ms); }
  bool write(const void* data, size_t len) override { return host::link_write(link_, data, len); }

 private:
  host::Link link_;
};

class RecordOutput final : public Output {
 public:
  explicit RecordOutput(fastcgi::Connection& c) : c_(c) {}
  void write(const void* data, size_t len) override { c_.write_stdout(data, len); }
  bool send_file(FILE* f, int64_t offset, int64_t count) override {
    static char buf[1 << 16];
    while (count > 0) {
      const size_t want = count > static_cast<int64_t>(sizeof buf) ? sizeof buf : static_cast<size_t>(count);
      const long got = host::read_at(f, offset, buf, want);
      if (got <= 0) return false;
      c_.write_stdout(buf, static_cast<size_t>(got));
      if (c_.broken()) return false;
      offset += got;
      count -= got;
    }
    return true;
  }
  void flush() override { c_.flush(); }

 private:
  fastcgi::Connection& c_;
};

// The error stream of the request, which the server writes to its log.
class RecordLog final : public Log {
 public:
  explicit RecordLog(fastcgi::Connection& c) : c_(c) {}
  void line(const std::string& text) override {
    const std::string l = text + "\n";
    c_.write_stderr(l.data(), l.size());
  }

 private:
  fastcgi::Connection& c_;
};

long read_body(void* ctx, char* buf, size_t n) { return static_cast<fastcgi::Connection*>(ctx)->read_body(buf, n); }

int64_t setting(const cgi::Environment& env, const char* name, int64_t fallback) {
  const char* v = env.get(name);
  if (v == nullptr || v[0] == '\0') return fallback;
  char* end = nullptr;
  const long long n = std::strtoll(v, &end, 10);
  return end != v && *end == '\0' && n >= 0 ? n : fallback;
}

struct Responder {
  const cgi::Environment* process;
  int64_t max_requests;
  fastcgi::Limits limits;
};

// One request on the connection: the front door, as for a CGI process,
// over the request's parameters, body and streams.
void serve_one(const Responder& r, fastcgi::Connection& conn, const fastcgi::RequestHead& head) {
  const ParamsEnvironment env(head.params, *r.process);
  FILE* body = host::reader_stream(read_body, &conn);
  RecordOutput out(conn);
  RecordLog log(conn);
  serve(env, body != nullptr ? body : stdin, out, log);
  if (body != nullptr) std::fclose(body);
}

int run(void* ctx) {
  const Responder& r = *static_cast<const Responder*>(ctx);
  int64_t served = 0;
  host::Link link;
  while ((r.max_requests == 0 || served < r.max_requests) && host::accept_link(&link)) {
    LinkChannel channel(link);
    fastcgi::Connection conn(channel, r.limits);
    fastcgi::RequestHead head;
    while (conn.next_request(&head)) {
      serve_one(r, conn, head);
      ++served;
      if (!conn.finish(0) || (r.max_requests != 0 && served >= r.max_requests)) break;
    }
    host::link_close(link);
  }
  return 0;
}

}  // namespace

int serve_fastcgi(const cgi::Environment& process_env) {
  Responder r;
  r.process = &process_env;
  r.max_requests = setting(process_env, "REGISTRY_FASTCGI_MAX_REQUESTS", 0);
  r.limits.body_ms = static_cast<int>(setting(process_env, "REGISTRY_FASTCGI_BODY_TIMEOUT", 60) * 1000);
  const int workers = static_cast<int>(setting(process_env, "REGISTRY_FASTCGI_WORKERS", 1));
  return host::run_workers(workers, run, &r);
}

}  // namespace registry
