/* SHA-512 (FIPS 180-4), over memory in pieces and over streams. The rounds
 * are Nettle's (a well-kept library from Debian); this is the registry's
 * narrow face of it, so that nothing else includes Nettle's headers. */
#ifndef REGISTRY_HASH_SHA512_H
#define REGISTRY_HASH_SHA512_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The running state, as plain bytes: it can be copied and kept. */
typedef struct hash_sha512_ctx {
  uint64_t opaque[32];
} hash_sha512_ctx;

void hash_sha512_init(hash_sha512_ctx* ctx);
void hash_sha512_update(hash_sha512_ctx* ctx, const void* data, uint64_t len);
/* Writes the 64-byte digest. The context must be set up again before reuse. */
void hash_sha512_final(hash_sha512_ctx* ctx, uint8_t out[64]);
/* The running state as bytes that any build takes up again: the eight
 * words and the count of bytes taken, big-endian, then the bytes of the
 * unfinished block. Returns how many were written. */
#define HASH_SHA512_EXPORT_MAX (64 + 8 + 127)
size_t hash_sha512_export(const hash_sha512_ctx* ctx, uint8_t out[HASH_SHA512_EXPORT_MAX]);
/* Takes up a state that hash_sha512_export wrote: 0, or -1 (ctx untouched)
 * when the bytes are not one. */
int hash_sha512_import(hash_sha512_ctx* ctx, const uint8_t* in, size_t len);
/* Digest of what an open stream holds from its start to its end: 0, or -1
 * (out untouched) when it cannot be read. */
int hash_sha512_stream(FILE* f, uint8_t out[64]);

#ifdef __cplusplus
}
#endif

#endif
