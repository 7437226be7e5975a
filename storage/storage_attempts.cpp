// Failed password attempts, counted per key in a fixed number of small
// bucket files (see reg_storage.h). A bucket is text, one record a line:
//
//   <32 lowercase hex digits: the key> <since: seconds since 1970> <failures>\n
//
// Lines of any other form are skipped and vanish at the bucket's next
// write: what cannot be read counts as no failures, and a record can never
// keep a key refused for longer than one window past its opening.
#include <algorithm>
#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/host.h"
#include "storage/reg_storage.h"
#include "storage/storage_digest.h"
#include "storage/storage_fs.h"
#include "storage/storage_layout.h"
#include "storage/storage_state.h"
#include "text/hex.h"

using namespace storage;

namespace {

static_assert(REG_ATTEMPT_BUCKETS <= 256, "a key's first byte chooses its bucket");

// The longest line: 32 hex digits, a 20-digit time, a 10-digit count and
// their separators. A bucket file is read into a buffer that holds a full
// bucket of such lines; anything past it is no record of ours.
constexpr size_t kLineMax = REG_ATTEMPT_KEY_LEN * 2 + 1 + 20 + 1 + 10 + 1;
constexpr size_t kBucketReadCap = REG_ATTEMPT_BUCKET_CAP * kLineMax + 1;
constexpr int kWriteAttempts = 100;
constexpr int kReadAttempts = 100;

struct Record {
  reg_attempt_key key;
  int64_t since;
  uint32_t failures;
};

unsigned bucket_of(const reg_attempt_key& key) { return key.bytes[0] % REG_ATTEMPT_BUCKETS; }

bool same_key(const reg_attempt_key& a, const reg_attempt_key& b) {
  return std::memcmp(a.bytes, b.bytes, REG_ATTEMPT_KEY_LEN) == 0;
}

// A window is open from since until since + window. One that opened more
// than a window ahead of now was written by a clock far off, or by no
// writer at all: it is not taken as open, so it cannot refuse a key for
// longer than a window.
bool open_at(const Record& r, int64_t now, int64_t window) {
  return r.failures > 0 && r.since > 0 && now < r.since + window && r.since <= now + window;
}

// A decimal number of 1 to 19 digits running from *p to the byte stop;
// *p moves past it.
bool parse_number(const char** p, const char* end, char stop, uint64_t* out) {
  uint64_t v = 0;
  int digits = 0;
  const char* q = *p;
  for (; q < end && *q >= '0' && *q <= '9'; ++q, ++digits) {
    if (digits == 19) return false;
    v = v * 10 + static_cast<uint64_t>(*q - '0');
  }
  if (digits == 0 || q >= end || *q != stop) return false;
  *p = q + 1;
  *out = v;
  return true;
}

// One line, its '\n' included, at [p, end): the record, and where the
// next line begins; false (and *next past the line) when it is not one.
bool parse_record(const char* p, const char* end, Record* out, const char** next) {
  const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
  *next = nl == nullptr ? end : nl + 1;
  if (nl == nullptr || nl - p < static_cast<ptrdiff_t>(REG_ATTEMPT_KEY_LEN * 2 + 4)) return false;
  if (text_hex_decode(p, REG_ATTEMPT_KEY_LEN, out->key.bytes, 1) != 0) return false;
  const char* q = p + REG_ATTEMPT_KEY_LEN * 2;
  if (*q++ != ' ') return false;
  uint64_t since = 0;
  uint64_t failures = 0;
  if (!parse_number(&q, *next, ' ', &since) || !parse_number(&q, *next, '\n', &failures)) return false;
  if (since > static_cast<uint64_t>(INT64_MAX / 2) || failures > UINT32_MAX) return false;
  out->since = static_cast<int64_t>(since);
  out->failures = static_cast<uint32_t>(failures);
  return true;
}

// The records of a bucket; a bucket never written has none. -1 when the
// file is there but cannot be read.
int read_bucket(unsigned bucket, std::vector<Record>* out, reg_status* st) {
  out->clear();
  char path[kPathCap];
  if (!throttle_bucket_path(bucket, path, sizeof path)) return fail(st, REG_ERR_STORAGE, "path too long");
  char text[kBucketReadCap];
  size_t len = 0;
  // A reader takes no lock, and a writer replaces the file whole: on
  // Windows an open that meets the replacement fails, though a file is
  // there before and after it. Such a read is tried again; one that keeps
  // failing with a file in place is a failure.
  for (int attempt = 0;; ++attempt) {
    if (read_file(path, text, sizeof text, &len) == 0) break;
    if (!file_exists(path) && !dir_exists(path)) return 0;
    if (attempt == kReadAttempts - 1) return fail(st, REG_ERR_STORAGE, "cannot read %s", path);
  }
  const char* end = text + len;
  for (const char* p = text; p < end;) {
    Record r;
    if (parse_record(p, end, &r, &p) && out->size() < REG_ATTEMPT_BUCKET_CAP) out->push_back(r);
  }
  return 0;
}

// Replaces the bucket with the records, for a writer that holds the
// bucket's lock. A bucket left without records stays, empty: a file
// removed while a reader has it open would, on Windows, keep its name
// from the next write until that reader lets go. Losing a bucket to a
// power cut forgets failures of the last minute at most: no flush to
// stable storage.
int write_bucket(unsigned bucket, const std::vector<Record>& records, reg_status* st) {
  char path[kPathCap];
  if (!throttle_bucket_path(bucket, path, sizeof path)) return fail(st, REG_ERR_STORAGE, "path too long");
  std::string text;
  text.reserve(records.size() * kLineMax);
  for (const Record& r : records) {
    char hex[REG_ATTEMPT_KEY_LEN * 2 + 1];
    bin_to_hex(r.key.bytes, REG_ATTEMPT_KEY_LEN, hex);
    char line[kLineMax + 1];
    std::snprintf(line, sizeof line, "%s %" PRId64 " %" PRIu32 "\n", hex, r.since, r.failures);
    text += line;
  }
  // Windows refuses to rename over a file that any process has open, and
  // readers open buckets without the lock, for the moment of one read: a
  // rename that meets one is tried again.
  for (int attempt = 0; attempt < kWriteAttempts; ++attempt) {
    if (write_file_locked(path, text.data(), text.size(), Durability::kCache) == 0) return 0;
  }
  return fail(st, REG_ERR_STORAGE, "cannot write %s", path);
}

const Record* find(const std::vector<Record>& records, const reg_attempt_key& key) {
  for (const Record& r : records) {
    if (same_key(r.key, key)) return &r;
  }
  return nullptr;
}

bool keys_valid(const reg_attempt_key* keys, int n) { return keys != nullptr && n >= 1 && n <= REG_ATTEMPT_KEYS_MAX; }

// One failure at now against key in records (whose closed windows are
// gone already): its open window counts one more, or a window opens. A
// full bucket drops one record that none of the keys counted now owns.
void count_failure(std::vector<Record>* records, const reg_attempt_key& key, const reg_attempt_key* counted,
                   int counted_n, int64_t now) {
  for (Record& r : *records) {
    if (same_key(r.key, key)) {
      if (r.failures < UINT32_MAX) ++r.failures;
      return;
    }
  }
  if (records->size() >= REG_ATTEMPT_BUCKET_CAP) {
    // The fewest failures, then the oldest window: a key that many have
    // failed against is the last to be forgotten.
    auto victim = records->end();
    for (auto it = records->begin(); it != records->end(); ++it) {
      bool ours = false;
      for (int i = 0; i < counted_n; ++i) ours = ours || same_key(it->key, counted[i]);
      if (ours) continue;
      if (victim == records->end() || it->failures < victim->failures ||
          (it->failures == victim->failures && it->since < victim->since)) {
        victim = it;
      }
    }
    if (victim != records->end()) records->erase(victim);
  }
  records->push_back({key, now, 1});
}

}  // namespace

