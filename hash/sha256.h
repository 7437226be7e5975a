/* SHA-256 (FIPS 180-4) over memory in pieces and over whole files. */
#ifndef REGISTRY_HASH_SHA256_H
#define REGISTRY_HASH_SHA256_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct sha256_ctx {
  uint32_t state[8];   /* intermediate hash value H0..H7 */
  uint64_t bitlen;     /* message bits taken in, modulo 2^64 */
  uint8_t buffer[64];  /* the block being filled */
  uint64_t buflen;     /* bytes in buffer, 0..63 between calls */
} sha256_ctx;

void sha256_init(sha256_ctx* ctx);
void sha256_update(sha256_ctx* ctx, const void* data, uint64_t len);
/* Writes the 32-byte digest. The context must be set up again before reuse. */
void sha256_final(sha256_ctx* ctx, uint8_t out[32]);
/* The running state as bytes that any build takes up again: the eight
 * words and the count of bytes taken, big-endian, then the bytes of the
 * unfinished block. Returns how many were written (at most
 * SHA256_EXPORT_MAX). */
#define SHA256_EXPORT_MAX (32 + 8 + 63)
size_t sha256_export(const sha256_ctx* ctx, uint8_t out[SHA256_EXPORT_MAX]);
/* Takes up a state that sha256_export wrote: 0, or -1 (ctx untouched) when
 * the bytes are not one. */
int sha256_import(sha256_ctx* ctx, const uint8_t* in, size_t len);
/* Digest of a whole file: 0, or -1 (out untouched) when it cannot be read. */
int sha256_file(const char* path, uint8_t out[32]);
/* Digest of what an open stream holds from its start to its end: 0, or -1
 * (out untouched) when it cannot be read. */
int sha256_stream(FILE* f, uint8_t out[32]);

#ifdef __cplusplus
}
#endif

#endif
