/* Hexadecimal digits, the one implementation for the whole code base:
 * digests, upload identifiers, kept hash states, percent-escapes and the
 * like all go through here. Callable from C. */
#ifndef REGISTRY_TEXT_HEX_H
#define REGISTRY_TEXT_HEX_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The value of one hex digit: '0'-'9' give 0-9, 'a'-'f' and 'A'-'F' give
 * 10-15; every other byte, bytes of 0x80 and above included, gives -1. */
int text_hex_value(unsigned char c);
/* The same for the lower-case digits alone ('0'-'9', 'a'-'f'), the only
 * form the registry writes: an upper-case digit gives -1. */
int text_lower_hex_value(unsigned char c);
/* The lower-case digit of a nibble (only its low four bits count). */
char text_hex_digit(unsigned nibble);
/* Writes 2 * len lower-case digits, high nibble first, and a NUL into out,
 * which has room for 2 * len + 1 bytes. len 0 writes the NUL alone. */
void text_hex_encode(const uint8_t* data, size_t len, char* out);
/* Decodes exactly 2 * len digits at hex into len bytes at out, high nibble
 * first: 0, or -1 when any of them is no digit (with lower_only, when any
 * is not a lower-case one); out may then hold part of the bytes. */
int text_hex_decode(const char* hex, size_t len, uint8_t* out, int lower_only);

#ifdef __cplusplus
}
#endif

#endif
