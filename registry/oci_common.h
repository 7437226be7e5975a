/* Registry request functions shared by every endpoint of the registry:
 * storage bootstrap and the registry's JSON and error responses. */
#ifndef REGISTRY_REGISTRY_OCI_COMMON_H
#define REGISTRY_REGISTRY_OCI_COMMON_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Finds the storage root (REGISTRY_STORAGE_ROOT, else "storage_root" or
 * "registry_storage_root" in ./config.json, else "./registry_storage") and
 * initialises the storage engine once per process. 0 when ready, else -1. */
int oci_init_storage(void);

/* The catalog endpoint, GET and HEAD on /v2/_catalog: the whole response.
 * Returns 0; its error paths end the process. */
int handle_v2_catalog(void);

/* Writes the registry error response and ends the process (status 0). */
#if defined(__GNUC__)
__attribute__((noreturn))
#endif
void oci_send_error(int status, const char* code, const char* message);

/* Writes a registry JSON response ("{}" for a null or empty text). */
void oci_send_json(int status, const char* json);

/* 1 for a repository name of the registry API (reg_repository_name_valid
 * over the text up to its NUL); else 0. */
int oci_valid_repo_name(const char* name);

/* Splits a request path such as "/v2/team/app/manifests/latest" around
 * marker ("/manifests/") into the repository name before it and the rest
 * after it (leading '/' skipped, one trailing '/' dropped). 1 when the
 * marker is found and the name is valid, else 0. rest may be null. */
int oci_parse_repo_marker(const char* path, const char* marker, char* name, uint64_t name_size, char* rest,
                          uint64_t rest_size);

#ifdef __cplusplus
}
#endif

#endif
