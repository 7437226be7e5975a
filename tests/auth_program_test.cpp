// Access control end to end through the registry program as a CGI child
// process: the challenges and the token endpoint's answers byte for byte,
// what each user's token lets through (401, 403), expired and altered
// tokens, mounts from repositories the user may not read, the filtered
// catalog, the web server's REMOTE_USER mode, and settings that cannot be
// used.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "access/auth_token.h"
#include "access/base64.h"
#include "access/login_throttle.h"
#include "platform/host.h"
#include "storage/reg_storage.h"
#include "support/cgi_response.h"
#include "support/registry_runner.h"
#include "support/test_support.h"

using namespace testing_support;

namespace {

const std::string kProgram = program_under_test(REGISTRY_PATH);
const std::string kApi = "Docker-Distribution-API-Version: registry/2.0";
// "secret", as htpasswd -B -C 4 writes it.
const std::string kSecretHash = "$2y$04$.Ri7EwUtFt2lR1kuDwV.K.Xrx3GD49Or4j9lQ4fq0YyLrQzLPUFQe";

using Response = CgiResponse;

std::string basic(const std::string& user, const std::string& password) {
  static const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const std::string in = user + ":" + password;
  std::string out;
  for (size_t i = 0; i < in.size(); i += 3) {
    const unsigned n = (static_cast<unsigned char>(in[i]) << 16) |
                       (i + 1 < in.size() ? static_cast<unsigned char>(in[i + 1]) << 8 : 0) |
                       (i + 2 < in.size() ? static_cast<unsigned char>(in[i + 2]) : 0);
    out += a[(n >> 18) & 63];
    out += a[(n >> 12) & 63];
    out += i + 1 < in.size() ? a[(n >> 6) & 63] : '=';
    out += i + 2 < in.size() ? a[n & 63] : '=';
  }
  return "Basic " + out;
}

class AuthProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    make_dirs(root + "/auth");
    write_bytes(root + "/auth/htpasswd",
                "alice:" + kSecretHash + "\nbob:" + kSecretHash + "\ncarol:" + kSecretHash + "\n");
    write_bytes(root + "/auth/policy",
                "anonymous public/**  pull\n"
                "alice     **         *\n"
                "bob       team/**    pull\n"
                "bob       bob/**     pull,push\n"
                "carol     team/app   pull,push\n");
  }
  Response call(const std::string& method, const std::string& path, const std::string& query = "",
                const std::string& body = "", std::map<std::string, std::string> extra = {}) {
    std::map<std::string, std::string> env{{"REGISTRY_STORAGE_ROOT", root}, {"REQUEST_METHOD", method},
                                           {"PATH_INFO", path},            {"QUERY_STRING", query},
                                           {"CONTENT_LENGTH", std::to_string(body.size())},
                                           {"REGISTRY_AUTH", mode},        {"HTTP_HOST", "reg.example:5000"}};
    for (const auto& [k, v] : extra) env[k] = v;
    for (auto it = env.begin(); it != env.end();) it = it->second == "(unset)" ? env.erase(it) : std::next(it);
    make_dirs(work);
    return parse_cgi_response(run_registry(kProgram, env, work, body));
  }
  Response token_response(const std::string& query, const std::string& authorization = "") {
    std::map<std::string, std::string> extra{{"REQUEST_URI", "/auth/token?" + query}};
    if (!authorization.empty()) extra["HTTP_AUTHORIZATION"] = authorization;
    return call("GET", "", query, "", extra);
  }
  // A token from the endpoint: user "" is anonymous.
  std::string token(const std::string& user, const std::string& query) {
    const Response r = token_response(query, user.empty() ? "" : basic(user, "secret"));
    EXPECT_EQ(r.status, "200 OK") << r.raw;
    const size_t at = r.body.find("\"token\":\"") + 9;
    return r.body.substr(at, r.body.find('"', at) - at);
  }
  Response with(const std::string& token, const std::string& method, const std::string& path,
                const std::string& query = "", const std::string& body = "", std::map<std::string, std::string> extra = {}) {
    extra["HTTP_AUTHORIZATION"] = "Bearer " + token;
    return call(method, path, query, body, extra);
  }
  // A blob pushed with auth off (the tree as it was before access control).
  std::string seed_blob(const std::string& repo, const std::string& bytes) {
    const std::string saved = mode;
    mode = "off";
    const std::string d = digest_string(bytes);
    EXPECT_EQ(call("POST", "/v2/" + repo + "/blobs/uploads/", "digest=" + d, bytes).status, "201 Created");
    mode = saved;
    return d;
  }
  std::string key() {
    std::string k = read_bytes(root + "/auth/token.key");
    while (!k.empty() && k.back() == '\n') k.pop_back();
    return k;
  }
  TempDir tmp;
  std::string root = tmp / "root";
  std::string work = tmp / "work";
  std::string mode = "token";
};

std::string unauthorized(const std::string& challenge) {
  const std::string body = "{\"errors\":[{\"code\":\"UNAUTHORIZED\",\"message\":\"authentication required\"}]}\n";
  return "Status: 401 Unauthorized\r\n" + kApi + "\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\nWWW-Authenticate: " + challenge + "\r\n\r\n" + body;
}

// ---- Challenges ---------------------------------------------------------------------

