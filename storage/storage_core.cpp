// Engine state, initialisation and the error convention.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/host.h"
#include "storage/reg_storage.h"
#include "storage/storage_fs.h"
#include "storage/storage_layout.h"
#include "storage/storage_repositories.h"
#include "storage/storage_state.h"

namespace storage {

char s_root[kRootCap];
int s_ready;
char s_error[REG_MESSAGE_CAP];
// Zero-initialised and never touched before a text is written, so an
// unused buffer costs no page faults.
alignas(64) char s_result[kResultCap];

namespace {

// The kind and cause of the last error, beside s_error.
reg_error_kind s_kind = REG_ERR_NONE;
char s_cause[REG_CAUSE_CAP];

}  // namespace

int fail(reg_status* st, reg_error_kind kind, const char* fmt, ...) {
  // The system's error first: formatting must not disturb it.
  st->cause[0] = '\0';
  if (kind == REG_ERR_STORAGE) host::last_error_text(st->cause, sizeof st->cause);
  st->kind = kind;
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(st->message, sizeof st->message, fmt, ap);
  va_end(ap);
  return -1;
}

int require_ready(reg_status* st) {
  if (s_ready) return 0;
  return fail(st, REG_ERR_STORAGE, "not initialized - call reg_storage_init first");
}

void publish(const reg_status& st) {
  if (st.kind == REG_ERR_NONE) return;
  s_kind = st.kind;
  std::memcpy(s_error, st.message, sizeof s_error);
  std::memcpy(s_cause, st.cause, sizeof s_cause);
}

namespace {

// Creates one directory of the tree (root joined with each name in turn).
int make_tree_dir(const char* first, const char* second, char* path, size_t cap) {
  path_join(path, cap, first, second);
  return mkdirs(path);
}

// Takes root as the engine's (s_root), the engine not ready; false, with
// the failure, for a root that cannot be one.
bool take_root(const char* root, reg_status* st) {
  if (root == nullptr || root[0] == '\0') {
    fail(st, REG_ERR_INVALID, "storage root dir is empty");
    return false;
  }
  if (s_ready) reg_storage_cleanup();
  const size_t len = std::strlen(root);
  if (len > kRootCap - 1) {
    fail(st, REG_ERR_INVALID, "storage root dir too long (max %d chars)", REG_ROOT_MAX);
    return false;
  }
  std::memcpy(s_root, root, len + 1);
  if (len > 0 && s_root[len - 1] == host::kSep) s_root[len - 1] = '\0';
  return true;
}

// The root taken is a directory that exists; else false, with the failure
// (and the system's word for why it cannot be looked at).
bool root_is_directory(reg_status* st) {
  host::Attributes a;
  if (!host::get_attributes(s_root, &a)) {
    fail(st, REG_ERR_STORAGE, "storage root %s", s_root);
    return false;
  }
  if (a.kind != host::Kind::kDir) {
    fail(st, REG_ERR_NOT_FOUND, "storage root %s: not a directory", s_root);
    return false;
  }
  return true;
}

// A successful initialisation empties the last error, whichever form ran.
void mark_ready() {
  s_ready = 1;
  s_error[0] = '\0';
  s_kind = REG_ERR_NONE;
  s_cause[0] = '\0';
}

// Takes root and creates what is missing of the tree below it.
int init_tree(const char* root, reg_status* st) {
  if (!take_root(root, st)) return -1;

  if (mkdirs(s_root) != 0) return fail(st, REG_ERR_STORAGE, "mkdirs failed: %s", s_root);
  // From here on nothing below the root follows a link (the root itself
  // may be one).
  char blobs[kPathCap];
  char path[kPathCap];
  path_join(blobs, sizeof blobs, s_root, kBlobsDir);
  if (!host::set_tree_root(s_root)) {
    // Not a directory we can open (a file of that name, say): nothing of
    // the tree can be made below it.
    path_join(path, sizeof path, blobs, kSha256Dir);
    return fail(st, REG_ERR_STORAGE, "mkdirs failed: %s", path);
  }
  if (make_tree_dir(blobs, kSha256Dir, path, sizeof path) != 0 ||
      make_tree_dir(s_root, kRepositoriesDir, path, sizeof path) != 0 ||
      make_tree_dir(s_root, kUploadsDir, path, sizeof path) != 0) {
    return fail(st, REG_ERR_STORAGE, "mkdirs failed: %s", path);
  }
  if (index_nested_repositories() != 0) {
    nested_index_dir(path, sizeof path);
    return fail(st, REG_ERR_STORAGE, "cannot index nested repositories: %s", path);
  }
  path_join(path, sizeof path, s_root, kMarkerFile);
  // Processes that start on a new tree at once all write the marker. Its
  // bytes are always the same, so one whose rename loses to another's
  // (Windows refuses to replace a file while another process renames over
  // it) takes the one that is there.
  if (!file_exists(path) && write_file(path, kMarkerContent, sizeof kMarkerContent - 1) != 0 && !file_exists(path)) {
    return fail(st, REG_ERR_STORAGE, "write config.json failed: %s", path);
  }
  mark_ready();
  return 0;
}

}  // namespace
}  // namespace storage

using namespace storage;

extern "C" {

int reg_storage_open(const char* root, reg_status* caller) {
  CallStatus st(caller);
  if (!take_root(root, st) || !root_is_directory(st)) return -1;
  char marker[kPathCap];
  path_join(marker, sizeof marker, s_root, kMarkerFile);
  host::Attributes a;
  if (!host::get_attributes(marker, &a)) {
    if (host::last_error_is_absence()) {
      return fail(st, REG_ERR_NOT_FOUND,
                  "storage root %s: holds no registry (no %s, which the registry writes when it first serves)", s_root,
                  kMarkerFile);
    }
    return fail(st, REG_ERR_STORAGE, "storage root %s: cannot look at %s", s_root, marker);
  }
  // A registry: what else is missing of its tree is made, as its next
  // request would make it.
  return init_tree(root, st);
}

int reg_storage_attach(const char* root, int create_root, reg_status* caller) {
  CallStatus st(caller);
  if (!take_root(root, st)) return -1;
  if (create_root && mkdirs(s_root) != 0) return fail(st, REG_ERR_STORAGE, "mkdirs failed: %s", s_root);
  if (!root_is_directory(st)) return -1;
  if (!host::set_tree_root(s_root)) return fail(st, REG_ERR_STORAGE, "storage root %s: cannot be opened", s_root);
  mark_ready();
  return 0;
}

int reg_storage_init(const char* root) {
  PublishedStatus st;
  return init_tree(root, st);
}

void reg_storage_cleanup(void) {
  s_ready = 0;
  s_root[0] = '\0';
  host::set_tree_root(nullptr);
}

const char* reg_storage_last_error(void) { return s_error; }

reg_error_kind reg_storage_last_kind(void) { return s_kind; }

const char* reg_storage_last_cause(void) { return s_cause; }

}  // extern "C"
