// One FastCGI connection from the web server, as a responder sees it: one
// request at a time (this responder does not multiplex: a second request
// on the connection while one is under way is refused with
// CANT_MPX_CONN), its PARAMS, its STDIN read as the handler asks for it,
// its STDOUT and STDERR written as records, then END_REQUEST. Management
// records (GET_VALUES, unknown types) are answered wherever they come.
#ifndef REGISTRY_FASTCGI_CONNECTION_H
#define REGISTRY_FASTCGI_CONNECTION_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "fastcgi/records.h"

namespace fastcgi {

// The bytes of a connection: a socket or a pipe, or memory in a test.
class Channel {
 public:
  virtual ~Channel() = default;
  // Up to n bytes into buf, waiting at most timeout_ms (negative: as long
  // as it takes): how many came, 0 at the end of the input, -1 on a failure
  // or when the time ran out.
  virtual long read(void* buf, size_t n, int timeout_ms) = 0;
  // All len bytes; false when they could not be written.
  virtual bool write(const void* data, size_t len) = 0;
};

struct Limits {
  size_t params_max = 1 << 20;   // bytes of one request's PARAMS
  int idle_ms = 5000;            // a new request's records: an idle connection gives its worker back
  int body_ms = 60000;           // each wait for more of a request's records
};

struct RequestHead {
  uint16_t id = 0;
  bool keep_conn = false;
  Pairs params;
};

class Connection {
 public:
  Connection(Channel& channel, const Limits& limits) : ch_(channel), limits_(limits) {}

  // The next request, with all of its PARAMS. false when the connection
  // ended, broke, took too long or broke the protocol: it is closed then.
  bool next_request(RequestHead* out);

  // The current request's body: up to n bytes of its STDIN, 0 once the
  // stream has ended, -1 when the connection broke, the request was
  // aborted or the time ran out.
  long read_body(void* buf, size_t n);

  // The response and the error stream, buffered into records.
  void write_stdout(const void* data, size_t len);
  void write_stderr(const void* data, size_t len);
  bool flush();

  // Ends the current request: what is left of its STDIN is read and
  // dropped, the streams end, END_REQUEST. false when the connection can
  // carry no further request (broken, or the server asked to close it).
  bool finish(uint32_t app_status);

  bool aborted() const { return aborted_; }
  bool broken() const { return broken_; }
  bool input_failed() const { return input_failed_; }

 private:
  // The next record of the current request (or a new one), answering the
  // management records and other requests' records on the way.
  bool read_record(Header* h, std::string* content, int timeout_ms);
  bool read_exact(void* buf, size_t n, int timeout_ms);
  bool send(const std::string& bytes);
  void flush_stream(std::string* buffer, uint8_t type);

  Channel& ch_;
  Limits limits_;
  uint16_t current_ = 0;   // 0: no request under way
  bool keep_conn_ = false;
  bool stdin_done_ = false;
  bool aborted_ = false;
  bool broken_ = false;        // a write failed: nothing more goes out
  bool input_failed_ = false;  // a read failed or took too long
  bool stderr_used_ = false;
  std::string body_;       // STDIN content received and not yet read
  size_t body_at_ = 0;
  std::string out_;        // STDOUT not yet sent
  std::string err_;        // STDERR not yet sent
  char in_[65536];         // bytes read from the channel and not yet taken
  size_t in_len_ = 0;
  size_t in_at_ = 0;
};

}  // namespace fastcgi

#endif