namespace {

int read_counts(const reg_attempt_key* keys, int n, int64_t now, int64_t window, reg_attempt_count* out,
                reg_status* st) {
  std::vector<Record> records;
  int loaded = -1;  // the bucket in records
  for (int i = 0; i < n; ++i) {
    const unsigned bucket = bucket_of(keys[i]);
    if (static_cast<int>(bucket) != loaded) {
      if (read_bucket(bucket, &records, st) != 0) return -1;
      loaded = static_cast<int>(bucket);
    }
    const Record* r = find(records, keys[i]);
    out[i] = r != nullptr && open_at(*r, now, window) ? reg_attempt_count{r->since, r->failures} : reg_attempt_count{0, 0};
  }
  return 0;
}

int hold_keys(reg_attempt_hold* hold, const reg_attempt_key* keys, int n, int64_t now, int64_t window,
              reg_attempt_count* out, reg_status* st) {
  std::memset(hold, 0, sizeof *hold);
  std::memcpy(hold->keys, keys, sizeof *keys * static_cast<size_t>(n));
  hold->key_count = n;
  // Buckets are locked in ascending order, so two holds that share
  // buckets never wait on each other crosswise; a bucket two keys share is
  // locked once.
  unsigned buckets[REG_ATTEMPT_KEYS_MAX];
  for (int i = 0; i < n; ++i) buckets[i] = bucket_of(keys[i]);
  std::sort(buckets, buckets + n);
  const int distinct = static_cast<int>(std::unique(buckets, buckets + n) - buckets);
  char dir[kPathCap];
  if (!throttle_dir(dir, sizeof dir) || mkdirs(dir) != 0) return fail(st, REG_ERR_STORAGE, "cannot create %s", dir);
  for (int i = 0; i < distinct; ++i) {
    char path[kPathCap];
    FILE* f = throttle_lock_path(buckets[i], path, sizeof path) ? host::open_file(path, "ab") : nullptr;
    if (f == nullptr || !host::lock_file(f)) {
      fail(st, REG_ERR_STORAGE, "cannot lock %s", path);
      if (f != nullptr) std::fclose(f);
      reg_attempts_release(hold);
      return -1;
    }
    hold->locks[hold->lock_count++] = f;
  }
  if (read_counts(keys, n, now, window, out, st) != 0) {
    reg_attempts_release(hold);
    return -1;
  }
  return 0;
}

bool hold_valid(const reg_attempt_hold* hold, int64_t window, reg_status* st) {
  if (hold == nullptr || hold->lock_count == 0 || !keys_valid(hold->keys, hold->key_count) || window <= 0) {
    fail(st, REG_ERR_INVALID, "no hold");
    return false;
  }
  return require_ready(st) == 0;
}

// Changes, once for each key of the hold, the records of the key's
// bucket (those of closed windows gone), one write per bucket.
template <typename Change>
int change_held(reg_attempt_hold* hold, int64_t now, int64_t window, Change change, reg_status* st) {
  bool done[REG_ATTEMPT_KEYS_MAX] = {};
  for (int i = 0; i < hold->key_count; ++i) {
    if (done[i]) continue;
    const unsigned bucket = bucket_of(hold->keys[i]);
    std::vector<Record> records;
    if (read_bucket(bucket, &records, st) != 0) return -1;
    records.erase(std::remove_if(records.begin(), records.end(),
                                 [&](const Record& r) { return !open_at(r, now, window); }),
                  records.end());
    for (int j = i; j < hold->key_count; ++j) {
      if (bucket_of(hold->keys[j]) != bucket) continue;
      change(&records, hold->keys[j]);
      done[j] = true;
    }
    if (write_bucket(bucket, records, st) != 0) return -1;
  }
  return 0;
}

}  // namespace

