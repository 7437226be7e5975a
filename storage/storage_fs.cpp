// File-system primitives of the storage engine. None of them writes the
// last-error text: the operation that calls them words the failure.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "platform/host.h"
#include "storage/storage_fs.h"

namespace storage {

namespace {

// One directory level: created, or there already (as anything), or a
// directory by the time we look again (another process made it).
bool make_level(const char* path, HeldFlushes* later) {
  switch (host::make_dir(path)) {
    case host::MkdirResult::kCreated:
      // A new directory is only as lasting as its parent's entry for it.
      if (later == nullptr) return host::sync_parent(path);
      later->parent_of(path);
      return true;
    case host::MkdirResult::kExists:
      return true;
    case host::MkdirResult::kFailed:
      break;
  }
  // The look must not turn the creation's error ("Permission denied") into
  // its own ("No such file or directory").
  host::KeptError kept;
  return dir_exists(path) != 0;
}

}  // namespace

std::string directory_of(const char* path) {
  size_t cut = std::strlen(path);
  while (cut > 0 && !host::is_sep(path[cut - 1])) --cut;
  // The separator goes, unless it is all there is ("/name").
  return std::string(path, cut > 1 ? cut - 1 : cut);
}

void HeldFlushes::dir(const char* path) {
  for (const std::string& h : held_) {
    if (h == path) return;
  }
  held_.emplace_back(path);
}

void HeldFlushes::parent_of(const char* path) {
  const std::string holder = directory_of(path);
  if (!holder.empty()) dir(holder.c_str());  // a bare name is never one of the tree's
}

bool HeldFlushes::settle() {
  while (!held_.empty()) {
    if (!host::sync_dir(held_.front().c_str())) return false;
    held_.erase(held_.begin());
  }
  return true;
}

int mkdirs(const char* path, HeldFlushes* later) {
  const size_t len = std::strlen(path);
  if (len == 0 || len >= kPathCap) return -1;
  // The usual case, a tree that exists: one look instead of a creation
  // attempt per level, with the same outcome.
  if (dir_exists(path)) return 0;
  char buf[kPathCap];
  std::memcpy(buf, path, len + 1);

  // A leading separator never yields an empty name; a drive prefix ("C:"
  // or "C:\") is not a directory to create.
  size_t start = 1;
  if (std::isalpha(static_cast<unsigned char>(buf[0])) && buf[1] == ':') {
    start = 2;
    if (len > 3 && host::is_sep(buf[2])) start = 3;
  }
  // Levels are made below the deepest one that is a directory already:
  // a new directory deep in the tree costs a look per missing level, not
  // a creation attempt for every level from the top.
  size_t from = start;
  for (size_t i = len; i-- > start;) {
    if (!host::is_sep(buf[i])) continue;
    buf[i] = '\0';
    const bool there = dir_exists(buf) != 0;
    buf[i] = path[i];
    if (there) {
      from = i + 1;
      break;
    }
  }
  for (size_t i = from; i < len; ++i) {
    if (!host::is_sep(buf[i])) continue;
    const char saved = buf[i];
    buf[i] = '\0';
    const bool ok = make_level(buf, later);
    buf[i] = saved;
    if (!ok) return -1;
  }
  return make_level(buf, later) ? 0 : -1;
}

int file_exists(const char* path) {
  host::Attributes a;
  return host::get_attributes(path, &a) && a.kind == host::Kind::kFile ? 1 : 0;
}

int dir_exists(const char* path) {
  host::Attributes a;
  return host::get_attributes(path, &a) && a.kind == host::Kind::kDir ? 1 : 0;
}

int64_t file_size(const char* path) {
  host::Attributes a;
  return host::get_attributes(path, &a) && a.kind == host::Kind::kFile ? a.size : -1;
}

int read_file(const char* path, char* buf, size_t cap, size_t* out_len) {
  FILE* f = host::open_file(path, "rb");
  if (f == nullptr) return -1;
  const size_t n = std::fread(buf, 1, cap - 1, f);
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) return -1;
  buf[n] = '\0';
  if (out_len != nullptr) *out_len = n;
  return 0;
}

// A temporary name beside path, in the same directory so that the rename
// stays within one file system: "<dir>/.<name>.tmp.<pid>.<n>". The leading
// dot and the fact that it is a plain file keep listings from taking a
// leftover for a repository, tag, blob or upload.
bool temp_name_for(const char* path, unsigned attempt, char* out, size_t cap) {
  const char* base = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (host::is_sep(*p)) base = p + 1;
  }
  const int n = std::snprintf(out, cap, "%.*s.%s.tmp.%d.%u", static_cast<int>(base - path), path,
                              base, host::process_id(), attempt);
  return n > 0 && static_cast<size_t>(n) < cap;
}

