// GET /metrics (kMetricsPath) in Prometheus' text format 0.0.4, and the
// counting of every request that feeds it. A request's counts go to the
// tree once it is answered (see reg_metrics_record), so a CGI program,
// which ends with its request, adds to the same totals as a FastCGI
// responder and as every other machine serving the tree.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "registry/handlers.h"
#include "registry/storage_root.h"

namespace registry {
namespace {

// The stored amounts may be this many seconds old: at most one recount of
// the tree a minute, however often and from however many places anyone
// scrapes.
constexpr int64_t kRecountMaxAge = 60;

constexpr char kRequests[] = "registry_http_requests_total";
constexpr char kReceived[] = "registry_bytes_received_total";
constexpr char kSent[] = "registry_bytes_sent_total";

// A method as a label: the methods of HTTP that clients send, and "other"
// for anything else, so that no client can make series of its own.
const char* method_label(const std::string& method) {
  static const char* const kKnown[] = {"GET", "HEAD", "PUT", "POST", "PATCH", "DELETE", "OPTIONS"};
  for (const char* m : kKnown) {
    if (method == m) return m;
  }
  return "other";
}

// A route as a label: its name, '_' for a space.
std::string route_label(RouteKind kind) {
  std::string name = route_name(kind);
  for (char& ch : name) {
    if (ch == ' ') ch = '_';
  }
  return name;
}

// The body's length as the request declares it; 0 for none or a length
// of no valid form.
int64_t declared_length(const Request& req) {
  const std::string text = req.var("CONTENT_LENGTH");
  if (text.empty() || text.size() > 18) return 0;
  int64_t n = 0;
  for (const char ch : text) {
    if (ch < '0' || ch > '9') return 0;
    n = n * 10 + (ch - '0');
  }
  return n;
}

struct Family {
  const char* name;
  const char* type;
  const char* help;
  bool zero_alone;  // without a series yet, one of 0
};

constexpr Family kCounted[] = {
    {kRequests, "counter", "Requests answered, by route, method and status.", false},
    {kReceived, "counter", "Bytes of request bodies, by their declared length (pushed).", true},
    {kSent, "counter", "Bytes of answers written by the registry, headers included (pulled).", true},
};

void family_head(std::string* out, const char* name, const char* type, const char* help) {
  *out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

// The series of the totals that belong to the family name.
void family_lines(const std::string& totals, const std::string& name, std::string* out, bool* any) {
  size_t start = 0;
  while (start < totals.size()) {
    size_t end = totals.find('\n', start);
    if (end == std::string::npos) end = totals.size();
    const bool ours = totals.compare(start, name.size(), name) == 0 && start + name.size() < end &&
                      (totals[start + name.size()] == '{' || totals[start + name.size()] == ' ');
    if (ours) {
      out->append(totals, start, end - start + 1);
      *any = true;
    }
    start = end + 1;
  }
}

void gauge(std::string* out, const char* name, const char* help, int64_t value) {
  family_head(out, name, "gauge", help);
  *out += std::string(name) + " " + std::to_string(value) + "\n";
}

std::string exposition(const std::string& totals, const reg_amounts& a) {
  std::string out;
  for (const Family& f : kCounted) {
    family_head(&out, f.name, f.type, f.help);
    bool any = false;
    family_lines(totals, f.name, &out, &any);
    if (!any && f.zero_alone) out += std::string(f.name) + " 0\n";
  }
  gauge(&out, "registry_repositories", "Repositories.", a.repositories);
  gauge(&out, "registry_manifests", "Manifests, counted once in each repository that holds them.", a.manifests);
  gauge(&out, "registry_tags", "Tags.", a.tags);
  gauge(&out, "registry_blobs", "Blobs in the blob store.", a.blobs);
  gauge(&out, "registry_blob_bytes", "Bytes of the blobs in the blob store.", a.blob_bytes);
  gauge(&out, "registry_uploads_in_progress", "Blob uploads begun and not yet finished or cancelled.", a.uploads);
  gauge(&out, "registry_upload_bytes", "Bytes received so far by the uploads in progress.", a.upload_bytes);
  gauge(&out, "registry_events_pending", "Events in the outbox, not yet delivered.", a.events_pending);
  gauge(&out, "registry_recount_age_seconds",
        "Seconds since the recount of the tree that repositories, manifests, tags and blobs come from.",
        a.recount_age);
  return out;
}

}  // namespace

void handle_metrics(Call& c) {
  if (!c.settings.metrics_error.empty()) return c.misconfigured("metrics", c.settings.metrics_error);
  const FailureMap failures{ApiError::kStorage, ApiError::kStorage};
  std::string totals;
  if (reg_metrics_totals(append_to_string, &totals, &c.st) != 0) return c.engine_failure(failures, "metrics");
  reg_amounts amounts{};
  if (reg_metrics_amounts(kRecountMaxAge, &amounts, &c.st) != 0) return c.engine_failure(failures, "metrics");
  const std::string text = exposition(totals, amounts);
  c.resp.begin(200);
  c.resp.header_line("Content-Type: text/plain; version=0.0.4; charset=utf-8");
  c.resp.header_line("Cache-Control: no-store");
  c.resp.header_number("Content-Length", static_cast<int64_t>(text.size()));
  c.resp.end_headers();
  if (!c.resp.head()) c.resp.write(text.data(), text.size());
  c.resp.flush();
}

void count_request(const Request& req, const settings::Settings& s, int status, int64_t sent) {
  if (!s.metrics) return;
  reg_status st{};
  // A request that did not need the tree (GET /v2/, a refusal) has the
  // engine take the root alone: a count needs no more of the tree, and
  // readying all of it would cost such a request more than its count.
  // A count never makes a root: where there is none, nothing is counted.
  if (!storage_ready_on(s) && (!s.root_error.empty() || reg_storage_attach(s.root.c_str(), 0, &st) != 0)) return;
  char line[256];
  int n = std::snprintf(line, sizeof line, "%s{route=\"%s\",method=\"%s\",status=\"%d\"} 1\n%s %" PRId64 "\n", kRequests,
                        route_label(req.route().kind).c_str(), method_label(req.method()), status, kSent, sent);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof line) return;
  std::string text(line, static_cast<size_t>(n));
  const int64_t received = declared_length(req);
  if (received > 0) text += std::string(kReceived) + " " + std::to_string(received) + "\n";
  reg_metrics_record(text.data(), text.size(), &st);
}

}  // namespace registry
