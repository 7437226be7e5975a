// The byte ranges of HTTP requests: a GET's Range header and an upload
// chunk's Content-Range.
#ifndef REGISTRY_ENDPOINT_BYTE_RANGES_H
#define REGISTRY_ENDPOINT_BYTE_RANGES_H

#include <cstdint>

namespace endpoint {

enum class RangeAnswer {
  kWhole,          // no range, one that cannot be parsed, or several: the whole content
  kPart,           // bytes first..last (inclusive)
  kUnsatisfiable,  // a range that holds no byte of the content
};

// Range: bytes=a-b | bytes=a- | bytes=-n, for content of size bytes.
RangeAnswer parse_range(const char* header, int64_t size, int64_t* first, int64_t* last);

// Content-Range of a chunk: "a-b", or "bytes a-b/total" and "bytes a-b/*".
// false when it is not one of these or b < a.
bool parse_content_range(const char* header, int64_t* first, int64_t* last);

}  // namespace endpoint

#endif
