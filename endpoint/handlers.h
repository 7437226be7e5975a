// The registry's handlers, one per endpoint family. Each answers the
// methods its route allows and ends with a whole response.
#ifndef REGISTRY_ENDPOINT_HANDLERS_H
#define REGISTRY_ENDPOINT_HANDLERS_H

#include <string>

#include "endpoint/routes.h"

namespace endpoint {

void handle_base(const Route& route);
void handle_catalog(const Route& route);
void handle_tags(const Route& route);
void handle_manifest(const Route& route);
void handle_blob(const Route& route);
void handle_upload_start(const Route& route);
void handle_upload_session(const Route& route);
void handle_referrers(const Route& route);
void handle_token(const Route& route);

// "sha256:" and 64, or "sha512:" and 128, lower-case hex digits: the
// digests the registry serves.
bool digest_form_valid(const std::string& digest);

// Readies the storage engine, or answers 500 (the cause is logged).
void storage_or_fail();
// The largest page of a listing: a page of names of at most 255 bytes
// then always fits the engine's result buffer.
inline constexpr int kPageMax = 1000;
// The page size a listing was asked for: n of the query, at most kPageMax;
// *given tells whether n was there.
int page_size(bool* given);
// The Link header line of the next page, or "" when the page was the last.
std::string next_page_link(const std::string& path, bool n_given, int n);

}  // namespace endpoint

#endif
