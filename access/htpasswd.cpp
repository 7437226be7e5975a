// The users' htpasswd file.
#include "access/htpasswd.h"

#include <cstdint>

#include "hash/hmac_sha256.h"
#include "platform/host.h"

namespace auth {
namespace {

// The salt of every decoy: 22 characters of bcrypt's base64 that encode a
// 16-byte salt exactly (the last character carries two bits, so only four
// can end one). Any salt costs the same work; a fixed one makes the check
// of one name the same every time.
constexpr char kDecoySalt[] = "gWaDYAaceyrzRztyRhyeT.";
static_assert(sizeof kDecoySalt - 1 == 22);
constexpr char kEmptyFileDecoy[] = "$2y$10$";

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

const char* password_refusal(const std::string& password) {
  if (password.find('\0') != std::string::npos) return "a password with a NUL byte";
  if (password.size() > host::kPasswordMax) return "a password longer than 72 bytes (bcrypt reads no more)";
  return nullptr;
}

std::string decoy_setting(const std::vector<HtpasswdEntry>& entries, const std::string& user,
                          const std::string& secret) {
  std::string setting = kEmptyFileDecoy;
  if (!entries.empty()) {
    const std::string input = std::string("decoy", 6) + user;  // "decoy" and its NUL: this use of the key alone
    uint8_t mac[32];
    hmac_sha256(secret.data(), secret.size(), input.data(), input.size(), mac);
    uint64_t pick = 0;
    for (int i = 0; i < 8; ++i) pick = pick << 8 | mac[i];
    // "$2y$NN$": the variant and the cost of the entry picked.
    setting = entries[pick % entries.size()].hash.substr(0, 7);
  }
  return setting + kDecoySalt;
}

PasswordResult check_user_password(const std::vector<HtpasswdEntry>& entries, const std::string& user,
                                   const std::string& password, const std::string& secret) {
  const HtpasswdEntry* found = nullptr;
  for (const HtpasswdEntry& e : entries) {
    if (e.user == user && found == nullptr) found = &e;  // the first line of a name counts, as in Apache
  }
  // The host refuses what password_refusal refuses, before any work.
  if (found == nullptr) {
    host::check_password(password, decoy_setting(entries, user, secret).c_str());
    return PasswordResult::kWrong;
  }
  return host::check_password(password, found->hash.c_str()) ? PasswordResult::kMatch : PasswordResult::kWrong;
}

}  // namespace auth
