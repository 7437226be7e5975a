// Query parameters as the upload and listing handlers read them, over
// arbitrary query strings: every value is found in order, none is longer
// than its raw text, and a parameter that is not there has no value.
// Input: one byte k, then k bytes of name, then the query string.
#include "fuzz/fuzz_target.h"

#include <cstdint>
#include <cstdlib>
#include <string>

#include "registry/request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t k = data[0] % 16;
  if (size < 1 + k) return 0;
  std::string name(reinterpret_cast<const char*>(data + 1), k);
  name = name.substr(0, name.find('\0'));
  const std::string query(reinterpret_cast<const char*>(data + 1 + k), size - 1 - k);
  const std::vector<std::string> values = cgi::query_values(query, name.c_str());
  size_t segments = 1;
  for (char c : query) segments += c == '&' ? 1 : 0;
  if (values.size() > segments) std::abort();
  size_t total = 0;
  for (const std::string& v : values) total += v.size();
  if (total > query.size()) std::abort();
  if (query.find(name) == std::string::npos && !values.empty()) std::abort();
  // Encoding then decoding gives the text back.
  for (const std::string& v : values) {
    const std::string round = cgi::query_values("x=" + registry::url_encode(v), "x").front();
    if (round != v) std::abort();
  }
  return 0;
}
