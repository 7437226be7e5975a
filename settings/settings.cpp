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

// A number of seconds from lo to hi; false for anything else.
bool parse_seconds(const std::string& text, int64_t lo, int64_t hi, int64_t* out) {
  char* end = nullptr;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (text.empty() || end != text.c_str() + text.size() || v < lo || v > hi) return false;
  *out = v;
  return true;
}

bool upstream_url_ok(const std::string& url) {
  const bool scheme = url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0;
  const size_t host_at = url.find("://") + 3;
  if (!scheme || url.size() <= host_at) return false;
  for (const char c : url) {
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) return false;
  }
  return url.find_first_of("?#", host_at) == std::string::npos;
}

constexpr size_t kMirrorValues = 7;

// One upstream from its values, in the order of the mirror's keys;
// place + names[i] is how a refusal names value i.
bool mirror_from(const std::string* values, const std::string& place, const char* const* names, MirrorSettings* out,
                 std::string* why) {
  auto refuse = [&](size_t i, const char* what) {
    *why = place + names[i] + " is \"" + values[i] + "\": " + what;
    return false;
  };
  MirrorSettings m;
  m.upstream = values[0];
  while (!m.upstream.empty() && m.upstream.back() == '/') m.upstream.pop_back();
  if (!m.upstream.empty() && !upstream_url_ok(m.upstream)) return refuse(0, "an http:// or https:// URL");
  m.prefix = values[1];
  if (!m.prefix.empty() && m.prefix.back() != '/') m.prefix += '/';
  if (!m.prefix.empty() && (m.prefix.size() < 2 || m.prefix.find("//") != std::string::npos || m.prefix[0] == '/')) {
    return refuse(1, "a repository name's first components");
  }
  m.username = values[2];
  m.password = values[3];
  if (!values[4].empty() && !parse_seconds(values[4], 0, 31536000, &m.tag_ttl)) {
    return refuse(4, "seconds from 0 to 31536000");
  }
  m.ca_file = values[5];
  if (values[6] == "allow") {
    m.push_allowed = true;
  } else if (!values[6].empty() && values[6] != "deny") {
    return refuse(6, "deny or allow");
  }
  *out = std::move(m);
  return true;
}

// The upstreams of the "mirrors" array, each an object with the members
// of one upstream: "upstream", "prefix", "username", ...
bool read_mirror_list(const ConfigText& config, std::vector<MirrorSettings>* out, std::string* why) {
  static const char* const kKeys[] = {"upstream", "prefix", "username", "password", "tag_ttl", "ca_file", "push"};
  std::vector<std::string> items;
  if (!parse_config_objects(config.text.data(), config.text.size(), "mirrors", &items, why)) {
    *why = std::string(kConfigPlace) + ": " + *why;
    return false;
  }
  for (size_t at = 0; at < items.size(); ++at) {
    const std::string place = "mirrors[" + std::to_string(at) + "]";
    std::string values[kMirrorValues];
    bool present[kMirrorValues] = {};
    if (!parse_config_strings(items[at].data(), items[at].size(), kKeys, kMirrorValues, values, present, why)) {
      *why = std::string(kConfigPlace) + ": " + place + ": " + *why;
      return false;
    }
    MirrorSettings m;
    if (!mirror_from(values, place + ".", kKeys, &m, why)) return false;
    if (!m.on()) {
      *why = place + " names no upstream";
      return false;
    }
    out->push_back(std::move(m));
  }
  return true;
}

// Two upstreams cannot serve one prefix: which one a name is fetched from
// would depend on the order of the file.
bool prefixes_distinct(const std::vector<MirrorSettings>& mirrors, std::string* why) {
  for (size_t i = 0; i < mirrors.size(); ++i) {
    for (size_t j = i + 1; j < mirrors.size(); ++j) {
      if (mirrors[i].prefix == mirrors[j].prefix) {
        *why = mirrors[i].upstream + " and " + mirrors[j].upstream + " both mirror " +
               (mirrors[i].prefix.empty() ? std::string("the whole registry") : "\"" + mirrors[i].prefix + "\"");
        return false;
      }
    }
  }
  return true;
}

