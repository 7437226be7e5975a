// A request, read once from what the web server hands the program: its
// method, the path the client wrote, the route that path names, the query,
// the headers and the body.
#ifndef REGISTRY_REGISTRY_REQUEST_H
#define REGISTRY_REGISTRY_REQUEST_H

#include <cstdio>
#include <string>
#include <vector>

#include "cgi/request_env.h"
#include "registry/routes.h"

namespace registry {

class Request {
 public:
  // The request that env describes, its body arriving on input.
  Request(const cgi::Environment& env, FILE* input);

  const std::string& method() const { return method_; }  // "GET" when unset
  bool head() const { return method_ == "HEAD"; }
  // The path as the client sent it, from "/v2" on, percent-decoded.
  const std::string& path() const { return path_; }
  const Route& route() const { return route_; }
  // A program that serves one route whatever the path says.
  void set_route(const Route& route) { route_ = route; }

  // The first value of a query parameter; *present tells whether it was
  // there at all. Every value of one, in order.
  std::string param(const char* name, bool* present = nullptr) const;
  std::vector<std::string> params(const char* name) const;

  // A variable of the request: a header as HTTP_<NAME> ("HTTP_RANGE"), or
  // one the server sets (REMOTE_USER, REMOTE_ADDR, CONTENT_TYPE); "" when
  // it is not there.
  std::string var(const char* name) const { return env_->value(name); }

  // The body: a stream and its declared length (-1: read it to its end).
  cgi::Body open_body() const { return cgi::open_body(*env_, input_); }

  // The token endpoint's URL as the client reaches this server: the
  // request's scheme and Host with kTokenPath.
  std::string token_url() const;

 private:
  const cgi::Environment* env_;
  FILE* input_;
  std::string method_;
  std::string path_;
  Route route_;
};

// Percent-encodes a text for a URL's query.
std::string url_encode(const std::string& text);

}  // namespace registry

#endif
