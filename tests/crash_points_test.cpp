// Every crash point of the registry's writing operations. Each operation
// runs as a real process (the registry program, as a web server starts it,
// or registry-admin) on a fresh tree, ended by the host layer's crash hook
// (REGISTRY_CRASH_AT) just before its first step that changes the tree,
// then its second, and so on until it completes without reaching the
// step; then the same just after each step. After each crash:
//   - at once, what any reader may rely on at every moment: every blob and
//     manifest body hashes to its name, every tag and revision names a
//     stored body, every blob a committed manifest needs is there (or set
//     aside by a collection, where readers put it back), and nothing of the
//     answer was sent;
//   - then what a client or an operator does next (the request again, the
//     upload resumed or finished, the collection run again) succeeds;
//   - then fsck --repair repairs all it finds, and finds nothing more,
//     scrub finds nothing, and the tree is the very tree that the
//     operation leaves when nothing stops it.
// The kills are deterministic: the same point every run, whatever the
// machine's speed.
#include <gtest/gtest.h>
#include <yyjson.h>

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "storage/reg_storage.h"
#include "storage/upkeep/reg_maintenance.h"
#include "support/cgi_response.h"
#include "support/storage_fixture.h"
#include "support/test_support.h"
#include "support/tree_builder.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

const std::string kRegistry = REGISTRY_PATH;
const std::string kAdmin = REGISTRY_ADMIN_PATH;
constexpr int kMaxSteps = 400;  // far above any operation's: a bound, not a guess

bool is_hex64(const std::string& s) { return std::regex_match(s, std::regex("[0-9a-f]{64}")); }

// One fresh tree, prepared through the engine in this process.
class Tree {
 public:
  explicit Tree(const std::string& dir) : root(dir + "/root"), work(dir + "/work") {
    make_dirs(work);
    reg_storage_cleanup();
    EXPECT_EQ(reg_storage_init(root.c_str()), 0) << reg_storage_last_error();
  }
  // Looks at the tree again as it is now, after another process changed it.
  void reopen() {
    reg_storage_cleanup();
    EXPECT_EQ(reg_storage_init(root.c_str()), 0) << reg_storage_last_error();
  }

  // The registry program, as a web server runs it for one request. Its
  // request is not counted for the metrics: that comes after the answer,
  // and metrics_test walks its steps.
  CgiResponse call(const std::string& method, const std::string& path, const std::string& query = "",
                   const std::string& body = "", std::map<std::string, std::string> extra = {}) const {
    std::map<std::string, std::string> env{{"REGISTRY_STORAGE_ROOT", root}, {"REQUEST_METHOD", method},
                                           {"PATH_INFO", path}, {"QUERY_STRING", query},
                                           {"CONTENT_LENGTH", std::to_string(body.size())},
                                           {"REGISTRY_METRICS", "off"}};
    for (const auto& [k, v] : extra) env[k] = v;
    CgiResponse r = parse_cgi_response(last_ = run_program(kRegistry, {}, env, work, body));
    return r;
  }
  ProcessResult admin(const std::vector<std::string>& args, const std::string& crash = "") const {
    std::map<std::string, std::string> env{{"REGISTRY_STORAGE_ROOT", root}};
    if (!crash.empty()) env["REGISTRY_CRASH_AT"] = crash;
    return last_ = run_program(kAdmin, args, env, work);
  }
  // How the latest process ended.
  const ProcessResult& last() const { return last_; }

  std::string manifests(const std::string& repo) const { return root + "/repositories/" + repo + "/_manifests"; }

  const std::string root;
  const std::string work;

 private:
  mutable ProcessResult last_;
};

// ---- What holds at every moment ------------------------------------------------------

// The digests of the blobs an image manifest names (config and layers).
std::vector<std::string> blobs_named_by(const std::string& body) {
  std::vector<std::string> out;
  yyjson_doc* doc = yyjson_read(body.data(), body.size(), 0);
  if (doc == nullptr) return out;
  yyjson_val* top = yyjson_doc_get_root(doc);
  if (const char* d = yyjson_get_str(yyjson_obj_get(yyjson_obj_get(top, "config"), "digest"))) out.push_back(d);
  yyjson_val* layers = yyjson_obj_get(top, "layers");
  size_t i, n;
  yyjson_val* layer;
  yyjson_arr_foreach(layers, i, n, layer) {
    if (const char* d = yyjson_get_str(yyjson_obj_get(layer, "digest"))) out.push_back(d);
  }
  yyjson_doc_free(doc);
  return out;
}