bool locked_temp_name_for(const char* path, char* out, size_t cap) {
  const char* base = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (host::is_sep(*p)) base = p + 1;
  }
  const int n = std::snprintf(out, cap, "%.*s.%s.tmp", static_cast<int>(base - path), path, base);
  return n > 0 && static_cast<size_t>(n) < cap;
}

namespace {

// Writes the bytes to the open temporary file and closes it: true when all
// of them are in it (and, for kStable, on the disk).
bool fill_and_close(FILE* f, const void* data, size_t len, Durability d) {
  bool ok = host::write_bytes(f, data, len);
  ok = std::ferror(f) == 0 && ok;
  // The bytes reach the disk before the name does: a rename that survives
  // a power cut never leads to a file whose bytes did not.
  if (d == Durability::kStable) ok = ok && host::sync_file(f);
  // A close that fails may have lost buffered bytes: never publish that.
  return std::fclose(f) == 0 && ok;
}

// Renames the written temporary file over path; it goes when that fails.
int move_into_place(const char* tmp, const char* path, Durability d) {
  if (host::rename_replace(tmp, path)) {
    if (d == Durability::kCache || host::sync_parent(path)) return 0;
    return -1;  // in place, but not known to last: not a success to report
  }
  host::KeptError kept;  // the write's error, not the clean-up's
  host::remove_file(tmp);
  return -1;
}

// Writes the bytes to the open temporary file tmp, closes it and renames it
// over path; on any failure the temporary file goes.
int publish(FILE* f, const char* tmp, const char* path, const void* data, size_t len, Durability d) {
  if (!fill_and_close(f, data, len, d)) {
    host::remove_file(tmp);
    return -1;
  }
  return move_into_place(tmp, path, d);
}

// A new temporary file beside path, under a name of this process's own
// (into tmp, kPathCap bytes); null when none can be made.
FILE* create_own_temp(const char* path, char* tmp) {
  FILE* f = nullptr;
  for (unsigned attempt = 0; attempt < 16 && f == nullptr; ++attempt) {
    if (!temp_name_for(path, attempt, tmp, kPathCap)) return nullptr;
    bool taken = false;
    f = host::create_new_file(tmp, &taken);
    if (f == nullptr && !taken) return nullptr;  // not a name clash
  }
  return f;
}

}  // namespace

int write_file(const char* path, const void* data, size_t len, Durability d) {
  char tmp[kPathCap];
  FILE* f = create_own_temp(path, tmp);
  if (f == nullptr) return -1;
  return publish(f, tmp, path, data, len, d);
}

int write_file_locked(const char* path, const void* data, size_t len, Durability d) {
  char tmp[kPathCap];
  if (!locked_temp_name_for(path, tmp, sizeof tmp)) return -1;
  FILE* f = host::open_file(tmp, "wb");
  if (f == nullptr) return -1;
  return publish(f, tmp, path, data, len, d);
}

int stage_file_locked(const char* path, const void* data, size_t len, StagedFile* out) {
  char tmp[kPathCap];
  if (!locked_temp_name_for(path, tmp, sizeof tmp)) return -1;
  FILE* f = host::open_file(tmp, "wb");
  if (f == nullptr) return -1;
  if (!fill_and_close(f, data, len, Durability::kStable)) {
    host::remove_file(tmp);
    return -1;
  }
  out->tmp = tmp;
  out->path = path;
  return 0;
}

int commit_staged(const StagedFile& staged) {
  return move_into_place(staged.tmp.c_str(), staged.path.c_str(), Durability::kStable);
}

int commit_staged_later(const StagedFile& staged, HeldFlushes* later) {
  // The rename alone (kCache flushes nothing); the flush joins later.
  if (move_into_place(staged.tmp.c_str(), staged.path.c_str(), Durability::kCache) != 0) return -1;
  later->parent_of(staged.path.c_str());
  return 0;
}

void discard_staged(const StagedFile& staged) { host::remove_file(staged.tmp.c_str()); }

int stage_file(const char* path, const void* data, size_t len, StagedFile* out) {
  char tmp[kPathCap];
  FILE* f = create_own_temp(path, tmp);
  if (f == nullptr) return -1;
  if (!fill_and_close(f, data, len, Durability::kStable)) {
    host::KeptError kept;
    host::remove_file(tmp);
    return -1;
  }
  out->tmp = tmp;
  out->path = path;
  return 0;
}

