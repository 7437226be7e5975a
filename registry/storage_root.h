// The storage engine readied on the root the settings name, once per
// process and root.
#ifndef REGISTRY_REGISTRY_STORAGE_ROOT_H
#define REGISTRY_REGISTRY_STORAGE_ROOT_H

#include <string>

#include "settings/settings.h"

namespace registry {

enum class StorageReady {
  kReady,
  kBadSetting,  // the root cannot be had as configured: why is the setting's sentence
  kFailed,      // the engine could not start on it: why is its message and the system's word
};

// Readies the engine on s's root unless it is ready on it already.
StorageReady ready_storage(const settings::Settings& s, std::string* why);
// Whether ready_storage has readied it on s's root.
bool storage_ready_on(const settings::Settings& s);

}  // namespace registry

#endif
