// The keys and limits of the token endpoint's throttle.
#include "access/login_throttle.h"

#include <cstring>

#include "hash/hmac_sha256.h"
#include "text/hex.h"

namespace auth {
namespace {

reg_attempt_key keyed(const std::string& secret, const std::string& input) {
  uint8_t mac[32];
  hmac_sha256(secret.data(), secret.size(), input.data(), input.size(), mac);
  reg_attempt_key key;
  std::memcpy(key.bytes, mac, sizeof key.bytes);
  return key;
}

// A decimal octet of 1 to 3 digits, 0 to 255.
bool parse_octet(const std::string& s, size_t* at, unsigned* out) {
  unsigned v = 0;
  size_t digits = 0;
  while (*at < s.size() && s[*at] >= '0' && s[*at] <= '9' && digits < 3) {
    v = v * 10 + static_cast<unsigned>(s[*at] - '0');
    ++*at, ++digits;
  }
  if (digits == 0 || v > 255) return false;
  *out = v;
  return true;
}

// Dotted IPv4 text from *at to the end of s into out[0..4).
bool parse_ipv4(const std::string& s, size_t at, uint8_t out[4]) {
  for (int i = 0; i < 4; ++i) {
    unsigned octet = 0;
    if (i > 0 && (at >= s.size() || s[at++] != '.')) return false;
    if (!parse_octet(s, &at, &octet)) return false;
    out[i] = static_cast<uint8_t>(octet);
  }
  return at == s.size();
}

int hex_value(char c) { return text_hex_value(static_cast<unsigned char>(c)); }

// IPv6 text (RFC 4291: groups of 1 to 4 hex digits, one "::" at most, a
// dotted IPv4 tail) into 16 bytes; a zone ("%eth0") is no part of the
// address.
bool parse_ipv6(std::string s, uint8_t out[16]) {
  const size_t zone = s.find('%');
  if (zone != std::string::npos) s.resize(zone);
  uint16_t groups[8] = {};
  int count = 0;
  int gap = -1;  // where "::" stands, in groups
  size_t at = 0;
  if (s.compare(0, 2, "::") == 0) {
    gap = 0;
    at = 2;
  }
  while (at < s.size()) {
    if (count == 8) return false;
    // A dotted tail takes the last two groups.
    const size_t colon = s.find(':', at);
    if (s.find('.', at) < colon) {
      uint8_t v4[4];
      if (count > 6 || !parse_ipv4(s, at, v4)) return false;
      groups[count++] = static_cast<uint16_t>(v4[0] << 8 | v4[1]);
      groups[count++] = static_cast<uint16_t>(v4[2] << 8 | v4[3]);
      at = s.size();
      break;
    }
    unsigned v = 0;
    size_t digits = 0;
    for (; at < s.size() && hex_value(s[at]) >= 0; ++at, ++digits) {
      if (digits == 4) return false;
      v = v << 4 | static_cast<unsigned>(hex_value(s[at]));
    }
    if (digits == 0) return false;
    groups[count++] = static_cast<uint16_t>(v);
    if (at == s.size()) break;
    if (s[at] != ':') return false;
    ++at;
    if (at < s.size() && s[at] == ':') {
      if (gap >= 0) return false;
      gap = count;
      ++at;
    } else if (at == s.size()) {
      return false;  // a single ':' at the end
    }
  }
  if (gap < 0 ? count != 8 : count > 7) return false;
  uint16_t full[8] = {};
  if (gap < 0) {
    std::memcpy(full, groups, sizeof full);
  } else {
    const int tail = count - gap;
    for (int i = 0; i < gap; ++i) full[i] = groups[i];
    for (int i = 0; i < tail; ++i) full[8 - tail + i] = groups[gap + i];
  }
  for (int i = 0; i < 8; ++i) {
    out[2 * i] = static_cast<uint8_t>(full[i] >> 8);
    out[2 * i + 1] = static_cast<uint8_t>(full[i] & 0xff);
  }
  return true;
}

std::string hex_of(const uint8_t* p, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) out += digits[p[i] >> 4], out += digits[p[i] & 15];
  return out;
}

std::string v4_text(const uint8_t* p) {
  return "v4:" + std::to_string(p[0]) + "." + std::to_string(p[1]) + "." + std::to_string(p[2]) + "." +
         std::to_string(p[3]);
}

}  // namespace

std::string address_class(const std::string& address) {
  uint8_t v4[4];
  if (parse_ipv4(address, 0, v4)) return v4_text(v4);
  uint8_t v6[16];
  if (!parse_ipv6(address, v6)) return "other:" + address;
  static const uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (std::memcmp(v6, kMapped, sizeof kMapped) == 0) return v4_text(v6 + 12);
  return "v6:" + hex_of(v6, 8);
}

reg_attempt_key name_key(const std::string& secret, const std::string& user) {
  // Each kind of key, and this use of the secret, has its own prefix: a
  // name never shares a key with an address.
  return keyed(secret, std::string("throttle name", 14) + user);
}

AttemptKeys attempt_keys(const std::string& secret, const std::string& user, const std::string& address) {
  AttemptKeys k;
  k.keys[k.count] = name_key(secret, user);
  k.limits[k.count++] = kNameFailureLimit;
  if (!address.empty()) {
    k.keys[k.count] = keyed(secret, std::string("throttle address", 17) + address_class(address));
    k.limits[k.count++] = kAddressFailureLimit;
  }
  return k;
}

int64_t seconds_refused(const AttemptKeys& keys, const reg_attempt_count* counts, int64_t now) {
  int64_t wait = 0;
  for (int i = 0; i < keys.count; ++i) {
    if (counts[i].failures < keys.limits[i]) continue;
    int64_t left = counts[i].since + kThrottleWindowSeconds - now;
    // A window opened by a machine whose clock runs ahead lasts no longer
    // than a window from here.
    if (left > kThrottleWindowSeconds) left = kThrottleWindowSeconds;
    if (left < 1) left = 1;
    if (left > wait) wait = left;
  }
  return wait;
}

}  // namespace auth
