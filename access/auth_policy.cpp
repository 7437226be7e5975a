// The policy file and its decisions.
#include "access/auth_policy.h"

#include <cstdint>

#include "access/auth_token.h"
#include "storage/reg_storage.h"

namespace auth {
namespace {

constexpr char kAnonymous[] = "anonymous";
constexpr char kImmutable[] = "immutable:";
constexpr char kQuota[] = "quota:";
constexpr char kRetain[] = "retain:";

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::vector<std::string> words_of(const std::string& line) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && is_blank(line[i])) ++i;
    if (i >= line.size() || line[i] == '#') break;
    size_t j = i;
    while (j < line.size() && !is_blank(line[j]) && line[j] != '#') ++j;
    words.push_back(line.substr(i, j - i));
    i = j;
  }
  return words;
}

bool parse_actions(const std::string& text, unsigned* out) {
  if (text == "*") {
    *out = kActionsAll;
    return true;
  }
  unsigned actions = 0;
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    const std::string a = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (a == "pull") {
      actions |= kActionPull;
    } else if (a == "push") {
      actions |= kActionPush;
    } else if (a == "delete") {
      actions |= kActionDelete;
    } else {
      return false;
    }
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  *out = actions;
  return true;
}

// Characters a pattern may hold: those of repository names, and '*'.
bool pattern_valid(const std::string& p) {
  if (p.empty()) return false;
  for (const char c : p) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                    c == '_' || c == '-' || c == '/' || c == '*';
    if (!ok) return false;
  }
  return true;
}

// Characters a tag pattern may hold: those of tags, and '*'.
bool tag_pattern_valid(const std::string& p) {
  if (p.empty()) return false;
  for (const char c : p) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                    c == '_' || c == '-' || c == '*';
    if (!ok) return false;
  }
  return true;
}

// The tag patterns of "a,b,c"; false for an empty or invalid one.
bool parse_tag_patterns(const std::string& text, std::vector<std::string>* out) {
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    std::string p = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (!tag_pattern_valid(p)) return false;
    out->push_back(std::move(p));
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

// "30s", "15m", "12h", "7d": false for anything else, and for a time so
// long that its seconds would not fit.
bool parse_age(const std::string& text, int64_t* seconds) {
  if (text.size() < 2 || text.size() > 12) return false;
  int64_t n = 0;
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    n = n * 10 + (text[i] - '0');
  }
  switch (text.back()) {
    case 's': *seconds = n; return true;
    case 'm': *seconds = n * 60; return true;
    case 'h': *seconds = n * 3600; return true;
    case 'd': *seconds = n * 86400; return true;
    default: return false;
  }
}

// "last:N", "within:DURATION" or "always" into the rule; false otherwise.
bool parse_keep(const std::string& text, RetainRule* rule) {
  if (text == "always") {
    rule->keep = Keep::kAlways;
    return true;
  }
  if (text.compare(0, 7, "within:") == 0) {
    rule->keep = Keep::kWithin;
    return parse_age(text.substr(7), &rule->seconds);
  }
  if (text.compare(0, 5, "last:") != 0 || text.size() == 5 || text.size() > 14) return false;
  int64_t n = 0;
  for (size_t i = 5; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    n = n * 10 + (text[i] - '0');
  }
  if (n == 0) return false;  // keeps nothing: surely a slip
  rule->keep = Keep::kLast;
  rule->count = n;
  return true;
}

// One "retain:" line of four words; false with why.
bool parse_retain(const std::vector<std::string>& words, int number, RetainRule* out, std::string* why) {
  if (words.size() != 4) {
    *why = "a retain rule has four fields: retain:, repositories, last:N or within:DURATION or always, tags";
    return false;
  }
  out->line = number;
  out->text = words[0] + " " + words[1] + " " + words[2] + " " + words[3];
  out->pattern = words[1];
  if (!pattern_valid(out->pattern)) {
    *why = "not a repository pattern: " + out->pattern;
    return false;
  }
  if (!parse_keep(words[2], out)) {
    *why = "keeps last:N (N from 1), within:DURATION (30s, 15m, 12h, 7d) or always, not " + words[2];
    return false;
  }
  if (!parse_tag_patterns(words[3], &out->tags)) {
    *why = "tags are tag patterns joined by ',': " + words[3];
    return false;
  }
  return true;
}

// Whether pattern[i..] matches name[j..], each pair of positions decided
// once (memo: -1 unknown, 0 no, 1 yes), so a pattern of many stars costs
// no more than its length times the name's.
class Matcher {
 public:
  Matcher(const std::string& p, const std::string& n)
      : p_(p), n_(n), memo_((p.size() + 1) * (n.size() + 1), -1) {}
  bool at(size_t i, size_t j) {
    signed char& m = memo_[i * (n_.size() + 1) + j];
    if (m < 0) m = decide(i, j) ? 1 : 0;
    return m == 1;
  }

 private:
  bool decide(size_t i, size_t j) {
    if (i == p_.size()) return j == n_.size();
    if (p_[i] == '*') {
      const bool across = i + 1 < p_.size() && p_[i + 1] == '*';
      size_t k = i;
      while (k < p_.size() && p_[k] == '*') ++k;
      if (at(k, j)) return true;  // the star matches nothing more
      return j < n_.size() && (across || n_[j] != '/') && at(i, j + 1);
    }
    return j < n_.size() && p_[i] == n_[j] && at(i + 1, j + 1);
  }
  const std::string& p_;
  const std::string& n_;
  std::vector<signed char> memo_;
};

}  // namespace

