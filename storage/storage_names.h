// The forms of repository names, tags and media types the engine
// accepts (storage_names.cpp).
#ifndef REGISTRY_STORAGE_NAMES_H
#define REGISTRY_STORAGE_NAMES_H

#include <cstddef>

namespace storage {

// One component of a repository name: 1.. bytes of [A-Za-z0-9._-], not
// beginning with '.' or '_' (the tree's own and temporary names), and on
// Windows nothing the system would fold into another name.
bool repo_component_valid(const char* s, size_t len);
#if defined(_WIN32)
// CON, NUL, COM1 and the like, whatever their extension: Windows opens a
// device for them in any directory.
bool is_device_name(const char* s, size_t len);
#endif
// 1..255 bytes of components joined by single '/', without "..": one name,
// one directory, and no two names sharing files.
int repo_name_valid(const char* name);
// reg_tag_valid of a NUL-terminated text (null: 0).
int tag_valid(const char* tag);
// A media type: type "/" subtype of token characters, then optional
// "; name=value" parameters (token or quoted-string values), no control
// bytes, at most kContentTypeMax bytes.
inline constexpr size_t kContentTypeMax = 255;
bool media_type_valid(const char* s);

}  // namespace storage

#endif
