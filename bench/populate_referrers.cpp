// Fills repository "app" of a storage root through the storage engine: one
// subject manifest (tag "subject0"), REFERRERS artifacts that refer to it and
// OTHERS manifests that refer to nothing, each under a tag of its own.
//   populate_referrers ROOT REFERRERS OTHERS
// Prints the subject's digest.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "storage/reg_storage.h"

namespace {

std::string manifest(int n, const std::string& subject) {
  std::string body = "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\","
                     "\"artifactType\":\"application/vnd.example.a" + std::to_string(n % 3) +
                     "\",\"config\":{\"mediaType\":\"application/vnd.oci.empty.v1+json\",\"digest\":\"sha256:" +
                     std::string(64, 'a') + "\",\"size\":2},\"layers\":[],\"annotations\":{\"n\":\"" +
                     std::to_string(n) + "\"}";
  if (!subject.empty()) {
    body += ",\"subject\":{\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\",\"digest\":\"" + subject +
            "\",\"size\":1}";
  }
  return body + "}";
}

bool put(const char* prefix, int n, const std::string& body, char* digest) {
  char tag[32];
  std::snprintf(tag, sizeof tag, "%s%d", prefix, n);
  if (reg_manifest_put("app", tag, body.data(), body.size(), "application/vnd.oci.image.manifest.v1+json",
                       digest) == 0) {
    return true;
  }
  std::fprintf(stderr, "put %s: %s\n", tag, reg_storage_last_error());
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: populate_referrers ROOT REFERRERS OTHERS\n");
    return 2;
  }
  if (reg_storage_init(argv[1]) != 0) {
    std::fprintf(stderr, "init: %s\n", reg_storage_last_error());
    return 1;
  }
  char subject[REG_DIGEST_CAP];
  if (!put("subject", 0, manifest(-1, ""), subject)) return 1;
  char digest[REG_DIGEST_CAP];
  for (int i = 0; i < std::atoi(argv[2]); ++i) {
    if (!put("r", i, manifest(i, subject), digest)) return 1;
  }
  for (int i = 0; i < std::atoi(argv[3]); ++i) {
    if (!put("m", i, manifest(100000 + i, ""), digest)) return 1;
  }
  std::printf("%s\n", subject);
  return 0;
}
