// Small text files, read whole.
#include "settings/text_file.h"

#include <cstdio>
#include <map>

#include "platform/host.h"

namespace settings {
namespace {

constexpr size_t kFileMax = 4 << 20;  // users and rules, never more

// The system's word for the latest failure, or fallback where it has none.
std::string system_error_or(const char* fallback) {
  char text[256];
  host::last_error_text(text, sizeof text);
  return text[0] != '\0' ? text : fallback;
}

struct Kept {
  int64_t size;
  int64_t change_ns;
  uint64_t id;
  std::string text;
};

std::map<std::string, Kept>& kept() {
  static std::map<std::string, Kept> files;
  return files;
}

constexpr size_t kKeptMax = 16;

}  // namespace

bool cached_text(const std::string& path, const host::Attributes& a, std::string* text) {
  const auto it = kept().find(path);
  if (it == kept().end() || it->second.size != a.size || it->second.change_ns != a.change_ns || it->second.id != a.id) {
    return false;
  }
  *text = it->second.text;
  return true;
}

void remember_text(const std::string& path, const host::Attributes& a, const std::string& text) {
  if (kept().size() >= kKeptMax && kept().count(path) == 0) kept().clear();
  kept()[path] = Kept{a.size, a.change_ns, a.id, text};
}

FileRead read_text_file(const std::string& path, std::string* text, std::string* why) {
  host::Attributes a;
  if (!host::get_attributes(path.c_str(), &a)) {
    // Only an absence is one: a file that cannot be looked at (a
    // directory on the way that may not be searched) is a failure, never
    // a reason to act as if there were no file.
    if (host::last_error_is_absence()) return FileRead::kMissing;
    *why = system_error_or("cannot be looked at");
    return FileRead::kFailed;
  }
  if (a.kind != host::Kind::kFile) {
    *why = a.kind == host::Kind::kDir ? "a directory" : "not a regular file";
    return FileRead::kFailed;
  }
  if (cached_text(path, a, text)) return FileRead::kRead;
  FILE* f = host::open_file(path.c_str(), "rb");
  if (f == nullptr) {
    *why = system_error_or("cannot be opened");
    return FileRead::kFailed;
  }
  text->clear();
  char buf[8192];
  size_t n = 0;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0 && text->size() <= kFileMax) text->append(buf, n);
  if (std::ferror(f) != 0) {
    *why = system_error_or("a read failed");
    std::fclose(f);
    return FileRead::kFailed;
  }
  std::fclose(f);
  if (text->size() > kFileMax) {
    *why = "larger than " + std::to_string(kFileMax) + " bytes";
    return FileRead::kFailed;
  }
  remember_text(path, a, *text);
  return FileRead::kRead;
}

}  // namespace settings
