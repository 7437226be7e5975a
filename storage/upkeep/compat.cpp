// Kept for the endpoint until it moves to the status forms: the earlier
// forms of the upkeep operations (reg_maintenance_compat.h), each its
// status form with the outcome published as the last error.
#include "storage/storage_state.h"
#include "storage/upkeep/reg_maintenance.h"

using storage::PublishedStatus;

int reg_gc(const reg_gc_options* options, reg_gc_summary* out) {
  PublishedStatus st;
  return reg_gc(options, out, st);
}

int reg_scrub(const reg_scrub_options* options, reg_scrub_summary* out) {
  PublishedStatus st;
  return reg_scrub(options, out, st);
}

int reg_fsck(const reg_fsck_options* options, reg_fsck_summary* out) {
  PublishedStatus st;
  return reg_fsck(options, out, st);
}

int reg_disk_usage(reg_usage_fn fn, void* ctx, reg_progress_fn progress, reg_usage_total* total) {
  PublishedStatus st;
  return reg_disk_usage(fn, ctx, progress, total, st);
}
