// Content pushed into a storage tree through the engine, as a client's
// push would leave it: blobs uploaded into repositories, image manifests,
// indexes and referrers; and the tree's files made to look old.
#ifndef REGISTRY_TESTS_TREE_BUILDER_H
#define REGISTRY_TESTS_TREE_BUILDER_H

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

inline constexpr char kImageType[] = "application/vnd.oci.image.manifest.v1+json";
inline constexpr char kIndexType[] = "application/vnd.oci.image.index.v1+json";

// Works on the engine as initialised; failures are test failures.
class TreeBuilder {
 public:
  // Uploads bytes into the repository; the blob's digest.
  std::string blob(const std::string& repo, const std::string& bytes);
  // Pushes a manifest under ref (a tag, or "" to push it by its digest).
  std::string push(const std::string& repo, const std::string& ref, const std::string& body, const char* type);
  // An image of a fresh config (its digest then in last_config) and the
  // given layers; with a subject, a referrer of it.
  std::string image(const std::string& repo, const std::string& ref, const std::string& config_bytes,
                    const std::vector<std::string>& layers, const std::string& subject = "");
  std::string index(const std::string& repo, const std::string& ref, const std::vector<std::string>& children);

  std::string last_config;
};

// Sets the modification time of the file, or of the directory and every
// file and directory below it, to seconds ago.
void make_old(const std::string& path, int64_t seconds);

}  // namespace testing_support

#endif
