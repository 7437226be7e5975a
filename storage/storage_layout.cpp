// Path builders of the storage tree.
#include "storage/storage_layout.h"

#include <cstdio>

#include "platform/host.h"
#include "storage/storage_internal.h"

namespace storage {

void path_join(char* out, size_t cap, const char* first, const char* second) {
  const char sep[2] = {host::kSep, '\0'};
  std::snprintf(out, cap, "%s%s%s", first, sep, second);
}

void repos_dir(char* out, size_t cap) { path_join(out, cap, s_root, kRepositoriesDir); }

}  // namespace storage
