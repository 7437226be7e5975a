// The request, read once.
#include "registry/request.h"

namespace registry {
namespace {

// The path of the request as the client wrote it, where the server passes
// it on (REQUEST_URI); else the server's split of it (lighttpd and Apache
// put the part after the program's own path in PATH_INFO, nginx and IIS
// put all of it there).
std::string path_of(const cgi::Environment& env) {
  const std::string uri = env.value("REQUEST_URI");
  if (!uri.empty()) {
    const std::string path = cgi::percent_decode(uri.substr(0, uri.find('?')), false);
    if (path.rfind("/v2", 0) == 0 || path == kTokenPath) return path;
  }
  const std::string info = env.value("PATH_INFO");
  const std::string whole = env.value("SCRIPT_NAME") + info;
  if (whole.rfind("/v2", 0) == 0 || whole == kTokenPath) return whole;
  return info;
}

}  // namespace

Request::Request(const cgi::Environment& env, FILE* input)
    : env_(&env), input_(input), method_(env.value("REQUEST_METHOD")), path_(path_of(env)) {
  if (method_.empty()) method_ = "GET";
  route_ = route_path(path_);
}

std::string Request::param(const char* name, bool* present) const {
  const std::vector<std::string> v = params(name);
  if (present != nullptr) *present = !v.empty();
  return v.empty() ? std::string() : v.front();
}

std::vector<std::string> Request::params(const char* name) const { return cgi::request_query_values(*env_, name); }

std::string Request::token_url() const {
  const std::string https = var("HTTPS");
  std::string scheme = var("REQUEST_SCHEME");
  if (https == "on" || https == "ON" || https == "1") scheme = "https";
  if (scheme != "https") scheme = "http";
  // The Host the client sent; where the server passes it without its port
  // (Debian's nginx gives $host), the port the request came in on.
  std::string host = var("HTTP_HOST");
  if (host.empty()) host = var("SERVER_NAME");
  const size_t bracket = host.rfind(']');
  const bool has_port = host.find(':', bracket == std::string::npos ? 0 : bracket) != std::string::npos;
  const std::string port = var("SERVER_PORT");
  if (!has_port && !port.empty() && !(scheme == "http" && port == "80") && !(scheme == "https" && port == "443")) {
    host += ":" + port;
  }
  return scheme + "://" + host + kTokenPath;
}

std::string url_encode(const std::string& text) {
  static constexpr char hx[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
        c == '_' || c == '~' || c == '/' || c == ':') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hx[c >> 4];
      out += hx[c & 15];
    }
  }
  return out;
}

}  // namespace registry
