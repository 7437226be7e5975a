// The mirror's place in the handlers.
#include "registry/mirror_hooks.h"

#include "registry/handlers.h"

namespace registry {
namespace {

const MirrorHooks* g_hooks = nullptr;

}  // namespace

void install_mirror_hooks(const MirrorHooks* hooks) { g_hooks = hooks; }

const MirrorHooks* mirror_hooks() { return g_hooks; }

bool mirrored(Call& c, std::string* upstream_name, bool* answered) {
  *answered = false;
  const settings::MirrorSettings& m = c.settings.mirror;
  if (!c.settings.mirror_error.empty()) {
    c.misconfigured("the mirror", c.settings.mirror_error);
    *answered = true;
    return true;
  }
  if (!m.serves(c.req.route().name, upstream_name)) return false;
  if (g_hooks == nullptr) {
#ifdef _WIN32
    c.resp.error(ApiError::kUnsupported, "mirroring another registry is not supported on this host");
#else
    c.resp.error(ApiError::kUnsupported, "this program does not fetch from upstream: serve mirrors with registry-mirror");
#endif
    *answered = true;
  }
  return true;
}

}  // namespace registry
