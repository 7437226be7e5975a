// Signed tokens: make and check.
#include "access/auth_token.h"

#include <cstdio>
#include <cstring>

#include "access/base64.h"
#include "hash/hmac_sha256.h"
#include "text/json_escape.h"
#include "yyjson.h"

namespace auth {
namespace {

// {"alg":"HS256","typ":"JWT"}: the one header the registry writes and
// takes, compared as text, so no other algorithm ("none" among them) is
// ever considered.
constexpr char kHeader[] = "eyJhbGciOiJIUzI1NiIsInR5cCI6IkpXVCJ9";

// Tokens and their claims stay far below this; anything longer is not ours.
constexpr size_t kTokenMax = 64 * 1024;

struct ActionName {
  unsigned bit;
  const char* name;
};
constexpr ActionName kActionNames[] = {{kActionPull, "pull"}, {kActionPush, "push"}, {kActionDelete, "delete"}};

void append_json_string(std::string* out, const std::string& text) {
  out->push_back('"');
  text_json_escape_append(out, text);
  out->push_back('"');
}

std::string signature(const std::string& signing_input, const std::string& key) {
  uint8_t mac[32];
  hmac_sha256(key.data(), key.size(), signing_input.data(), signing_input.size(), mac);
  return std::string(reinterpret_cast<const char*>(mac), sizeof mac);
}

bool read_int(yyjson_val* v, int64_t* out) {
  if (yyjson_is_uint(v)) {
    const uint64_t u = yyjson_get_uint(v);
    if (u > static_cast<uint64_t>(INT64_MAX)) return false;
    *out = static_cast<int64_t>(u);
    return true;
  }
  if (yyjson_is_sint(v)) {
    *out = yyjson_get_sint(v);
    return true;
  }
  return false;
}

bool read_string(yyjson_val* v, std::string* out) {
  if (!yyjson_is_str(v)) return false;
  out->assign(yyjson_get_str(v), yyjson_get_len(v));
  return true;
}

}  // namespace

std::string actions_text(unsigned actions) {
  std::string out;
  for (const ActionName& a : kActionNames) {
    if ((actions & a.bit) == 0) continue;
    if (!out.empty()) out += ',';
    out += a.name;
  }
  return out;
}

std::string claims_json(const Claims& c) {
  std::string j = "{\"iss\":";
  append_json_string(&j, c.service);
  j += ",\"sub\":";
  append_json_string(&j, c.subject);
  j += ",\"aud\":";
  append_json_string(&j, c.service);
  j += ",\"iat\":" + std::to_string(c.issued) + ",\"exp\":" + std::to_string(c.expires) + ",\"access\":[";
  for (size_t i = 0; i < c.access.size(); ++i) {
    const Grant& g = c.access[i];
    if (i > 0) j += ',';
    j += "{\"type\":";
    append_json_string(&j, g.type);
    j += ",\"name\":";
    append_json_string(&j, g.name);
    j += ",\"actions\":[";
    if (g.type == "registry") {
      if (g.actions == kActionsAll) j += "\"*\"";
    } else {
      bool first = true;
      for (const ActionName& a : kActionNames) {
        if ((g.actions & a.bit) == 0) continue;
        if (!first) j += ',';
        first = false;
        j += '"';
        j += a.name;
        j += '"';
      }
    }
    j += "]}";
  }
  j += "]}";
  return j;
}

bool parse_claims(const std::string& json, Claims* out) {
  yyjson_doc* doc = yyjson_read(json.data(), json.size(), YYJSON_READ_NOFLAG);
  if (doc == nullptr) return false;
  Claims c;
  yyjson_val* root = yyjson_doc_get_root(doc);
  std::string audience;
  bool ok = yyjson_is_obj(root) && read_string(yyjson_obj_get(root, "sub"), &c.subject) &&
            read_string(yyjson_obj_get(root, "aud"), &c.service) &&
            read_int(yyjson_obj_get(root, "iat"), &c.issued) && read_int(yyjson_obj_get(root, "exp"), &c.expires);
  yyjson_val* access = ok ? yyjson_obj_get(root, "access") : nullptr;
  ok = ok && yyjson_is_arr(access);
  if (ok) {
    size_t i, n;
    yyjson_val* entry;
    yyjson_arr_foreach(access, i, n, entry) {
      Grant g;
      yyjson_val* actions = yyjson_obj_get(entry, "actions");
      if (!yyjson_is_obj(entry) || !read_string(yyjson_obj_get(entry, "type"), &g.type) ||
          !read_string(yyjson_obj_get(entry, "name"), &g.name) || !yyjson_is_arr(actions)) {
        ok = false;
        break;
      }
      size_t j, m;
      yyjson_val* action;
      yyjson_arr_foreach(actions, j, m, action) {
        if (!yyjson_is_str(action)) {
          ok = false;
          break;
        }
        const char* s = yyjson_get_str(action);
        if (std::strcmp(s, "*") == 0) g.actions |= kActionsAll;
        for (const ActionName& a : kActionNames) {
          if (std::strcmp(s, a.name) == 0) g.actions |= a.bit;
        }
      }
      if (!ok) break;
      c.access.push_back(std::move(g));
    }
  }
  yyjson_doc_free(doc);
  if (ok) *out = std::move(c);
  return ok;
}

std::string make_token(const Claims& claims, const std::string& key) {
  std::string input = kHeader;
  input += '.';
  input += base64url_encode(claims_json(claims));
  const std::string sig = base64url_encode(signature(input, key));
  return input + "." + sig;
}

TokenCheck check_token(const std::string& token, const std::string& key, const std::string& service, int64_t now,
                       Claims* out) {
  if (token.size() > kTokenMax) return TokenCheck::kMalformed;
  const size_t first = token.find('.');
  const size_t second = first == std::string::npos ? first : token.find('.', first + 1);
  if (second == std::string::npos || token.find('.', second + 1) != std::string::npos) return TokenCheck::kMalformed;
  if (token.compare(0, first, kHeader) != 0 || first != sizeof kHeader - 1) return TokenCheck::kMalformed;
  std::string sig;
  if (!base64url_decode(token.substr(second + 1), &sig) || sig.size() != 32) return TokenCheck::kMalformed;
  const std::string expected = signature(token.substr(0, second), key);
  if (bytes_equal_ct(expected.data(), sig.data(), sig.size()) == 0) return TokenCheck::kBadSignature;
  std::string json;
  Claims c;
  if (!base64url_decode(token.substr(first + 1, second - first - 1), &json) || !parse_claims(json, &c)) {
    return TokenCheck::kMalformed;
  }
  if (c.service != service) return TokenCheck::kOtherService;
  if (now >= c.expires) return TokenCheck::kExpired;
  *out = std::move(c);
  return TokenCheck::kValid;
}

const Grant* find_grant(const Claims& claims, const std::string& type, const std::string& name) {
  for (const Grant& g : claims.access) {
    if (g.type == type && g.name == name) return &g;
  }
  return nullptr;
}

}  // namespace auth
