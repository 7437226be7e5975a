// The parts of access control on their own: HMAC-SHA-256 against the
// published test vectors, base64, the Authorization header, signed tokens
// (made, checked, altered, expired), the policy file and its patterns,
// the htpasswd file, and passwords through the system's crypt library.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "access/auth_header.h"
#include "access/auth_policy.h"
#include "access/auth_token.h"
#include "access/base64.h"
#include "access/htpasswd.h"
#include "access/login_throttle.h"
#include "hash/hmac_sha256.h"
#include "platform/host.h"
#include "storage/reg_storage.h"
#include "support/storage_fixture.h"
#include "support/test_support.h"

using namespace auth;

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
  const std::string secret(32, 's');
  EXPECT_EQ(check_user_password(users, "alice", "secret", secret), PasswordResult::kMatch);
  EXPECT_EQ(check_user_password(users, "alice", "Secret", secret), PasswordResult::kWrong);
  EXPECT_EQ(check_user_password(users, "bob", "secret", secret), PasswordResult::kWrong);
  EXPECT_EQ(check_user_password(users, "alice", std::string("secret\0x", 8), secret), PasswordResult::kWrong);
  EXPECT_FALSE(host::check_password("x", "not a hash"));
  EXPECT_FALSE(host::hash_password("x", 3, hash, sizeof hash));
}

// bcrypt reads 72 bytes of a C string: the host takes the whole byte
// string and refuses what bcrypt would cut, so no longer password and no
// password cut at a NUL ever matches a shorter one's hash.
TEST(Passwords, WhatBcryptWouldCutIsRefusedWhole) {
  const std::string p72(72, 'p');
  char hash[128];
  ASSERT_TRUE(host::hash_password(p72, 4, hash, sizeof hash));
  EXPECT_TRUE(host::check_password(p72, hash));
  EXPECT_FALSE(host::check_password(p72 + "x", hash));
  EXPECT_FALSE(host::check_password(p72 + std::string(100, 'p'), hash));
  ASSERT_TRUE(host::hash_password("short", 4, hash, sizeof hash));
  EXPECT_FALSE(host::check_password(std::string("short\0tail", 10), hash));
  char none[128] = "unchanged";
  EXPECT_FALSE(host::hash_password(p72 + "x", 4, none, sizeof none));
  EXPECT_FALSE(host::hash_password(std::string("a\0b", 3), 4, none, sizeof none));
  EXPECT_STREQ(none, "unchanged");

  struct Case {
    std::string password;
    const char* refusal;
  };
  const Case cases[] = {
      {"", nullptr},
      {p72, nullptr},
      {std::string(72, '\xff'), nullptr},
      {p72 + "x", "a password longer than 72 bytes (bcrypt reads no more)"},
      {std::string("\0", 1), "a password with a NUL byte"},
      {std::string("secret\0", 7), "a password with a NUL byte"},
      {std::string(80, 'a') + std::string("\0", 1), "a password with a NUL byte"},
  };
  for (const Case& c : cases) {
    const char* got = password_refusal(c.password);
    EXPECT_EQ(got == nullptr ? "(none)" : std::string(got), c.refusal == nullptr ? "(none)" : c.refusal)
        << c.password.size();
    EXPECT_EQ(host::password_fits_bcrypt(c.password), c.refusal == nullptr);
  }
}

