// The engine's process-wide state and its error convention.
#ifndef REGISTRY_STORAGE_STATE_H
#define REGISTRY_STORAGE_STATE_H

#include <cstddef>

#include "storage/reg_storage.h"

namespace storage {

inline constexpr size_t kRootCap = REG_ROOT_MAX + 1;
inline constexpr size_t kErrorCap = 1024;
// The largest manifest the engine takes (4 MiB, as the common registries),
// and the shared result buffer that holds one with its NUL. Pages of
// untouched static memory cost nothing.
inline constexpr size_t kManifestMax = 4u << 20;
inline constexpr size_t kResultCap = kManifestMax + 1;

extern char s_root[kRootCap];
extern int s_ready;
extern char s_error[kErrorCap];
extern char s_result[kResultCap];

// Formats the message of the failure being reported into s_error and
// records its kind; a storage failure also keeps the system's error text.
void set_error(reg_error_kind kind, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// 0 when the engine is ready; else -1 with the "not initialized" message.
int require_ready();

}  // namespace storage

#endif
