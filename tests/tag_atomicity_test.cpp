// A push that names several tags moves all of them or none. The file
// system fills up at every point of such a push in turn (a small tmpfs,
// filled to leave 0, 1, 2 ... pages free): wherever the push fails, no tag
// of it has moved.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "storage/reg_storage.h"
#include "support/test_support.h"

using namespace testing_support;

namespace {

constexpr size_t kPage = 4096;

std::string index_body(const std::string& note) {
  return "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.index.v1+json\",\"manifests\":[],"
         "\"annotations\":{\"note\":\"" + note + "\"}}";
}

// Fills the file system of dir to the last page, then gives k pages back.
void leave_pages_free(const std::string& filler, size_t k) {
  FILE* f = std::fopen(filler.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  const std::string page(kPage, 'f');
  size_t pages = 0;
  while (std::fwrite(page.data(), 1, page.size(), f) == page.size() && std::fflush(f) == 0) ++pages;
  std::fclose(f);
  ASSERT_GE(pages, k);
  ASSERT_EQ(truncate(filler.c_str(), static_cast<off_t>((pages - k) * kPage)), 0);
}

std::string tag_target(const std::string& root, const std::string& tag) {
  const std::string link = root + "/repositories/app/_manifests/tags/" + tag + "/current/link";
  return exists(link) ? read_bytes(link) : "(no tag)";
}

TEST(TagAtomicity, APushOfSeveralTagsMovesAllOrNoneWhereverTheDiskFills) {
  TempDir tmp;
  const std::string mnt = tmp / "mnt";
  make_dirs(mnt);
  if (mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=2m") != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs here (" << std::strerror(errno) << ")";
  }
  struct Unmount {
    std::string path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
  } unmount{mnt};
  const std::string root = mnt + "/root";
  reg_storage_cleanup();
  ASSERT_EQ(reg_storage_init(root.c_str()), 0);
  char old[REG_DIGEST_CAP];
  const std::string old_body = index_body("old");
  reg_status st;
  ASSERT_EQ(reg_manifest_push("app", "t1", old_body.data(), old_body.size(), nullptr, nullptr, 0, old, nullptr, &st), 0);

  const char* const tags[] = {"t1", "t2", "t3"};
  int failed_at_tags = 0;
  int succeeded = 0;
  for (size_t k = 0; k < 16; ++k) {
    const std::string body = index_body("new " + std::to_string(k));
    const std::string digest = digest_string(body);
    leave_pages_free(mnt + "/filler", k);
    char out[REG_DIGEST_CAP];
    const int rc =
        reg_manifest_push("app", digest.c_str(), body.data(), body.size(), nullptr, tags, 3, out, nullptr, &st);
    std::remove((mnt + "/filler").c_str());
    const std::vector<std::string> now = {tag_target(root, "t1"), tag_target(root, "t2"), tag_target(root, "t3")};
    if (rc == 0) {
      EXPECT_EQ(now, (std::vector<std::string>{digest, digest, digest})) << k << " pages free";
      ++succeeded;
    } else {
      EXPECT_EQ(st.kind, REG_ERR_STORAGE) << k;
      EXPECT_STREQ(st.cause, "No space left on device") << k << ": " << st.message;
      EXPECT_EQ(now, (std::vector<std::string>{old, "(no tag)", "(no tag)"})) << k << " pages free";
      // The manifest itself was stored: the disk filled while the tags moved.
      if (exists(root + "/repositories/app/_manifests/revisions/sha256/" + digest.substr(7) + "/link")) ++failed_at_tags;
    }
    // Back to the one tag on the old manifest for the next round.
    char again[REG_DIGEST_CAP];
    ASSERT_EQ(reg_manifest_push("app", "t1", old_body.data(), old_body.size(), nullptr, nullptr, 0, again, nullptr, &st),
              0);
    reg_manifest_remove("app", "t2", &st);
    reg_manifest_remove("app", "t3", &st);
    ASSERT_EQ(tag_target(root, "t2"), "(no tag)");
  }
  // The rounds spanned the tags' step and got past it.
  EXPECT_GE(failed_at_tags, 1);
  EXPECT_GE(succeeded, 1);
  reg_storage_cleanup();
}

}  // namespace
