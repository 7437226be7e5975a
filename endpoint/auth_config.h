// Access control's settings, from the environment that the web server
// gives the program, else from config.json in its working directory (the
// member named as the variable in lower case without "registry_", "auth"
// for REGISTRY_AUTH), as the storage root is found; and the files they
// name.
//
//   REGISTRY_AUTH             off (the default), token, or remote-user
//   REGISTRY_AUTH_SERVICE     the service tokens are for ("registry")
//   REGISTRY_AUTH_REALM       the token endpoint's URL in challenges
//                             (default: this server's /auth/token)
//   REGISTRY_AUTH_HTPASSWD    the users' file (<root>/auth/htpasswd)
//   REGISTRY_AUTH_POLICY      the policy file (<root>/auth/policy; when
//                             that is missing, the default policy)
//   REGISTRY_AUTH_KEY_FILE    the key that signs tokens, shared by every
//                             server of one registry (<root>/auth/token.key,
//                             made on first use, readable by its owner only)
//   REGISTRY_AUTH_TOKEN_TTL   seconds a token lasts (300; 60 to 86400)
#ifndef REGISTRY_ENDPOINT_AUTH_CONFIG_H
#define REGISTRY_ENDPOINT_AUTH_CONFIG_H

#include <cstdint>
#include <string>
#include <vector>

#include "endpoint/auth_policy.h"
#include "endpoint/htpasswd.h"

namespace endpoint {

enum class AuthMode { kOff, kToken, kRemoteUser };

struct AuthSettings {
  AuthMode mode = AuthMode::kOff;
  std::string service = "registry";
  std::string realm;
  std::string htpasswd;
  std::string policy;
  std::string key_file;
  int64_t ttl = 300;
};

// The settings; false, with why, for a value that cannot be used. A
// setting that cannot be read never leaves access control off.
bool read_auth_settings(AuthSettings* out, std::string* why);

// The files. Paths left to their defaults lie below the storage root,
// which must be ready (storage_or_fail).
// The policy: the file's rules, or the default policy where no file is
// configured and none lies at the default path.
bool load_policy(const AuthSettings& s, Policy* out, std::string* why);
// The users: none when there is no file.
bool load_users(const AuthSettings& s, std::vector<HtpasswdEntry>* out, std::string* why);
std::string users_path(const AuthSettings& s);
// The signing key. With create, a key is made when there is none at the
// default path: 32 random bytes, hex, in a file that only its owner can
// read, published so that of two processes making one at once, both use
// the first. Without, a missing key is an error (*missing set).
bool load_token_key(const AuthSettings& s, bool create, std::string* key, bool* missing, std::string* why);

// The token endpoint's URL as clients reach this server: the configured
// realm, else the request's scheme and Host with /auth/token.
std::string token_realm(const AuthSettings& s);

// A whole small file: kMissing when nothing is at path; kFailed, with the
// system's word for it in why, when something is there that cannot be read.
enum class FileRead { kRead, kMissing, kFailed };
FileRead read_text_file(const std::string& path, std::string* text, std::string* why);

}  // namespace endpoint

#endif
