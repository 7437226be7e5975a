// The tags of a repository with the times they were pushed: what
// retention decides on, read again under the repository's lock before a
// tag goes.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/host.h"
#include "storage/reg_storage.h"
#include "storage/storage_digest.h"
#include "storage/storage_fs.h"
#include "storage/storage_layout.h"
#include "storage/storage_manifests.h"
#include "storage/storage_names.h"
#include "storage/storage_repositories.h"
#include "storage/storage_state.h"
#include "storage/storage_text.h"
#include "storage/upkeep/reg_maintenance.h"

namespace storage {
namespace {

// The tag's link as it is now: 1, 0 when it has none. The attributes are
// read before the content: a push that replaces the link between the two
// leaves the older file's identity beside the newer digest, so a caller
// that compares identities sees a change either way.
int tag_state(const char* repo, const char* tag, reg_tag_state* out) {
  *out = reg_tag_state{};
  std::snprintf(out->tag, sizeof out->tag, "%s", tag);
  char path[kPathCap];
  if (!manifest_tag_path(repo, tag, path, sizeof path)) return 0;
  host::Attributes a{};
  if (!host::get_attributes(path, &a) || a.kind != host::Kind::kFile) return 0;
  out->pushed = a.mtime;
  out->written_ns = a.change_ns;
  out->file_id = a.id;
  char link[kLinkReadCap];
  size_t len = 0;
  if (read_file(path, link, sizeof link, &len) == 0 && reg_digest_valid(link, len) == 1) {
    std::memcpy(out->digest, link, len);
    out->digest[len] = '\0';
  }
  return 1;
}

}  // namespace
}  // namespace storage

using namespace storage;

extern "C" {

int reg_repositories_each(reg_repository_visitor each, void* ctx, reg_status* caller) {
  CallStatus st(caller);
  if (each == nullptr) return fail(st, REG_ERR_INVALID, "NULL argument");
  if (require_ready(st) != 0) return -1;
  NameList repos;
  if (collect_repositories(&repos) == Scan::kFailed) return fail(st, REG_ERR_STORAGE, "cannot list the repositories");
  char** names = repos.items();
  sort_str(names, repos.size());
  for (int i = 0; i < repos.size(); ++i) {
    if (each(ctx, names[i]) != 0) break;
  }
  return 0;
}

int reg_tags_each(const char* repo, reg_tag_visitor each, void* ctx, reg_status* caller) {
  CallStatus st(caller);
  if (repo == nullptr || each == nullptr) return fail(st, REG_ERR_INVALID, "NULL argument");
  if (require_ready(st) != 0) return -1;
  if (!repo_name_valid(repo)) return fail(st, REG_ERR_INVALID, "invalid repository name: %s", repo);
  char tags[kPathCap];
  if (!manifest_tags_dir(repo, tags, sizeof tags)) return fail(st, REG_ERR_INVALID, "path too long");
  std::vector<Entry> entries;
  const Scan scan = scan_dir(tags, &entries);
  if (scan == Scan::kMissing) return 0;
  if (scan == Scan::kFailed) return fail(st, REG_ERR_STORAGE, "cannot list the tags of %s", repo);
  NameList names;
  for (const Entry& e : entries) {
    if (e.kind == host::Kind::kDir && tag_valid(e.name.c_str())) names.add(e.name);
  }
  char** sorted = names.items();
  sort_str(sorted, names.size());
  for (int i = 0; i < names.size(); ++i) {
    reg_tag_state t;
    if (tag_state(repo, sorted[i], &t) == 1 && each(ctx, &t) != 0) break;
  }
  return 0;
}

int reg_tag_now(const char* repo, const char* tag, reg_tag_state* out, reg_status* caller) {
  CallStatus st(caller);
  if (repo == nullptr || tag == nullptr || out == nullptr) return fail(st, REG_ERR_INVALID, "NULL argument");
  if (require_ready(st) != 0) return -1;
  if (!repo_name_valid(repo)) return fail(st, REG_ERR_INVALID, "invalid repository name: %s", repo);
  if (!tag_valid(tag)) return fail(st, REG_ERR_INVALID, "invalid tag: %s", tag);
  return tag_state(repo, tag, out);
}

}  // extern "C"
