// The bootstrap configuration file, read as JSON. The catalog program is
// linked fully static and without the JSON library (Debian ships it as a
// shared library only), so this is a small strict reader of its own: it
// accepts exactly RFC 8259 JSON and decodes the two string members it
// looks for.
#include "settings/config_file.h"
#include "settings/text_file.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/host.h"
#include "text/hex.h"

namespace settings {
namespace {

constexpr size_t kConfigMax = 1 << 20;
constexpr int kDepthMax = 64;

class Reader {
 public:
  Reader(const char* text, size_t len) : p_(text), end_(text + len) {}

  // The top-level object: the values of the members named in keys (n of
  // them), each a string, when present.
  bool read_top(const char* const* keys, size_t n, std::string* values, bool* present) {
    return read_members([&](const std::string& key) {
      size_t wanted = n;
      for (size_t i = 0; i < n; ++i) {
        if (key == keys[i]) wanted = i;
      }
      if (wanted == n) return skip_value(0);
      if (present[wanted]) return fail(("\"" + key + "\" given twice").c_str());
      if (p_ >= end_ || *p_ != '"') return fail(("\"" + key + "\" is not a string").c_str());
      if (!read_string(&values[wanted])) return false;
      present[wanted] = true;
      return true;
    });
  }

  // The top-level object's member key, when present: an array whose
  // elements are objects, each given as its text for read_top.
  bool read_top_objects(const char* key, std::vector<std::string>* items, bool* present) {
    return read_members([&](const std::string& name) {
      if (name != key) return skip_value(0);
      if (*present) return fail(("\"" + name + "\" given twice").c_str());
      if (!read_objects(name, items)) return false;
      *present = true;
      return true;
    });
  }

  const std::string& error() const { return error_; }

