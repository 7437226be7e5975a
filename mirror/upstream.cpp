// The upstream client, on libcurl.
#include "mirror/upstream.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/host.h"
#include "storage/reg_storage.h"
#include "yyjson.h"

namespace mirror {
namespace {

// The tokens upstreams gave the process, by upstream, credentials and
// scope: a FastCGI process keeps them from request to request.
struct Token {
  std::string value;
  int64_t expires = 0;
};
std::map<std::string, Token> g_tokens;

void init_curl_once() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string lower(std::string s) {
  for (char& ch : s) {
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
  }
  return s;
}

std::string trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == ' ' || s.back() == '\t')) s.pop_back();
  size_t i = 0;
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
  return s.substr(i);
}

bool printable(const std::string& s) {
  for (const char ch : s) {
    if (static_cast<unsigned char>(ch) < 0x20 || static_cast<unsigned char>(ch) > 0x7e) return false;
  }
  return true;
}

// One transfer's state: the reply as its headers arrive, the body.
struct Transfer {
  CURL* h = nullptr;
  curl_slist* headers = nullptr;
  Reply reply;
  std::string challenge;  // WWW-Authenticate
  size_t cap = 0;
  bool too_large = false;
  bool headers_done = false;
  bool streaming = false;
  std::string pending;  // streaming: bytes received and not yet read
  size_t taken = 0;

  ~Transfer() {
    if (h != nullptr) curl_easy_cleanup(h);
    curl_slist_free_all(headers);
  }
};

bool redirect(int status) { return status == 301 || status == 302 || status == 303 || status == 307 || status == 308; }

// The target of the link with rel="next" in a Link header's value, ""
// when there is none.
std::string next_link(const std::string& value) {
  size_t at = 0;
  while (at < value.size()) {
    const size_t open = value.find('<', at);
    const size_t close = open == std::string::npos ? open : value.find('>', open);
    if (close == std::string::npos) return "";
    size_t end = value.find(',', close);
    if (end == std::string::npos) end = value.size();
    std::string params = lower(value.substr(close + 1, end - close - 1));
    params.erase(std::remove(params.begin(), params.end(), ' '), params.end());
    if (params.find(";rel=\"next\"") != std::string::npos || params.find(";rel=next") != std::string::npos) {
      return value.substr(open + 1, close - open - 1);
    }
    at = end + 1;
  }
  return "";
}

size_t on_header(char* data, size_t size, size_t count, void* ctx) {
  auto* t = static_cast<Transfer*>(ctx);
  const size_t len = size * count;
  const std::string line(data, len);
  if (line.rfind("HTTP/", 0) == 0) {
    // A new answer (after a redirect, or a 100): its headers alone count.
    const size_t sp = line.find(' ');
    t->reply = Reply{};
    t->challenge.clear();
    if (sp != std::string::npos) t->reply.status = std::atoi(line.c_str() + sp + 1);
    return len;
  }
  if (line == "\r\n" || line == "\n") {
    const int s = t->reply.status;
    if (s >= 200 && !redirect(s)) t->headers_done = true;
    return len;
  }
  const size_t colon = line.find(':');
  if (colon == std::string::npos) return len;
  const std::string name = lower(line.substr(0, colon));
  const std::string value = trimmed(line.substr(colon + 1));
  if (name == "content-type") t->reply.content_type = value;
  if (name == "docker-content-digest") t->reply.digest = value;
  // Passed on to the client: only a value that cannot break a header.
  if (name == "retry-after" && printable(value)) t->reply.retry_after = value;
  if (name == "www-authenticate") t->challenge = value;
  if (name == "content-length") t->reply.length = std::strtoll(value.c_str(), nullptr, 10);
  if (name == "link") t->reply.next = next_link(value);
  return len;
}

size_t on_body(char* data, size_t size, size_t count, void* ctx) {
  auto* t = static_cast<Transfer*>(ctx);
  const size_t len = size * count;
  if (t->streaming) {
    if (t->taken == t->pending.size()) {
      t->pending.clear();
      t->taken = 0;
    }
    t->pending.append(data, len);
    return len;
  }
  if (t->reply.body.size() + len > t->cap) {
    t->too_large = true;
    return 0;  // ends the transfer
  }
  t->reply.body.append(data, len);
  return len;
}

// The parameters of a challenge: Bearer realm="...",service="...".
std::map<std::string, std::string> challenge_params(const std::string& c) {
  std::map<std::string, std::string> out;
  size_t i = c.find(' ');
  while (i != std::string::npos && i < c.size()) {
    while (i < c.size() && (c[i] == ' ' || c[i] == ',')) ++i;
    const size_t eq = c.find('=', i);
    if (eq == std::string::npos) break;
    const std::string key = lower(c.substr(i, eq - i));
    std::string value;
    size_t j = eq + 1;
    if (j < c.size() && c[j] == '"') {
      ++j;
      while (j < c.size() && c[j] != '"') {
        if (c[j] == '\\' && j + 1 < c.size()) ++j;
        value += c[j++];
      }
      ++j;
    } else {
      while (j < c.size() && c[j] != ',') value += c[j++];
    }
    out[key] = value;
    i = j;
  }
  return out;
}

