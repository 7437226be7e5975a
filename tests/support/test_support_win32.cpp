// The file helpers of the test support on Windows. Programs under test are
// run from the Linux build (scripts/test-windows), so there is no process
// support here.
#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "test_support.h"

namespace fs = std::filesystem;

namespace testing_support {

TempDir::TempDir() {
  static int counter = 0;
  const fs::path base = fs::temp_directory_path();
  for (;;) {
    const fs::path p = base / ("regtest-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++));
    std::error_code ec;
    if (fs::create_directory(p, ec)) {
      path_ = p.string();
      return;
    }
    if (ec) throw std::runtime_error("cannot make a temporary directory");
  }
}

TempDir::~TempDir() { remove_tree(path_); }

void remove_tree(const std::string& path) {
  std::error_code ec;
  fs::remove_all(path, ec);
}

void make_dirs(const std::string& path) {
  std::error_code ec;
  fs::create_directories(path, ec);
  if (ec && !fs::is_directory(path)) throw std::runtime_error("mkdir failed: " + path);
}

bool is_dir(const std::string& path) {
  std::error_code ec;
  return fs::is_directory(path, ec);
}

bool is_file(const std::string& path) {
  std::error_code ec;
  return fs::is_regular_file(path, ec);
}

bool exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

std::vector<std::string> list_names(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string program_under_test(const std::string& fallback) { return fallback; }

}  // namespace testing_support
