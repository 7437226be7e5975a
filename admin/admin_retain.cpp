// registry-admin retain: removes the tags that no retain rule keeps, as a
// client's delete of each would, while the registry serves. Only tags go:
// the manifests and blobs they named stay until gc finds nothing refers
// to them.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "access/auth_files.h"
#include "access/auth_policy.h"
#include "admin/admin_commands.h"
#include "cgi/request_env.h"
#include "platform/host.h"
#include "settings/settings.h"
#include "settings/text_file.h"
#include "storage/reg_status_text.h"
#include "storage/reg_storage.h"
#include "storage/upkeep/reg_maintenance.h"
#include "text/civil_time.h"
#include "text/json_escape.h"

namespace admin {
namespace {

// What a run is told: its rules, the immutable ones, and how to report.
struct Run {
  bool dry_run = false;
  bool verbose = false;
  bool events = false;
  int64_t now = 0;
  std::vector<auth::RetainRule> rules;  // from the rules' file
  auth::Policy policy;                  // immutable tags: always the policy file's
  FindingLog* log = nullptr;
};

struct Totals {
  int64_t repositories = 0;
  int64_t ruled = 0;  // repositories some rule names
  int64_t tags = 0;   // in those
  int64_t kept = 0;
  int64_t removed = 0;
  int64_t immutable = 0;  // kept only because they are immutable
  int64_t moved = 0;      // pushed again between the listing and their delete
  int64_t failed = 0;
};

// One tag as listed, and why it stays (empty: it goes).
struct Tag {
  reg_tag_state seen;
  std::string kept_by;
};

std::string rule_words(const auth::RetainRule& r) { return "line " + std::to_string(r.line) + ": " + r.text; }

std::string time_text(int64_t seconds) {
  char text[TEXT_RFC3339_CAP];
  text_rfc3339(seconds, 0, text, sizeof text);
  return text;
}

bool any_matches(const std::vector<std::string>& patterns, const std::string& tag) {
  for (const std::string& p : patterns) {
    if (auth::pattern_matches(p, tag)) return true;
  }
  return false;
}

// Marks each tag the rule keeps (the first rule that keeps a tag is the
// one reported). Tags pushed in the same second count the one later in
// byte order as the later push, so that a run decides the same way twice.
void apply_rule(const auth::RetainRule& rule, int64_t now, std::vector<Tag>* tags) {
  std::vector<Tag*> matching;
  for (Tag& t : *tags) {
    if (any_matches(rule.tags, t.seen.tag)) matching.push_back(&t);
  }
  if (rule.keep == auth::Keep::kLast) {
    std::sort(matching.begin(), matching.end(), [](const Tag* a, const Tag* b) {
      if (a->seen.pushed != b->seen.pushed) return a->seen.pushed > b->seen.pushed;
      return std::string(a->seen.tag) > std::string(b->seen.tag);
    });
    if (static_cast<int64_t>(matching.size()) > rule.count) matching.resize(static_cast<size_t>(rule.count));
  }
  for (Tag* t : matching) {
    const bool keeps = rule.keep != auth::Keep::kWithin || t->seen.pushed >= now - rule.seconds;
    if (keeps && t->kept_by.empty()) t->kept_by = rule_words(rule);
  }
}

void report(const Run& run, const char* action, const std::string& repo, const std::string& tag,
            const std::string& why) {
  const reg_finding f{"tag", repo.c_str(), tag.c_str(), 0, why.c_str(), action};
  FindingLog::report(run.log, &f);
  std::fflush(stdout);  // one line at a time, for whoever follows the run
}

// The guard of the delete, asked under the repository's lock: the tag
// goes only while it is not immutable and its link is the very one the
// decision was made on.
struct Recheck {
  const Run* run;
  const std::string* repo;
  const reg_tag_state* seen;
  const auth::ImmutableRule* fixed = nullptr;
  bool moved = false;

