// The registry a mirror fetches from, spoken to through libcurl: requests
// below its /v2/, with the credentials it asks for. A 401 with a Bearer
// challenge is answered by the token flow (its realm asked for a token of
// the repository's pull scope, with Basic credentials when there are any,
// anonymously when not), one with a Basic challenge by the credentials.
// Tokens are kept per scope, in the process, for as long as they last.
#ifndef REGISTRY_MIRROR_UPSTREAM_H
#define REGISTRY_MIRROR_UPSTREAM_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "settings/settings.h"

namespace mirror {

// What upstream answered, as far as the mirror needs it.
struct Reply {
  int status = 0;          // 0: no answer (not reachable, cut short)
  std::string error;       // why, when status is 0
  std::string content_type;
  std::string digest;      // Docker-Content-Digest
  std::string retry_after;
  int64_t length = -1;     // Content-Length, -1 when not given
  std::string next;        // the target of a Link with rel="next", as given
  std::string body;        // a GET's body (manifests: at most the cap)
};

class Upstream {
 public:
  explicit Upstream(const settings::MirrorSettings& s) : s_(s) {}

  // A whole GET (head: HEAD) of /v2/<name>/<what>, with the accept header
  // given; the body at most cap bytes (more: status 0 and an error).
  Reply fetch(const std::string& name, const std::string& what, const char* accept, bool head, size_t cap);
  // A whole GET of the next page that a Reply's Link named, for name's
  // <what>: only a page on upstream itself, below /v2/<name>/<what>
  // (anything else: status 0 and an error).
  Reply fetch_next(const std::string& name, const std::string& what, const std::string& next, const char* accept,
                   size_t cap);

  // A GET of /v2/<name>/<what> read as it arrives: begin() waits for the
  // answer's status and headers; read() then gives the body's bytes, 0 at
  // its end, -1 when it did not arrive whole.
  class Stream;
  Stream* open_stream(const std::string& name, const std::string& what);
  Reply begin(Stream* s);
  long read(Stream* s, char* buf, size_t n);
  void close(Stream* s);

 private:
  // The Authorization header line for name's pull scope; "" when none is
  // known yet.
  std::string authorization(const std::string& name);
  // After a 401: learns how to authenticate from its challenge; false
  // when there is no way to.
  bool answer_challenge(const std::string& name, const std::string& challenge);

  Reply fetch_url(const std::string& name, const std::string& url, const char* accept, bool head, size_t cap);

  const settings::MirrorSettings& s_;
  bool basic_ = false;  // upstream asked for Basic
};

}  // namespace mirror

#endif