 private:
  // The top-level object, member by member: on_member(key) reads or
  // skips the value that follows the key's ':'; then the whole text must
  // have been the object.
  template <class OnMember>
  bool read_members(OnMember on_member) {
    skip_ws();
    if (!take('{')) return fail("not a JSON object");
    skip_ws();
    if (take('}')) return at_end();
    for (;;) {
      std::string key;
      skip_ws();
      if (!read_string(&key)) return false;
      skip_ws();
      if (!take(':')) return fail("a member without ':'");
      skip_ws();
      if (!on_member(key)) return false;
      skip_ws();
      if (take('}')) return at_end();
      if (!take(',')) return fail("members not separated by ','");
    }
  }
  bool at_end() {
    skip_ws();
    return p_ == end_ || fail("text after the object");
  }
  bool fail(const char* what) {
    if (error_.empty()) error_ = what;
    return false;
  }
  bool take(char c) {
    if (p_ < end_ && *p_ == c) {
      ++p_;
      return true;
    }
    return false;
  }
  void skip_ws() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
  }
  bool take_word(const char* w) {
    const size_t n = std::strlen(w);
    if (static_cast<size_t>(end_ - p_) < n || std::memcmp(p_, w, n) != 0) return false;
    p_ += n;
    return true;
  }
  static int hex(char c) { return text_hex_value(static_cast<unsigned char>(c)); }
  bool read_hex4(unsigned* out) {
    if (end_ - p_ < 4) return false;
    unsigned v = 0;
    for (int i = 0; i < 4; ++i) {
      const int d = hex(p_[i]);
      if (d < 0) return false;
      v = v * 16 + static_cast<unsigned>(d);
    }
    p_ += 4;
    *out = v;
    return true;
  }
  static void put_utf8(std::string* out, unsigned cp) {
    if (cp < 0x80) {
      out->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  // Length of the well-formed UTF-8 sequence at p (0 when there is none).
  size_t utf8_length() const {
    const auto* u = reinterpret_cast<const unsigned char*>(p_);
    const size_t left = static_cast<size_t>(end_ - p_);
    size_t n = 0;
    unsigned lo = 0x80, hi = 0xBF;
    if (u[0] >= 0xC2 && u[0] <= 0xDF) n = 2;
    else if (u[0] >= 0xE0 && u[0] <= 0xEF) n = 3, lo = u[0] == 0xE0 ? 0xA0 : 0x80, hi = u[0] == 0xED ? 0x9F : 0xBF;
    else if (u[0] >= 0xF0 && u[0] <= 0xF4) n = 4, lo = u[0] == 0xF0 ? 0x90 : 0x80, hi = u[0] == 0xF4 ? 0x8F : 0xBF;
    else return 0;
    if (left < n || u[1] < lo || u[1] > hi) return 0;
    for (size_t i = 2; i < n; ++i) {
      if (u[i] < 0x80 || u[i] > 0xBF) return 0;
    }
    return n;
  }
  // A JSON string at p, decoded into out (null: only checked).
  bool read_string(std::string* out) {
    if (!take('"')) return fail("a key that is not a string");
    while (p_ < end_) {
      const unsigned char c = static_cast<unsigned char>(*p_);
      if (c == '"') {
        ++p_;
        return true;
      }
      if (c < 0x20) return fail("a control character inside a string");
      if (c >= 0x80) {
        const size_t n = utf8_length();
        if (n == 0) return fail("a string that is not UTF-8");
        if (out != nullptr) out->append(p_, n);
        p_ += n;
        continue;
      }
      ++p_;
      if (c != '\\') {
        if (out != nullptr) out->push_back(static_cast<char>(c));
        continue;
      }
      if (p_ >= end_) break;
      const char e = *p_++;
      static const char kEscapes[] = "\"\\/bfnrt";
      static const char kDecoded[] = "\"\\/\b\f\n\r\t";
      const char* simple = e != '\0' ? std::strchr(kEscapes, e) : nullptr;
      if (simple != nullptr) {
        if (out != nullptr) out->push_back(kDecoded[simple - kEscapes]);
        continue;
      }
      unsigned cp = 0;
      if (e != 'u' || !read_hex4(&cp)) return fail("a bad escape inside a string");
      if (cp >= 0xD800 && cp <= 0xDBFF) {
        unsigned low = 0;
        if (!take('\\') || !take('u') || !read_hex4(&low) || low < 0xDC00 || low > 0xDFFF) {
          return fail("a lone surrogate inside a string");
        }
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
      } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
        return fail("a lone surrogate inside a string");
      }
      if (out != nullptr) put_utf8(out, cp);
    }
    return fail("an unterminated string");
  }
  // An array of objects at p, each element's text into items.
  bool read_objects(const std::string& name, std::vector<std::string>* items) {
    const std::string not_objects = "\"" + name + "\" is not an array of objects";
    if (!take('[')) return fail(not_objects.c_str());
    skip_ws();
    if (take(']')) return true;
    for (;;) {
      skip_ws();
      if (p_ >= end_ || *p_ != '{') return fail(not_objects.c_str());
      const char* begin = p_;
      if (!skip_value(1)) return false;
      items->emplace_back(begin, static_cast<size_t>(p_ - begin));
      skip_ws();
      if (take(']')) return true;
      if (!take(',')) return fail("elements not separated by ','");
    }
  }
  bool skip_number() {
    take('-');
    if (take('0')) {
    } else if (p_ < end_ && *p_ >= '1' && *p_ <= '9') {
      while (p_ < end_ && *p_ >= '0' && *p_ <= '9') ++p_;
    } else {
      return fail("a malformed number");
    }
    if (take('.')) {
      const char* digits = p_;
      while (p_ < end_ && *p_ >= '0' && *p_ <= '9') ++p_;
      if (p_ == digits) return fail("a malformed number");
    }
    if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
      ++p_;
      if (!take('+')) take('-');
      const char* digits = p_;
      while (p_ < end_ && *p_ >= '0' && *p_ <= '9') ++p_;
      if (p_ == digits) return fail("a malformed number");
    }
    return true;
  }
  bool skip_value(int depth) {
    if (depth > kDepthMax) return fail("nested too deeply");
    skip_ws();
    if (p_ >= end_) return fail("a missing value");
    switch (*p_) {
      case '"': return read_string(nullptr);
      case '{': {
        ++p_;
        skip_ws();
        if (take('}')) return true;
        for (;;) {
          skip_ws();
          if (!read_string(nullptr)) return false;
          skip_ws();
          if (!take(':')) return fail("a member without ':'");
          if (!skip_value(depth + 1)) return false;
          skip_ws();
          if (take('}')) return true;
          if (!take(',')) return fail("members not separated by ','");
        }
      }
      case '[': {
        ++p_;
        skip_ws();
        if (take(']')) return true;
        for (;;) {
          if (!skip_value(depth + 1)) return false;
          skip_ws();
          if (take(']')) return true;
          if (!take(',')) return fail("elements not separated by ','");
        }
      }
      case 't': return take_word("true") || fail("a malformed value");
      case 'f': return take_word("false") || fail("a malformed value");
      case 'n': return take_word("null") || fail("a malformed value");
      default: return skip_number();
    }
  }

