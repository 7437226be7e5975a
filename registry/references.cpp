// The forms of the references a path ends in, checked whole before the
// storage is asked.
#include "registry/references.h"

#include "registry/handlers.h"

namespace registry {

bool digest_form_valid(const std::string& digest) {
  const bool sha256 = digest.size() == 71 && digest.rfind("sha256:", 0) == 0;
  const bool sha512 = digest.size() == 135 && digest.rfind("sha512:", 0) == 0;
  if (!sha256 && !sha512) return false;
  for (size_t i = 7; i < digest.size(); ++i) {
    const char c = digest[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

bool tag_form_valid(const std::string& tag) {
  bool ok = !tag.empty() && tag.size() <= 128;
  for (size_t i = 0; ok && i < tag.size(); ++i) {
    const char c = tag[i];
    const bool word = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    ok = word || (i > 0 && (c == '.' || c == '-'));
  }
  return ok;
}

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