void read_mirror(const Environment& env, const ConfigText& config, Settings* s) {
  static const char* const kKeys[] = {"mirror_upstream", "mirror_prefix", "mirror_username", "mirror_password",
                                      "mirror_tag_ttl", "mirror_ca_file", "mirror_push"};
  static const char* const kEnv[] = {"REGISTRY_MIRROR_UPSTREAM", "REGISTRY_MIRROR_PREFIX",
                                     "REGISTRY_MIRROR_USERNAME", "REGISTRY_MIRROR_PASSWORD",
                                     "REGISTRY_MIRROR_TAG_TTL", "REGISTRY_MIRROR_CA_FILE", "REGISTRY_MIRROR_PUSH"};
  static_assert(sizeof kKeys / sizeof kKeys[0] == kMirrorValues && sizeof kEnv / sizeof kEnv[0] == kMirrorValues);
  std::string values[kMirrorValues];
  bool present[kMirrorValues] = {};
  std::vector<MirrorSettings> mirrors;
  if (config.read == ConfigRoot::kFound) {
    std::string why;
    if (!parse_config_strings(config.text.data(), config.text.size(), kKeys, kMirrorValues, values, present, &why)) {
      s->mirror_error = std::string(kConfigPlace) + ": " + why;
      return;
    }
    if (!read_mirror_list(config, &mirrors, &s->mirror_error)) return;
  }
  for (size_t i = 0; i < kMirrorValues; ++i) {
    if (env.value(kEnv[i])[0] != '\0') values[i] = env.value(kEnv[i]);
  }
  MirrorSettings single;
  if (!mirror_from(values, "", kEnv, &single, &s->mirror_error)) return;
  if (single.on()) mirrors.insert(mirrors.begin(), std::move(single));
  if (!prefixes_distinct(mirrors, &s->mirror_error)) return;
  s->mirrors = std::move(mirrors);
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

// Whether requests are counted for the metrics. An unusable value counts
// them still, and the metrics' endpoint says what is wrong.
void read_metrics(const Environment& env, const ConfigText& config, Settings* s) {
  std::string value = env.value("REGISTRY_METRICS");
  if (value.empty() && config.read == ConfigRoot::kFound) {
    static const char* const kKeys[] = {"metrics"};
    bool present = false;
    if (!parse_config_strings(config.text.data(), config.text.size(), kKeys, 1, &value, &present,
                              &s->metrics_error)) {
      s->metrics_error = std::string(kConfigPlace) + ": " + s->metrics_error;
      return;
    }
  }
  if (value.empty() || value == "on") return;
  if (value == "off") {
    s->metrics = false;
  } else {
    s->metrics_error = "REGISTRY_METRICS is \"" + value + "\": on or off";
  }
}

}  // namespace

bool Settings::mirror_for(const std::string& name, MirrorTarget* out) const {
  const MirrorSettings* best = nullptr;
  std::string best_name;
  for (const MirrorSettings& m : mirrors) {
    std::string there;
    if (m.serves(name, &there) && (best == nullptr || m.prefix.size() > best->prefix.size())) {
      best = &m;
      best_name = std::move(there);
    }
  }
  if (best == nullptr) return false;
  out->mirror = best;
  out->name = std::move(best_name);
  return true;
}

bool MirrorSettings::serves(const std::string& name, std::string* upstream_name) const {
  if (!on()) return false;
  if (prefix.empty()) {
    *upstream_name = name;
    return true;
  }
  if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return false;
  *upstream_name = name.substr(prefix.size());
  return true;
}

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
  read_mirror(env, config, &s);
  read_events(env, config, &s);
  read_metrics(env, config, &s);
  return s;
}

}  // namespace settings
