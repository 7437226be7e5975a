/* The JSON string escape, the one implementation for the whole code base:
 * what stands between the quotes of a JSON string for a run of bytes.
 *
 * A double quote and a backslash get a backslash before them; 0x08, 0x09,
 * 0x0A, 0x0C and 0x0D are written \b \t \n \f \r; every other byte below
 * 0x20 (NUL included) is written \u00XX in lower-case hex. Every other
 * byte, 0x7F and bytes of 0x80 and above included, stands for itself:
 * UTF-8 passes unchanged and '/' is not escaped. No byte takes more than
 * TEXT_JSON_ESCAPE_MAX bytes. Callable from C. */
#ifndef REGISTRY_TEXT_JSON_ESCAPE_H
#define REGISTRY_TEXT_JSON_ESCAPE_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TEXT_JSON_ESCAPE_MAX 6

/* Writes the escape of one byte into out (room for TEXT_JSON_ESCAPE_MAX
 * bytes, no NUL written) and returns its length: 1, 2 or 6. */
size_t text_json_escape_byte(unsigned char c, char* out);
/* The length of the escape of len bytes at text. */
size_t text_json_escaped_len(const char* text, size_t len);
/* Writes the escape of len bytes at text into out, which has room for
 * text_json_escaped_len(text, len) bytes (no NUL written); returns that
 * length. */
size_t text_json_escape(const char* text, size_t len, char* out);

#ifdef __cplusplus
}

#include <string>
#include <string_view>

/* For C++ callers: the escape of text appended to *out. */
inline void text_json_escape_append(std::string* out, std::string_view text) {
  const size_t at = out->size();
  out->resize(at + text_json_escaped_len(text.data(), text.size()));
  text_json_escape(text.data(), text.size(), out->data() + at);
}

/* For C++ callers: "name":"value" appended to *out, the value escaped
 * (name is written as given). */
inline void text_json_member_append(std::string* out, std::string_view name, std::string_view value) {
  *out += '"';
  *out += name;
  *out += "\":\"";
  text_json_escape_append(out, value);
  *out += '"';
}
#endif

#endif