// An unknown name is checked against a setting at the cost of an entry a
// keyed hash of the name picks: names spread over the file's costs as the
// entries do, one name always gets the same, another key deals them out
// anew, and the library takes the setting as it is (it hashes with it).
TEST(Decoy, UnknownNamesCostWhatTheFilesEntriesCost) {
  const std::string tail(53, '.');
  const std::vector<HtpasswdEntry> users{{"a", "$2y$04$" + tail}, {"b", "$2b$10$" + tail},
                                         {"c", "$2y$13$" + tail}, {"d", "$2y$13$" + tail}};
  const std::string secret(32, 'k');
  std::map<std::string, int> by_cost;
  int moved = 0;
  for (int i = 0; i < 4000; ++i) {
    const std::string name = "user" + std::to_string(i);
    const std::string setting = decoy_setting(users, name, secret);
    ASSERT_EQ(setting.size(), 29u);
    EXPECT_TRUE(is_bcrypt_hash(setting + std::string(31, '.'))) << setting;
    EXPECT_EQ(setting.substr(7), "gWaDYAaceyrzRztyRhyeT.");
    EXPECT_EQ(decoy_setting(users, name, secret), setting);
    ++by_cost[setting.substr(0, 7)];
    if (decoy_setting(users, name, std::string(32, 'K')) != setting) ++moved;
  }
  ASSERT_EQ(by_cost.size(), 3u);
  EXPECT_NEAR(by_cost["$2y$04$"], 1000, 150);
  EXPECT_NEAR(by_cost["$2b$10$"], 1000, 150);
  EXPECT_NEAR(by_cost["$2y$13$"], 2000, 200);
  EXPECT_GT(moved, 2000);
  EXPECT_EQ(decoy_setting({}, "anyone", secret), "$2y$10$gWaDYAaceyrzRztyRhyeT.");
  // The setting's salt as the library reads it: the hash it makes of a
  // password begins with the setting (made once by libxcrypt through
  // Python's crypt module).
  const std::string decoy4 = "$2y$04$gWaDYAaceyrzRztyRhyeT.";
  EXPECT_TRUE(host::check_password("decoy check", (decoy4 + "VpEg3bxXZsBcnQg.SxrosLWL4T.34Ku").c_str()));
  EXPECT_FALSE(host::check_password("decoy check", decoy4.c_str()));
  const std::vector<HtpasswdEntry> cheap{{"a", "$2y$04$" + tail}};
  EXPECT_EQ(check_user_password(cheap, "someone", "decoy check", secret), PasswordResult::kWrong);
}

}  // namespace

// ---- The throttle of password attempts ----------------------------------------------------