// Stored whole in the blob store, or set aside whole by a collection.
bool blob_there(const std::string& root, const std::string& digest) {
  const std::string dir = root + "/blobs/sha256/" + digest.substr(7, 2) + "/";
  return is_file(dir + digest.substr(7)) || is_file(dir + ".gc-" + digest.substr(7));
}

void expect_readers_safe(const Tree& t, const std::vector<std::string>& repos, const std::string& when) {
  const std::string sha = t.root + "/blobs/sha256";
  for (const std::string& prefix : list_names(sha)) {
    for (const std::string& name : list_names(sha + "/" + prefix)) {
      const std::string hex = name.compare(0, 4, ".gc-") == 0 ? name.substr(4) : name;
      if (!is_hex64(hex)) continue;  // a temporary name: fsck's to clean
      EXPECT_EQ(digest_string(read_bytes(sha + "/" + prefix + "/" + name)), "sha256:" + hex) << when << ": blob " << name;
    }
  }
  for (const std::string& repo : repos) {
    const std::string m = t.manifests(repo);
    for (const std::string& name : list_names(m)) {
      if (is_hex64(name)) {
        EXPECT_EQ(digest_string(read_bytes(m + "/" + name)), "sha256:" + name) << when << ": body " << name;
      }
    }
    for (const std::string& tag : list_names(m + "/tags")) {
      const std::string link = m + "/tags/" + tag + "/current/link";
      if (tag[0] == '.' || !is_file(link)) continue;
      const std::string d = read_bytes(link);
      ASSERT_EQ(d.size(), 71u) << when << ": tag " << tag << " holds " << d;
      EXPECT_TRUE(is_file(m + "/" + d.substr(7))) << when << ": tag " << tag << " names a missing body";
    }
    for (const std::string& hex : list_names(m + "/revisions/sha256")) {
      if (!is_file(m + "/revisions/sha256/" + hex + "/link")) continue;
      ASSERT_TRUE(is_file(m + "/" + hex)) << when << ": revision " << hex << " names a missing body";
      for (const std::string& d : blobs_named_by(read_bytes(m + "/" + hex))) {
        EXPECT_TRUE(blob_there(t.root, d)) << when << ": manifest " << hex << " needs " << d << ", which is gone";
      }
    }
  }
}

// ---- What the tree comes to -------------------------------------------------------------

void note_finding(void* ctx, const reg_finding* f) {
  static_cast<std::vector<std::string>*>(ctx)->push_back(std::string(f->problem) + "|" + f->action);
}

// fsck --repair repairs every problem it finds, and then finds none;
// scrub finds nothing wrong. The problems repaired go into *repaired.
void expect_repaired_whole(Tree& t, const std::string& when, std::set<std::string>* repaired) {
  // Later, when no leftover can be a live writer's.
  make_old(t.root, 2 * 3600);
  t.reopen();
  std::vector<std::string> found;
  reg_fsck_options o{};
  o.repair = 1;
  o.grace_seconds = 0;
  o.finding = note_finding;
  o.ctx = &found;
  reg_fsck_summary s{};
  reg_status st;
  ASSERT_EQ(reg_fsck(&o, &s, &st), 0) << when << ": " << st.message;
  EXPECT_EQ(s.repaired, s.problems) << when;
  for (const std::string& f : found) {
    const std::string action = f.substr(f.find('|') + 1);
    EXPECT_FALSE(action.empty()) << when << ": fsck found what it cannot repair: " << f;
    repaired->insert(f.substr(0, f.find('|')));
  }
  o.repair = 0;
  found.clear();
  ASSERT_EQ(reg_fsck(&o, &s, &st), 0) << when;
  EXPECT_EQ(s.problems, 0) << when << ": fsck finds more after its repair: " << (found.empty() ? "" : found[0]);
  reg_scrub_options so{};
  so.threads = 1;
  reg_scrub_summary ss{};
  ASSERT_EQ(reg_scrub(&so, &ss, &st), 0) << when;
  EXPECT_EQ(ss.bad_blobs + ss.bad_manifests + ss.dangling_links, 0) << when << ": scrub finds something wrong";
  reg_storage_cleanup();
}

