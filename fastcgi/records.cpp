// FastCGI records.
#include "fastcgi/records.h"

namespace fastcgi {
namespace {

void put_length(std::string* out, size_t n) {
  if (n < 128) {
    out->push_back(static_cast<char>(n));
  } else {
    out->push_back(static_cast<char>(((n >> 24) & 0x7f) | 0x80));
    out->push_back(static_cast<char>((n >> 16) & 0xff));
    out->push_back(static_cast<char>((n >> 8) & 0xff));
    out->push_back(static_cast<char>(n & 0xff));
  }
}

// A length at data[*at], moved past; false where it runs past the end.
bool take_length(std::string_view data, size_t* at, size_t* n) {
  if (*at >= data.size()) return false;
  const auto b0 = static_cast<unsigned char>(data[*at]);
  if (b0 < 128) {
    *n = b0;
    *at += 1;
    return true;
  }
  if (data.size() - *at < 4) return false;
  *n = (static_cast<size_t>(b0 & 0x7f) << 24) | (static_cast<size_t>(static_cast<unsigned char>(data[*at + 1])) << 16) |
       (static_cast<size_t>(static_cast<unsigned char>(data[*at + 2])) << 8) |
       static_cast<size_t>(static_cast<unsigned char>(data[*at + 3]));
  *at += 4;
  return true;
}

}  // namespace

bool parse_header(const uint8_t* p, Header* out) {
  if (p[0] != 1) return false;
  out->type = p[1];
  out->request_id = static_cast<uint16_t>((p[2] << 8) | p[3]);
  out->content_length = static_cast<uint16_t>((p[4] << 8) | p[5]);
  out->padding_length = p[6];
  return true;
}

std::string record(uint8_t type, uint16_t request_id, std::string_view content) {
  const size_t len = content.size() > kContentMax ? kContentMax : content.size();
  const size_t padding = (8 - len % 8) % 8;
  std::string out;
  out.reserve(kHeaderSize + len + padding);
  out.push_back(1);
  out.push_back(static_cast<char>(type));
  out.push_back(static_cast<char>(request_id >> 8));
  out.push_back(static_cast<char>(request_id & 0xff));
  out.push_back(static_cast<char>(len >> 8));
  out.push_back(static_cast<char>(len & 0xff));
  out.push_back(static_cast<char>(padding));
  out.push_back(0);
  out.append(content.data(), len);
  out.append(padding, '\0');
  return out;
}

std::string stream_records(uint8_t type, uint16_t request_id, std::string_view content) {
  if (content.empty()) return record(type, request_id, {});
  std::string out;
  for (size_t at = 0; at < content.size(); at += kContentMax) out += record(type, request_id, content.substr(at, kContentMax));
  return out;
}

std::string end_request(uint16_t request_id, uint32_t app_status, uint8_t protocol_status) {
  const char body[8] = {static_cast<char>(app_status >> 24), static_cast<char>((app_status >> 16) & 0xff),
                        static_cast<char>((app_status >> 8) & 0xff), static_cast<char>(app_status & 0xff),
                        static_cast<char>(protocol_status), 0, 0, 0};
  return record(kEndRequest, request_id, std::string_view(body, sizeof body));
}

bool parse_pairs(std::string_view data, Pairs* out) {
  size_t at = 0;
  while (at < data.size()) {
    size_t name_len = 0, value_len = 0;
    if (!take_length(data, &at, &name_len) || !take_length(data, &at, &value_len)) return false;
    if (name_len > data.size() - at || value_len > data.size() - at - name_len) return false;
    out->emplace_back(std::string(data.substr(at, name_len)), std::string(data.substr(at + name_len, value_len)));
    at += name_len + value_len;
  }
  return true;
}

std::string encode_pairs(const Pairs& pairs) {
  std::string out;
  for (const auto& [name, value] : pairs) {
    put_length(&out, name.size());
    put_length(&out, value.size());
    out += name;
    out += value;
  }
  return out;
}

}  // namespace fastcgi
