// The forms of the references a path ends in, checked whole before the
// storage is asked.
#include "registry/references.h"

#include "registry/handlers.h"
#include "storage/reg_storage.h"

namespace registry {

bool digest_form_valid(const std::string& digest) { return reg_digest_valid(digest.data(), digest.size()) == 1; }

bool tag_form_valid(const std::string& tag) { return reg_tag_valid(tag.data(), tag.size()) == 1; }

bool is_digest_reference(const std::string& reference) { return reference.find(':') != std::string::npos; }

bool manifest_reference_ok(Call& c) {
  const std::string& reference = c.req.route().reference;
  const std::string& m = c.req.method();
  if (m == "GET" || m == "HEAD") {
    // A reference that can name nothing is, to a reader, a manifest that
    // is not there: clients and other registries probe with such names
    // and expect the 404 of any missing manifest.
    const bool ok = is_digest_reference(reference) ? digest_form_valid(reference) : tag_form_valid(reference);
    if (!ok) c.resp.error(ApiError::kManifestUnknown, "manifest unknown: " + reference);
    return ok;
  }
  return reference_form_ok(c, reference);
}

bool reference_form_ok(Call& c, const std::string& reference) {
  if (is_digest_reference(reference)) {
    if (digest_form_valid(reference)) return true;
    c.resp.error(ApiError::kDigestInvalid, "invalid digest: " + reference);
    return false;
  }
  if (tag_form_valid(reference)) return true;
  c.resp.error(ApiError::kTagInvalid, "invalid tag: " + reference);
  return false;
}

bool digest_reference_ok(Call& c) {
  const std::string& reference = c.req.route().reference;
  if (digest_form_valid(reference)) return true;
  c.resp.error(ApiError::kDigestInvalid, "invalid digest: " + reference);
  return false;
}

bool upload_reference_ok(Call& c) {
  // An identifier is looked at whole: one that holds a NUL must not reach
  // the engine as the session before it.
  if (c.req.route().reference.find('\0') == std::string::npos) return true;
  c.resp.error(ApiError::kBlobUploadUnknown, "invalid upload uuid");
  return false;
}

}  // namespace registry
