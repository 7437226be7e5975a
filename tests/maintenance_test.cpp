// Looking after real trees: garbage collection (what goes and what stays,
// dry runs, blobs set aside and put back, a collection that cannot read
// everything), scrub (rotten bytes found, moved away, restored by a push)
// and fsck (what killed writers and hands leave).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "storage/reg_storage.h"
#include "storage/upkeep/reg_maintenance.h"
#include "support/storage_fixture.h"
#include "support/test_support.h"
#include "support/tree_builder.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

struct Found {
  std::string kind, repo, item, problem, action;
};

void collect_finding(void* ctx, const reg_finding* f) {
  static_cast<std::vector<Found>*>(ctx)->push_back({f->kind, f->repository, f->item, f->problem, f->action});
}

// Every file below root, as paths relative to it.
std::set<std::string> files_below(const std::string& root) {
  std::set<std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (e.is_regular_file()) out.insert(fs::relative(e.path(), root).string());
  }
  return out;
}

class Collect : public FreshStorage, public TreeBuilder {
 protected:
  bool blob_stored(const std::string& digest) { return reg_blob_exists(digest.c_str()) == 1; }
  bool manifest_stored(const std::string& repo, const std::string& digest) {
    return is_file(root + "/repositories/" + repo + "/_manifests/" + digest.substr(7));
  }
  bool linked(const std::string& repo, const std::string& digest) {
    return is_file(root + "/repositories/" + repo + "/_layers/sha256/" + digest.substr(7) + "/link");
  }
  int gc(bool delete_untagged, int64_t grace, bool dry_run = false) {
    reg_gc_options o{};
    o.delete_untagged = delete_untagged ? 1 : 0;
    o.grace_seconds = grace;
    o.upload_age_seconds = 7 * 86400;
    o.dry_run = dry_run ? 1 : 0;
    o.finding = collect_finding;
    o.ctx = &found;
    found.clear();
    summary = reg_gc_summary{};
    return reg_gc(&o, &summary, &st);
  }
  // Starts an upload in repo; its identifier.
  std::string start_upload(const char* repo, const char* algorithm = nullptr) {
    char uuid[37] = "";
    EXPECT_EQ(reg_upload_start(repo, algorithm, uuid, &st), 0) << st.message;
    return uuid;
  }
  reg_status st;

  // Takes the lock a running collection holds, as another process would;
  // the descriptor to close, or -1.
  int hold_collection_lock() const {
    const int fd = ::open((root + "/gc.lock").c_str(), O_RDWR | O_CREAT, 0644);
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    if (fd >= 0 && fcntl(fd, F_OFD_SETLK, &fl) != 0) {
      ::close(fd);
      return -1;
    }
    return fd;
  }
  std::string blob_path_of(const std::string& d) const {
    return root + "/blobs/sha256/" + d.substr(7, 2) + "/" + d.substr(7);
  }

  std::vector<Found> found;
  reg_gc_summary summary{};
};

// ---- What goes and what stays ----------------------------------------------

// One tree with every case; each row says whether the item stays without
// and with --delete-untagged.
class WhatStays : public Collect, public ::testing::WithParamInterface<bool> {};

