// Which directories below repositories/ are repositories.
//
// A repository is a directory whose path below repositories/ is a valid
// name and that holds the repository's own data (an entry of the tree's
// own, "_manifests" and the like) or no directory at all; a name with '/'
// nests. To list them without looking inside every directory (one system
// call per repository would cost more than reading the whole listing), the
// engine keeps a marker for every directory that lies on the way to a
// nested repository: repositories/_nested/<name, '/' written as '%'>. The
// catalog reads repositories/ and _nested once, and descends only into
// marked directories; every other directory is a repository itself.
//
// Markers are written before the repository's first data and never
// removed, so a listing may look into a directory that no longer holds a
// nested repository, which costs a read and changes nothing. A tree from a
// build that kept no markers gets them when the engine first starts on it:
// a full walk that tells nesting from each directory's contents, after
// which _nested appears whole, by a rename. One process at a time makes
// it, under a lock on _nested.lock, on every machine that shares the tree:
// two directories renamed onto one name at once (empty ones replace each
// other) are more than a replicated file system can order the same way on
// every replica (GlusterFS then keeps a different directory under the name
// on each, and answers every lookup of it with an I/O error).
#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "platform/host.h"
#include "storage/storage_fs.h"
#include "storage/storage_layout.h"
#include "storage/storage_locks.h"
#include "storage/storage_names.h"
#include "storage/storage_repositories.h"
#include "storage/storage_text.h"

