/* Looking after a storage tree while the registry serves it: garbage
 * collection, scrub (content that no longer hashes to its name), fsck
 * (what killed processes left) and disk usage. Each walks the whole tree,
 * tells what it finds through a callback, reports its progress through
 * another, fills a summary, and reports its outcome to the call's
 * reg_status as the engine's status forms do (reg_storage.h; st may be
 * null). The engine must be initialised. A library of its own on top of
 * the engine: the engine never calls it. */
#ifndef REGISTRY_STORAGE_UPKEEP_REG_MAINTENANCE_H
#define REGISTRY_STORAGE_UPKEEP_REG_MAINTENANCE_H

#include <stdint.h>

#include "storage/reg_storage.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Progress of long work: the phase under way ("mark", "sweep", "hash"),
 * items done of total (0 when not known yet), and bytes handled so far. */
typedef void (*reg_progress_fn)(void* ctx, const char* phase, int64_t done, int64_t total, int64_t bytes);

/* One thing found. kind: "blob", "manifest", "tag", "link", "upload",
 * "file", "directory". repository: its repository, or "" for the tree's
 * shared parts. item: a digest, a tag, or a path below the root. problem:
 * what is wrong with it, or why it goes. action: what was done ("removed",
 * "restored", "moved to quarantine", ...); in a dry run what would be
 * ("would remove"); "" for a problem left as it is (a report without
 * repair, or one nothing can repair). */
typedef struct reg_finding {
  const char* kind;
  const char* repository;
  const char* item;
  int64_t bytes;
  const char* problem;
  const char* action;
} reg_finding;
typedef void (*reg_finding_fn)(void* ctx, const reg_finding* finding);

/* ---- Garbage collection ----------------------------------------------------- */

typedef struct reg_gc_options {
  int dry_run;                /* report what would go, remove nothing */
  int delete_untagged;        /* manifests that no tag reaches go too */
  int64_t grace_seconds;      /* nothing younger than this goes */
  int64_t upload_age_seconds; /* uploads untouched this long expire */
  reg_progress_fn progress;   /* may be null */
  reg_finding_fn finding;     /* may be null */
  void* ctx;
} reg_gc_options;

typedef struct reg_gc_summary {
  int64_t repositories;       /* walked */
  int64_t manifests;          /* found */
  int64_t blobs;              /* found in the blob store */
  int64_t manifests_removed;  /* (or, in a dry run, that would be) */
  int64_t blobs_removed;
  int64_t blob_bytes_removed;
  int64_t links_removed;
  int64_t uploads_removed;
  int64_t upload_bytes_removed;
  int64_t blobs_restored;     /* set aside, then found needed after all */
  int64_t unreadable;         /* manifests or directories that could not be read */
} reg_gc_summary;

/* Collects the garbage while the registry serves. 0 when the collection
 * ran whole; -1 when it could not start (another collection runs, the
 * tree cannot be read), or when something could not be read: then no
 * blob was removed. */
int reg_gc(const reg_gc_options* options, reg_gc_summary* out, reg_status* st);
/* 1 while a collection runs on the tree (it holds gc.lock), else 0 (and
 * 0 before initialisation). */
int reg_gc_running(void);

/* ---- Scrub ------------------------------------------------------------------ */

typedef struct reg_scrub_options {
  int repair;     /* move content that does not hash to its name into quarantine */
  int threads;    /* hashing threads; <= 0: one per processor */
  reg_progress_fn progress;
  reg_finding_fn finding;
  void* ctx;
} reg_scrub_options;

typedef struct reg_scrub_summary {
  int64_t blobs;
  int64_t manifests;
  int64_t bytes;            /* hashed */
  int64_t links;            /* tag, revision, blob and referrer links checked */
  int64_t bad_blobs;
  int64_t bad_manifests;
  int64_t dangling_links;   /* links that name nothing */
  int64_t repaired;
} reg_scrub_summary;

/* Hashes every blob and manifest body again and checks every link. 0 when
 * it ran (whatever it found: see the summary), -1 when it could not. */
int reg_scrub(const reg_scrub_options* options, reg_scrub_summary* out, reg_status* st);

/* ---- Fsck ------------------------------------------------------------------- */

typedef struct reg_fsck_options {
  int repair;               /* put back or remove what is found */
  int64_t grace_seconds;    /* temporary files younger than this may be a live writer's */
  reg_progress_fn progress;
  reg_finding_fn finding;
  void* ctx;
} reg_fsck_options;

typedef struct reg_fsck_summary {
  int64_t repositories;
  int64_t problems;
  int64_t repaired;
} reg_fsck_summary;

/* Finds what killed processes and hands left in the tree: temporary
 * files, blobs set aside by a collection that did not finish, half-made
 * directories, tags whose link is empty or malformed, revisions without
 * bodies, bodies without revisions, referrer entries of deleted manifests,
 * upload marks without uploads, nested repositories missing from the
 * index. 0 when it ran, -1 when it could not. */
int reg_fsck(const reg_fsck_options* options, reg_fsck_summary* out, reg_status* st);

/* ---- Disk usage --------------------------------------------------------------- */

/* One repository's bytes: blobs that it alone links, blobs that it links
 * and other repositories do too, and its manifest bodies. */
typedef struct reg_usage {
  const char* repository;
  int64_t own_bytes;
  int64_t shared_bytes;
  int64_t manifest_bytes;
  int64_t blobs;
  int64_t manifests;
} reg_usage;
typedef void (*reg_usage_fn)(void* ctx, const reg_usage* usage);

typedef struct reg_usage_total {
  int64_t repositories;
  int64_t blob_bytes;       /* the blob store, each blob once */
  int64_t unlinked_bytes;   /* blobs no repository links */
  int64_t manifest_bytes;
} reg_usage_total;

/* Calls fn for each repository in name order; fills total. */
int reg_disk_usage(reg_usage_fn fn, void* ctx, reg_progress_fn progress, reg_usage_total* total, reg_status* st);

/* ---- Tags and their push times (retention) ----------------------------------- */

#define REG_TAG_CAP 129 /* a tag of at most 128 bytes and its NUL */

/* A tag as its link is now. Every push of a tag writes its link anew
 * (a push of the digest it names already too), so the link's modification
 * time is when the tag was last pushed; written_ns and file_id tell that
 * very write of the link from any later one, whatever the clock did. */
typedef struct reg_tag_state {
  char tag[REG_TAG_CAP];
  char digest[REG_DIGEST_CAP]; /* "" when its link cannot be read as one */
  int64_t pushed;              /* seconds since 1970 */
  int64_t written_ns;
  uint64_t file_id;
} reg_tag_state;
/* Non-zero stops the listing. */
typedef int (*reg_tag_visitor)(void* ctx, const reg_tag_state* tag);
typedef int (*reg_repository_visitor)(void* ctx, const char* name);

/* Calls each with every repository's full name, in byte order; -1 when
 * the repositories cannot be listed. */
int reg_repositories_each(reg_repository_visitor each, void* ctx, reg_status* st);
/* Calls each with every tag of the repository, in byte order, read
 * without its lock (a push may change a tag just after). */
int reg_tags_each(const char* repo, reg_tag_visitor each, void* ctx, reg_status* st);
/* The tag as its link is now: 1, or 0 when there is no such tag. Takes no
 * lock, so a guard of reg_manifest_remove_guarded may call it to see the
 * tag as the delete will find it. */
int reg_tag_now(const char* repo, const char* tag, reg_tag_state* out, reg_status* st);

#ifdef __cplusplus
}
#endif

#endif