// The tree as names and contents, in order: what two runs must agree on.
// Upload identifiers are random, and the digest state of an upload
// records the file's identity: their names are compared, not their bytes.
std::string tree_text(const std::string& dir, const std::string& rel = "") {
  static const std::regex kUuid("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}");
  std::string out;
  for (const std::string& name : list_names(dir)) {
    const std::string path = dir + "/" + name;
    const std::string shown = std::regex_replace(rel + name, kUuid, "<uuid>");
    if (is_dir(path)) {
      out += shown + "/\n" + tree_text(path, rel + name + "/");
    } else if (rel.rfind("upload-digests/", 0) == 0) {
      out += shown + "\n";
    } else {
      out += shown + " " + digest_string(read_bytes(path)).substr(7, 12) + "\n";
    }
  }
  return out;
}

// ---- The walk over every point --------------------------------------------------------

struct Operation {
  const char* name;
  std::vector<std::string> repos;  // the repositories it touches
  std::function<void(Tree&)> prepare;
  // The operation itself, as a real process with the crash hook set; true
  // when it ran whole and answered as it should.
  std::function<bool(Tree&, const std::string& crash)> run;
  // What comes next, the way a client or an operator goes on.
  std::function<void(Tree&, const std::string& when)> carry_on;
  // Whether every point ends in the tree of an uninterrupted run.
  bool same_end = true;
  // Prepared anew for every point, rather than copied from one prepared
  // tree: the digest state of an upload records the upload file's
  // identity, which a copy does not keep.
  bool prepare_each = false;
};

struct Walk {
  int points = 0;
  int runs = 0;
  double seconds = 0;
  std::set<std::string> repaired;
};

// A copy of the tree below from, times included (a collection judges by
// them), into to.
void copy_tree(const fs::path& from, const fs::path& to) {
  fs::create_directory(to);
  for (const fs::directory_entry& e : fs::directory_iterator(from)) {
    const fs::path target = to / e.path().filename();
    if (e.is_directory()) {
      copy_tree(e.path(), target);
    } else {
      fs::copy_file(e.path(), target);
      fs::last_write_time(target, fs::last_write_time(e.path()));
    }
  }
  fs::last_write_time(to, fs::last_write_time(from));
}

Walk walk_every_point(const Operation& op) {
  Walk w;
  const auto started = std::chrono::steady_clock::now();
  // Preparing pushes through the engine, which flushes every file it
  // makes: done once, and copied, where nothing ties the tree to its files.
  TempDir prepared;
  if (!op.prepare_each) {
    Tree t(prepared.path());
    op.prepare(t);
    reg_storage_cleanup();
  }
  std::string whole;  // the tree an uninterrupted run leaves
  std::map<std::string, std::string> ends;
  for (const bool after : {false, true}) {
    for (int n = 1; n <= kMaxSteps; ++n) {
      const std::string crash = std::to_string(n) + (after ? ":after" : "");
      const std::string when = std::string(op.name) + ", crash at " + crash;
      TempDir dir;
      if (!op.prepare_each) copy_tree(prepared / "root", dir / "root");
      Tree t(dir.path());
      if (op.prepare_each) op.prepare(t);
      reg_storage_cleanup();
      const bool ran = op.run(t, crash);
      ++w.runs;
      const bool crashed = t.last().signal == SIGKILL;
      if (!crashed) {
        EXPECT_TRUE(ran) << when << ": ran whole but answered\n" << t.last().out << t.last().err;
      } else {
        EXPECT_EQ(t.last().out, "") << when << ": part of the answer went before the crash";
      }
      expect_readers_safe(t, op.repos, when);
      op.carry_on(t, when);
      expect_repaired_whole(t, when, &w.repaired);
      expect_readers_safe(t, op.repos, when + ", repaired");
      const std::string end = tree_text(t.root);
      if (!crashed) {
        if (!after) w.points = n - 1;
        EXPECT_EQ(n - 1, w.points) << op.name << ": as many steps counted after as before";
        if (whole.empty()) whole = end;
        EXPECT_EQ(end, whole) << op.name << ": two uninterrupted runs end apart";
        break;
      }
      ends[crash] = end;
      if (::testing::Test::HasFatalFailure()) return w;
    }
  }
  if (op.same_end) {
    for (const auto& [crash, end] : ends) {
      EXPECT_EQ(end, whole) << op.name << ", crash at " << crash << ": the tree ends otherwise than an uninterrupted run's";
    }
  }
  w.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  return w;
}

