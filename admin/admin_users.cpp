// registry-admin user add|remove|list: the users' htpasswd file that the
// token endpoint checks Basic credentials against (REGISTRY_AUTH_HTPASSWD,
// else <root>/auth/htpasswd). Hashes are bcrypt, made by the system's
// crypt library, so htpasswd -B and the registry read each other's files.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "admin/admin_cli.h"
#include "admin/admin_commands.h"
#include "access/auth_files.h"
#include "access/htpasswd.h"
#include "settings/settings.h"
#include "platform/host.h"
#include "storage/reg_storage.h"

namespace admin {
namespace {

constexpr int kDefaultCost = 10;

// One line from in, without its line end; false at the end of input.
bool read_line(FILE* in, std::string* line) {
  line->clear();
  int c;
  bool any = false;
  while ((c = std::fgetc(in)) != EOF) {
    any = true;
    if (c == '\n') break;
    line->push_back(static_cast<char>(c));
  }
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return any;
}

// The new password: typed twice at a terminal with the echo off, or the
// first line of standard input (a script's pipe).
bool read_password(std::string* password) {
  if (!host::is_terminal(stdin)) {
    if (!read_line(stdin, password)) return fail(kExitUsage, "no password on standard input") == 0;
    return true;
  }
  std::string again;
  std::fputs("Password: ", stderr);
  host::set_terminal_echo(stdin, false);
  const bool got = read_line(stdin, password);
  std::fputs("\nPassword again: ", stderr);
  const bool got_again = got && read_line(stdin, &again);
  host::set_terminal_echo(stdin, true);
  std::fputc('\n', stderr);
  if (!got_again) return fail(kExitUsage, "no password given") == 0;
  if (*password != again) return fail(kExitUsage, "the two passwords differ") == 0;
  return true;
}

// The directory that holds path ("." for a bare name).
std::string directory_of(const std::string& path) {
  const size_t sep = path.find_last_of("/\\");
  if (sep == std::string::npos) return ".";
  return sep == 0 ? path.substr(0, 1) : path.substr(0, sep);
}

// Refuses, naming the user to run as, where this process cannot make what
// it writes belong to whom the file must belong to.
bool may_write_as(const std::string& path, const host::Ownership& owner) {
  if (host::may_give_ownership(owner)) return true;
  char name[128];
  host::owner_name(owner, name, sizeof name);
  return fail(kExitFound, "%s belongs to %s: run registry-admin as %s (runuser -u %s -- registry-admin ...)",
              path.c_str(), name, name, name) == 0;
}

// Who the users' file must belong to: whom it belongs to now, with its
// permission bits; a first file, to whom its directory belongs, readable
// by that owner alone. Written by root as root's, it would lock the web
// server's user out of every login.
bool owner_for(const std::string& path, host::Ownership* owner) {
  if (host::ownership_of(path.c_str(), owner)) return true;
  if (!host::last_error_is_absence()) {
    return fail(kExitFound, "%s", host::with_last_error("cannot look at " + path).c_str()) == 0;
  }
  const std::string dir = directory_of(path);
  if (!host::ownership_of(dir.c_str(), owner)) {
    return fail(kExitFound, "%s", host::with_last_error("cannot look at " + dir).c_str()) == 0;
  }
  owner->mode = 0600;
  return true;
}

// Rewrites the users' file whole: a private temporary file beside it, given
// the file's owner, then a rename over it, so a reader sees the old file
// or the new one, and the same users can read it.
bool write_users(const std::string& path, const std::vector<auth::HtpasswdEntry>& entries) {
  host::Ownership owner;
  if (!owner_for(path, &owner) || !may_write_as(path, owner)) return false;
  const std::string temp = path + ".new-" + std::to_string(host::process_id());
  bool taken = false;
  host::remove_file(temp.c_str());
  FILE* f = host::create_private_file(temp.c_str(), &taken);
  if (f == nullptr) {
    return fail(kExitFound, "%s", host::with_last_error("cannot create " + temp).c_str()) == 0;
  }
  if (!host::give_ownership(f, owner)) {
    const std::string why = host::with_last_error("cannot give " + temp + " the owner of " + path);
    std::fclose(f);
    host::remove_file(temp.c_str());
    return fail(kExitFound, "%s", why.c_str()) == 0;
  }
  const std::string text = auth::htpasswd_text(entries);
  const bool written = host::write_bytes(f, text.data(), text.size());
  if (std::fclose(f) != 0 || !written || !host::rename_replace(temp.c_str(), path.c_str())) {
    const std::string why = host::with_last_error("cannot write " + path);
    host::remove_file(temp.c_str());
    return fail(kExitFound, "%s", why.c_str()) == 0;
  }
  return true;
}

// The default users' file's directory, made the first time, belonging to
// whom the storage root belongs to: made as root's, it would keep the web
// server's user from making the token key there.
bool make_auth_dir() {
  char dir[host::kPathMax];
  if (reg_auth_path(REG_AUTH_DIR, dir, sizeof dir, nullptr) != 0) return fail(kExitFound, "no room for the auth directory's path") == 0;
  host::Attributes a;
  if (host::get_attributes(dir, &a)) return true;
  const std::string root = directory_of(dir);
  host::Ownership owner;
  if (!host::ownership_of(root.c_str(), &owner)) {
    return fail(kExitFound, "%s", host::with_last_error("cannot look at " + root).c_str()) == 0;
  }
  if (!may_write_as(root, owner)) return false;
  if (host::make_dir(dir) == host::MkdirResult::kFailed) {
    return fail(kExitFound, "%s", host::with_last_error(std::string("cannot make ") + dir).c_str()) == 0;
  }
  if (!host::give_dir_ownership(dir, owner)) {
    return fail(kExitFound, "%s",
                host::with_last_error(std::string("cannot give ") + dir + " the owner of " + root).c_str()) == 0;
  }
  return true;
}

}  // namespace

int run_user(Invocation& in) {
  bool bad = false;
  std::string cost_text;
  const bool cost_given = in.take_value("--cost", &cost_text, &bad);
  if (bad) return kExitUsage;
  const std::vector<std::string>& words = in.rest();
  if (words.empty()) return fail(kExitUsage, "user: add NAME, remove NAME or list");
  const std::string& verb = words[0];
  const bool names_user = verb == "add" || verb == "remove";
  if (!(names_user && words.size() == 2) && !(verb == "list" && words.size() == 1)) {
    return fail(kExitUsage, "user: add NAME, remove NAME or list");
  }
  int cost = kDefaultCost;
  if (cost_given) {
    char* end = nullptr;
    const long v = std::strtol(cost_text.c_str(), &end, 10);
    if (verb != "add" || end == cost_text.c_str() || *end != '\0' || v < 4 || v > 31) {
      return fail(kExitUsage, "--cost: a bcrypt cost from 4 to 31, for user add");
    }
    cost = static_cast<int>(v);
  }
  const settings::Settings all = settings::read_settings(cgi::process_environment());
  std::string why;
  if (!all.auth_error.empty()) return fail(kExitUsage, "%s", all.auth_error.c_str());
  const settings::AuthSettings& auth = all.auth;
  // The first user may come before the registry first serves: the root
  // is made then, and nothing of the tree below it but auth/.
  const int opened = open_storage(verb == "add" ? Open::kRootMadeIfMissing : Open::kRootOnly);
  if (opened != kExitOk) return opened;
  const std::string path = auth::users_path(auth);
  std::vector<auth::HtpasswdEntry> users;
  if (!auth::load_users(auth, &users, &why)) return fail(kExitFound, "%s", why.c_str());

  if (verb == "list") {
    if (in.json()) {
      std::string out = "[";
      for (size_t i = 0; i < users.size(); ++i) {
        if (i > 0) out += ',';
        out += json_string(users[i].user);
      }
      std::printf("%s]\n", out.c_str());
    } else {
      for (const auth::HtpasswdEntry& e : users) std::printf("%s\n", e.user.c_str());
    }
    return kExitOk;
  }
  const std::string& name = words[1];
  if (!auth::user_name_valid(name)) {
    return fail(kExitUsage, "user: \"%s\" cannot be a user name (no ':', spaces or control characters; "
                            "\"anonymous\" and \"*\" are the policy's)", name.c_str());
  }
  size_t at = users.size();
  for (size_t i = 0; i < users.size(); ++i) {
    if (users[i].user == name && at == users.size()) at = i;
  }
  if (verb == "remove") {
    if (at == users.size()) return fail(kExitFound, "user: no user %s in %s", name.c_str(), path.c_str());
    users.erase(users.begin() + static_cast<std::ptrdiff_t>(at));
    if (!write_users(path, users)) return kExitFound;
    std::fprintf(stderr, "registry-admin: removed %s from %s\n", name.c_str(), path.c_str());
    return kExitOk;
  }
  std::string password;
  if (!read_password(&password)) return kExitUsage;
  if (password.empty()) return fail(kExitUsage, "user: an empty password");
  if (const char* refusal = auth::password_refusal(password)) return fail(kExitUsage, "user: %s", refusal);
  char hash[128];
  if (!host::hash_password(password, cost, hash, sizeof hash)) {
    return fail(kExitFound, "user: the system's crypt library made no bcrypt hash");
  }
  const bool added = at == users.size();
  if (added) {
    users.push_back({name, hash});
  } else {
    users[at].hash = hash;
  }
  if (auth.htpasswd.empty() && !make_auth_dir()) return kExitFound;
  if (!write_users(path, users)) return kExitFound;
  std::fprintf(stderr, "registry-admin: %s %s in %s\n", added ? "added" : "changed the password of", name.c_str(),
               path.c_str());
  return kExitOk;
}

}  // namespace admin
