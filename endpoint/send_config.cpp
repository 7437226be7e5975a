// The blob-sending setting.
#include "endpoint/send_config.h"

#include <cstdlib>

#include "endpoint/storage_config.h"

namespace endpoint {
namespace {

constexpr const char kAccel[] = "x-accel-redirect:";

// Characters a URI path may carry as they are: nginx takes the redirect's
// target as it stands.
bool plain_uri_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' || c == '-' ||
         c == '_' || c == '.' || c == '~';
}

}  // namespace

bool parse_send_setting(const std::string& value, SendSettings* out, std::string* why) {
  SendSettings s;
  if (value.empty() || value == "off") {
    s.mode = SendMode::kSelf;
  } else if (value == "x-sendfile") {
    s.mode = SendMode::kXSendfile;
  } else if (value.rfind(kAccel, 0) == 0) {
    s.mode = SendMode::kXAccelRedirect;
    s.prefix = value.substr(sizeof kAccel - 1);
    bool plain = !s.prefix.empty() && s.prefix[0] == '/';
    for (const char c : s.prefix) plain = plain && plain_uri_char(c);
    const std::string parts = s.prefix + "/";
    if (!plain || parts.find("/./") != std::string::npos || parts.find("/../") != std::string::npos) {
      *why = "REGISTRY_SENDFILE is \"" + value + "\": the prefix must be a plain URI path beginning with '/'";
      return false;
    }
    if (s.prefix.back() != '/') s.prefix += '/';
  } else {
    *why = "REGISTRY_SENDFILE is \"" + value + "\": off, x-sendfile or x-accel-redirect:<prefix>";
    return false;
  }
  *out = std::move(s);
  return true;
}

bool read_send_settings(SendSettings* out, std::string* why) {
  const char* env = std::getenv("REGISTRY_SENDFILE");
  if (env != nullptr && env[0] != '\0') return parse_send_setting(env, out, why);
  static const char* const kKeys[] = {"sendfile"};
  std::string value;
  bool present = false;
  std::string text;
  char file_why[256];
  switch (read_config_text("config.json", &text, file_why, sizeof file_why)) {
    case ConfigRoot::kNone: break;
    case ConfigRoot::kInvalid:
      *why = std::string("config.json in the working directory ") + file_why;
      return false;
    case ConfigRoot::kFound:
      if (!parse_config_strings(text.data(), text.size(), kKeys, 1, &value, &present, why)) {
        *why = "config.json in the working directory: " + *why;
        return false;
      }
      break;
  }
  return parse_send_setting(value, out, why);
}

}  // namespace endpoint
