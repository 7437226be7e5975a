// Path builders of the storage tree.
#include "storage/storage_layout.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>

#include "platform/host.h"
#include "storage/storage_digest.h"
#include "storage/storage_fs.h"
#include "storage/storage_state.h"

namespace storage {

void path_join(char* out, size_t cap, const char* first, const char* second) {
  if (cap == 0) return;
  // first, one separator, second: whatever does not fit is cut off.
  size_t n = 0;
  auto put = [&](const char* s) {
    for (; *s != '\0' && n + 1 < cap; ++s) out[n++] = *s;
  };
  const char sep[2] = {host::kSep, '\0'};
  put(first);
  put(sep);
  put(second);
  out[n] = '\0';
}

void repos_dir(char* out, size_t cap) { path_join(out, cap, s_root, kRepositoriesDir); }

void nested_index_dir(char* out, size_t cap) {
  char repos[kPathCap];
  repos_dir(repos, sizeof repos);
  path_join(out, cap, repos, kNestedIndexDir);
}

void nested_index_lock_path(char* out, size_t cap) {
  char repos[kPathCap];
  repos_dir(repos, sizeof repos);
  path_join(out, cap, repos, kNestedIndexLockFile);
}

void blob_path_for_digest(const char* digest, char* out, size_t out_size) {
  const char* hex = digest_hex_of(digest);
  const char prefix[3] = {hex[0], hex[1], '\0'};
  char blobs[kPathCap];
  char alg[kPathCap];
  char dir[kPathCap];
  path_join(blobs, sizeof blobs, s_root, kBlobsDir);
  path_join(alg, sizeof alg, blobs, digest_alg_name(digest_alg_of_hex(hex)));
  path_join(dir, sizeof dir, alg, prefix);
  path_join(out, out_size, dir, hex);
}

bool blob_store_name(const char* digest, char* out, size_t out_size) {
  const char* hex = digest_hex_of(digest);
  const int n = std::snprintf(out, out_size, "%s/%c%c/%s", digest_alg_name(digest_alg_of_hex(hex)), hex[0], hex[1], hex);
  return n >= 0 && static_cast<size_t>(n) < out_size;
}

void blob_prefix_dir(const char* digest, char* out, size_t out_size) {
  // Written with '/': the host layer reads both separators alike, so this
  // names the directory that blob_path_for_digest's joins lead through.
  const char* hex = digest_hex_of(digest);
  std::snprintf(out, out_size, "%s/blobs/%s/%c%c", s_root, digest_alg_name(digest_alg_of_hex(hex)), hex[0], hex[1]);
}

void blob_quarantine_path(const char* digest, char* out, size_t out_size) {
  char prefix[kPathCap];
  blob_prefix_dir(digest, prefix, sizeof prefix);
  char name[160];
  std::snprintf(name, sizeof name, "%s%s", kGcPrefix, digest_hex_of(digest));
  path_join(out, out_size, prefix, name);
}

void blob_rotten_path(const char* digest, char* out, size_t out_size) {
  char dir[kPathCap];
  path_join(dir, sizeof dir, s_root, kQuarantineDir);
  const char* hex = digest_hex_of(digest);
  char name[160];
  std::snprintf(name, sizeof name, "%s-%s", digest_alg_name(digest_alg_of_hex(hex)), hex);
  path_join(out, out_size, dir, name);
}

BlobName blob_entry_name(DigestAlg alg, const char* prefix, const char* name, std::string* digest) {
  const bool aside = std::strncmp(name, kGcPrefix, sizeof kGcPrefix - 1) == 0;
  const char* hex = aside ? name + sizeof kGcPrefix - 1 : name;
  // The prefix directory is named by the first two digits of the hex.
  if (hex_alg(hex) != alg || std::strlen(prefix) != 2 || std::strncmp(prefix, hex, 2) != 0) return BlobName::kOther;
  *digest = std::string(digest_alg_name(alg)) + ":" + hex;
  return aside ? BlobName::kSetAside : BlobName::kBlob;
}

void gc_lock_path(char* out, size_t out_size) { path_join(out, out_size, s_root, kGcLockFile); }

void uploads_dir(char* out, size_t out_size) { path_join(out, out_size, s_root, kUploadsDir); }

void quarantine_dir(char* out, size_t out_size) { path_join(out, out_size, s_root, kQuarantineDir); }

void blob_alg_dir(DigestAlg alg, char* out, size_t out_size) {
  char blobs[kPathCap];
  path_join(blobs, sizeof blobs, s_root, kBlobsDir);
  path_join(out, out_size, blobs, digest_alg_name(alg));
}

void upload_path_for_uuid(const char* uuid, char* out, size_t out_size) {
  char dir[kPathCap];
  char name[128];
  path_join(dir, sizeof dir, s_root, kUploadsDir);
  std::snprintf(name, sizeof name, "%s%s", uuid, kUploadSuffix);
  path_join(out, out_size, dir, name);
}

void upload_state_dir(char* out, size_t out_size) { path_join(out, out_size, s_root, kUploadStateDir); }

void upload_state_path(const char* uuid, char* out, size_t out_size) {
  char dir[kPathCap];
  upload_state_dir(dir, sizeof dir);
  path_join(out, out_size, dir, uuid);
}

void auth_dir(char* out, size_t cap) { path_join(out, cap, s_root, kAuthDir); }

namespace {

// Joins parts after base, one separator between each; false when cut.
bool join_all(char* out, size_t out_size, const char* base, std::initializer_list<const char*> parts) {
  if (out_size == 0) return false;
  char cur[kPathCap];
  const int n = std::snprintf(cur, sizeof cur, "%s", base);
  if (n < 0 || static_cast<size_t>(n) >= sizeof cur) return false;
  for (const char* part : parts) {
    char next[kPathCap];
    path_join(next, sizeof next, cur, part);
    if (std::strlen(cur) + 1 + std::strlen(part) >= sizeof next) return false;
    std::memcpy(cur, next, std::strlen(next) + 1);
  }
  const size_t len = std::strlen(cur);
  const bool fits = len < out_size;
  const size_t copy = fits ? len : out_size - 1;
  std::memcpy(out, cur, copy);
  out[copy] = '\0';
  return fits;
}

}  // namespace

bool manifest_dir(const char* name, char* out, size_t out_size) {
  return join_all(out, out_size, s_root, {kRepositoriesDir, name, kManifestsDir});
}

bool manifest_lock_path(const char* name, char* out, size_t out_size) {
  return join_all(out, out_size, s_root, {kRepositoriesDir, name, kManifestsDir, kLockFile});
}

bool manifest_body_path(const char* name, const char* hex, char* out, size_t out_size) {
  return join_all(out, out_size, s_root, {kRepositoriesDir, name, kManifestsDir, hex});
}

bool manifest_ct_path(const char* name, const char* hex, char* out, size_t out_size) {
  char body[kPathCap];
  if (!manifest_body_path(name, hex, body, sizeof body)) return false;
  const int n = std::snprintf(out, out_size, "%s%s", body, kContentTypeSuffix);
  return n >= 0 && static_cast<size_t>(n) < out_size;
}

bool manifest_rev_dir(const char* name, const char* hex, char* out, size_t out_size) {
  return join_all(out, out_size, s_root,
                  {kRepositoriesDir, name, kManifestsDir, kRevisionsDir, digest_alg_name(digest_alg_of_hex(hex)), hex});
}

bool manifest_rev_path(const char* name, const char* hex, char* out, size_t out_size) {
  return join_all(out, out_size, s_root,
                  {kRepositoriesDir, name, kManifestsDir, kRevisionsDir, digest_alg_name(digest_alg_of_hex(hex)), hex,
                   kLinkFile});
}

bool manifest_tags_dir(const char* name, char* out, size_t out_size) {
  return join_all(out, out_size, s_root, {kRepositoriesDir, name, kManifestsDir, kTagsDir});
}

bool manifest_tag_dir(const char* name, const char* tag, char* out, size_t out_size) {
  return join_all(out, out_size, s_root, {kRepositoriesDir, name, kManifestsDir, kTagsDir, tag, kCurrentDir});
}

bool manifest_tag_path(const char* name, const char* tag, char* out, size_t out_size) {
  return join_all(out, out_size, s_root,
                  {kRepositoriesDir, name, kManifestsDir, kTagsDir, tag, kCurrentDir, kLinkFile});
}

bool manifest_referrers_dir(const char* name, const char* subject, char* out, size_t out_size) {
  const char* hex = digest_hex_of(subject);
  return join_all(out, out_size, s_root,
                  {kRepositoriesDir, name, kManifestsDir, kReferrersDir, digest_alg_name(digest_alg_of_hex(hex)), hex});
}

bool manifest_referrer_path(const char* name, const char* subject, const char* referrer, char* out, size_t out_size) {
  const char* subject_hex = digest_hex_of(subject);
  const char* hex = digest_hex_of(referrer);
  char entry[160];
  std::snprintf(entry, sizeof entry, "%s-%s", digest_alg_name(digest_alg_of_hex(hex)), hex);
  return join_all(out, out_size, s_root,
                  {kRepositoriesDir, name, kManifestsDir, kReferrersDir,
                   digest_alg_name(digest_alg_of_hex(subject_hex)), subject_hex, entry});
}

bool auth_file_path(const char* file, char* out, size_t cap) {
  return join_all(out, cap, s_root, {kAuthDir, file});
}

namespace {

// <alg>-<hex><suffix> for <alg>:<hex>: a file name on every host.
bool digest_file_name(const char* digest, const char* suffix, char* name, size_t cap) {
  const char* colon = std::strchr(digest, ':');
  if (colon == nullptr) return false;
  const int n = std::snprintf(name, cap, "%.*s-%s%s", static_cast<int>(colon - digest), digest, colon + 1, suffix);
  return n >= 0 && static_cast<size_t>(n) < cap;
}

}  // namespace

bool mirror_fetch_lock_path(const char* digest, char* out, size_t cap) {
  char name[160];
  if (!digest_file_name(digest, ".lock", name, sizeof name)) return false;
  return join_all(out, cap, s_root, {kMirrorDir, kMirrorFetchingDir, name});
}

bool mirror_pulled_dir(char* out, size_t cap) { return join_all(out, cap, s_root, {kMirrorDir, kMirrorPulledDir}); }

bool mirror_pulled_path(const char* name, const char* digest, char* out, size_t cap) {
  char file[160];
  if (!digest_file_name(digest, "", file, sizeof file)) return false;
  return join_all(out, cap, s_root, {kMirrorDir, kMirrorPulledDir, name, file});
}

bool mirror_token_path(const char* hex, char* out, size_t cap) {
  if (std::strlen(hex) != 64 || hex_alg(hex) != DigestAlg::kSha256) return false;
  return join_all(out, cap, s_root, {kMirrorDir, kMirrorTokensDir, hex});
}

bool mirror_referrers_checked_path(const char* name, const char* digest, char* out, size_t cap) {
  char file[160];
  if (!digest_file_name(digest, "", file, sizeof file)) return false;
  return join_all(out, cap, s_root, {kMirrorDir, kMirrorReferrersDir, name, file});
}

bool mirror_tag_checked_path(const char* name, const char* tag, char* out, size_t cap) {
  return join_all(out, cap, s_root, {kMirrorDir, kMirrorCheckedDir, name, tag});
}

bool throttle_dir(char* out, size_t cap) { return join_all(out, cap, s_root, {kAuthDir, kThrottleDir}); }

bool throttle_bucket_path(unsigned bucket, char* out, size_t cap) {
  char name[16];
  std::snprintf(name, sizeof name, "%02x", bucket & 0xffu);
  return join_all(out, cap, s_root, {kAuthDir, kThrottleDir, name});
}

bool throttle_lock_path(unsigned bucket, char* out, size_t cap) {
  char name[16];
  std::snprintf(name, sizeof name, "%02x%s", bucket & 0xffu, kThrottleLockSuffix);
  return join_all(out, cap, s_root, {kAuthDir, kThrottleDir, name});
}

bool repository_dir(const char* name, char* out, size_t out_size) {
  return join_all(out, out_size, s_root, {kRepositoriesDir, name});
}

bool repo_blob_link_dir(const char* name, const char* digest, char* out, size_t out_size) {
  const char* hex = digest_hex_of(digest);
  return join_all(out, out_size, s_root, {kRepositoriesDir, name, kLayersDir, digest_alg_name(digest_alg_of_hex(hex)), hex});
}

bool repo_blob_link_path(const char* name, const char* digest, char* out, size_t out_size) {
  const char* hex = digest_hex_of(digest);
  return join_all(out, out_size, s_root,
                  {kRepositoriesDir, name, kLayersDir, digest_alg_name(digest_alg_of_hex(hex)), hex, kLinkFile});
}

bool repo_layers_dir(const char* name, DigestAlg alg, char* out, size_t out_size) {
  return join_all(out, out_size, s_root, {kRepositoriesDir, name, kLayersDir, digest_alg_name(alg)});
}

bool repo_blob_link_aside_path(const char* name, const char* digest, char* out, size_t out_size) {
  const char* hex = digest_hex_of(digest);
  char aside[16];
  std::snprintf(aside, sizeof aside, "%s%s", kGcPrefix, kLinkFile);
  return join_all(out, out_size, s_root,
                  {kRepositoriesDir, name, kLayersDir, digest_alg_name(digest_alg_of_hex(hex)), hex, aside});
}

bool repo_uploads_dir(const char* name, char* out, size_t out_size) {
  return join_all(out, out_size, s_root, {kRepositoriesDir, name, kRepoUploadsDir});
}

bool manifest_revisions_dir(const char* name, DigestAlg alg, char* out, size_t out_size) {
  return join_all(out, out_size, s_root, {kRepositoriesDir, name, kManifestsDir, kRevisionsDir, digest_alg_name(alg)});
}

bool manifest_referrers_alg_dir(const char* name, DigestAlg alg, char* out, size_t out_size) {
  return join_all(out, out_size, s_root, {kRepositoriesDir, name, kManifestsDir, kReferrersDir, digest_alg_name(alg)});
}

bool manifest_rotten_path(const char* name, const char* hex, char* out, size_t out_size) {
  // One flat folder: the repository's '/' become '%', which no name has.
  std::string flat = name;
  for (char& c : flat) {
    if (c == '/') c = '%';
  }
  flat += std::string("@") + digest_alg_name(digest_alg_of_hex(hex)) + "-" + hex;
  return join_all(out, out_size, s_root, {kQuarantineDir, flat.c_str()});
}

bool repo_upload_mark_path(const char* name, const char* uuid, char* out, size_t out_size) {
  return join_all(out, out_size, s_root, {kRepositoriesDir, name, kRepoUploadsDir, uuid});
}

namespace {

void events_dir(char* out, size_t cap) { path_join(out, cap, s_root, kEventsDir); }

bool fits(int n, size_t cap) { return n >= 0 && static_cast<size_t>(n) < cap; }

}  // namespace

void event_outbox_dir(char* out, size_t cap) {
  char events[kPathCap];
  events_dir(events, sizeof events);
  path_join(out, cap, events, kOutboxDir);
}

void metrics_requests_dir(char* out, size_t cap) {
  char metrics[kPathCap];
  path_join(metrics, sizeof metrics, s_root, kMetricsDir);
  path_join(out, cap, metrics, kMetricsRequestsDir);
}

bool metrics_shard_path(unsigned shard, char* out, size_t cap) {
  char dir[kPathCap];
  metrics_requests_dir(dir, sizeof dir);
  return shard < kMetricsShards && fits(std::snprintf(out, cap, "%s%c%02x", dir, host::kSep, shard), cap);
}

bool metrics_file_path(const char* file, char* out, size_t cap) {
  return fits(std::snprintf(out, cap, "%s%c%s%c%s", s_root, host::kSep, kMetricsDir, host::kSep, file), cap);
}

void event_tries_dir(char* out, size_t cap) {
  char events[kPathCap];
  events_dir(events, sizeof events);
  path_join(out, cap, events, kEventTriesDir);
}

void event_lock_path(char* out, size_t cap) {
  char events[kPathCap];
  events_dir(events, sizeof events);
  path_join(out, cap, events, kDeliverLockFile);
}

bool event_path(const char* name, char* out, size_t cap) {
  char dir[kPathCap];
  event_outbox_dir(dir, sizeof dir);
  return fits(std::snprintf(out, cap, "%s%c%s%s", dir, host::kSep, name, kEventSuffix), cap);
}

bool event_tries_path(const char* name, char* out, size_t cap) {
  char dir[kPathCap];
  event_tries_dir(dir, sizeof dir);
  return fits(std::snprintf(out, cap, "%s%c%s", dir, host::kSep, name), cap);
}

bool event_name_valid(const char* name, size_t len) {
  if (len != kEventNameLen) return false;
  for (size_t i = 0; i < len; ++i) {
    const char c = name[i];
    const bool ok = i < 20 ? (c >= '0' && c <= '9') : i == 20 ? c == '-' : ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
    if (!ok) return false;
  }
  return true;
}

}  // namespace storage
