// The request as a CGI program, or a FastCGI responder, is given it: its
// variables, its query parameters and its body. One reader of each, for
// every program; the CGI layer's own functions read through them too.
#ifndef REGISTRY_CGI_REQUEST_ENV_H
#define REGISTRY_CGI_REQUEST_ENV_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace cgi {

// Where a request's variables come from: the process environment (CGI),
// or the parameters of a FastCGI request.
class Environment {
 public:
  virtual ~Environment() = default;
  // The variable's value, or null when it is not set.
  virtual const char* get(const char* name) const = 0;
  // The value, "" when unset.
  const char* value(const char* name) const {
    const char* v = get(name);
    return v != nullptr ? v : "";
  }
};

// The process environment: the variables a program is started with.
class ProcessEnvironment final : public Environment {
 public:
  const char* get(const char* name) const override;
};
const Environment& process_environment();

// %XX as the byte it names (a malformed escape kept as it is), and '+' as
// a space where plus_is_space (in a query, not in a path).
std::string percent_decode(std::string_view text, bool plus_is_space);

// Query parameters. A value is decoded once ('+' a space, %XX the byte, a
// malformed escape kept as it is); the first value of a name is its value;
// only '&' separates parameters; keys are compared as written, byte for
// byte. A parameter without '=' has the empty value.
std::vector<std::string> query_values(std::string_view query, std::string_view name);

// Whether a variable may stand in for a parameter when a request has no
// query string: set, not empty, and not a path list (both ';' and ':').
bool fallback_usable(const char* value);

// The values of name in the request's QUERY_STRING. With no query string
// at all (unset or empty), a variable of the parameter's own name stands
// in as its one value, as it is and not decoded, where fallback_usable.
std::vector<std::string> request_query_values(const Environment& env, std::string_view name);

// The request body as the server hands it over: the file POST_BODY_FILE
// names, when it opens (the file wins), else `input` (standard input for
// a CGI program, switched to binary). length: the file's size, or
// CONTENT_LENGTH read as strtoll reads it; -1 when none is declared (a
// chunked body, read to its end) or the declared length is negative.
struct Body {
  FILE* stream = nullptr;
  int64_t length = -1;
  bool from_file = false;
};
Body open_body(const Environment& env, FILE* input);
// Closes a body file; the input stays open.
void close_body(Body* body);

}  // namespace cgi

#endif