TEST(LoginThrottle, AddressesAreThrottledByNetwork) {
  struct Case {
    const char* address;
    const char* as;
  };
  const Case cases[] = {
      {"192.0.2.7", "v4:192.0.2.7"},
      {"::ffff:192.0.2.7", "v4:192.0.2.7"},
      {"::FFFF:c000:0207", "v4:192.0.2.7"},
      {"2001:db8::1", "v6:20010db800000000"},
      {"2001:DB8:0:0:ffff::2", "v6:20010db800000000"},
      {"2001:db8:0:1::1", "v6:20010db800000001"},
      {"2001:db8:0:1:1:2:3:4", "v6:20010db800000001"},
      {"fe80::1%eth0", "v6:fe80000000000000"},
      {"::", "v6:0000000000000000"},
      {"::1", "v6:0000000000000000"},
      {"1:2:3:4:5:6:7:8", "v6:0001000200030004"},
      {"1:2:3:4:5:6:1.2.3.4", "v6:0001000200030004"},
      {"1::", "v6:0001000000000000"},
      // Not an address: kept whole, marked as none.
      {"256.1.1.1", "other:256.1.1.1"},
      {"1.2.3", "other:1.2.3"},
      {"1.2.3.4.", "other:1.2.3.4."},
      {"1::2::3", "other:1::2::3"},
      {"12345::", "other:12345::"},
      {":1::", "other::1::"},
      {"1:2:3:4:5:6:7:8:9", "other:1:2:3:4:5:6:7:8:9"},
      {"1:2:3:4::5:6:7:8", "other:1:2:3:4::5:6:7:8"},
      {"::ffff:1.2.3.4.5", "other:::ffff:1.2.3.4.5"},
      {"1:2:3:4:5:6:7:1.2.3.4", "other:1:2:3:4:5:6:7:1.2.3.4"},
      {"1:", "other:1:"},
      {"unix:", "other:unix:"},
      {"v4:192.0.2.7", "other:v4:192.0.2.7"},
      {"", "other:"},
  };
  for (const Case& c : cases) EXPECT_EQ(address_class(c.address), c.as) << c.address;

  const std::string secret(32, 'k');
  const AttemptKeys named = attempt_keys(secret, "alice", "");
  ASSERT_EQ(named.count, 1);
  EXPECT_EQ(named.limits[0], kNameFailureLimit);
  EXPECT_EQ(hex(named.keys[0].bytes, 16), hex(name_key(secret, "alice").bytes, 16));
  EXPECT_NE(hex(named.keys[0].bytes, 16), hex(name_key(std::string(32, 'K'), "alice").bytes, 16));
  EXPECT_NE(hex(named.keys[0].bytes, 16), hex(name_key(secret, "alice2").bytes, 16));
  const AttemptKeys a = attempt_keys(secret, "alice", "2001:db8::1");
  const AttemptKeys b = attempt_keys(secret, "bob", "2001:db8::ffff:2");
  const AttemptKeys c = attempt_keys(secret, "alice", "2001:db8:0:1::1");
  ASSERT_EQ(a.count, 2);
  EXPECT_EQ(a.limits[1], kAddressFailureLimit);
  EXPECT_EQ(hex(a.keys[1].bytes, 16), hex(b.keys[1].bytes, 16)) << "one /64, one count";
  EXPECT_NE(hex(a.keys[1].bytes, 16), hex(c.keys[1].bytes, 16));
  // A name that reads like an address is still a name.
  EXPECT_NE(hex(attempt_keys(secret, "v4:192.0.2.7", "").keys[0].bytes, 16),
            hex(attempt_keys(secret, "x", "192.0.2.7").keys[1].bytes, 16));
}

TEST(LoginThrottle, AKeyAtItsLimitRefusesForTheRestOfItsWindow) {
  const AttemptKeys keys = attempt_keys(std::string(32, 'k'), "alice", "192.0.2.7");
  const int64_t now = 1'700'000'000;
  struct Case {
    reg_attempt_count name, address;
    int64_t wait;
  };
  const Case cases[] = {
      {{0, 0}, {0, 0}, 0},
      {{now - 10, kNameFailureLimit - 1}, {now - 10, kAddressFailureLimit - 1}, 0},
      {{now - 10, kNameFailureLimit}, {0, 0}, 50},
      {{now - 59, kNameFailureLimit}, {0, 0}, 1},
      {{now - 10, 1}, {now - 40, kAddressFailureLimit}, 20},
      {{now - 10, kNameFailureLimit}, {now - 40, kAddressFailureLimit}, 50},
      // A window opened by a clock that runs ahead: one window at most.
      {{now + 30, kNameFailureLimit}, {0, 0}, 60},
  };
  for (const Case& c : cases) {
    const reg_attempt_count counts[2] = {c.name, c.address};
    EXPECT_EQ(seconds_refused(keys, counts, now), c.wait) << c.name.since - now << " " << c.address.since - now;
  }
}

