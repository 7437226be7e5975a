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
// Without a policy file: anonymous requests may do nothing, and every
// signed-in user may pull and push everywhere.
#ifndef REGISTRY_ACCESS_AUTH_POLICY_H
#define REGISTRY_ACCESS_AUTH_POLICY_H

#include <string>
#include <vector>

namespace auth {

struct PolicyRule {
  std::string who;
  std::string pattern;
  unsigned actions = 0;
};

struct Policy {
  std::vector<PolicyRule> rules;
};

// The rules of a policy text; false, with "line N: what is wrong" in why,
// for the first line that is not a rule.
bool parse_policy(const std::string& text, Policy* out, std::string* why);

// The policy that applies without a file.
Policy default_policy();

// What user ("" for anonymous) may do on the repository name; nothing on
// a name of no repository's form (all of its bytes are looked at).
unsigned allowed_actions(const Policy& policy, const std::string& user, const std::string& name);

// Whether the pattern matches the whole name.
bool pattern_matches(const std::string& pattern, const std::string& name);

}  // namespace auth

#endif
