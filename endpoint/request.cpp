// The request from the CGI environment.
#include "endpoint/request.h"

#include <cstdlib>
#include <cstring>

#include "cgi/bt_cgi.h"
#include "cgi/query_string.h"
#include "endpoint/routes.h"
#include "platform/host.h"

namespace endpoint {
namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

const char* env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : "";
}

}  // namespace

const char* request_method() { return cgi_method(); }

bool is_head() { return std::strcmp(request_method(), "HEAD") == 0; }

std::string request_path() {
  // The path as the client sent it, where the server passes it on; else
  // the server's split of it (lighttpd and Apache put the part after the
  // program's own path in PATH_INFO, nginx and IIS put all of it there).
  const std::string uri = env("REQUEST_URI");
  if (!uri.empty()) {
    const size_t q = uri.find('?');
    std::string path;
    const std::string raw = uri.substr(0, q);
    for (size_t i = 0; i < raw.size(); ++i) {
      if (raw[i] == '%' && i + 2 < raw.size() && hex_digit(raw[i + 1]) >= 0 && hex_digit(raw[i + 2]) >= 0) {
        path += static_cast<char>(hex_digit(raw[i + 1]) * 16 + hex_digit(raw[i + 2]));
        i += 2;
      } else {
        path += raw[i];
      }
    }
    if (path.rfind("/v2", 0) == 0 || path == kTokenPath) return path;
  }
  const std::string script = env("SCRIPT_NAME");
  const std::string info = env("PATH_INFO");
  const std::string whole = script + info;
  if (whole.rfind("/v2", 0) == 0 || whole == kTokenPath) return whole;
  return info;
}

std::vector<std::string> query_values(const std::string& query, const char* name) {
  return cgi::query_values(query, name);
}

std::string query_value(const char* name, bool* present) {
  const std::vector<std::string> v = cgi::request_query_values(name);
  if (present != nullptr) *present = !v.empty();
  return v.empty() ? std::string() : v.front();
}

std::vector<std::string> query_all(const char* name) { return cgi::request_query_values(name); }

const char* request_header(const char* cgi_name) { return env(cgi_name); }

FILE* body_stream(int64_t* length) {
  *length = -1;
  const char* file = env("POST_BODY_FILE");
  if (file[0] != '\0') {
    if (FILE* f = host::open_file(file, "rb")) {
      host::Attributes a;
      if (host::get_attributes(file, &a)) *length = a.size;
      return f;
    }
  }
  host::set_binary_mode(stdin);
  const char* declared = env("CONTENT_LENGTH");
  if (declared[0] != '\0') {
    char* end = nullptr;
    const long long n = std::strtoll(declared, &end, 10);
    if (end != declared && n >= 0) *length = n;
  }
  return stdin;
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

}  // namespace endpoint
