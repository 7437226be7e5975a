// Writing a registry response: the status line with its reason phrase,
// the API version header every response carries, further headers, and
// whole JSON and error responses. Errors are kinds, each mapped once to
// its registry code and HTTP status.
#ifndef REGISTRY_ENDPOINT_HTTP_RESPONSE_H
#define REGISTRY_ENDPOINT_HTTP_RESPONSE_H

#include <cstdint>
#include <string>
#include <vector>

#include "storage/reg_storage.h"

namespace endpoint {

// "Not Found" for 404, and so on; "" for a status without one.
const char* reason_phrase(int status);

// The status line and "Docker-Distribution-API-Version: registry/2.0".
void begin_response(int status);
void header(const char* name, const char* value);
void header_number(const char* name, int64_t value);
// The empty line that ends the headers; flushes standard output.
void end_headers();
// A JSON response: the text and a line end, with its Content-Type and
// Content-Length and the extra header lines given ("Name: value"). For
// HEAD the body is left out, its length is not.
void send_json(int status, const std::string& text, bool head, const std::vector<std::string>& extra = {});
// A response without a body: the status, the header lines given, and
// "Content-Length: 0".
void send_empty(int status, const std::vector<std::string>& lines);

// The registry's errors: the code clients read, and its status.
enum class ApiError {
  kBlobUnknown,
  kBlobUploadInvalid,
  kBlobUploadUnknown,
  kDigestInvalid,
  kManifestBlobUnknown,
  kManifestInvalid,
  kManifestUnknown,
  kNameInvalid,
  kNameUnknown,
  kSizeInvalid,
  kTooLarge,
  kRangeInvalid,
  kTagInvalid,
  kUnauthorized,
  kDenied,
  kUnsupported,
  kTooManyRequests,
  kNotFound,
  kMisconfigured,
  kStorage,
};
struct ApiErrorInfo {
  const char* code;
  int status;
};
const ApiErrorInfo& api_error_info(ApiError e);

// {"errors":[{"code":...,"message":...}]}: the code verbatim, the message
// escaped as a JSON string.
std::string error_body(const char* code, const std::string& message);

// The whole error response, then the process ends (status 0); extra
// header lines ("Name: value") go with it, a challenge say.
[[noreturn]] void send_error(ApiError e, const std::string& message, const std::vector<std::string>& extra = {});
// 405 with the methods the path allows.
[[noreturn]] void send_method_not_allowed(const char* allow, const std::string& message);

// Which error each kind of engine failure is, for one operation.
struct FailureMap {
  ApiError invalid;
  ApiError not_found;
  ApiError digest = ApiError::kDigestInvalid;
  ApiError unknown_reference = ApiError::kManifestBlobUnknown;
  ApiError too_large = ApiError::kTooLarge;
  ApiError range = ApiError::kRangeInvalid;
};
// Answers the engine's latest failure as the map says. A storage failure
// is a 500, and one line to standard error (the server's error log) names
// the operation, the request and the system's error.
[[noreturn]] void send_engine_failure(const FailureMap& map, const char* operation);
// The engine's latest failure for a log line: its message, then the
// system's word for it after ": " where there is one.
std::string storage_failure_text();
// what, and the system's word for the latest failed call after ": "
// ("cannot read /x: Permission denied"); what alone when the system has
// none. Called right after the call that failed.
std::string with_system_error(const std::string& what);
// One line to standard error for a failure answered with a 500:
// "registry: <operation> <method> <path>: <why>".
void log_failure(const char* operation, const std::string& why);

}  // namespace endpoint

#endif
