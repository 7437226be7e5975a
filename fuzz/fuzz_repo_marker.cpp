// oci_parse_repo_marker and oci_valid_repo_name over arbitrary paths,
// markers and buffer sizes. Input: name size, rest size, then the path and
// the marker separated by a newline.
#include "fuzz/fuzz_target.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>

#include "registry/oci_common.h"

namespace {

// The distribution spec's grammar, as its regular expression.
bool valid_by_definition(const std::string& n) {
  static const std::regex grammar("[a-z0-9]+((\\.|_|__|[-]+)[a-z0-9]+)*(/[a-z0-9]+((\\.|_|__|[-]+)[a-z0-9]+)*)*");
  return !n.empty() && n.size() <= 255 && n.find('\0') == std::string::npos && std::regex_match(n, grammar);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t name_size = data[0];
  const size_t rest_size = data[1];
  std::string text(reinterpret_cast<const char*>(data + 2), size - 2);
  text = text.substr(0, text.find('\0'));
  const size_t nl = text.find('\n');
  const std::string path = text.substr(0, nl);
  const std::string marker = nl == std::string::npos ? "/manifests/" : text.substr(nl + 1);

  if (oci_valid_repo_name(path.c_str()) != (valid_by_definition(path) ? 1 : 0)) std::abort();

  // Buffers with guard bytes around them.
  char name[256 + 16];
  char rest[256 + 16];
  std::memset(name, 0x5a, sizeof name);
  std::memset(rest, 0x5a, sizeof rest);
  const int found = oci_parse_repo_marker(path.c_str(), marker.c_str(), name + 8, name_size,
                                          rest_size ? rest + 8 : nullptr, rest_size);
  for (int i = 0; i < 8; ++i) {
    if (name[i] != 0x5a || rest[i] != 0x5a) std::abort();
  }
  for (size_t i = 8 + name_size; i < sizeof name; ++i) {
    if (name[i] != 0x5a) std::abort();
  }
  for (size_t i = 8 + rest_size; i < sizeof rest; ++i) {
    if (rest[i] != 0x5a) std::abort();
  }
  if (found) {
    if (!valid_by_definition(name + 8)) std::abort();
    if (std::strlen(name + 8) >= name_size) std::abort();
    if (rest_size && std::strlen(rest + 8) >= rest_size) std::abort();
    if (path.find(std::string(name + 8) + marker) == std::string::npos) std::abort();
  }
  return 0;
}
