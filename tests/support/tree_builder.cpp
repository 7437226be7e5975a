#include "tree_builder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "storage/reg_storage.h"
#include "storage_fixture.h"
#include "test_support.h"

namespace testing_support {
namespace {

std::string descriptor(const std::string& type, const std::string& digest, size_t size) {
  return "{\"mediaType\":\"" + type + "\",\"digest\":\"" + digest + "\",\"size\":" + std::to_string(size) + "}";
}

}  // namespace

std::string TreeBuilder::blob(const std::string& repo, const std::string& bytes) {
  reg_status st;
  const std::string d = upload_blob(repo.c_str(), bytes, &st);
  EXPECT_FALSE(d.empty()) << st.message;
  return digest_string(bytes);
}

std::string TreeBuilder::push(const std::string& repo, const std::string& ref, const std::string& body,
                              const char* type) {
  char digest[REG_DIGEST_CAP];
  const std::string reference = ref.empty() ? digest_string(body) : ref;
  reg_status st;
  EXPECT_EQ(reg_manifest_push(repo.c_str(), reference.c_str(), body.data(), body.size(), type, nullptr, 0, digest,
                              nullptr, &st),
            0)
      << st.message;
  return digest_string(body);
}

std::string TreeBuilder::image(const std::string& repo, const std::string& ref, const std::string& config_bytes,
                               const std::vector<std::string>& layers, const std::string& subject) {
  const std::string config = blob(repo, config_bytes);
  std::string body = "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(kImageType) + "\",\"config\":" +
                     descriptor("application/vnd.oci.image.config.v1+json", config, config_bytes.size()) +
                     ",\"layers\":[";
  for (size_t i = 0; i < layers.size(); ++i) {
    if (i > 0) body += ",";
    body += descriptor("application/vnd.oci.image.layer.v1.tar", layers[i], 1);
  }
  body += "]";
  if (!subject.empty()) body += ",\"subject\":" + descriptor(kImageType, subject, 1);
  body += "}";
  last_config = config;
  return push(repo, ref, body, kImageType);
}

std::string TreeBuilder::index(const std::string& repo, const std::string& ref,
                               const std::vector<std::string>& children) {
  std::string body = "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(kIndexType) + "\",\"manifests\":[";
  for (size_t i = 0; i < children.size(); ++i) {
    if (i > 0) body += ",";
    body += descriptor(kImageType, children[i], 1);
  }
  body += "]}";
  return push(repo, ref, body, kIndexType);
}

void make_old(const std::string& path, int64_t seconds) {
  namespace fs = std::filesystem;
  const auto when = fs::file_time_type::clock::now() - std::chrono::seconds(seconds);
  if (fs::is_regular_file(path)) {
    fs::last_write_time(path, when);
    return;
  }
  // Directories last: a file's change would make its directory new again.
  std::vector<fs::path> dirs{path};
  for (const auto& e : fs::recursive_directory_iterator(path)) {
    if (e.is_regular_file()) fs::last_write_time(e.path(), when);
    if (e.is_directory()) dirs.push_back(e.path());
  }
  for (const fs::path& d : dirs) fs::last_write_time(d, when);
}

}  // namespace testing_support
