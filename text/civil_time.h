/* Times as RFC 3339 text in UTC, the one implementation for the code
 * base (token answers, event envelopes). Callable from C. */
#ifndef REGISTRY_TEXT_CIVIL_TIME_H
#define REGISTRY_TEXT_CIVIL_TIME_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Room for the longest text below and its NUL. */
#define TEXT_RFC3339_CAP 48

/* Writes "YYYY-MM-DDTHH:MM:SSZ" for seconds since 1970 (before it too),
 * or, with nanos >= 0, "YYYY-MM-DDTHH:MM:SS.nnnnnnnnnZ", into out (cap
 * bytes, TEXT_RFC3339_CAP always suffice), cut to fit and NUL-terminated. */
void text_rfc3339(int64_t seconds, int64_t nanos, char* out, size_t cap);

#ifdef __cplusplus
}
#endif

#endif
