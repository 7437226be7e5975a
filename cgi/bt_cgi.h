/* The CGI layer: the request as the web server hands it over (environment
 * variables, decoded query parameters) and the response header block on
 * standard output. Texts it returns are borrowed: they live in the
 * environment, in constants or in the query slots, and are never freed. */
#ifndef REGISTRY_CGI_BT_CGI_H
#define REGISTRY_CGI_BT_CGI_H

#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Standard output in binary mode, once per process. */
void bt_stdout_bin(void);

/* The variable's value when set and non-empty, else fallback, else "". */
const char* cgi_env(const char* name, const char* fallback);
/* REQUEST_METHOD, "GET" when unset or empty. */
const char* cgi_method(void);
/* 1 when the method begins with "PO". */
int cgi_is_post(void);
/* 1 when the method begins with "HEAD". */
int cgi_is_head(void);
/* The decoded value of a QUERY_STRING parameter, "" when absent. Values
 * live in a ring of eight slots: each stays intact for eight more calls. */
const char* cgi_query(const char* name);
/* PATH_INFO, "/" when unset or empty. */
const char* cgi_path_info(void);

void cgi_header_html(void);
void cgi_header_json(void);
void cgi_header_text(void);
/* "Status: <status> <reason>", or "Status: <status>" without a reason. */
void cgi_header_status(int status, const char* reason);
void cgi_header_ct(const char* type);
/* A whole header line, written verbatim with its CR LF. */
void cgi_header_extra(const char* line);
/* The empty line that ends the header block; flushes standard output. */
void cgi_headers_end(void);

/* Writes text as the inside of a JSON string (no quotes); null writes nothing. */
void json_escape_f(FILE* stream, const char* text);
/* Copies at most size - 1 bytes and always terminates (when size > 0). */
void bt_strlcpy(char* dst, const char* src, uint64_t size);

/* The whole request body in one malloc'ed block with a NUL after it (the
 * caller frees it), from the file named by POST_BODY_FILE or else from
 * standard input as CONTENT_LENGTH declares; *length gets its bytes. Null
 * (length 0) when there is no body, and when the body could not be had
 * whole: cgi_read_post_status tells which. */
char* cgi_read_post(uint64_t* length);

/* How the latest cgi_read_post ended. */
enum {
  CGI_BODY_OK = 0,         /* the whole body was returned */
  CGI_BODY_NONE = 1,       /* there is no body */
  CGI_BODY_TOO_LARGE = 2,  /* longer than 2147483647 bytes: not read */
  CGI_BODY_INCOMPLETE = 3, /* fewer bytes arrived than were declared, or a read failed */
  CGI_BODY_NO_MEMORY = 4   /* the body could not be held */
};
int cgi_read_post_status(void);

#if defined(__GNUC__)
#define BT_NORETURN __attribute__((noreturn))
#else
#define BT_NORETURN
#endif
/* A complete plain-text error response, then the process ends (status 0). */
BT_NORETURN void cgi_die_text(int status, const char* message);
/* A complete JSON error response with code "ERROR", then the process ends. */
BT_NORETURN void cgi_die_json(int status, const char* message);

/* vsnprintf into buf; returns the bytes stored (size - 1 when cut). */
int bt_snprintf(char* buf, uint64_t size, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;
/* first, one separator, second (separators at the join are folded). */
void bt_path_join(char* dst, uint64_t size, const char* first, const char* second);

#ifdef __cplusplus
}
#endif

#endif