TEST_P(WhatStays, TaggedUntaggedChildrenReferrersSharedYoungAndUploads) {
  const bool untagged = GetParam();
  struct Item {
    std::string name;
    std::string digest;
    bool manifest;  // a manifest of "app"; else a blob
    bool stays_without;
    bool stays_with;
  };
  std::vector<Item> items;
  auto add = [&](const std::string& name, const std::string& digest, bool manifest, bool without, bool with) {
    items.push_back({name, digest, manifest, without, with});
  };

  const std::string l1 = blob("app", "layer shared by T and U, linked by other too");
  const std::string l2 = blob("app", "layer of T alone");
  const std::string l3 = blob("app", "layer of U alone");
  const std::string l4 = blob("app", "layer of both children");
  const std::string l5 = blob("app", "layer of child 1 alone");
  const std::string l6 = blob("app", "layer of the child of an untagged index");
  const std::string t = image("app", "v1", "config T", {l1, l2});
  add("tagged image", t, true, true, true);
  add("its config", last_config, false, true, true);
  add("its own layer", l2, false, true, true);
  add("a layer it shares with an untagged image", l1, false, true, true);
  const std::string u = image("app", "", "config U", {l1, l3});
  add("untagged image", u, true, true, false);
  add("its config", last_config, false, true, false);
  add("its own layer", l3, false, true, false);
  const std::string c1 = image("app", "", "config C1", {l4, l5});
  add("child 1 of a tagged index", c1, true, true, true);
  add("child 1's layer", l5, false, true, true);
  const std::string c2 = image("app", "", "config C2", {l4});
  add("child 2 of a tagged index", c2, true, true, true);
  add("a layer the children share", l4, false, true, true);
  const std::string i = index("app", "multi", {c1, c2});
  add("tagged index", i, true, true, true);
  const std::string r = image("app", "", "signature of T", {blob("app", "artifact of T")}, t);
  add("referrer of the tagged image", r, true, true, true);
  const std::string ru = image("app", "", "signature of U", {blob("app", "artifact of U")}, u);
  add("referrer of the untagged image", ru, true, true, false);
  add("its config", last_config, false, true, false);
  const std::string c3 = image("app", "", "config C3", {l6});
  const std::string iu = index("app", "", {c3});
  add("untagged index", iu, true, true, false);
  add("the child of the untagged index, in the run that removes the index", c3, true, true, true);
  add("that child's layer", l6, false, true, true);

  // Repository "other" links l1 and one more blob, and has no manifest.
  blob("other", "layer shared by T and U, linked by other too");
  const std::string l7 = blob("other", "a blob nothing refers to");
  add("an old blob only a link names", l7, false, false, false);
  const std::string h = blob("other", "a blob a client just asked for");

  // An old blob that no repository links (an upload of the engine's own).
  char uuid[37];
  char digest[REG_DIGEST_CAP];
  const std::string z_bytes = "a blob in no repository";
  ASSERT_EQ(reg_blob_start_upload(uuid), 0);
  ASSERT_EQ(reg_blob_append_chunk(uuid, z_bytes.data(), z_bytes.size()), 0);
  ASSERT_EQ(reg_blob_finish_upload(uuid, digest_string(z_bytes).c_str(), digest), 0);
  add("an old blob in no repository", digest_string(z_bytes), false, false, false);
  const std::string old_upload = start_upload("app");

  make_old(root, 7200);
  make_old(root + "/uploads/" + old_upload + ".part", 8 * 86400);
  // Young: a blob uploaded now, a link a client just asked about, an upload.
  const std::string y = blob("other", "a blob uploaded a moment ago");
  add("a young blob", y, false, true, true);
  ASSERT_EQ(reg_repo_blob_touch("other", h.c_str(), &st), 0);
  add("an old blob whose link a client just refreshed", h, false, true, true);
  const std::string live_upload = start_upload("app");

  ASSERT_EQ(gc(untagged, 3600), 0) << st.message;

  for (const Item& it : items) {
    const bool want = untagged ? it.stays_with : it.stays_without;
    const bool has = it.manifest ? manifest_stored("app", it.digest) : blob_stored(it.digest);
    EXPECT_EQ(has, want) << it.name << " " << it.digest;
  }
  EXPECT_TRUE(linked("app", l1));
  EXPECT_FALSE(linked("other", l1)) << "a link no manifest of its repository needs goes";
  EXPECT_FALSE(linked("other", l7));
  EXPECT_TRUE(linked("other", h)) << "refreshed by a client";
  EXPECT_TRUE(linked("other", y)) << "young";
  EXPECT_FALSE(exists(root + "/uploads/" + old_upload + ".part"));
  EXPECT_FALSE(exists(root + "/repositories/app/_uploads/" + old_upload)) << "its mark goes with it";
  EXPECT_TRUE(exists(root + "/uploads/" + std::string(live_upload) + ".part"));
  EXPECT_EQ(summary.uploads_removed, 1);
  EXPECT_EQ(summary.manifests_removed, untagged ? 3 : 0);
  EXPECT_EQ(summary.blobs_restored, 0);

  // Whatever stays still pulls: every manifest of "app" by its tag.
  char ct[REG_CONTENT_TYPE_CAP];
  char got[REG_DIGEST_CAP];
  EXPECT_NE(reg_manifest_get("app", "v1", ct, got), nullptr) << st.message;
  EXPECT_NE(reg_manifest_get("app", "multi", ct, got), nullptr) << st.message;

  if (untagged) {
    // The next run takes the child whose index went.
    ASSERT_EQ(gc(true, 3600), 0) << st.message;
    EXPECT_FALSE(manifest_stored("app", c3));
    EXPECT_FALSE(blob_stored(l6));
    EXPECT_TRUE(manifest_stored("app", c1));
  }
}

