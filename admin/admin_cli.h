// What every registry-admin command shares: its arguments, durations,
// JSON text, and the progress line a person watching a terminal sees.
#ifndef REGISTRY_ENDPOINT_ADMIN_CLI_H
#define REGISTRY_ENDPOINT_ADMIN_CLI_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "storage/upkeep/reg_maintenance.h"

namespace admin {

// The words after the command's name, with the options every command
// takes (--json, --root DIR) already taken out.
class Invocation {
 public:
  Invocation(std::vector<std::string> words, bool json) : words_(std::move(words)), json_(json) {}
  bool json() const { return json_; }
  // Takes the flag out of the words when it is there.
  bool take_flag(const char* name);
  // Takes "--name VALUE" or "--name=VALUE" out; false when absent. A name
  // without its value is a usage error (reported, *bad set).
  bool take_value(const char* name, std::string* value, bool* bad);
  // The words left once every option is taken: operands, or strays that
  // make a usage error.
  const std::vector<std::string>& rest() const { return words_; }

 private:
  std::vector<std::string> words_;
  bool json_;
};

// Exit statuses of every command.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFound = 1;    // something is wrong (found, or failed)
inline constexpr int kExitUsage = 2;

// Prints "registry-admin: <message>" on standard error; returns status.
int fail(int status, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// "30s", "15m", "2h", "7d", or plain seconds: false for anything else.
bool parse_duration(const std::string& text, int64_t* seconds);
// "1 blob", "2 blobs", "0 blobs": the number and the noun that fits it.
std::string count_of(int64_t n, const char* one, const char* many);
// 1536 -> "1.5 KiB".
std::string human_bytes(int64_t bytes);
// A JSON string literal of text.
std::string json_string(const std::string& text);

// The line "phase: done/total, N MiB/s" on standard error, kept in
// place and redrawn a few times a second, when standard error is a
// terminal; nothing otherwise.
class Progress {
 public:
  Progress();
  ~Progress() { clear(); }
  void update(const char* phase, int64_t done, int64_t total, int64_t bytes);
  // Takes the line away (before other output, and at the end).
  void clear();

 private:
  bool on_;
  bool shown_ = false;
  int64_t drawn_ms_ = 0;
  std::string phase_;
  int64_t phase_started_ms_ = 0;
};

// What the engine finds, as lines on standard output ("removed blob
// sha256:... (4.0 KiB): no manifest refers to it"), or kept for the JSON
// report.
class FindingLog {
 public:
  FindingLog(bool json, Progress* progress) : json_(json), progress_(progress) {}
  // The engine's finding callback, with ctx a FindingLog.
  static void report(void* ctx, const reg_finding* f);
  // [{"kind":...,"repository":...,"item":...,"bytes":N,"problem":...,"action":...},...]
  std::string json_array() const;
  int64_t count() const { return count_; }

 private:
  bool json_;
  Progress* progress_;
  int64_t count_ = 0;
  std::vector<std::string> json_items_;
};

// The progress line and the finding log behind the engine's two
// callbacks and their one context.
struct Reporting {
  Progress* progress;
  FindingLog* log;
  void attach(reg_progress_fn* on_progress, reg_finding_fn* on_finding, void** ctx);
};

// What a command needs of the storage root.
enum class Open {
  kRegistry,           // a registry that exists (every maintenance command)
  kRootOnly,           // the directory, whether a registry has served from it or not
  kRootMadeIfMissing,  // the same, made when missing (the first user, before the first request)
};
// Readies the engine on the storage root that --root names, else that the
// registry would find (REGISTRY_STORAGE_ROOT, config.json), never making
// a registry where there is none. kExitOk; else prints why and returns
// the exit status (kExitUsage when no root is named at all).
int open_storage(Open how);

}  // namespace admin

#endif
