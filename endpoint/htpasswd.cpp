// The users' htpasswd file.
#include "endpoint/htpasswd.h"

#include "platform/host.h"

namespace endpoint {
namespace {

// A bcrypt hash, cost 10, of a random password that was never kept: what an unknown
// user's password is checked against.
constexpr char kDecoyHash[] = "$2y$10$gWaDYAaceyrzRztyRhyeT.asY45Nlyu6nB/Pkw3sIC6H0prustArS";

}  // namespace

bool is_bcrypt_hash(const std::string& hash) {
  // $2y$NN$ and 53 characters of bcrypt's base64.
  if (hash.size() != 60 || hash[0] != '$' || hash[1] != '2' || hash[3] != '$' || hash[6] != '$') return false;
  if (hash[2] != 'y' && hash[2] != 'b' && hash[2] != 'a') return false;
  if (hash[4] < '0' || hash[4] > '3' || hash[5] < '0' || hash[5] > '9') return false;
  for (size_t i = 7; i < hash.size(); ++i) {
    const char c = hash[i];
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '/';
    if (!ok) return false;
  }
  return true;
}

bool user_name_valid(const std::string& user) {
  if (user.empty() || user.size() > 255 || user == "anonymous" || user == "*") return false;
  for (const unsigned char c : user) {
    if (c <= 0x20 || c == 0x7f || c == ':') return false;
  }
  return true;
}

bool parse_htpasswd(const std::string& text, std::vector<HtpasswdEntry>* out, std::string* why) {
  std::vector<HtpasswdEntry> entries;
  size_t start = 0;
  int number = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const size_t colon = line.find(':');
    const std::string where = "line " + std::to_string(number) + ": ";
    if (colon == std::string::npos) {
      *why = where + "not \"user:hash\"";
      return false;
    }
    HtpasswdEntry e{line.substr(0, colon), line.substr(colon + 1)};
    if (!user_name_valid(e.user)) {
      *why = where + "not a user name the registry takes";
      return false;
    }
    if (!is_bcrypt_hash(e.hash)) {
      *why = where + "user " + e.user + " has no bcrypt hash (htpasswd -B makes one)";
      return false;
    }
    entries.push_back(std::move(e));
  }
  *out = std::move(entries);
  return true;
}

std::string htpasswd_text(const std::vector<HtpasswdEntry>& entries) {
  std::string text;
  for (const HtpasswdEntry& e : entries) text += e.user + ":" + e.hash + "\n";
  return text;
}

PasswordResult check_user_password(const std::vector<HtpasswdEntry>& entries, const std::string& user,
                                   const std::string& password) {
  const HtpasswdEntry* found = nullptr;
  for (const HtpasswdEntry& e : entries) {
    if (e.user == user && found == nullptr) found = &e;  // the first line of a name counts, as in Apache
  }
  // A password with a NUL byte cannot be what crypt saw when it was set.
  const bool usable = password.find('\0') == std::string::npos;
  const bool match = host::check_password(password.c_str(), found != nullptr ? found->hash.c_str() : kDecoyHash);
  return found != nullptr && usable && match ? PasswordResult::kMatch : PasswordResult::kWrong;
}

}  // namespace endpoint