TEST_F(AuthProgram, EveryEndpointChallengesWithTheScopeItNeeds) {
  const std::string realm = "Bearer realm=\"http://reg.example:5000/auth/token\",service=\"registry\"";
  const std::string d = "sha256:" + std::string(64, 'a');
  struct Case {
    const char* method;
    std::string path;
    std::string challenge;
  };
  const Case cases[] = {
      {"GET", "/v2/", realm},
      {"HEAD", "/v2/", realm},
      {"GET", "/v2/_catalog", realm + ",scope=\"registry:catalog:*\""},
      {"GET", "/v2/team/app/tags/list", realm + ",scope=\"repository:team/app:pull\""},
      {"HEAD", "/v2/team/app/manifests/v1", realm + ",scope=\"repository:team/app:pull\""},
      {"GET", "/v2/team/app/blobs/" + d, realm + ",scope=\"repository:team/app:pull\""},
      {"GET", "/v2/team/app/referrers/" + d, realm + ",scope=\"repository:team/app:pull\""},
      {"PUT", "/v2/team/app/manifests/v1", realm + ",scope=\"repository:team/app:pull,push\""},
      {"POST", "/v2/team/app/blobs/uploads/", realm + ",scope=\"repository:team/app:pull,push\""},
      {"PATCH", "/v2/team/app/blobs/uploads/91e3a35b-f173-0dfb-938b-ee4b3dc38bf5",
       realm + ",scope=\"repository:team/app:pull,push\""},
      {"DELETE", "/v2/team/app/blobs/uploads/91e3a35b-f173-0dfb-938b-ee4b3dc38bf5",
       realm + ",scope=\"repository:team/app:pull,push\""},
      {"DELETE", "/v2/team/app/manifests/v1", realm + ",scope=\"repository:team/app:delete\""},
      {"DELETE", "/v2/team/app/blobs/" + d, realm + ",scope=\"repository:team/app:delete\""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(call(c.method, c.path).raw, unauthorized(c.challenge)) << c.method << " " << c.path;
  }
  // Another scheme, or a token that is not ours, gets the same challenge;
  // the latter says why.
  EXPECT_EQ(call("GET", "/v2/", "", "", {{"HTTP_AUTHORIZATION", basic("alice", "secret")}}).raw, unauthorized(realm));
  EXPECT_EQ(call("GET", "/v2/", "", "", {{"HTTP_AUTHORIZATION", "Bearer abc"}}).raw,
            unauthorized(realm + ",error=\"invalid_token\""));
  // What stays as it was: paths the registry does not serve, and names of
  // no repository's form.
  EXPECT_EQ(call("GET", "/v2/app/tags").status, "404 Not Found");
  EXPECT_EQ(call("GET", "/v2/App/tags/list").code(), "NAME_INVALID");
}

TEST_F(AuthProgram, TheRealmIsWhereTheClientReachedTheServer) {
  struct Case {
    std::map<std::string, std::string> env;
    const char* realm;
  };
  const Case cases[] = {
      {{}, "http://reg.example:5000/auth/token"},
      {{{"HTTPS", "on"}, {"HTTP_HOST", "reg.example"}}, "https://reg.example/auth/token"},
      {{{"REQUEST_SCHEME", "https"}}, "https://reg.example:5000/auth/token"},
      {{{"HTTP_HOST", "(unset)"}, {"SERVER_NAME", "10.0.0.1"}, {"SERVER_PORT", "8080"}}, "http://10.0.0.1:8080/auth/token"},
      {{{"HTTP_HOST", "(unset)"}, {"SERVER_NAME", "r"}, {"SERVER_PORT", "80"}}, "http://r/auth/token"},
      // A Host without its port (Debian's nginx passes $host): the port
      // the request came in on.
      {{{"HTTP_HOST", "reg.example"}, {"SERVER_PORT", "5000"}}, "http://reg.example:5000/auth/token"},
      {{{"HTTP_HOST", "[::1]"}, {"SERVER_PORT", "8080"}}, "http://[::1]:8080/auth/token"},
      {{{"HTTP_HOST", "[::1]:9"}, {"SERVER_PORT", "8080"}}, "http://[::1]:9/auth/token"},
      {{{"HTTP_HOST", "reg.example:5000"}, {"SERVER_PORT", "80"}}, "http://reg.example:5000/auth/token"},
      {{{"HTTPS", "on"}, {"HTTP_HOST", "r"}, {"SERVER_PORT", "443"}}, "https://r/auth/token"},
      {{{"REGISTRY_AUTH_REALM", "https://auth.example/token"}, {"REGISTRY_AUTH_SERVICE", "my reg"}},
       "https://auth.example/token\",service=\"my reg"},
  };
  for (const Case& c : cases) {
    const Response r = call("GET", "/v2/", "", "", c.env);
    const std::string service = c.env.count("REGISTRY_AUTH_SERVICE") ? "" : "\",service=\"registry";
    EXPECT_EQ(r.header("WWW-Authenticate"), std::string("Bearer realm=\"") + c.realm + service + "\"");
  }
}

// ---- The token endpoint -----------------------------------------------------------------

// The token as the registry must have made it, signed here by Python's
// own HMAC, so the bytes are checked against a second implementation.
std::string python_token(const std::string& key, const std::string& claims) {
  const std::string script =
      "import base64,hashlib,hmac,sys\n"
      "b=lambda x: base64.urlsafe_b64encode(x).rstrip(b'=').decode()\n"
      "s=b(b'{\"alg\":\"HS256\",\"typ\":\"JWT\"}')+'.'+b(sys.argv[2].encode())\n"
      "print(s+'.'+b(hmac.new(sys.argv[1].encode(),s.encode(),hashlib.sha256).digest()),end='')\n";
  return run_program("/usr/bin/python3", {"-c", script, key, claims}, {{"PATH", "/usr/bin:/bin"}}, "").out;
}

int64_t epoch_of(const std::string& rfc3339) {
  const std::string script =
      "import calendar,sys,time\nprint(calendar.timegm(time.strptime(sys.argv[1],'%Y-%m-%dT%H:%M:%SZ')),end='')\n";
  return std::stoll(run_program("/usr/bin/python3", {"-c", script, rfc3339}, {{"PATH", "/usr/bin:/bin"}}, "").out);
}

TEST_F(AuthProgram, TheTokenResponseByteForByte) {
  const std::string query = "service=registry&scope=repository%3Ateam%2Fapp%3Apull%2Cpush%2Cdelete"
                            "&scope=repository:elsewhere:pull+registry:catalog:*&account=bob&client_id=docker";
  const Response r = token_response(query, basic("bob", "secret"));
  ASSERT_EQ(r.status, "200 OK") << r.raw;
  const size_t at = r.body.find("\"issued_at\":\"") + 13;
  const std::string issued_at = r.body.substr(at, 20);
  const int64_t iat = epoch_of(issued_at);
  const std::string claims = "{\"iss\":\"registry\",\"sub\":\"bob\",\"aud\":\"registry\",\"iat\":" + std::to_string(iat) +
                             ",\"exp\":" + std::to_string(iat + 300) +
                             ",\"access\":[{\"type\":\"repository\",\"name\":\"team/app\",\"actions\":[\"pull\"]},"
                             "{\"type\":\"repository\",\"name\":\"elsewhere\",\"actions\":[]},"
                             "{\"type\":\"registry\",\"name\":\"catalog\",\"actions\":[\"*\"]}]}";
  const std::string token = python_token(key(), claims);
  ASSERT_FALSE(token.empty());
  const std::string body = "{\"token\":\"" + token + "\",\"access_token\":\"" + token +
                           "\",\"expires_in\":300,\"issued_at\":\"" + issued_at + "\"}\n";
  EXPECT_EQ(r.raw, "Status: 200 OK\r\n" + kApi + "\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: " +
                       std::to_string(body.size()) + "\r\nCache-Control: no-store\r\n\r\n" + body);
  // The key was made on first use, 32 random bytes in hex, for its owner's
  // eyes only.
  EXPECT_EQ(key().size(), 64u);
  if (std::getenv("REGISTRY_TEST_EMULATOR") == nullptr) {
    struct stat st;
    ASSERT_EQ(stat((root + "/auth/token.key").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
  }
  // The same key signs every later token.
  const std::string first = key();
  this->token("alice", "scope=repository:x:pull");
  EXPECT_EQ(key(), first);
}

TEST_F(AuthProgram, EachTokenGrantsWhatWasAskedAndIsAllowed) {
  struct Case {
    const char* user;
    const char* scope;
    const char* name;
    unsigned actions;
  };
  using namespace auth;
  const Case cases[] = {
      {"", "repository:public/tools:pull,push", "public/tools", kActionPull},
      {"", "repository:team/app:pull", "team/app", 0},
      {"alice", "repository:team/app:*", "team/app", kActionsAll},
      {"alice", "repository:team/app:pull", "team/app", kActionPull},
      {"bob", "repository:team/app:pull,push,delete", "team/app", kActionPull},
      {"bob", "repository:bob/x:push", "bob/x", kActionPush},
      {"carol", "repository:team/app:pull,push", "team/app", kActionPull | kActionPush},
      {"carol", "repository:team/app2:pull,push", "team/app2", 0},
      {"carol", "repository(plugin):team/app:pull", "team/app", kActionPull},
      {"alice", "repository:team/app:fly,pull", "team/app", kActionPull},
  };
  for (const Case& c : cases) {
    const std::string t = token(c.user, std::string("scope=") + c.scope);
    auth::Claims claims;
    ASSERT_EQ(auth::check_token(t, key(), "registry", time(nullptr), &claims), auth::TokenCheck::kValid);
    EXPECT_EQ(claims.subject, c.user);
    const auth::Grant* g = auth::find_grant(claims, "repository", c.name);
    ASSERT_NE(g, nullptr) << c.user << " " << c.scope;
    EXPECT_EQ(g->actions, c.actions) << c.user << " " << c.scope;
  }
  // Scopes of no repository's form, or of types the registry does not
  // know, get nothing; a login asks for none.
  for (const char* q : {"", "scope=repository:Bad:pull", "scope=repository::pull", "scope=thing:x:pull",
                        "scope=registry:catalog:pull", "scope=nonsense"}) {
    auth::Claims claims;
    ASSERT_EQ(auth::check_token(token("alice", q), key(), "registry", time(nullptr), &claims),
              auth::TokenCheck::kValid);
    EXPECT_TRUE(claims.access.empty()) << q;
  }
}

TEST_F(AuthProgram, CredentialsThatDoNotHoldAre401) {
  const std::string challenge = "Basic realm=\"registry\"";
  struct Case {
    std::string authorization;
    const char* message;
  };
  const Case cases[] = {
      {basic("alice", "wrong"), "incorrect username or password"},
      {basic("alice", "Secret"), "incorrect username or password"},
      {basic("nobody", "secret"), "incorrect username or password"},
      {"Basic !!!", "malformed credentials"},
      {"Basic YWxpY2U=", "malformed credentials"},
  };
  for (const Case& c : cases) {
    const Response r = token_response("scope=repository:team/app:pull", c.authorization);
    EXPECT_EQ(r.status, "401 Unauthorized") << c.authorization;
    EXPECT_EQ(r.header("WWW-Authenticate"), challenge);
    EXPECT_EQ(r.body, std::string("{\"errors\":[{\"code\":\"UNAUTHORIZED\",\"message\":\"") + c.message + "\"}]}\n");
  }
  // REMOTE_USER proves nothing to the token endpoint (nginx fills it from
  // the header unchecked): no credentials, no user.
  Response r = call("GET", "", "scope=repository:team/app:pull", "",
                    {{"REQUEST_URI", "/auth/token"}, {"REMOTE_USER", "alice"}});
  ASSERT_EQ(r.status, "200 OK");
  const size_t at = r.body.find("\"token\":\"") + 9;
  auth::Claims claims;
  ASSERT_EQ(auth::check_token(r.body.substr(at, r.body.find('"', at) - at), key(), "registry", time(nullptr), &claims),
            auth::TokenCheck::kValid);
  EXPECT_EQ(claims.subject, "");
  EXPECT_EQ(claims.access.at(0).actions, 0u);
  r = call("GET", "", "", "", {{"REQUEST_URI", "/auth/token"}, {"REMOTE_USER", "alice"},
                               {"HTTP_AUTHORIZATION", basic("alice", "wrong")}});
  EXPECT_EQ(r.status, "401 Unauthorized");
  // Only GET; and no endpoint at all while tokens are off.
  EXPECT_EQ(call("POST", "", "", "", {{"REQUEST_URI", "/auth/token"}}).status, "405 Method Not Allowed");
  mode = "off";
  EXPECT_EQ(token_response("scope=repository:a:pull").status, "404 Not Found");
}

// ---- Enforcement ------------------------------------------------------------------------

TEST_F(AuthProgram, WhatEachUsersTokenLetsThrough) {
  const std::string d = seed_blob("team/app", "a layer");
  seed_blob("public/tools", "a tool");
  const std::string blob = "/v2/team/app/blobs/" + d;
  const std::string all = "scope=repository:team/app:pull,push,delete&scope=repository:public/tools:pull,push";
  const std::string alice = token("alice", all), bob = token("bob", all), anon = token("", all);
  struct Case {
    std::string who;
    const char* method;
    std::string path;
    const char* status;
  };
  const Case cases[] = {
      {alice, "HEAD", blob, "200 OK"},
      {alice, "POST", "/v2/team/app/blobs/uploads/", "202 Accepted"},
      {bob, "HEAD", blob, "200 OK"},
      {bob, "GET", "/v2/team/app/tags/list", "200 OK"},
      {bob, "POST", "/v2/team/app/blobs/uploads/", "403 Forbidden"},
      {bob, "DELETE", blob, "403 Forbidden"},
      {anon, "HEAD", blob, "403 Forbidden"},
      {anon, "HEAD", "/v2/public/tools/blobs/" + digest_string("a tool"), "200 OK"},
      {anon, "POST", "/v2/public/tools/blobs/uploads/", "403 Forbidden"},
      {anon, "GET", "/v2/", "200 OK"},
      {bob, "GET", "/v2/", "200 OK"},
      {alice, "DELETE", blob, "202 Accepted"},
  };
  for (const Case& c : cases) {
    const Response r = with(c.who, c.method, c.path);
    EXPECT_EQ(r.status, c.status) << c.method << " " << c.path << "\n" << r.raw;
    if (r.status == "403 Forbidden") {
      EXPECT_EQ(r.body, "{\"errors\":[{\"code\":\"DENIED\",\"message\":\"requested access to the resource is denied\"}]}\n");
      EXPECT_EQ(r.header("WWW-Authenticate"), "(none)");
    }
  }
  // A token that does not name the repository was not asked for it: the
  // client is told what to ask for.
  const Response r = with(alice, "GET", "/v2/other/tags/list");
  EXPECT_EQ(r.raw, unauthorized("Bearer realm=\"http://reg.example:5000/auth/token\",service=\"registry\","
                                "scope=\"repository:other:pull\",error=\"insufficient_scope\""));
}

TEST_F(AuthProgram, ExpiredAlteredAndForeignTokensAreRefused) {
  const std::string d = seed_blob("team/app", "a layer");
  const std::string blob = "/v2/team/app/blobs/" + d;
  const std::string good = token("alice", "scope=repository:team/app:pull");
  ASSERT_EQ(with(good, "HEAD", blob).status, "200 OK");
  auth::Claims c;
  c.subject = "alice";
  c.service = "registry";
  c.issued = time(nullptr) - 400;
  c.expires = time(nullptr) - 100;
  c.access = {{"repository", "team/app", auth::kActionsAll}};
  const std::string expired = auth::make_token(c, key());
  c.expires = time(nullptr) + 100;
  const std::string fresh = auth::make_token(c, key());
  ASSERT_EQ(with(fresh, "HEAD", blob).status, "200 OK");
  const std::string foreign = auth::make_token(c, std::string(64, '0'));
  c.service = "other";
  const std::string other_service = auth::make_token(c, key());
  std::string flipped = good;
  flipped[flipped.size() / 2] ^= 1;
  std::string flipped_sig = good;
  flipped_sig[flipped_sig.size() - 3] = flipped_sig[flipped_sig.size() - 3] == 'A' ? 'B' : 'A';
  const std::string challenge = "Bearer realm=\"http://reg.example:5000/auth/token\",service=\"registry\","
                                "scope=\"repository:team/app:pull\",error=\"invalid_token\"";
  std::string comma = good;  // no token68 character: not even a token's form
  comma[comma.size() / 2] = ',';
  for (const std::string& t : {expired, foreign, other_service, flipped, flipped_sig, good.substr(1), comma}) {
    EXPECT_EQ(with(t, "HEAD", blob).raw, unauthorized(challenge)) << t;
  }
  // Until the endpoint makes a key, no token can be ours.
  remove_tree(root + "/auth/token.key");
  EXPECT_EQ(with(good, "HEAD", blob).raw, unauthorized(challenge));
}

TEST_F(AuthProgram, AMountFromARepositoryTheUserMayNotPullIsAPlainUpload) {
  const std::string d = seed_blob("secret/base", "private layer");
  seed_blob("team/base", "private layer");
  const std::string carol = token("carol", "scope=repository:team/app:pull,push&scope=repository:secret/base:pull");
  // carol may not pull secret/base: a session, as if the blob were not
  // there, and nothing to tell it is.
  Response r = with(carol, "POST", "/v2/team/app/blobs/uploads/", "mount=" + d + "&from=secret/base");
  EXPECT_EQ(r.status, "202 Accepted") << r.raw;
  EXPECT_NE(r.header("Docker-Upload-UUID"), "(none)");
  r = with(carol, "POST", "/v2/team/app/blobs/uploads/", "mount=" + d + "&from=nowhere/at/all");
  EXPECT_EQ(r.status, "202 Accepted");
  EXPECT_EQ(with(carol, "HEAD", "/v2/team/app/blobs/" + d).status, "404 Not Found");
  // alice may: mounted.
  const std::string alice = token("alice", "scope=repository:team/app:pull,push&scope=repository:secret/base:pull");
  r = with(alice, "POST", "/v2/team/app/blobs/uploads/", "mount=" + d + "&from=secret/base");
  EXPECT_EQ(r.status, "201 Created") << r.raw;
  // bob may pull team/base but not push to team/app: denied before any mount.
  const std::string bob = token("bob", "scope=repository:team/app:pull,push&scope=repository:team/base:pull");
  EXPECT_EQ(with(bob, "POST", "/v2/team/app/blobs/uploads/", "mount=" + d + "&from=team/base").status, "403 Forbidden");
}

TEST_F(AuthProgram, TheCatalogListsWhatTheUserMayPull) {
  for (const char* repo : {"bob/one", "public/a", "public/b", "secret/x", "team/app", "team/web"}) {
    seed_blob(repo, std::string("bytes of ") + repo);
  }
  struct Case {
    const char* user;
    const char* query;
    const char* body;
    const char* link;
  };
  const Case cases[] = {
      {"", "", "{\"repositories\":[\"public/a\",\"public/b\"]}\n", "(none)"},
      {"alice", "", "{\"repositories\":[\"bob/one\",\"public/a\",\"public/b\",\"secret/x\",\"team/app\",\"team/web\"]}\n",
       "(none)"},
      {"bob", "", "{\"repositories\":[\"bob/one\",\"public/a\",\"public/b\",\"team/app\",\"team/web\"]}\n", "(none)"},
      {"carol", "", "{\"repositories\":[\"public/a\",\"public/b\",\"team/app\"]}\n", "(none)"},
      // Pages count what the user sees.
      {"bob", "n=2", "{\"repositories\":[\"bob/one\",\"public/a\"]}\n", "</v2/_catalog?n=2&last=public/a>; rel=\"next\""},
      {"bob", "n=2&last=public/a", "{\"repositories\":[\"public/b\",\"team/app\"]}\n",
       "</v2/_catalog?n=2&last=team/app>; rel=\"next\""},
      {"bob", "n=2&last=team/app", "{\"repositories\":[\"team/web\"]}\n", "(none)"},
  };
  for (const Case& c : cases) {
    const std::string t = token(c.user, "scope=registry:catalog:*");
    const Response r = with(t, "GET", "/v2/_catalog", c.query);
    EXPECT_EQ(r.status, "200 OK") << r.raw;
    EXPECT_EQ(r.body, c.body) << c.user << " " << c.query;
    EXPECT_EQ(r.header("Link"), c.link);
  }
  // A token without the catalog scope is told to ask for it.
  const Response r = with(token("alice", "scope=repository:team/app:pull"), "GET", "/v2/_catalog");
  EXPECT_EQ(r.header("WWW-Authenticate"), "Bearer realm=\"http://reg.example:5000/auth/token\",service=\"registry\","
                                          "scope=\"registry:catalog:*\",error=\"insufficient_scope\"");
}

TEST_F(AuthProgram, WithoutAPolicyFileUsersPullAndPushAndAnonymousNothing) {
  remove_tree(root + "/auth/policy");
  const std::string q = "scope=repository:any/where:pull,push,delete";
  auth::Claims c;
  const std::string carol = token("carol", q), anonymous = token("", q);
  ASSERT_EQ(auth::check_token(carol, key(), "registry", time(nullptr), &c), auth::TokenCheck::kValid);
  EXPECT_EQ(c.access.at(0).actions, auth::kActionPull | auth::kActionPush);
  ASSERT_EQ(auth::check_token(anonymous, key(), "registry", time(nullptr), &c), auth::TokenCheck::kValid);
  EXPECT_EQ(c.access.at(0).actions, 0u);
}

// ---- The web server's own authentication -------------------------------------------------

TEST_F(AuthProgram, RemoteUserModeLetsThePolicyDecide) {
  mode = "remote-user";
  const std::string d = seed_blob("team/app", "a layer");
  const std::string blob = "/v2/team/app/blobs/" + d;
  struct Case {
    const char* user;
    const char* method;
    std::string path;
    std::string query;
    const char* status;
  };
  const Case cases[] = {
      {"", "GET", "/v2/", "", "401 Unauthorized"},
      {"bob", "GET", "/v2/", "", "200 OK"},
      {"bob", "HEAD", blob, "", "200 OK"},
      {"bob", "POST", "/v2/team/app/blobs/uploads/", "", "403 Forbidden"},
      {"carol", "POST", "/v2/team/app/blobs/uploads/", "", "202 Accepted"},
      {"carol", "POST", "/v2/team/app/blobs/uploads/", "mount=" + d + "&from=bob/x", "202 Accepted"},
      {"alice", "POST", "/v2/bob/x/blobs/uploads/", "mount=" + d + "&from=team/app", "201 Created"},
      {"", "HEAD", blob, "", "401 Unauthorized"},
      {"", "HEAD", "/v2/public/x/blobs/" + d, "", "404 Not Found"},
      {"dave", "HEAD", blob, "", "403 Forbidden"},  // known to the server, not to the policy
      {"carol", "DELETE", blob, "", "403 Forbidden"},
  };
  for (const Case& c : cases) {
    // An Authorization header proves nothing in this mode: only REMOTE_USER counts.
    const Response r = call(c.method, c.path, c.query, "",
                            {{"REMOTE_USER", c.user}, {"HTTP_AUTHORIZATION", basic("alice", "secret")}});
    EXPECT_EQ(r.status, c.status) << c.user << " " << c.method << " " << c.path << " " << c.query << "\n" << r.raw;
    if (r.status == "401 Unauthorized") {
      EXPECT_EQ(r.header("WWW-Authenticate"), "Basic realm=\"registry\"");
    }
  }
  const Response cat = call("GET", "/v2/_catalog", "", "", {{"REMOTE_USER", "carol"}});
  EXPECT_EQ(cat.body, "{\"repositories\":[\"team/app\"]}\n");
  EXPECT_EQ(call("GET", "/v2/_catalog", "", "", {{"REMOTE_USER", ""}}).body, "{\"repositories\":[]}\n");
  EXPECT_EQ(call("GET", "", "", "", {{"REQUEST_URI", "/auth/token"}}).status, "404 Not Found");
}

// ---- Password attempts ---------------------------------------------------------------------

class Attempts : public AuthProgram {
 protected:
  Response login(const std::string& user, const std::string& password, const std::string& address = "") {
    std::map<std::string, std::string> extra{{"REQUEST_URI", "/auth/token"},
                                             {"HTTP_AUTHORIZATION", basic(user, password)}};
    if (!address.empty()) extra["REMOTE_ADDR"] = address;
    return call("GET", "", "", "", extra);
  }
  std::string dir() const { return root + "/auth/throttle"; }
  std::vector<std::string> buckets() const {
    std::vector<std::string> out;
    for (const std::string& name : list_names(dir())) {
      if (name.size() == 2) out.push_back(name);
    }
    return out;
  }
  // Every bucket's text, for telling whether anything was written.
  std::string state() const {
    std::string all;
    for (const std::string& b : buckets()) all += b + ":" + read_bytes(dir() + "/" + b);
    return all;
  }
  // Moves every recorded window to have opened at `since`, as if time had
  // passed: the program's own clock is never touched.
  void open_windows_at(int64_t since) {
    for (const std::string& b : buckets()) {
      std::string text = read_bytes(dir() + "/" + b), out;
      for (size_t at = 0; at < text.size();) {
        const size_t nl = text.find('\n', at);
        const std::string line = text.substr(at, nl - at);
        const size_t a = line.find(' '), z = line.rfind(' ');
        out += line.substr(0, a + 1) + std::to_string(since) + line.substr(z) + "\n";
        at = nl + 1;
      }
      write_bytes(dir() + "/" + b, out);
    }
  }
  static int64_t retry_after(const Response& r) { return std::stoll(r.header("Retry-After")); }
};

std::string too_many_requests(int64_t retry_after) {
  const std::string body =
      "{\"errors\":[{\"code\":\"TOOMANYREQUESTS\",\"message\":\"too many failed login attempts; try again later\"}]}\n";
  return "Status: 429 Too Many Requests\r\n" + kApi + "\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\nRetry-After: " + std::to_string(retry_after) + "\r\n\r\n" + body;
}

// Five wrong passwords for a name, known or not, and it is refused (its
// right password too) until the window that the first of them opened has
// passed; refusals write nothing, so they never make it longer, and they
// never reach bcrypt: with a users' file that no check could get past,
// they are answered all the same.
TEST_F(Attempts, FiveFailuresRefuseANameUntilItsWindowHasPassed) {
  for (const char* name : {"alice", "nobody"}) {
    for (int i = 0; i < 5; ++i) EXPECT_EQ(login(name, "wrong").status, "401 Unauthorized") << name << " " << i;
    const std::string before = state();
    const Response r = login(name, "wrong");
    ASSERT_EQ(r.status, "429 Too Many Requests") << r.raw;
    EXPECT_GE(retry_after(r), 1);
    EXPECT_LE(retry_after(r), 60);
    EXPECT_EQ(r.raw, too_many_requests(retry_after(r)));
    EXPECT_EQ(login(name, "secret").status, "429 Too Many Requests");
    EXPECT_EQ(state(), before) << "a refusal counts nothing";
  }
  EXPECT_EQ(login("bob", "secret").status, "200 OK");
  write_bytes(root + "/auth/htpasswd", "alice:plain\nbob:plain\n");
  EXPECT_EQ(login("alice", "secret").status, "429 Too Many Requests");
  EXPECT_EQ(login("bob", "secret").status, "500 Internal Server Error") << "a check would have failed";
  write_bytes(root + "/auth/htpasswd", "alice:" + kSecretHash + "\nbob:" + kSecretHash + "\n");

  // Half a minute into the window, half a minute to wait.
  open_windows_at(time(nullptr) - 30);
  const int64_t wait = retry_after(login("alice", "secret"));
  EXPECT_GE(wait, 1);
  EXPECT_LE(wait, 30);
  // The window has passed: the right password is taken, and a new
  // window holds five failures again, no more.
  open_windows_at(time(nullptr) - 61);
  EXPECT_EQ(login("alice", "secret").status, "200 OK");
  for (int i = 0; i < 5; ++i) EXPECT_EQ(login("alice", "wrong").status, "401 Unauthorized") << i;
  EXPECT_EQ(login("alice", "wrong").status, "429 Too Many Requests");
  EXPECT_EQ(login("nobody", "wrong").status, "401 Unauthorized");
}

// Twenty failures from one address, whatever names they tried, and the
// address is refused; IPv6 addresses count by their /64, IPv4 ones written
// in IPv6 as themselves. Other addresses, and requests the server gave no
// address for, are not held up.
TEST_F(Attempts, TwentyFailuresRefuseAnAddressWhateverTheNames) {
  struct Case {
    const char* from;
    std::vector<std::pair<const char*, const char*>> then;  // address, status of bob's right password
  };
  const Case cases[] = {
      {"192.0.2.7", {{"192.0.2.7", "429 Too Many Requests"}, {"::ffff:192.0.2.7", "429 Too Many Requests"},
                     {"192.0.2.8", "200 OK"}, {"", "200 OK"}}},
      {"2001:db8:0:1::a", {{"2001:db8:0:1::b", "429 Too Many Requests"}, {"2001:db8:0:1:ffff:1:2:3", "429 Too Many Requests"},
                           {"2001:db8:0:2::a", "200 OK"}}},
  };
  for (const Case& c : cases) {
    for (int i = 0; i < 20; ++i) {
      const std::string name = "user" + std::to_string(i);
      EXPECT_EQ(login(name, "wrong", c.from).status, "401 Unauthorized") << c.from << " " << i;
    }
    for (const auto& [address, status] : c.then) {
      EXPECT_EQ(login("bob", "secret", address).status, status) << c.from << " then " << address;
    }
  }
}

// Attempts that arrive at once for one name check it one after another,
// each seeing the failures before it: however many, no more than five get
// as far as bcrypt.
TEST_F(Attempts, AttemptsAtOnceGetNoMoreThanTheLimitThrough) {
  ASSERT_EQ(token_response("").status, "200 OK");  // the tree and its key made first: the burst is about counts
  const int n = 12;
  std::vector<Response> responses(n);
  std::vector<std::thread> threads;
  for (int i = 0; i < n; ++i) {
    threads.emplace_back([&, i] { responses[i] = login("alice", "wrong " + std::to_string(i)); });
  }
  for (std::thread& t : threads) t.join();
  std::vector<std::string> statuses;
  std::string all;
  for (const Response& r : responses) statuses.push_back(r.status), all += r.raw + r.err + "\n";
  EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "401 Unauthorized"), 5) << all;
  EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "429 Too Many Requests"), n - 5) << all;
}

