// Blob uploads: POST /v2/<name>/blobs/uploads/ (a session, a monolithic
// upload with ?digest=, or a mount with ?mount=&from=), and the session at
// /v2/<name>/blobs/uploads/<id>: GET, PATCH, PUT, DELETE.
#include <cinttypes>
#include <cstdio>
#include <string>

#include "registry/byte_ranges.h"
#include "registry/handlers.h"
#include "registry/references.h"
#include "storage/reg_storage.h"

namespace registry {
namespace {

const FailureMap kSessionFailures{ApiError::kBlobUploadInvalid, ApiError::kBlobUploadUnknown};

// "Range: 0-<last byte>", as docker parses it ("0-0" while empty).
std::string range_line(int64_t size) {
  char line[64];
  std::snprintf(line, sizeof line, "Range: 0-%" PRId64, size > 0 ? size - 1 : 0);
  return line;
}

void answer_session(Call& c, int status, const std::string& id, int64_t size) {
  c.resp.empty(status, {"Location: /v2/" + c.req.route().name + "/blobs/uploads/" + id, range_line(size),
                        "Docker-Upload-UUID: " + id});
}

// The repository's byte limit: the policy's first quota line for its name,
// from the policy access control read, or from the file read here, since
// quotas hold in every mode of access control.
class Quota {
 public:
  // false once a refusal is written.
  bool load(Call& c) {
    const auth::Policy* policy = nullptr;
    if (!c.policy_in_force(&own_, &policy)) return false;
    rule_ = auth::quota_rule_for(*policy, c.req.route().name);
    if (rule_ != nullptr) limits_.limit = rule_->bytes;
    return true;
  }
  bool limited() const { return rule_ != nullptr; }
  // What the engine checks under the repository's lock; null: no limit.
  reg_quota* engine() { return limited() ? &limits_ : nullptr; }
  // false once a refusal is written: the repository is at its limit or
  // past it (a limit lowered below what it holds), so no blob that costs
  // a byte can be added. A look before a session is made, not under the
  // lock: the finish decides.
  bool has_room(Call& c) {
    if (!limited()) return true;
    if (reg_repo_usage(c.req.route().name.c_str(), &limits_.usage, &c.st) != 0) {
      c.engine_failure(kSessionFailures, "repository usage");
      return false;
    }
    if (limits_.usage < limits_.limit) return true;
    refuse(c, nullptr);
    return false;
  }
  // The answer to a blob refused for the limit, naming what it adds
  // (what: null when nothing in particular).
  void refuse(Call& c, const char* what) const {
    std::string why = "quota exceeded for " + c.req.route().name + ": " + std::to_string(limits_.usage) + " bytes used";
    why += what != nullptr ? " + " + std::to_string(limits_.adding) + " bytes of " + what + " > limit "
                           : std::string(", the limit is ");
    why += std::to_string(limits_.limit) + " bytes (policy line " + std::to_string(rule_->line) + ": " + rule_->text +
           ")";
    c.resp.error(ApiError::kDenied, why);
  }

 private:
  auth::Policy own_;
  const auth::QuotaRule* rule_ = nullptr;
  reg_quota limits_{-1, 0, 0};
};

void answer_blob_created(Call& c, const std::string& digest) {
  c.resp.empty(201, {"Location: /v2/" + c.req.route().name + "/blobs/" + digest, "Docker-Content-Digest: " + digest});
}

// The upload a request works on, held from the first look at it until the
// request answers: its name, identifier and mark are checked once, and no
// other request appends to it, finishes it or cancels it meanwhile. It is
// let go before any answer is written, so that what it keeps for the next
// request is in place before the client can send that request.
class HeldUpload {
 public:
  HeldUpload() = default;
  HeldUpload(const HeldUpload&) = delete;
  HeldUpload& operator=(const HeldUpload&) = delete;
  ~HeldUpload() { reg_upload_release(held_); }

  // false once the refusal is written.
  bool hold(Call& c, const std::string& id) {
    held_ = reg_upload_hold(c.req.route().name.c_str(), id.c_str(), &c.st);
    if (held_ != nullptr) return true;
    FailureMap map = kSessionFailures;
    map.invalid = ApiError::kBlobUploadUnknown;  // an identifier of no session's form
    c.engine_failure(map, "blob upload");
    return false;
  }
  reg_upload* get() const { return held_; }
  int64_t size() const { return reg_upload_held_size(held_); }
  void release() {
    reg_upload_release(held_);
    held_ = nullptr;
  }