INSTANTIATE_TEST_SUITE_P(DeleteUntagged, WhatStays, ::testing::Bool(),
                         [](const auto& p) { return p.param ? "WithTheFlag" : "WithoutTheFlag"; });

TEST_F(Collect, NothingYoungerThanTheGraceGoes) {
  const std::string l = blob("app", "layer");
  const std::string u = image("app", "", "config", {l});
  const std::string orphan = blob("app", "orphan");
  ASSERT_EQ(gc(true, 3600), 0);
  EXPECT_TRUE(manifest_stored("app", u));
  EXPECT_TRUE(blob_stored(l));
  EXPECT_TRUE(blob_stored(orphan));
  EXPECT_TRUE(found.empty());
  // With no grace at all, all of it goes at once.
  make_old(root, 10);
  ASSERT_EQ(gc(true, 0), 0);
  EXPECT_FALSE(manifest_stored("app", u));
  EXPECT_FALSE(blob_stored(l));
  EXPECT_FALSE(blob_stored(orphan));
}

TEST_F(Collect, ALargeManifestIsReadWhole) {
  // 1200 layers: a body of some 160 KiB, read in more than one piece.
  std::vector<std::string> layers;
  for (int i = 0; i < 1200; ++i) layers.push_back(blob("app", "layer " + std::to_string(i)));
  image("app", "v1", "config", layers);
  make_old(root, 7200);
  ASSERT_EQ(gc(true, 0), 0) << st.message;
  EXPECT_EQ(summary.blobs_removed, 0);
  EXPECT_TRUE(blob_stored(layers.back()));
}

TEST_F(Collect, ADryRunReportsWhatARunRemovesAndRemovesNothing) {
  const std::string l = blob("app", "layer");
  image("app", "v1", "config 1", {l});
  image("app", "", "config 2", {blob("app", "layer 2")});
  blob("app", "orphan");
  const std::string upload = start_upload("app");
  make_old(root, 30 * 86400);
  const std::set<std::string> before = files_below(root);
  ASSERT_EQ(gc(true, 3600, true), 0);
  std::set<std::string> after = files_below(root);
  after.erase("gc.lock");  // the collections' own lock
  EXPECT_EQ(after, before);
  std::set<std::string> would;
  for (const Found& f : found) {
    EXPECT_EQ(f.action, "would remove") << f.kind << " " << f.item;
    would.insert(f.kind + " " + f.repo + " " + f.item);
  }
  const reg_gc_summary dry = summary;
  ASSERT_EQ(gc(true, 3600), 0);
  std::set<std::string> removed;
  for (const Found& f : found) {
    EXPECT_EQ(f.action, "removed") << f.kind << " " << f.item;
    removed.insert(f.kind + " " + f.repo + " " + f.item);
  }
  EXPECT_EQ(would, removed);
  EXPECT_EQ(dry.manifests_removed, 1);
  EXPECT_EQ(dry.blobs_removed, 3);  // config 2, layer 2, orphan
  EXPECT_EQ(dry.uploads_removed, 1);
  EXPECT_EQ(summary.blobs_removed, dry.blobs_removed);
  EXPECT_EQ(summary.blob_bytes_removed, dry.blob_bytes_removed);
}

// ---- Blobs set aside -----------------------------------------------------------

TEST_F(Collect, ABlobSetAsideIsPutBackByWhoeverMeetsItMissing) {
  const std::string d = blob("app", "layer");
  const std::string path = root + "/blobs/sha256/" + d.substr(7, 2) + "/" + d.substr(7);
  const std::string aside = root + "/blobs/sha256/" + d.substr(7, 2) + "/.gc-" + d.substr(7);
  std::rename(path.c_str(), aside.c_str());
  EXPECT_EQ(reg_repo_blob_size("app", d.c_str(), &st), 5);
  EXPECT_TRUE(is_file(path));
  EXPECT_FALSE(exists(aside));

  // A push checks its references the same way.
  std::rename(path.c_str(), aside.c_str());
  image("app", "v1", "config", {d});
  EXPECT_TRUE(is_file(path));
}