namespace storage {
namespace {

constexpr size_t kNameMax = 255;

bool nameable(const char* name) {
  return repo_component_valid(name, std::strlen(name)) && std::strstr(name, "..") == nullptr;
}

void repository_path(const std::string& rel, char* out, size_t cap) {
  char top[kPathCap];
  repos_dir(top, sizeof top);
  if (rel.empty()) {
    std::snprintf(out, cap, "%s", top);
  } else {
    path_join(out, cap, top, rel.c_str());
  }
}

// A repository name as a marker's file name, and back.
std::string marker_name(const std::string& name) {
  std::string m = name;
  std::replace(m.begin(), m.end(), '/', '%');
  return m;
}

// The directory's entries as the walks see them.
struct Contents {
  bool own_data = false;            // an entry of the tree's own ("_manifests")
  std::vector<std::string> subdirs;  // directories a name may continue into
};

Scan read_contents(const std::string& rel, Contents* out) {
  char path[kPathCap];
  repository_path(rel, path, sizeof path);
  return each_entry(path, [&](const char* name, host::Kind kind, host::DirStream*) {
    if (kind != host::Kind::kDir || name[0] == '.') return true;  // files, links, leftovers
    if (name[0] == '_') {
      out->own_data = out->own_data || !rel.empty();
      return true;
    }
    // The name it continues: a '/' joins it to rel, none stands before a
    // top-level name.
    const size_t full = (rel.empty() ? 0 : rel.size() + 1) + std::strlen(name);
    if (nameable(name) && full <= kNameMax) out->subdirs.push_back(name);
    return true;
  });
}

std::string child_of(const std::string& rel, const std::string& name) { return rel.empty() ? name : rel + "/" + name; }

// The full walk: every directory is read. The ones with own data, or with
// no directory a name may continue into, are repositories (repos may be
// null); the ones with nameable directories below them (that are not the
// tree's own) lie on the way to nested repositories.
Scan walk_all(NameList* repos, std::vector<std::string>* on_the_way) {
  std::vector<std::string> pending{""};
  while (!pending.empty()) {
    const std::string rel = std::move(pending.back());
    pending.pop_back();
    Contents c;
    const Scan scan = read_contents(rel, &c);
    if (scan == Scan::kFailed) return Scan::kFailed;
    if (scan == Scan::kMissing) continue;
    if (!rel.empty() && repos != nullptr && (c.own_data || c.subdirs.empty())) repos->add(rel);
    if (!rel.empty() && !c.subdirs.empty()) on_the_way->push_back(rel);
    for (const std::string& s : c.subdirs) pending.push_back(child_of(rel, s));
  }
  return Scan::kOk;
}

bool create_marker(const char* dir, const std::string& name, bool flush) {
  char path[kPathCap];
  path_join(path, sizeof path, dir, marker_name(name).c_str());
  bool taken = false;
  if (FILE* f = host::create_new_file(path, &taken)) {
    std::fclose(f);
    // The catalog finds a nested repository through its markers: one made
    // for a push lasts as the push does (one made while the index is built
    // lasts with the index).
    return !flush || host::sync_parent(path);
  }
  return taken;
}

}  // namespace

int index_nested_repositories() {
  char index[kPathCap];
  nested_index_dir(index, sizeof index);
  if (dir_exists(index)) return 0;
  char lock_path[kPathCap];
  nested_index_lock_path(lock_path, sizeof lock_path);
  FILE* f = host::open_file(lock_path, "ab");
  if (f == nullptr) return -1;
  LockedFile lock;
  lock.adopt(f);
  if (!host::lock_file(f)) return -1;
  // Another process made it while this one waited.
  if (dir_exists(index)) return 0;
  char top[kPathCap];
  repos_dir(top, sizeof top);
  std::vector<std::string> on_the_way;
  if (walk_all(nullptr, &on_the_way) == Scan::kFailed) return -1;
  // Built aside under a name of this process's own (machines that share
  // the tree may run processes of one id), then renamed into place whole:
  // a reader sees no index or all of it.
  unsigned char tag[4] = {};
  host::random_bytes(tag, sizeof tag);
  char building[kPathCap];
  char leaf[64];
  std::snprintf(leaf, sizeof leaf, ".nested.%d-%02x%02x%02x%02x", host::process_id(), tag[0], tag[1], tag[2],
                tag[3]);
  path_join(building, sizeof building, top, leaf);
  if (mkdirs(building) != 0) return -1;
  bool ok = true;
  for (const std::string& name : on_the_way) ok = ok && create_marker(building, name, false);
  // Its entries are on the disk before the index is in place.
  ok = ok && host::sync_dir(building);
  if (ok && host::rename_file(building, index) && host::sync_parent(index)) return 0;
  // We failed (or a process without this lock, mark_nesting, made the
  // index meanwhile): take ours away.
  std::vector<Entry> made;
  if (scan_dir(building, &made) == Scan::kOk) {
    for (const Entry& e : made) {
      char path[kPathCap];
      path_join(path, sizeof path, building, e.name.c_str());
      host::remove_file(path);
    }
  }
  host::remove_dir(building);
  return ok && dir_exists(index) ? 0 : -1;
}

Scan walk_repositories(NameList* repos, std::vector<std::string>* unmarked) {
  repos->clear();
  unmarked->clear();
  char index[kPathCap];
  nested_index_dir(index, sizeof index);
  std::vector<Entry> markers;
  if (scan_dir(index, &markers) == Scan::kFailed) return Scan::kFailed;
  std::unordered_set<std::string> marked;
  for (const Entry& m : markers) marked.insert(m.name);
  std::vector<std::string> on_the_way;
  if (walk_all(repos, &on_the_way) == Scan::kFailed) return Scan::kFailed;
  for (std::string& dir : on_the_way) {
    if (marked.count(marker_name(dir)) == 0) unmarked->push_back(std::move(dir));
  }
  return Scan::kOk;
}

int mark_nesting(const std::string& on_the_way) {
  char index[kPathCap];
  nested_index_dir(index, sizeof index);
  return mkdirs(index) == 0 && create_marker(index, on_the_way, true) ? 0 : -1;
}

int note_repository(const char* name) {
  const char* slash = std::strchr(name, '/');
  if (slash == nullptr) return 0;  // nothing lies on the way to it
  char index[kPathCap];
  nested_index_dir(index, sizeof index);
  const std::string full = name;
  for (size_t at = full.find('/'); at != std::string::npos; at = full.find('/', at + 1)) {
    if (!create_marker(index, full.substr(0, at), true)) return -1;
  }
  return 0;
}

Scan collect_repositories(NameList* out) {
  out->clear();
  Contents top;
  const Scan scan = read_contents("", &top);
  if (scan != Scan::kOk) return scan;
  // The marked directories, by marker name.
  std::unordered_set<std::string> marked;
  char index[kPathCap];
  nested_index_dir(index, sizeof index);
  std::vector<Entry> markers;
  if (scan_dir(index, &markers) == Scan::kFailed) return Scan::kFailed;
  for (Entry& m : markers) {
    if (m.kind == host::Kind::kFile) marked.insert(std::move(m.name));
  }
  // Unmarked directories are repositories; marked ones are read.
  std::vector<std::string> pending;
  auto sort_out = [&](const std::string& rel, const std::vector<std::string>& subdirs) {
    for (const std::string& s : subdirs) {
      std::string child = child_of(rel, s);
      if (!marked.empty() && marked.count(marker_name(child)) != 0) {
        pending.push_back(std::move(child));
      } else {
        out->add(child);
      }
    }
  };
  sort_out("", top.subdirs);
  while (!pending.empty()) {
    const std::string rel = std::move(pending.back());
    pending.pop_back();
    Contents c;
    const Scan s = read_contents(rel, &c);
    if (s == Scan::kFailed) return Scan::kFailed;
    if (s == Scan::kMissing) continue;  // removed while we walked
    if (c.own_data || c.subdirs.empty()) out->add(rel);
    sort_out(rel, c.subdirs);
  }
  return Scan::kOk;
}

}  // namespace storage
