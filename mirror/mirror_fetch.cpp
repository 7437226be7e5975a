// Fetching what a mirrored repository lacks: manifests by digest once,
// tags again when their time to live has passed, blobs streamed to the
// client while they are stored, by one process at a time.
#include "mirror/mirror_fetch.h"

#include <cstdio>
#include <string>
#include <vector>

#include "mirror/upstream.h"
#include "platform/host.h"
#include "registry/handlers.h"
#include "registry/mirror_hooks.h"
#include "registry/references.h"
#include "storage/reg_storage.h"
#include "yyjson.h"

namespace mirror {
namespace {

using registry::ApiError;
using registry::Call;

constexpr const char kManifestTypes[] =
    "application/vnd.oci.image.index.v1+json, application/vnd.oci.image.manifest.v1+json, "
    "application/vnd.docker.distribution.manifest.list.v2+json, "
    "application/vnd.docker.distribution.manifest.v2+json";

std::string media_type(const std::string& content_type) {
  std::string ct = content_type.substr(0, content_type.find(';'));
  while (!ct.empty() && (ct.back() == ' ' || ct.back() == '\t')) ct.pop_back();
  return ct;
}

// Upstream's failure as this registry's error: what it does not hold is
// unknown here; being busy or broken is a failure the client may retry,
// after the time upstream asked for.
void answer_upstream_failure(Call& c, const Reply& r, ApiError unknown, const std::string& what) {
  std::vector<std::string> extra;
  if (!r.retry_after.empty()) extra.push_back("Retry-After: " + r.retry_after);
  if (r.status == 404) return c.resp.error(unknown, what + " is not known upstream");
  if (r.status == 429) return c.resp.error(ApiError::kTooManyRequests, "upstream asks for fewer requests", extra);
  std::string why = r.status == 0 ? r.error : "upstream answered " + std::to_string(r.status);
  c.log_failure("mirror", what + ": " + why);
  if (r.status == 401 || r.status == 403) why = "upstream refused the mirror's credentials";
  c.resp.error(ApiError::kUpstreamUnavailable, "cannot fetch " + what + " from upstream: " + why, extra);
}

// The digest of the manifest that reference names, when it is stored.
std::string stored_manifest_digest(Call& c) {
  const registry::Route& route = c.req.route();
  std::string body;
  char ct[REG_CONTENT_TYPE_CAP];
  char digest[REG_DIGEST_CAP];
  reg_status st{};
  if (reg_manifest_read(route.name.c_str(), route.reference.c_str(), registry::append_to_string, &body, ct, digest,
                        &st) != 0) {
    return "";
  }
  return digest;
}

// Stores upstream's manifest under the request's reference: a digest must
// be the body's (the engine checks it), a tag then names it. false once
// an answer is written.
bool store_manifest(Call& c, const Reply& r) {
  const registry::Route& route = c.req.route();
  char digest[REG_DIGEST_CAP];
  const std::string ct = media_type(r.content_type);
  if (reg_manifest_put(route.name.c_str(), route.reference.c_str(), r.body.data(), r.body.size(),
                       ct.empty() ? nullptr : ct.c_str(), digest) != 0) {
    c.log_failure("mirror", "upstream's manifest for " + route.reference + " cannot be stored");
    c.resp.error(ApiError::kUpstreamUnavailable, "upstream's manifest " + route.reference + " cannot be stored");
    return false;
  }
  if (!r.digest.empty() && r.digest != digest) {
    c.log_failure("mirror", "upstream named " + r.digest + " for a manifest whose digest is " + digest);
  }
  return true;
}

bool fetch_manifest(Call& c, const settings::MirrorTarget& t) {
  const registry::Route& route = c.req.route();
  const std::string& upstream_name = t.name;
  Upstream up(*t.mirror);
  const std::string what = "manifest " + upstream_name + ":" + route.reference;
  const std::string stored = stored_manifest_digest(c);
  if (registry::is_digest_reference(route.reference)) {
    // Content by digest never changes: what is stored is served.
    if (!stored.empty()) return false;
    Reply r = up.fetch(upstream_name, "manifests/" + route.reference, kManifestTypes, false, REG_MANIFEST_MAX);
    if (r.status != 200) return answer_upstream_failure(c, r, ApiError::kManifestUnknown, what), true;
    return !store_manifest(c, r);
  }
  const int64_t age = reg_mirror_tag_checked_age(route.name.c_str(), route.reference.c_str(), host::now_seconds(), nullptr);
  if (!stored.empty() && age >= 0 && age < t.mirror->tag_ttl) return false;
  if (!stored.empty()) {
    // Older than its time to live: a HEAD tells whether it moved. An
    // upstream that cannot say leaves the stored tag served.
    const Reply head = up.fetch(upstream_name, "manifests/" + route.reference, kManifestTypes, true, 0);
    if (head.status != 200 || head.digest.empty()) {
      c.log_failure("mirror", what + ": served as stored, upstream " +
                                  (head.status == 0 ? head.error : "answered " + std::to_string(head.status)));
      return false;
    }
    if (head.digest == stored) {
      reg_mirror_tag_mark_checked(route.name.c_str(), route.reference.c_str(), nullptr);
      return false;
    }
  }
  Reply r = up.fetch(upstream_name, "manifests/" + route.reference, kManifestTypes, false, REG_MANIFEST_MAX);
  if (r.status != 200) {
    if (!stored.empty() && r.status != 404) return false;
    return answer_upstream_failure(c, r, ApiError::kManifestUnknown, what), true;
  }
  if (!store_manifest(c, r)) return true;
  reg_mirror_tag_mark_checked(route.name.c_str(), route.reference.c_str(), nullptr);
  return false;
}

// A manifest served is recorded as pulled, so that gc can tell the
// content nobody asks for any more.
bool manifest_hook(Call& c, const settings::MirrorTarget& t) {
  if (fetch_manifest(c, t)) return true;
  const std::string& reference = c.req.route().reference;
  const std::string digest = registry::is_digest_reference(reference) ? reference : stored_manifest_digest(c);
  if (!digest.empty()) reg_mirror_mark_pulled(c.req.route().name.c_str(), digest.c_str(), nullptr);
  return false;
}

// A HEAD of a blob not stored: upstream's answer, nothing fetched.
bool blob_head(Call& c, Upstream& up, const std::string& upstream_name) {
  const std::string& digest = c.req.route().reference;
  const Reply r = up.fetch(upstream_name, "blobs/" + digest, nullptr, true, 0);
  if (r.status != 200) return answer_upstream_failure(c, r, ApiError::kBlobUnknown, "blob " + digest), true;
  c.resp.begin(200);
  c.resp.header("Content-Type", "application/octet-stream");
  c.resp.header("Docker-Content-Digest", digest);
  if (r.length >= 0) c.resp.header_number("Content-Length", r.length);
  c.resp.end_headers();
  c.resp.flush();
  return true;
}

// Upstream's bytes on their way into the upload, passed on to the client
// one piece late: the last piece goes only once the whole blob has been
// seen to hash to its digest, so a client never receives all of a blob
// that is not the one it asked for. Not sooner, either: a web server may
// end the program as soon as the declared length has gone out (lighttpd
// does), which would leave the upload unfinished.
struct Tee {
  Upstream* up;
  Upstream::Stream* stream;
  registry::Response* resp;
  std::string held_back;
};

long tee_read(void* ctx, char* buf, size_t n) {
  auto* t = static_cast<Tee*>(ctx);
  const long got = t->up->read(t->stream, buf, n);
  if (got > 0) {
    if (!t->held_back.empty()) t->resp->write(t->held_back.data(), t->held_back.size());
    t->held_back.assign(buf, static_cast<size_t>(got));
  }
  return got;
}

// The fetch itself, under the blob's fetch lock. true once answered.
bool fetch_blob(Call& c, Upstream& up, const std::string& upstream_name) {
  const registry::Route& route = c.req.route();
  const std::string& digest = route.reference;
  const std::string what = "blob " + digest;
  // Asks first with a HEAD: the credentials are settled, and a blob
  // upstream lacks is answered before anything is started here.
  const Reply probe = up.fetch(upstream_name, "blobs/" + digest, nullptr, true, 0);
  if (probe.status != 200) return answer_upstream_failure(c, probe, ApiError::kBlobUnknown, what), true;
  char uuid[37];  // an upload identifier and its NUL
  if (reg_upload_start(route.name.c_str(), nullptr, uuid, &c.st) != 0) {
    return c.engine_failure({ApiError::kDigestInvalid, ApiError::kBlobUnknown}, "mirror blob"), true;
  }
  reg_upload* upload = reg_upload_hold(route.name.c_str(), uuid, &c.st);
  if (upload == nullptr) return c.engine_failure({ApiError::kDigestInvalid, ApiError::kBlobUnknown}, "mirror blob"), true;
  Upstream::Stream* stream = up.open_stream(upstream_name, "blobs/" + digest);
  const Reply r = up.begin(stream);
  if (r.status != 200) {
    up.close(stream);
    reg_upload_held_cancel(upload, nullptr);
    reg_upload_release(upload);
    return answer_upstream_failure(c, r, ApiError::kBlobUnknown, what), true;
  }
  c.resp.begin(200);
  c.resp.header("Content-Type", "application/octet-stream");
  c.resp.header("Docker-Content-Digest", digest);
  c.resp.header("ETag", "\"" + digest + "\"");
  if (r.length >= 0) c.resp.header_number("Content-Length", r.length);
  c.resp.end_headers();
  Tee tee{&up, stream, &c.resp, {}};
  FILE* in = host::reader_stream(tee_read, &tee);
  bool stored = false;
  if (in != nullptr && reg_upload_held_append(upload, in, -1, -1, 0, &c.st) == 0 &&
      (r.length < 0 || reg_upload_held_size(upload) == r.length)) {
    char got[REG_DIGEST_CAP];
    stored = reg_upload_held_finish(upload, digest.c_str(), got, &c.st) == 0;
    if (!stored) c.log_failure("mirror", what + ": upstream's bytes were refused: " + c.st.message);
  } else {
    c.log_failure("mirror", what + ": upstream's answer did not arrive whole");
    reg_upload_held_cancel(upload, nullptr);
  }
  if (in != nullptr) std::fclose(in);
  up.close(stream);
  reg_upload_release(upload);
  // A blob that was not stored leaves its answer short of its length:
  // the client sees the failure and asks again.
  if (stored) c.resp.write(tee.held_back.data(), tee.held_back.size());
  c.resp.flush();
  return true;
}

bool blob_hook(Call& c, const settings::MirrorTarget& t) {
  const registry::Route& route = c.req.route();
  const std::string& upstream_name = t.name;
  Upstream up(*t.mirror);
  if (c.resp.head()) return blob_head(c, up, upstream_name);
  FILE* lock = reg_mirror_fetch_lock_open(route.reference.c_str(), &c.st);
  if (lock == nullptr) return c.engine_failure({ApiError::kDigestInvalid, ApiError::kBlobUnknown}, "mirror lock"), true;
  // One process fetches; the others wait for it, then serve what it
  // stored (or, where it failed, fetch in their turn).
  if (!host::lock_file(lock)) {
    std::fclose(lock);
    c.log_failure("mirror", host::with_last_error("cannot lock the blob's fetch"));
    c.resp.error(ApiError::kStorage, "Storage failure");
    return true;
  }
  // Stored meanwhile, for this repository or another.
  if (reg_repo_blob_link(route.name.c_str(), route.reference.c_str(), nullptr) == 0) {
    std::fclose(lock);
    return false;
  }
  const bool answered = fetch_blob(c, up, upstream_name);
  std::fclose(lock);
  return answered;
}

constexpr const char kIndexType[] = "application/vnd.oci.image.index.v1+json";
// Pages of one referrers list read from upstream at most: a bound for an
// upstream whose pages never end.
constexpr int kReferrerPagesMax = 100;

// The digests of the manifests an index lists, those of valid form only:
// upstream's word decides what is asked of it next, never a path here.
std::vector<std::string> listed_digests(const std::string& index) {
  std::vector<std::string> out;
  yyjson_doc* doc = yyjson_read(index.data(), index.size(), 0);
  if (doc == nullptr) return out;
  yyjson_val* manifests = yyjson_obj_get(yyjson_doc_get_root(doc), "manifests");
  size_t i = 0;
  size_t count = 0;
  yyjson_val* entry = nullptr;
  yyjson_arr_foreach(manifests, i, count, entry) {
    yyjson_val* d = yyjson_obj_get(entry, "digest");
    if (!yyjson_is_str(d)) continue;
    const std::string digest(yyjson_get_str(d), yyjson_get_len(d));
    if (reg_digest_valid(digest.data(), digest.size()) != 0) out.push_back(digest);
  }
  yyjson_doc_free(doc);
  return out;
}

bool manifest_stored(const std::string& name, const std::string& digest) {
  std::string body;
  char ct[REG_CONTENT_TYPE_CAP];
  char got[REG_DIGEST_CAP];
  return reg_manifest_read(name.c_str(), digest.c_str(), registry::append_to_string, &body, ct, got, nullptr) == 0;
}

// Upstream's referrers of digest as an index: from its referrers API, or,
// from a registry without one, the index tagged <alg>-<hex> that clients
// keep there instead. Neither there: an empty list, not a failure.
Reply upstream_referrers(Upstream& up, const std::string& upstream_name, const std::string& digest) {
  Reply r = up.fetch(upstream_name, "referrers/" + digest, kIndexType, false, REG_MANIFEST_MAX);
  // A registry without the API answers 404, or something that is not an
  // index (a page of its own, an error body with 200).
  if (r.status == 404 || (r.status == 200 && media_type(r.content_type) != kIndexType)) {
    std::string tag = digest;
    tag[tag.find(':')] = '-';
    r = up.fetch(upstream_name, "manifests/" + tag, kIndexType, false, REG_MANIFEST_MAX);
    if (r.status == 404) {
      r = Reply{};
      r.status = 200;
      r.body = "{}";
    }
  }
  return r;
}

// Stores the manifest digest of upstream's repository here, by its digest
// (the engine checks the body against it, and records it as a referrer of
// its subject). false when it could not be.
bool store_listed_manifest(Call& c, Upstream& up, const std::string& upstream_name, const std::string& digest) {
  const std::string& name = c.req.route().name;
  if (manifest_stored(name, digest)) return true;
  // Listed is as good as pulled: it starts its age for gc now.
  reg_mirror_mark_pulled(name.c_str(), digest.c_str(), nullptr);
  const Reply r = up.fetch(upstream_name, "manifests/" + digest, kManifestTypes, false, REG_MANIFEST_MAX);
  const std::string ct = media_type(r.content_type);
  char got[REG_DIGEST_CAP];
  if (r.status == 200 && reg_manifest_put(name.c_str(), digest.c_str(), r.body.data(), r.body.size(),
                                          ct.empty() ? nullptr : ct.c_str(), got) == 0) {
    return true;
  }
  c.log_failure("mirror", "referrer " + digest + " of " + c.req.route().reference + " cannot be fetched: " +
                              (r.status == 0 ? r.error : "upstream answered " + std::to_string(r.status)));
  return false;
}

bool referrers_hook(Call& c, const settings::MirrorTarget& t) {
  const registry::Route& route = c.req.route();
  const std::string& upstream_name = t.name;
  const std::string& digest = route.reference;
  // A list asked for within the tags' time to live is served as stored:
  // referrers, like tags, are added upstream after the fact.
  const int64_t age = reg_mirror_referrers_checked_age(route.name.c_str(), digest.c_str(), host::now_seconds(), nullptr);
  if (age >= 0 && age < t.mirror->tag_ttl) return false;
  Upstream up(*t.mirror);
  const Reply r = upstream_referrers(up, upstream_name, digest);
  const std::string what = "referrers of " + upstream_name + "@" + digest;
  if (r.status != 200) {
    // Asked for before: what was stored then is served.
    if (age >= 0) {
      c.log_failure("mirror", what + ": served as stored, upstream " +
                                  (r.status == 0 ? r.error : "answered " + std::to_string(r.status)));
      return false;
    }
    return answer_upstream_failure(c, r, ApiError::kManifestUnknown, what), true;
  }
  // A long list comes in pages, each naming the next in its Link.
  std::vector<std::string> listed = listed_digests(r.body);
  bool all = true;
  std::string next = r.next;
  for (int page = 1; !next.empty(); ++page) {
    if (page == kReferrerPagesMax) {
      c.log_failure("mirror", what + ": more than " + std::to_string(kReferrerPagesMax) + " pages, the rest not read");
      break;
    }
    const Reply more = up.fetch_next(upstream_name, "referrers/" + digest, next, kIndexType, REG_MANIFEST_MAX);
    if (more.status != 200) {
      c.log_failure("mirror", what + ": page " + std::to_string(page + 1) + " not read, upstream " +
                                  (more.status == 0 ? more.error : "answered " + std::to_string(more.status)));
      all = false;
      break;
    }
    for (std::string& d : listed_digests(more.body)) listed.push_back(std::move(d));
    next = more.next;
  }
  for (const std::string& d : listed) all = store_listed_manifest(c, up, upstream_name, d) && all;
  // One that could not be stored is asked for again by the next request.
  if (all) reg_mirror_referrers_mark_checked(route.name.c_str(), digest.c_str(), nullptr);
  return false;
}

const registry::MirrorHooks kHooks{manifest_hook, blob_hook, referrers_hook};

}  // namespace

void install() { registry::install_mirror_hooks(&kHooks); }

}  // namespace mirror
