/* Kept for the endpoint until it moves to the status forms of
 * reg_maintenance.h: the earlier forms of the upkeep operations, each a
 * thin wrapper over its status form that reports to
 * reg_storage_last_error() (and its kind and cause). C++ only: they
 * overload the names of the status forms. Nothing new should call them;
 * they go once the endpoint has moved. */
#ifndef REGISTRY_STORAGE_UPKEEP_REG_MAINTENANCE_COMPAT_H
#define REGISTRY_STORAGE_UPKEEP_REG_MAINTENANCE_COMPAT_H

int reg_gc(const reg_gc_options* options, reg_gc_summary* out);
int reg_scrub(const reg_scrub_options* options, reg_scrub_summary* out);
int reg_fsck(const reg_fsck_options* options, reg_fsck_summary* out);
int reg_disk_usage(reg_usage_fn fn, void* ctx, reg_progress_fn progress, reg_usage_total* total);

#endif
