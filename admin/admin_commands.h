// The commands of registry-admin, one unit each.
#ifndef REGISTRY_ENDPOINT_ADMIN_COMMANDS_H
#define REGISTRY_ENDPOINT_ADMIN_COMMANDS_H

#include "admin/admin_cli.h"

namespace admin {

int run_gc(Invocation& in);
int run_scrub(Invocation& in);
int run_fsck(Invocation& in);
int run_stats(Invocation& in);
int run_du(Invocation& in);
int run_user(Invocation& in);
int run_events(Invocation& in);
int run_retain(Invocation& in);

}  // namespace admin

#endif