void report(const Operation& op, const Walk& w) {
  std::string kinds;
  for (const std::string& k : w.repaired) kinds += (kinds.empty() ? "" : "; ") + k;
  std::printf("[ figures  ] %s: %d crash points, each before and after its step (%d runs), all recovered, in %.1f s; "
              "fsck repaired: %s\n",
              op.name, w.points, w.runs, w.seconds, kinds.empty() ? "nothing" : kinds.c_str());
}

// ---- The operations ------------------------------------------------------------------------

const std::map<std::string, std::string> kImageHeaders{{"CONTENT_TYPE", kImageType}};

std::string bytes_of(size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 2654435761u + seed) >> 11);
  return s;
}

std::string descriptor(const std::string& type, const std::string& digest, size_t size) {
  return "{\"mediaType\":\"" + type + "\",\"digest\":\"" + digest + "\",\"size\":" + std::to_string(size) + "}";
}

// An image manifest of a config and layers, with a subject when given.
std::string image_body(const std::string& config, const std::vector<std::string>& layers,
                       const std::string& subject = "") {
  std::string body = "{\"schemaVersion\":2,\"mediaType\":\"" + std::string(kImageType) + "\",\"config\":" +
                     descriptor("application/vnd.oci.image.config.v1+json", digest_string(config), config.size()) +
                     ",\"layers\":[";
  for (size_t i = 0; i < layers.size(); ++i) {
    if (i > 0) body += ",";
    body += descriptor("application/vnd.oci.image.layer.v1.tar", digest_string(layers[i]), layers[i].size());
  }
  body += "]";
  if (!subject.empty()) body += ",\"subject\":" + descriptor(kImageType, subject, 1);
  return body + "}";
}

// The content every operation starts from: two images of app, the second
// a referrer of the first.
const std::string kConfig = "{\"architecture\":\"amd64\",\"os\":\"linux\"}";
const std::string kLayer0 = bytes_of(3000, 1);
const std::string kLayer1 = bytes_of(5000, 2);
const std::string kOldImage = image_body(kConfig, {kLayer0});
const std::string kNewImage = image_body(kConfig, {kLayer0, kLayer1}, digest_string(kOldImage));

void push_blobs(TreeBuilder& b, const std::vector<std::string>& blobs) {
  for (const std::string& bytes : blobs) b.blob("app", bytes);
}

// An upload of 100 KiB and a bit, whose second chunk of 90 KiB and a bit
// the operation appends: the program copies a body in 64 KiB pieces, so
// the append is more than one write.
const std::string kChunkA = bytes_of(100 * 1024 + 3, 3);
const std::string kChunkB = bytes_of(90 * 1024 + 5, 4);

std::string upload_id(const Tree& t) {
  const std::vector<std::string> names = list_names(t.root + "/uploads");
  return names.size() == 1 ? names[0].substr(0, 36) : "";
}

std::string upload_path(const Tree& t) { return "/v2/app/blobs/uploads/" + upload_id(t); }

void start_upload_holding_a(Tree&) {
  char id[37];
  reg_status st;
  ASSERT_EQ(reg_upload_start("app", nullptr, id, &st), 0) << st.message;
  ASSERT_EQ(append_to("app", id, kChunkA, 0, &st), 0) << st.message;
}

bool append_b(Tree& t, const std::string& crash) {
  const CgiResponse r = t.call("PATCH", upload_path(t), "", kChunkB, {{"REGISTRY_CRASH_AT", crash}});
  return r.status == "202 Accepted" &&
         r.header("Range") == "0-" + std::to_string(kChunkA.size() + kChunkB.size() - 1);
}

// What the upload holds after the crash: always what its appends wrote,
// in order, never anything else.
std::string held(const Tree& t, const std::string& when) {
  const std::string bytes = read_bytes(t.root + "/uploads/" + upload_id(t) + ".part");
  const std::string whole = kChunkA + kChunkB;
  EXPECT_TRUE(bytes.size() >= kChunkA.size() && whole.compare(0, bytes.size(), bytes) == 0)
      << when << ": the upload holds " << bytes.size() << " bytes that are not what was appended";
  return bytes;
}