class Attempts : public testing_support::FreshStorage {
 protected:
  static constexpr int64_t kT0 = 1'700'000'000;
  static constexpr int64_t kWindow = 60;
  reg_status st;
  // A key in the bucket given, told apart from others there by n.
  static reg_attempt_key key_in(unsigned bucket, uint32_t n) {
    reg_attempt_key k;
    for (size_t i = 0; i < sizeof k.bytes; ++i) k.bytes[i] = static_cast<unsigned char>(0xa0 + i);
    k.bytes[0] = static_cast<unsigned char>(bucket);
    for (int i = 0; i < 4; ++i) k.bytes[1 + i] = static_cast<unsigned char>(n >> (8 * i));
    return k;
  }
  static std::string hex_of(const reg_attempt_key& k) { return hex(k.bytes, sizeof k.bytes); }
  void fail(const std::vector<reg_attempt_key>& keys, int64_t now) {
    reg_attempt_hold hold{};
    std::vector<reg_attempt_count> counts(keys.size());
    ASSERT_EQ(
        reg_attempts_hold(&hold, keys.data(), static_cast<int>(keys.size()), now, kWindow, counts.data(), &st), 0)
        << st.message;
    ASSERT_EQ(reg_attempts_fail(&hold, now, kWindow, &st), 0) << st.message;
    reg_attempts_release(&hold);
  }
  reg_attempt_count count(const reg_attempt_key& k, int64_t now) {
    reg_attempt_count c{-1, 0};
    EXPECT_EQ(reg_attempts_read(&k, 1, now, kWindow, &c, &st), 0) << st.message;
    return c;
  }
  std::string bucket_file(unsigned bucket) const {
    char name[8];
    std::snprintf(name, sizeof name, "%02x", bucket);
    return root + "/auth/throttle/" + name;
  }
  void write_bucket(unsigned bucket, const std::string& text) {
    testing_support::make_dirs(root + "/auth/throttle");
    testing_support::write_bytes(bucket_file(bucket), text);
  }
  static std::string line(const reg_attempt_key& k, int64_t since, uint32_t failures) {
    return hex_of(k) + " " + std::to_string(since) + " " + std::to_string(failures) + "\n";
  }
};

TEST_F(Attempts, FailuresCountWithinAWindowThatOpensAtTheFirst) {
  const reg_attempt_key k = key_in(3, 1), other = key_in(3, 2);
  EXPECT_EQ(count(k, kT0).since, 0);
  fail({k}, kT0);
  fail({k}, kT0 + 10);
  fail({other}, kT0 + 20);
  fail({k}, kT0 + 59);
  reg_attempt_count c = count(k, kT0 + 59);
  EXPECT_EQ(c.since, kT0);
  EXPECT_EQ(c.failures, 3u);
  EXPECT_EQ(testing_support::read_bytes(bucket_file(3)), line(k, kT0, 3) + line(other, kT0 + 20, 1));
  // The window has passed: nothing counts, and the next failure opens
  // another; the closed record goes with that write.
  c = count(k, kT0 + 60);
  EXPECT_EQ(c.since, 0);
  EXPECT_EQ(c.failures, 0u);
  fail({k}, kT0 + 85);
  EXPECT_EQ(testing_support::read_bytes(bucket_file(3)), line(k, kT0 + 85, 1));
  // A window dated ahead of this clock: open if by less than a window
  // (another machine's clock), never if by more.
  write_bucket(3, line(k, kT0 + 30, 5) + line(other, kT0 + 61, 5));
  EXPECT_EQ(count(k, kT0).failures, 5u);
  EXPECT_EQ(count(other, kT0).failures, 0u);
}

// An attempt is counted before its password is checked; a right one is
// taken back, leaving the counts as they were before it.
TEST_F(Attempts, ATakenBackFailureLeavesTheCountsAsTheyWere) {
  const reg_attempt_key k = key_in(4, 1), other = key_in(40, 2);
  fail({k}, kT0);
  for (int round = 0; round < 2; ++round) {
    reg_attempt_hold hold{};
    reg_attempt_count counts[2];
    const reg_attempt_key both[2] = {k, other};
    ASSERT_EQ(reg_attempts_hold(&hold, both, 2, kT0 + 5, kWindow, counts, &st), 0);
    EXPECT_EQ(counts[0].failures, 1u);
    EXPECT_EQ(counts[1].failures, 0u);
    ASSERT_EQ(reg_attempts_fail(&hold, kT0 + 5, kWindow, &st), 0);
    EXPECT_EQ(count(k, kT0 + 5).failures, 2u);
    EXPECT_EQ(count(other, kT0 + 5).failures, 1u);
    ASSERT_EQ(reg_attempts_take_back(&hold, kT0 + 5, kWindow, &st), 0);
    reg_attempts_release(&hold);
    EXPECT_EQ(testing_support::read_bytes(bucket_file(4)), line(k, kT0, 1));
    // A bucket left without records stays, empty.
    EXPECT_EQ(testing_support::read_bytes(bucket_file(40)), "");
  }
  EXPECT_EQ(count(other, kT0 + 5).since, 0);
}