std::string escaped(CURL* h, const std::string& s) {
  char* e = curl_easy_escape(h, s.data(), static_cast<int>(s.size()));
  std::string out = e != nullptr ? e : "";
  curl_free(e);
  return out;
}

}  // namespace

class Upstream::Stream {
 public:
  CURLM* multi = nullptr;
  Transfer t;
  bool done = false;
  CURLcode result = CURLE_OK;

  ~Stream() {
    if (multi != nullptr) {
      if (t.h != nullptr) curl_multi_remove_handle(multi, t.h);
      curl_multi_cleanup(multi);
    }
  }
};

namespace {

// A transfer of url made ready: redirects followed, TLS as configured, a
// transfer that stalls for a minute given up.
void prepare(Transfer* t, const settings::MirrorSettings& s, const std::string& url, bool head,
             const std::string& authorization, const char* accept) {
  init_curl_once();
  t->h = curl_easy_init();
  CURL* h = t->h;
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, 15L);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, 60L);
  curl_easy_setopt(h, CURLOPT_USERAGENT, "registry-mirror");
  if (!s.ca_file.empty()) curl_easy_setopt(h, CURLOPT_CAINFO, s.ca_file.c_str());
  if (head) curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, on_header);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, t);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, on_body);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, t);
  if (!authorization.empty()) t->headers = curl_slist_append(t->headers, authorization.c_str());
  if (accept != nullptr) t->headers = curl_slist_append(t->headers, (std::string("Accept: ") + accept).c_str());
  if (t->headers != nullptr) curl_easy_setopt(h, CURLOPT_HTTPHEADER, t->headers);
}

void perform(Transfer* t) {
  const CURLcode rc = curl_easy_perform(t->h);
  if (t->too_large) {
    t->reply.status = 0;
    t->reply.error = "upstream's answer is larger than " + std::to_string(t->cap) + " bytes";
  } else if (rc != CURLE_OK) {
    t->reply.status = 0;
    t->reply.error = curl_easy_strerror(rc);
  }
}

std::string basic_header(const settings::MirrorSettings& s) {
  const std::string pair = s.username + ":" + s.password;
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < pair.size(); i += 3) {
    const unsigned v = (static_cast<unsigned char>(pair[i]) << 16) | (static_cast<unsigned char>(pair[i + 1]) << 8) |
                       static_cast<unsigned char>(pair[i + 2]);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (i < pair.size()) {
    unsigned v = static_cast<unsigned char>(pair[i]) << 16;
    if (i + 1 < pair.size()) v |= static_cast<unsigned char>(pair[i + 1]) << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < pair.size() ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return "Authorization: Basic " + out;
}

std::string scope_of(const std::string& name) { return "repository:" + name + ":pull"; }

// Where a token is kept: one upstream's token is never shown to another,
// nor one user's used for another's.
std::string token_key(const settings::MirrorSettings& s, const std::string& name) {
  return s.upstream + '\n' + s.username + '\n' + scope_of(name);
}

}  // namespace

std::string Upstream::authorization(const std::string& name) {
  if (basic_) return basic_header(s_);
  const std::string key = token_key(s_, name);
  const int64_t now = host::now_seconds();
  auto it = g_tokens.find(key);
  if (it == g_tokens.end() || it->second.expires <= now) {
    // Another process of the mirror may have asked for it: in CGI mode
    // every request is a process, and a token per request would double
    // the round trips of a pull.
    std::vector<char> kept(65536);
    int64_t expires = 0;
    if (reg_mirror_token_get(key.data(), key.size(), now, kept.data(), kept.size(), &expires, nullptr) != 0) return "";
    it = g_tokens.insert_or_assign(key, Token{kept.data(), expires}).first;
  }
  return "Authorization: Bearer " + it->second.value;
}

