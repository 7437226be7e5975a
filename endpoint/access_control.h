// Access control on every request of the API: whether it may go on, by
// the signed token it carries (REGISTRY_AUTH=token) or by the user the web
// server authenticated (REGISTRY_AUTH=remote-user), and the policy.
#ifndef REGISTRY_ENDPOINT_ACCESS_CONTROL_H
#define REGISTRY_ENDPOINT_ACCESS_CONTROL_H

#include <string>

#include "endpoint/routes.h"
#include "storage/reg_storage.h"

namespace endpoint {

// Lets the request on route go on, or answers it and ends the process:
// 401 with a challenge naming what the request needs when it carries no
// valid credentials, 403 DENIED when its user may not do what it asks, 500
// when the settings or files of access control cannot be used. Nothing
// happens with access control off.
void enforce_access(const Route& route);

// After enforce_access: whether the request's user may pull the
// repository (the source of a mount). true with access control off.
bool may_pull(const std::string& name);

// After enforce_access: the filter that keeps the repositories the user
// may pull in the catalog; null with access control off.
reg_name_filter catalog_filter();

}  // namespace endpoint

#endif
