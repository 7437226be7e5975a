// /v2/<name>/manifests/<reference>: GET, HEAD, PUT, DELETE.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "registry/events.h"
#include "registry/handlers.h"
#include "registry/mirror_hooks.h"
#include "registry/references.h"
#include "storage/reg_storage.h"

namespace registry {
namespace {

const FailureMap kManifestFailures{ApiError::kManifestInvalid, ApiError::kManifestUnknown};

// Not found: the repository, or the manifest in it.
void manifest_unknown(Call& c) {
  const std::string& name = c.req.route().name;
  const std::string why = c.st.message;
  if (reg_repository_exists(name.c_str(), &c.st) == 0) {
    return c.resp.error(ApiError::kNameUnknown, "repository name not known to registry: " + name);
  }
  c.resp.error(ApiError::kManifestUnknown, why);
}

void get_manifest(Call& c) {
  const Route& route = c.req.route();
  settings::MirrorTarget upstream;
  bool answered = false;
  if (mirrored(c, &upstream, &answered) && (answered || mirror_hooks()->manifest(c, upstream))) return;
  char content_type[REG_CONTENT_TYPE_CAP];
  char digest[REG_DIGEST_CAP];
  std::string body;
  if (reg_manifest_read(route.name.c_str(), route.reference.c_str(), append_to_string, &body, content_type, digest,
                        &c.st) != 0) {
    if (c.st.kind == REG_ERR_NOT_FOUND) return manifest_unknown(c);
    return c.engine_failure(kManifestFailures, "manifest get");
  }
  const size_t len = body.size();
  if (!c.resp.head()) {
    EventTarget pulled{content_type, digest, static_cast<int64_t>(len), ""};
    if (!is_digest_reference(route.reference)) pulled.tag = route.reference;
    if (!record_events(c, "pull", {pulled})) return;
  }
  c.resp.begin(200);
  c.resp.header("Content-Type", content_type);
  c.resp.header_number("Content-Length", static_cast<int64_t>(len));
  c.resp.header("Docker-Content-Digest", digest);
  c.resp.header("ETag", std::string("\"") + digest + "\"");
  c.resp.end_headers();
  if (!c.resp.head()) c.resp.write(body.data(), len);
  c.resp.flush();
}

// The request's Content-Type without parameters: the media type that is
// stored and served back.
std::string pushed_content_type(const Request& req) {
  std::string ct = req.var("CONTENT_TYPE");
  const size_t semi = ct.find(';');
  if (semi != std::string::npos) ct.resize(semi);
  while (!ct.empty() && (ct.back() == ' ' || ct.back() == '\t')) ct.pop_back();
  return ct;
}

// The body, whole, into *body; false once a refusal is written. Nothing
// larger than a manifest may be is ever read into memory.
bool read_manifest_body(Call& c, std::string* body) {
  cgi::Body in = c.req.open_body();
  const std::string too_large = "manifest larger than " + std::to_string(REG_MANIFEST_MAX) + " bytes";
  if (in.length > REG_MANIFEST_MAX) {
    cgi::close_body(&in);
    c.resp.error(ApiError::kTooLarge, too_large);
    return false;
  }
  char buf[65536];
  const int64_t limit = in.length >= 0 ? in.length : REG_MANIFEST_MAX + 1;
  while (static_cast<int64_t>(body->size()) < limit) {
    const size_t want = static_cast<size_t>(std::min<int64_t>(sizeof buf, limit - static_cast<int64_t>(body->size())));
    const size_t got = std::fread(buf, 1, want, in.stream);
    if (got == 0) break;
    body->append(buf, got);
  }
  cgi::close_body(&in);
  if (static_cast<int64_t>(body->size()) > REG_MANIFEST_MAX) {
    c.resp.error(ApiError::kTooLarge, too_large);
    return false;
  }
  if (in.length >= 0 && static_cast<int64_t>(body->size()) < in.length) {
    c.resp.error(ApiError::kManifestInvalid, "request body ended before its declared length");
    return false;
  }
  return true;
}

// The policy's fixed tags of one repository, asked by the engine under
// the repository's lock; the rule that fixed a refused tag is kept for the
// answer.
struct FixedTags {
  const auth::Policy* policy = nullptr;
  const std::string* name = nullptr;
  const auth::ImmutableRule* hit = nullptr;
  std::string tag;

