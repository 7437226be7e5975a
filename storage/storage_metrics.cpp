// Request counts in the tree. They are spread over a few shard files (a
// process adds to the shard of its process id), each changed in place
// under a lock on the file: read whole, added to, written back in one
// write. A process killed before that write has changed nothing, one
// killed after it has counted its request, so a kill loses at most the
// counts of the request it ended and never counts anything twice. The
// tree holds the same few files however many requests come, and a
// request adds no file and takes none away, which is what keeps counting
// cheap beside a request that itself costs a process.
#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "platform/host.h"
#include "storage/reg_storage.h"
#include "storage/storage_fs.h"
#include "storage/storage_layout.h"
#include "storage/storage_locks.h"
#include "storage/storage_state.h"
#include "storage/storage_text.h"

namespace storage {
namespace {

// The last line of a whole shard. A shard without it (the pages of a
// write that a power cut tore) is not trusted: its counts start again.
constexpr char kEndLine[] = "end";
// A shard's text goes out in one write: its stream buffers this much.
constexpr size_t kShardBuffer = 1 << 16;

using Totals = std::map<std::string, int64_t>;

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

// Adds the lines "<series> <count>" of text to *totals, up to the end
// line; true when that line was there. Lines of any other form (none are
// ever written) are passed over.
bool add_lines(const std::string& text, Totals* totals) {
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    if (end == std::string::npos) return false;  // a line is whole with its end
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line == kEndLine) return true;
    const size_t space = line.rfind(' ');
    int64_t n = 0;
    if (space == std::string::npos || space == 0 || !parse_count(line.substr(space + 1), &n)) continue;
    const std::string key = line.substr(0, space);
    if (key.find(' ') != std::string::npos) continue;
    (*totals)[key] += n;
  }
  return false;
}

std::string shard_text(const Totals& totals) {
  std::string text;
  for (const auto& [key, n] : totals) text += key + " " + std::to_string(n) + "\n";
  return text + kEndLine + "\n";
}

// The whole of f from its start.
bool read_all(FILE* f, std::string* out) {
  out->clear();
  if (std::fseek(f, 0, SEEK_SET) != 0) return false;
  char buf[16384];
  size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, got);
  return std::ferror(f) == 0;
}

// Opens the shard for reading and writing, made where missing (make:
// else null when it is not there, with *absent true).
FILE* open_shard(unsigned shard, bool make, bool* absent, reg_status* st) {
  *absent = false;
  char path[kPathCap];
  if (!metrics_shard_path(shard, path, sizeof path)) {
    fail(st, REG_ERR_STORAGE, "storage root too long");
    return nullptr;
  }
  FILE* f = host::open_file(path, "r+b");
  if (f != nullptr || !host::last_error_is_absence()) {
    if (f == nullptr) fail(st, REG_ERR_STORAGE, "cannot open %s", path);
    return f;
  }
  if (!make) {
    *absent = true;
    return nullptr;
  }
  char dir[kPathCap];
  metrics_requests_dir(dir, sizeof dir);
  FILE* made = mkdirs(dir) == 0 ? host::open_file(path, "ab") : nullptr;
  if (made != nullptr) std::fclose(made);
  f = host::open_file(path, "r+b");
  if (f == nullptr) fail(st, REG_ERR_STORAGE, "cannot open %s", path);
  return f;
}

int record(const char* text, size_t len, reg_status* st) {
  if (text == nullptr) return fail(st, REG_ERR_INVALID, "NULL argument");
  if (require_ready(st) != 0) return -1;
  Totals delta;
  add_lines(std::string(text, len) + kEndLine + "\n", &delta);
  // The buffer outlives the stream, closed when the lock goes. Left
  // uninitialised: only the pages the text touches are ever made.
  const std::unique_ptr<char[]> buffer(new char[kShardBuffer]);
  LockedFile shard;
  bool absent = false;
  shard.adopt(open_shard(static_cast<unsigned>(host::process_id()) % kMetricsShards, true, &absent, st));
  if (shard.get() == nullptr) return -1;
  FILE* f = shard.get();
  std::setvbuf(f, buffer.get(), _IOFBF, kShardBuffer);
  if (!host::lock_file(f)) return fail(st, REG_ERR_STORAGE, "cannot lock a metrics shard");
  std::string old;
  if (!read_all(f, &old)) return fail(st, REG_ERR_STORAGE, "cannot read a metrics shard");
  Totals totals;
  if (!add_lines(old, &totals)) totals.clear();
  for (const auto& [key, n] : delta) totals[key] += n;
  const std::string now = shard_text(totals);
  if (now.size() > kShardBuffer) return fail(st, REG_ERR_STORAGE, "a metrics shard outgrew its buffer");
  if (std::fseek(f, 0, SEEK_SET) != 0 || !host::write_bytes(f, now.data(), now.size()) || std::fflush(f) != 0) {
    return fail(st, REG_ERR_STORAGE, "cannot write a metrics shard");
  }
  // Counts only grow, and the text with them; a shard that was not whole
  // may have been longer.
  if (now.size() < old.size() && !host::truncate_file(f, static_cast<int64_t>(now.size()))) {
    return fail(st, REG_ERR_STORAGE, "cannot truncate a metrics shard");
  }
  if (!shard.release()) return fail(st, REG_ERR_STORAGE, "cannot write a metrics shard");
  return 0;
}

int totals(reg_writer write, void* write_ctx, reg_status* st) {
  if (write == nullptr) return fail(st, REG_ERR_INVALID, "NULL argument");
  if (require_ready(st) != 0) return -1;
  Totals sums;
  for (unsigned i = 0; i < kMetricsShards; ++i) {
    LockedFile shard;
    bool absent = false;
    shard.adopt(open_shard(i, false, &absent, st));
    if (absent) continue;
    if (shard.get() == nullptr) return -1;
    // The lock: never a write half seen.
    if (!host::lock_file(shard.get())) return fail(st, REG_ERR_STORAGE, "cannot lock a metrics shard");
    std::string text;
    if (!read_all(shard.get(), &text)) return fail(st, REG_ERR_STORAGE, "cannot read a metrics shard");
    Totals one;
    if (add_lines(text, &one)) {
      for (const auto& [key, n] : one) sums[key] += n;
    }
  }
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
