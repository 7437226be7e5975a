#include "endpoint/admin_commands.h"
namespace admin {
int run_scrub(Invocation&) { return fail(kExitFound, "scrub: not built yet"); }
int run_fsck(Invocation&) { return fail(kExitFound, "fsck: not built yet"); }
int run_du(Invocation&) { return fail(kExitFound, "du: not built yet"); }
}