int stage_files(const StageItem* items, size_t count, StagedFile* out) {
  std::vector<FILE*> open(count, nullptr);
  size_t made = 0;
  bool ok = true;
  for (; made < count && ok; ++made) {
    char tmp[kPathCap];
    FILE* f = create_own_temp(items[made].path, tmp);
    if (f == nullptr) break;
    open[made] = f;
    out[made].tmp = tmp;
    out[made].path = items[made].path;
    ok = host::write_bytes(f, items[made].data, items[made].len) && std::ferror(f) == 0;
  }
  ok = ok && made == count;
  // Flushed only once all are written: the first flush commits every
  // file's creation, and the others are left their bytes alone to write.
  for (size_t i = 0; i < made; ++i) {
    ok = ok && host::sync_file(open[i]);
    ok = std::fclose(open[i]) == 0 && ok;
  }
  if (!ok) {
    host::KeptError kept;
    for (size_t i = 0; i < made; ++i) host::remove_file(out[i].tmp.c_str());
    return -1;
  }
  return 0;
}

void remove_staged_leftovers(const char* dir, std::initializer_list<const char*> paths) {
  // ".<name>.tmp.<pid>.<n>", as temp_name_for makes them.
  std::vector<std::string> prefixes;
  for (const char* path : paths) {
    const char* base = path;
    for (const char* p = path; *p != '\0'; ++p) {
      if (host::is_sep(*p)) base = p + 1;
    }
    prefixes.push_back(std::string(".") + base + ".tmp.");
  }
  std::vector<std::string> doomed;
  each_entry(dir, [&](const char* name, host::Kind kind, host::DirStream*) {
    if (kind != host::Kind::kFile) return true;
    for (const std::string& prefix : prefixes) {
      if (std::strncmp(name, prefix.c_str(), prefix.size()) == 0) doomed.push_back(name);
    }
    return true;
  });
  for (const std::string& name : doomed) {
    const std::string path = std::string(dir) + "/" + name;
    if (path.size() < kPathCap) host::remove_file(path.c_str());
  }
}

int commit_staged_in(const char* dir, StagedFile* files, size_t count, HeldFlushes* later) {
  for (size_t i = 0; i < count; ++i) {
    if (!host::rename_replace(files[i].tmp.c_str(), files[i].path.c_str())) {
      host::KeptError kept;  // the rename's error, not the clean-up's
      for (size_t j = i; j < count; ++j) discard_staged(files[j]);
      return -1;
    }
  }
  if (later != nullptr) {
    later->dir(dir);
    return 0;
  }
  return host::sync_dir(dir) ? 0 : -1;
}

int remove_file(const char* path) {
  if (!file_exists(path)) return 0;
  return host::remove_file(path) ? 0 : -1;
}

namespace {

// Copies at most kNameCap - 1 bytes of name and a NUL.
void copy_name(char* dst, const char* name) {
  size_t n = std::strlen(name);
  if (n > kNameCap - 1) n = kNameCap - 1;
  std::memcpy(dst, name, n);
  dst[n] = '\0';
}

bool is_dot_or_dotdot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Opens of a directory that comes and goes under a walk.
constexpr int kOpenAttempts = 5;

}  // namespace

Scan each_entry(const char* path, const EntryVisitor& each) {
  host::DirStream ds;
  // A directory that another process makes between a failed open and the
  // look that follows is there after all: opened again, not taken for one
  // that cannot be read. Only a directory that stays unopenable fails.
  for (int attempt = 1; !host::dir_open(&ds, path); ++attempt) {
    host::Attributes a;
    if (!host::get_attributes(path, &a)) return Scan::kMissing;
    if (a.kind != host::Kind::kDir || attempt == kOpenAttempts) return Scan::kFailed;
  }
  const char* name = nullptr;
  host::Kind kind = host::Kind::kOther;
  bool stopped = false;
  while (!stopped && host::dir_next(&ds, &name, &kind)) {
    if (!is_dot_or_dotdot(name)) stopped = !each(name, kind, &ds);
  }
  const bool failed = !stopped && host::dir_failed(&ds);
  host::dir_close(&ds);
  return failed ? Scan::kFailed : Scan::kOk;
}

Scan scan_dir(const char* path, std::vector<Entry>* out) {
  out->clear();
  return each_entry(path, [&](const char* name, host::Kind kind, host::DirStream*) {
    out->push_back({name, kind});
    return true;
  });
}

int list_dir(const char* path, dir_listing* out) {
  out->count = 0;
  out->truncated = 0;
  if (!dir_exists(path)) return -1;
  const Scan scan = each_entry(path, [&](const char* name, host::Kind kind, host::DirStream*) {
    if (out->count == kListCap) {
      out->truncated = 1;
      return false;
    }
    dir_entry& e = out->entries[out->count++];
    copy_name(e.name, name);
    e.is_dir = kind == host::Kind::kDir ? 1 : 0;
    return true;
  });
  // A directory that cannot be opened is no listing; entries met before a
  // read error stand, as a listing that was cut.
  return scan == Scan::kOk || out->count > 0 ? 0 : -1;
}

}  // namespace storage
