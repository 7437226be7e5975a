// Crash points: what REGISTRY_CRASH_AT asks for, and the count of steps.
// The same on every host; ending the process is each host's own.
#include "platform/crash_points.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace host::crash {
namespace {

constexpr std::string_view kStepNames[] = {"create", "write",  "sync",     "rename", "link",
                                           "remove", "mkdir", "truncate", "touch"};
static_assert(std::size(kStepNames) == static_cast<size_t>(Step::kTouch) + 1, "a name for every kind of step");

// A step number: decimal digits only, from 1.
bool parse_count(std::string_view text, int64_t* out) {
  if (text.empty() || text.size() > 18) return false;
  int64_t n = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  *out = n;
  return n > 0;
}

// "create,rename": the bits of those kinds; false for a name of no kind.
bool parse_kinds(std::string_view text, uint32_t* out) {
  uint32_t kinds = 0;
  for (;;) {
    const size_t comma = text.find(',');
    const std::string_view name = text.substr(0, comma);
    size_t i = 0;
    while (i < std::size(kStepNames) && name != kStepNames[i]) ++i;
    if (i == std::size(kStepNames)) return false;
    kinds |= 1u << i;
    if (comma == std::string_view::npos) break;
    text = text.substr(comma + 1);
  }
  *out = kinds;
  return true;
}

// The next field of a value split at ':'; false when none is left.
bool next_field(std::string_view* rest, bool* more, std::string_view* field) {
  if (!*more) return false;
  const size_t colon = rest->find(':');
  *field = rest->substr(0, colon);
  *more = colon != std::string_view::npos;
  *rest = *more ? rest->substr(colon + 1) : std::string_view();
  return true;
}

// "<n>", "<n>:after", "<n>:<kinds>" or "<n>:after:<kinds>". Anything else
// arms nothing: a test that mistypes it sees its operation run whole.
Plan read_plan() {
  const char* value = std::getenv("REGISTRY_CRASH_AT");
  if (value == nullptr) return Plan();
  std::string_view rest(value, std::strlen(value));
  bool more = true;
  std::string_view field;
  Plan p;
  if (!next_field(&rest, &more, &field) || !parse_count(field, &p.at)) return Plan();
  if (!next_field(&rest, &more, &field)) return p;
  if (field == "after") {
    p.after = true;
    if (!next_field(&rest, &more, &field)) return p;
  }
  if (!parse_kinds(field, &p.kinds) || more) return Plan();
  return p;
}

std::atomic<int64_t> g_steps{0};

}  // namespace

const Plan& plan() {
  static const Plan p = read_plan();
  return p;
}

bool begin_step(Step s) {
  const Plan& p = plan();
  if ((p.kinds & (1u << static_cast<unsigned>(s))) == 0) return false;
  const int64_t n = g_steps.fetch_add(1, std::memory_order_relaxed) + 1;
  if (n != p.at) return false;
  if (!p.after) end_process_now();
  return true;
}

}  // namespace host::crash
