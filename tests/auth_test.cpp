// The parts of access control on their own: HMAC-SHA-256 against the
// published test vectors, base64, the Authorization header, signed tokens
// (made, checked, altered, expired), the policy file and its patterns,
// the htpasswd file, and passwords through the system's crypt library.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "endpoint/auth_header.h"
#include "endpoint/auth_policy.h"
#include "endpoint/auth_token.h"
#include "endpoint/base64.h"
#include "endpoint/htpasswd.h"
#include "hash/hmac_sha256.h"
#include "platform/host.h"

using namespace endpoint;

namespace {

std::string hex(const uint8_t* p, size_t n) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) s += d[p[i] >> 4], s += d[p[i] & 15];
  return s;
}

std::string unhex(const std::string& h) {
  std::string s;
  for (size_t i = 0; i + 1 < h.size(); i += 2) s += static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16));
  return s;
}

// RFC 4231, test cases 1 to 4, 6 and 7 (5 truncates its output).
TEST(HmacSha256, Rfc4231Vectors) {
  struct Case {
    std::string key, data, mac;
  };
  const Case cases[] = {
      {std::string(20, '\x0b'), "Hi There", "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {"Jefe", "what do ya want for nothing?", "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {std::string(20, '\xaa'), std::string(50, '\xdd'),
       "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
      {unhex("0102030405060708090a0b0c0d0e0f10111213141516171819"), std::string(50, '\xcd'),
       "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
      {std::string(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {std::string(131, '\xaa'),
       "This is a test using a larger than block-size key and a larger than block-size data. The key needs to be "
       "hashed before being used by the HMAC algorithm.",
       "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
  };
  for (const Case& c : cases) {
    uint8_t mac[32];
    hmac_sha256(c.key.data(), c.key.size(), c.data.data(), c.data.size(), mac);
    EXPECT_EQ(hex(mac, 32), c.mac) << c.data;
  }
}

TEST(HmacSha256, ConstantTimeComparison) {
  const std::string a = "0123456789abcdef", b = "0123456789abcdeF";
  EXPECT_EQ(bytes_equal_ct(a.data(), a.data(), a.size()), 1);
  EXPECT_EQ(bytes_equal_ct(a.data(), b.data(), b.size()), 0);
  EXPECT_EQ(bytes_equal_ct(a.data(), b.data(), b.size() - 1), 1);
  EXPECT_EQ(bytes_equal_ct(a.data(), b.data(), 0), 1);
}

TEST(Base64, BothAlphabetsCanonicalOnly) {
  for (const std::string& s : {std::string(), std::string("f"), std::string("fo"), std::string("foo"),
                               std::string("foob"), std::string("\xff\xfe\x00\x01", 4)}) {
    std::string back;
    ASSERT_TRUE(base64url_decode(base64url_encode(s), &back));
    EXPECT_EQ(back, s);
  }
  EXPECT_EQ(base64url_encode("\xfb\xff"), "-_8");
  std::string out;
  EXPECT_TRUE(base64_decode("YWxpY2U6c2VjcmV0", &out));
  EXPECT_EQ(out, "alice:secret");
  EXPECT_TRUE(base64_decode("Zm8=", &out));
  EXPECT_EQ(out, "fo");
  EXPECT_TRUE(base64_decode("Zg==", &out));
  EXPECT_EQ(out, "f");
  for (const char* bad : {"Zg=", "Zg", "Zm8", "Z===", "Zh==", "Zm9=", "Zm8==", "=Zm8", "Zm-v", "Zm_v"}) {
    EXPECT_FALSE(base64_decode(bad, &out)) << bad;
  }
  for (const char* bad : {"Z", "Zh", "Zm9", "Zg==", "Zm+v", "Zm/v", "a b"}) {
    EXPECT_FALSE(base64url_decode(bad, &out)) << bad;
  }
}

TEST(AuthorizationHeader, SchemesAndCredentials) {
  struct Case {
    const char* value;
    AuthScheme scheme;
    const char* user;
    const char* password;
    const char* token;
  };
  const Case cases[] = {
      {"", AuthScheme::kNone, "", "", ""},
      {"   ", AuthScheme::kNone, "", "", ""},
      {"Basic YWxpY2U6c2VjcmV0", AuthScheme::kBasic, "alice", "secret", ""},
      {"basic   YWxpY2U6c2VjcmV0  ", AuthScheme::kBasic, "alice", "secret", ""},
      {"BASIC YWxpY2U6YTpiOmM=", AuthScheme::kBasic, "alice", "a:b:c", ""},  // a password may hold ':'
      {"Basic YWxpY2U6", AuthScheme::kBasic, "alice", "", ""},
      {"Basic OnNlY3JldA==", AuthScheme::kMalformed, "", "", ""},          // ":secret": no user
      {"Basic YWxpY2U=", AuthScheme::kMalformed, "", "", ""},              // "alice": no ':'
      {"Basic YWxp!2U6c2VjcmV0", AuthScheme::kMalformed, "", "", ""},
      {"Basic", AuthScheme::kMalformed, "", "", ""},
      {"Basic YWxpY2UAOng=", AuthScheme::kMalformed, "", "", ""},          // a NUL byte
      {"Bearer abc.DEF-_~+/.xyz==", AuthScheme::kBearer, "", "", "abc.DEF-_~+/.xyz=="},
      {"bearer t", AuthScheme::kBearer, "", "", "t"},
      {"Bearer", AuthScheme::kMalformed, "", "", ""},
      {"Bearer a b", AuthScheme::kMalformed, "", "", ""},
      {"Bearer =abc", AuthScheme::kMalformed, "", "", ""},
      {"Bearer a=b", AuthScheme::kMalformed, "", "", ""},
      {"Digest username=\"a\"", AuthScheme::kOther, "", "", ""},
      {"Bearerx t", AuthScheme::kOther, "", "", ""},
  };
  for (const Case& c : cases) {
    const Authorization a = parse_authorization(c.value);
    EXPECT_EQ(a.scheme, c.scheme) << c.value;
    EXPECT_EQ(a.user, c.user) << c.value;
    EXPECT_EQ(a.password, c.password) << c.value;
    EXPECT_EQ(a.token, c.token) << c.value;
  }
}

TEST(Challenges, BearerAndBasicBytes) {
  EXPECT_EQ(bearer_challenge("https://r.example/auth/token", "registry", "", ""),
            "Bearer realm=\"https://r.example/auth/token\",service=\"registry\"");
  EXPECT_EQ(bearer_challenge("http://h/auth/token", "reg", "repository:a/b:pull,push", "insufficient_scope"),
            "Bearer realm=\"http://h/auth/token\",service=\"reg\",scope=\"repository:a/b:pull,push\","
            "error=\"insufficient_scope\"");
  // Quotes and backslashes escaped, line breaks never let through.
  EXPECT_EQ(bearer_challenge("a\"b\\c\r\nd", "s", "", "invalid_token"),
            "Bearer realm=\"a\\\"b\\\\cd\",service=\"s\",error=\"invalid_token\"");
  EXPECT_EQ(basic_challenge("registry"), "Basic realm=\"registry\"");
}

Claims sample_claims() {
  Claims c;
  c.subject = "alice";
  c.service = "registry";
  c.issued = 1700000000;
  c.expires = 1700000300;
  c.access = {{"repository", "team/app", kActionPull | kActionPush}, {"repository", "other", 0},
              {"registry", "catalog", kActionsAll}};
  return c;
}

TEST(Tokens, ClaimsJsonBytesAndRoundTrip) {
  const Claims c = sample_claims();
  EXPECT_EQ(claims_json(c),
            "{\"iss\":\"registry\",\"sub\":\"alice\",\"aud\":\"registry\",\"iat\":1700000000,\"exp\":1700000300,"
            "\"access\":[{\"type\":\"repository\",\"name\":\"team/app\",\"actions\":[\"pull\",\"push\"]},"
            "{\"type\":\"repository\",\"name\":\"other\",\"actions\":[]},"
            "{\"type\":\"registry\",\"name\":\"catalog\",\"actions\":[\"*\"]}]}");
  const std::string key(32, 'k');
  const std::string token = make_token(c, key);
  Claims back;
  ASSERT_EQ(check_token(token, key, "registry", 1700000299, &back), TokenCheck::kValid);
  EXPECT_EQ(back.subject, "alice");
  EXPECT_EQ(back.expires, 1700000300);
  ASSERT_EQ(back.access.size(), 3u);
  EXPECT_EQ(find_grant(back, "repository", "team/app")->actions, kActionPull | kActionPush);
  EXPECT_EQ(find_grant(back, "repository", "other")->actions, 0u);
  EXPECT_EQ(find_grant(back, "registry", "catalog")->actions, kActionsAll);
  EXPECT_EQ(find_grant(back, "repository", "team"), nullptr);
  // An anonymous user's name is empty; odd names survive the JSON.
  Claims odd = c;
  odd.subject = "dom\\u\"ser\x01";
  ASSERT_EQ(check_token(make_token(odd, key), key, "registry", 1700000000, &back), TokenCheck::kValid);
  EXPECT_EQ(back.subject, odd.subject);
}

TEST(Tokens, EveryAlteredExpiredOrForeignTokenIsRefused) {
  const Claims c = sample_claims();
  const std::string key(32, 'k');
  const std::string token = make_token(c, key);
  Claims out;
  const int64_t now = 1700000100;
  EXPECT_EQ(check_token(token, std::string(32, 'K'), "registry", now, &out), TokenCheck::kBadSignature);
  EXPECT_EQ(check_token(token, key, "registry", 1700000300, &out), TokenCheck::kExpired);
  EXPECT_EQ(check_token(token, key, "other", now, &out), TokenCheck::kOtherService);
  // One flipped bit anywhere: never valid.
  for (size_t i = 0; i < token.size(); ++i) {
    for (const char flip : {'\x01', '\x20'}) {
      std::string t = token;
      t[i] = static_cast<char>(t[i] ^ flip);
      EXPECT_NE(check_token(t, key, "registry", now, &out), TokenCheck::kValid) << "byte " << i;
    }
  }
  // Claims the key never signed, and the forms a forger tries.
  const size_t dot = token.find('.');
  const size_t dot2 = token.find('.', dot + 1);
  Claims more = c;
  more.access[1].actions = kActionsAll;
  const std::string forged = token.substr(0, dot) + "." + base64url_encode(claims_json(more)) + token.substr(dot2);
  EXPECT_EQ(check_token(forged, key, "registry", now, &out), TokenCheck::kBadSignature);
  const std::string none_alg = base64url_encode("{\"alg\":\"none\",\"typ\":\"JWT\"}") + token.substr(dot) ;
  const std::string cases[] = {
      "", ".", "..", "a.b.c", token + ".", token.substr(0, dot2), token.substr(0, dot2 + 1), none_alg,
      token.substr(0, dot2) + ".", token + "A", std::string(70000, 'a'),
  };
  for (const std::string& t : cases) EXPECT_NE(check_token(t, key, "registry", now, &out), TokenCheck::kValid) << t;
}

TEST(Tokens, ClaimsOfTheWrongShapeAreRefused) {
  Claims out;
  const char* bad[] = {
      "", "[]", "{}", "nul", "{\"sub\":\"a\",\"aud\":\"r\",\"iat\":1,\"exp\":2}",
      "{\"sub\":1,\"aud\":\"r\",\"iat\":1,\"exp\":2,\"access\":[]}",
      "{\"sub\":\"a\",\"aud\":\"r\",\"iat\":1.5,\"exp\":2,\"access\":[]}",
      "{\"sub\":\"a\",\"aud\":\"r\",\"iat\":1,\"exp\":18446744073709551615,\"access\":[]}",
      "{\"sub\":\"a\",\"aud\":\"r\",\"iat\":1,\"exp\":2,\"access\":[1]}",
      "{\"sub\":\"a\",\"aud\":\"r\",\"iat\":1,\"exp\":2,\"access\":[{\"type\":\"repository\",\"name\":\"x\"}]}",
      "{\"sub\":\"a\",\"aud\":\"r\",\"iat\":1,\"exp\":2,\"access\":[{\"type\":\"repository\",\"name\":\"x\",\"actions\":[7]}]}",
  };
  for (const char* j : bad) EXPECT_FALSE(parse_claims(j, &out)) << j;
  ASSERT_TRUE(parse_claims("{\"sub\":\"\",\"aud\":\"r\",\"iat\":-1,\"exp\":2,\"extra\":{},\"access\":[{\"type\":\"repository\","
                           "\"name\":\"x\",\"actions\":[\"push\",\"fly\",\"*\"]}]}",
                           &out));
  EXPECT_EQ(out.access[0].actions, kActionsAll);
  EXPECT_EQ(out.issued, -1);
}

TEST(Policy, PatternsMatchWithinAndAcrossComponents) {
  struct Case {
    const char* pattern;
    const char* name;
    bool match;
  };
  const Case cases[] = {
      {"**", "a", true},           {"**", "a/b/c", true},         {"*", "a", true},
      {"*", "a/b", false},         {"team/*", "team/app", true},  {"team/*", "team/app/web", false},
      {"team/**", "team/app/web", true}, {"team/**", "team", false}, {"team/**", "teams/app", false},
      {"app", "app", true},        {"app", "apps", false},        {"a*c", "abbc", true},
      {"a*c", "a/c", false},       {"a**c", "a/b/c", true},       {"*/cache", "x/cache", true},
      {"team/*/cache", "team/a/cache", true}, {"team/*/cache", "team/a/b/cache", false},
      {"*-dev", "web-dev", true},  {"", "", true},
      {"**a**a**a**a**a**a**b", "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false},
  };
  for (const Case& c : cases) EXPECT_EQ(pattern_matches(c.pattern, c.name), c.match) << c.pattern << " " << c.name;
}

TEST(Policy, RulesAddUpPerUser) {
  Policy p;
  std::string why;
  ASSERT_TRUE(parse_policy("# comment\n\nanonymous public/** pull\n*  **  pull   # everyone signed in\n"
                           "alice ** *\r\nbob team/** pull,push\nbob team/bob/* delete\nbob public/y push\n",
                           &p, &why))
      << why;
  struct Case {
    const char* user;
    const char* repo;
    unsigned actions;
  };
  const Case cases[] = {
      {"", "public/x", kActionPull},
      {"", "private", 0},
      {"carol", "private", kActionPull},
      {"carol", "public/x", kActionPull},
      {"alice", "anything/at/all", kActionsAll},
      {"bob", "team/app", kActionPull | kActionPush},
      {"bob", "team/bob/x", kActionsAll},
      {"bob", "other", kActionPull},
      {"bob", "public/y", kActionPull | kActionPush},  // what anonymous may, too
  };
  for (const Case& c : cases) EXPECT_EQ(allowed_actions(p, c.user, c.repo), c.actions) << c.user << " " << c.repo;
  const Policy d = default_policy();
  EXPECT_EQ(allowed_actions(d, "", "x"), 0u);
  EXPECT_EQ(allowed_actions(d, "anyone", "x/y"), kActionPull | kActionPush);
}

TEST(Policy, MistakesNameTheirLine) {
  struct Case {
    const char* text;
    const char* why;
  };
  const Case cases[] = {
      {"alice **\n", "line 1: a rule has three fields: who, repositories, actions"},
      {"\n\nalice ** pull extra\n", "line 3: a rule has three fields: who, repositories, actions"},
      {"alice ** pull,fly\n", "line 1: actions are pull, push, delete joined by ',', or *: pull,fly"},
      {"alice ** pull,\n", "line 1: actions are pull, push, delete joined by ',', or *: pull,"},
      {"alice a:b pull\n", "line 1: not a repository pattern: a:b"},
  };
  for (const Case& c : cases) {
    Policy p;
    std::string why;
    EXPECT_FALSE(parse_policy(c.text, &p, &why)) << c.text;
    EXPECT_EQ(why, c.why);
  }
}

TEST(Htpasswd, EntriesAndMistakes) {
  const std::string h1 = "$2y$05$O4OajX2ad5r9.up5d5yxP.gyCMFPb5XmSQMiehZJSfxPttbEc.K5i";
  std::vector<HtpasswdEntry> entries;
  std::string why;
  ASSERT_TRUE(parse_htpasswd("alice:" + h1 + "\n# note\n\nbob:" + h1 + "\r\n", &entries, &why)) << why;
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1].user, "bob");
  EXPECT_EQ(htpasswd_text(entries), "alice:" + h1 + "\nbob:" + h1 + "\n");
  struct Case {
    std::string text;
    std::string why;
  };
  const Case cases[] = {
      {"alice\n", "line 1: not \"user:hash\""},
      {"alice:$apr1$abc$def\n", "line 1: user alice has no bcrypt hash (htpasswd -B makes one)"},
      {"alice:{SHA}abc=\n", "line 1: user alice has no bcrypt hash (htpasswd -B makes one)"},
      {"\nanonymous:" + h1 + "\n", "line 2: not a user name the registry takes"},
      {":" + h1 + "\n", "line 1: not a user name the registry takes"},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(parse_htpasswd(c.text, &entries, &why)) << c.text;
    EXPECT_EQ(why, c.why);
  }
  EXPECT_TRUE(user_name_valid("alice@example.com"));
  EXPECT_FALSE(user_name_valid("a b"));
  EXPECT_FALSE(user_name_valid("*"));
  EXPECT_FALSE(user_name_valid(std::string(256, 'a')));
}

TEST(Passwords, BcryptThroughTheSystemsCryptLibrary) {
  char hash[128];
  ASSERT_TRUE(host::hash_password("s3cret pass", 4, hash, sizeof hash));
  EXPECT_TRUE(is_bcrypt_hash(hash)) << hash;
  EXPECT_EQ(std::string(hash).substr(0, 7), "$2y$04$");
  EXPECT_TRUE(host::check_password("s3cret pass", hash));
  EXPECT_FALSE(host::check_password("s3cret pasS", hash));
  EXPECT_FALSE(host::check_password("", hash));
  char other[128];
  ASSERT_TRUE(host::hash_password("s3cret pass", 4, other, sizeof other));
  EXPECT_NE(std::string(hash), other) << "a new salt each time";
  // What htpasswd -B writes: "alice" with the password "secret", cost 5.
  const std::string apache = "$2y$05$O4OajX2ad5r9.up5d5yxP.gyCMFPb5XmSQMiehZJSfxPttbEc.K5i";
  EXPECT_TRUE(host::check_password("secret", apache.c_str()));
  const std::vector<HtpasswdEntry> users{{"alice", apache}};
  EXPECT_EQ(check_user_password(users, "alice", "secret"), PasswordResult::kMatch);
  EXPECT_EQ(check_user_password(users, "alice", "Secret"), PasswordResult::kWrong);
  EXPECT_EQ(check_user_password(users, "bob", "secret"), PasswordResult::kWrong);
  EXPECT_EQ(check_user_password(users, "alice", std::string("secret\0x", 8)), PasswordResult::kWrong);
  EXPECT_FALSE(host::check_password("x", "not a hash"));
  EXPECT_FALSE(host::hash_password("x", 3, hash, sizeof hash));
}

}  // namespace