// With every bucket full of other names' failures, new names still count
// (in place of the oldest single failures), and no bucket grows.
TEST_F(Attempts, TheStateStaysWithinItsBoundUnderManyNames) {
  ASSERT_EQ(token_response("").status, "200 OK");  // the key that keys the names
  make_dirs(dir());
  const int64_t now = time(nullptr);
  for (unsigned b = 0; b < REG_ATTEMPT_BUCKETS; ++b) {
    std::string text;
    for (unsigned i = 0; i < REG_ATTEMPT_BUCKET_CAP; ++i) {
      char line[80];
      std::snprintf(line, sizeof line, "%02x%030x %lld 1\n", b, i, static_cast<long long>(now - 10));
      text += line;
    }
    char name[3];
    std::snprintf(name, sizeof name, "%02x", b);
    write_bytes(dir() + "/" + name, text);
  }
  for (int i = 0; i < 20; ++i) {
    const std::string name = "many" + std::to_string(i);
    EXPECT_EQ(login(name, "wrong").status, "401 Unauthorized");
    const reg_attempt_key k = auth::name_key(key(), name);
    char bucket[3];
    std::snprintf(bucket, sizeof bucket, "%02x", k.bytes[0] % REG_ATTEMPT_BUCKETS);
    const std::string text = read_bytes(dir() + "/" + bucket);
    std::string hex;
    for (unsigned char c : k.bytes) {
      char two[3];
      std::snprintf(two, sizeof two, "%02x", c);
      hex += two;
    }
    EXPECT_NE(text.find(hex + " "), std::string::npos) << name;
  }
  for (int i = 0; i < 5; ++i) EXPECT_EQ(login("alice", "wrong").status, "401 Unauthorized");
  EXPECT_EQ(login("alice", "secret").status, "429 Too Many Requests");
  // A bucket file and a lock file at most per bucket, nothing else.
  for (const std::string& name : list_names(dir())) {
    EXPECT_TRUE(name.size() == 2 || (name.size() == 7 && name.substr(2) == ".lock")) << name;
  }
  EXPECT_EQ(buckets().size(), size_t{REG_ATTEMPT_BUCKETS});
  for (const std::string& b : buckets()) {
    const std::string text = read_bytes(dir() + "/" + b);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), REG_ATTEMPT_BUCKET_CAP) << b;
  }
}

