// Query parameters of a request: one reader for every program, with the
// CGI layer's rules. A value is decoded once ('+' a space, %XX the byte,
// a malformed escape kept as it is); the first value of a name is its
// value; only '&' separates parameters.
#ifndef REGISTRY_CGI_QUERY_STRING_H
#define REGISTRY_CGI_QUERY_STRING_H

#include <string>
#include <string_view>
#include <vector>

namespace cgi {

// Every value of the parameter name in query, decoded, in the order given;
// a parameter without '=' has the empty value. Keys are compared as they
// are written, byte for byte.
std::vector<std::string> query_values(std::string_view query, std::string_view name);

// The values of name in the request's QUERY_STRING. With no query string
// at all (unset or empty), a variable of the parameter's own name stands
// in as its one value, as it is and not decoded, unless it is empty or
// looks like a path list (it holds both ';' and ':').
std::vector<std::string> request_query_values(std::string_view name);

}  // namespace cgi

#endif
