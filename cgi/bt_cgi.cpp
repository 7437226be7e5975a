// CGI request and response.
#include "bt_cgi.h"

#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cgi/request_env.h"
#include "platform/host.h"
#include "text/hex.h"
#include "text/json_escape.h"

namespace {

constexpr const char kEmpty[] = "";

int s_body_status = CGI_BODY_NONE;

// The body block when all of the expected bytes came; else it is freed,
// and the body is a failure the caller can tell from no body at all.
char* whole_or_nothing(char* body, size_t got, size_t expected, uint64_t* length) {
  if (got < expected) {
    std::free(body);
    s_body_status = CGI_BODY_INCOMPLETE;
    return nullptr;
  }
  body[got] = '\0';
  if (length != nullptr) *length = got;
  s_body_status = CGI_BODY_OK;
  return body;
}
constexpr int kSlots = 8;
constexpr size_t kSlotSize = 512;

int hexval(unsigned char c) { return text_hex_value(c); }

void write_line(const char* text) {
  bt_stdout_bin();
  std::fputs(text, stdout);
}

}  // namespace

extern "C" {

void bt_stdout_bin(void) {
  static int done = 0;
  if (done) return;
  host::set_binary_mode(stdout);
  done = 1;
}

const char* cgi_env(const char* name, const char* fallback) {
  const char* v = cgi::process_environment().get(name);
  if (v != nullptr && v[0] != '\0') return v;
  return fallback != nullptr ? fallback : kEmpty;
}

const char* cgi_method(void) { return cgi_env("REQUEST_METHOD", "GET"); }

int cgi_is_post(void) {
  const char* m = cgi_method();
  return m[0] == 'P' && m[1] == 'O';
}

int cgi_is_head(void) {
  const char* m = cgi_method();
  return m[0] == 'H' && m[1] == 'E' && m[2] == 'A' && m[3] == 'D';
}

const char* cgi_query(const char* name) {
  static int slot = 0;
  static char slots[kSlots][kSlotSize];

  if (name == nullptr || name[0] == '\0') return kEmpty;
  slot = (slot + 1) % kSlots;
  char* out = slots[slot];
  out[0] = '\0';

  const cgi::Environment& env = cgi::process_environment();
  const char* qs = env.value("QUERY_STRING");
  if (qs[0] == '\0') {
    // The variable that stands in is handed out as it is, not copied.
    const char* v = env.value(name);
    return cgi::fallback_usable(v) ? v : kEmpty;
  }
  const std::vector<std::string> values = cgi::query_values(qs, name);
  if (values.empty()) return kEmpty;
  bt_strlcpy(out, values.front().c_str(), kSlotSize);
  return out;
}

const char* cgi_path_info(void) { return cgi_env("PATH_INFO", "/"); }

void cgi_header_html(void) { write_line("Content-Type: text/html; charset=utf-8\r\n"); }
void cgi_header_json(void) { write_line("Content-Type: application/json; charset=utf-8\r\n"); }
void cgi_header_text(void) { write_line("Content-Type: text/plain; charset=utf-8\r\n"); }

void cgi_header_status(int status, const char* reason) {
  bt_stdout_bin();
  if (reason != nullptr && reason[0] != '\0') {
    std::fprintf(stdout, "Status: %d %s\r\n", status, reason);
  } else {
    std::fprintf(stdout, "Status: %d\r\n", status);
  }
}

void cgi_header_ct(const char* type) {
  bt_stdout_bin();
  std::fprintf(stdout, "Content-Type: %s\r\n", type);
}

void cgi_header_extra(const char* line) {
  bt_stdout_bin();
  std::fputs(line, stdout);
  std::fputs("\r\n", stdout);
}

void cgi_headers_end(void) {
  std::fputs("\r\n", stdout);
  std::fflush(stdout);
  host::set_binary_mode(stdout);
}

void json_escape_f(FILE* stream, const char* text) {
  if (text == nullptr) return;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
    char esc[TEXT_JSON_ESCAPE_MAX];
    std::fwrite(esc, 1, text_json_escape_byte(*p, esc), stream);
  }
}

void bt_strlcpy(char* dst, const char* src, uint64_t size) {
  if (dst == nullptr || size == 0) return;
  if (src == nullptr) {
    dst[0] = '\0';
    return;
  }
  uint64_t i = 0;
  for (; i + 1 < size && src[i] != '\0'; ++i) dst[i] = src[i];
  dst[i] = '\0';
}

int cgi_read_post_status(void) { return s_body_status; }

char* cgi_read_post(uint64_t* length) {
  if (length != nullptr) *length = 0;
  s_body_status = CGI_BODY_NONE;
  cgi::Body in = cgi::open_body(cgi::process_environment(), stdin);
  // A declared length of none, 0 or less is no body (standard input is
  // not read); a body file is one, even when it is empty.
  if (!in.from_file && in.length <= 0) return nullptr;
  if (in.length < 0 || in.length > INT32_MAX) {
    // Never handed out cut to what a block may hold as if it were whole.
    s_body_status = in.length < 0 ? CGI_BODY_INCOMPLETE : CGI_BODY_TOO_LARGE;
    cgi::close_body(&in);
    return nullptr;
  }
  const size_t expected = static_cast<size_t>(in.length);
  char* body = static_cast<char*>(std::malloc(expected + 1));
  if (body == nullptr) {
    s_body_status = CGI_BODY_NO_MEMORY;
    cgi::close_body(&in);
    return nullptr;
  }
  // A pipe or socket delivers the body in pieces: read until all of it has
  // come, the input ends or a read fails.
  size_t n = 0;
  while (n < expected) {
    const size_t got = std::fread(body + n, 1, expected - n, in.stream);
    if (got == 0) break;
    n += got;
  }
  cgi::close_body(&in);
  return whole_or_nothing(body, n, expected, length);
}

