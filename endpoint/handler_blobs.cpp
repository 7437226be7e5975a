// /v2/<name>/blobs/<digest>: GET, HEAD, DELETE.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cgi/bt_cgi.h"
#include "endpoint/byte_ranges.h"
#include "endpoint/handlers.h"
#include "endpoint/http_response.h"
#include "endpoint/request.h"
#include "endpoint/send_config.h"
#include "platform/host.h"
#include "storage/reg_maintenance.h"
#include "storage/reg_storage.h"

namespace endpoint {
namespace {

const FailureMap kBlobFailures{ApiError::kDigestInvalid, ApiError::kBlobUnknown};

// Hands the sending of the blob's file to the web server: the program has
// found the blob and checked the request; the server reads the file and
// answers any Range itself. false (nothing written) when the file cannot be
// named in the form the server takes.
bool hand_off(const Route& route, const SendSettings& send, const char* path) {
  std::string target;
  if (send.mode == SendMode::kXSendfile) {
    char full[4096];
    if (!host::absolute_path(path, full, sizeof full)) return false;
    target = full;
  } else {
    char name[256];
    if (reg_blob_store_name(route.reference.c_str(), name, sizeof name) != 0) return false;
    target = send.prefix + name;
  }
  for (const char c : target) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;  // would break the header
  }
  begin_response(200);
  header("Content-Type", "application/octet-stream");
  header("Docker-Content-Digest", route.reference.c_str());
  header("ETag", ("\"" + route.reference + "\"").c_str());
  if (send.mode == SendMode::kXSendfile) {
    // lighttpd and Apache keep it; nginx adds its own.
    header("Accept-Ranges", "bytes");
    header("X-Sendfile", target.c_str());
  } else {
    header("X-Accel-Redirect", target.c_str());
  }
  end_headers();
  return true;
}

void get_blob(const Route& route) {
  // A client asks whether a blob is there before it pushes a manifest
  // that needs it: the refreshed link keeps garbage collection off it.
  if (is_head()) reg_repo_blob_touch(route.name.c_str(), route.reference.c_str());
  SendSettings send;
  if (!is_head()) {
    std::string why;
    if (!read_send_settings(&send, &why)) {
      std::fprintf(stderr, "registry: blob sending: %s %s: %s\n", request_method(), request_path().c_str(),
                   why.c_str());
      std::fflush(stderr);
      send_error(ApiError::kMisconfigured, "blob sending is not configured correctly");
    }
  }
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
  std::vector<ByteRange> parts;
  const RangeAnswer range = parse_ranges(request_header("HTTP_RANGE"), size, &parts);
  if (range == RangeAnswer::kUnsatisfiable) {
    std::fclose(f);
    char content_range[64];
    std::snprintf(content_range, sizeof content_range, "Content-Range: bytes */%" PRId64, size);
    send_json(416, "{\"errors\":[{\"code\":\"RANGE_INVALID\",\"message\":\"range not satisfiable\"}]}", false,
              {content_range});
    std::exit(0);
  }
  // The web server opens the file after this program has ended: while a
  // collection runs, which may set the blob aside between the two (and
  // only this program puts such a blob back), the bytes go from the file
  // already open here instead.
  if (send.mode != SendMode::kSelf && reg_gc_running() == 0 && hand_off(route, send, path)) {
    std::fclose(f);
    return;
  }
  if (range == RangeAnswer::kWhole) parts.assign(1, ByteRange{0, size - 1});
  const bool partial = range == RangeAnswer::kPart;
  const bool multipart = parts.size() > 1;
  // Several parts: each after its own small header, the blob's digest as
  // the boundary (no blob holds its own digest).
  const std::string boundary = route.reference.substr(route.reference.find(':') + 1);
  std::vector<std::string> part_heads;
  int64_t length = 0;
  for (const ByteRange& p : parts) {
    char content_range[96];
    std::snprintf(content_range, sizeof content_range, "bytes %" PRId64 "-%" PRId64 "/%" PRId64, p.first, p.last,
                  size);
    if (multipart) {
      part_heads.push_back("\r\n--" + boundary + "\r\nContent-Type: application/octet-stream\r\nContent-Range: " +
                           content_range + "\r\n\r\n");
      length += static_cast<int64_t>(part_heads.back().size());
    } else if (partial) {
      part_heads.push_back(content_range);
    }
    length += p.last - p.first + 1;
  }
  const std::string closing = "\r\n--" + boundary + "--\r\n";
  if (multipart) length += static_cast<int64_t>(closing.size());

  begin_response(partial ? 206 : 200);
  header("Content-Type",
         multipart ? ("multipart/byteranges; boundary=" + boundary).c_str() : "application/octet-stream");
  header("Docker-Content-Digest", route.reference.c_str());
  header("ETag", ("\"" + route.reference + "\"").c_str());
  header("Accept-Ranges", "bytes");
  if (partial && !multipart) header("Content-Range", part_heads[0].c_str());
  header_number("Content-Length", length);
  end_headers();
  // From the open file, whatever happens to its name meanwhile; the bytes
  // go from the page cache to the server without passing through here.
  // A failure midway can only cut the response short, which the client
  // sees against Content-Length.
  if (!is_head()) {
    bool sent = true;
    for (size_t i = 0; sent && i < parts.size(); ++i) {
      if (multipart) sent = std::fwrite(part_heads[i].data(), 1, part_heads[i].size(), stdout) == part_heads[i].size();
      const int64_t count = parts[i].last - parts[i].first + 1;
      if (sent && count > 0) sent = host::send_file_range(f, parts[i].first, count, stdout);
    }
    if (sent && multipart) std::fwrite(closing.data(), 1, closing.size(), stdout);
    std::fflush(stdout);
  }
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
