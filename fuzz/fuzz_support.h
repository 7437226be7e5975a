// Helpers shared by the fuzz targets that work on a real tree.
#ifndef REGISTRY_FUZZ_SUPPORT_H
#define REGISTRY_FUZZ_SUPPORT_H

#include <dirent.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace fuzz_support {

inline void remove_tree(const std::string& path) {
  if (DIR* d = opendir(path.c_str())) {
    while (dirent* e = readdir(d)) {
      if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
      remove_tree(path + "/" + e->d_name);
    }
    closedir(d);
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

}  // namespace fuzz_support

#endif