TEST_F(Attempts, LinesOfNoRecordsFormCountForNothingAndGo) {
  const reg_attempt_key k = key_in(9, 1), other = key_in(9, 2);
  const std::string h = hex_of(k);
  const std::string junk = "not a record\n" + h.substr(1) + " " + std::to_string(kT0) + " 4\n" + h + "  " +
                           std::to_string(kT0) + " 4\n" + h + " " + std::to_string(kT0) + " -4\n" + h + " " +
                           std::to_string(kT0) + " 99999999999\n" + h + " " + std::to_string(kT0) + " 4x\n" + h +
                           " " + std::to_string(kT0) + "\n" + std::string(h.size(), 'G') + " " +
                           std::to_string(kT0) + " 4\n" + "\n";
  write_bucket(9, junk + line(other, kT0, 2) + h + " " + std::to_string(kT0) + " 4");
  EXPECT_EQ(count(k, kT0).failures, 0u);
  EXPECT_EQ(count(other, kT0).failures, 2u);
  fail({k}, kT0 + 1);
  EXPECT_EQ(testing_support::read_bytes(bucket_file(9)), line(other, kT0, 2) + line(k, kT0 + 1, 1));
}

TEST_F(Attempts, AFullBucketForgetsTheFewestFailuresOldestFirst) {
  const unsigned bucket = 5;
  std::string full;
  // Windows that opened over half a minute, two records a second.
  for (uint32_t i = 0; i < REG_ATTEMPT_BUCKET_CAP; ++i) full += line(key_in(bucket, i), kT0 + i / 2, i == 0 ? 5 : 1);
  write_bucket(bucket, full);
  // The first newcomer takes the place of the oldest record with one
  // failure (1), never of the older one with five (0), nor is it itself
  // the one forgotten.
  fail({key_in(bucket, 1000)}, kT0 + 40);
  std::string text = testing_support::read_bytes(bucket_file(bucket));
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), REG_ATTEMPT_BUCKET_CAP);
  EXPECT_EQ(text.find(hex_of(key_in(bucket, 1))), std::string::npos);
  EXPECT_NE(text.find(hex_of(key_in(bucket, 2))), std::string::npos);
  EXPECT_NE(text.find(line(key_in(bucket, 0), kT0, 5)), std::string::npos);
  EXPECT_NE(text.find(line(key_in(bucket, 1000), kT0 + 40, 1)), std::string::npos);
  // A stream of newcomers, two at a time in one hold, churns among
  // themselves and the single failures; the five stay.
  for (uint32_t i = 1; i <= 100; ++i) {
    fail({key_in(bucket, 2000 + 2 * i), key_in(bucket, 2001 + 2 * i)}, kT0 + 40 + i / 10);
  }
  text = testing_support::read_bytes(bucket_file(bucket));
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), REG_ATTEMPT_BUCKET_CAP);
  EXPECT_NE(text.find(line(key_in(bucket, 0), kT0, 5)), std::string::npos);
  EXPECT_NE(text.find(line(key_in(bucket, 2200), kT0 + 50, 1)), std::string::npos);
  EXPECT_NE(text.find(line(key_in(bucket, 2201), kT0 + 50, 1)), std::string::npos);
  EXPECT_EQ(count(key_in(bucket, 0), kT0 + 59).failures, 5u);
}