bool Upstream::answer_challenge(const std::string& name, const std::string& challenge) {
  const std::string scheme = lower(challenge.substr(0, challenge.find(' ')));
  if (scheme == "basic") {
    if (s_.username.empty() || basic_) return false;
    basic_ = true;
    return true;
  }
  if (scheme != "bearer") return false;
  std::map<std::string, std::string> p = challenge_params(challenge);
  if (p["realm"].empty()) return false;
  const std::string& realm = p["realm"];
  Transfer t;
  t.cap = 65536;
  init_curl_once();
  CURL* probe = curl_easy_init();
  std::string url = realm + (realm.find('?') == std::string::npos ? "?" : "&");
  url += "service=" + escaped(probe, p["service"]) + "&scope=" + escaped(probe, scope_of(name));
  curl_easy_cleanup(probe);
  prepare(&t, s_, url, false, s_.username.empty() ? "" : basic_header(s_), nullptr);
  perform(&t);
  if (t.reply.status != 200) return false;
  yyjson_doc* doc = yyjson_read(t.reply.body.data(), t.reply.body.size(), 0);
  if (doc == nullptr) return false;
  yyjson_val* root = yyjson_doc_get_root(doc);
  yyjson_val* given = yyjson_obj_get(root, "token");
  if (!yyjson_is_str(given)) given = yyjson_obj_get(root, "access_token");
  const char* token = yyjson_get_str(given);
  const size_t len = yyjson_get_len(given);
  yyjson_val* expires_in = yyjson_obj_get(root, "expires_in");
  // A token without a lifetime lasts 60 seconds; it is dropped a little
  // before upstream would refuse it.
  int64_t lifetime = yyjson_is_int(expires_in) ? yyjson_get_sint(expires_in) : 60;
  if (lifetime < 10) lifetime = 10;
  const bool ok = token != nullptr && len != 0;
  if (ok) {
    const std::string key = token_key(s_, name);
    const int64_t expires = host::now_seconds() + lifetime - 5;
    g_tokens[key] = Token{std::string(token, len), expires};
    // Kept for the other processes; one that cannot be kept is only asked
    // for again by them.
    reg_mirror_token_put(key.data(), key.size(), token, len, expires, nullptr);
  }
  yyjson_doc_free(doc);
  return ok;
}

Reply Upstream::fetch(const std::string& name, const std::string& what, const char* accept, bool head, size_t cap) {
  return fetch_url(name, s_.upstream + "/v2/" + name + "/" + what, accept, head, cap);
}

Reply Upstream::fetch_next(const std::string& name, const std::string& what, const std::string& next,
                           const char* accept, size_t cap) {
  // scheme://host[:port] of upstream: a page named by its path alone is
  // upstream's, and one named whole must be too.
  const size_t host_at = s_.upstream.find("://") + 3;
  const std::string origin = s_.upstream.substr(0, s_.upstream.find('/', host_at));
  const std::string url = next.rfind('/', 0) == 0 ? origin + next : next;
  const std::string below = s_.upstream + "/v2/" + name + "/" + what;
  const bool printable_url = std::all_of(url.begin(), url.end(), [](char ch) {
    return static_cast<unsigned char>(ch) > 0x20 && ch != 0x7f;
  });
  if (!printable_url || url.compare(0, below.size(), below) != 0 ||
      (url.size() > below.size() && url[below.size()] != '?')) {
    Reply r;
    r.error = "upstream's next page is not its own: " + next.substr(0, 200);
    return r;
  }
  return fetch_url(name, url, accept, false, cap);
}

Reply Upstream::fetch_url(const std::string& name, const std::string& url, const char* accept, bool head,
                          size_t cap) {
  for (int attempt = 0;; ++attempt) {
    Transfer t;
    t.cap = cap;
    prepare(&t, s_, url, head, authorization(name), accept);
    perform(&t);
    if (t.reply.status == 401 && attempt == 0 && answer_challenge(name, t.challenge)) continue;
    return std::move(t.reply);
  }
}

Upstream::Stream* Upstream::open_stream(const std::string& name, const std::string& what) {
  auto* s = new Stream;
  s->t.streaming = true;
  prepare(&s->t, s_, s_.upstream + "/v2/" + name + "/" + what, false, authorization(name), nullptr);
  s->multi = curl_multi_init();
  curl_multi_add_handle(s->multi, s->t.h);
  return s;
}

namespace {

// Lets the transfer go as far as it can without waiting, noting when it
// has ended and how.
void step(Upstream::Stream* s) {
  int running = 0;
  curl_multi_perform(s->multi, &running);
  int left = 0;
  while (CURLMsg* m = curl_multi_info_read(s->multi, &left)) {
    if (m->msg == CURLMSG_DONE) {
      s->done = true;
      s->result = m->data.result;
    }
  }
}

}  // namespace

Reply Upstream::begin(Stream* s) {
  while (!s->t.headers_done && !s->done) {
    step(s);
    if (!s->done && !s->t.headers_done) curl_multi_poll(s->multi, nullptr, 0, 1000, nullptr);
  }
  Reply r = s->t.reply;
  if (!s->t.headers_done && s->result != CURLE_OK) {
    r.status = 0;
    r.error = curl_easy_strerror(s->result);
  }
  return r;
}

long Upstream::read(Stream* s, char* buf, size_t n) {
  for (;;) {
    Transfer& t = s->t;
    if (t.taken < t.pending.size()) {
      const size_t give = std::min(n, t.pending.size() - t.taken);
      std::memcpy(buf, t.pending.data() + t.taken, give);
      t.taken += give;
      return static_cast<long>(give);
    }
    if (s->done) return s->result == CURLE_OK ? 0 : -1;
    step(s);
    if (!s->done && t.taken == t.pending.size()) curl_multi_poll(s->multi, nullptr, 0, 1000, nullptr);
  }
}

void Upstream::close(Stream* s) { delete s; }

}  // namespace mirror
