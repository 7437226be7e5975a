// The users' file: one "user:hash" a line, as htpasswd -B writes it, with
// bcrypt hashes ("$2y$", "$2b$" or "$2a$"). Lines that are empty or begin
// with '#' are skipped.
#ifndef REGISTRY_ENDPOINT_HTPASSWD_H
#define REGISTRY_ENDPOINT_HTPASSWD_H

#include <string>
#include <vector>

namespace endpoint {

struct HtpasswdEntry {
  std::string user;
  std::string hash;
};

// The entries of a file's text; false, with "line N: what is wrong" in
// why, for a line that is not an entry.
bool parse_htpasswd(const std::string& text, std::vector<HtpasswdEntry>* out, std::string* why);
// The text of entries, one line each.
std::string htpasswd_text(const std::vector<HtpasswdEntry>& entries);

// Whether a hash is a bcrypt hash (the only kind the registry takes).
bool is_bcrypt_hash(const std::string& hash);

// A user name the registry's files and tokens can carry: 1 to 255 bytes,
// no ':', no control characters, no white space, and neither "anonymous"
// nor "*", which the policy file reserves.
bool user_name_valid(const std::string& user);

enum class PasswordResult { kMatch, kWrong };
// Checks user's password against the entries. An unknown user costs the
// same bcrypt work as a known one, so timing does not tell which names
// exist.
PasswordResult check_user_password(const std::vector<HtpasswdEntry>& entries, const std::string& user,
                                   const std::string& password);

}  // namespace endpoint

#endif
