/* The storage engine: the whole registry in a directory tree below one
 * storage root. Operations return 0 / -1 (or a text / null); every failure
 * leaves its message in reg_storage_last_error(). Texts returned from the
 * shared result buffer stay valid until the next operation that writes it
 * (catalog, tag list, manifest read, statistics). */
#ifndef REGISTRY_STORAGE_REG_STORAGE_H
#define REGISTRY_STORAGE_REG_STORAGE_H

#ifdef __cplusplus
extern "C" {
#endif

/* Creates what is missing of the tree below root and readies the engine. */
int reg_storage_init(const char* root);
/* Returns the engine to the not-initialised state. */
void reg_storage_cleanup(void);
/* Message of the latest failure; empty after a successful init. Never null. */
const char* reg_storage_last_error(void);

/* {"repositories":[...]}: repository directories in byte order, starting
 * after `last` (null or empty: from the first), at most n names (n <= 0: all). */
const char* reg_catalog_json(int n, const char* last);

#ifdef __cplusplus
}
#endif

#endif
