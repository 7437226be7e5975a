// Where a mirror joins the handlers: at the points where content a
// mirrored repository should hold is not stored. The program that mirrors
// installs its fetching here before it serves; a program without them
// refuses mirrored repositories' reads that miss.
#ifndef REGISTRY_REGISTRY_MIRROR_HOOKS_H
#define REGISTRY_REGISTRY_MIRROR_HOOKS_H

#include <string>

#include "settings/settings.h"

namespace registry {

class Call;

struct MirrorHooks {
  // Before a manifest GET or HEAD of a mirrored repository: fetches or
  // refreshes the manifest from upstream as needed. true when the answer
  // is written (an error); false to serve what is stored.
  bool (*manifest)(Call& c, const settings::MirrorTarget& t);
  // A blob GET or HEAD of a mirrored repository that does not hold the
  // blob: true when the answer is written (the blob, streamed as it is
  // fetched, or an error); false to serve it as stored (another process
  // fetched it meanwhile).
  bool (*blob)(Call& c, const settings::MirrorTarget& t);
  // Before a referrers GET or HEAD of a mirrored repository: asks upstream
  // for the referrers of the digest when they were not asked for within
  // the tags' time to live, and stores the manifests it lists. true when
  // the answer is written (an error); false to serve what is stored.
  bool (*referrers)(Call& c, const settings::MirrorTarget& t);
};

void install_mirror_hooks(const MirrorHooks* hooks);
const MirrorHooks* mirror_hooks();

// The mirror's part of a request, called by the handlers: the upstream
// and the name there when the request's repository is mirrored (false
// when it is not). Where the program has no mirror, the refusal is written and
// *answered set.
bool mirrored(Call& c, settings::MirrorTarget* t, bool* answered);

}  // namespace registry

#endif
