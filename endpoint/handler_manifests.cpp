// /v2/<name>/manifests/<reference>: GET, HEAD, PUT, DELETE.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cgi/bt_cgi.h"
#include "endpoint/handlers.h"
#include "endpoint/http_response.h"
#include "endpoint/request.h"
#include "storage/reg_storage.h"

namespace endpoint {
namespace {

bool is_digest_reference(const std::string& reference) { return reference.find(':') != std::string::npos; }

bool tag_form_valid(const std::string& tag) {
  bool ok = !tag.empty() && tag.size() <= 128;
  for (size_t i = 0; ok && i < tag.size(); ++i) {
    const char c = tag[i];
    const bool word = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    ok = word || (i > 0 && (c == '.' || c == '-'));
  }
  return ok;
}

// A reference's form, before the engine is asked: a digest, or a tag.
void check_reference(const std::string& reference) {
  if (is_digest_reference(reference)) {
    if (!digest_form_valid(reference)) send_error(ApiError::kDigestInvalid, "invalid digest: " + reference);
    return;
  }
  if (!tag_form_valid(reference)) send_error(ApiError::kTagInvalid, "invalid tag: " + reference);
}

// A reference that can name nothing is, to a reader, a manifest that is
// not there: clients and other registries probe with such names and
// expect the 404 of any missing manifest.
void check_read_reference(const std::string& reference) {
  const bool ok = is_digest_reference(reference) ? digest_form_valid(reference) : tag_form_valid(reference);
  if (!ok) send_error(ApiError::kManifestUnknown, "manifest unknown: " + reference);
}

// Not found: the repository, or the manifest in it.
[[noreturn]] void manifest_unknown(const Route& route) {
  if (reg_repository_exists(route.name.c_str()) == 0) {
    send_error(ApiError::kNameUnknown, "repository name not known to registry: " + route.name);
  }
  send_error(ApiError::kManifestUnknown, reg_storage_last_error());
}

void get_manifest(const Route& route) {
  char content_type[REG_CONTENT_TYPE_CAP];
  char digest[REG_DIGEST_CAP];
  const char* body = reg_manifest_get(route.name.c_str(), route.reference.c_str(), content_type, digest);
  if (body == nullptr) {
    if (reg_storage_last_kind() == REG_ERR_NOT_FOUND) manifest_unknown(route);
    send_engine_failure({ApiError::kManifestInvalid, ApiError::kManifestUnknown}, "manifest get");
  }
  const size_t len = std::strlen(body);
  begin_response(200);
  header("Content-Type", content_type);
  header_number("Content-Length", static_cast<int64_t>(len));
  header("Docker-Content-Digest", digest);
  header("ETag", (std::string("\"") + digest + "\"").c_str());
  end_headers();
  if (!is_head()) std::fwrite(body, 1, len, stdout);
  std::fflush(stdout);
}

// The request's Content-Type without parameters: the media type that is
// stored and served back.
std::string pushed_content_type() {
  std::string ct = std::getenv("CONTENT_TYPE") != nullptr ? std::getenv("CONTENT_TYPE") : "";
  const size_t semi = ct.find(';');
  if (semi != std::string::npos) ct.resize(semi);
  while (!ct.empty() && (ct.back() == ' ' || ct.back() == '\t')) ct.pop_back();
  return ct;
}

// The body, whole, or an error response: nothing larger than a manifest
// may be is ever read into memory.
std::string read_manifest_body() {
  int64_t length = -1;
  FILE* in = body_stream(&length);
  if (length > REG_MANIFEST_MAX) {
    send_error(ApiError::kTooLarge, "manifest larger than " + std::to_string(REG_MANIFEST_MAX) + " bytes");
  }
  std::string body;
  char buf[65536];
  const int64_t limit = length >= 0 ? length : REG_MANIFEST_MAX + 1;
  while (static_cast<int64_t>(body.size()) < limit) {
    const size_t want = static_cast<size_t>(std::min<int64_t>(sizeof buf, limit - static_cast<int64_t>(body.size())));
    const size_t got = std::fread(buf, 1, want, in);
    if (got == 0) break;
    body.append(buf, got);
  }
  if (in != stdin) std::fclose(in);
  if (static_cast<int64_t>(body.size()) > REG_MANIFEST_MAX) {
    send_error(ApiError::kTooLarge, "manifest larger than " + std::to_string(REG_MANIFEST_MAX) + " bytes");
  }
  if (length >= 0 && static_cast<int64_t>(body.size()) < length) {
    send_error(ApiError::kManifestInvalid, "request body ended before its declared length");
  }
  return body;
}

void put_manifest(const Route& route) {
  // ?tag=a&tag=b on a push by digest: the manifest and those tags at once.
  const std::vector<std::string> tags = query_all("tag");
  if (!tags.empty() && !is_digest_reference(route.reference)) {
    send_error(ApiError::kTagInvalid, "tags are given with a push by digest");
  }
  for (const std::string& t : tags) check_reference(t.empty() ? std::string("-") : t);
  const std::string body = read_manifest_body();
  const std::string ct = pushed_content_type();
  std::vector<const char*> tag_ptrs;
  for (const std::string& t : tags) tag_ptrs.push_back(t.c_str());
  char digest[REG_DIGEST_CAP];
  if (reg_manifest_push_tagged(route.name.c_str(), route.reference.c_str(), body.data(), body.size(),
                               ct.empty() ? nullptr : ct.c_str(), tag_ptrs.data(), static_cast<int>(tag_ptrs.size()),
                               digest) != 0) {
    FailureMap map{ApiError::kManifestInvalid, ApiError::kManifestUnknown};
    map.unknown_reference = ApiError::kManifestBlobUnknown;
    send_engine_failure(map, "manifest put");
  }
  std::vector<std::string> lines{"Location: /v2/" + route.name + "/manifests/" + digest,
                                 std::string("Docker-Content-Digest: ") + digest};
  if (const char* subject = reg_manifest_last_subject()) lines.push_back(std::string("OCI-Subject: ") + subject);
  for (const std::string& t : tags) lines.push_back("OCI-Tag: " + t);
  send_empty(201, lines);
}

void delete_manifest(const Route& route) {
  if (reg_manifest_delete(route.name.c_str(), route.reference.c_str()) != 0) {
    if (reg_storage_last_kind() == REG_ERR_NOT_FOUND) manifest_unknown(route);
    send_engine_failure({ApiError::kManifestInvalid, ApiError::kManifestUnknown}, "manifest delete");
  }
  send_empty(202, {});
}

}  // namespace

void handle_manifest(const Route& route) {
  const std::string method = request_method();
  const bool read = method == "GET" || method == "HEAD";
  if (!read && method != "PUT" && method != "DELETE") {
    send_method_not_allowed("GET, HEAD, PUT, DELETE", "Method not allowed for manifests");
  }
  if (read) {
    check_read_reference(route.reference);
  } else {
    check_reference(route.reference);
  }
  storage_or_fail();
  if (read) {
    get_manifest(route);
  } else if (method == "PUT") {
    put_manifest(route);
  } else {
    delete_manifest(route);
  }
}

}  // namespace endpoint
