#include "cgi_response.h"

namespace testing_support {

std::string CgiResponse::header(const std::string& name) const {
  for (const std::string& h : headers) {
    if (h.rfind(name + ": ", 0) == 0) return h.substr(name.size() + 2);
  }
  return "(none)";
}

std::string CgiResponse::code() const {
  const size_t at = body.find("\"code\":\"");
  return at == std::string::npos ? "" : body.substr(at + 8, body.find('"', at + 8) - at - 8);
}

CgiResponse parse_cgi_response(const ProcessResult& r) {
  CgiResponse out;
  out.raw = r.out;
  out.err = r.err;
  const size_t end = r.out.find("\r\n\r\n");
  const std::string head = r.out.substr(0, end);
  out.body = end == std::string::npos ? "" : r.out.substr(end + 4);
  size_t start = 0;
  while (start < head.size()) {
    size_t nl = head.find("\r\n", start);
    if (nl == std::string::npos) nl = head.size();
    const std::string line = head.substr(start, nl - start);
    if (line.rfind("Status: ", 0) == 0) {
      out.status = line.substr(8);
    } else {
      out.headers.push_back(line);
    }
    start = nl + 2;
  }
  return out;
}

}  // namespace testing_support
