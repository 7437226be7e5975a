// reg_manifest_put over arbitrary bodies, references and names against a
// temporary root, checking that nothing is ever written outside the root
// and that what was stored comes back whole.
// Input: name length, reference length, name, reference, body.
#include "fuzz/fuzz_target.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "storage/reg_storage.h"

namespace {

using fuzz_support::remove_tree;

std::string s_parent;
std::string s_root;
unsigned s_runs = 0;

// The parent of the root holds the root and nothing else.
void check_nothing_outside() {
  DIR* d = opendir(s_parent.c_str());
  if (d == nullptr) std::abort();
  while (dirent* e = readdir(d)) {
    if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..") && std::strcmp(e->d_name, "root")) {
      std::fprintf(stderr, "written outside the root: %s\n", e->d_name);
      std::abort();
    }
  }
  closedir(d);
}

void cleanup_at_exit() { remove_tree(s_parent); }

void setup_once() {
  if (!s_root.empty()) return;
  char templ[] = "/tmp/fuzzput.XXXXXX";
  if (mkdtemp(templ) == nullptr) std::abort();
  s_parent = templ;
  s_root = s_parent + "/root";
  if (reg_storage_init(s_root.c_str()) != 0) std::abort();
  std::atexit(cleanup_at_exit);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  setup_once();
  if (size < 2) return 0;
  const size_t nlen = data[0] % 64;
  const size_t rlen = data[1] % 160;
  if (size < 2 + nlen + rlen) return 0;
  std::string name(reinterpret_cast<const char*>(data + 2), nlen);
  std::string ref(reinterpret_cast<const char*>(data + 2 + nlen), rlen);
  name = name.substr(0, name.find('\0'));
  ref = ref.substr(0, ref.find('\0'));
  const char* body = reinterpret_cast<const char*>(data + 2 + nlen + rlen);
  const size_t body_len = size - 2 - nlen - rlen;

  char digest[72];
  if (reg_manifest_put(name.c_str(), ref.c_str(), body, body_len, nullptr, digest) == 0) {
    char ct[REG_CONTENT_TYPE_CAP];
    char got_digest[72];
    const char* got = reg_manifest_get(name.c_str(), digest, ct, got_digest);
    if (got == nullptr || std::strlen(got) != body_len || std::memcmp(got, body, body_len) != 0) std::abort();
    if (std::strcmp(got_digest, digest) != 0) std::abort();
    if (reg_tags_list_json(name.c_str()) == nullptr) std::abort();
    reg_manifest_delete(name.c_str(), ref.c_str());
  }
  check_nothing_outside();
  if (++s_runs % 2000 == 0) {  // keep the tree small
    remove_tree(s_root);
    if (reg_storage_init(s_root.c_str()) != 0) std::abort();
  }
  return 0;
}
