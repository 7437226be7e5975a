// A FastCGI connection fed arbitrary bytes as the web server's side:
// records of any type and length, request ids interleaved, aborts, bodies
// longer or shorter than their parameters say, streams cut anywhere. The
// responder's side must never read past what it was given, never hand out
// more body than the request's records held, answer every request it took
// with exactly one END_REQUEST, and write only well-formed records.
#include "fuzz/fuzz_target.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fastcgi/connection.h"

namespace {

class MemoryChannel final : public fastcgi::Channel {
 public:
  MemoryChannel(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  long read(void* buf, size_t n, int) override {
    // A few bytes at a time, as a socket may deliver them.
    const size_t left = size_ - at_;
    size_t take = n < left ? n : left;
    if (take > 7 && (at_ % 3) == 0) take = 7;
    std::memcpy(buf, data_ + at_, take);
    at_ += take;
    return static_cast<long>(take);
  }
  bool write(const void* data, size_t len) override {
    written_.append(static_cast<const char*>(data), len);
    return true;
  }
  const std::string& written() const { return written_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
  std::string written_;
};

// Every record the responder wrote is whole and of version 1; the END_REQUESTs
// of requests it took.
int ends_written(const std::string& out, uint16_t id) {
  size_t at = 0;
  int ends = 0;
  while (at < out.size()) {
    if (out.size() - at < fastcgi::kHeaderSize) std::abort();
    fastcgi::Header h;
    if (!fastcgi::parse_header(reinterpret_cast<const uint8_t*>(out.data() + at), &h)) std::abort();
    const size_t whole = fastcgi::kHeaderSize + h.content_length + h.padding_length;
    if (out.size() - at < whole || (h.content_length + h.padding_length) % 8 != 0) std::abort();
    if (h.type == fastcgi::kEndRequest && h.request_id == id) ++ends;
    at += whole;
  }
  return ends;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MemoryChannel ch(data, size);
  fastcgi::Limits limits;
  limits.params_max = 4096;
  fastcgi::Connection conn(ch, limits);
  fastcgi::RequestHead head;
  for (int requests = 0; requests < 64 && conn.next_request(&head); ++requests) {
    size_t before = ch.written().size();
    size_t body = 0;
    char buf[100];
    for (long n; (n = conn.read_body(buf, sizeof buf)) > 0;) body += static_cast<size_t>(n);
    if (body > size) std::abort();  // never more than was given
    conn.write_stdout("Status: 200 OK\r\n\r\n", 18);
    conn.write_stderr("x", 1);
    const bool more = conn.finish(0);
    if (ends_written(ch.written().substr(before), head.id) != 1) std::abort();
    if (!more) break;
  }
  ends_written(ch.written(), 0);
  return 0;
}
