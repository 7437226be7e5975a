/* HMAC-SHA-256 (RFC 2104, FIPS 198-1) over the registry's own SHA-256, and
 * the comparison that signatures need. */
#ifndef REGISTRY_HASH_HMAC_SHA256_H
#define REGISTRY_HASH_HMAC_SHA256_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The 32-byte MAC of the len bytes at data under the key_len bytes of key
 * (a key longer than a block is hashed first, as the standard says). */
void hmac_sha256(const void* key, size_t key_len, const void* data, size_t len, uint8_t out[32]);

/* 1 when the n bytes at a and at b are equal, else 0. The time it takes
 * depends on n alone, never on where the first difference lies. */
int bytes_equal_ct(const void* a, const void* b, size_t n);

#ifdef __cplusplus
}
#endif

#endif
