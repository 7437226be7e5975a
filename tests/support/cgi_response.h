// A CGI program's output taken apart as a web server would: the status
// line, the other headers and the body.
#ifndef REGISTRY_TESTS_CGI_RESPONSE_H
#define REGISTRY_TESTS_CGI_RESPONSE_H

#include <string>
#include <vector>

#include "test_support.h"

namespace testing_support {

struct CgiResponse {
  std::string status;  // "201 Created"
  std::vector<std::string> headers;
  std::string body;
  std::string err;
  std::string raw;
  // The value of the first header of that name; "(none)" when there is none.
  std::string header(const std::string& name) const;
  // The "code" of the first error in a JSON error body; "" when none.
  std::string code() const;
};

CgiResponse parse_cgi_response(const ProcessResult& r);

}  // namespace testing_support

#endif