TEST_F(Collect, WhatAKilledCollectionSetAsideIsPutBackThenJudged) {
  const std::string needed = blob("app", "needed layer");
  image("app", "v1", "config", {needed});
  const std::string unneeded = blob("app", "unneeded");
  make_old(root, 7200);
  for (const std::string& d : {needed, unneeded}) {
    const std::string dir = root + "/blobs/sha256/" + d.substr(7, 2) + "/";
    std::rename((dir + d.substr(7)).c_str(), (dir + ".gc-" + d.substr(7)).c_str());
  }
  ASSERT_EQ(gc(false, 3600), 0);
  EXPECT_TRUE(blob_stored(needed));
  EXPECT_FALSE(blob_stored(unneeded));
  for (const std::string& d : {needed, unneeded}) {
    EXPECT_FALSE(exists(root + "/blobs/sha256/" + d.substr(7, 2) + "/.gc-" + d.substr(7)));
  }
}

// ---- What stops a collection ------------------------------------------------------

TEST_F(Collect, AManifestThatCannotBeReadKeepsEveryBlob) {
  const std::string l = blob("app", "layer");
  const std::string m = image("app", "v1", "config", {l});
  const std::string orphan = blob("app", "orphan");
  write_bytes(root + "/repositories/app/_manifests/" + m.substr(7), "{ not json");
  make_old(root, 7200);
  EXPECT_EQ(gc(true, 3600), -1);
  EXPECT_EQ(st.kind, REG_ERR_STORAGE) << st.message;
  EXPECT_TRUE(blob_stored(l));
  EXPECT_TRUE(blob_stored(orphan));
  EXPECT_TRUE(manifest_stored("app", m));
  ASSERT_FALSE(found.empty());
  EXPECT_EQ(found[0].kind, "manifest");
  EXPECT_EQ(found[0].item, m);
  EXPECT_EQ(found[0].problem, "manifest JSON parse failed");
  EXPECT_EQ(summary.unreadable, 1);
}

TEST_F(Collect, OnlyOneCollectionRunsAtATime) {
  const int fd = hold_collection_lock();
  ASSERT_GE(fd, 0);
  EXPECT_EQ(gc(false, 0), -1);
  EXPECT_EQ(st.kind, REG_ERR_STORAGE) << st.message;
  EXPECT_STREQ(st.cause, "") << "no call to the system failed: another process holds the lock";
  ::close(fd);
  EXPECT_EQ(gc(false, 0), 0);
}

TEST_F(Collect, RefusesNegativeDurationsAndWorksOnAnEmptyTree) {
  reg_gc_options o{};
  reg_gc_summary s{};
  o.grace_seconds = -1;
  EXPECT_EQ(reg_gc(&o, &s, &st), -1);
  EXPECT_EQ(st.kind, REG_ERR_INVALID);
  EXPECT_EQ(reg_gc(nullptr, &s, &st), -1);
  EXPECT_EQ(st.kind, REG_ERR_INVALID);
  ASSERT_EQ(gc(true, 0), 0);
  EXPECT_EQ(summary.repositories, 0);
  EXPECT_TRUE(found.empty());
}

// ---- Scrub -------------------------------------------------------------------------

class Scrubbing : public Collect {
 protected:
  int scrub(bool repair, int threads = 0) {
    reg_scrub_options o{};
    o.repair = repair ? 1 : 0;
    o.threads = threads;
    o.finding = collect_finding;
    o.ctx = &found;
    found.clear();
    scrubbed = reg_scrub_summary{};
    return reg_scrub(&o, &scrubbed, &st);
  }
  static void flip_byte(const std::string& path, size_t at) {
    std::string bytes = read_bytes(path);
    bytes[at] = static_cast<char>(bytes[at] ^ 0x20);
    write_bytes(path, bytes);
  }
  std::string blob_path(const std::string& d) const {
    const std::string hex = d.substr(d.find(':') + 1);
    return root + "/blobs/" + d.substr(0, d.find(':')) + "/" + hex.substr(0, 2) + "/" + hex;
  }
  reg_scrub_summary scrubbed{};
};

