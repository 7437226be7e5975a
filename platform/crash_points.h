// Crash points inside the host layer (see host.h for what a test sets):
// every call of the host layer that changes the tree is one step, and a
// step may end the process just before or just after it takes effect.
// Only the host files include this header.
#ifndef REGISTRY_PLATFORM_CRASH_POINTS_H
#define REGISTRY_PLATFORM_CRASH_POINTS_H

#include <cstdint>

namespace host::crash {

// What a step does to the tree; a test may count only some kinds.
enum class Step : uint8_t { kCreate, kWrite, kSync, kRename, kLink, kRemove, kMkdir, kTruncate, kTouch };

struct Plan {
  int64_t at = 0;          // the step to end at, counted from 1; 0: never
  bool after = false;      // once that step took effect, not before it
  uint32_t kinds = ~0u;    // bit (1 << Step) for each kind counted
};

// REGISTRY_CRASH_AT, read from the environment at the first step and
// never again.
const Plan& plan();

// Numbers the step when it is of a counted kind and ends the process when
// it is the one to end before; true when it is the one to end after.
bool begin_step(Step s);

// Ends the process at once, as SIGKILL or TerminateProcess would: no
// buffered output flushed, no handler or destructor run. One per host.
[[noreturn]] void end_process_now();

// One step, from its construction (just before the call) to its
// destruction (just after). Unarmed, a step costs one look at the plan.
class Point {
 public:
  // counted false: a call that changes nothing this time (a file opened
  // for reading) is no step.
  explicit Point(Step s, bool counted = true) : ends_after_(counted && plan().at != 0 && begin_step(s)) {}
  ~Point() {
    if (ends_after_) end_process_now();
  }
  Point(const Point&) = delete;
  Point& operator=(const Point&) = delete;
  // A write that is to end the process after it flushes its stream first,
  // so that its bytes are in the file as a kill would find them.
  bool ends_after() const { return ends_after_; }

 private:
  bool ends_after_;
};

}  // namespace host::crash

#endif