  const char* p_;
  const char* end_;
  std::string error_;
};

}  // namespace

bool parse_config_strings(const char* text, size_t len, const char* const* keys, size_t n, std::string* values,
                          bool* present, std::string* why) {
  for (size_t i = 0; i < n; ++i) present[i] = false;
  Reader r(text, len);
  if (!r.read_top(keys, n, values, present)) {
    *why = "not valid JSON (" + r.error() + ")";
    return false;
  }
  return true;
}

bool parse_config_objects(const char* text, size_t len, const char* key, std::vector<std::string>* items,
                          std::string* why) {
  items->clear();
  bool present = false;
  Reader r(text, len);
  if (!r.read_top_objects(key, items, &present)) {
    *why = "not valid JSON (" + r.error() + ")";
    return false;
  }
  return true;
}

ConfigRoot parse_config_root(const char* text, size_t len, char* root, size_t root_cap, char* why, size_t why_cap) {
  static const char* const kKeys[] = {"storage_root", "registry_storage_root"};
  std::string values[2];
  bool present[2] = {false, false};
  std::string error;
  if (!parse_config_strings(text, len, kKeys, 2, values, present, &error)) {
    std::snprintf(why, why_cap, "%s", error.c_str());
    return ConfigRoot::kInvalid;
  }
  // "storage_root" wins wherever the other key stands.
  const std::string& value = present[0] ? values[0] : values[1];
  if (value.empty()) return ConfigRoot::kNone;
  if (value.find('\0') != std::string::npos) {
    std::snprintf(why, why_cap, "the storage root holds a NUL character");
    return ConfigRoot::kInvalid;
  }
  if (value.size() >= root_cap) {
    std::snprintf(why, why_cap, "the storage root is longer than %zu characters", root_cap - 1);
    return ConfigRoot::kInvalid;
  }
  std::memcpy(root, value.c_str(), value.size() + 1);
  return ConfigRoot::kFound;
}

namespace {

// "cannot be read: <the system's word>", or the fallback in brackets where
// the system has none.
void unreadable(char* why, size_t why_cap, const std::string& system, const char* fallback) {
  if (!system.empty()) {
    std::snprintf(why, why_cap, "cannot be read: %s", system.c_str());
  } else {
    std::snprintf(why, why_cap, "cannot be read (%s)", fallback);
  }
}

}  // namespace

ConfigRoot read_config_text(const char* path, std::string* text, char* why, size_t why_cap) {
  ReadFailure failed;
  if (read_whole_file(path, kConfigMax, text, &failed)) return ConfigRoot::kFound;
  switch (failed.step) {
    case ReadStep::kMissing: return ConfigRoot::kNone;  // no configuration at all
    case ReadStep::kNone:
    case ReadStep::kLook: unreadable(why, why_cap, failed.system, "cannot be looked at"); break;
    case ReadStep::kNotFile:
      std::snprintf(why, why_cap, "cannot be read (%s)",
                    failed.kind == host::Kind::kDir ? "a directory" : "not a regular file");
      break;
    case ReadStep::kOpen: unreadable(why, why_cap, failed.system, "not a readable file"); break;
    case ReadStep::kRead: unreadable(why, why_cap, failed.system, "a read failed"); break;
    case ReadStep::kTooLarge: std::snprintf(why, why_cap, "is larger than %zu bytes", kConfigMax); break;
  }
  return ConfigRoot::kInvalid;
}

ConfigRoot read_config_root(const char* path, char* root, size_t root_cap, char* why, size_t why_cap) {
  std::string text;
  const ConfigRoot read = read_config_text(path, &text, why, why_cap);
  if (read != ConfigRoot::kFound) return read;
  return parse_config_root(text.data(), text.size(), root, root_cap, why, why_cap);
}

}  // namespace settings
