// Access control's files, where the settings put them. Paths left to
// their defaults lie below the storage root, so the storage engine must
// be ready first.
#ifndef REGISTRY_ACCESS_AUTH_FILES_H
#define REGISTRY_ACCESS_AUTH_FILES_H

#include <string>
#include <vector>

#include "access/auth_policy.h"
#include "access/htpasswd.h"
#include "settings/settings.h"

namespace auth {

// The policy: the file's rules, or the default policy where no file is
// configured and none lies at the default path.
bool load_policy(const settings::AuthSettings& s, Policy* out, std::string* why);
// Where the policy is read from ("" when the default path cannot be made).
std::string policy_path(const settings::AuthSettings& s);
// The users: none when there is no file.
bool load_users(const settings::AuthSettings& s, std::vector<HtpasswdEntry>* out, std::string* why);
std::string users_path(const settings::AuthSettings& s);
// The signing key. With create, a key is made when there is none at the
// default path: 32 random bytes written as 64 hex digits, in a file that
// only its owner can read, published so that of two processes making one
// at once, both use the first. Without, a missing key is an error
// (*missing set).
bool load_token_key(const settings::AuthSettings& s, bool create, std::string* key, bool* missing, std::string* why);

}  // namespace auth

#endif
