// The settings, from the environment and one read of config.json.
#include "settings/settings.h"

#include <cstdlib>
#include <cstring>

#include "settings/config_file.h"

namespace settings {
namespace {

constexpr const char kConfigPlace[] = "config.json in the working directory";
constexpr const char kAccel[] = "x-accel-redirect:";

// Characters a URI path may carry as they are: nginx takes the redirect's
// target as it stands.
bool plain_uri_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' || c == '-' ||
         c == '_' || c == '.' || c == '~';
}

// What the one read of the configuration file gave.
struct ConfigText {
  ConfigRoot read = ConfigRoot::kNone;  // kFound: text holds it
  std::string text;
  std::string why;  // kInvalid: why the file cannot be read
};

ConfigText read_config(const char* path) {
  ConfigText c;
  char why[256] = {};
  c.read = read_config_text(path, &c.text, why, sizeof why);
  c.why = why;
  return c;
}

// A root that cannot be had as configured is an error, never a reason to
// serve some other tree: the default applies only without configuration.
void read_root(const Environment& env, const ConfigText& config, Settings* s) {
  const char* value = env.value("REGISTRY_STORAGE_ROOT");
  if (value[0] != '\0') {
    if (std::strlen(value) > kRootMax) {
      s->root_error = "REGISTRY_STORAGE_ROOT is longer than " + std::to_string(kRootMax) + " characters";
      return;
    }
    s->root = value;
    s->root_configured = true;
    return;
  }
  if (config.read == ConfigRoot::kNone) return;
  if (config.read == ConfigRoot::kInvalid) {
    s->root_error = std::string(kConfigPlace) + " " + config.why;
    return;
  }
  char root[kRootMax + 1] = {};
  char why[256] = {};
  switch (parse_config_root(config.text.data(), config.text.size(), root, sizeof root, why, sizeof why)) {
    case ConfigRoot::kNone: break;
    case ConfigRoot::kFound:
      s->root = root;
      s->root_configured = true;
      break;
    case ConfigRoot::kInvalid: s->root_error = std::string(kConfigPlace) + " " + why; break;
  }
}

void read_send(const Environment& env, const ConfigText& config, Settings* s) {
  const char* value = env.value("REGISTRY_SENDFILE");
  if (value[0] != '\0') {
    parse_send_setting(value, &s->send, &s->send_error);
    return;
  }
  static const char* const kKeys[] = {"sendfile"};
  std::string member;
  bool present = false;
  if (config.read == ConfigRoot::kInvalid) {
    s->send_error = std::string(kConfigPlace) + " " + config.why;
    return;
  }
  if (config.read == ConfigRoot::kFound &&
      !parse_config_strings(config.text.data(), config.text.size(), kKeys, 1, &member, &present, &s->send_error)) {
    s->send_error = std::string(kConfigPlace) + ": " + s->send_error;
    return;
  }
  parse_send_setting(member, &s->send, &s->send_error);
}

bool parse_auth_mode(const std::string& mode, AuthMode* out) {
  if (mode.empty() || mode == "off") {
    *out = AuthMode::kOff;
  } else if (mode == "token") {
    *out = AuthMode::kToken;
  } else if (mode == "remote-user") {
    *out = AuthMode::kRemoteUser;
  } else {
    return false;
  }
  return true;
}

void read_auth(const Environment& env, const ConfigText& config, Settings* s) {
  static const char* const kKeys[] = {"auth", "auth_service", "auth_realm", "auth_htpasswd",
                                      "auth_policy", "auth_key_file", "auth_token_ttl"};
  static const char* const kEnv[] = {"REGISTRY_AUTH", "REGISTRY_AUTH_SERVICE", "REGISTRY_AUTH_REALM",
                                     "REGISTRY_AUTH_HTPASSWD", "REGISTRY_AUTH_POLICY", "REGISTRY_AUTH_KEY_FILE",
                                     "REGISTRY_AUTH_TOKEN_TTL"};
  constexpr size_t n = sizeof kKeys / sizeof kKeys[0];
  std::string values[n];
  bool present[n] = {};
  // A file that cannot be used might hold settings that close the
  // registry: it is refused, unless the environment sets REGISTRY_AUTH and
  // so has taken access control over.
  const bool env_decides = env.value(kEnv[0])[0] != '\0';
  if (config.read == ConfigRoot::kInvalid && !env_decides) {
    s->auth_error = std::string(kConfigPlace) + " " + config.why;
    return;
  }
  if (config.read == ConfigRoot::kFound) {
    std::string why;
    if (!parse_config_strings(config.text.data(), config.text.size(), kKeys, n, values, present, &why)) {
      if (!env_decides) {
        s->auth_error = std::string(kConfigPlace) + ": " + why;
        return;
      }
      for (std::string& v : values) v.clear();
    }
  }
  for (size_t i = 0; i < n; ++i) {
    if (env.value(kEnv[i])[0] != '\0') values[i] = env.value(kEnv[i]);
  }
  AuthSettings a;
  if (!parse_auth_mode(values[0], &a.mode)) {
    s->auth_error = "REGISTRY_AUTH is \"" + values[0] + "\": off, token or remote-user";
    return;
  }
  if (!values[1].empty()) a.service = values[1];
  a.realm = values[2];
  a.htpasswd = values[3];
  a.policy = values[4];
  a.key_file = values[5];
  const std::string& ttl = values[6];
  if (!ttl.empty()) {
    char* end = nullptr;
    const long long v = std::strtoll(ttl.c_str(), &end, 10);
    if (end == ttl.c_str() || *end != '\0' || v < 60 || v > 86400) {
      s->auth_error = "REGISTRY_AUTH_TOKEN_TTL is \"" + ttl + "\": seconds from 60 to 86400";
      return;
    }
    a.ttl = v;
  }
  s->auth = std::move(a);
}

// Whether each change (and, when asked, each pull) leaves an event in the
// outbox for the deliverer.
void read_events(const Environment& env, const ConfigText& config, Settings* s) {
  std::string value = env.value("REGISTRY_EVENTS");
  if (value.empty()) {
    if (config.read == ConfigRoot::kInvalid) {
      s->events_error = std::string(kConfigPlace) + " " + config.why;
      return;
    }
    static const char* const kKeys[] = {"events"};
    bool present = false;
    if (config.read == ConfigRoot::kFound &&
        !parse_config_strings(config.text.data(), config.text.size(), kKeys, 1, &value, &present, &s->events_error)) {
      s->events_error = std::string(kConfigPlace) + ": " + s->events_error;
      return;
    }
  }
  if (value.empty() || value == "off") return;
  if (value == "on") {
    s->events.on = true;
  } else if (value == "on+pulls") {
    s->events.on = true;
    s->events.pulls = true;
  } else {
    s->events_error = "REGISTRY_EVENTS is \"" + value + "\": off, on or on+pulls";
  }
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

Settings read_settings(const Environment& env, const char* config_path) {
  Settings s;
  const ConfigText config = read_config(config_path);
  read_root(env, config, &s);
  read_auth(env, config, &s);
  read_send(env, config, &s);
  read_events(env, config, &s);
  return s;
}

}  // namespace settings
