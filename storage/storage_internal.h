// Internals shared by the storage engine's source files: process-wide
// state, the error convention, file-system primitives, listings and text
// helpers. Not part of the public interface.
#ifndef REGISTRY_STORAGE_INTERNAL_H
#define REGISTRY_STORAGE_INTERNAL_H

#include <cstddef>
#include <cstdint>

#include "storage/storage_layout.h"

namespace storage {

// ---- Process-wide state (storage_core.cpp) -------------------------------
inline constexpr size_t kRootCap = 3500;       // at most 3499 characters
inline constexpr size_t kErrorCap = 1024;
inline constexpr size_t kResultCap = 1048576;  // shared result buffer
inline constexpr size_t kPathCap = 4096;

extern char s_root[kRootCap];
extern int s_ready;
extern char s_error[kErrorCap];
extern char s_result[kResultCap];
extern uint32_t s_seed;

// Formats the message of the failure being reported into s_error.
void set_error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// 0 when the engine is ready; else -1 with the "not initialized" message.
int require_ready();

// ---- File-system primitives (storage_fs.cpp) ------------------------------
int mkdirs(const char* path);
int file_exists(const char* path);
int dir_exists(const char* path);
int64_t file_size(const char* path);
int read_file(const char* path, char* buf, size_t cap, size_t* out_len);
// Replaces the file at path with exactly len bytes, atomically: a reader
// sees either the old content or the new, never a part.
int write_file(const char* path, const void* data, size_t len);
int remove_file(const char* path);
// A name for a temporary file beside path (attempt tells names apart);
// false when it does not fit cap.
bool temp_name_for(const char* path, unsigned attempt, char* out, size_t cap);

inline constexpr int kListCap = 512;
inline constexpr size_t kNameCap = 512;

struct dir_entry {
  char name[kNameCap];
  int32_t is_dir;
};

struct dir_listing {
  dir_entry entries[kListCap];
  int32_t count;
  int32_t truncated;
};

// Fills the listing in enumeration order, at most 512 entries.
int list_dir(const char* path, dir_listing* out);

// The directories among a directory's entries exactly as list_dir reports
// them (the first 512 entries, names cut at 511 bytes, enumeration order),
// with the names packed one after another instead of in 512-byte slots, so
// a listing touches only the memory its names need.
struct name_list {
  char* items[kListCap];
  int count;
  size_t used;
  char text[kListCap * kNameCap];
};
int list_subdirs(const char* path, name_list* out);

// ---- Text (storage_text.cpp) ----------------------------------------------
size_t json_escape_append(char* dst, size_t cap, const char* text);
// Length of the full escaped form of text, as json_escape_append writes it.
size_t json_escaped_len(const char* text);
int str_cmp(const char* a, const char* b);
void sort_str(char** items, int count);

// ---- Digests and upload identifiers (storage_digest.cpp) ------------------
inline constexpr size_t kDigestCap = 72;  // "sha256:" + 64 hex digits + NUL
inline constexpr size_t kUuidCap = 37;    // 36 characters + NUL

// 2 * len lowercase hex digits, high nibble first, and a NUL.
void bin_to_hex(const uint8_t* data, size_t len, char* out);
// 1 for "sha256:" followed by exactly 64 lowercase hex digits.
int digest_valid(const char* s);
// One xorshift32 step (13, 17, 5).
void rng_next(uint32_t* x);
// A new upload identifier from s_seed, which advances past it.
void uuid_make(char* out);
// 1 for 36 characters: lowercase hex digits in 8-4-4-4-12 groups.
int uuid_valid(const char* s);

// ---- Manifests and tags (storage_manifests.cpp) ---------------------------
inline constexpr size_t kLinkReadCap = 128;
inline constexpr char kDefaultContentType[] = "application/vnd.docker.distribution.manifest.v2+json";

// 1..255 bytes of [A-Za-z0-9._/\\-] without "..".
int repo_name_valid(const char* name);
// The registry's tag grammar: [A-Za-z0-9_][A-Za-z0-9._-]{0,127}. A tag is
// one path component and nothing else.
int tag_valid(const char* tag);
// Reference (tag or "sha256:" digest string) to digest hex (65 bytes).
int manifest_resolve(const char* name, const char* reference, char* out_hex);
// 1 when some tag of the repository, however many it has, names hex.
int manifest_has_tag_for(const char* name, const char* hex);

// ---- Statistics (storage_stats.cpp) ---------------------------------------
int count_repos();
int64_t count_blobs(int* out_blobs);
int count_tags();
int count_uploads(int64_t* out_upload_bytes);

// ---- Name lists (storage_catalog.cpp) -------------------------------------
// Appends names[start..end) as JSON strings joined by commas, then "]}" and
// a NUL, after the pos bytes already in out. A name that would not fit ends
// the list before it, so the text is always whole JSON (cap - pos >= 3).
// Returns the text's length.
size_t append_names_and_close(char* out, size_t pos, size_t cap, char* const* names, int start, int end);
// Writes {"repositories":[...]} for names[start..end) into out (cap >= 32).
// A name that would not fit ends the page before it: the text is always
// whole JSON. Returns its length.
size_t write_catalog_page(char* out, size_t cap, char* const* names, int start, int end);

}  // namespace storage

#endif