bool parse_policy(const std::string& text, Policy* out, std::string* why) {
  Policy policy;
  size_t start = 0;
  int number = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    ++number;
    const std::vector<std::string> words = words_of(line);
    if (words.empty()) continue;
    const std::string where = "line " + std::to_string(number) + ": ";
    if (words[0] == kRetain) {
      RetainRule rule;
      if (!parse_retain(words, number, &rule, why)) {
        *why = where + *why;
        return false;
      }
      policy.retain.push_back(std::move(rule));
      continue;
    }
    if (words.size() != 3) {
      *why = where + "a rule has three fields: who, repositories, actions";
      return false;
    }
    if (words[0] == kImmutable) {
      ImmutableRule fixed;
      fixed.line = number;
      fixed.text = words[0] + " " + words[1] + " " + words[2];
      fixed.pattern = words[1];
      if (!pattern_valid(fixed.pattern)) {
        *why = where + "not a repository pattern: " + fixed.pattern;
        return false;
      }
      if (!parse_tag_patterns(words[2], &fixed.tags)) {
        *why = where + "tags are tag patterns joined by ',': " + words[2];
        return false;
      }
      policy.immutable.push_back(std::move(fixed));
      continue;
    }
    if (words[0] == kQuota) {
      QuotaRule quota;
      quota.line = number;
      quota.text = words[0] + " " + words[1] + " " + words[2];
      quota.pattern = words[1];
      if (!pattern_valid(quota.pattern)) {
        *why = where + "not a repository pattern: " + quota.pattern;
        return false;
      }
      if (!parse_byte_size(words[2], &quota.bytes)) {
        *why = where + "a size is a number of bytes, with KB, MB, GB, TB, KiB, MiB, GiB or TiB if wanted: " + words[2];
        return false;
      }
      policy.quotas.push_back(std::move(quota));
      continue;
    }
    PolicyRule rule;
    rule.who = words[0];
    rule.pattern = words[1];
    if (rule.pattern != kMetricsResource && !pattern_valid(rule.pattern)) {
      *why = where + "not a repository pattern: " + rule.pattern;
      return false;
    }
    if (!parse_actions(words[2], &rule.actions)) {
      *why = where + "actions are pull, push, delete joined by ',', or *: " + words[2];
      return false;
    }
    policy.rules.push_back(std::move(rule));
  }
  *out = std::move(policy);
  return true;
}

Policy default_policy() {
  Policy p;
  p.rules.push_back({"*", "**", kActionPull | kActionPush});
  return p;
}

namespace {

bool rule_applies(const PolicyRule& r, const std::string& user) {
  // Signing in never takes anything away: what anonymous requests may
  // do, every user may do too.
  return r.who == kAnonymous || (!user.empty() && (r.who == "*" || r.who == user));
}

}  // namespace

bool may_read_metrics(const Policy& policy, const std::string& user) {
  for (const PolicyRule& r : policy.rules) {
    if (r.pattern == kMetricsResource && rule_applies(r, user)) return true;
  }
  return false;
}

unsigned allowed_actions(const Policy& policy, const std::string& user, const std::string& name) {
  // Nothing for a name of no repository's form: a pattern must never
  // match bytes that the storage would read as another, shorter name.
  if (reg_repository_name_valid(name.data(), name.size()) == 0) return 0;
  unsigned actions = 0;
  for (const PolicyRule& r : policy.rules) {
    if (rule_applies(r, user) && pattern_matches(r.pattern, name)) actions |= r.actions;
  }
  return actions;
}

const ImmutableRule* immutable_rule_for(const Policy& policy, const std::string& name, const std::string& tag) {
  if (reg_repository_name_valid(name.data(), name.size()) == 0) return nullptr;
  for (const ImmutableRule& r : policy.immutable) {
    if (!pattern_matches(r.pattern, name)) continue;
    for (const std::string& t : r.tags) {
      if (pattern_matches(t, tag)) return &r;
    }
  }
  return nullptr;
}

const QuotaRule* quota_rule_for(const Policy& policy, const std::string& name) {
  if (reg_repository_name_valid(name.data(), name.size()) == 0) return nullptr;
  for (const QuotaRule& r : policy.quotas) {
    if (pattern_matches(r.pattern, name)) return &r;
  }
  return nullptr;
}

bool parse_byte_size(const std::string& text, int64_t* out) {
  static const struct {
    const char* name;
    int64_t scale;
  } kUnits[] = {{"", 1},
                {"B", 1},
                {"KB", 1000},
                {"MB", 1000 * 1000},
                {"GB", int64_t{1000} * 1000 * 1000},
                {"TB", int64_t{1000} * 1000 * 1000 * 1000},
                {"KiB", int64_t{1} << 10},
                {"MiB", int64_t{1} << 20},
                {"GiB", int64_t{1} << 30},
                {"TiB", int64_t{1} << 40}};
  size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  if (digits == 0) return false;
  const std::string unit = text.substr(digits);
  for (const auto& u : kUnits) {
    if (unit != u.name) continue;
    int64_t n = 0;
    for (size_t i = 0; i < digits; ++i) {
      const int64_t d = text[i] - '0';
      if (n > (INT64_MAX - d) / 10) return false;
      n = n * 10 + d;
    }
    if (n > INT64_MAX / u.scale) return false;
    *out = n * u.scale;
    return true;
  }
  return false;
}

bool pattern_matches(const std::string& pattern, const std::string& name) {
  return Matcher(pattern, name).at(0, 0);
}

}  // namespace auth