extern "C" int reg_attempts_read(const reg_attempt_key* keys, int n, int64_t now, int64_t window,
                                 reg_attempt_count* out, reg_status* caller) {
  CallStatus st(caller);
  if (!keys_valid(keys, n) || out == nullptr || window <= 0) return fail(st, REG_ERR_INVALID, "invalid argument");
  if (require_ready(st) != 0) return -1;
  return read_counts(keys, n, now, window, out, st);
}

extern "C" int reg_attempts_hold(reg_attempt_hold* hold, const reg_attempt_key* keys, int n, int64_t now,
                                 int64_t window, reg_attempt_count* out, reg_status* caller) {
  CallStatus st(caller);
  if (hold == nullptr || !keys_valid(keys, n) || out == nullptr || window <= 0) {
    return fail(st, REG_ERR_INVALID, "invalid argument");
  }
  if (require_ready(st) != 0) return -1;
  return hold_keys(hold, keys, n, now, window, out, st);
}

extern "C" int reg_attempts_fail(reg_attempt_hold* hold, int64_t now, int64_t window, reg_status* caller) {
  CallStatus st(caller);
  if (!hold_valid(hold, window, st)) return -1;
  return change_held(
      hold, now, window,
      [&](std::vector<Record>* records, const reg_attempt_key& key) {
        count_failure(records, key, hold->keys, hold->key_count, now);
      },
      st);
}

extern "C" int reg_attempts_take_back(reg_attempt_hold* hold, int64_t now, int64_t window, reg_status* caller) {
  CallStatus st(caller);
  if (!hold_valid(hold, window, st)) return -1;
  return change_held(
      hold, now, window,
      [](std::vector<Record>* records, const reg_attempt_key& key) {
        for (auto it = records->begin(); it != records->end(); ++it) {
          if (!same_key(it->key, key)) continue;
          if (it->failures > 1) {
            --it->failures;
          } else {
            records->erase(it);
          }
          return;
        }
      },
      st);
}

extern "C" void reg_attempts_release(reg_attempt_hold* hold) {
  if (hold == nullptr) return;
  for (int i = 0; i < hold->lock_count; ++i) std::fclose(hold->locks[i]);
  hold->lock_count = 0;
}