TEST_F(Scrubbing, AWholeTreeHashesToItsNamesOnAnyNumberOfThreads) {
  const std::string l = blob("app", std::string(3 << 20, 'x'));
  image("app", "v1", "config", {l});
  for (int threads : {1, 2, 5}) {
    ASSERT_EQ(scrub(false, threads), 0) << st.message;
    EXPECT_TRUE(found.empty()) << found[0].kind << " " << found[0].item << ": " << found[0].problem;
    EXPECT_EQ(scrubbed.blobs, 2);
    EXPECT_EQ(scrubbed.manifests, 1);
    EXPECT_GT(scrubbed.bytes, 3 << 20);
    EXPECT_EQ(scrubbed.links, 1 + 1 + 2);  // the tag, the revision, two blob links
  }
}

TEST_F(Scrubbing, FindsAFlippedByteInABlobAndAManifestAndARepushRestoresThemAfterRepair) {
  const std::string layer_bytes = "the layer's bytes";
  const std::string l = blob("app", layer_bytes);
  const std::string m = image("app", "v1", "config", {l});
  const std::string body = read_bytes(root + "/repositories/app/_manifests/" + m.substr(7));
  // SHA-512 content rots the same way.
  const std::string big = "sha-512 addressed bytes";
  const std::string s512 = upload_blob("app", big, &st, "sha512", sha512_digest_string(big));
  ASSERT_FALSE(s512.empty()) << st.message;

  flip_byte(blob_path(l), 3);
  flip_byte(blob_path(s512), 0);
  flip_byte(root + "/repositories/app/_manifests/" + m.substr(7), 10);

  // Found, reported, left in place.
  ASSERT_EQ(scrub(false), 0);
  EXPECT_EQ(scrubbed.bad_blobs, 2);
  EXPECT_EQ(scrubbed.bad_manifests, 1);
  EXPECT_EQ(scrubbed.repaired, 0);
  std::set<std::string> bad;
  for (const Found& x : found) {
    EXPECT_EQ(x.problem, "its bytes do not hash to its digest");
    EXPECT_EQ(x.action, "");
    bad.insert(x.kind + " " + x.repo + " " + x.item);
  }
  EXPECT_EQ(bad, (std::set<std::string>{"blob  " + l, "blob  " + s512, "manifest app " + m}));
  EXPECT_TRUE(is_file(blob_path(l)));

  // Repaired: moved into quarantine, out of the store.
  ASSERT_EQ(scrub(true), 0);
  EXPECT_EQ(scrubbed.repaired, 3);
  for (const Found& x : found) EXPECT_EQ(x.action, "moved to quarantine");
  EXPECT_FALSE(exists(blob_path(l)));
  EXPECT_TRUE(is_file(root + "/quarantine/sha256-" + l.substr(7)));
  EXPECT_TRUE(is_file(root + "/quarantine/app@sha256-" + m.substr(7)));
  EXPECT_EQ(reg_repo_blob_exists("app", l.c_str(), &st), 0) << "a client asking sees it missing and uploads it again";

  // A re-push of the same content restores both, byte for byte.
  EXPECT_EQ(blob("app", layer_bytes), l);
  char digest[REG_DIGEST_CAP];
  ASSERT_EQ(reg_manifest_push("app", "v1", body.data(), body.size(), kImageType, nullptr, 0, digest, nullptr, &st), 0)
      << st.message;
  EXPECT_EQ(read_bytes(blob_path(l)), layer_bytes);
  EXPECT_EQ(read_bytes(root + "/repositories/app/_manifests/" + m.substr(7)), body);
  ASSERT_EQ(scrub(false), 0);
  // What is left wrong: the SHA-512 blob, not pushed again, that a link names.
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].item, s512);
  EXPECT_EQ(found[0].problem, "names a blob that is not stored");
  EXPECT_EQ(scrubbed.dangling_links, 1);
}

