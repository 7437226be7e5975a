// The parsers of access control over arbitrary bytes: the Authorization
// header, base64 (only canonical text decodes, and encodes back to
// itself), signed tokens (nothing unsigned is ever valid), token claims
// (whatever parses survives a round trip through a signed token), the
// policy file with its patterns, and client addresses as the throttle of
// password attempts reads them.
#include "fuzz/fuzz_target.h"

#include <cstdlib>
#include <string>

#include "access/auth_header.h"
#include "access/auth_policy.h"
#include "access/auth_token.h"
#include "access/base64.h"
#include "access/login_throttle.h"
#include "storage/reg_storage.h"

using namespace auth;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string in(reinterpret_cast<const char*>(data), size);
  const std::string key(32, 'k');

  const Authorization a = parse_authorization(in);
  switch (a.scheme) {
    case AuthScheme::kBasic:
      if (a.user.empty() || a.user.find(':') != std::string::npos) std::abort();
      break;
    case AuthScheme::kBearer:
      if (a.token.empty() || a.token.find(' ') != std::string::npos) std::abort();
      break;
    default:
      if (!a.user.empty() || !a.password.empty() || !a.token.empty()) std::abort();
  }

  std::string bytes;
  if (base64url_decode(in, &bytes) && base64url_encode(bytes) != in) std::abort();

  // Nothing the fuzzer writes is signed with the key, unless it is a token
  // the key signed.
  Claims claims;
  if (check_token(in, key, "registry", 0, &claims) == TokenCheck::kValid &&
      make_token(claims, key) != in) {
    std::abort();
  }

  // Claims that parse come back the same through a token.
  if (parse_claims(in, &claims)) {
    claims.service = "registry";
    claims.expires = 1;
    const std::string json = claims_json(claims);
    Claims back;
    if (check_token(make_token(claims, key), key, "registry", 0, &back) != TokenCheck::kValid) std::abort();
    if (claims_json(back) != json) std::abort();
  }

  Policy policy;
  std::string why;
  if (parse_policy(in, &policy, &why)) {
    for (const PolicyRule& r : policy.rules) {
      if (r.actions == 0 || (r.actions & ~kActionsAll) != 0) std::abort();
      // A pattern matches itself when it holds no star.
      if (r.pattern.find('*') == std::string::npos && !pattern_matches(r.pattern, r.pattern)) std::abort();
    }
    for (const ImmutableRule& r : policy.immutable) {
      if (r.tags.empty()) std::abort();
      // A rule fixes each tag pattern it holds that has no star.
      for (const std::string& t : r.tags) {
        if (t.find('*') == std::string::npos && r.pattern.find('*') == std::string::npos &&
            reg_repository_name_valid(r.pattern.data(), r.pattern.size()) != 0 &&
            immutable_rule_for(policy, r.pattern, t) == nullptr) {
          std::abort();
        }
      }
    }
    for (const RetainRule& r : policy.retain) {
      // Every rule keeps something: a tag pattern, a count from 1, a time
      // that is not negative.
      if (r.tags.empty() || (r.keep == Keep::kLast && r.count < 1) || r.seconds < 0) std::abort();
    }
    allowed_actions(policy, "alice", "team/app");
    immutable_rule_for(policy, "team/app", "v1");
  } else if (why.rfind("line ", 0) != 0) {
    std::abort();
  }
  // The first line as a pattern, the rest as a name.
  const size_t nl = in.find('\n');
  if (nl != std::string::npos) pattern_matches(in.substr(0, nl), in.substr(nl + 1));

  // A client address as the throttle counts it: an address it reads is
  // written in one form, which reads back as itself; anything else is
  // kept whole, marked as no address.
  const std::string cls = address_class(in);
  if (cls.rfind("v4:", 0) == 0) {
    if (address_class(cls.substr(3)) != cls) std::abort();
  } else if (cls.rfind("v6:", 0) == 0) {
    if (cls.size() != 19 || cls.find_first_not_of("0123456789abcdef", 3) != std::string::npos) std::abort();
  } else if (cls != "other:" + in) {
    std::abort();
  }
  return 0;
}
