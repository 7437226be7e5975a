// Registry responses and the table of registry errors.
#include "endpoint/http_response.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "cgi/bt_cgi.h"
#include "endpoint/request.h"
#include "platform/host.h"
#include "storage/reg_storage.h"

namespace endpoint {
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
    /* kMisconfigured */ {"UNKNOWN", 500},
    /* kStorage */ {"STORAGE_ERROR", 500},
};
static_assert(sizeof kErrors / sizeof kErrors[0] == static_cast<size_t>(ApiError::kStorage) + 1);

}  // namespace

std::string error_body(const char* code, const std::string& message) {
  std::string body = "{\"errors\":[{\"code\":\"";
  body += code;
  body += "\",\"message\":\"";
  for (unsigned char c : message) {
    switch (c) {
      case '"': body += "\\\""; break;
      case '\\': body += "\\\\"; break;
      case '\n': body += "\\n"; break;
      case '\r': body += "\\r"; break;
      case '\t': body += "\\t"; break;
      case '\b': body += "\\b"; break;
      case '\f': body += "\\f"; break;
      default:
        if (c < 0x20) {
          char esc[8];
          std::snprintf(esc, sizeof esc, "\\u%04x", c);
          body += esc;
        } else {
          body += static_cast<char>(c);
        }
    }
  }
  body += "\"}]}";
  return body;
}

const char* reason_phrase(int status) {
  for (const Reason& r : kReasons) {
    if (r.status == status) return r.text;
  }
  return "";
}

void begin_response(int status) {
  cgi_header_status(status, reason_phrase(status));
  cgi_header_extra(kApiVersionHeader);
}

void header(const char* name, const char* value) {
  std::string line = name;
  line += ": ";
  line += value;
  cgi_header_extra(line.c_str());
}

void header_number(const char* name, int64_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "%" PRId64, value);
  header(name, text);
}

void end_headers() { cgi_headers_end(); }

void send_json(int status, const std::string& text, bool head, const std::vector<std::string>& extra) {
  begin_response(status);
  cgi_header_json();
  header_number("Content-Length", static_cast<int64_t>(text.size()) + 1);
  for (const std::string& line : extra) cgi_header_extra(line.c_str());
  end_headers();
  if (!head) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
  }
  std::fflush(stdout);
}

void send_empty(int status, const std::vector<std::string>& lines) {
  begin_response(status);
  for (const std::string& line : lines) cgi_header_extra(line.c_str());
  header("Content-Length", "0");
  end_headers();
  std::fflush(stdout);
}

const ApiErrorInfo& api_error_info(ApiError e) { return kErrors[static_cast<size_t>(e)]; }

void send_error(ApiError e, const std::string& message, const std::vector<std::string>& extra) {
  const ApiErrorInfo& info = api_error_info(e);
  // The body goes for HEAD too: the server drops it, the length stays right.
  send_json(info.status, error_body(info.code, message), false, extra);
  std::exit(0);
}

void send_method_not_allowed(const char* allow, const std::string& message) {
  const ApiErrorInfo& info = api_error_info(ApiError::kUnsupported);
  const std::string body = error_body(info.code, message);
  begin_response(info.status);
  header("Allow", allow);
  cgi_header_json();
  header_number("Content-Length", static_cast<int64_t>(body.size()) + 1);
  end_headers();
  std::fwrite(body.data(), 1, body.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  std::exit(0);
}

void send_engine_failure(const FailureMap& map, const char* operation) {
  const std::string message = reg_storage_last_error();
  switch (reg_storage_last_kind()) {
    case REG_ERR_INVALID: send_error(map.invalid, message);
    case REG_ERR_NOT_FOUND: send_error(map.not_found, message);
    case REG_ERR_DIGEST: send_error(map.digest, message);
    case REG_ERR_UNKNOWN_REFERENCE: send_error(map.unknown_reference, message);
    case REG_ERR_TOO_LARGE: send_error(map.too_large, message);
    case REG_ERR_RANGE: send_error(map.range, message);
    case REG_ERR_NONE:
    case REG_ERR_STORAGE: break;
  }
  log_failure(operation, storage_failure_text());
  send_error(ApiError::kStorage, "Storage failure");
}

std::string storage_failure_text() {
  const char* cause = reg_storage_last_cause();
  std::string text = reg_storage_last_error();
  if (cause[0] != '\0') text += std::string(": ") + cause;
  return text;
}

std::string with_system_error(const std::string& what) {
  char text[256];
  host::last_error_text(text, sizeof text);
  return text[0] != '\0' ? what + ": " + text : what;
}

void log_failure(const char* operation, const std::string& why) {
  std::fprintf(stderr, "registry: %s %s %s: %s\n", operation, request_method(), request_path().c_str(), why.c_str());
  std::fflush(stderr);
}

}  // namespace endpoint