void cgi_die_text(int status, const char* message) {
  cgi_header_status(status, nullptr);
  cgi_header_text();
  cgi_headers_end();
  std::fputs(message != nullptr ? message : "", stdout);
  std::fputs("\n", stdout);
  std::fflush(stdout);
  std::exit(0);
}

void cgi_die_json(int status, const char* message) {
  cgi_header_status(status, nullptr);
  cgi_header_json();
  cgi_headers_end();
  std::fputs("{\"errors\":[{\"code\":\"ERROR\",\"message\":\"", stdout);
  json_escape_f(stdout, message != nullptr ? message : "error");
  std::fputs("\"}]}\n", stdout);
  std::fflush(stdout);
  std::exit(0);
}

int bt_snprintf(char* buf, uint64_t size, const char* format, ...) {
  if (buf == nullptr || size == 0) return 0;
  va_list ap;
  va_start(ap, format);
  const int n = std::vsnprintf(buf, static_cast<size_t>(size), format, ap);
  va_end(ap);
  if (n >= 0 && static_cast<uint64_t>(n) < size) return n;
  buf[size - 1] = '\0';
  return static_cast<int>(size - 1);
}

void bt_path_join(char* dst, uint64_t size, const char* first, const char* second) {
  if (dst == nullptr || size == 0) return;
  dst[0] = '\0';
  if (first == nullptr || first[0] == '\0') {
    if (second != nullptr) bt_strlcpy(dst, second, size);
    return;
  }
  if (second == nullptr || second[0] == '\0') {
    bt_strlcpy(dst, first, size);
    return;
  }
  bt_strlcpy(dst, first, size);
  size_t len = std::strlen(dst);
  if (len != 0 && !host::is_sep(dst[len - 1]) && len + 1 < size) {
    dst[len] = host::kSep;
    dst[len + 1] = '\0';
  }
  while (host::is_sep(*second)) ++second;
  len = std::strlen(dst);
  if (len < size) bt_strlcpy(dst + len, second, size - len);
}

}  // extern "C"

namespace cgi {

std::vector<std::string> query_values(std::string_view query, std::string_view name) {
  std::vector<std::string> values;
  size_t start = 0;
  while (start <= query.size()) {
    size_t end = query.find('&', start);
    if (end == std::string_view::npos) end = query.size();
    const size_t eq = query.find('=', start);
    const size_t key_end = eq != std::string_view::npos && eq < end ? eq : end;
    if (query.substr(start, key_end - start) == name) {
      values.push_back(key_end < end ? percent_decode(query.substr(key_end + 1, end - key_end - 1), true) : std::string());
    }
    start = end + 1;
  }
  return values;
}

std::string percent_decode(std::string_view v, bool plus_is_space) {
  std::string out;
  out.reserve(v.size());
  for (size_t i = 0; i < v.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(v[i]);
    if (c == '+' && plus_is_space) {
      out += ' ';
    } else if (c == '%' && i + 2 < v.size() && hexval(static_cast<unsigned char>(v[i + 1])) >= 0 &&
               hexval(static_cast<unsigned char>(v[i + 2])) >= 0) {
      out += static_cast<char>(hexval(static_cast<unsigned char>(v[i + 1])) * 16 +
                               hexval(static_cast<unsigned char>(v[i + 2])));
      i += 2;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool fallback_usable(const char* v) {
  return v[0] != '\0' && !(std::strchr(v, ';') != nullptr && std::strchr(v, ':') != nullptr);
}

std::vector<std::string> request_query_values(const Environment& env, std::string_view name) {
  const char* qs = env.value("QUERY_STRING");
  if (qs[0] != '\0') return query_values(qs, name);
  if (name.empty()) return {};
  const char* v = env.value(std::string(name).c_str());
  if (!fallback_usable(v)) return {};
  return {v};
}

const char* ProcessEnvironment::get(const char* name) const { return std::getenv(name); }

const Environment& process_environment() {
  static const ProcessEnvironment env;
  return env;
}

Body open_body(const Environment& env, FILE* input) {
  Body b;
  const char* file = env.value("POST_BODY_FILE");
  if (file[0] != '\0') {
    if (FILE* f = host::open_file(file, "rb")) {
      host::Attributes a;
      b.stream = f;
      b.from_file = true;
      if (host::get_attributes(file, &a)) b.length = a.size;
      return b;
    }
  }
  host::set_binary_mode(input);
  b.stream = input;
  const char* declared = env.value("CONTENT_LENGTH");
  if (declared[0] != '\0') {
    char* end = nullptr;
    const long long n = std::strtoll(declared, &end, 10);
    if (end != declared && n >= 0) b.length = n;
  }
  return b;
}

void close_body(Body* body) {
  if (body->from_file && body->stream != nullptr) std::fclose(body->stream);
  body->stream = nullptr;
}

}  // namespace cgi
