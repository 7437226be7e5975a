// registry-admin events: what the outbox holds (list), and its delivery to
// the receivers config.json names (deliver, once or --follow).
//
// Delivery is at least once: an event leaves the outbox only after every
// endpoint answered it with a 2xx, so a deliverer killed at any point sends
// it again later, with the same id. Order holds per repository: once an
// event of a repository fails, no later event of that repository goes in
// the same pass. One deliverer works at a time (the outbox's lock, let go
// by the system however its holder ends), so two started at once take
// turns and never race over one event.
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "admin/admin_commands.h"
#include "admin/event_post.h"
#include "platform/host.h"
#include "settings/config_file.h"
#include "storage/reg_storage.h"
#include "yyjson.h"

namespace admin {
namespace {

// The longest wait between tries of one event, however often it failed.
constexpr int64_t kBackoffMaxS = 300;

// What one event says of itself, from its envelope.
struct EventHead {
  std::string id;
  std::string action;
  std::string repository;
  std::string tag;
  std::string digest;
};

std::string str_of(yyjson_val* obj, const char* key) {
  yyjson_val* v = yyjson_obj_get(obj, key);
  return yyjson_is_str(v) ? std::string(yyjson_get_str(v), yyjson_get_len(v)) : std::string();
}

bool read_head(const std::string& text, EventHead* out) {
  yyjson_doc* doc = yyjson_read(text.data(), text.size(), 0);
  if (doc == nullptr) return false;
  yyjson_val* event = yyjson_arr_get_first(yyjson_obj_get(yyjson_doc_get_root(doc), "events"));
  yyjson_val* target = yyjson_obj_get(event, "target");
  out->id = str_of(event, "id");
  out->action = str_of(event, "action");
  out->repository = str_of(target, "repository");
  out->tag = str_of(target, "tag");
  out->digest = str_of(target, "digest");
  yyjson_doc_free(doc);
  return !out->id.empty() && !out->repository.empty();
}

// "5s", "2m", or "500ms".
bool parse_millis(const std::string& text, int64_t* ms) {
  if (text.size() > 2 && text.compare(text.size() - 2, 2, "ms") == 0) {
    int64_t s = 0;
    if (!parse_duration(text.substr(0, text.size() - 2), &s)) return false;
    *ms = s;
    return true;
  }
  int64_t s = 0;
  if (!parse_duration(text, &s)) return false;
  *ms = s * 1000;
  return true;
}

// A header's values: one string, or an array of them (as the common
// registries write their notification headers).
bool read_headers(yyjson_val* headers, Endpoint* e, std::string* why) {
  if (headers == nullptr) return true;
  if (!yyjson_is_obj(headers)) return *why = "\"headers\" is not an object", false;
  yyjson_obj_iter it = yyjson_obj_iter_with(headers);
  for (yyjson_val* key = yyjson_obj_iter_next(&it); key != nullptr; key = yyjson_obj_iter_next(&it)) {
    const std::string name(yyjson_get_str(key), yyjson_get_len(key));
    yyjson_val* v = yyjson_obj_iter_get_val(key);
    std::vector<yyjson_val*> values;
    if (yyjson_is_arr(v)) {
      yyjson_arr_iter ai = yyjson_arr_iter_with(v);
      for (yyjson_val* x = yyjson_arr_iter_next(&ai); x != nullptr; x = yyjson_arr_iter_next(&ai)) values.push_back(x);
    } else {
      values.push_back(v);
    }
    for (yyjson_val* x : values) {
      const std::string value = yyjson_is_str(x) ? std::string(yyjson_get_str(x), yyjson_get_len(x)) : "";
      // A line break would let a value write headers of its own.
      if (!yyjson_is_str(x) || name.find_first_of(":\r\n") != std::string::npos || name.empty() ||
          value.find_first_of("\r\n") != std::string::npos || value.find('\0') != std::string::npos ||
          name.find('\0') != std::string::npos) {
        return *why = "header \"" + name + "\" is not a name with string values on one line", false;
      }
      e->headers.emplace_back(name, value);
    }
  }
  return true;
}

bool read_endpoint(yyjson_val* v, size_t index, Endpoint* e, std::string* why) {
  const std::string where = "event_endpoints[" + std::to_string(index) + "]";
  if (!yyjson_is_obj(v)) return *why = where + " is not an object", false;
  e->url = str_of(v, "url");
  e->name = str_of(v, "name");
  if (e->name.empty()) e->name = e->url;
  if (e->url.rfind("http://", 0) != 0 && e->url.rfind("https://", 0) != 0) {
    return *why = where + ": \"url\" is not an http:// or https:// URL", false;
  }
  const std::string timeout = str_of(v, "timeout");
  if (!timeout.empty() && (!parse_millis(timeout, &e->timeout_ms) || e->timeout_ms <= 0)) {
    return *why = where + ": \"timeout\" is \"" + timeout + "\": a duration such as 5s or 500ms", false;
  }
  const std::string backoff = str_of(v, "backoff");
  if (!backoff.empty() && !parse_duration(backoff, &e->backoff_s)) {
    return *why = where + ": \"backoff\" is \"" + backoff + "\": a duration such as 1s", false;
  }
  if (!read_headers(yyjson_obj_get(v, "headers"), e, why)) return *why = where + ": " + *why, false;
  return true;
}

// The "event_endpoints" array of the configuration file.
bool read_endpoints(const std::string& path, std::vector<Endpoint>* out, std::string* why) {
  std::string text;
  char err[256] = {};
  switch (settings::read_config_text(path.c_str(), &text, err, sizeof err)) {
    case settings::ConfigRoot::kNone: return *why = path + ": no such file", false;
    case settings::ConfigRoot::kInvalid: return *why = path + " " + err, false;
    case settings::ConfigRoot::kFound: break;
  }
  yyjson_doc* doc = yyjson_read(text.data(), text.size(), 0);
  if (doc == nullptr) return *why = path + ": not JSON", false;
  yyjson_val* list = yyjson_obj_get(yyjson_doc_get_root(doc), "event_endpoints");
  bool ok = yyjson_is_arr(list) && yyjson_arr_size(list) > 0;
  if (!ok) *why = path + ": no \"event_endpoints\" array of receivers";
  for (size_t i = 0; ok && i < yyjson_arr_size(list); ++i) {
    Endpoint e;
    ok = read_endpoint(yyjson_arr_get(list, i), i, &e, why);
    if (ok) out->push_back(std::move(e));
  }
  if (!ok && why->rfind(path, 0) != 0) *why = path + ": " + *why;
  yyjson_doc_free(doc);
  return ok;
}

int collect(void* ctx, const reg_event_info* e) {
  static_cast<std::vector<reg_event_info>*>(ctx)->push_back(*e);
  return 0;
}

bool pending(std::vector<reg_event_info>* out) {
  reg_status st;
  if (reg_events_pending(collect, out, &st) == 0) return true;
  fail(kExitFound, "events: %s", st.message);
  return false;
}

std::string event_text(const char* name, reg_status* st) {
  std::string text;
  reg_event_read(
      name, [](void* ctx, const char* d, size_t n) { return static_cast<std::string*>(ctx)->append(d, n), 0; }, &text,
      st);
  return text;
}

std::string reference_of(const EventHead& h) {
  if (!h.tag.empty()) return h.repository + ":" + h.tag;
  if (!h.digest.empty()) return h.repository + "@" + h.digest;
  return h.repository;
}

int run_list(Invocation& in) {
  if (!in.rest().empty()) return fail(kExitUsage, "events list: unexpected argument: %s", in.rest()[0].c_str());
  if (const int opened = open_storage(Open::kRegistry); opened != kExitOk) return opened;
  std::vector<reg_event_info> events;
  if (!pending(&events)) return kExitFound;
  std::string json;
  for (const reg_event_info& e : events) {
    reg_status st;
    const std::string text = event_text(e.name, &st);
    if (st.kind == REG_ERR_NOT_FOUND) continue;  // delivered since the listing
    EventHead h;
    if (!read_head(text, &h)) h.action = "(unreadable)";
    if (in.json()) {
      json += std::string(json.empty() ? "" : ",") + "{\"name\":" + json_string(e.name) + ",\"id\":" + json_string(h.id) +
              ",\"action\":" + json_string(h.action) + ",\"repository\":" + json_string(h.repository) +
              ",\"tag\":" + json_string(h.tag) + ",\"digest\":" + json_string(h.digest) +
              ",\"tries\":" + std::to_string(e.tries) + ",\"last_try\":" + std::to_string(e.last_try) + "}";
    } else {
      std::printf("%s %s %s, %s\n", e.name, h.action.c_str(), reference_of(h).c_str(),
                  count_of(e.tries, "try", "tries").c_str());
    }
  }
  if (in.json()) {
    std::printf("{\"pending\":%zu,\"events\":[%s]}\n", events.size(), json.c_str());
  } else {
    std::printf("events: %s pending\n", std::to_string(events.size()).c_str());
  }
  return kExitOk;
}

// Whether the event's wait since its last failure is over: the endpoint's
// backoff, doubled with every failure after the first, at most five minutes.
bool due(const reg_event_info& e, const std::vector<Endpoint>& endpoints, int64_t now) {
  if (e.tries == 0) return true;
  int64_t wait = 0;
  for (const Endpoint& ep : endpoints) wait = std::max(wait, ep.backoff_s);
  for (int64_t i = 1; i < e.tries && wait < kBackoffMaxS; ++i) wait *= 2;
  return now >= e.last_try + std::min(wait, kBackoffMaxS);
}

struct PassCounts {
  int64_t delivered = 0;
  int64_t failed = 0;
  int64_t waiting = 0;
};

// Sends every endpoint the event; true once all answered with a 2xx.
bool send_to_all(const std::vector<Endpoint>& endpoints, const char* name, const std::string& text) {
  bool all = true;
  for (const Endpoint& ep : endpoints) {
    std::string why;
    const long status = post_event(ep, text, &why);
    if (status >= 200 && status < 300) continue;
    all = false;
    if (status == 0) {
      std::printf("failed %s: %s: %s\n", name, ep.name.c_str(), why.c_str());
    } else {
      std::printf("failed %s: %s: HTTP %ld\n", name, ep.name.c_str(), status);
    }
  }
  return all;
}

// One pass over the outbox under the deliverers' lock. with_backoff: an
// event that failed lately waits (and so do the later ones of its
// repository); without, every event is tried now.
bool deliver_pass(const std::vector<Endpoint>& endpoints, bool with_backoff, PassCounts* counts) {
  reg_status st;
  reg_event_lock* lock = reg_events_lock(&st);
  if (lock == nullptr) return fail(kExitFound, "events: %s", st.message), false;
  // What a registry killed while writing an event left: an hour is far
  // longer than any write of one takes.
  if (reg_events_sweep(3600, &st) != 0) fail(kExitFound, "events: %s", st.message);
  std::vector<reg_event_info> events;
  bool ok = pending(&events);
  std::set<std::string> held;  // repositories with an earlier event not delivered
  const int64_t now = host::now_seconds();
  for (size_t i = 0; ok && i < events.size(); ++i) {
    const reg_event_info& e = events[i];
    const std::string text = event_text(e.name, &st);
    if (st.kind == REG_ERR_NOT_FOUND) continue;
    if (st.kind != REG_ERR_NONE) {
      ok = fail(kExitFound, "events: %s", st.message) == kExitOk;
      break;
    }
    EventHead h;
    if (!read_head(text, &h)) h.repository = "";  // sent as it is, in no repository's order
    if (held.count(h.repository) != 0 || (with_backoff && !due(e, endpoints, now))) {
      held.insert(h.repository);
      ++counts->waiting;
      continue;
    }
    if (!send_to_all(endpoints, e.name, text)) {
      held.insert(h.repository);
      ++counts->failed;
      if (reg_event_tried(e.name, &st) != 0) ok = fail(kExitFound, "events: %s", st.message) == kExitOk;
      continue;
    }
    if (reg_event_remove(e.name, &st) != 0) {
      ok = fail(kExitFound, "events: %s", st.message) == kExitOk;
      break;
    }
    ++counts->delivered;
    std::printf("delivered %s %s %s\n", e.name, h.action.c_str(), reference_of(h).c_str());
    std::fflush(stdout);
  }
  reg_events_unlock(lock);
  return ok;
}

int run_deliver(Invocation& in) {
  const bool follow = in.take_flag("--follow");
  bool bad = false;
  std::string config = "config.json";
  std::string interval_text;
  in.take_value("--config", &config, &bad);
  const bool interval_given = in.take_value("--interval", &interval_text, &bad);
  if (bad) return kExitUsage;
  if (!in.rest().empty()) return fail(kExitUsage, "events deliver: unexpected argument: %s", in.rest()[0].c_str());
  int64_t interval = 1;
  if (interval_given && (!parse_duration(interval_text, &interval) || interval <= 0)) {
    return fail(kExitUsage, "events deliver: --interval is \"%s\": a duration such as 1s", interval_text.c_str());
  }
  std::string why;
  if (!event_post_available(&why)) return fail(kExitFound, "events deliver: %s", why.c_str());
  std::vector<Endpoint> endpoints;
  if (!read_endpoints(config, &endpoints, &why)) return fail(kExitUsage, "events deliver: %s", why.c_str());
  if (const int opened = open_storage(Open::kRegistry); opened != kExitOk) return opened;
  for (;;) {
    PassCounts counts;
    if (!deliver_pass(endpoints, follow, &counts)) return kExitFound;
    if (!follow) {
      std::printf("events: %s, %s, %s waiting\n", count_of(counts.delivered, "delivered", "delivered").c_str(),
                  std::to_string(counts.failed).append(" failed").c_str(), std::to_string(counts.waiting).c_str());
      return counts.failed + counts.waiting == 0 ? kExitOk : kExitFound;
    }
    std::fflush(stdout);
    std::this_thread::sleep_for(std::chrono::seconds(interval));
  }
}

}  // namespace

int run_events(Invocation& in) {
  if (in.rest().empty()) return fail(kExitUsage, "events: list or deliver");
  const std::string sub = in.rest()[0];
  std::vector<std::string> words(in.rest().begin() + 1, in.rest().end());
  Invocation rest(words, in.json());
  if (sub == "list") return run_list(rest);
  if (sub == "deliver") return run_deliver(rest);
  return fail(kExitUsage, "events: unknown subcommand: %s (list or deliver)", sub.c_str());
}

}  // namespace admin