TEST_F(Attempts, HoweverManyKeysFailTheStateStaysWithinItsBound) {
  const int keys = 6000;
  for (int i = 0; i < keys; ++i) {
    // Keys spread over the buckets as hashes would be.
    uint8_t h[32];
    const std::string n = std::to_string(i);
    hmac_sha256("k", 1, n.data(), n.size(), h);
    reg_attempt_key k;
    std::memcpy(k.bytes, h, sizeof k.bytes);
    fail({k}, kT0 + i / 1000);
  }
  const std::vector<std::string> names = testing_support::list_names(root + "/auth/throttle");
  EXPECT_LE(names.size(), 2u * REG_ATTEMPT_BUCKETS);
  size_t total = 0;
  for (const std::string& name : names) {
    if (name.size() == 2) {
      const std::string text = testing_support::read_bytes(root + "/auth/throttle/" + name);
      EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), REG_ATTEMPT_BUCKET_CAP) << name;
      total += text.size();
    } else {
      EXPECT_EQ(name.substr(2), ".lock");
      EXPECT_EQ(testing_support::read_bytes(root + "/auth/throttle/" + name), "");
    }
  }
  EXPECT_LE(total, size_t{REG_ATTEMPT_BUCKETS} * REG_ATTEMPT_BUCKET_CAP * 64);
}

TEST_F(Attempts, KeysThatShareABucketAreHeldAndCountedTogether) {
  const reg_attempt_key a = key_in(7, 1), b = key_in(7 + REG_ATTEMPT_BUCKETS, 2), c = key_in(8, 3);
  fail({a, b}, kT0);
  fail({b, a}, kT0 + 1);
  fail({c, a}, kT0 + 2);
  EXPECT_EQ(count(a, kT0 + 2).failures, 3u);
  EXPECT_EQ(count(b, kT0 + 2).failures, 2u);
  EXPECT_EQ(count(c, kT0 + 2).failures, 1u);
  EXPECT_EQ(testing_support::read_bytes(bucket_file(7)), line(a, kT0, 3) + line(b, kT0, 2));
  // What a caller may get wrong is refused, and nothing is held after.
  reg_attempt_hold hold{};
  reg_attempt_count counts[3];
  const reg_attempt_key three[3] = {a, b, c};
  EXPECT_EQ(reg_attempts_hold(&hold, three, 3, kT0, kWindow, counts, &st), -1);
  EXPECT_EQ(st.kind, REG_ERR_INVALID);
  EXPECT_EQ(reg_attempts_hold(&hold, three, 0, kT0, kWindow, counts, &st), -1);
  EXPECT_EQ(st.kind, REG_ERR_INVALID);
  EXPECT_EQ(reg_attempts_fail(&hold, kT0, kWindow, &st), -1);
  EXPECT_EQ(st.kind, REG_ERR_INVALID);
  EXPECT_EQ(reg_attempts_take_back(&hold, kT0, kWindow, &st), -1);
  EXPECT_EQ(st.kind, REG_ERR_INVALID);
  EXPECT_EQ(reg_attempts_read(three, 1, kT0, 0, counts, &st), -1) << "a window of no length";
  EXPECT_EQ(st.kind, REG_ERR_INVALID);
  EXPECT_EQ(hold.lock_count, 0);
  reg_attempts_release(&hold);
}

TEST_F(Attempts, AStateThatCannotBeWrittenIsAFailureNeverACountOfNone) {
  testing_support::make_dirs(root + "/auth");
  testing_support::write_bytes(root + "/auth/throttle", "not a directory");
  reg_attempt_hold hold{};
  reg_attempt_count c[1];
  const reg_attempt_key k = key_in(1, 1);
  EXPECT_EQ(reg_attempts_hold(&hold, &k, 1, kT0, kWindow, c, &st), -1);
  EXPECT_EQ(st.kind, REG_ERR_STORAGE);
  EXPECT_EQ(hold.lock_count, 0);
}
