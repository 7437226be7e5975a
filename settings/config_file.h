// The bootstrap configuration file, config.json in a program's working
// directory: a JSON object whose string members hold settings.
#ifndef REGISTRY_SETTINGS_CONFIG_FILE_H
#define REGISTRY_SETTINGS_CONFIG_FILE_H

#include <cstddef>
#include <string>
#include <vector>

namespace settings {

enum class ConfigRoot {
  kNone,     // no configuration file, or one that names no root
  kFound,    // the root is in the buffer
  kInvalid,  // a file that exists but cannot be used; why is in the message
};

// Reads the JSON file at path (a top-level object) for the string member
// "storage_root", else "registry_storage_root", spelled any way JSON
// allows. An empty value names no root. The root must fit root_cap with
// its NUL.
ConfigRoot read_config_root(const char* path, char* root, size_t root_cap, char* why, size_t why_cap);

// The whole bootstrap file at path: kNone when there is none, kInvalid
// (why says what) when it cannot be read, kFound with the text.
ConfigRoot read_config_text(const char* path, std::string* text, char* why, size_t why_cap);

// The string members named in keys (n of them) of a JSON text whose top
// level is an object: values[i] and present[i] for keys[i]. false, with
// why, for text that is not such an object, a member given twice, or one
// that is not a string.
bool parse_config_strings(const char* text, size_t len, const char* const* keys, size_t n, std::string* values,
                          bool* present, std::string* why);

// The member key of a JSON text whose top level is an object, when it is
// an array of objects: the text of each (for parse_config_strings), none
// when the member is absent. false, with why, for anything else.
bool parse_config_objects(const char* text, size_t len, const char* key, std::vector<std::string>* items,
                          std::string* why);

// The same over a text in memory (len bytes), for tests and fuzzing.
ConfigRoot parse_config_root(const char* text, size_t len, char* root, size_t root_cap, char* why, size_t why_cap);

}  // namespace settings

#endif