TEST_F(Scrubbing, ReportsEveryKindOfLinkThatNamesNothing) {
  const std::string l = blob("app", "layer");
  const std::string m = image("app", "v1", "config", {l});
  const std::string r = image("app", "", "signature", {blob("app", "sig")}, m);
  const std::string mdir = root + "/repositories/app/_manifests/";
  // A tag of a manifest whose body went, with its revision; a referrer
  // entry whose manifest went; a blob link whose blob went; a bad tag.
  std::remove((mdir + m.substr(7)).c_str());
  std::remove((mdir + r.substr(7)).c_str());
  std::remove(blob_path(l).c_str());
  make_dirs(mdir + "tags/broken/current");
  write_bytes(mdir + "tags/broken/current/link", "not a digest");
  ASSERT_EQ(scrub(false), 0);
  std::set<std::string> got;
  for (const Found& x : found) got.insert(x.kind + " " + x.item + ": " + x.problem);
  EXPECT_EQ(got, (std::set<std::string>{
                     "tag v1: names a manifest that is not stored",
                     "tag broken: its link holds no digest",
                     "link " + m + ": a revision of a manifest that is not stored",
                     "link " + r + ": a revision of a manifest that is not stored",
                     "link " + r + ": a referrer entry of a manifest that is not stored",
                     "link " + l + ": names a blob that is not stored",
                 }));
  EXPECT_EQ(scrubbed.dangling_links, 6);
}

// ---- Fsck ----------------------------------------------------------------------------

class Checking : public Collect {
 protected:
  int fsck(bool repair, int64_t grace = 3600) {
    reg_fsck_options o{};
    o.repair = repair ? 1 : 0;
    o.grace_seconds = grace;
    o.finding = collect_finding;
    o.ctx = &found;
    found.clear();
    checked = reg_fsck_summary{};
    return reg_fsck(&o, &checked, &st);
  }
  reg_fsck_summary checked{};
};

TEST_F(Checking, FindsAndRepairsWhatKilledWritersAndHandsLeave) {
  const std::string l = blob("app", "layer");
  const std::string m = image("app", "v1", "config", {l});
  const std::string gone = image("app", "", "will lose its body", {l});
  const std::string halfway = image("app", "", "will lose its revision", {l}, m);
  const std::string a = blob("app", "aside");
  const std::string mdir = root + "/repositories/app/_manifests/";
  const std::string ldir = root + "/repositories/app/_layers/sha256/";
  ASSERT_EQ(fsck(false), 0);
  EXPECT_TRUE(found.empty()) << found[0].kind << " " << found[0].item << ": " << found[0].problem;

  struct Damage {
    std::string problem;  // as reported
    std::string action;   // as repaired
  };
  // Killed writers: temporary files; a push cut before its revision link
  // (its referrer entry not yet written); a delete cut after removing
  // the body; a tag cut before its link; a collection killed with a blob
  // and a link set aside; an upload mark whose upload went.
  write_bytes(mdir + ".lock.tmp", "");
  write_bytes(mdir + "." + std::string(64, 'd') + ".tmp.99999.0", "{}");  // a push's body, staged
  write_bytes(mdir + "tags/v1/current/.link.tmp", "sha256:");
  std::remove((mdir + "revisions/sha256/" + halfway.substr(7) + "/link").c_str());
  std::remove((mdir + "referrers/sha256/" + m.substr(7) + "/sha256-" + halfway.substr(7)).c_str());
  std::remove((mdir + gone.substr(7)).c_str());
  make_dirs(mdir + "tags/cut/current");
  make_dirs(mdir + "tags/empty/current");
  write_bytes(mdir + "tags/empty/current/link", "");
  std::rename(blob_path_of(a).c_str(), (root + "/blobs/sha256/" + a.substr(7, 2) + "/.gc-" + a.substr(7)).c_str());
  std::rename((ldir + l.substr(7) + "/link").c_str(), (ldir + l.substr(7) + "/.gc-link").c_str());
  const std::string upload = start_upload("app");
  std::remove((root + "/uploads/" + upload + ".part").c_str());
  make_dirs(ldir + std::string(64, 'e'));
  write_bytes(ldir + a.substr(7) + "/.link.tmp.99999.0", a);
  // A nested repository the catalog's index does not know.
  make_dirs(root + "/repositories/team/tool/_manifests");
  make_old(root, 7200);
  fs::last_write_time(ldir + std::string(64, 'e'), fs::file_time_type::clock::now() - std::chrono::hours(2));

  const std::map<std::string, std::string> want = {
      {"file " + std::string("repositories/app/_manifests/.lock.tmp"), "removed"},
      {"file repositories/app/_manifests/." + std::string(64, 'd') + ".tmp.99999.0", "removed"},
      {"file repositories/app/_manifests/tags/v1/current/.link.tmp", "removed"},
      {"manifest " + halfway, "restored"},
      {"manifest " + gone, "removed"},
      {"tag cut", "removed"},
      {"tag empty", "removed"},
      {"blob " + a, "restored"},
      {"link " + l, "restored"},
      {"upload " + std::string(upload), "removed"},
      {"directory repositories/app/_layers/sha256/" + std::string(64, 'e'), "removed"},
      {"file repositories/app/_layers/sha256/" + a.substr(7) + "/.link.tmp.99999.0", "removed"},
      {"directory ", "marked"},
  };
  auto key = [](const Found& x) { return x.kind + " " + (x.kind == "directory" && x.repo == "team" ? "" : x.item); };
  ASSERT_EQ(fsck(false), 0);
  std::map<std::string, std::string> got;
  for (const Found& x : found) got[key(x)] = x.action;
  EXPECT_EQ(got.size(), want.size());
  for (const auto& [k, action] : want) {
    ASSERT_EQ(got.count(k), 1u) << k;
    EXPECT_EQ(got[k], "") << k;
  }
  EXPECT_EQ(checked.problems, static_cast<int64_t>(want.size()));
  EXPECT_EQ(checked.repaired, 0);

  ASSERT_EQ(fsck(true), 0);
  got.clear();
  for (const Found& x : found) got[key(x)] = x.action;
  EXPECT_EQ(got, want);
  EXPECT_EQ(checked.repaired, checked.problems);

  // A tree that passes: nothing left, and everything works as before.
  ASSERT_EQ(fsck(false), 0);
  EXPECT_TRUE(found.empty()) << found[0].kind << " " << found[0].item << ": " << found[0].problem;
  EXPECT_TRUE(blob_stored(a));
  EXPECT_TRUE(linked("app", l));
  char ct[REG_CONTENT_TYPE_CAP];
  char got_digest[REG_DIGEST_CAP];
  EXPECT_NE(reg_manifest_get("app", halfway.c_str(), ct, got_digest), nullptr);
  EXPECT_STREQ(ct, kImageType);
  const Listing referrers = referrers_page("app", m.c_str(), nullptr, 0, nullptr);
  ASSERT_EQ(referrers.rc, 0) << referrers.st.message;
  EXPECT_NE(referrers.text.find(halfway), std::string::npos) << "its referrer entry is back";
  EXPECT_EQ(reg_manifest_get("app", gone.c_str(), ct, got_digest), nullptr);
  EXPECT_TRUE(is_file(root + "/repositories/_nested/team"));
  const char* catalog = reg_catalog_json(0, nullptr);
  ASSERT_NE(catalog, nullptr);
  EXPECT_NE(std::string(catalog).find("\"team/tool\""), std::string::npos) << catalog;
}

