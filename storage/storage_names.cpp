// The forms of repository names, tags and media types that the engine
// accepts. Each name it accepts maps to exactly one place in the tree.
#include <cstring>

#include "storage/reg_storage.h"
#include "storage/storage_names.h"

namespace storage {

constexpr bool is_alnum(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

namespace {

#if defined(_WIN32)
}  // namespace
// Names Windows takes for devices in any directory, with any extension.
bool is_device_name(const char* s, size_t len) {
  static const char* const kDevices[] = {"con", "prn", "aux", "nul", "conin$", "conout$"};
  size_t stem = 0;
  while (stem < len && s[stem] != '.') ++stem;
  auto equals = [&](const char* d) {
    const size_t n = std::strlen(d);
    if (n != stem) return false;
    for (size_t i = 0; i < n; ++i) {
      if ((s[i] | 0x20) != d[i]) return false;
    }
    return true;
  };
  for (const char* d : kDevices) {
    if (equals(d)) return true;
  }
  // COM0..COM9 and LPT0..LPT9.
  if (stem == 4 && s[3] >= '0' && s[3] <= '9') {
    const char a = static_cast<char>(s[0] | 0x20), b = static_cast<char>(s[1] | 0x20), c = static_cast<char>(s[2] | 0x20);
    if ((a == 'c' && b == 'o' && c == 'm') || (a == 'l' && b == 'p' && c == 't')) return true;
  }
  return false;
}
namespace {
#endif

constexpr bool is_token_char(char c) {
  return is_alnum(c) || std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

// A run of token characters at p; returns its end.
const char* skip_token(const char* p) {
  while (*p != '\0' && is_token_char(*p)) ++p;
  return p;
}

}  // namespace

bool repo_component_valid(const char* s, size_t len) {
  if (len == 0 || s[0] == '.' || s[0] == '_') return false;
  for (size_t i = 0; i < len; ++i) {
    const char c = s[i];
    if (!is_alnum(c) && c != '-' && c != '_' && c != '.') return false;
  }
#if defined(_WIN32)
  // Windows drops a trailing dot from a name, and opens a device for
  // CON, NUL and the like: either would make two names one file.
  if (s[len - 1] == '.' || is_device_name(s, len)) return false;
#endif
  return true;
}

int repo_name_valid(const char* name) {
  if (name == nullptr || name[0] == '\0') return 0;
  const size_t len = std::strlen(name);
  if (len > 255 || std::strstr(name, "..") != nullptr) return 0;
  // '/' alone separates: a backslash would be a second spelling of the
  // same directories, so it is refused like every other byte.
  size_t start = 0;
  for (size_t i = 0; i <= len; ++i) {
    if (i < len && name[i] != '/') continue;
    if (!repo_component_valid(name + start, i - start)) return 0;
    start = i + 1;
  }
  return 1;
}

}  // namespace storage

extern "C" int reg_tag_valid(const char* s, size_t len) {
  auto word = [](char c) { return storage::is_alnum(c) || c == '_'; };
  if (s == nullptr || len == 0 || len > 128 || !word(s[0])) return 0;
  for (size_t i = 1; i < len; ++i) {
    if (!word(s[i]) && s[i] != '.' && s[i] != '-') return 0;
  }
  return 1;
}

namespace {

constexpr bool is_lower_alnum(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

// One component of the API's grammar, exactly [s, end): runs of lower-case
// letters and digits joined by '.', '_', "__" or runs of '-'.
bool api_component_valid(const char* s, const char* end) {
  const char* p = s;
  for (;;) {
    if (p == end || !is_lower_alnum(*p)) return false;
    while (p != end && is_lower_alnum(*p)) ++p;
    if (p == end) break;
    if (*p == '.') {
      ++p;
    } else if (*p == '_') {
      p += (end - p >= 2 && p[1] == '_') ? 2 : 1;
    } else if (*p == '-') {
      while (p != end && *p == '-') ++p;
    } else {
      return false;
    }
  }
#if defined(_WIN32)
  if (storage::is_device_name(s, static_cast<size_t>(end - s))) return false;
#endif
  return true;
}

}  // namespace

extern "C" int reg_repository_name_valid(const char* name, size_t len) {
  // Every one of the len bytes is looked at: a NUL is refused like any
  // other byte outside the grammar, never taken for the end of the name.
  if (name == nullptr || len == 0 || len > 255) return 0;
  const char* const end = name + len;
  const char* start = name;
  for (const char* p = name;; ++p) {
    if (p != end && *p != '/') continue;
    if (!api_component_valid(start, p)) return 0;
    if (p == end) return 1;
    start = p + 1;
  }
}

namespace storage {

int tag_valid(const char* tag) { return tag != nullptr && reg_tag_valid(tag, std::strlen(tag)) ? 1 : 0; }

bool media_type_valid(const char* s) {
  if (s == nullptr || std::strlen(s) > kContentTypeMax) return false;
  const char* p = skip_token(s);
  if (p == s || *p != '/') return false;
  const char* sub = p + 1;
  p = skip_token(sub);
  if (p == sub) return false;
  // Parameters: *( OWS ";" OWS token "=" ( token / quoted-string ) ).
  while (*p != '\0') {
    while (*p == ' ') ++p;
    if (*p != ';') return false;
    ++p;
    while (*p == ' ') ++p;
    const char* name = p;
    p = skip_token(p);
    if (p == name || *p != '=') return false;
    ++p;
    if (*p == '"') {
      ++p;
      while (*p != '"') {
        if (*p == '\\') ++p;  // quoted pair: the next byte stands for itself
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c >= 0x7f) return false;  // the end of the text, or a control byte
        ++p;
      }
      ++p;
    } else {
      const char* value = p;
      p = skip_token(p);
      if (p == value) return false;
    }
  }
  return true;
}

}  // namespace storage
