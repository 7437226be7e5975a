// Registry responses and the table of registry errors.
#include "registry/response.h"

#include "text/json_escape.h"

#include <cinttypes>

#include "cgi/bt_cgi.h"
#include "platform/host.h"
#include "text/json_escape.h"

namespace registry {
namespace {

constexpr char kApiVersionHeader[] = "Docker-Distribution-API-Version: registry/2.0";

struct Reason {
  int status;
  const char* text;
};
constexpr Reason kReasons[] = {
    {200, "OK"},
    {201, "Created"},
    {202, "Accepted"},
    {204, "No Content"},
    {206, "Partial Content"},
    {307, "Temporary Redirect"},
    {400, "Bad Request"},
    {401, "Unauthorized"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {411, "Length Required"},
    {413, "Payload Too Large"},
    {416, "Range Not Satisfiable"},
    {429, "Too Many Requests"},
    {500, "Internal Server Error"},
    {503, "Service Unavailable"},
};

// One row per error: the code the distribution spec gives it, its status.
constexpr ApiErrorInfo kErrors[] = {
    /* kBlobUnknown */ {"BLOB_UNKNOWN", 404},
    /* kBlobUploadInvalid */ {"BLOB_UPLOAD_INVALID", 400},
    /* kBlobUploadUnknown */ {"BLOB_UPLOAD_UNKNOWN", 404},
    /* kDigestInvalid */ {"DIGEST_INVALID", 400},
    /* kManifestBlobUnknown */ {"MANIFEST_BLOB_UNKNOWN", 400},
    /* kManifestInvalid */ {"MANIFEST_INVALID", 400},
    /* kManifestUnknown */ {"MANIFEST_UNKNOWN", 404},
    /* kNameInvalid */ {"NAME_INVALID", 400},
    /* kNameUnknown */ {"NAME_UNKNOWN", 404},
    /* kSizeInvalid */ {"SIZE_INVALID", 400},
    /* kTooLarge */ {"SIZE_INVALID", 413},
    /* kRangeInvalid */ {"RANGE_INVALID", 416},
    /* kTagInvalid */ {"TAG_INVALID", 400},
    /* kUnauthorized */ {"UNAUTHORIZED", 401},
    /* kDenied */ {"DENIED", 403},
    /* kUnsupported */ {"UNSUPPORTED", 405},
    /* kTooManyRequests */ {"TOOMANYREQUESTS", 429},
    /* kNotFound */ {"NOT_FOUND", 404},
    /* kUpstreamUnavailable */ {"UNAVAILABLE", 503},
    /* kMisconfigured */ {"UNKNOWN", 500},
    /* kStorage */ {"STORAGE_ERROR", 500},
};
static_assert(sizeof kErrors / sizeof kErrors[0] == static_cast<size_t>(ApiError::kStorage) + 1);

}  // namespace

StdoutOutput::StdoutOutput() { bt_stdout_bin(); }

void StdoutOutput::write(const void* data, size_t len) { std::fwrite(data, 1, len, stdout); }

bool StdoutOutput::send_file(FILE* f, int64_t offset, int64_t count) {
  return host::send_file_range(f, offset, count, stdout);
}

void StdoutOutput::flush() { std::fflush(stdout); }

void StderrLog::line(const std::string& text) {
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
}

const char* reason_phrase(int status) {
  for (const Reason& r : kReasons) {
    if (r.status == status) return r.text;
  }
  return "";
}

const ApiErrorInfo& api_error_info(ApiError e) { return kErrors[static_cast<size_t>(e)]; }

std::string error_body(const char* code, const std::string& message) {
  std::string body = "{\"errors\":[{\"code\":\"";
  body += code;
  body += "\",\"message\":\"";
  text_json_escape_append(&body, message);
  body += "\"}]}";
  return body;
}

void Response::begin(int status) {
  started_ = true;
  status_ = status;
  const char* reason = reason_phrase(status);
  char line[64];
  const int n = reason[0] != '\0' ? std::snprintf(line, sizeof line, "Status: %d %s\r\n", status, reason)
                                   : std::snprintf(line, sizeof line, "Status: %d\r\n", status);
  out_.write(line, static_cast<size_t>(n));
  header_line(kApiVersionHeader);
}

void Response::header(const std::string& name, const std::string& value) { header_line(name + ": " + value); }

void Response::header_number(const std::string& name, int64_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "%" PRId64, value);
  header(name, text);
}

void Response::header_line(const std::string& line) {
  out_.write(line.data(), line.size());
  out_.write("\r\n", 2);
}

void Response::end_headers() {
  out_.write("\r\n", 2);
  out_.flush();
}

void Response::json_body(int status, const std::string& text, bool with_body, const std::vector<std::string>& extra) {
  begin(status);
  header_line("Content-Type: application/json; charset=utf-8");
  header_number("Content-Length", static_cast<int64_t>(text.size()) + 1);
  for (const std::string& line : extra) header_line(line);
  end_headers();
  if (with_body) {
    out_.write(text.data(), text.size());
    out_.write("\n", 1);
  }
  out_.flush();
}

void Response::json(int status, const std::string& text, const std::vector<std::string>& extra) {
  json_body(status, text, !head_, extra);
}

void Response::empty(int status, const std::vector<std::string>& lines) {
  begin(status);
  for (const std::string& line : lines) header_line(line);
  header_line("Content-Length: 0");
  end_headers();
}

void Response::error(ApiError e, const std::string& message, const std::vector<std::string>& extra) {
  const ApiErrorInfo& info = api_error_info(e);
  // The body goes for HEAD too: the server drops it, the length stays right.
  json_body(info.status, error_body(info.code, message), true, extra);
}

void Response::method_not_allowed(const char* allow, const std::string& message) {
  const ApiErrorInfo& info = api_error_info(ApiError::kUnsupported);
  const std::string body = error_body(info.code, message);
  begin(info.status);
  header("Allow", allow);
  header_line("Content-Type: application/json; charset=utf-8");
  header_number("Content-Length", static_cast<int64_t>(body.size()) + 1);
  end_headers();
  out_.write(body.data(), body.size());
  out_.write("\n", 1);
  out_.flush();
}

}  // namespace registry
