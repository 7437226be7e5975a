// /v2/<name>/blobs/<digest>: GET, HEAD, DELETE.
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/host.h"
#include "registry/byte_ranges.h"
#include "registry/events.h"
#include "registry/handlers.h"
#include "registry/mirror_hooks.h"
#include "storage/upkeep/reg_maintenance.h"
#include "storage/reg_storage.h"

namespace registry {
namespace {

using settings::SendMode;
using settings::SendSettings;

const FailureMap kBlobFailures{ApiError::kDigestInvalid, ApiError::kBlobUnknown};

// Hands the sending of the blob's file to the web server: the program has
// found the blob and checked the request; the server reads the file and
// answers any Range itself. false (nothing written) when the file cannot be
// named in the form the server takes.
bool hand_off(Call& c, const SendSettings& send, const char* path) {
  const Route& route = c.req.route();
  std::string target;
  if (send.mode == SendMode::kXSendfile) {
    char full[host::kPathMax];
    if (!host::absolute_path(path, full, sizeof full)) return false;
    target = full;
  } else {
    char name[256];
    if (reg_blob_store_name(route.reference.c_str(), name, sizeof name, nullptr) != 0) return false;
    target = send.prefix + name;
  }
  for (const char ch : target) {
    if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f) return false;  // would break the header
  }
  c.resp.begin(200);
  c.resp.header("Content-Type", "application/octet-stream");
  c.resp.header("Docker-Content-Digest", route.reference);
  c.resp.header("ETag", "\"" + route.reference + "\"");
  if (send.mode == SendMode::kXSendfile) {
    // lighttpd and Apache keep it; nginx adds its own.
    c.resp.header("Accept-Ranges", "bytes");
    c.resp.header("X-Sendfile", target);
  } else {
    c.resp.header("X-Accel-Redirect", target);
  }
  c.resp.end_headers();
  return true;
}

// The 206 or 200 of a GET (HEAD: its headers) with the bytes of f the
// request's Range asks for.
void send_parts(Call& c, FILE* f, int64_t size, RangeAnswer range, std::vector<ByteRange> parts) {
  const std::string& digest = c.req.route().reference;
  if (range == RangeAnswer::kWhole) parts.assign(1, ByteRange{0, size - 1});
  const bool partial = range == RangeAnswer::kPart;
  const bool multipart = parts.size() > 1;
  // Several parts: each after its own small header, the blob's digest as
  // the boundary (no blob holds its own digest).
  const std::string boundary = digest.substr(digest.find(':') + 1);
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

  c.resp.begin(partial ? 206 : 200);
  c.resp.header("Content-Type", multipart ? "multipart/byteranges; boundary=" + boundary : "application/octet-stream");
  c.resp.header("Docker-Content-Digest", digest);
  c.resp.header("ETag", "\"" + digest + "\"");
  c.resp.header("Accept-Ranges", "bytes");
  if (partial && !multipart) c.resp.header("Content-Range", part_heads[0]);
  c.resp.header_number("Content-Length", length);
  c.resp.end_headers();
  if (c.resp.head()) return;
  // From the open file, whatever happens to its name meanwhile; the bytes
  // go from the page cache to the server without passing through here.
  // A failure midway can only cut the response short, which the client
  // sees against Content-Length.
  bool sent = true;
  for (size_t i = 0; sent && i < parts.size(); ++i) {
    if (multipart) c.resp.write(part_heads[i].data(), part_heads[i].size());
    const int64_t count = parts[i].last - parts[i].first + 1;
    if (count > 0) sent = c.resp.send_file(f, parts[i].first, count);
  }
  if (sent && multipart) c.resp.write(closing.data(), closing.size());
  c.resp.flush();
}

void get_blob(Call& c) {
  const Route& route = c.req.route();
  // A client asks whether a blob is there before it pushes a manifest
  // that needs it: the refreshed link keeps garbage collection off it.
  if (c.resp.head()) reg_repo_blob_touch(route.name.c_str(), route.reference.c_str(), nullptr);
  if (!c.resp.head() && !c.settings.send_error.empty()) return c.misconfigured("blob sending", c.settings.send_error);
  settings::MirrorTarget upstream;
  bool answered = false;
  if (mirrored(c, &upstream, &answered)) {
    if (answered) return;
    if (reg_repo_blob_exists(route.name.c_str(), route.reference.c_str(), &c.st) == 0 &&
        mirror_hooks()->blob(c, upstream)) {
      return;
    }
  }
  const SendSettings& send = c.settings.send;
  char path[host::kPathMax];
  FILE* f = nullptr;
  // The engine finds the blob, and puts it back where a collection has set
  // it aside. A collection that decided from what it read before the
  // manifest needing the blob was pushed may still set it aside between
  // that look and the open (on a shared file system, where each step takes
  // a round trip, often enough): the open that fails looks once more, and
  // the collection never sets one blob aside twice.
  for (int look = 0; look < 2 && f == nullptr; ++look) {
    if (reg_repo_blob_path(route.name.c_str(), route.reference.c_str(), path, sizeof path, &c.st) != 0) {
      return c.engine_failure(kBlobFailures, "blob get");
    }
    f = host::open_file(path, "rb");
  }
  host::FileStamp stamp;
  if (f == nullptr || !host::stamp_of(f, &stamp)) {
    if (f != nullptr) std::fclose(f);
    // Removed since we looked: gone as far as the client can tell.
    return c.resp.error(ApiError::kBlobUnknown, "blob unknown to registry: " + route.reference);
  }
  const int64_t size = stamp.size;
  std::vector<ByteRange> parts;
  const RangeAnswer range = parse_ranges(c.req.var("HTTP_RANGE").c_str(), size, &parts);
  if (range == RangeAnswer::kUnsatisfiable) {
    std::fclose(f);
    char content_range[64];
    std::snprintf(content_range, sizeof content_range, "Content-Range: bytes */%" PRId64, size);
    return c.resp.error(ApiError::kRangeInvalid, "range not satisfiable", {content_range});
  }
  // The web server opens the file after this program has ended: while a
  // collection runs, which may set the blob aside between the two (and
  // only this program puts such a blob back), the bytes go from the file
  // already open here instead.
  // A HEAD is answered here: there is nothing for the server to send.
  const bool handed = !c.resp.head() && send.mode != SendMode::kSelf && reg_gc_running() == 0 && hand_off(c, send, path);
  if (!handed) {
    send_parts(c, f, size, range, std::move(parts));
  }
  std::fclose(f);
}

void delete_blob(Call& c) {
  const Route& route = c.req.route();
  if (!events_usable(c)) return;
  if (reg_repo_blob_unlink(route.name.c_str(), route.reference.c_str(), &c.st) != 0) {
    return c.engine_failure(kBlobFailures, "blob delete");
  }
  if (!record_events(c, "delete", {EventTarget{"application/octet-stream", route.reference, -1, ""}})) return;
  c.resp.empty(202, {"Docker-Content-Digest: " + route.reference});
}

}  // namespace

void handle_blob(Call& c) {
  if (c.req.method() == "DELETE") return delete_blob(c);
  get_blob(c);
}

}  // namespace registry
