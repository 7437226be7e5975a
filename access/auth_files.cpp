// Access control's files: the policy, the users and the token key, where
// the settings put them (below the storage root by default).
#include "access/auth_files.h"

#include <cstdio>
#include <cstring>

#include "platform/host.h"
#include "settings/text_file.h"
#include "storage/reg_storage.h"

namespace auth {

using settings::FileRead;
using settings::read_text_file;

namespace {

constexpr size_t kKeyMin = 32;        // bytes of a configured key

std::string default_path(reg_auth_file which) {
  char path[host::kPathMax];
  return reg_auth_path(which, path, sizeof path, nullptr) == 0 ? std::string(path) : std::string();
}

std::string trimmed(const std::string& s) {
  size_t end = s.size();
  while (end > 0 && (s[end - 1] == '\n' || s[end - 1] == '\r' || s[end - 1] == ' ' || s[end - 1] == '\t')) --end;
  return s.substr(0, end);
}

// A new key in a private file, published under the default path unless
// another process published one first.
bool create_key(const std::string& path, std::string* key, std::string* why) {
  char dir[host::kPathMax];
  if (reg_auth_path(REG_AUTH_DIR, dir, sizeof dir, nullptr) != 0) {
    *why = "no directory for " + path;
    return false;
  }
  if (host::make_dir(dir) == host::MkdirResult::kFailed) {
    *why = host::with_last_error("cannot create the directory of " + path);
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
    *why = host::with_last_error("cannot create " + temp);
    return false;
  }
  const std::string line = text + "\n";
  const bool written = host::write_bytes(f, line.data(), line.size());
  if (std::fclose(f) != 0 || !written) {
    *why = host::with_last_error("cannot write " + temp);
    host::remove_file(temp.c_str());
    return false;
  }
  if (host::rename_no_replace(temp.c_str(), path.c_str(), &taken)) {
    *key = text;
    return true;
  }
  if (!taken) {
    *why = host::with_last_error("cannot publish " + path);
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

bool load_policy(const settings::AuthSettings& s, Policy* out, std::string* why) {
  const std::string path = policy_path(s);
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

std::string policy_path(const settings::AuthSettings& s) {
  return s.policy.empty() ? default_path(REG_AUTH_POLICY) : s.policy;
}

std::string users_path(const settings::AuthSettings& s) {
  return s.htpasswd.empty() ? default_path(REG_AUTH_HTPASSWD) : s.htpasswd;
}

bool load_users(const settings::AuthSettings& s, std::vector<HtpasswdEntry>* out, std::string* why) {
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

bool load_token_key(const settings::AuthSettings& s, bool create, std::string* key, bool* missing, std::string* why) {
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

}  // namespace auth
