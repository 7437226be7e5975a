// The engine's process-wide state, and how a call reports its outcome.
//
// Every operation reports to the reg_status of its call, passed down to
// whatever words a failure; nothing keeps a "current" status. Only the
// first operations of the engine also publish a failure to the last-error
// globals, which they document.
#ifndef REGISTRY_STORAGE_STATE_H
#define REGISTRY_STORAGE_STATE_H

#include <cstddef>

#include "storage/reg_storage.h"

namespace storage {

inline constexpr size_t kRootCap = REG_ROOT_MAX + 1;
// The largest manifest the engine takes (4 MiB, as the common registries),
// and the shared result buffer that holds one with its NUL. Pages of
// untouched static memory cost nothing.
inline constexpr size_t kManifestMax = REG_MANIFEST_MAX;
inline constexpr size_t kResultCap = kManifestMax + 1;
static_assert(REG_PAGE_TEXT_MAX + 1 == kResultCap, "a page fits the result buffer with its NUL");

// The state the engine's initialisation sets and every operation reads:
// the root (less one trailing separator) and whether the engine is ready.
extern char s_root[kRootCap];
extern int s_ready;
// The last error of the first operations, and their shared result buffer.
extern char s_error[REG_MESSAGE_CAP];
extern char s_result[kResultCap];

// Words a failure into the call's status: its kind, its message and, for
// a storage failure, the system's word for the error of the call that
// just failed (taken before anything else can change it). -1, the result
// of a failed call.
int fail(reg_status* st, reg_error_kind kind, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
// 0 when the engine is ready; else -1 with the "not initialized" failure.
int require_ready(reg_status* st);
// Copies a failed status into the last-error globals of the first
// operations; a status without a failure leaves them as they are.
void publish(const reg_status& st);

// The status a call reports to: the caller's, emptied, or one of the
// call's own when the caller passed none.
class CallStatus {
 public:
  explicit CallStatus(reg_status* caller) : st_(caller != nullptr ? caller : &own_) {
    st_->kind = REG_ERR_NONE;
    st_->message[0] = '\0';
    st_->cause[0] = '\0';
  }
  CallStatus(const CallStatus&) = delete;
  CallStatus& operator=(const CallStatus&) = delete;
  reg_status* get() { return st_; }
  operator reg_status*() { return st_; }

 private:
  reg_status own_;
  reg_status* st_;
};

// The status of a call of the first operations: published as the last
// error when it holds a failure, as the call ends.
class PublishedStatus {
 public:
  PublishedStatus() : st_(nullptr) {}
  PublishedStatus(const PublishedStatus&) = delete;
  PublishedStatus& operator=(const PublishedStatus&) = delete;
  ~PublishedStatus() { publish(*st_.get()); }
  reg_status* get() { return st_.get(); }
  operator reg_status*() { return st_.get(); }

 private:
  CallStatus st_;
};

}  // namespace storage

#endif
