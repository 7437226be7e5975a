// The byte-range parsers over arbitrary headers and content sizes: a part
// (and each part of a list) lies inside the content, an unsatisfiable
// range only where no byte of it does, and a chunk's range is never
// backwards.
// Input: 8 bytes of content size, then the header.
#include "fuzz/fuzz_target.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "registry/byte_ranges.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8) return 0;
  int64_t content = 0;
  std::memcpy(&content, data, 8);
  if (content < 0) content = -(content + 1);
  std::string header(reinterpret_cast<const char*>(data + 8), size - 8);
  header = header.substr(0, header.find('\0'));
  int64_t first = -7, last = -7;
  switch (registry::parse_range(header.c_str(), content, &first, &last)) {
    case registry::RangeAnswer::kPart:
      if (first < 0 || last < first || last >= content) std::abort();
      break;
    case registry::RangeAnswer::kUnsatisfiable:
    case registry::RangeAnswer::kWhole:
      if (first != -7 || last != -7) std::abort();  // nothing written
      break;
  }
  // The list form: parts inside the content, never more bytes than it
  // has, never more parts than are answered one by one; nothing listed
  // unless parts answer.
  std::vector<registry::ByteRange> parts;
  const registry::RangeAnswer listed = registry::parse_ranges(header.c_str(), content, &parts);
  int64_t total = 0;
  for (const registry::ByteRange& p : parts) {
    if (p.first < 0 || p.last < p.first || p.last >= content) std::abort();
    total += p.last - p.first + 1;
  }
  if (total > content || parts.size() > registry::kMaxRangeParts) std::abort();
  if ((listed == registry::RangeAnswer::kPart) != !parts.empty()) std::abort();
  first = last = -7;
  if (registry::parse_content_range(header.c_str(), &first, &last)) {
    if (first < 0 || last < first) std::abort();
  } else if (first != -7 || last != -7) {
    std::abort();
  }
  return 0;
}
