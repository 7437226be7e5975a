// The registry's handlers, one per endpoint family, and what they are
// given: the request, the settings, what access control established, and
// the response to write. The front door has checked the name, access, the
// method and the reference's form, and readied the storage where the
// route needs it; a handler writes one whole response and returns.
#ifndef REGISTRY_REGISTRY_HANDLERS_H
#define REGISTRY_REGISTRY_HANDLERS_H

#include <string>

#include "access/access_control.h"
#include "registry/request.h"
#include "registry/response.h"
#include "settings/settings.h"
#include "storage/reg_storage.h"

namespace registry {

// Which error each kind of engine failure is, for one operation.
struct FailureMap {
  ApiError invalid;
  ApiError not_found;
  ApiError digest = ApiError::kDigestInvalid;
  ApiError unknown_reference = ApiError::kManifestBlobUnknown;
  ApiError too_large = ApiError::kTooLarge;
  ApiError range = ApiError::kRangeInvalid;
};

class Call {
 public:
  Call(const Request& r, const settings::Settings& s, const auth::Access& a, Response& out, Log& l)
      : req(r), settings(s), access(a), resp(out), log(l) {}

  // One line for the server's error log about a failure answered with a
  // 500: "registry: <operation> <method> <path>: <why>".
  void log_failure(const std::string& operation, const std::string& why) const;
  // Answers the failure the engine reported to st as the map says. A
  // storage failure is a 500, and a line names the operation, the request
  // and the system's error.
  void engine_failure(const FailureMap& map, const char* operation);
  // 500 for settings or files that cannot be used: what is misconfigured
  // ("access control"), and a line with why.
  void misconfigured(const char* what, const std::string& why);
  // The policy whose quota and immutable rules apply, which hold in every
  // mode of access control: access control's, when it read it, else the
  // file read into *own. False once a refusal is written.
  bool policy_in_force(auth::Policy* own, const auth::Policy** out);

  const Request& req;
  const settings::Settings& settings;
  const auth::Access& access;
  Response& resp;
  Log& log;
  // What the engine reports about the call's latest operation: the
  // request's own, so nothing of another request's failure is seen here.
  reg_status st{};
};

using Handler = void (*)(Call&);

void handle_base(Call& c);
void handle_catalog(Call& c);
void handle_tags(Call& c);
void handle_manifest(Call& c);
void handle_blob(Call& c);
void handle_upload_start(Call& c);
void handle_upload_session(Call& c);
void handle_referrers(Call& c);
void handle_token(Call& c);
void handle_metrics(Call& c);

// Counts the request, answered with status after sent bytes were written,
// for the metrics; a failure to count never touches the answer.
void count_request(const Request& req, const settings::Settings& s, int status, int64_t sent);

// The form of a route's reference, checked before the storage is readied:
// false once the refusal is written.
bool manifest_reference_ok(Call& c);
bool digest_reference_ok(Call& c);
bool upload_reference_ok(Call& c);

// A writer of the engine's texts that appends them to the std::string
// ctx points at.
int append_to_string(void* ctx, const char* data, size_t len);

// The largest page of a listing.
inline constexpr int kPageMax = 1000;
// The page size a listing was asked for: n of the query, at most kPageMax;
// *given tells whether n was there.
int page_size(const Request& req, bool* given);
// The Link header line of the page after `page`, or "" when it was the last.
std::string next_page_link(const std::string& path, bool n_given, int n, const reg_page& page);

}  // namespace registry

#endif
