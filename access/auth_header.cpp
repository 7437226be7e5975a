// Authorization and WWW-Authenticate.
#include "access/auth_header.h"

#include "access/base64.h"

namespace auth {
namespace {

bool is_space(char c) { return c == ' ' || c == '\t'; }

bool scheme_is(const std::string& s, const char* name) {
  size_t i = 0;
  for (; name[i] != '\0'; ++i) {
    if (i >= s.size()) return false;
    char c = s[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != name[i]) return false;
  }
  return i == s.size();
}

// token68 (RFC 7235): the characters a token or a base64 text may hold,
// '=' only at its end.
bool is_token68(const std::string& s) {
  if (s.empty()) return false;
  size_t i = 0;
  for (; i < s.size(); ++i) {
    const char c = s[i];
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                    c == '.' || c == '_' || c == '~' || c == '+' || c == '/';
    if (!ok) break;
  }
  while (i < s.size() && s[i] == '=') ++i;
  return i == s.size() && s[0] != '=';
}

// A quoted-string of text: '"' and '\' escaped by a backslash; control
// characters, which no header may carry, left out.
std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) continue;
    if (c == '"' || c == '\\') out += '\\';
    out += static_cast<char>(c);
  }
  return out + "\"";
}

}  // namespace

Authorization parse_authorization(const std::string& value) {
  Authorization a;
  size_t start = 0;
  while (start < value.size() && is_space(value[start])) ++start;
  size_t end = value.size();
  while (end > start && is_space(value[end - 1])) --end;
  if (start == end) return a;
  size_t gap = start;
  while (gap < end && !is_space(value[gap])) ++gap;
  const std::string scheme = value.substr(start, gap - start);
  size_t cred = gap;
  while (cred < end && is_space(value[cred])) ++cred;
  const std::string credentials = value.substr(cred, end - cred);
  if (scheme_is(scheme, "basic")) {
    a.scheme = AuthScheme::kMalformed;
    std::string decoded;
    if (!is_token68(credentials) || !base64_decode(credentials, &decoded)) return a;
    const size_t colon = decoded.find(':');
    if (colon == std::string::npos || colon == 0) return a;
    if (decoded.find('\0') != std::string::npos) return a;
    a.scheme = AuthScheme::kBasic;
    a.user = decoded.substr(0, colon);
    a.password = decoded.substr(colon + 1);
    return a;
  }
  if (scheme_is(scheme, "bearer")) {
    a.scheme = is_token68(credentials) ? AuthScheme::kBearer : AuthScheme::kMalformed;
    if (a.scheme == AuthScheme::kBearer) a.token = credentials;
    return a;
  }
  a.scheme = AuthScheme::kOther;
  return a;
}

std::string bearer_challenge(const std::string& realm, const std::string& service, const std::string& scope,
                             const std::string& error) {
  std::string v = "Bearer realm=" + quoted(realm) + ",service=" + quoted(service);
  if (!scope.empty()) v += ",scope=" + quoted(scope);
  if (!error.empty()) v += ",error=" + quoted(error);
  return v;
}

std::string basic_challenge(const std::string& realm) { return "Basic realm=" + quoted(realm); }

}  // namespace auth
