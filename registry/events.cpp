// Events in the outbox, written by the handler that made the change.
#include "registry/events.h"

#include <cstdio>
#include <string>

#include "platform/host.h"
#include "storage/reg_storage.h"
#include "text/civil_time.h"
#include "text/json_escape.h"

namespace registry {
namespace {

// A new event id; "" when the system's random source fails.
std::string random_id() {
  char id[REG_EVENT_ID_LEN + 1];
  return reg_event_new_id(id) == 0 ? std::string(id, REG_EVENT_ID_LEN) : std::string();
}

// The address clients used for this server: the scheme the web server
// says it answered with, and the Host they sent.
std::string base_url(const Request& req) {
  const std::string https = req.var("HTTPS");
  const bool secure = !https.empty() && https != "off";
  std::string host = req.var("HTTP_HOST");
  if (host.empty()) host = req.var("SERVER_NAME");
  return std::string(secure ? "https://" : "http://") + host;
}

std::string target_json(const Call& c, const EventTarget& t) {
  const std::string& repo = c.req.route().name;
  std::string out = "{";
  text_json_member_append(&out, "mediaType", t.media_type);
  if (!t.digest.empty()) {
    out += ',';
    text_json_member_append(&out, "digest", t.digest);
  }
  if (t.size >= 0) out += ",\"size\":" + std::to_string(t.size) + ",\"length\":" + std::to_string(t.size);
  out += ',';
  text_json_member_append(&out, "repository", repo);
  if (!t.digest.empty()) {
    const bool blob = c.req.route().kind == RouteKind::kBlob;
    out += ',';
    text_json_member_append(&out, "url", base_url(c.req) + "/v2/" + repo + (blob ? "/blobs/" : "/manifests/") + t.digest);
  }
  if (!t.tag.empty()) {
    out += ',';
    text_json_member_append(&out, "tag", t.tag);
  }
  return out + "}";
}

}  // namespace

std::string rfc3339_nanos(int64_t now_ns) {
  char out[TEXT_RFC3339_CAP];
  text_rfc3339(now_ns / 1000000000, now_ns % 1000000000, out, sizeof out);
  return out;
}

std::string event_envelope(const Call& c, const std::string& id, int64_t now_ns, const char* action,
                           const EventTarget& target, const std::string& request_id) {
  std::string out = "{\"events\":[{";
  text_json_member_append(&out, "id", id);
  out += ',';
  text_json_member_append(&out, "timestamp", rfc3339_nanos(now_ns));
  out += ',';
  text_json_member_append(&out, "action", action);
  out += ",\"target\":" + target_json(c, target) + ",\"request\":{";
  text_json_member_append(&out, "id", request_id);
  out += ',';
  text_json_member_append(&out, "addr", c.req.var("REMOTE_ADDR"));
  out += ',';
  text_json_member_append(&out, "host", c.req.var("HTTP_HOST"));
  out += ',';
  text_json_member_append(&out, "method", c.req.method());
  out += ',';
  text_json_member_append(&out, "useragent", c.req.var("HTTP_USER_AGENT"));
  out += "},\"actor\":{";
  if (!c.access.user.empty()) text_json_member_append(&out, "name", c.access.user);
  out += "},\"source\":{";
  const std::string port = c.req.var("SERVER_PORT");
  text_json_member_append(&out, "addr", c.req.var("SERVER_NAME") + (port.empty() ? "" : ":" + port));
  out += "}}]}\n";
  return out;
}

bool events_usable(Call& c) {
  if (c.settings.events_error.empty()) return true;
  c.misconfigured("events", c.settings.events_error);
  return false;
}

bool record_events(Call& c, const char* action, const std::vector<EventTarget>& targets) {
  const settings::EventSettings& on = c.settings.events;
  if (!on.on || (std::string(action) == "pull" && !on.pulls)) return true;
  const std::string request_id = random_id();
  for (const EventTarget& t : targets) {
    const std::string id = random_id();
    if (id.empty() || request_id.empty()) {
      c.log_failure("event", "the system's random source failed");
      c.resp.error(ApiError::kStorage, "the event could not be recorded");
      return false;
    }
    const std::string text = event_envelope(c, id, host::now_nanoseconds(), action, t, request_id);
    if (reg_event_record(id.c_str(), text.data(), text.size(), nullptr, &c.st) != 0) {
      c.engine_failure(FailureMap{ApiError::kStorage, ApiError::kStorage}, "event");
      return false;
    }
  }
  return true;
}

}  // namespace registry