// A finish with a digest: accepted exactly when the upload holds the
// bytes it names, whatever digest state the crash left beside it.
void finish_with(Tree& t, const std::string& bytes, const std::string& when) {
  const std::string now = held(t, when);
  const CgiResponse r = t.call("PUT", upload_path(t), "digest=" + digest_string(bytes));
  if (now == bytes) {
    EXPECT_EQ(r.status, "201 Created") << when << "\n" << r.raw;
  } else {
    EXPECT_EQ(r.status, "400 Bad Request") << when << ": a finish with the digest of " << bytes.size()
                                           << " bytes, the upload holding " << now.size() << "\n" << r.raw;
    EXPECT_EQ(r.code(), "DIGEST_INVALID") << when;
  }
}

const Operation kAppendResumed{
    "upload append, then resumed", {"app"}, start_upload_holding_a, append_b,
    [](Tree& t, const std::string& when) {
      // The client asks where the upload stands and sends the rest.
      const CgiResponse status = t.call("GET", upload_path(t));
      ASSERT_EQ(status.status, "204 No Content") << when << "\n" << status.raw;
      const std::string now = held(t, when);
      EXPECT_EQ(status.header("Range"), "0-" + std::to_string(now.size() - 1)) << when;
      const std::string whole = kChunkA + kChunkB;
      if (now.size() < whole.size()) {
        const std::string rest = whole.substr(now.size());
        const CgiResponse r = t.call("PATCH", upload_path(t), "", rest,
                                     {{"HTTP_CONTENT_RANGE", std::to_string(now.size()) + "-" +
                                                                 std::to_string(whole.size() - 1)}});
        EXPECT_EQ(r.status, "202 Accepted") << when << "\n" << r.raw;
      }
      finish_with(t, whole, when);
    },
    true, true};

const Operation kAppendFinishedAsBefore{
    "upload append, then finished with the digest of the first chunk", {"app"}, start_upload_holding_a, append_b,
    [](Tree& t, const std::string& when) { finish_with(t, kChunkA, when); }, false, true};

const Operation kAppendFinishedAsAfter{
    "upload append, then finished with the digest of both chunks", {"app"}, start_upload_holding_a, append_b,
    [](Tree& t, const std::string& when) { finish_with(t, kChunkA + kChunkB, when); }, false, true};

const Operation kFinish{
    "upload finish",
    {"app"},
    [](Tree& t) {
      start_upload_holding_a(t);
      reg_status st;
      ASSERT_EQ(append_to("app", upload_id(t).c_str(), kChunkB, -1, &st), 0) << st.message;
    },
    [](Tree& t, const std::string& crash) {
      const CgiResponse r =
          t.call("PUT", upload_path(t), "digest=" + digest_string(kChunkA + kChunkB), "", {{"REGISTRY_CRASH_AT", crash}});
      return r.status == "201 Created";
    },
    [](Tree& t, const std::string& when) {
      // The finish again while the upload is there; once it is gone, the
      // client finds the blob, or pushes it again.
      const std::string whole = kChunkA + kChunkB;
      const std::string d = digest_string(whole);
      if (!upload_id(t).empty()) {
        const CgiResponse r = t.call("PUT", upload_path(t), "digest=" + d);
        EXPECT_EQ(r.status, "201 Created") << when << "\n" << r.raw;
      } else if (t.call("HEAD", "/v2/app/blobs/" + d).status != "200 OK") {
        const CgiResponse r = t.call("POST", "/v2/app/blobs/uploads/", "digest=" + d, whole);
        EXPECT_EQ(r.status, "201 Created") << when << "\n" << r.raw;
      }
      const CgiResponse back = t.call("GET", "/v2/app/blobs/" + d);
      EXPECT_EQ(back.status, "200 OK") << when;
      EXPECT_TRUE(back.body == whole) << when;
    },
    true, true};

// A manifest request: true when it is answered with one of the answers.
bool manifest_request(Tree& t, const std::string& method, const std::string& ref, const std::string& body,
                      const std::string& crash, const std::vector<std::string>& answers) {
  std::map<std::string, std::string> extra = kImageHeaders;
  if (!crash.empty()) extra["REGISTRY_CRASH_AT"] = crash;
  const CgiResponse r = t.call(method, "/v2/app/manifests/" + ref, "", body, extra);
  for (const std::string& a : answers) {
    if (r.status == a) return true;
  }
  return false;
}

void expect_manifest(const Tree& t, const std::string& ref, const std::string& body, const std::string& when) {
  const CgiResponse r = t.call("GET", "/v2/app/manifests/" + ref, "", "", {{"HTTP_ACCEPT", kImageType}});
  if (body.empty()) {
    EXPECT_EQ(r.status, "404 Not Found") << when << ": " << ref;
  } else {
    EXPECT_EQ(r.status, "200 OK") << when << ": " << ref << "\n" << r.raw;
    EXPECT_EQ(r.body, body) << when << ": " << ref;
  }
}

