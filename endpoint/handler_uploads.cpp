// Blob uploads: POST /v2/<name>/blobs/uploads/ (a session, a monolithic
// upload with ?digest=, or a mount with ?mount=&from=), and the session at
// /v2/<name>/blobs/uploads/<id>: GET, PATCH, PUT, DELETE.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "endpoint/access_control.h"
#include "endpoint/byte_ranges.h"
#include "endpoint/handlers.h"
#include "endpoint/http_response.h"
#include "endpoint/request.h"
#include "storage/reg_storage.h"

namespace endpoint {
namespace {

const FailureMap kSessionFailures{ApiError::kBlobUploadInvalid, ApiError::kBlobUploadUnknown};

std::string session_location(const Route& route, const std::string& id) {
  return "Location: /v2/" + route.name + "/blobs/uploads/" + id;
}

// "Range: 0-<last byte>", as docker parses it ("0-0" while empty).
std::string range_line(int64_t size) {
  char line[64];
  std::snprintf(line, sizeof line, "Range: 0-%" PRId64, size > 0 ? size - 1 : 0);
  return line;
}

void answer_session(int status, const Route& route, const std::string& id, int64_t size) {
  send_empty(status, {session_location(route, id), range_line(size), "Docker-Upload-UUID: " + id});
}

// Appends the request body to the session: all of it, or, with a
// Content-Range, the chunk that must start where the upload ends.
int64_t append_body(const Route& route, const std::string& id) {
  int64_t length = -1;
  FILE* in = body_stream(&length);
  int64_t at = -1;
  int64_t chunk = -1;  // the bytes a Content-Range names
  const char* content_range = request_header("HTTP_CONTENT_RANGE");
  if (content_range[0] != '\0') {
    int64_t first = 0, last = 0;
    if (!parse_content_range(content_range, &first, &last)) {
      send_error(ApiError::kRangeInvalid, std::string("invalid Content-Range: ") + content_range);
    }
    at = first;
    chunk = last - first + 1;
    // A range and a body of two lengths cannot both be right: nothing of
    // such a chunk is taken.
    if (length >= 0 && length != chunk) {
      if (in != stdin) std::fclose(in);
      send_error(ApiError::kRangeInvalid, "the chunk holds " + std::to_string(length) + " bytes, its range names " +
                                              std::to_string(chunk));
    }
  }
  int64_t size = 0;
  FailureMap map = kSessionFailures;
  map.invalid = ApiError::kBlobUploadInvalid;
  // A body of no declared length is read to its end, and must then hold
  // exactly what its range names.
  const int rc = length < 0 && chunk >= 0
                     ? reg_upload_append_exact(route.name.c_str(), id.c_str(), in, chunk, at, &size)
                     : reg_upload_append(route.name.c_str(), id.c_str(), in, length, at, &size);
  if (rc != 0) {
    if (in != stdin) std::fclose(in);
    send_engine_failure(map, "blob upload append");
  }
  if (in != stdin) std::fclose(in);
  return size;
}

[[noreturn]] void answer_blob_created(const Route& route, const std::string& digest) {
  send_empty(201, {"Location: /v2/" + route.name + "/blobs/" + digest, "Docker-Content-Digest: " + digest});
  std::exit(0);
}

void finish(const Route& route, const std::string& id, const std::string& digest) {
  char out[REG_DIGEST_CAP];
  if (reg_upload_finish(route.name.c_str(), id.c_str(), digest.c_str(), out) != 0) {
    FailureMap map = kSessionFailures;
    map.invalid = ApiError::kDigestInvalid;
    send_engine_failure(map, "blob upload finish");
  }
  answer_blob_created(route, digest);
}

// The digest a finish names, checked before any byte is read.
std::string digest_parameter() {
  bool present = false;
  const std::string digest = query_value("digest", &present);
  if (!present || !digest_form_valid(digest)) send_error(ApiError::kDigestInvalid, "invalid digest: " + digest);
  return digest;
}

}  // namespace

void handle_upload_start(const Route& route) {
  if (std::string(request_method()) != "POST") send_method_not_allowed("POST", "Method not allowed for uploads");
  storage_or_fail();
  bool mount_given = false;
  const std::string mount = query_value("mount", &mount_given);
  const std::string from = query_value("from");
  // The source of a mount is a repository name like any other, looked at
  // whole: one of no repository's form is never looked up or granted, and
  // the client gets a session, as for any mount that cannot be made.
  const bool from_valid = reg_repository_name_valid(from.data(), from.size()) != 0;
  if (mount_given && digest_form_valid(mount) && from_valid && may_pull(from)) {
    // Mounted when `from` holds the blob; otherwise an ordinary session,
    // as clients expect. A user who may not pull `from` gets a session
    // too, whether it holds the blob or not: nothing tells them which.
    if (reg_repo_blob_mount(route.name.c_str(), from.c_str(), mount.c_str()) == 0) answer_blob_created(route, mount);
    if (reg_storage_last_kind() == REG_ERR_STORAGE) send_engine_failure(kSessionFailures, "blob mount");
  }
  bool monolithic = false;
  query_value("digest", &monolithic);
  const std::string digest = monolithic ? digest_parameter() : std::string();
  // A session whose digest will be of the algorithm named.
  bool declared = false;
  const std::string algorithm = query_value("digest-algorithm", &declared);
  if (declared && algorithm != "sha256" && algorithm != "sha512") {
    send_error(ApiError::kDigestInvalid, "unsupported digest algorithm: " + algorithm);
  }
  char id[37];
  if (reg_upload_start_for(route.name.c_str(), declared ? algorithm.c_str() : nullptr, id) != 0) {
    send_engine_failure(kSessionFailures, "blob upload start");
  }
  if (monolithic) {
    append_body(route, id);
    finish(route, id, digest);
  }
  answer_session(202, route, id, 0);
}

void handle_upload_session(const Route& route) {
  const std::string method = request_method();
  if (method != "GET" && method != "PATCH" && method != "PUT" && method != "DELETE") {
    send_method_not_allowed("GET, PATCH, PUT, DELETE", "Method not allowed for upload sessions");
  }
  storage_or_fail();
  const std::string& id = route.reference;
  // An identifier is looked at whole: one that holds a NUL must not reach
  // the engine as the session before it.
  if (id.find('\0') != std::string::npos) {
    send_error(ApiError::kBlobUploadUnknown, "blob upload unknown to registry");
  }
  // The session must be this repository's before anything is read.
  const int64_t size = reg_upload_size(route.name.c_str(), id.c_str());
  if (size < 0) {
    FailureMap map = kSessionFailures;
    map.invalid = ApiError::kBlobUploadUnknown;  // an identifier of no session's form
    send_engine_failure(map, "blob upload");
  }
  if (method == "GET") {
    answer_session(204, route, id, size);
  } else if (method == "PATCH") {
    answer_session(202, route, id, append_body(route, id));
  } else if (method == "PUT") {
    const std::string digest = digest_parameter();
    append_body(route, id);  // the last chunk, when the request has one
    finish(route, id, digest);
  } else {
    if (reg_upload_cancel(route.name.c_str(), id.c_str()) != 0) {
      send_engine_failure(kSessionFailures, "blob upload cancel");
    }
    send_empty(204, {});
  }
}

}  // namespace endpoint
