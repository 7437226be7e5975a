/* Registry request functions shared by every endpoint of the registry:
 * storage bootstrap and the registry's JSON and error responses. */
#ifndef REGISTRY_ENDPOINT_OCI_COMMON_H
#define REGISTRY_ENDPOINT_OCI_COMMON_H

#ifdef __cplusplus
extern "C" {
#endif

/* Finds the storage root (REGISTRY_STORAGE_ROOT, else "storage_root" or
 * "registry_storage_root" in ./config.json, else "./registry_storage") and
 * initialises the storage engine once per process. 0 when ready, else -1. */
int oci_init_storage(void);

/* Writes the registry error response and ends the process (status 0). */
#if defined(__GNUC__)
__attribute__((noreturn))
#endif
void oci_send_error(int status, const char* code, const char* message);

/* Writes a registry JSON response ("{}" for a null or empty text). */
void oci_send_json(int status, const char* json);

#ifdef __cplusplus
}
#endif

#endif