TEST_F(Checking, LeavesYoungUnlockedLeftoversAndWhatARunningCollectionSetAside) {
  const std::string a = blob("app", "aside");
  const std::string ldir = root + "/repositories/app/_layers/sha256/";
  write_bytes(ldir + a.substr(7) + "/.link.tmp.99999.0", a);  // a live writer's, maybe
  make_dirs(ldir + std::string(64, 'e'));                      // a link on its way
  // A push staging its body before it takes the repository's lock, which
  // fsck holds while it looks there.
  const std::string staged = root + "/repositories/app/_manifests/." + std::string(64, 'd') + ".tmp.99999.0";
  make_dirs(root + "/repositories/app/_manifests");
  write_bytes(staged, "{}");
  const std::string aside = root + "/blobs/sha256/" + a.substr(7, 2) + "/.gc-" + a.substr(7);
  std::rename(blob_path_of(a).c_str(), aside.c_str());
  const int fd = hold_collection_lock();
  ASSERT_GE(fd, 0);
  ASSERT_EQ(fsck(true), 0);
  EXPECT_TRUE(found.empty()) << found[0].kind << " " << found[0].item << ": " << found[0].problem;
  EXPECT_TRUE(is_file(aside));
  EXPECT_TRUE(is_file(staged));
  ::close(fd);
  ASSERT_EQ(fsck(true), 0);
  EXPECT_FALSE(exists(aside));
  EXPECT_TRUE(blob_stored(a));
}

}  // namespace
