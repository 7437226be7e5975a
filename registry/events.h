// Events of what clients change (and, when asked, pull), in the envelope
// the common registries' notification receivers read:
// {"events":[{"id","timestamp","action","target":{...},"request","actor","source"}]}.
// Each is in the outbox, on stable storage, before the answer is sent:
// an answer a client saw always has its event, and a failed recording
// turns into a 500, so the client tries again.
#ifndef REGISTRY_REGISTRY_EVENTS_H
#define REGISTRY_REGISTRY_EVENTS_H

#include <cstdint>
#include <string>
#include <vector>

#include "registry/handlers.h"

namespace registry {

struct EventTarget {
  std::string media_type;
  std::string digest;
  int64_t size = -1;  // left out when unknown
  std::string tag;    // left out when empty
};

// Whether the events setting can be used; false once a 500 is written.
// Checked before a change, so that a change is never made without its
// event.
bool events_usable(Call& c);
// One event per target, of action ("push", "pull", "delete") on the
// route's repository, when events are on (pulls: when pulls are too);
// false once a 500 is written.
bool record_events(Call& c, const char* action, const std::vector<EventTarget>& targets);

// The envelope of one event, as recorded: for tests and tools that read
// the outbox. now_ns: nanoseconds since 1970.
std::string event_envelope(const Call& c, const std::string& id, int64_t now_ns, const char* action,
                           const EventTarget& target, const std::string& request_id);
// The RFC 3339 form of a time in nanoseconds, UTC, with all nine digits.
std::string rfc3339_nanos(int64_t now_ns);

}  // namespace registry

#endif
