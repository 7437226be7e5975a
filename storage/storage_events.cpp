// The outbox of events. Recording an event is one atomic, flushed file
// write of a name nobody else can choose (the time and a random id), so
// any number of processes on any number of machines record at once
// without a lock, and a kill leaves either the whole event or none. The
// deliverer alone changes what is there, under its lock.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/host.h"
#include "storage/reg_storage.h"
#include "storage/storage_fs.h"
#include "storage/storage_layout.h"
#include "storage/storage_locks.h"
#include "storage/storage_state.h"
#include "text/hex.h"

struct reg_event_lock {
  storage::LockedFile file;
};

namespace storage {
namespace {

bool id_valid(const char* id) {
  for (size_t i = 0; i < REG_EVENT_ID_LEN; ++i) {
    const char c = id[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return id[REG_EVENT_ID_LEN] == '\0';
}

// A name from a caller: checked whole, its NUL where an event name's ends.
bool name_valid(const char* name) {
  return name != nullptr && std::memchr(name, '\0', kEventNameLen + 1) == name + kEventNameLen &&
         event_name_valid(name, kEventNameLen);
}

// The outbox entry's event name, or false for anything else there (a
// temporary file of a write under way or cut short).
bool outbox_entry_name(const std::string& entry, std::string* name) {
  const size_t suffix = sizeof kEventSuffix - 1;
  if (entry.size() != kEventNameLen + suffix || entry.compare(kEventNameLen, suffix, kEventSuffix) != 0) return false;
  if (!event_name_valid(entry.data(), kEventNameLen)) return false;
  name->assign(entry, 0, kEventNameLen);
  return true;
}

// "<count> <time>" of the event's tries file; zeros when there is none.
void read_tries(const char* name, int64_t* tries, int64_t* last) {
  *tries = 0;
  *last = 0;
  char path[kPathCap];
  char text[64];
  if (!event_tries_path(name, path, sizeof path) || read_file(path, text, sizeof text, nullptr) != 0) return;
  if (std::sscanf(text, "%" SCNd64 " %" SCNd64, tries, last) != 2 || *tries < 0) *tries = 0, *last = 0;
}

}  // namespace
}  // namespace storage

using namespace storage;

extern "C" {

int reg_event_record(const char* id, const void* data, size_t len, char* out_name, reg_status* caller) {
  CallStatus st(caller);
  if (require_ready(st) != 0) return -1;
  if (id == nullptr || !id_valid(id)) return fail(st, REG_ERR_INVALID, "an event id is %d hex digits", REG_EVENT_ID_LEN);
  if (data == nullptr && len > 0) return fail(st, REG_ERR_INVALID, "no event text");
  if (len > REG_EVENT_MAX) return fail(st, REG_ERR_TOO_LARGE, "event larger than %d bytes", REG_EVENT_MAX);
  char name[REG_EVENT_NAME_CAP];
  std::snprintf(name, sizeof name, "%020" PRId64 "-%s", host::now_nanoseconds(), id);
  char dir[kPathCap];
  char path[kPathCap];
  event_outbox_dir(dir, sizeof dir);
  if (!event_path(name, path, sizeof path)) return fail(st, REG_ERR_STORAGE, "event path too long");
  if (mkdirs(dir) != 0) return fail(st, REG_ERR_STORAGE, "cannot create %s", dir);
  if (write_file(path, data, len, Durability::kStable) != 0) return fail(st, REG_ERR_STORAGE, "cannot write %s", path);
  if (out_name != nullptr) std::memcpy(out_name, name, sizeof name);
  return 0;
}

namespace {

// The outbox's entries (none when it was never made) and, in dir, its path.
int outbox_entries(char* dir, std::vector<Entry>* entries, reg_status* st) {
  event_outbox_dir(dir, kPathCap);
  if (scan_dir(dir, entries) == Scan::kFailed) return fail(st, REG_ERR_STORAGE, "cannot read %s", dir);
  return 0;
}

}  // namespace

int reg_events_pending(reg_event_visitor each, void* ctx, reg_status* caller) {
  CallStatus st(caller);
  if (require_ready(st) != 0) return -1;
  if (each == nullptr) return fail(st, REG_ERR_INVALID, "no visitor");
  char dir[kPathCap];
  std::vector<Entry> entries;
  if (outbox_entries(dir, &entries, st) != 0) return -1;
  std::vector<std::string> names;
  for (const Entry& e : entries) {
    std::string name;
    if (e.kind == host::Kind::kFile && outbox_entry_name(e.name, &name)) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    reg_event_info info{};
    std::memcpy(info.name, name.c_str(), name.size() + 1);
    read_tries(info.name, &info.tries, &info.last_try);
    if (each(ctx, &info) != 0) break;
  }
  return 0;
}

int reg_event_read(const char* name, reg_writer write, void* write_ctx, reg_status* caller) {
  CallStatus st(caller);
  if (require_ready(st) != 0) return -1;
  if (!name_valid(name) || write == nullptr) return fail(st, REG_ERR_INVALID, "not an event name");
  char path[kPathCap];
  if (!event_path(name, path, sizeof path)) return fail(st, REG_ERR_STORAGE, "event path too long");
  std::vector<char> text(REG_EVENT_MAX + 2);
  size_t len = 0;
  if (read_file(path, text.data(), text.size(), &len) != 0) {
    if (!file_exists(path)) return fail(st, REG_ERR_NOT_FOUND, "event %s: delivered", name);
    return fail(st, REG_ERR_STORAGE, "cannot read %s", path);
  }
  if (write(write_ctx, text.data(), len) != 0) return fail(st, REG_ERR_STORAGE, "event %s: not taken", name);
  return 0;
}

int reg_event_tried(const char* name, reg_status* caller) {
  CallStatus st(caller);
  if (require_ready(st) != 0) return -1;
  if (!name_valid(name)) return fail(st, REG_ERR_INVALID, "not an event name");
  int64_t tries = 0;
  int64_t last = 0;
  read_tries(name, &tries, &last);
  char dir[kPathCap];
  char path[kPathCap];
  event_tries_dir(dir, sizeof dir);
  if (!event_tries_path(name, path, sizeof path)) return fail(st, REG_ERR_STORAGE, "event path too long");
  char text[64];
  const int n = std::snprintf(text, sizeof text, "%" PRId64 " %" PRId64 "\n", tries + 1, host::now_seconds());
  // A count lost to a power cut costs a sooner retry, never an event.
  if (mkdirs(dir) != 0 || write_file(path, text, static_cast<size_t>(n), Durability::kCache) != 0) {
    return fail(st, REG_ERR_STORAGE, "cannot write %s", path);
  }
  return 0;
}

int reg_event_remove(const char* name, reg_status* caller) {
  CallStatus st(caller);
  if (require_ready(st) != 0) return -1;
  if (!name_valid(name)) return fail(st, REG_ERR_INVALID, "not an event name");
  char path[kPathCap];
  char tries[kPathCap];
  if (!event_path(name, path, sizeof path) || !event_tries_path(name, tries, sizeof tries)) {
    return fail(st, REG_ERR_STORAGE, "event path too long");
  }
  // The event first: a count left behind by a kill names no event and
  // misleads nobody; an event left behind is sent again, as it must be.
  if (remove_file(path) != 0) return fail(st, REG_ERR_STORAGE, "cannot remove %s", path);
  if (remove_file(tries) != 0) return fail(st, REG_ERR_STORAGE, "cannot remove %s", tries);
  return 0;
}

int reg_events_sweep(int64_t age, reg_status* caller) {
  CallStatus st(caller);
  if (require_ready(st) != 0) return -1;
  char dir[kPathCap];
  std::vector<Entry> entries;
  if (outbox_entries(dir, &entries, st) != 0) return -1;
  const int64_t now = host::now_seconds();
  for (const Entry& e : entries) {
    std::string name;
    if (e.kind != host::Kind::kFile || e.name[0] != '.' || outbox_entry_name(e.name, &name)) continue;
    char path[kPathCap];
    path_join(path, sizeof path, dir, e.name.c_str());
    host::Attributes a;
    if (!host::get_attributes(path, &a) || now - a.mtime < age) continue;
    if (remove_file(path) != 0) return fail(st, REG_ERR_STORAGE, "cannot remove %s", path);
  }
  return 0;
}

reg_event_lock* reg_events_lock(reg_status* caller) {
  CallStatus st(caller);
  if (require_ready(st) != 0) return nullptr;
  char dir[kPathCap];
  char path[kPathCap];
  event_outbox_dir(dir, sizeof dir);
  event_lock_path(path, sizeof path);
  if (mkdirs(dir) != 0) {
    fail(st, REG_ERR_STORAGE, "cannot create %s", dir);
    return nullptr;
  }
  FILE* f = host::open_file(path, "ab");
  if (f == nullptr) {
    fail(st, REG_ERR_STORAGE, "cannot open %s", path);
    return nullptr;
  }
  auto* lock = new reg_event_lock;
  lock->file.adopt(f);
  if (!host::lock_file(f)) {
    fail(st, REG_ERR_STORAGE, "cannot lock %s", path);
    delete lock;
    return nullptr;
  }
  return lock;
}

void reg_events_unlock(reg_event_lock* lock) { delete lock; }

}  // extern "C"

extern "C" int reg_event_new_id(char* out) {
  uint8_t bytes[REG_EVENT_ID_LEN / 2];
  if (!host::random_bytes(bytes, sizeof bytes)) return -1;
  text_hex_encode(bytes, sizeof bytes, out);
  out[REG_EVENT_ID_LEN] = '\0';
  return 0;
}
