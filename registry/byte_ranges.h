// The byte ranges of HTTP requests: a GET's Range header and an upload
// chunk's Content-Range.
#ifndef REGISTRY_REGISTRY_BYTE_RANGES_H
#define REGISTRY_REGISTRY_BYTE_RANGES_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace registry {

enum class RangeAnswer {
  kWhole,          // no range, one that cannot be parsed, or several: the whole content
  kPart,           // bytes first..last (inclusive)
  kUnsatisfiable,  // a range that holds no byte of the content
};

// Range: bytes=a-b | bytes=a- | bytes=-n, for content of size bytes.
RangeAnswer parse_range(const char* header, int64_t size, int64_t* first, int64_t* last);

// One part of a Range request, bytes first..last (inclusive).
struct ByteRange {
  int64_t first;
  int64_t last;
};

// At most this many parts are answered part by part; more, and the whole
// content answers them.
inline constexpr size_t kMaxRangeParts = 64;

// Range: bytes=<part>, <part>, ... (each a-b, a- or -n): the parts that hold
// bytes of the content, in the order asked. kWhole for no header, one that
// cannot be parsed, more than kMaxRangeParts parts, or parts that together
// ask for more bytes than the content has (overlaps); kUnsatisfiable when
// no part holds a byte; else kPart with at least one part in out.
RangeAnswer parse_ranges(const char* header, int64_t size, std::vector<ByteRange>* out);

// Content-Range of a chunk: "a-b", or "bytes a-b/total" and "bytes a-b/*".
// false when it is not one of these or b < a.
bool parse_content_range(const char* header, int64_t* first, int64_t* last);

}  // namespace registry

#endif