// bcrypt reads 72 bytes: a longer password is refused whole, for every
// name alike and before any count, never cut to match a shorter one. A
// NUL byte in the credentials never gets past the header.
TEST_F(Attempts, PasswordsThatBcryptWouldCutAreRefused) {
  const std::string p72(72, 'p');
  char hash[128];
  ASSERT_TRUE(host::hash_password(p72, 4, hash, sizeof hash));
  write_bytes(root + "/auth/htpasswd", "alice:" + kSecretHash + "\nlong:" + std::string(hash) + "\n");
  const std::string too_long = "{\"errors\":[{\"code\":\"UNAUTHORIZED\",\"message\":\"a password longer than 72 bytes "
                               "(bcrypt reads no more)\"}]}\n";
  for (const char* user : {"long", "nobody"}) {
    for (const std::string& password : {p72 + "x", p72 + std::string(200, 'p')}) {
      const Response r = login(user, password);
      EXPECT_EQ(r.status, "401 Unauthorized");
      EXPECT_EQ(r.body, too_long);
      EXPECT_EQ(r.header("WWW-Authenticate"), "Basic realm=\"registry\"");
    }
  }
  const Response nul = login("alice", std::string("secret\0x", 8));
  EXPECT_EQ(nul.status, "401 Unauthorized");
  EXPECT_EQ(nul.body, "{\"errors\":[{\"code\":\"UNAUTHORIZED\",\"message\":\"malformed credentials\"}]}\n");
  EXPECT_EQ(state(), "") << "nothing was counted";
  EXPECT_EQ(login("long", p72).status, "200 OK");
}

