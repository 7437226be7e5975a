// The users' file: one "user:hash" a line, as htpasswd -B writes it, with
// bcrypt hashes ("$2y$", "$2b$" or "$2a$"). Lines that are empty or begin
// with '#' are skipped.
#ifndef REGISTRY_ACCESS_HTPASSWD_H
#define REGISTRY_ACCESS_HTPASSWD_H

#include <string>
#include <vector>

namespace auth {

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

// Why a password cannot be set or checked, or null when it can: bcrypt
// reads at most 72 bytes (any password that shares them would match) and
// stops at a NUL byte. The whole byte string is looked at.
const char* password_refusal(const std::string& password);

// What an unknown user's password is checked against, so that a name that
// is not in the file costs what a name in it costs: a bcrypt setting,
// "$2y$<cost>$<fixed salt>", at the cost of the entry that a hash of the
// name keyed with secret picks. Unknown names thus cost what the file's
// entries cost, in the same proportions, and one name always the same;
// without the secret nobody can tell which cost a name was given. An
// empty file gives cost 10, what user add makes.
std::string decoy_setting(const std::vector<HtpasswdEntry>& entries, const std::string& user,
                          const std::string& secret);

enum class PasswordResult { kMatch, kWrong };
// Checks user's password against the entries, an unknown user's against
// decoy_setting. A password that password_refusal refuses never matches.
PasswordResult check_user_password(const std::vector<HtpasswdEntry>& entries, const std::string& user,
                                   const std::string& password, const std::string& secret);

}  // namespace auth

#endif
