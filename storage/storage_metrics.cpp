// Request counts in the tree: each request's counts are a file of their
// own, named so that no two processes on any machine meet, and written
// whole by a rename. A fold adds the files into the totals and removes
// them. It first writes the new totals together with the names of the
// files it added, then removes those files: a fold killed between the two
// leaves files that the next fold recognises by name and removes without
// adding them again. So a kill anywhere loses at most the counts of the
// request it ended, and never counts a file twice.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/host.h"
#include "storage/reg_storage.h"
#include "storage/storage_fs.h"
#include "storage/storage_layout.h"
#include "storage/storage_locks.h"
#include "storage/storage_state.h"
#include "storage/storage_text.h"

namespace storage {
namespace {

// One recording in this many folds as well (at random, so that no process
// needs to know how many files wait): the files waiting stay a few hundred
// however seldom anyone scrapes.
constexpr unsigned kFoldEvery = 64;
// A temporary file this old was left by a writer that was killed.
constexpr int64_t kLeftoverAge = 3600;
constexpr char kFoldedWord[] = "folded";
// A count file: 20 digits, '-', 16 hex digits.
constexpr size_t kCountNameLen = 20 + 1 + 16;

using Totals = std::map<std::string, int64_t>;

bool count_name_valid(const std::string& name) {
  if (name.size() != kCountNameLen || name[20] != '-') return false;
  for (size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    const bool ok = i < 20 ? (c >= '0' && c <= '9') : i == 20 || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
    if (!ok) return false;
  }
  return true;
}

// The whole file at path into *out: 0, 1 when it is not there, -1 when it
// cannot be read.
int read_whole(const char* path, std::string* out) {
  out->clear();
  FILE* f = host::open_file(path, "rb");
  if (f == nullptr) return host::last_error_is_absence() ? 1 : -1;
  char buf[16384];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, got);
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  return failed ? -1 : 0;
}

// A count: decimal digits, at most 18 of them, so that sums stay far from
// overflowing.
bool parse_count(const std::string& text, int64_t* out) {
  if (text.empty() || text.size() > 18) return false;
  int64_t v = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *out = v;
  return true;
}

// Adds the lines "<series> <count>" of text to *totals; with folded, the
// lines "folded <name>" go there. Lines of any other form (none are ever
// written) are passed over.
void add_lines(const std::string& text, Totals* totals, std::set<std::string>* folded) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) break;  // a line is whole with its end
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    const size_t space = line.rfind(' ');
    if (space == std::string::npos || space == 0) continue;
    const std::string key = line.substr(0, space);
    const std::string value = line.substr(space + 1);
    if (key == kFoldedWord) {
      if (folded != nullptr && count_name_valid(value)) folded->insert(value);
      continue;
    }
    int64_t n = 0;
    if (key.find(' ') != std::string::npos || !parse_count(value, &n)) continue;
    (*totals)[key] += n;
  }
}

std::string totals_text(const Totals& totals, const std::vector<std::string>& folded) {
  std::string text;
  for (const std::string& name : folded) text += std::string(kFoldedWord) + " " + name + "\n";
  for (const auto& [key, n] : totals) text += key + " " + std::to_string(n) + "\n";
  return text;
}

FILE* open_fold_lock(reg_status* st) {
  char path[kPathCap];
  if (!metrics_file_path(kMetricsFoldLockFile, path, sizeof path)) {
    fail(st, REG_ERR_STORAGE, "storage root too long");
    return nullptr;
  }
  FILE* f = host::open_file(path, "ab");
  if (f == nullptr) fail(st, REG_ERR_STORAGE, "cannot open %s", path);
  return f;
}

// What a killed writer left behind: its temporary file, once old.
void remove_leftover(const char* dir, const std::string& name, host::DirStream* ds, int64_t now) {
  host::Attributes a{};
  if (!host::dir_entry_attributes(ds, name.c_str(), &a) || now - a.mtime < kLeftoverAge) return;
  char path[kPathCap];
  path_join(path, sizeof path, dir, name.c_str());
  host::remove_file(path);
}