 private:
  reg_upload* held_ = nullptr;
};

// Appends the request body to the upload: all of it, or, with a
// Content-Range, the chunk that must start where the upload ends. false
// once a refusal is written.
bool append_body(Call& c, HeldUpload& upload) {
  cgi::Body in = c.req.open_body();
  int64_t at = -1;
  int64_t chunk = -1;  // the bytes a Content-Range names
  const std::string content_range = c.req.var("HTTP_CONTENT_RANGE");
  if (!content_range.empty()) {
    int64_t first = 0, last = 0;
    if (!parse_content_range(content_range.c_str(), &first, &last)) {
      cgi::close_body(&in);
      upload.release();
      c.resp.error(ApiError::kRangeInvalid, "invalid Content-Range: " + content_range);
      return false;
    }
    at = first;
    chunk = last - first + 1;
    // A range and a body of two lengths cannot both be right: nothing of
    // such a chunk is taken.
    if (in.length >= 0 && in.length != chunk) {
      cgi::close_body(&in);
      upload.release();
      c.resp.error(ApiError::kRangeInvalid, "the chunk holds " + std::to_string(in.length) +
                                                " bytes, its range names " + std::to_string(chunk));
      return false;
    }
  }
  // A body of no declared length is read to its end, and must then hold
  // exactly what its range names.
  const bool exact = in.length < 0 && chunk >= 0;
  const int rc = reg_upload_held_append(upload.get(), in.stream, exact ? chunk : in.length, at, exact ? 1 : 0, &c.st);
  cgi::close_body(&in);
  if (rc != 0) {
    upload.release();
    c.engine_failure(kSessionFailures, "blob upload append");
    return false;
  }
  return true;
}

void finish(Call& c, HeldUpload& upload, const std::string& digest, Quota& quota) {
  char out[REG_DIGEST_CAP];
  const int rc = reg_upload_held_finish_within(upload.get(), digest.c_str(), out, quota.engine(), &c.st);
  upload.release();
  if (rc != 0) {
    if (c.st.kind == REG_ERR_QUOTA) return quota.refuse(c, "this blob");
    FailureMap map = kSessionFailures;
    map.invalid = ApiError::kDigestInvalid;
    return c.engine_failure(map, "blob upload finish");
  }
  answer_blob_created(c, digest);
}

// The digest a finish names, checked before any byte is read; false once
// the refusal is written (after the upload, if one is held, is let go).
bool digest_parameter(Call& c, std::string* digest, HeldUpload* upload = nullptr) {
  bool present = false;
  *digest = c.req.param("digest", &present);
  if (present && digest_form_valid(*digest)) return true;
  if (upload != nullptr) upload->release();
  c.resp.error(ApiError::kDigestInvalid, "invalid digest: " + *digest);
  return false;
}

}  // namespace

void handle_upload_start(Call& c) {
  const std::string& name = c.req.route().name;
  bool mount_given = false;
  const std::string mount = c.req.param("mount", &mount_given);
  const std::string from = c.req.param("from");
  // The source of a mount is a repository name like any other, looked at
  // whole: one of no repository's form is never looked up or granted, and
  // the client gets a session, as for any mount that cannot be made. A
  // user who may not pull `from` gets a session too, whether it holds the
  // blob or not: nothing tells them which.
  Quota quota;
  if (!quota.load(c)) return;
  if (mount_given && digest_form_valid(mount) && auth::may_pull(c.access, from)) {
    // Mounted when `from` holds the blob; otherwise an ordinary session,
    // as clients expect. A mount past the limit is refused outright: a
    // session instead would only have the client send the blob to be
    // refused at its end.
    if (reg_repo_blob_mount_within(name.c_str(), from.c_str(), mount.c_str(), quota.engine(), &c.st) == 0) {
      return answer_blob_created(c, mount);
    }
    if (c.st.kind == REG_ERR_QUOTA) return quota.refuse(c, "the mounted blob");
    if (c.st.kind == REG_ERR_STORAGE) return c.engine_failure(kSessionFailures, "blob mount");
  }
  bool monolithic = false;
  c.req.param("digest", &monolithic);
  std::string digest;
  if (monolithic && !digest_parameter(c, &digest)) return;
  // A session whose digest will be of the algorithm named.
  bool declared = false;
  const std::string algorithm = c.req.param("digest-algorithm", &declared);
  if (declared && algorithm != "sha256" && algorithm != "sha512") {
    return c.resp.error(ApiError::kDigestInvalid, "unsupported digest algorithm: " + algorithm);
  }
  // A repository at its limit gets no session for bytes that could never
  // be kept. Chunks are not looked at: the finish decides, where the
  // digest is known (a blob the repository links already costs nothing)
  // and the repository is locked. A refusal before a chunk is read also
  // stalls skopeo behind nginx streaming bodies to the FastCGI program
  // until the body timeout ends the wait for the rest of it (two minutes
  // for an image, against under two seconds when the finish refuses).
  if (!monolithic && !quota.has_room(c)) return;
  char id[37];
  if (reg_upload_start(name.c_str(), declared ? algorithm.c_str() : nullptr, id, &c.st) != 0) {
    return c.engine_failure(kSessionFailures, "blob upload start");
  }
  if (monolithic) {
    HeldUpload upload;
    if (upload.hold(c, id) && append_body(c, upload)) finish(c, upload, digest, quota);
    return;
  }
  answer_session(c, 202, id, 0);
}

void handle_upload_session(Call& c) {
  const std::string& id = c.req.route().reference;
  const std::string& m = c.req.method();
  // The limit a finish is held to, read before the upload is held: a
  // policy that cannot be read is answered with nothing held.
  Quota quota;
  if (m == "PUT" && !quota.load(c)) return;
  // The session must be this repository's before anything is read.
  HeldUpload upload;
  if (!upload.hold(c, id)) return;
  if (m == "GET" || m == "PATCH") {
    if (m == "PATCH" && !append_body(c, upload)) return;
    const int64_t size = upload.size();
    upload.release();
    return answer_session(c, m == "GET" ? 204 : 202, id, size);
  }
  if (m == "PUT") {
    std::string digest;
    if (!digest_parameter(c, &digest, &upload)) return;
    if (append_body(c, upload)) finish(c, upload, digest, quota);  // the last chunk, when the request has one
    return;
  }
  const int rc = reg_upload_held_cancel(upload.get(), &c.st);
  upload.release();
  if (rc != 0) return c.engine_failure(kSessionFailures, "blob upload cancel");
  c.resp.empty(204, {});
}

}  // namespace registry