// A throttle state that cannot be kept refuses Basic attempts with a 500
// and a line in the log; it never lets them through uncounted.
TEST_F(Attempts, AStateThatCannotBeKeptIs500) {
  write_bytes(dir(), "not a directory");
  const Response r = login("alice", "secret");
  EXPECT_EQ(r.status, "500 Internal Server Error");
  EXPECT_EQ(r.code(), "STORAGE_ERROR");
  EXPECT_NE(r.err.find("registry: password attempts GET"), std::string::npos) << r.err;
  EXPECT_EQ(token_response("scope=repository:public/x:pull").status, "200 OK") << "anonymous tokens need no count";
}

// ---- Settings that cannot be used ----------------------------------------------------------

TEST_F(AuthProgram, SettingsThatCannotBeUsedAre500AndALogLine) {
  struct Case {
    std::map<std::string, std::string> env;
    std::string log;
  };
  const Case cases[] = {
      {{{"REGISTRY_AUTH", "tokens"}}, "REGISTRY_AUTH is \"tokens\": off, token or remote-user"},
      {{{"REGISTRY_AUTH_TOKEN_TTL", "30"}}, "REGISTRY_AUTH_TOKEN_TTL is \"30\": seconds from 60 to 86400"},
      {{{"REGISTRY_AUTH_POLICY", root + "/none"}}, "cannot read the policy " + root + "/none"},
      {{{"REGISTRY_AUTH_KEY_FILE", root + "/none"}}, "no token key at " + root + "/none (REGISTRY_AUTH_KEY_FILE)"},
  };
  for (const Case& c : cases) {
    std::map<std::string, std::string> env = c.env;
    env["HTTP_AUTHORIZATION"] = basic("alice", "secret");
    const Response api = call("GET", "/v2/_catalog", "", "", env);
    const Response tok = call("GET", "", "", "", [&] {
      auto e = env;
      e["REQUEST_URI"] = "/auth/token";
      return e;
    }());
    EXPECT_EQ(tok.status, "500 Internal Server Error") << tok.raw;
    EXPECT_EQ(tok.body, "{\"errors\":[{\"code\":\"UNKNOWN\",\"message\":\"access control is not configured correctly\"}]}\n");
    EXPECT_NE(tok.err.find(c.log), std::string::npos) << tok.err;
    // The API reads the settings on every request; the files only once a
    // token has to be checked.
    if (c.env.count("REGISTRY_AUTH") + c.env.count("REGISTRY_AUTH_TOKEN_TTL") > 0) {
      EXPECT_EQ(api.status, "500 Internal Server Error") << api.raw;
      EXPECT_NE(api.err.find("registry: access control: GET /v2/_catalog: " + c.log), std::string::npos) << api.err;
    }
  }
  write_bytes(root + "/auth/policy", "alice ** pull\nbob **\n");
  const Response r = token_response("scope=repository:a:pull", basic("alice", "secret"));
  EXPECT_EQ(r.status, "500 Internal Server Error");
  EXPECT_NE(r.err.find("policy: line 2: a rule has three fields"), std::string::npos) << r.err;
  write_bytes(root + "/auth/policy", "");
  write_bytes(root + "/auth/htpasswd", "alice:plain\n");
  EXPECT_EQ(token_response("", basic("alice", "plain")).status, "500 Internal Server Error");
  // A configured key shorter than 32 bytes signs nothing.
  write_bytes(tmp / "short.key", "0123456789\n");
  EXPECT_EQ(call("GET", "", "", "", {{"REQUEST_URI", "/auth/token"}, {"REGISTRY_AUTH_KEY_FILE", tmp / "short.key"}}).status,
            "500 Internal Server Error");
}

}  // namespace
