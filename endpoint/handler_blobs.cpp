// /v2/<name>/blobs/<digest>: GET, HEAD, DELETE.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cgi/bt_cgi.h"
#include "endpoint/byte_ranges.h"
#include "endpoint/handlers.h"
#include "endpoint/http_response.h"
#include "endpoint/request.h"
#include "platform/host.h"
#include "storage/reg_storage.h"

namespace endpoint {
namespace {

const FailureMap kBlobFailures{ApiError::kDigestInvalid, ApiError::kBlobUnknown};

// Copies count bytes of f from offset to standard output, through one
// fixed buffer.
void stream_file(FILE* f, int64_t offset, int64_t count) {
  static char buf[1 << 16];
  std::fflush(stdout);
  if (std::fseek(f, offset, SEEK_SET) != 0) return;
  while (count > 0) {
    const size_t want = count > static_cast<int64_t>(sizeof buf) ? sizeof buf : static_cast<size_t>(count);
    const size_t got = std::fread(buf, 1, want, f);
    if (got == 0 || std::fwrite(buf, 1, got, stdout) != got) break;
    count -= static_cast<int64_t>(got);
  }
  std::fflush(stdout);
}

void get_blob(const Route& route) {
  // A client asks whether a blob is there before it pushes a manifest
  // that needs it: the refreshed link keeps garbage collection off it.
  if (is_head()) reg_repo_blob_touch(route.name.c_str(), route.reference.c_str());
  char path[4096];
  FILE* f = nullptr;
  // The engine finds the blob, and puts it back where a collection has set
  // it aside. A collection that decided from what it read before the
  // manifest needing the blob was pushed may still set it aside between
  // that look and the open (on a shared file system, where each step takes
  // a round trip, often enough): the open that fails looks once more, and
  // the collection never sets one blob aside twice.
  for (int look = 0; look < 2 && f == nullptr; ++look) {
    if (reg_repo_blob_path(route.name.c_str(), route.reference.c_str(), path, sizeof path) != 0) {
      send_engine_failure(kBlobFailures, "blob get");
    }
    f = host::open_file(path, "rb");
  }
  host::FileStamp stamp;
  if (f == nullptr || !host::stamp_of(f, &stamp)) {
    // Removed since we looked: gone as far as the client can tell.
    send_error(ApiError::kBlobUnknown, "blob unknown to registry: " + route.reference);
  }
  const int64_t size = stamp.size;
  int64_t first = 0, last = size - 1;
  const RangeAnswer range = parse_range(request_header("HTTP_RANGE"), size, &first, &last);
  if (range == RangeAnswer::kUnsatisfiable) {
    std::fclose(f);
    char content_range[64];
    std::snprintf(content_range, sizeof content_range, "Content-Range: bytes */%" PRId64, size);
    send_json(416, "{\"errors\":[{\"code\":\"RANGE_INVALID\",\"message\":\"range not satisfiable\"}]}", false,
              {content_range});
    std::exit(0);
  }
  const bool part = range == RangeAnswer::kPart;
  begin_response(part ? 206 : 200);
  header("Content-Type", "application/octet-stream");
  header("Docker-Content-Digest", route.reference.c_str());
  header("ETag", ("\"" + route.reference + "\"").c_str());
  header("Accept-Ranges", "bytes");
  if (part) {
    char content_range[96];
    std::snprintf(content_range, sizeof content_range, "bytes %" PRId64 "-%" PRId64 "/%" PRId64, first, last, size);
    header("Content-Range", content_range);
  } else {
    first = 0;
    last = size - 1;
  }
  header_number("Content-Length", last - first + 1);
  end_headers();
  if (!is_head()) stream_file(f, first, last - first + 1);
  std::fclose(f);
}

void delete_blob(const Route& route) {
  if (reg_repo_blob_unlink(route.name.c_str(), route.reference.c_str()) != 0) {
    send_engine_failure(kBlobFailures, "blob delete");
  }
  send_empty(202, {"Docker-Content-Digest: " + route.reference});
}

}  // namespace

void handle_blob(const Route& route) {
  const std::string method = request_method();
  if (method != "GET" && method != "HEAD" && method != "DELETE") {
    send_method_not_allowed("GET, HEAD, DELETE", "Method not allowed for blobs");
  }
  if (!digest_form_valid(route.reference)) send_error(ApiError::kDigestInvalid, "invalid digest: " + route.reference);
  storage_or_fail();
  if (method == "DELETE") {
    delete_blob(route);
  } else {
    get_blob(route);
  }
}

}  // namespace endpoint
