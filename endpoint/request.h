// The request as the registry's handlers read it from the CGI environment.
#ifndef REGISTRY_ENDPOINT_REQUEST_H
#define REGISTRY_ENDPOINT_REQUEST_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace endpoint {

// REQUEST_METHOD ("GET" when unset).
const char* request_method();
bool is_head();

// The path of the request as the client wrote it, from "/v2" on: web
// servers split it between SCRIPT_NAME and PATH_INFO in their own ways.
std::string request_path();

// Every value of a query parameter, decoded ('+' a space, %XX a byte), in
// the order given; parameters the registry does not know are never looked
// at. A parameter without '=' has the empty value.
std::vector<std::string> query_values(const std::string& query, const char* name);
// The first value of a parameter of the request; *present tells whether
// it was there at all. With no query string at all, a variable of the
// parameter's name stands in (the CGI layer's rule: cgi/query_string.h).
std::string query_value(const char* name, bool* present = nullptr);
// Every value of a parameter of the request, by the same rule.
std::vector<std::string> query_all(const char* name);

// A request header that the server passes as HTTP_<NAME>, or "".
const char* request_header(const char* cgi_name);

// The request body as a stream: the file the server named in
// POST_BODY_FILE, or standard input. *length gets its length, or -1 when
// no length was declared (a chunked body, read to its end).
FILE* body_stream(int64_t* length);

// Percent-encodes a text for a URL's query.
std::string url_encode(const std::string& text);

}  // namespace endpoint

#endif
