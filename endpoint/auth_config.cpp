// Access control's settings and files.
#include "endpoint/auth_config.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "endpoint/http_response.h"
#include "endpoint/request.h"
#include "endpoint/routes.h"
#include "endpoint/storage_config.h"
#include "platform/host.h"
#include "storage/reg_storage.h"

namespace endpoint {
namespace {

constexpr size_t kFileMax = 4 << 20;  // users and rules, never more
constexpr size_t kKeyMin = 32;        // bytes of a configured key

const char* env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : "";
}

std::string default_path(reg_auth_file which) {
  char path[4096];
  return reg_auth_path(which, path, sizeof path) == 0 ? std::string(path) : std::string();
}

std::string trimmed(const std::string& s) {
  size_t end = s.size();
  while (end > 0 && (s[end - 1] == '\n' || s[end - 1] == '\r' || s[end - 1] == ' ' || s[end - 1] == '\t')) --end;
  return s.substr(0, end);
}

// A new key in a private file, published under the default path unless
// another process published one first.
bool create_key(const std::string& path, std::string* key, std::string* why) {
  char dir[4096];
  if (reg_auth_path(REG_AUTH_DIR, dir, sizeof dir) != 0) {
    *why = "no directory for " + path;
    return false;
  }
  if (host::make_dir(dir) == host::MkdirResult::kFailed) {
    *why = with_system_error("cannot create the directory of " + path);
    return false;
  }
  unsigned char random[32];
  if (!host::random_bytes(random, sizeof random)) {
    *why = "no random bytes for a new token key";
    return false;
  }
  std::string text;
  for (const unsigned char b : random) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", b);
    text += hex;
  }
  // A temporary name of this process's own ('.' keeps it apart from the
  // files the registry reads).
  unsigned char tag[4] = {};
  host::random_bytes(tag, sizeof tag);
  char temp_name[64];
  std::snprintf(temp_name, sizeof temp_name, ".key-%d-%02x%02x%02x%02x", host::process_id(), tag[0], tag[1], tag[2],
                tag[3]);
  const std::string temp = std::string(dir) + host::kSep + temp_name;
  bool taken = false;
  FILE* f = host::create_private_file(temp.c_str(), &taken);
  if (f == nullptr) {
    *why = with_system_error("cannot create " + temp);
    return false;
  }
  const std::string line = text + "\n";
  const bool written = host::write_bytes(f, line.data(), line.size());
  if (std::fclose(f) != 0 || !written) {
    *why = with_system_error("cannot write " + temp);
    host::remove_file(temp.c_str());
    return false;
  }
  if (host::rename_no_replace(temp.c_str(), path.c_str(), &taken)) {
    *key = text;
    return true;
  }
  if (!taken) {
    *why = with_system_error("cannot publish " + path);
    host::remove_file(temp.c_str());
    return false;
  }
  host::remove_file(temp.c_str());
  // Another request made the key first: that one is the key.
  std::string existing, cause;
  if (read_text_file(path, &existing, &cause) != FileRead::kRead) {
    *why = "cannot read " + path + ": " + cause;
    return false;
  }
  *key = trimmed(existing);
  return true;
}

}  // namespace

namespace {

// The system's word for the latest failure, or fallback where it has none.
std::string system_error_or(const char* fallback) {
  char text[256];
  host::last_error_text(text, sizeof text);
  return text[0] != '\0' ? text : fallback;
}

}  // namespace

FileRead read_text_file(const std::string& path, std::string* text, std::string* why) {
  host::Attributes a;
  if (!host::get_attributes(path.c_str(), &a)) {
    // Only an absence is one: a file that cannot be looked at (a
    // directory on the way that may not be searched) is a failure, never
    // a reason to act as if there were no file.
    if (host::last_error_is_absence()) return FileRead::kMissing;
    *why = system_error_or("cannot be looked at");
    return FileRead::kFailed;
  }
  if (a.kind != host::Kind::kFile) {
    *why = a.kind == host::Kind::kDir ? "a directory" : "not a regular file";
    return FileRead::kFailed;
  }
  FILE* f = host::open_file(path.c_str(), "rb");
  if (f == nullptr) {
    *why = system_error_or("cannot be opened");
    return FileRead::kFailed;
  }
  text->clear();
  char buf[8192];
  size_t n = 0;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0 && text->size() <= kFileMax) text->append(buf, n);
  if (std::ferror(f) != 0) {
    *why = system_error_or("a read failed");
    std::fclose(f);
    return FileRead::kFailed;
  }
  std::fclose(f);
  if (text->size() > kFileMax) {
    *why = "larger than " + std::to_string(kFileMax) + " bytes";
    return FileRead::kFailed;
  }
  return FileRead::kRead;
}

