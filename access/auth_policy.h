// Who may do what: the policy file. One rule a line,
//
//   <who>  <repositories>  <actions>
//
// who: a user name, "anonymous" (a request without credentials), or "*"
// (every signed-in user); repositories: a name pattern, where "*" matches
// any run of characters within one component and "**" any run across
// components ("team/*" holds team/app, "team/**" team/app/web too, "**"
// everything); actions: "pull", "push", "delete" joined by ',', or "*"
// for all three. '#' starts a comment; blank lines are ignored. Rules only
// grant: a user may do what any rule naming them, "*" or "anonymous"
// allows (signing in never takes a right away).
//
// A line whose first word is "immutable:" (no user name holds a ':') marks
// tags fixed instead of granting anything:
//
//   immutable:  <repositories>  <tags>
//
// tags: tag patterns joined by ',', where "*" matches any run of
// characters ("v*", "release-*,stable"). In a repository the pattern
// matches, a tag that matches may be pushed once and never moved to
// another manifest nor deleted, by anyone, whatever the mode of access
// control.
//
// A line whose first word is "quota:" limits the bytes of blobs a
// repository may link:
//
//   quota:  <repositories>  <size>
//
// size: a whole number of bytes, or one followed by a unit: KB, MB, GB, TB
// (powers of 1000) or KiB, MiB, GiB, TiB (powers of 1024), as "500MiB" or
// "10GiB". A repository takes the limit of the first quota line whose
// pattern matches its name; later lines that match it too do not count,
// so a narrow line goes before a broad one.
//
// A line whose first word is "retain:" is one rule of tag retention
// (registry-admin retain) and grants nothing either:
//
//   retain:  <repositories>  last:<N> | within:<DURATION> | always  <tags>
//
// last:N keeps the N tags matching <tags> pushed last, within:30d (s, m,
// h, d) those pushed in that time, always every one. In a repository that
// some retain rule names, a tag that no such rule keeps is removed by
// retain; repositories no retain rule names are left alone.
//
// A rule whose repositories are "registry:metrics" (no pattern holds a
// ':') lets who read the registry's metrics, whatever its actions.
//
// Without a policy file: anonymous requests may do nothing, and every
// signed-in user may pull and push everywhere.
#ifndef REGISTRY_ACCESS_AUTH_POLICY_H
#define REGISTRY_ACCESS_AUTH_POLICY_H

#include <cstdint>
#include <string>
#include <vector>

namespace auth {

struct PolicyRule {
  std::string who;
  std::string pattern;
  unsigned actions = 0;
};

struct ImmutableRule {
  int line = 0;                    // its line in the policy file
  std::string text;                // the line as written, for messages
  std::string pattern;             // repositories
  std::vector<std::string> tags;   // tag patterns
};

struct QuotaRule {
  int line = 0;         // its line in the policy file
  std::string text;     // the line as written, for messages
  std::string pattern;  // repositories
  int64_t bytes = 0;    // the limit
};

// What one retain rule keeps of the tags its tag patterns match.
enum class Keep { kLast, kWithin, kAlways };

struct RetainRule {
  int line = 0;                    // its line in the file
  std::string text;                // the line as written, for messages
  std::string pattern;             // repositories
  Keep keep = Keep::kAlways;
  int64_t count = 0;               // kLast: how many
  int64_t seconds = 0;             // kWithin: how long ago at most
  std::vector<std::string> tags;   // tag patterns
};

struct Policy {
  std::vector<PolicyRule> rules;
  std::vector<ImmutableRule> immutable;
  std::vector<QuotaRule> quotas;
  std::vector<RetainRule> retain;
};

// The rules of a policy text; false, with "line N: what is wrong" in why,
// for the first line that is not a rule.
bool parse_policy(const std::string& text, Policy* out, std::string* why);

// The policy that applies without a file.
Policy default_policy();

// What user ("" for anonymous) may do on the repository name; nothing on
// a name of no repository's form (all of its bytes are looked at).
unsigned allowed_actions(const Policy& policy, const std::string& user, const std::string& name);

// The resource of metrics, as a rule names it and a token's scope does.
inline constexpr char kMetricsResource[] = "registry:metrics";
// Whether user ("" for anonymous) may read the metrics.
bool may_read_metrics(const Policy& policy, const std::string& user);

// The first rule that fixes the tag in the repository name; null when none
// does.
const ImmutableRule* immutable_rule_for(const Policy& policy, const std::string& name, const std::string& tag);

// The quota line that limits the repository name: the first whose pattern
// matches; null when none does (or the name is of no repository's form).
const QuotaRule* quota_rule_for(const Policy& policy, const std::string& name);

// The bytes a size of the quota line's form stands for ("500MiB"); false
// for anything else, or for more than an int64_t holds.
bool parse_byte_size(const std::string& text, int64_t* out);

// Whether the pattern matches the whole name.
bool pattern_matches(const std::string& pattern, const std::string& name);

}  // namespace auth

#endif
