// Manifests: put, resolve, get, delete.
//
// Every change to a repository's manifests and tags is made under the
// repository's lock, in an order that keeps the tree whole at every step,
// so a process killed anywhere leaves nothing that names a missing body:
//   put:              body, content type, revision link, then the tag link;
//   delete by tag:    the tag link, then its directories;
//   delete by digest: every tag link that names it, the revision link, then
//                     the body and its content type.
// Readers take no lock: every file is replaced whole by a rename.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "hash/sha256.h"
#include "platform/host.h"
#include "storage/reg_storage.h"
#include "storage/storage_digest.h"
#include "storage/storage_fs.h"
#include "storage/storage_layout.h"
#include "storage/storage_locks.h"
#include "storage/storage_manifest_check.h"
#include "storage/storage_manifests.h"
#include "storage/storage_names.h"
#include "storage/storage_referrers.h"
#include "storage/storage_repo_blobs.h"
#include "storage/storage_text.h"
#include "storage/storage_repositories.h"
#include "storage/storage_state.h"

namespace storage {
namespace {

// A reference that names content by its digest: "sha256:..." or "sha512:...".
bool is_manifest_type(const char* type) {
  static const char* const kTypes[] = {
      "application/vnd.oci.image.manifest.v1+json", "application/vnd.oci.image.index.v1+json",
      "application/vnd.docker.distribution.manifest.v2+json", "application/vnd.docker.distribution.manifest.list.v2+json",
      "application/vnd.oci.artifact.manifest.v1+json"};
  for (const char* t : kTypes) {
    if (std::strcmp(type, t) == 0) return true;
  }
  return false;
}

bool is_digest_reference(const char* reference) {
  return std::strncmp(reference, "sha256:", 7) == 0 || std::strncmp(reference, "sha512:", 7) == 0;
}

struct ManifestPaths {
  char dir[kPathCap];
  char body[kPathCap];
  char ct[kPathCap];
  char rev_dir[kPathCap];
  char rev[kPathCap];
};

bool manifest_paths(const char* name, const char* hex, ManifestPaths* p) {
  return manifest_dir(name, p->dir, sizeof p->dir) && manifest_body_path(name, hex, p->body, sizeof p->body) &&
         manifest_ct_path(name, hex, p->ct, sizeof p->ct) &&
         manifest_rev_dir(name, hex, p->rev_dir, sizeof p->rev_dir) &&
         manifest_rev_path(name, hex, p->rev, sizeof p->rev);
}

// Removes a file and the temporary file that a killed writer of it may
// have left (under the lock, nobody else is writing it).
void remove_with_leftover(const char* path) {
  remove_file(path);
  char tmp[kPathCap];
  if (locked_temp_name_for(path, tmp, sizeof tmp)) remove_file(tmp);
}

// Removes a link file and the directories that held only it: dirs[0] is
// the link's own directory, each next one its parent.
void remove_link_and_dirs(const char* link, const char* const* dirs, int count) {
  remove_with_leftover(link);
  for (int i = 0; i < count; ++i) {
    if (!host::remove_dir(dirs[i])) break;
  }
}

// Removes one tag: its link, then its directories.
void remove_tag(const char* name, const char* tag) {
  char link[kPathCap];
  char current[kPathCap];
  char tag_dir[kPathCap];
  char tags[kPathCap];
  if (!manifest_tag_path(name, tag, link, sizeof link) || !manifest_tag_dir(name, tag, current, sizeof current) ||
      !manifest_tags_dir(name, tags, sizeof tags)) {
    return;
  }
  path_join(tag_dir, sizeof tag_dir, tags, tag);
  const char* const dirs[] = {current, tag_dir};
  remove_link_and_dirs(link, dirs, 2);
}

// The tags of a repository whose link names the digest string want.
std::vector<std::string> tags_naming(const char* name, const char* want) {
  std::vector<std::string> found;
  char tags[kPathCap];
  std::vector<Entry> entries;
  if (!manifest_tags_dir(name, tags, sizeof tags) || scan_dir(tags, &entries) != Scan::kOk) return found;
  for (const Entry& e : entries) {
    if (e.kind != host::Kind::kDir) continue;
    char path[kPathCap];
    char link[kLinkReadCap];
    if (manifest_tag_path(name, e.name.c_str(), path, sizeof path) &&
        read_file(path, link, sizeof link, nullptr) == 0 && std::strncmp(link, want, std::strlen(want)) == 0) {
      found.push_back(e.name);
    }
  }
  return found;
}

// The checks every manifest operation makes after its pointer checks.
int check_repository(const char* repo_name, bool name_in_message, reg_status* st) {
  if (require_ready(st) != 0) return -1;
  if (!repo_name_valid(repo_name)) {
    if (name_in_message) return fail(st, REG_ERR_INVALID, "invalid repository name: %s", repo_name);
    return fail(st, REG_ERR_INVALID, "invalid repository name");
  }
  return 0;
}

// Files staged for one push, taken away unless committed.
struct StagedPair {
  StagedFile files[2];
  size_t count = 0;
  StagedPair() = default;
  StagedPair(const StagedPair&) = delete;
  StagedPair& operator=(const StagedPair&) = delete;
  ~StagedPair() {
    for (size_t i = 0; i < count; ++i) discard_staged(files[i]);
  }
};

// The caller's word on which tags are fixed; fn null: none is.
struct Guard {
  reg_tag_guard fn = nullptr;
  void* ctx = nullptr;
};

int lock_failure(const char* repo_name, reg_status* st) {
  return fail(st, REG_ERR_STORAGE, "cannot lock repository: %s", repo_name);
}

}  // namespace

int manifest_resolve(const char* name, const char* reference, char* out_hex, reg_status* st) {
  if (is_digest_reference(reference)) {
    if (!any_digest_valid(reference)) return fail(st, REG_ERR_INVALID, "invalid digest reference");
    std::snprintf(out_hex, kHexCap, "%s", digest_hex_of(reference));
    return 0;
  }
  // A tag is one path component: nothing else is ever read or removed.
  if (!tag_valid(reference)) return fail(st, REG_ERR_INVALID, "invalid tag: %s", reference);
  char path[kPathCap];
  if (!manifest_tag_path(name, reference, path, sizeof path)) return fail(st, REG_ERR_INVALID, "path too long");
  char link[kLinkReadCap];
  if (read_file(path, link, sizeof link, nullptr) != 0) {
    return fail(st, REG_ERR_NOT_FOUND, "tag not found: %s:%s", name, reference);
  }
  if (!any_digest_valid(link)) {
    // What is wrong is the tree, not a call to the system.
    fail(st, REG_ERR_STORAGE, "corrupt tag link: %s:%s", name, reference);
    st->cause[0] = '\0';
    return -1;
  }
  std::snprintf(out_hex, kHexCap, "%s", digest_hex_of(link));  // as any_digest_valid saw it
  return 0;
}

int manifest_has_tag_for(const char* name, const char* hex) {
  char want[kAnyDigestCap];
  std::snprintf(want, sizeof want, "%s:%s", digest_alg_name(digest_alg_of_hex(hex)), hex);
  return tags_naming(name, want).empty() ? 0 : 1;
}

namespace {

// One tag of a push as point_tags handles it.
struct TagMove {
  std::string name;
  bool had_link = false;
  std::string old_link;  // what its link held
  StagedFile staged;
  bool is_staged = false;
  bool committed = false;  // renamed into place (or perhaps, when that failed)
};

// Puts a tag back as it was before the push touched it: its old link, or
// no tag (and none of the directories made for it).
void restore_tag(const char* repo_name, const TagMove& m) {
  if (m.is_staged) discard_staged(m.staged);
  if (m.had_link && m.committed) {
    char path[kPathCap];
    manifest_tag_path(repo_name, m.name.c_str(), path, sizeof path);
    write_file_locked(path, m.old_link.data(), m.old_link.size());
  } else if (!m.had_link) {
    remove_tag(repo_name, m.name.c_str());
  }
}

// Points every tag at link, or none: a request that names several tags
// must not leave some moved when it fails. Each link is first written
// beside its place (a full disk fails here, before any tag moves), then
// all are renamed in; a rename that fails puts back the tags before it.
// Called under the repository's lock.
int point_tags(const char* repo_name, const std::vector<std::string>& tags, const char* link, size_t link_len,
               HeldFlushes* later, reg_status* st) {
  std::vector<TagMove> moves(tags.size());
  auto undo = [&](size_t upto) {
    for (size_t j = 0; j < upto; ++j) restore_tag(repo_name, moves[j]);
  };
  for (size_t i = 0; i < tags.size(); ++i) {
    TagMove& m = moves[i];
    m.name = tags[i];
    char current[kPathCap];
    char path[kPathCap];
    manifest_tag_dir(repo_name, m.name.c_str(), current, sizeof current);  // fit: the link's path did
    manifest_tag_path(repo_name, m.name.c_str(), path, sizeof path);
    char old[kLinkReadCap];
    size_t old_len = 0;
    if (read_file(path, old, sizeof old, &old_len) == 0) {
      m.had_link = true;
      m.old_link.assign(old, old_len);
    }
    if (mkdirs(current, later) != 0) {
      fail(st, REG_ERR_STORAGE, "mkdirs tag dir failed");
      undo(i + 1);
      return -1;
    }
    if (stage_file_locked(path, link, link_len, &m.staged) != 0) {
      fail(st, REG_ERR_STORAGE, "write tag link failed");
      undo(i + 1);
      return -1;
    }
    m.is_staged = true;
  }
  // What the tags will lead to, and the directories made for them, are on
  // stable storage before any tag moves.
  if (!later->settle()) {
    fail(st, REG_ERR_STORAGE, "cannot flush before the tags move");
    undo(moves.size());
    return -1;
  }
  for (size_t i = 0; i < moves.size(); ++i) {
    const int rc = commit_staged(moves[i].staged);
    moves[i].is_staged = false;
    moves[i].committed = true;
    if (rc != 0) {
      fail(st, REG_ERR_STORAGE, "write tag link failed");
      // This one may be in place already (only its flush failed).
      undo(moves.size());
      return -1;
    }
  }
  return 0;
}

// Whether a fixed tag among tags names something other than link: 0 when
// none does, else -1 with the message set. Called under the lock, so a
// push that races another to a new fixed tag sees the winner's link.
int check_fixed_tags(const char* repo_name, const std::vector<std::string>& tags, const char* link,
                     const Guard& guard, reg_status* st) {
  if (guard.fn == nullptr) return 0;
  for (const std::string& t : tags) {
    if (guard.fn(guard.ctx, t.c_str()) == 0) continue;
    char path[kPathCap];
    char old[kLinkReadCap];
    size_t old_len = 0;
    manifest_tag_path(repo_name, t.c_str(), path, sizeof path);  // fit: checked before the lock
    if (read_file(path, old, sizeof old, &old_len) != 0) {
      // Only a tag that is not there may be made; one that cannot be read
      // is never taken for absent.
      if (!file_exists(path)) continue;
      return fail(st, REG_ERR_STORAGE, "read tag link failed: %s", t.c_str());
    }
    if (std::string(old, old_len) != link) return fail(st, REG_ERR_FIXED, "tag is immutable: %s", t.c_str());
  }
  return 0;
}

// The first thing the manifest refers to that the repository does not
// hold: 0 when it holds everything, else -1 with the message set.
int missing_reference(const char* repo_name, const ManifestInfo& info, reg_status* st) {
  for (const std::string& d : info.blobs) {
    const int held = repo_holds_blob(repo_name, d.c_str(), st);
    if (held < 0) return -1;
    if (held == 0) return fail(st, REG_ERR_UNKNOWN_REFERENCE, "manifest blob unknown: %s", d.c_str());
  }
  for (const std::string& d : info.manifests) {
    char path[kPathCap];
    if (!manifest_body_path(repo_name, digest_hex_of(d.c_str()), path, sizeof path) || !file_exists(path)) {
      return fail(st, REG_ERR_UNKNOWN_REFERENCE, "manifest unknown: %s", d.c_str());
    }
  }
  return 0;
}

// The content type to store: what the client gave, checked against what
// the manifest says it is; for a push without one, what the manifest says.
const char* stored_type(const char* content_type, const ManifestInfo& info, bool push) {
  const bool given = content_type != nullptr && content_type[0] != '\0';
  if (given) return content_type;
  if (push && !info.media_type.empty()) return info.media_type.c_str();
  if (push && info.kind == ManifestKind::kIndex) return "application/vnd.oci.image.index.v1+json";
  return kDefaultContentType;
}

int put_manifest(const char* repo_name, const char* reference, const void* body, uint64_t body_len,
                 const char* content_type, bool check_references, const char* const* extra_tags, int extra_count,
                 const Guard& guard, char* out_digest, char* out_subject, reg_status* st) {
  if (repo_name == nullptr || reference == nullptr || body == nullptr || out_digest == nullptr ||
      extra_count < 0 || (extra_count > 0 && extra_tags == nullptr)) {
    return fail(st, REG_ERR_INVALID, "NULL argument");
  }
  if (check_repository(repo_name, true, st) != 0) return -1;
  if (reference[0] == '\0') return fail(st, REG_ERR_INVALID, "empty reference");
  const bool tagged = !is_digest_reference(reference);
  if (tagged && !tag_valid(reference)) return fail(st, REG_ERR_INVALID, "invalid tag: %s", reference);
  // The engine's own put keeps to SHA-256 digests, which its callers'
  // 72-byte buffers hold; a push takes SHA-512 too.
  const DigestAlg alg = tagged ? DigestAlg::kSha256 : digest_alg(reference);
  if (!tagged && (alg == DigestAlg::kNone || (alg == DigestAlg::kSha512 && !check_references))) {
    return fail(st, REG_ERR_INVALID, "invalid digest reference");
  }
  const bool default_type = content_type == nullptr || content_type[0] == '\0';
  if (!default_type && !media_type_valid(content_type)) return fail(st, REG_ERR_INVALID, "invalid content type");
  std::vector<std::string> tags;
  if (tagged) tags.push_back(reference);
  for (int i = 0; i < extra_count; ++i) {
    if (extra_tags[i] == nullptr || !tag_valid(extra_tags[i])) {
      return fail(st, REG_ERR_INVALID, "invalid tag: %s", extra_tags[i] != nullptr ? extra_tags[i] : "");
    }
    // A tag named twice is pointed once.
    if (std::find(tags.begin(), tags.end(), extra_tags[i]) == tags.end()) tags.push_back(extra_tags[i]);
  }
  // No larger body could be fetched again whole.
  if (body_len > kManifestMax) return fail(st, REG_ERR_TOO_LARGE, "manifest too large");
  const size_t len = static_cast<size_t>(body_len);
  char msg[320];
  ManifestInfo info;
  if (const char* failure = manifest_body_error(body, len, &info, msg, sizeof msg)) {
    return fail(st, REG_ERR_INVALID, "%s", failure);
  }
  // A push says what it pushes twice, in its Content-Type and in the
  // body's mediaType: the two must agree.
  if (check_references && !default_type && !info.media_type.empty() && is_manifest_type(content_type) &&
      info.media_type != content_type) {
    return fail(st, REG_ERR_INVALID, "manifest mediaType %s does not match the content type %s",
                info.media_type.c_str(), content_type);
  }

  DigestHasher hasher(alg);
  hasher.update(body, len);
  const std::string computed = hasher.finish();
  char link[kAnyDigestCap];
  std::snprintf(link, sizeof link, "%s", computed.c_str());
  const size_t link_len = std::strlen(link);
  char hex[kHexCap];
  std::snprintf(hex, sizeof hex, "%s", digest_hex_of(link));
  // A digest reference names the body: it must be the body's own digest.
  if (!tagged && std::strcmp(reference, link) != 0) {
    return fail(st, REG_ERR_DIGEST, "digest mismatch: expected %s, got %s", reference, link);
  }

  ManifestPaths paths;
  if (!manifest_paths(repo_name, hex, &paths)) return fail(st, REG_ERR_INVALID, "path too long");
  for (const std::string& t : tags) {
    char p[kPathCap];
    if (!manifest_tag_path(repo_name, t.c_str(), p, sizeof p)) return fail(st, REG_ERR_INVALID, "path too long");
  }
  if (note_repository(repo_name) != 0 || mkdirs(paths.dir) != 0) {
    return fail(st, REG_ERR_STORAGE, "mkdirs manifests dir failed");
  }
  // The body and its content type are written and flushed before the lock
  // is taken, under names of this process's own: pushes to one repository
  // flush their files at the same time, and the lock is held only for the
  // renames, the links and their directories' flushes.
  const char* ct = stored_type(content_type, info, check_references);
  StagedPair staged;
  const StageItem items[2] = {{paths.body, body, len}, {paths.ct, ct, std::strlen(ct)}};
  if (stage_files(items, 2, staged.files) != 0) return fail(st, REG_ERR_STORAGE, "write manifest body failed");
  staged.count = 2;
  LockedFile lock;
  if (lock_repository(repo_name, &lock) != Lock::kHeld) return lock_failure(repo_name, st);
  // Checked under the lock: garbage collection looks at each repository
  // under its lock once it has set unneeded blobs aside, so a push either
  // finishes before that look (and is seen) or checks after it (and puts
  // back, through the check itself, any blob it needs).
  if (check_references && missing_reference(repo_name, info, st) != 0) return -1;
  if (check_fixed_tags(repo_name, tags, link, guard, st) != 0) return -1;

  // Body, content type and revision first, then its entry among its
  // subject's referrers, the tags last: a tag never names a manifest that
  // is not whole. Every file is replaced atomically. The directories the
  // body and the revision change are flushed together, after the
  // revision's link is written and before it is put in place (see
  // HeldFlushes); the tags' directories likewise before the tags move.
  HeldFlushes later;
  const int committed = commit_staged_in(paths.dir, staged.files, staged.count, &later);
  staged.count = 0;
  // A staged file that a delete of this manifest took away meanwhile (or
  // a rename that failed) is written again, under the lock.
  if (committed != 0 && write_file_locked(paths.body, body, len) != 0) {
    return fail(st, REG_ERR_STORAGE, "write manifest body failed");
  }
  if (committed != 0 && write_file_locked(paths.ct, ct, std::strlen(ct)) != 0) {
    return fail(st, REG_ERR_STORAGE, "write manifest ct failed");
  }
  if (mkdirs(paths.rev_dir, &later) != 0) return fail(st, REG_ERR_STORAGE, "mkdirs revision dir failed");
  StagedFile rev;
  if (stage_file_locked(paths.rev, link, link_len, &rev) != 0) {
    return fail(st, REG_ERR_STORAGE, "write revision link failed");
  }
  if (!later.settle()) {
    discard_staged(rev);
    return fail(st, REG_ERR_STORAGE, "cannot flush manifests dir");
  }
  if (commit_staged_later(rev, &later) != 0) return fail(st, REG_ERR_STORAGE, "write revision link failed");
  // The referrers' entry names a whole manifest: the revision is flushed
  // first.
  if (!info.subject.empty() && !later.settle()) return fail(st, REG_ERR_STORAGE, "cannot flush revision dir");
  if (record_referrer(repo_name, link, len, ct, info) != 0) return fail(st, REG_ERR_STORAGE, "write referrer failed");
  // point_tags settles what is still held before the tags move, with or
  // without tags.
  if (point_tags(repo_name, tags, link, link_len, &later, st) != 0) return -1;
  std::snprintf(out_digest, alg == DigestAlg::kSha512 ? kAnyDigestCap : kDigestCap, "%s", link);
  if (out_subject != nullptr) std::snprintf(out_subject, kAnyDigestCap, "%s", info.subject.c_str());
  return 0;
}

// The checks of a read or a delete: pointers, then the repository.
int check_read(const char* repo_name, const char* reference, reg_status* st) {
  if (repo_name == nullptr || reference == nullptr) return fail(st, REG_ERR_INVALID, "NULL argument");
  return check_repository(repo_name, false, st);
}

int remove_manifest(const char* repo_name, const char* reference, const Guard& guard, reg_status* st) {
  if (check_read(repo_name, reference, st) != 0) return -1;
  const bool by_digest = is_digest_reference(reference);
  if (by_digest && !any_digest_valid(reference)) return fail(st, REG_ERR_INVALID, "invalid digest reference");
  if (!by_digest && !tag_valid(reference)) return fail(st, REG_ERR_INVALID, "invalid tag: %s", reference);
  char dir[kPathCap];
  if (!manifest_dir(repo_name, dir, sizeof dir)) return fail(st, REG_ERR_INVALID, "path too long");
  // A repository without manifests has nothing to delete, and gets no
  // directories for asking.
  LockedFile lock;
  const Lock held = dir_exists(dir) ? lock_repository(repo_name, &lock) : Lock::kGone;
  if (held == Lock::kFailed) return lock_failure(repo_name, st);

  char hex[kHexCap];
  if (!by_digest) {
    if (held == Lock::kGone) return fail(st, REG_ERR_NOT_FOUND, "tag not found: %s:%s", repo_name, reference);
    if (manifest_resolve(repo_name, reference, hex, st) != 0) return -1;
    if (guard.fn != nullptr && guard.fn(guard.ctx, reference) != 0) {
      return fail(st, REG_ERR_FIXED, "tag is immutable: %s", reference);
    }
    remove_tag(repo_name, reference);
    return 0;
  }

  std::snprintf(hex, sizeof hex, "%s", digest_hex_of(reference));
  ManifestPaths paths;
  if (!manifest_paths(repo_name, hex, &paths)) return fail(st, REG_ERR_INVALID, "path too long");
  if (held == Lock::kGone || !file_exists(paths.body)) return fail(st, REG_ERR_NOT_FOUND, "manifest unknown");
  // The manifest's tags go with it: none of them may be fixed.
  if (guard.fn != nullptr) {
    for (const std::string& t : tags_naming(repo_name, reference)) {
      if (guard.fn(guard.ctx, t.c_str()) != 0) return fail(st, REG_ERR_FIXED, "tag is immutable: %s", t.c_str());
    }
  }
  remove_manifest_locked(repo_name, hex);
  return 0;
}

// Passes a body read whole to a caller's writer.
int write_body(const ManifestBuffer& body, reg_writer write, void* write_ctx, reg_status* st) {
  TextOut out(write, write_ctx);
  out.put(body.bytes.data(), body.len);
  return out.flush(st);
}

}  // namespace

int read_manifest(const char* repo_name, const char* reference, ManifestBuffer* body, char* out_content_type,
                  char* out_digest, reg_status* st) {
  if (check_read(repo_name, reference, st) != 0) return -1;
  char hex[kHexCap];
  if (manifest_resolve(repo_name, reference, hex, st) != 0) return -1;
  char body_path[kPathCap];
  char ct_path[kPathCap];
  if (!manifest_body_path(repo_name, hex, body_path, sizeof body_path) ||
      !manifest_ct_path(repo_name, hex, ct_path, sizeof ct_path)) {
    return fail(st, REG_ERR_INVALID, "path too long");
  }
  const int rc = read_manifest_file(body_path, body);
  if (rc == -1) return fail(st, REG_ERR_NOT_FOUND, "manifest body not found: %s@%s", repo_name, reference);
  // Never handed out cut short as if it were whole.
  if (rc == -2) return fail(st, REG_ERR_TOO_LARGE, "manifest too large: %s@%s", repo_name, reference);
  // What put stored comes back whole; a file that does not hold a media
  // type (written by hand, or by an older build that took anything) gives
  // the default rather than bytes no response header may carry.
  char ct[REG_CONTENT_TYPE_CAP + 1];
  size_t ct_len = 0;
  if (read_file(ct_path, ct, sizeof ct, &ct_len) != 0 || ct_len == 0 || ct_len > kContentTypeMax ||
      std::strlen(ct) != ct_len || !media_type_valid(ct)) {
    std::snprintf(ct, sizeof ct, "%s", kDefaultContentType);
  }
  std::snprintf(out_content_type, REG_CONTENT_TYPE_CAP, "%s", ct);
  std::snprintf(out_digest, REG_DIGEST_CAP, "%s:%s", digest_alg_name(digest_alg_of_hex(hex)), hex);
  return 0;
}

int remove_manifest_locked(const char* repo_name, const char* hex) {
  char reference[kAnyDigestCap];
  std::snprintf(reference, sizeof reference, "%s:%s", digest_alg_name(digest_alg_of_hex(hex)), hex);
  ManifestPaths paths;
  if (!manifest_paths(repo_name, hex, &paths)) return -1;
  for (const std::string& tag : tags_naming(repo_name, reference)) remove_tag(repo_name, tag.c_str());
  // Its entry among its subject's referrers goes with it.
  ManifestBuffer body;
  ManifestInfo info;
  char msg[320];
  if (load_manifest(paths.body, &body, &info, msg, sizeof msg) == 1) forget_referrer(repo_name, reference, info);
  const char* const rev_dirs[] = {paths.rev_dir};
  remove_link_and_dirs(paths.rev, rev_dirs, 1);
  remove_with_leftover(paths.body);
  remove_with_leftover(paths.ct);
  // And what killed pushes of it staged under names of their own: a push
  // of it staging now finds its file gone when it commits, and writes it
  // again under the lock.
  remove_staged_leftovers(paths.dir, {paths.body, paths.ct});
  return 0;
}

}  // namespace storage

