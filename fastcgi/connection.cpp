// A FastCGI connection, one request at a time.
#include "fastcgi/connection.h"

#include <cstring>

namespace fastcgi {
namespace {

constexpr size_t kFlushAt = 65536;

std::string get_values_result(std::string_view asked) {
  // This responder takes one connection's one request at a time.
  Pairs wanted, answer;
  parse_pairs(asked, &wanted);
  for (const auto& [name, value] : wanted) {
    if (name == "FCGI_MAX_CONNS" || name == "FCGI_MAX_REQS") answer.emplace_back(name, "1");
    if (name == "FCGI_MPXS_CONNS") answer.emplace_back(name, "0");
  }
  return record(kGetValuesResult, 0, encode_pairs(answer));
}

}  // namespace

bool Connection::read_exact(void* buf, size_t n, int timeout_ms) {
  auto* p = static_cast<char*>(buf);
  while (n > 0) {
    if (in_at_ == in_len_) {
      const long got = ch_.read(in_, sizeof in_, timeout_ms);
      if (got <= 0) return false;
      in_len_ = static_cast<size_t>(got);
      in_at_ = 0;
    }
    const size_t take = n < in_len_ - in_at_ ? n : in_len_ - in_at_;
    std::memcpy(p, in_ + in_at_, take);
    in_at_ += take;
    p += take;
    n -= take;
  }
  return true;
}

bool Connection::send(const std::string& bytes) {
  if (broken_) return false;
  if (!ch_.write(bytes.data(), bytes.size())) broken_ = true;
  return !broken_;
}

bool Connection::read_record(Header* h, std::string* content, int timeout_ms) {
  for (;;) {
    uint8_t head[kHeaderSize];
    if (!read_exact(head, sizeof head, timeout_ms) || !parse_header(head, h)) return false;
    content->resize(h->content_length);
    char padding[255];
    if (!read_exact(content->data(), content->size(), timeout_ms) ||
        !read_exact(padding, h->padding_length, timeout_ms)) {
      return false;
    }
    if (h->request_id == 0) {
      // A management record, whenever it comes.
      if (h->type == kGetValues) {
        if (!send(get_values_result(*content))) return false;
      } else {
        const char unknown[8] = {static_cast<char>(h->type), 0, 0, 0, 0, 0, 0, 0};
        if (!send(record(kUnknownType, 0, std::string_view(unknown, sizeof unknown)))) return false;
      }
      continue;
    }
    if (h->type == kBeginRequest && current_ != 0) {
      // The request under way begun again is no protocol this side speaks.
      if (h->request_id == current_) return false;
      // Another request on this connection while one is under way.
      if (!send(end_request(h->request_id, 0, kCantMpxConn))) return false;
      continue;
    }
    if (h->type != kBeginRequest && h->request_id != current_) continue;  // a request not taken
    return true;
  }
}

bool Connection::next_request(RequestHead* out) {
  *out = RequestHead{};
  current_ = 0;
  Header h;
  std::string content;
  // A BEGIN_REQUEST of the responder's role; others are refused.
  for (;;) {
    if (!read_record(&h, &content, limits_.idle_ms)) return false;
    if (h.type != kBeginRequest) continue;
    if (content.size() < 8) return false;
    const uint16_t role = static_cast<uint16_t>((static_cast<unsigned char>(content[0]) << 8) |
                                                static_cast<unsigned char>(content[1]));
    if (role == kResponder) break;
    if (!send(end_request(h.request_id, 0, kUnknownRole))) return false;
  }
  current_ = h.request_id;
  keep_conn_ = (static_cast<unsigned char>(content[2]) & kKeepConn) != 0;
  stdin_done_ = aborted_ = input_failed_ = false;
  body_.clear();
  body_at_ = 0;
  out_.clear();
  err_.clear();
  std::string params;
  for (;;) {
    if (!read_record(&h, &content, limits_.body_ms)) return false;
    if (h.type == kAbortRequest) {
      // Gone before it started: nothing to answer but its end.
      if (!send(end_request(current_, 0, kRequestComplete)) || !keep_conn_) return false;
      return next_request(out);
    }
    if (h.type == kStdin) {
      // Body bytes before the parameters have ended: kept for the body.
      if (content.empty()) {
        stdin_done_ = true;
      } else {
        body_ += content;
      }
      continue;
    }
    if (h.type != kParams) continue;
    if (content.empty()) break;
    if (params.size() + content.size() > limits_.params_max) return false;
    params += content;
  }
  if (!parse_pairs(params, &out->params)) return false;
  out->id = current_;
  out->keep_conn = keep_conn_;
  return true;
}

long Connection::read_body(void* buf, size_t n) {
  while (body_at_ == body_.size()) {
    if (stdin_done_) return 0;
    if (aborted_ || input_failed_) return -1;
    body_.clear();
    body_at_ = 0;
    Header h;
    if (!read_record(&h, &body_, limits_.body_ms)) {
      // The answer may still go out; no further request can come.
      input_failed_ = true;
      body_.clear();
      return -1;
    }
    if (h.type == kAbortRequest) {
      aborted_ = true;
      body_.clear();
      return -1;
    }
    if (h.type != kStdin) {
      body_.clear();
      continue;
    }
    if (body_.empty()) stdin_done_ = true;
  }
  const size_t take = n < body_.size() - body_at_ ? n : body_.size() - body_at_;
  std::memcpy(buf, body_.data() + body_at_, take);
  body_at_ += take;
  return static_cast<long>(take);
}

void Connection::flush_stream(std::string* buffer, uint8_t type) {
  if (buffer->empty()) return;
  send(stream_records(type, current_, *buffer));
  buffer->clear();
}

void Connection::write_stdout(const void* data, size_t len) {
  out_.append(static_cast<const char*>(data), len);
  if (out_.size() >= kFlushAt) flush_stream(&out_, kStdout);
}

void Connection::write_stderr(const void* data, size_t len) {
  stderr_used_ = true;
  err_.append(static_cast<const char*>(data), len);
  if (err_.size() >= kFlushAt) flush_stream(&err_, kStderr);
}

bool Connection::flush() {
  flush_stream(&err_, kStderr);
  flush_stream(&out_, kStdout);
  return !broken_;
}

bool Connection::finish(uint32_t app_status) {
  // What the handler left of the body is read to its end, so that the
  // next request's records follow; within the same bound as any read.
  char sink[65536];
  while (!stdin_done_ && !aborted_ && !input_failed_ && read_body(sink, sizeof sink) > 0) {
  }
  flush();
  if (!aborted_) {
    if (stderr_used_) send(record(kStderr, current_, {}));
    send(record(kStdout, current_, {}));
  }
  stderr_used_ = false;
  send(end_request(current_, app_status, kRequestComplete));
  current_ = 0;
  return !broken_ && !input_failed_ && keep_conn_ && (stdin_done_ || aborted_);
}

}  // namespace fastcgi