  static int refuse(void* ctx, const char* tag) {
    Recheck& r = *static_cast<Recheck*>(ctx);
    r.fixed = auth::immutable_rule_for(r.run->policy, *r.repo, tag);
    if (r.fixed != nullptr) return 1;
    reg_tag_state now;
    reg_status st;
    const int found = reg_tag_now(r.repo->c_str(), tag, &now, &st);
    r.moved = found != 1 || now.file_id != r.seen->file_id || now.written_ns != r.seen->written_ns ||
              now.pushed != r.seen->pushed || std::string(now.digest) != r.seen->digest;
    return r.moved ? 1 : 0;
  }
};

// A new event id; "" when the system's random source fails.
std::string random_id() {
  char id[REG_EVENT_ID_LEN + 1];
  return reg_event_new_id(id) == 0 ? std::string(id, REG_EVENT_ID_LEN) : std::string();
}

// The delete event of one removed tag, in the envelope the registry's own
// deletes leave, with the digest the tag named (no request: the operator
// made it).
bool record_delete(const std::string& repo, const reg_tag_state& gone, std::string* why) {
  const std::string id = random_id();
  const std::string request_id = random_id();
  if (id.empty() || request_id.empty()) return *why = "the system's random source failed", false;
  const int64_t ns = host::now_nanoseconds();
  char stamp[TEXT_RFC3339_CAP];
  text_rfc3339(ns / 1000000000, ns % 1000000000, stamp, sizeof stamp);
  std::string e = "{\"events\":[{";
  text_json_member_append(&e, "id", id);
  e += ',';
  text_json_member_append(&e, "timestamp", stamp);
  e += ',';
  text_json_member_append(&e, "action", "delete");
  e += ",\"target\":{";
  text_json_member_append(&e, "mediaType", "");
  e += ',';
  text_json_member_append(&e, "digest", gone.digest);
  e += ',';
  text_json_member_append(&e, "repository", repo);
  e += ',';
  text_json_member_append(&e, "tag", gone.tag);
  e += "},\"request\":{";
  text_json_member_append(&e, "id", request_id);
  e += ',';
  text_json_member_append(&e, "method", "DELETE");
  e += ',';
  text_json_member_append(&e, "useragent", "registry-admin retain");
  e += "},\"actor\":{},\"source\":{}}]}\n";
  reg_status st;
  if (reg_event_record(id.c_str(), e.data(), e.size(), nullptr, &st) != 0) return *why = reg_status_text(st), false;
  return true;
}

// Removes one tag the rules let go, through the guarded delete a client's
// DELETE takes.
void remove_tag(const Run& run, const std::string& repo, const reg_tag_state& seen, Totals* totals) {
  const std::string pushed = "no rule keeps it (pushed " + time_text(seen.pushed) + ")";
  if (run.dry_run) {
    ++totals->removed;
    return report(run, "would remove", repo, seen.tag, pushed);
  }
  Recheck check{&run, &repo, &seen};
  reg_status st;
  if (reg_manifest_remove_guarded(repo.c_str(), seen.tag, Recheck::refuse, &check, &st) != 0) {
    if (st.kind == REG_ERR_NOT_FOUND) return;  // deleted meanwhile: gone, as decided
    if (st.kind == REG_ERR_FIXED && check.moved) {
      ++totals->kept;
      ++totals->moved;
      return report(run, "kept", repo, seen.tag, "pushed again since it was listed");
    }
    if (st.kind == REG_ERR_FIXED && check.fixed != nullptr) {
      ++totals->kept;
      ++totals->immutable;
      return report(run, "kept", repo, seen.tag,
                    "immutable (policy line " + std::to_string(check.fixed->line) + ": " + check.fixed->text + ")");
    }
    ++totals->failed;
    return report(run, "", repo, seen.tag, "cannot be removed: " + reg_status_text(st));
  }
  ++totals->removed;
  report(run, "removed", repo, seen.tag, pushed);
  std::string why;
  if (run.events && !record_delete(repo, seen, &why)) {
    ++totals->failed;
    report(run, "", repo, seen.tag, "removed, but its delete event could not be recorded: " + why);
  }
}

int collect_tag(void* ctx, const reg_tag_state* t) {
  static_cast<std::vector<Tag>*>(ctx)->push_back(Tag{*t, ""});
  return 0;
}

// Decides on every tag of one repository that rules name, then removes
// those that go; each kept tag is reported (in verbose runs) before any
// removal, so the listing is over once the first such line is out.
void retain_repository(const Run& run, const std::string& repo, const std::vector<const auth::RetainRule*>& rules,
                       Totals* totals) {
  std::vector<Tag> tags;
  reg_status st;
  if (reg_tags_each(repo.c_str(), collect_tag, &tags, &st) != 0) {
    ++totals->failed;
    return report(run, "", repo, "", "its tags cannot be listed: " + reg_status_text(st));
  }
  totals->tags += static_cast<int64_t>(tags.size());
  for (const auth::RetainRule* r : rules) apply_rule(*r, run.now, &tags);
  std::vector<const reg_tag_state*> going;
  for (Tag& t : tags) {
    if (t.seen.digest[0] == '\0' && t.kept_by.empty()) t.kept_by = "its link cannot be read (fsck looks at it)";
    const auth::ImmutableRule* fixed = t.kept_by.empty() ? auth::immutable_rule_for(run.policy, repo, t.seen.tag)
                                                         : nullptr;
    if (fixed != nullptr) {
      ++totals->kept;
      ++totals->immutable;
      report(run, "kept", repo, t.seen.tag,
             "no rule keeps it, but it is immutable (policy line " + std::to_string(fixed->line) + ": " + fixed->text +
                 ")");
    } else if (!t.kept_by.empty()) {
      ++totals->kept;
      if (run.verbose) report(run, "kept", repo, t.seen.tag, t.kept_by);
    } else {
      going.push_back(&t.seen);
    }
  }
  for (const reg_tag_state* seen : going) remove_tag(run, repo, *seen, totals);
}

// The retain rules that name the repository.
std::vector<const auth::RetainRule*> rules_for(const Run& run, const std::string& repo) {
  std::vector<const auth::RetainRule*> out;
  if (reg_repository_name_valid(repo.data(), repo.size()) == 0) return out;
  for (const auth::RetainRule& r : run.rules) {
    if (auth::pattern_matches(r.pattern, repo)) out.push_back(&r);
  }
  return out;
}

int collect_name(void* ctx, const char* name) {
  static_cast<std::vector<std::string>*>(ctx)->push_back(name);
  return 0;
}

// The rules: the --rules file's retain lines when one is named, else the
// policy file's; the immutable tags are always the policy file's, as the
// registry reads them. kExitOk, or the status of the failure reported.
int read_rules(const settings::Settings& s, const std::string& rules_file, Run* run) {
  std::string why;
  if (!auth::load_policy(s.auth, &run->policy, &why)) return fail(kExitUsage, "retain: %s", why.c_str());
  std::string from;
  if (rules_file.empty()) {
    run->rules = run->policy.retain;
    from = auth::policy_path(s.auth);
    if (from.empty()) from = "the policy file";
  } else {
    std::string text;
    auth::Policy own;
    switch (settings::read_text_file(rules_file, &text, &why)) {
      case settings::FileRead::kRead:
        break;
      case settings::FileRead::kMissing:
        return fail(kExitUsage, "retain: cannot read %s: no such file", rules_file.c_str());
      case settings::FileRead::kFailed:
        return fail(kExitUsage, "retain: cannot read %s: %s", rules_file.c_str(), why.c_str());
    }
    if (!auth::parse_policy(text, &own, &why)) {
      return fail(kExitUsage, "retain: %s: %s", rules_file.c_str(), why.c_str());
    }
    run->rules = own.retain;
    from = rules_file;
  }
  if (run->rules.empty()) return fail(kExitUsage, "retain: no retain: rules in %s", from.c_str());
  return kExitOk;
}

void print_summary(const Run& run, const Totals& t) {
  std::printf("retain: %s, %s under rules, %s in them\n",
              count_of(t.repositories, "repository", "repositories").c_str(),
              count_of(t.ruled, "repository", "repositories").c_str(), count_of(t.tags, "tag", "tags").c_str());
  std::printf("%s: %s; kept: %" PRId64 " (%" PRId64 " immutable, %" PRId64 " pushed again)%s\n",
              run.dry_run ? "would remove" : "removed", count_of(t.removed, "tag", "tags").c_str(), t.kept,
              t.immutable, t.moved,
              run.dry_run ? "" : t.removed > 0 ? "; registry-admin gc frees what only they named" : "");
}

}  // namespace

int run_retain(Invocation& in) {
  Run run;
  run.dry_run = in.take_flag("--dry-run");
  run.verbose = in.take_flag("--verbose") || in.take_flag("-v");
  bool bad = false;
  std::string rules_file;
  in.take_value("--rules", &rules_file, &bad);
  if (bad) return kExitUsage;
  if (!in.rest().empty()) return fail(kExitUsage, "retain: unexpected argument: %s", in.rest()[0].c_str());
  if (const int opened = open_storage(Open::kRegistry); opened != kExitOk) return opened;
  const settings::Settings s = settings::read_settings(cgi::process_environment());
  if (!s.events_error.empty()) return fail(kExitUsage, "retain: %s", s.events_error.c_str());
  run.events = s.events.on;
  if (const int read = read_rules(s, rules_file, &run); read != kExitOk) return read;

  FindingLog log(in.json(), nullptr);
  run.log = &log;
  run.now = host::now_seconds();
  std::vector<std::string> repos;
  reg_status st;
  if (reg_repositories_each(collect_name, &repos, &st) != 0) {
    return fail(kExitFound, "retain: %s", reg_status_text(st).c_str());
  }
  Totals totals;
  totals.repositories = static_cast<int64_t>(repos.size());
  for (const std::string& repo : repos) {
    const std::vector<const auth::RetainRule*> rules = rules_for(run, repo);
    if (rules.empty()) continue;  // no rule names it: left alone
    ++totals.ruled;
    retain_repository(run, repo, rules, &totals);
  }
  if (in.json()) {
    std::printf("{\"dry_run\":%s,\"repositories\":%" PRId64 ",\"ruled\":%" PRId64 ",\"tags\":%" PRId64
                ",\"removed\":%" PRId64 ",\"kept\":%" PRId64 ",\"immutable\":%" PRId64 ",\"moved\":%" PRId64
                ",\"failed\":%" PRId64 ",\"findings\":%s}\n",
                run.dry_run ? "true" : "false", totals.repositories, totals.ruled, totals.tags, totals.removed,
                totals.kept, totals.immutable, totals.moved, totals.failed, log.json_array().c_str());
  } else {
    print_summary(run, totals);
  }
  if (totals.failed > 0) {
    return fail(kExitFound, "retain: %s (said above)", count_of(totals.failed, "failure", "failures").c_str());
  }
  return kExitOk;
}

}  // namespace admin
