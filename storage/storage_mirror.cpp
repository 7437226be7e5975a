// What a mirror keeps beside the content it fetches: the lock taken while
// one process fetches a blob, and when each tag was last compared with
// upstream.
#include <cstring>
#include <string>

#include "platform/host.h"
#include "storage/reg_storage.h"
#include "storage/storage_fs.h"
#include "storage/storage_layout.h"
#include "storage/storage_names.h"
#include "storage/storage_state.h"

using namespace storage;

namespace {

// The directory part of path (up to its last separator).
std::string parent_of(const char* path) {
  std::string p(path);
  size_t cut = p.size();
  while (cut > 0 && !host::is_sep(p[cut - 1])) --cut;
  if (cut > 0) --cut;
  return p.substr(0, cut);
}

bool repo_ok(const char* repo, reg_status* st) {
  if (require_ready(st) != 0) return false;
  if (reg_repository_name_valid(repo, std::strlen(repo)) == 0) {
    return fail(st, REG_ERR_INVALID, "invalid repository name"), false;
  }
  return true;
}

bool names_ok(const char* repo, const char* tag, reg_status* st) {
  if (repo == nullptr || tag == nullptr) return fail(st, REG_ERR_INVALID, "NULL argument"), false;
  if (!repo_ok(repo, st)) return false;
  if (reg_tag_valid(tag, std::strlen(tag)) == 0) return fail(st, REG_ERR_INVALID, "invalid tag"), false;
  return true;
}

bool repo_digest_ok(const char* repo, const char* digest, reg_status* st) {
  if (repo == nullptr || digest == nullptr) return fail(st, REG_ERR_INVALID, "NULL argument"), false;
  if (!repo_ok(repo, st)) return false;
  if (reg_digest_valid(digest, std::strlen(digest)) == 0) return fail(st, REG_ERR_INVALID, "invalid digest"), false;
  return true;
}

// Seconds since the stamp at path was made, -1 when there is none.
int64_t stamp_age(const char* path, int64_t now, reg_status* st) {
  host::Attributes a{};
  if (!host::get_attributes(path, &a) || a.kind != host::Kind::kFile) return fail(st, REG_ERR_NOT_FOUND, "never checked");
  return now > a.mtime ? now - a.mtime : 0;
}

// Makes the stamp at path now. A stamp lost with a crash only makes the
// next pull ask upstream again.
int stamp(const char* path, reg_status* st) {
  if (host::touch_file(path)) return 0;
  if (mkdirs(parent_of(path).c_str()) != 0 || write_file(path, "", 0, Durability::kCache) != 0) {
    return fail(st, REG_ERR_STORAGE, "cannot record the check");
  }
  return 0;
}

}  // namespace

extern "C" FILE* reg_mirror_fetch_lock_open(const char* digest, reg_status* caller) {
  CallStatus st(caller);
  if (digest == nullptr) return fail(st, REG_ERR_INVALID, "NULL argument"), nullptr;
  if (require_ready(st) != 0) return nullptr;
  if (reg_digest_valid(digest, std::strlen(digest)) == 0) return fail(st, REG_ERR_INVALID, "invalid digest"), nullptr;
  char path[kPathCap];
  if (!mirror_fetch_lock_path(digest, path, sizeof path)) return fail(st, REG_ERR_INVALID, "path too long"), nullptr;
  if (mkdirs(parent_of(path).c_str()) != 0) return fail(st, REG_ERR_STORAGE, "cannot make the fetch lock's directory"), nullptr;
  FILE* f = host::open_file(path, "ab");
  if (f == nullptr) fail(st, REG_ERR_STORAGE, "cannot open the fetch lock");
  return f;
}

extern "C" int64_t reg_mirror_tag_checked_age(const char* repo, const char* tag, int64_t now, reg_status* caller) {
  CallStatus st(caller);
  if (!names_ok(repo, tag, st)) return -1;
  char path[kPathCap];
  if (!mirror_tag_checked_path(repo, tag, path, sizeof path)) return fail(st, REG_ERR_INVALID, "path too long");
  return stamp_age(path, now, st);
}

extern "C" int reg_mirror_tag_mark_checked(const char* repo, const char* tag, reg_status* caller) {
  CallStatus st(caller);
  if (!names_ok(repo, tag, st)) return -1;
  char path[kPathCap];
  if (!mirror_tag_checked_path(repo, tag, path, sizeof path)) return fail(st, REG_ERR_INVALID, "path too long");
  return stamp(path, st);
}

extern "C" int64_t reg_mirror_referrers_checked_age(const char* repo, const char* digest, int64_t now,
                                                    reg_status* caller) {
  CallStatus st(caller);
  if (!repo_digest_ok(repo, digest, st)) return -1;
  char path[kPathCap];
  if (!mirror_referrers_checked_path(repo, digest, path, sizeof path)) return fail(st, REG_ERR_INVALID, "path too long");
  return stamp_age(path, now, st);
}

extern "C" int reg_mirror_referrers_mark_checked(const char* repo, const char* digest, reg_status* caller) {
  CallStatus st(caller);
  if (!repo_digest_ok(repo, digest, st)) return -1;
  char path[kPathCap];
  if (!mirror_referrers_checked_path(repo, digest, path, sizeof path)) return fail(st, REG_ERR_INVALID, "path too long");
  return stamp(path, st);
}
