// registry-admin: the operator's command for a registry's storage tree,
// run beside the serving registry (never needing it stopped). The command
// table decides which command runs; each lives in its own unit.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "admin/admin_cli.h"
#include "admin/admin_commands.h"

namespace admin {
extern std::string g_root;
}  // namespace admin

namespace {

struct Command {
  const char* name;
  const char* synopsis;
  int (*run)(admin::Invocation&);
};

constexpr Command kCommands[] = {
    {"gc", "gc [--dry-run] [--grace DURATION] [--delete-untagged] [--upload-age DURATION] [--mirror-unpulled-for DURATION]", admin::run_gc},
    {"scrub", "scrub [--repair] [--threads N]", admin::run_scrub},
    {"fsck", "fsck [--repair] [--grace DURATION]", admin::run_fsck},
    {"stats", "stats", admin::run_stats},
    {"du", "du", admin::run_du},
    {"user", "user add NAME [--cost N] | user remove NAME | user list", admin::run_user},
    {"events", "events list | events deliver [--follow] [--interval DURATION] [--config FILE]", admin::run_events},
    {"retain", "retain [--dry-run] [--verbose] [--rules FILE]", admin::run_retain},
};

void print_usage(FILE* out) {
  std::fputs("usage: registry-admin [--root DIR] [--json] COMMAND [OPTIONS]\n\ncommands:\n", out);
  for (const Command& c : kCommands) std::fprintf(out, "  %s\n", c.synopsis);
  std::fputs(
      "\nThe storage root is found as the registry finds it (REGISTRY_STORAGE_ROOT,\n"
      "else config.json in the working directory) unless --root names it.\n"
      "DURATION: a number with s, m, h or d (\"30s\", \"7d\").\n",
      out);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> words(argv + 1, argv + argc);
  bool json = false;
  std::string command;
  std::vector<std::string> rest;
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& w = words[i];
    if (w == "--json") {
      json = true;
    } else if (w == "--root" && i + 1 < words.size()) {
      admin::g_root = words[++i];
    } else if (w.compare(0, 7, "--root=") == 0) {
      admin::g_root = w.substr(7);
    } else if (w == "--root") {
      return admin::fail(admin::kExitUsage, "--root needs a value");
    } else if (w == "--help" || w == "-h" || w == "help") {
      print_usage(stdout);
      return admin::kExitOk;
    } else if (command.empty() && w.compare(0, 1, "-") != 0) {
      command = w;
    } else {
      rest.push_back(w);
    }
  }
  if (command.empty()) {
    print_usage(stderr);
    return admin::kExitUsage;
  }
  for (const Command& c : kCommands) {
    if (command != c.name) continue;
    admin::Invocation in(rest, json);
    return c.run(in);
  }
  admin::fail(admin::kExitUsage, "unknown command: %s", command.c_str());
  print_usage(stderr);
  return admin::kExitUsage;
}
