// cgi_query over arbitrary query strings and parameter names.
// Input: one byte k, then k bytes of name, then the query string.
#include "fuzz/fuzz_target.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cgi/bt_cgi.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t k = data[0] % 32;
  if (size < 1 + k) return 0;
  std::string name(reinterpret_cast<const char*>(data + 1), k);
  std::string query(reinterpret_cast<const char*>(data + 1 + k), size - 1 - k);
  // Neither an environment value nor a C string can hold a NUL.
  name = name.substr(0, name.find('\0'));
  query = query.substr(0, query.find('\0'));
  if (query.empty()) return 0;  // the fallback reads other variables
  setenv("QUERY_STRING", query.c_str(), 1);
  const char* v = cgi_query(name.c_str());
  if (v == nullptr || std::strlen(v) > 511) std::abort();
  // A value that was found is never longer than its raw text.
  if (std::strlen(v) > query.size()) std::abort();
  const char* again = cgi_query(name.c_str());
  if (std::strcmp(v, again) != 0) std::abort();  // two slots, one answer
  return 0;
}