using namespace storage;

extern "C" {

int reg_manifest_put(const char* repo_name, const char* reference, const void* body, uint64_t body_len,
                     const char* content_type, char* out_digest) {
  PublishedStatus st;
  return put_manifest(repo_name, reference, body, body_len, content_type, false, nullptr, 0, Guard{}, out_digest,
                      nullptr, st);
}

int reg_manifest_push(const char* repo_name, const char* reference, const void* body, uint64_t body_len,
                      const char* content_type, const char* const* tags, int tag_count, char* out_digest,
                      char* out_subject, reg_status* caller) {
  return reg_manifest_push_guarded(repo_name, reference, body, body_len, content_type, tags, tag_count, nullptr,
                                   nullptr, out_digest, out_subject, caller);
}

int reg_manifest_push_guarded(const char* repo_name, const char* reference, const void* body, uint64_t body_len,
                              const char* content_type, const char* const* tags, int tag_count,
                              reg_tag_guard guard, void* guard_ctx, char* out_digest, char* out_subject,
                              reg_status* caller) {
  CallStatus st(caller);
  if (out_subject != nullptr) out_subject[0] = '\0';
  return put_manifest(repo_name, reference, body, body_len, content_type, true, tags, tag_count,
                      Guard{guard, guard_ctx}, out_digest, out_subject, st);
}

int reg_manifest_read(const char* repo_name, const char* reference, reg_writer write, void* write_ctx,
                      char* out_content_type, char* out_digest, reg_status* caller) {
  CallStatus st(caller);
  if (write == nullptr || out_content_type == nullptr || out_digest == nullptr) {
    return fail(st, REG_ERR_INVALID, "NULL argument");
  }
  ManifestBuffer body;
  if (read_manifest(repo_name, reference, &body, out_content_type, out_digest, st) != 0) return -1;
  return write_body(body, write, write_ctx, st);
}

const char* reg_manifest_get(const char* repo_name, const char* reference, char* out_content_type,
                             char* out_digest) {
  PublishedStatus st;
  if (repo_name == nullptr || reference == nullptr || out_content_type == nullptr || out_digest == nullptr) {
    fail(st, REG_ERR_INVALID, "NULL argument");
    return nullptr;
  }
  ManifestBuffer body;
  char ct[REG_CONTENT_TYPE_CAP];
  char digest[REG_DIGEST_CAP];
  if (read_manifest(repo_name, reference, &body, ct, digest, st) != 0) return nullptr;
  BufferWriter result{s_result, kResultCap};
  if (write_body(body, BufferWriter::write, &result, st) != 0) return nullptr;
  // The caller's buffers are written only when the body was read.
  std::snprintf(out_content_type, REG_CONTENT_TYPE_CAP, "%s", ct);
  std::snprintf(out_digest, REG_DIGEST_CAP, "%s", digest);
  return s_result;
}

int reg_manifest_remove(const char* repo_name, const char* reference, reg_status* caller) {
  CallStatus st(caller);
  return remove_manifest(repo_name, reference, Guard{}, st);
}

int reg_manifest_remove_guarded(const char* repo_name, const char* reference, reg_tag_guard guard, void* guard_ctx,
                                reg_status* caller) {
  CallStatus st(caller);
  return remove_manifest(repo_name, reference, Guard{guard, guard_ctx}, st);
}

int reg_manifest_delete(const char* repo_name, const char* reference) {
  PublishedStatus st;
  return remove_manifest(repo_name, reference, Guard{}, st);
}

}  // extern "C"
