// Arguments, durations, JSON text and the progress line of registry-admin.
#include "admin/admin_cli.h"

#include <chrono>
#include <cinttypes>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "settings/settings.h"
#include "platform/host.h"
#include "storage/reg_status_text.h"
#include "storage/reg_storage.h"
#include "text/json_escape.h"

namespace admin {

std::string g_root;  // --root, when given

namespace {

int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

bool Invocation::take_flag(const char* name) {
  for (size_t i = 0; i < words_.size(); ++i) {
    if (words_[i] == name) {
      words_.erase(words_.begin() + static_cast<std::ptrdiff_t>(i));
      return true;
    }
  }
  return false;
}

bool Invocation::take_value(const char* name, std::string* value, bool* bad) {
  const std::string eq = std::string(name) + "=";
  for (size_t i = 0; i < words_.size(); ++i) {
    if (words_[i].compare(0, eq.size(), eq) == 0) {
      *value = words_[i].substr(eq.size());
      words_.erase(words_.begin() + static_cast<std::ptrdiff_t>(i));
      return true;
    }
    if (words_[i] == name) {
      if (i + 1 >= words_.size()) {
        fail(kExitUsage, "%s needs a value", name);
        *bad = true;
        words_.erase(words_.begin() + static_cast<std::ptrdiff_t>(i));
        return false;
      }
      *value = words_[i + 1];
      words_.erase(words_.begin() + static_cast<std::ptrdiff_t>(i), words_.begin() + static_cast<std::ptrdiff_t>(i) + 2);
      return true;
    }
  }
  return false;
}

int fail(int status, const char* fmt, ...) {
  std::fputs("registry-admin: ", stderr);
  va_list ap;
  va_start(ap, fmt);
  std::vfprintf(stderr, fmt, ap);
  va_end(ap);
  std::fputc('\n', stderr);
  return status;
}

bool parse_duration(const std::string& text, int64_t* seconds) {
  if (text.empty() || text.size() > 12) return false;
  int64_t n = 0;
  size_t i = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) n = n * 10 + (text[i] - '0');
  if (i == 0) return false;
  int64_t unit = 1;
  if (i + 1 == text.size()) {
    switch (text[i]) {
      case 's': unit = 1; break;
      case 'm': unit = 60; break;
      case 'h': unit = 3600; break;
      case 'd': unit = 86400; break;
      default: return false;
    }
  } else if (i != text.size()) {
    return false;
  }
  *seconds = n * unit;
  return true;
}

std::string count_of(int64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string human_bytes(int64_t bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  double v = static_cast<double>(bytes);
  int u = 0;
  while (v >= 1024 && u < 4) v /= 1024, ++u;
  char buf[32];
  if (u == 0) {
    std::snprintf(buf, sizeof buf, "%" PRId64 " B", bytes);
  } else {
    std::snprintf(buf, sizeof buf, "%.1f %s", v, kUnits[u]);
  }
  return buf;
}

std::string json_string(const std::string& text) {
  std::string out = "\"";
  text_json_escape_append(&out, text);
  return out + "\"";
}

Progress::Progress() : on_(host::is_terminal(stderr)) {}

void Progress::update(const char* phase, int64_t done, int64_t total, int64_t bytes) {
  if (!on_) return;
  const int64_t now = now_ms();
  if (phase_ != phase) {
    phase_ = phase;
    phase_started_ms_ = now;
  } else if (now - drawn_ms_ < 200 && done != total) {
    return;
  }
  drawn_ms_ = now;
  char line[160];
  int n = total > 0 ? std::snprintf(line, sizeof line, "%s: %" PRId64 "/%" PRId64, phase, done, total)
                    : std::snprintf(line, sizeof line, "%s: %" PRId64, phase, done);
  const int64_t elapsed = now - phase_started_ms_;
  if (bytes > 0 && elapsed > 0 && n > 0 && static_cast<size_t>(n) < sizeof line) {
    // In the binary units of every other figure the tool prints.
    const double mib = static_cast<double>(bytes) / (1024.0 * 1024.0) / (static_cast<double>(elapsed) / 1000.0);
    std::snprintf(line + n, sizeof line - static_cast<size_t>(n), ", %.1f MiB/s", mib);
  }
  std::fprintf(stderr, "\r\033[K%s", line);
  std::fflush(stderr);
  shown_ = true;
}

void Progress::clear() {
  if (!shown_) return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  shown_ = false;
}

void FindingLog::report(void* ctx, const reg_finding* f) {
  auto* log = static_cast<FindingLog*>(ctx);
  ++log->count_;
  const std::string repo = f->repository, item = f->item, kind = f->kind;
  if (log->json_) {
    log->json_items_.push_back("{\"kind\":" + json_string(kind) + ",\"repository\":" + json_string(repo) +
                               ",\"item\":" + json_string(item) + ",\"bytes\":" + std::to_string(f->bytes) +
                               ",\"problem\":" + json_string(f->problem) + ",\"action\":" +
                               json_string(f->action) + "}");
    return;
  }
  std::string where;
  if (repo.empty() || item.empty()) {
    where = repo + item;
  } else if (kind == "tag") {
    where = repo + ":" + item;
  } else if (item.compare(0, 7, "sha256:") == 0 || item.compare(0, 7, "sha512:") == 0) {
    where = repo + "@" + item;
  } else {
    where = repo + "/" + item;
  }
  std::string line = f->action[0] != '\0' ? std::string(f->action) + " " : std::string();
  line += kind + " " + where;
  if (f->bytes > 0) line += " (" + human_bytes(f->bytes) + ")";
  line += std::string(": ") + f->problem;
  if (log->progress_ != nullptr) log->progress_->clear();
  std::printf("%s\n", line.c_str());
}

std::string FindingLog::json_array() const {
  std::string out = "[";
  for (size_t i = 0; i < json_items_.size(); ++i) {
    if (i > 0) out += ",";
    out += json_items_[i];
  }
  return out + "]";
}

void Reporting::attach(reg_progress_fn* on_progress, reg_finding_fn* on_finding, void** ctx) {
  *ctx = this;
  *on_progress = [](void* c, const char* phase, int64_t done, int64_t total, int64_t bytes) {
    static_cast<Reporting*>(c)->progress->update(phase, done, total, bytes);
  };
  *on_finding = [](void* c, const reg_finding* f) { FindingLog::report(static_cast<Reporting*>(c)->log, f); };
}

int open_storage(Open how) {
  char root[host::kPathMax] = {};
  if (!g_root.empty()) {
    if (g_root.size() >= sizeof root) return fail(kExitUsage, "--root: longer than %d characters", static_cast<int>(sizeof root - 1));
    std::memcpy(root, g_root.c_str(), g_root.size() + 1);
  } else {
    const settings::Settings s = settings::read_settings(cgi::process_environment());
    if (!s.root_error.empty()) return fail(kExitUsage, "%s", s.root_error.c_str());
    // Never a default: a command run in the wrong directory would make an
    // empty registry there and find it healthy.
    if (!s.root_configured) {
      return fail(kExitUsage,
                  "no storage root: name it with --root DIR, with REGISTRY_STORAGE_ROOT, or as \"storage_root\" "
                  "in a config.json in the working directory");
    }
    std::memcpy(root, s.root.c_str(), s.root.size() + 1);
  }
  int rc = -1;
  reg_status st;
  switch (how) {
    case Open::kRegistry: rc = reg_storage_open(root, &st); break;
    case Open::kRootOnly: rc = reg_storage_attach(root, 0, &st); break;
    case Open::kRootMadeIfMissing: rc = reg_storage_attach(root, 1, &st); break;
  }
  if (rc == 0) return kExitOk;
  return fail(kExitFound, "%s", reg_status_text(st).c_str());
}

}  // namespace admin
