// Runs a fuzz target over files, or over every file in directories, without
// libFuzzer: the corpus replay that every build runs as a test.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_target.h"

namespace {

int replay(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
    return 1;
  }
  if (S_ISDIR(st.st_mode)) {
    int failures = 0;
    std::vector<std::string> names;
    if (DIR* d = opendir(path.c_str())) {
      while (dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') names.push_back(e->d_name);
      }
      closedir(d);
    }
    for (const std::string& n : names) failures += replay(path + "/" + n);
    return failures;
  }
  std::ifstream f(path, std::ios::binary);
  std::ostringstream ss;
  ss << f.rdbuf();
  const std::string data = ss.str();
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(data.data()), data.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int failures = 0;
  int files = 0;
  for (int i = 1; i < argc; ++i) {
    failures += replay(argv[i]);
    ++files;
  }
  std::printf("replayed %d path(s), %d unreadable\n", files, failures);
  return failures == 0 ? 0 : 1;
}
