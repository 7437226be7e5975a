// The manifest check over arbitrary bodies of every kind: what it accepts
// is strict JSON without a key twice, and every digest it collects (blobs,
// an index's manifests, a subject) is a well-formed digest string.
#include "fuzz/fuzz_target.h"

#include <yyjson.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "storage/storage_digest.h"
#include "storage/storage_manifest_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<char> body(data, data + size);  // exactly size bytes: a read past them is caught
  storage::ManifestInfo info;
  char msg[320];
  const char* failure = storage::manifest_body_error(body.data(), body.size(), &info, msg, sizeof msg);
  if (failure != nullptr) return 0;
  yyjson_doc* doc = yyjson_read(body.data(), body.size(), 0);
  if (doc == nullptr || !yyjson_is_obj(yyjson_doc_get_root(doc))) std::abort();
  yyjson_doc_free(doc);
  for (const std::string& d : info.blobs) {
    if (!storage::digest_valid(d.c_str())) std::abort();
  }
  for (const std::string& d : info.manifests) {
    if (!storage::digest_valid(d.c_str())) std::abort();
  }
  if (!info.subject.empty() && !storage::digest_valid(info.subject.c_str())) std::abort();
  if (info.kind == storage::ManifestKind::kImage && info.blobs.empty()) std::abort();  // its config at least
  if (info.kind != storage::ManifestKind::kIndex && !info.manifests.empty()) std::abort();
  return 0;
}
