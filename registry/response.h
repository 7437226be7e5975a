// Writing a registry response: the status line with its reason phrase,
// the API version header every response carries, further headers, the
// body, and whole JSON and error responses. Errors are kinds, each mapped
// once to its registry code and HTTP status.
#ifndef REGISTRY_REGISTRY_RESPONSE_H
#define REGISTRY_REGISTRY_RESPONSE_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace registry {

// Where a response goes: standard output for a CGI program, a FastCGI
// request's stream for a responder.
class Output {
 public:
  virtual ~Output() = default;
  virtual void write(const void* data, size_t len) = 0;
  // count bytes of f from offset; false when they could not all be sent.
  virtual bool send_file(FILE* f, int64_t offset, int64_t count) = 0;
  virtual void flush() = 0;
};

// Standard output, in binary mode.
class StdoutOutput final : public Output {
 public:
  StdoutOutput();
  void write(const void* data, size_t len) override;
  bool send_file(FILE* f, int64_t offset, int64_t count) override;
  void flush() override;
};

// Where the lines of failures go: standard error, which web servers put
// in their error log.
class Log {
 public:
  virtual ~Log() = default;
  virtual void line(const std::string& text) = 0;
};

class StderrLog final : public Log {
 public:
  void line(const std::string& text) override;
};

// "Not Found" for 404, and so on; "" for a status without one.
const char* reason_phrase(int status);

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
  kUpstreamUnavailable,  // the registry this one mirrors failed or could not be reached
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

class Response {
 public:
  // head: the request is a HEAD, whose answers carry no body (but their
  // length) except errors, whose bodies the server drops.
  Response(Output& out, bool head) : out_(out), head_(head) {}

  // Piece by piece: the status line and the API version header, header
  // lines, the empty line that ends them (and flushes), then the body.
  void begin(int status);
  void header(const std::string& name, const std::string& value);
  void header_number(const std::string& name, int64_t value);
  void header_line(const std::string& line);  // "Name: value"
  void end_headers();
  void write(const void* data, size_t len) { out_.write(data, len); }
  bool send_file(FILE* f, int64_t offset, int64_t count) { return out_.send_file(f, offset, count); }
  void flush() { out_.flush(); }

  // Whole responses. A JSON text and a line end, with its Content-Type,
  // Content-Length and the extra header lines given ("Name: value").
  void json(int status, const std::string& text, const std::vector<std::string>& extra = {});
  // No body: the status, the header lines given, "Content-Length: 0".
  void empty(int status, const std::vector<std::string>& lines);
  // The registry's error body, extra header lines (a challenge, say) with it.
  void error(ApiError e, const std::string& message, const std::vector<std::string>& extra = {});
  // 405 with the methods the path allows.
  void method_not_allowed(const char* allow, const std::string& message);

  // Whether any of the answer has been written.
  bool started() const { return started_; }
  bool head() const { return head_; }
  // The status of the answer begun; 0 before.
  int status() const { return status_; }

 private:
  void json_body(int status, const std::string& text, bool with_body, const std::vector<std::string>& extra);

  Output& out_;
  bool head_;
  bool started_ = false;
  int status_ = 0;
};

}  // namespace registry

#endif
