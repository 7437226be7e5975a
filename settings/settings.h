// The registry's settings, read once: each from a variable of the
// environment the program is given, else from the member of config.json in
// its working directory (lighttpd, for one, gives its CGI programs none of
// its own environment), else its default.
//
//   REGISTRY_STORAGE_ROOT     "storage_root" (or "registry_storage_root"):
//                             the tree ("./registry_storage")
//   REGISTRY_SENDFILE         "sendfile": how a blob's bytes leave on GET
//                             off (the program sends them, through the
//                             kernel's zero-copy path where it has one);
//                             x-sendfile (the header X-Sendfile with the
//                             blob file's absolute path: lighttpd's
//                             cgi.x-sendfile, Apache's mod_xsendfile);
//                             x-accel-redirect:<prefix> (the header
//                             X-Accel-Redirect with <prefix> and the blob's
//                             place below <root>/blobs, for an internal
//                             nginx location that aliases <root>/blobs/)
//   REGISTRY_AUTH             "auth": off (the default), token, or
//                             remote-user
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
//   REGISTRY_EVENTS           "events": off (the default); on (every push
//                             of a manifest or tag and every delete leaves
//                             an event in the outbox before it is
//                             answered); on+pulls (manifest pulls too)
//   REGISTRY_METRICS          "metrics": on (the default: every request
//                             is counted for GET /metrics) or off
//
//   REGISTRY_MIRROR_UPSTREAM  the registry this one mirrors, a URL
//                             (http://host:port or https://host); none: no
//                             mirror
//   REGISTRY_MIRROR_PREFIX    the repositories it serves: those below this
//                             prefix ("hub/": hub/library/debian is
//                             upstream's library/debian); none: every
//                             repository, the whole registry a mirror
//   REGISTRY_MIRROR_USERNAME, REGISTRY_MIRROR_PASSWORD
//                             credentials upstream (Basic, or for its token
//                             endpoint); none: anonymous
//   REGISTRY_MIRROR_TAG_TTL   seconds a tag is served before it is compared
//                             with upstream again (300; 0 to 31536000)
//   REGISTRY_MIRROR_CA_FILE   CA certificates for upstream's TLS (default:
//                             the system's)
//   REGISTRY_MIRROR_PUSH      deny (the default: pushes and deletes below
//                             the prefix are refused) or allow
//
// More upstreams, each under a prefix of its own, are config.json's
// "mirrors": an array of objects whose members are those above without
// "registry_mirror_" ({"upstream": ..., "prefix": ..., "tag_ttl": ...}).
// A repository is served by the upstream with the longest prefix it is
// under; no two upstreams share a prefix.
//
// The members of config.json for the REGISTRY_AUTH_* and REGISTRY_MIRROR_*
// variables are named as the variable in lower case without "registry_".
#ifndef REGISTRY_SETTINGS_SETTINGS_H
#define REGISTRY_SETTINGS_SETTINGS_H

#include <cstdint>
#include <string>
#include <vector>

#include "cgi/request_env.h"

namespace settings {

using cgi::Environment;

// The longest storage root a setting may name.
inline constexpr size_t kRootMax = 1023;
inline constexpr const char kDefaultRoot[] = "./registry_storage";

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

struct MirrorSettings {
  std::string upstream;  // empty: no mirror
  std::string prefix;    // empty or ending in '/'
  std::string username;
  std::string password;
  int64_t tag_ttl = 300;
  std::string ca_file;
  bool push_allowed = false;

  bool on() const { return !upstream.empty(); }
  // Whether repository `name` is served from upstream, and as what name
  // there.
  bool serves(const std::string& name, std::string* upstream_name) const;
};

// The upstream that serves a repository, and the repository's name there.
struct MirrorTarget {
  const MirrorSettings* mirror = nullptr;
  std::string name;
};

enum class SendMode { kSelf, kXSendfile, kXAccelRedirect };

struct SendSettings {
  SendMode mode = SendMode::kSelf;
  std::string prefix;  // x-accel-redirect: a URI path ending in '/'
};

struct EventSettings {
  bool on = false;
  bool pulls = false;
};

// Every setting, each with why it cannot be used (empty when it can). A
// part that cannot be used is an error where it is needed and nowhere
// else: a blob GET never reads an unusable root's tree, a registry without
// a usable access-control setting never serves without access control.
struct Settings {
  std::string root = kDefaultRoot;
  bool root_configured = false;  // named by a variable or config.json
  std::string root_error;        // a whole sentence
  AuthSettings auth;
  std::string auth_error;
  SendSettings send;
  std::string send_error;
  std::vector<MirrorSettings> mirrors;  // none: no mirror
  std::string mirror_error;
  EventSettings events;
  std::string events_error;
  bool metrics = true;  // requests are counted
  std::string metrics_error;

  // The upstream that serves repository `name`: of those whose prefix it
  // is under, the one with the longest prefix. false: none, the
  // repository is this registry's own.
  bool mirror_for(const std::string& name, MirrorTarget* out) const;
};

// The settings from env and the configuration file at config_path, which
// is read once.
Settings read_settings(const Environment& env, const char* config_path = "config.json");

// The blob-sending setting's value parsed; false, with why, for one that
// is not of the forms above.
bool parse_send_setting(const std::string& value, SendSettings* out, std::string* why);

}  // namespace settings

#endif
