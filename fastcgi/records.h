// The FastCGI protocol's records (version 1): an 8-byte header (version,
// type, request id, content length, padding length), the content, the
// padding; and the name-value pairs of PARAMS and GET_VALUES, each length
// in 1 byte (below 128) or 4 bytes (high bit set).
#ifndef REGISTRY_FASTCGI_RECORDS_H
#define REGISTRY_FASTCGI_RECORDS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fastcgi {

inline constexpr size_t kHeaderSize = 8;
inline constexpr size_t kContentMax = 65535;

enum RecordType : uint8_t {
  kBeginRequest = 1,
  kAbortRequest = 2,
  kEndRequest = 3,
  kParams = 4,
  kStdin = 5,
  kStdout = 6,
  kStderr = 7,
  kData = 8,
  kGetValues = 9,
  kGetValuesResult = 10,
  kUnknownType = 11,
};

enum Role : uint16_t { kResponder = 1 };
inline constexpr uint8_t kKeepConn = 1;

enum ProtocolStatus : uint8_t {
  kRequestComplete = 0,
  kCantMpxConn = 1,
  kOverloaded = 2,
  kUnknownRole = 3,
};

struct Header {
  uint8_t type = 0;
  uint16_t request_id = 0;
  uint16_t content_length = 0;
  uint8_t padding_length = 0;
};

// The header in the first kHeaderSize bytes at p; false for another
// version than 1.
bool parse_header(const uint8_t* p, Header* out);

// One record of the given type: its header, the content (at most
// kContentMax bytes) and padding to a multiple of 8.
std::string record(uint8_t type, uint16_t request_id, std::string_view content);
// A stream's content as records of at most kContentMax bytes each; an
// empty content gives the empty record that ends the stream.
std::string stream_records(uint8_t type, uint16_t request_id, std::string_view content);
std::string end_request(uint16_t request_id, uint32_t app_status, uint8_t protocol_status);

// Appends the pairs encoded in data; false (what was decoded so far kept)
// where a length runs past the end.
using Pairs = std::vector<std::pair<std::string, std::string>>;
bool parse_pairs(std::string_view data, Pairs* out);
std::string encode_pairs(const Pairs& pairs);

}  // namespace fastcgi

#endif
