// The small text files that settings name (the policy, the users' file,
// the token key), read whole.
#ifndef REGISTRY_SETTINGS_TEXT_FILE_H
#define REGISTRY_SETTINGS_TEXT_FILE_H

#include <string>

#include "platform/host.h"

namespace settings {

// One reading of a whole file of at most max bytes, through the cache
// below. On failure, *failed says at which step and system holds the
// system's word for it ("" where it gave none).
enum class ReadStep { kNone, kMissing, kLook, kNotFile, kOpen, kRead, kTooLarge };
struct ReadFailure {
  ReadStep step = ReadStep::kNone;
  host::Kind kind = host::Kind::kOther;  // with kNotFile: what the path is
  std::string system;
};
bool read_whole_file(const std::string& path, size_t max, std::string* text, ReadFailure* failed);

// kMissing only for an absence: a file that cannot be looked at (a
// directory on the way that may not be searched) is kFailed, never a
// reason to act as if there were no file. why holds the system's word for
// a failure; files of more than 4 MiB are failures too.
enum class FileRead { kRead, kMissing, kFailed };
FileRead read_text_file(const std::string& path, std::string* text, std::string* why);

// The text a file held when it last had these attributes, so that a
// process serving many requests reads a file again only when it changed
// (a look at its attributes per use). A few files at most are kept.
bool cached_text(const std::string& path, const host::Attributes& a, std::string* text);
void remember_text(const std::string& path, const host::Attributes& a, const std::string& text);

}  // namespace settings

#endif
