// Small text files, read whole.
#include "settings/text_file.h"

#include <cstdio>
#include <map>

#include "platform/host.h"

namespace settings {
namespace {

constexpr size_t kFileMax = 4 << 20;  // users and rules, never more

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

bool read_whole_file(const std::string& path, size_t max, std::string* text, ReadFailure* failed) {
  // The system's word is taken at the failing call, before a close may
  // change it.
  const auto fail = [failed](ReadStep step) {
    char word[256];
    host::last_error_text(word, sizeof word);
    failed->step = step;
    failed->system = word;
    return false;
  };
  host::Attributes a;
  if (!host::get_attributes(path.c_str(), &a)) {
    // Only an absence is one: a file that cannot be looked at (a
    // directory on the way that may not be searched) is a failure, never
    // a reason to act as if there were no file.
    return fail(host::last_error_is_absence() ? ReadStep::kMissing : ReadStep::kLook);
  }
  if (a.kind != host::Kind::kFile) {
    failed->step = ReadStep::kNotFile;
    failed->kind = a.kind;
    return false;
  }
  if (cached_text(path, a, text)) return true;
  FILE* f = host::open_file(path.c_str(), "rb");
  if (f == nullptr) return fail(ReadStep::kOpen);
  text->clear();
  char buf[8192];
  size_t n = 0;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0 && text->size() <= max) text->append(buf, n);
  if (std::ferror(f) != 0) {
    fail(ReadStep::kRead);
    std::fclose(f);
    return false;
  }
  std::fclose(f);
  if (text->size() > max) {
    failed->step = ReadStep::kTooLarge;
    return false;
  }
  remember_text(path, a, *text);
  return true;
}

FileRead read_text_file(const std::string& path, std::string* text, std::string* why) {
  ReadFailure failed;
  if (read_whole_file(path, kFileMax, text, &failed)) return FileRead::kRead;
  const auto system_or = [&failed](const char* fallback) { return failed.system.empty() ? fallback : failed.system; };
  switch (failed.step) {
    case ReadStep::kMissing: return FileRead::kMissing;
    case ReadStep::kNone:
    case ReadStep::kLook: *why = system_or("cannot be looked at"); break;
    case ReadStep::kNotFile: *why = failed.kind == host::Kind::kDir ? "a directory" : "not a regular file"; break;
    case ReadStep::kOpen: *why = system_or("cannot be opened"); break;
    case ReadStep::kRead: *why = system_or("a read failed"); break;
    case ReadStep::kTooLarge: *why = "larger than " + std::to_string(kFileMax) + " bytes"; break;
  }
  return FileRead::kFailed;
}

}  // namespace settings