void prepare_old_image(Tree&) {
  TreeBuilder b;
  push_blobs(b, {kConfig, kLayer0, kLayer1});
  b.push("app", "v1", kOldImage, kImageType);
}

void prepare_both_images(Tree& t) {
  prepare_old_image(t);
  TreeBuilder b;
  b.push("app", "v2", kNewImage, kImageType);
  b.push("app", "v3", kNewImage, kImageType);
}

const Operation kManifestPut{
    "manifest put with a tag",
    {"app"},
    // The tag moves from the old image to the new one, a referrer of it.
    prepare_old_image,
    [](Tree& t, const std::string& crash) {
      return manifest_request(t, "PUT", "v1", kNewImage, crash, {"201 Created"});
    },
    [](Tree& t, const std::string& when) {
      const CgiResponse now = t.call("GET", "/v2/app/manifests/v1", "", "", {{"HTTP_ACCEPT", kImageType}});
      EXPECT_TRUE(now.body == kOldImage || now.body == kNewImage) << when << ": v1 reads\n" << now.raw;
      EXPECT_TRUE(manifest_request(t, "PUT", "v1", kNewImage, "", {"201 Created"})) << when << "\n" << t.last().out;
      expect_manifest(t, "v1", kNewImage, when);
      expect_manifest(t, digest_string(kOldImage), kOldImage, when);
      const CgiResponse refs = t.call("GET", "/v2/app/referrers/" + digest_string(kOldImage));
      EXPECT_NE(refs.body.find(digest_string(kNewImage)), std::string::npos) << when << ": referrers\n" << refs.raw;
    }};

const Operation kManifestDelete{
    "manifest delete",
    {"app"},
    prepare_both_images,
    [](Tree& t, const std::string& crash) {
      return manifest_request(t, "DELETE", digest_string(kNewImage), "", crash, {"202 Accepted"});
    },
    [](Tree& t, const std::string& when) {
      EXPECT_TRUE(manifest_request(t, "DELETE", digest_string(kNewImage), "", "", {"202 Accepted", "404 Not Found"}))
          << when << "\n" << t.last().out;
      for (const std::string& ref : {digest_string(kNewImage), std::string("v2"), std::string("v3")}) {
        expect_manifest(t, ref, "", when);
      }
      expect_manifest(t, "v1", kOldImage, when);
      const CgiResponse refs = t.call("GET", "/v2/app/referrers/" + digest_string(kOldImage));
      EXPECT_EQ(refs.body.find(digest_string(kNewImage)), std::string::npos) << when << ": referrers\n" << refs.raw;
    }};

const Operation kTagDelete{
    "tag delete",
    {"app"},
    prepare_both_images,
    [](Tree& t, const std::string& crash) { return manifest_request(t, "DELETE", "v2", "", crash, {"202 Accepted"}); },
    [](Tree& t, const std::string& when) {
      EXPECT_TRUE(manifest_request(t, "DELETE", "v2", "", "", {"202 Accepted", "404 Not Found"}))
          << when << "\n" << t.last().out;
      expect_manifest(t, "v2", "", when);
      expect_manifest(t, "v3", kNewImage, when);
      expect_manifest(t, digest_string(kNewImage), kNewImage, when);
    }};

// A collection with work of every kind: an untagged image (and the layer
// only it needs), a blob nothing needs, a link nothing needs, an upload
// long untouched; the tagged image and what it needs stay.
const std::string kLoose = bytes_of(700, 5);
const std::string kUntagged = image_body(kConfig, {kLayer1});
const std::vector<std::string> kCollect = {"gc", "--grace", "1h", "--delete-untagged", "--upload-age", "1h"};

