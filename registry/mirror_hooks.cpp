// The mirror's place in the handlers.
#include "registry/mirror_hooks.h"

#include "registry/handlers.h"

namespace registry {
namespace {

const MirrorHooks* g_hooks = nullptr;

}  // namespace

void install_mirror_hooks(const MirrorHooks* hooks) { g_hooks = hooks; }

const MirrorHooks* mirror_hooks() { return g_hooks; }

bool mirrored(Call& c, settings::MirrorTarget* t, bool* answered) {
  *answered = false;
  if (!c.settings.mirror_error.empty()) {
    c.misconfigured("the mirror", c.settings.mirror_error);
    *answered = true;
    return true;
  }
  if (!c.settings.mirror_for(c.req.route().name, t)) return false;
  if (g_hooks == nullptr) {
    c.resp.error(ApiError::kUnsupported, "this program does not fetch from upstream: serve mirrors with registry-mirror");
    *answered = true;
  }
  return true;
}

}  // namespace registry
