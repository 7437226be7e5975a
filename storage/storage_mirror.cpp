// What a mirror keeps beside the content it fetches: the lock taken while
// one process fetches a blob, and when each tag was last compared with
// upstream.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "hash/sha256.h"
#include "platform/host.h"
#include "storage/reg_storage.h"
#include "storage/storage_fs.h"
#include "storage/storage_layout.h"
#include "storage/storage_names.h"
#include "storage/storage_state.h"
#include "text/hex.h"

using namespace storage;

namespace {

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
  if (mkdirs(directory_of(path).c_str()) != 0 || write_file(path, "", 0, Durability::kCache) != 0) {
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
  if (mkdirs(directory_of(path).c_str()) != 0) return fail(st, REG_ERR_STORAGE, "cannot make the fetch lock's directory"), nullptr;
  FILE* f = host::open_file(path, "ab");
  if (f == nullptr) fail(st, REG_ERR_STORAGE, "cannot open the fetch lock");
  return f;
}

namespace {

// The stamp of a tag's last check, after the checks of its names.
bool tag_stamp(const char* repo, const char* tag, char* path, reg_status* st) {
  if (!names_ok(repo, tag, st)) return false;
  if (!mirror_tag_checked_path(repo, tag, path, kPathCap)) return fail(st, REG_ERR_INVALID, "path too long"), false;
  return true;
}

// The stamp of a referrers list's last check, after the checks of its names.
bool referrers_stamp(const char* repo, const char* digest, char* path, reg_status* st) {
  if (!repo_digest_ok(repo, digest, st)) return false;
  if (!mirror_referrers_checked_path(repo, digest, path, kPathCap)) {
    return fail(st, REG_ERR_INVALID, "path too long"), false;
  }
  return true;
}

}  // namespace

extern "C" int64_t reg_mirror_tag_checked_age(const char* repo, const char* tag, int64_t now, reg_status* caller) {
  CallStatus st(caller);
  char path[kPathCap];
  return tag_stamp(repo, tag, path, st) ? stamp_age(path, now, st) : -1;
}

extern "C" int reg_mirror_tag_mark_checked(const char* repo, const char* tag, reg_status* caller) {
  CallStatus st(caller);
  char path[kPathCap];
  return tag_stamp(repo, tag, path, st) ? stamp(path, st) : -1;
}

extern "C" int64_t reg_mirror_referrers_checked_age(const char* repo, const char* digest, int64_t now,
                                                    reg_status* caller) {
  CallStatus st(caller);
  char path[kPathCap];
  return referrers_stamp(repo, digest, path, st) ? stamp_age(path, now, st) : -1;
}

extern "C" int reg_mirror_referrers_mark_checked(const char* repo, const char* digest, reg_status* caller) {
  CallStatus st(caller);
  char path[kPathCap];
  return referrers_stamp(repo, digest, path, st) ? stamp(path, st) : -1;
}

extern "C" int reg_mirror_mark_pulled(const char* repo, const char* digest, reg_status* caller) {
  CallStatus st(caller);
  if (!repo_digest_ok(repo, digest, st)) return -1;
  char path[kPathCap];
  if (!mirror_pulled_path(repo, digest, path, sizeof path)) return fail(st, REG_ERR_INVALID, "path too long");
  // To the minute is close enough for an age counted in days.
  reg_status missing{};
  const int64_t age = stamp_age(path, host::now_seconds(), &missing);
  if (age >= 0 && age < 60) return 0;
  return stamp(path, st);
}

namespace {

struct Dropping {
  int64_t cutoff;
  bool dry_run;
  int64_t dropped = 0;
  bool failed = false;
};

// The stamp file name <alg>-<hex> as the digest <alg>:<hex>; "" when it
// is no digest's.
std::string stamp_digest(const std::string& file) {
  const size_t dash = file.find('-');
  if (dash == std::string::npos) return "";
  std::string digest = file;
  digest[dash] = ':';
  return reg_digest_valid(digest.data(), digest.size()) != 0 ? digest : "";
}

// Walks the stamps of dir, the repository repo's ("" at the top), and
// those of the repositories below it.
void drop_unpulled_in(const std::string& dir, const std::string& repo, Dropping* d) {
  std::vector<Entry> entries;
  if (scan_dir(dir.c_str(), &entries) == Scan::kFailed) {
    d->failed = true;
    return;
  }
  for (const Entry& e : entries) {
    const std::string path = dir + host::kSep + e.name;
    if (e.kind == host::Kind::kDir) {
      drop_unpulled_in(path, repo.empty() ? e.name : repo + "/" + e.name, d);
      continue;
    }
    const std::string digest = stamp_digest(e.name);
    host::Attributes a{};
    if (repo.empty() || digest.empty() || !host::get_attributes(path.c_str(), &a) || a.mtime > d->cutoff) continue;
    ++d->dropped;
    if (d->dry_run) continue;
    reg_status rs{};
    // A manifest already gone leaves only its stamp to remove.
    if (reg_manifest_remove(repo.c_str(), digest.c_str(), &rs) != 0 && rs.kind != REG_ERR_NOT_FOUND) {
      d->failed = true;
      continue;
    }
    host::remove_file(path.c_str());
  }
}

}  // namespace

extern "C" int reg_mirror_drop_unpulled(int64_t age, int64_t now, int dry_run, int64_t* dropped, reg_status* caller) {
  CallStatus st(caller);
  if (dropped == nullptr || age < 0) return fail(st, REG_ERR_INVALID, "NULL argument or negative age");
  *dropped = 0;
  if (require_ready(st) != 0) return -1;
  char dir[kPathCap];
  if (!mirror_pulled_dir(dir, sizeof dir)) return fail(st, REG_ERR_INVALID, "path too long");
  Dropping d{now - age, dry_run != 0};
  drop_unpulled_in(dir, "", &d);
  *dropped = d.dropped;
  if (d.failed) return fail(st, REG_ERR_STORAGE, "some mirrored manifests could not be read or removed");
  return 0;
}

namespace {

// A kept token's file: its name the SHA-256 of what it is for, so that
// no upstream, user or scope text reaches the tree.
bool token_path(const char* key, size_t key_len, char* path, reg_status* st) {
  if (key == nullptr) return fail(st, REG_ERR_INVALID, "NULL argument"), false;
  if (require_ready(st) != 0) return false;
  uint8_t sum[32];
  sha256_ctx ctx;
  sha256_init(&ctx);
  sha256_update(&ctx, key, key_len);
  sha256_final(&ctx, sum);
  char hex[65];
  text_hex_encode(sum, sizeof sum, hex);
  hex[64] = '\0';
  if (!mirror_token_path(hex, path, kPathCap)) return fail(st, REG_ERR_INVALID, "path too long"), false;
  return true;
}

// The longest token file read: tokens of the big registries are a few
// KiB; anything longer is no token of ours.
constexpr size_t kTokenFileCap = 65536;

}  // namespace

extern "C" int reg_mirror_token_get(const char* key, size_t key_len, int64_t now, char* out, size_t cap,
                                    int64_t* expires_out, reg_status* caller) {
  CallStatus st(caller);
  char path[kPathCap];
  if (!token_path(key, key_len, path, st)) return -1;
  std::vector<char> text(kTokenFileCap);
  size_t len = 0;
  if (read_file(path, text.data(), text.size(), &len) != 0) return fail(st, REG_ERR_NOT_FOUND, "no token kept");
  const char* nl = static_cast<const char*>(std::memchr(text.data(), '\n', len));
  int64_t expires = 0;
  if (nl == nullptr || std::sscanf(text.data(), "%" SCNd64, &expires) != 1 || expires <= now) {
    return fail(st, REG_ERR_NOT_FOUND, "no token kept");
  }
  const size_t token_len = len - static_cast<size_t>(nl + 1 - text.data());
  if (token_len == 0 || token_len >= cap || std::memchr(nl + 1, '\0', token_len) != nullptr) {
    return fail(st, REG_ERR_NOT_FOUND, "no token kept");
  }
  std::memcpy(out, nl + 1, token_len);
  out[token_len] = '\0';
  *expires_out = expires;
  return 0;
}

extern "C" int reg_mirror_token_put(const char* key, size_t key_len, const char* token, size_t token_len,
                                    int64_t expires, reg_status* caller) {
  CallStatus st(caller);
  char path[kPathCap];
  if (!token_path(key, key_len, path, st)) return -1;
  if (token == nullptr || token_len == 0 || token_len >= kTokenFileCap - 32) {
    return fail(st, REG_ERR_INVALID, "no token to keep");
  }
  char tmp[kPathCap];
  if (mkdirs(directory_of(path).c_str()) != 0 || !temp_name_for(path, 0, tmp, sizeof tmp)) {
    return fail(st, REG_ERR_STORAGE, "cannot keep the token");
  }
  // Private from its creation: a token is a password for a while.
  bool taken = false;
  FILE* f = host::create_private_file(tmp, &taken);
  if (f == nullptr && taken && host::remove_file(tmp)) f = host::create_private_file(tmp, &taken);  // left by a crash
  if (f == nullptr) return fail(st, REG_ERR_STORAGE, "cannot keep the token");
  char head[32];
  const int n = std::snprintf(head, sizeof head, "%" PRId64 "\n", expires);
  const bool written = host::write_bytes(f, head, static_cast<size_t>(n)) && host::write_bytes(f, token, token_len);
  const bool closed = std::fclose(f) == 0;
  if (!written || !closed || !host::rename_replace(tmp, path)) {
    host::remove_file(tmp);
    return fail(st, REG_ERR_STORAGE, "cannot keep the token");
  }
  return 0;
}
