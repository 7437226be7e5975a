// One POST of an event envelope to a receiver, for registry-admin's
// deliverer.
#ifndef REGISTRY_ADMIN_EVENT_POST_H
#define REGISTRY_ADMIN_EVENT_POST_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace admin {

struct Endpoint {
  std::string name;
  std::string url;
  std::vector<std::pair<std::string, std::string>> headers;
  int64_t timeout_ms = 5000;
  int64_t backoff_s = 1;  // the wait after a first failure, doubled after each next
};

// Whether this build can post at all; why not when it cannot.
bool event_post_available(std::string* why);
// Posts body with the envelope's media type and the endpoint's headers:
// the HTTP status, or 0 with why when no answer came (refused, timed out).
long post_event(const Endpoint& endpoint, const std::string& body, std::string* why);

}  // namespace admin

#endif
