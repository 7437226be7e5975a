// How many wrong passwords the token endpoint takes: per user name, and
// per client address where the web server gives one (REMOTE_ADDR), at
// most a fixed number of failures in a window that opens at the first of
// them. Past that, attempts are refused without running bcrypt until the
// window has passed; refused attempts are not counted, so they never make
// the window longer. The counts live in the storage tree (reg_attempts_*),
// shared by every process and every machine that serves it.
#ifndef REGISTRY_ACCESS_LOGIN_THROTTLE_H
#define REGISTRY_ACCESS_LOGIN_THROTTLE_H

#include <cstdint>
#include <string>

#include "storage/reg_storage.h"

namespace auth {

inline constexpr int64_t kThrottleWindowSeconds = 60;
inline constexpr uint32_t kNameFailureLimit = 5;
// An address may hold several people (a network behind one gateway) and
// every name is throttled on its own besides: more failures are let
// through per address than per name.
inline constexpr uint32_t kAddressFailureLimit = 20;

// What one attempt is counted against: its user name, and its address.
struct AttemptKeys {
  reg_attempt_key keys[REG_ATTEMPT_KEYS_MAX];
  uint32_t limits[REG_ATTEMPT_KEYS_MAX];
  int count = 0;
};
// The keys of an attempt: hashes keyed with secret (the token key), so
// that nobody without it can choose names that share a bucket. address
// may be empty (the server gave none).
AttemptKeys attempt_keys(const std::string& secret, const std::string& user, const std::string& address);
// The key a user name is counted under.
reg_attempt_key name_key(const std::string& secret, const std::string& user);

// The part of a client address that is throttled: an IPv4 address whole
// ("v4:192.0.2.1"), an IPv6 address by its first 64 bits
// ("v6:20010db8000000ab"), since one network is handed a /64 and could
// otherwise take a fresh address for every few attempts; an IPv4 address
// written in IPv6 ("::ffff:192.0.2.1") as IPv4. Anything else as written
// after "other:", so that no text can pass for an address it is not.
std::string address_class(const std::string& address);

// Seconds until the attempt may be made, or 0 when it may be made now: a
// key whose count has reached its limit refuses it for the rest of its
// window (at least 1 second, at most one window).
int64_t seconds_refused(const AttemptKeys& keys, const reg_attempt_count* counts, int64_t now);

}  // namespace auth

#endif