// The fold, under the fold lock: *totals gets the totals after it.
int fold(Totals* totals, reg_status* st) {
  char totals_path[kPathCap];
  char dir[kPathCap];
  if (!metrics_file_path(kMetricsTotalsFile, totals_path, sizeof totals_path)) {
    return fail(st, REG_ERR_STORAGE, "storage root too long");
  }
  metrics_counts_dir(dir, sizeof dir);
  std::string text;
  if (read_whole(totals_path, &text) < 0) return fail(st, REG_ERR_STORAGE, "cannot read %s", totals_path);
  std::set<std::string> done;  // folded already; their files are only to go
  add_lines(text, totals, &done);
  std::vector<std::string> names;
  const int64_t now = host::now_seconds();
  const Scan scan = each_entry(dir, [&](const char* name, host::Kind kind, host::DirStream* ds) {
    if (kind != host::Kind::kFile) return true;
    if (name[0] == '.') {
      remove_leftover(dir, name, ds, now);
    } else if (count_name_valid(name)) {
      names.emplace_back(name);
    }
    return true;
  });
  if (scan == Scan::kFailed) return fail(st, REG_ERR_STORAGE, "cannot list %s", dir);
  std::vector<std::string> added;
  std::vector<std::string> stale;
  for (const std::string& name : names) {
    if (done.count(name) != 0) {
      stale.push_back(name);
      continue;
    }
    char path[kPathCap];
    if (!metrics_count_path(name.c_str(), path, sizeof path)) continue;
    std::string counts;
    // One that is gone was folded by no one else (the lock is ours): a
    // reader that cannot read it leaves it for the next fold.
    if (read_whole(path, &counts) != 0) continue;
    add_lines(counts, totals, nullptr);
    added.push_back(name);
  }
  for (const std::string& name : stale) {
    char path[kPathCap];
    if (metrics_count_path(name.c_str(), path, sizeof path)) host::remove_file(path);
  }
  if (added.empty() && stale.empty() && done.empty()) return 0;
  const std::string out = totals_text(*totals, added);
  if (write_file_locked(totals_path, out.data(), out.size()) != 0) {
    return fail(st, REG_ERR_STORAGE, "cannot write %s", totals_path);
  }
  for (const std::string& name : added) {
    char path[kPathCap];
    if (metrics_count_path(name.c_str(), path, sizeof path)) host::remove_file(path);
  }
  return 0;
}

// Folds when no other process is folding; nothing else.
void fold_unless_busy() {
  reg_status st{};
  LockedFile lock;
  lock.adopt(open_fold_lock(&st));
  bool busy = false;
  if (lock.get() == nullptr || !host::try_lock_file(lock.get(), &busy)) return;
  Totals totals;
  fold(&totals, &st);
}

bool make_count_name(char* out, size_t cap) {
  unsigned char r[8];
  if (!host::random_bytes(r, sizeof r)) return false;
  uint64_t bits = 0;
  for (const unsigned char b : r) bits = bits << 8 | b;
  const int n = std::snprintf(out, cap, "%020" PRId64 "-%016" PRIx64, host::now_nanoseconds(), bits);
  return n > 0 && static_cast<size_t>(n) < cap;
}

int record(const char* text, size_t len, reg_status* st) {
  if (text == nullptr) return fail(st, REG_ERR_INVALID, "NULL argument");
  if (require_ready(st) != 0) return -1;
  char name[64];
  char path[kPathCap];
  if (!make_count_name(name, sizeof name)) return fail(st, REG_ERR_STORAGE, "no random bytes for a name");
  if (!metrics_count_path(name, path, sizeof path)) return fail(st, REG_ERR_STORAGE, "storage root too long");
  // Counts are made again by no one, and a power cut may lose the latest:
  // they need no flush, only to be whole.
  if (write_file(path, text, len, Durability::kCache) != 0) {
    char dir[kPathCap];
    metrics_counts_dir(dir, sizeof dir);
    if (mkdirs(dir) != 0 || write_file(path, text, len, Durability::kCache) != 0) {
      return fail(st, REG_ERR_STORAGE, "cannot write %s", path);
    }
  }
  unsigned char dice = 0;
  if (host::random_bytes(&dice, 1) && dice % kFoldEvery == 0) fold_unless_busy();
  return 0;
}

int totals(reg_writer write, void* write_ctx, reg_status* st) {
  if (write == nullptr) return fail(st, REG_ERR_INVALID, "NULL argument");
  if (require_ready(st) != 0) return -1;
  char dir[kPathCap];
  metrics_counts_dir(dir, sizeof dir);
  if (mkdirs(dir) != 0) return fail(st, REG_ERR_STORAGE, "cannot create %s", dir);
  LockedFile lock;
  lock.adopt(open_fold_lock(st));
  if (lock.get() == nullptr) return -1;
  if (!host::lock_file(lock.get())) return fail(st, REG_ERR_STORAGE, "cannot lock the metrics' fold lock");
  Totals sums;
  if (fold(&sums, st) != 0) return -1;
  lock.release();
  TextOut out(write, write_ctx);
  for (const auto& [key, n] : sums) out.put(key + " " + std::to_string(n) + "\n");
  return out.flush(st);
}

}  // namespace
}  // namespace storage

using namespace storage;

extern "C" int reg_metrics_record(const char* text, size_t len, reg_status* caller) {
  CallStatus st(caller);
  return record(text, len, st);
}

extern "C" int reg_metrics_totals(reg_writer write, void* write_ctx, reg_status* caller) {
  CallStatus st(caller);
  return totals(write, write_ctx, st);
}