bool read_auth_settings(AuthSettings* out, std::string* why) {
  // Each setting from the environment, else from the same-named member of
  // config.json in the working directory (lower case, without REGISTRY_),
  // where the storage root may be named too: lighttpd, for one, gives
  // its CGI programs none of its own environment.
  static const char* const kKeys[] = {"auth", "auth_service", "auth_realm", "auth_htpasswd",
                                      "auth_policy", "auth_key_file", "auth_token_ttl"};
  static const char* const kEnv[] = {"REGISTRY_AUTH", "REGISTRY_AUTH_SERVICE", "REGISTRY_AUTH_REALM",
                                     "REGISTRY_AUTH_HTPASSWD", "REGISTRY_AUTH_POLICY", "REGISTRY_AUTH_KEY_FILE",
                                     "REGISTRY_AUTH_TOKEN_TTL"};
  constexpr size_t n = sizeof kKeys / sizeof kKeys[0];
  std::string values[n];
  bool present[n] = {};
  std::string text;
  char file_why[256];
  // A file that cannot be used might hold settings that close the
  // registry: it is refused, unless the environment sets REGISTRY_AUTH and
  // so has taken access control over.
  const bool env_decides = env(kEnv[0])[0] != '\0';
  switch (read_config_text("config.json", &text, file_why, sizeof file_why)) {
    case ConfigRoot::kNone: break;
    case ConfigRoot::kInvalid:
      if (env_decides) break;
      *why = std::string("config.json in the working directory ") + file_why;
      return false;
    case ConfigRoot::kFound:
      if (!parse_config_strings(text.data(), text.size(), kKeys, n, values, present, why)) {
        if (env_decides) {
          for (size_t i = 0; i < n; ++i) values[i].clear();
          break;
        }
        *why = "config.json in the working directory: " + *why;
        return false;
      }
      break;
  }
  for (size_t i = 0; i < n; ++i) {
    if (env(kEnv[i])[0] != '\0') values[i] = env(kEnv[i]);
  }
  AuthSettings s;
  const std::string& mode = values[0];
  if (mode.empty() || mode == "off") {
    s.mode = AuthMode::kOff;
  } else if (mode == "token") {
    s.mode = AuthMode::kToken;
  } else if (mode == "remote-user") {
    s.mode = AuthMode::kRemoteUser;
  } else {
    *why = "REGISTRY_AUTH is \"" + mode + "\": off, token or remote-user";
    return false;
  }
  if (!values[1].empty()) s.service = values[1];
  s.realm = values[2];
  s.htpasswd = values[3];
  s.policy = values[4];
  s.key_file = values[5];
  const std::string& ttl = values[6];
  if (!ttl.empty()) {
    char* end = nullptr;
    const long long v = std::strtoll(ttl.c_str(), &end, 10);
    if (end == ttl.c_str() || *end != '\0' || v < 60 || v > 86400) {
      *why = "REGISTRY_AUTH_TOKEN_TTL is \"" + ttl + "\": seconds from 60 to 86400";
      return false;
    }
    s.ttl = v;
  }
  *out = std::move(s);
  return true;
}

bool load_policy(const AuthSettings& s, Policy* out, std::string* why) {
  const std::string path = s.policy.empty() ? default_path(REG_AUTH_POLICY) : s.policy;
  std::string text, cause;
  switch (read_text_file(path, &text, &cause)) {
    case FileRead::kRead: break;
    case FileRead::kMissing:
      // Only the default path may be absent: a file named by a setting that
      // is not there is a mistake, never a reason to fall back.
      if (s.policy.empty()) {
        *out = default_policy();
        return true;
      }
      *why = "cannot read the policy " + path + ": no such file";
      return false;
    case FileRead::kFailed:
      *why = "cannot read the policy " + path + ": " + cause;
      return false;
  }
  if (!parse_policy(text, out, why)) {
    *why = "policy " + path + ": " + *why;
    return false;
  }
  return true;
}

std::string users_path(const AuthSettings& s) {
  return s.htpasswd.empty() ? default_path(REG_AUTH_HTPASSWD) : s.htpasswd;
}

bool load_users(const AuthSettings& s, std::vector<HtpasswdEntry>* out, std::string* why) {
  const std::string path = users_path(s);
  std::string text, cause;
  switch (read_text_file(path, &text, &cause)) {
    case FileRead::kRead: break;
    case FileRead::kMissing: out->clear(); return true;
    case FileRead::kFailed:
      *why = "cannot read the users' file " + path + ": " + cause;
      return false;
  }
  if (!parse_htpasswd(text, out, why)) {
    *why = "users' file " + path + ": " + *why;
    return false;
  }
  return true;
}

bool load_token_key(const AuthSettings& s, bool create, std::string* key, bool* missing, std::string* why) {
  *missing = false;
  const std::string path = s.key_file.empty() ? default_path(REG_AUTH_TOKEN_KEY) : s.key_file;
  std::string text, cause;
  const FileRead read = read_text_file(path, &text, &cause);
  if (read == FileRead::kRead) {
    *key = trimmed(text);
    if (key->size() < kKeyMin) {
      *why = "the token key " + path + " holds fewer than 32 bytes";
      return false;
    }
    return true;
  }
  if (read == FileRead::kFailed) {
    *why = "cannot read the token key " + path + ": " + cause;
    return false;
  }
  *missing = true;
  if (!s.key_file.empty()) {
    *why = "no token key at " + path + " (REGISTRY_AUTH_KEY_FILE)";
    *missing = false;  // configured: an error, not something to make
    return false;
  }
  if (!create) {
    *why = "no token key yet";
    return false;
  }
  *missing = false;
  return create_key(path, key, why);
}

std::string token_realm(const AuthSettings& s) {
  if (!s.realm.empty()) return s.realm;
  const std::string https = request_header("HTTPS");
  std::string scheme = request_header("REQUEST_SCHEME");
  if (https == "on" || https == "ON" || https == "1") scheme = "https";
  if (scheme != "https") scheme = "http";
  // The Host the client sent; where the server passes it without its port
  // (Debian's nginx gives $host), the port the request came in on.
  std::string host = request_header("HTTP_HOST");
  if (host.empty()) host = request_header("SERVER_NAME");
  const size_t bracket = host.rfind(']');
  const bool has_port = host.find(':', bracket == std::string::npos ? 0 : bracket) != std::string::npos;
  const std::string port = request_header("SERVER_PORT");
  if (!has_port && !port.empty() && !(scheme == "http" && port == "80") && !(scheme == "https" && port == "443")) {
    host += ":" + port;
  }
  return scheme + "://" + host + kTokenPath;
}

}  // namespace endpoint
