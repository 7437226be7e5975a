// The mirror's fetching, joined to the handlers (registry/mirror_hooks.h).
#ifndef REGISTRY_MIRROR_MIRROR_FETCH_H
#define REGISTRY_MIRROR_MIRROR_FETCH_H

namespace mirror {

// Installs the mirror's hooks: done once, before the first request.
void install();

}  // namespace mirror

#endif