const Operation kCollection{
    "collection (registry-admin gc)",
    {"app", "other"},
    [](Tree& t) {
      prepare_old_image(t);
      TreeBuilder b;
      b.push("app", "v2", kUntagged, kImageType);
      ASSERT_EQ(reg_manifest_delete("app", "v2"), 0);
      b.blob("other", kLoose);
      b.blob("other", kConfig);
      char id[37];
      reg_status st;
      ASSERT_EQ(reg_upload_start("other", nullptr, id, &st), 0);
      make_old(t.root, 2 * 3600);
    },
    [](Tree& t, const std::string& crash) {
      const ProcessResult r = t.admin(kCollect, crash);
      return r.exit_code == 0;
    },
    [](Tree& t, const std::string& when) {
      // What stays pulls whole, before anything else has run.
      for (const std::string& blob : {kConfig, kLayer0}) {
        const CgiResponse r = t.call("GET", "/v2/app/blobs/" + digest_string(blob));
        EXPECT_EQ(r.status, "200 OK") << when << "\n" << r.raw;
        EXPECT_TRUE(r.body == blob) << when;
      }
      expect_manifest(t, "v1", kOldImage, when);
      const ProcessResult again = t.admin(kCollect);
      EXPECT_EQ(again.exit_code, 0) << when << ": the next collection\n" << again.out << again.err;
      expect_manifest(t, digest_string(kUntagged), "", when);
      EXPECT_FALSE(blob_there(t.root, digest_string(kLayer1))) << when;
      EXPECT_FALSE(blob_there(t.root, digest_string(kLoose))) << when;
    }};

void walk_and_report(const Operation& op) {
  SCOPED_TRACE(op.name);
  const Walk w = walk_every_point(op);
  if (::testing::Test::HasFatalFailure()) return;
  EXPECT_GT(w.points, 0) << op.name << ": no step reached: is the crash hook in place?";
  report(op, w);
}

// The kept digest state of an upload never lets a finish accept bytes the
// upload does not hold, and the client can always resume from what it
// holds.
TEST(CrashPoints, AnUploadAppend) {
  walk_and_report(kAppendResumed);
  walk_and_report(kAppendFinishedAsBefore);
  walk_and_report(kAppendFinishedAsAfter);
}

TEST(CrashPoints, AnUploadFinish) { walk_and_report(kFinish); }

TEST(CrashPoints, AManifestPutWithATag) { walk_and_report(kManifestPut); }

TEST(CrashPoints, AManifestDelete) { walk_and_report(kManifestDelete); }

TEST(CrashPoints, ATagDelete) { walk_and_report(kTagDelete); }

TEST(CrashPoints, ACollection) { walk_and_report(kCollection); }

// The hook itself: a kind filter counts only the steps of that kind, so
// the steps of each kind add up to all of them; "after" counts the same
// steps; and a value of any other form arms nothing.
TEST(CrashPoints, TheHookCountsTheStepsOfTheKindsItIsGiven) {
  TempDir prepared;
  {
    Tree t(prepared.path());
    prepare_old_image(t);
    reg_storage_cleanup();
  }
  // How many steps of the put the hook counts under that suffix.
  const auto steps = [&](const std::string& suffix) {
    for (int n = 1; n <= kMaxSteps; ++n) {
      TempDir dir;
      copy_tree(prepared / "root", dir / "root");
      Tree t(dir.path());
      reg_storage_cleanup();
      const bool ran = manifest_request(t, "PUT", "v1", kNewImage, std::to_string(n) + suffix, {"201 Created"});
      if (t.last().signal != SIGKILL) {
        EXPECT_TRUE(ran) << suffix << ": " << t.last().out;
        return n - 1;
      }
    }
    ADD_FAILURE() << suffix << ": more than " << kMaxSteps << " steps";
    return kMaxSteps;
  };
  const int all = steps("");
  int sum = 0;
  std::string counts;
  for (const char* kind : {"create", "write", "sync", "rename", "link", "remove", "mkdir", "truncate", "touch"}) {
    const int n = steps(std::string(":") + kind);
    sum += n;
    counts += std::string(counts.empty() ? "" : ", ") + kind + " " + std::to_string(n);
  }
  EXPECT_EQ(sum, all) << counts;
  EXPECT_EQ(steps(":after:rename,sync"), steps(":rename,sync"));
  std::printf("[ figures  ] the manifest put's %d steps: %s\n", all, counts.c_str());

  for (const char* value : {"0", "-1", "x", "3x", "3:", "3:after:", "3:bogus", "3:after:write:x", "3:write,", " 3"}) {
    TempDir dir;
    copy_tree(prepared / "root", dir / "root");
    Tree t(dir.path());
    reg_storage_cleanup();
    EXPECT_TRUE(manifest_request(t, "PUT", "v1", kNewImage, value, {"201 Created"}))
        << "REGISTRY_CRASH_AT=\"" << value << "\": " << t.last().out;
  }
}

}  // namespace