  static int fixed(void* ctx, const char* tag) {
    FixedTags& f = *static_cast<FixedTags*>(ctx);
    const auth::ImmutableRule* r = auth::immutable_rule_for(*f.policy, *f.name, tag);
    if (r == nullptr) return 0;
    f.hit = r;
    f.tag = tag;
    return 1;
  }
};

// The answer to a change the engine refused for a fixed tag.
void tag_fixed(Call& c, const FixedTags& f) {
  std::string why = "tag " + f.tag + " of " + c.req.route().name + " is immutable";
  if (f.hit != nullptr) why += " (policy line " + std::to_string(f.hit->line) + ": " + f.hit->text + ")";
  c.resp.error(ApiError::kDenied, why);
}

void put_manifest(Call& c) {
  const Route& route = c.req.route();
  // ?tag=a&tag=b on a push by digest: the manifest and those tags at once.
  const std::vector<std::string> tags = c.req.params("tag");
  if (!tags.empty() && !is_digest_reference(route.reference)) {
    return c.resp.error(ApiError::kTagInvalid, "tags are given with a push by digest");
  }
  for (const std::string& t : tags) {
    if (!reference_form_ok(c, t.empty() ? std::string("-") : t)) return;
  }
  if (!events_usable(c)) return;
  auth::Policy own;
  FixedTags fixed;
  fixed.name = &route.name;
  if (!c.policy_in_force(&own, &fixed.policy)) return;
  std::string body;
  if (!read_manifest_body(c, &body)) return;
  const std::string ct = pushed_content_type(c.req);
  std::vector<const char*> tag_ptrs;
  for (const std::string& t : tags) tag_ptrs.push_back(t.c_str());
  char digest[REG_DIGEST_CAP];
  char subject[REG_DIGEST_CAP];
  if (reg_manifest_push_guarded(route.name.c_str(), route.reference.c_str(), body.data(), body.size(),
                                ct.empty() ? nullptr : ct.c_str(), tag_ptrs.data(), static_cast<int>(tag_ptrs.size()),
                                FixedTags::fixed, &fixed, digest, subject, &c.st) != 0) {
    if (c.st.kind == REG_ERR_FIXED) return tag_fixed(c, fixed);
    FailureMap map = kManifestFailures;
    map.unknown_reference = ApiError::kManifestBlobUnknown;
    return c.engine_failure(map, "manifest put");
  }
  // One event per tag it now names, as a push of each tag would give.
  std::vector<EventTarget> pushed;
  const std::vector<std::string>& named = is_digest_reference(route.reference) ? tags : std::vector<std::string>{route.reference};
  for (const std::string& t : named) pushed.push_back({ct, digest, static_cast<int64_t>(body.size()), t});
  if (pushed.empty()) pushed.push_back({ct, digest, static_cast<int64_t>(body.size()), ""});
  if (!record_events(c, "push", pushed)) return;
  std::vector<std::string> lines{"Location: /v2/" + route.name + "/manifests/" + digest,
                                 std::string("Docker-Content-Digest: ") + digest};
  if (subject[0] != '\0') lines.push_back(std::string("OCI-Subject: ") + subject);
  for (const std::string& t : tags) lines.push_back("OCI-Tag: " + t);
  c.resp.empty(201, lines);
}

void delete_manifest(Call& c) {
  const Route& route = c.req.route();
  if (!events_usable(c)) return;
  auth::Policy own;
  FixedTags fixed;
  fixed.name = &route.name;
  if (!c.policy_in_force(&own, &fixed.policy)) return;
  if (reg_manifest_remove_guarded(route.name.c_str(), route.reference.c_str(), FixedTags::fixed, &fixed, &c.st) != 0) {
    if (c.st.kind == REG_ERR_NOT_FOUND) return manifest_unknown(c);
    if (c.st.kind == REG_ERR_FIXED) return tag_fixed(c, fixed);
    return c.engine_failure(kManifestFailures, "manifest delete");
  }
  EventTarget gone;
  (is_digest_reference(route.reference) ? gone.digest : gone.tag) = route.reference;
  if (!record_events(c, "delete", {gone})) return;
  c.resp.empty(202, {});
}

}  // namespace

void handle_manifest(Call& c) {
  const std::string& m = c.req.method();
  if (m == "GET" || m == "HEAD") return get_manifest(c);
  if (m == "PUT") return put_manifest(c);
  delete_manifest(c);
}

}  // namespace registry
