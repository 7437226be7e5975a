// Referrers: the manifests whose "subject" names a manifest. Each one is
// recorded when it is put, as its own descriptor in a file under the
// subject's directory, and forgotten when it is deleted, so that listing
// the referrers of a digest reads only those files, however many other
// manifests the repository holds. Manifests that clients listed before the
// API existed, in an index tagged "<alg>-<hex>" after the subject, are
// listed too.
#include <yyjson.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/host.h"
#include "storage/reg_storage.h"
#include "storage/storage_catalog.h"
#include "storage/storage_digest.h"
#include "storage/storage_fs.h"
#include "storage/storage_layout.h"
#include "storage/storage_manifest_check.h"
#include "storage/storage_names.h"
#include "storage/storage_manifests.h"
#include "storage/storage_referrers.h"
#include "storage/storage_text.h"
#include "storage/storage_state.h"
#include "text/json_escape.h"

namespace storage {
namespace {

constexpr char kIndexType[] = "application/vnd.oci.image.index.v1+json";

std::string json_string(const std::string& s) {
  std::string out(text_json_escaped_len(s.data(), s.size()) + 2, '"');
  text_json_escape(s.data(), s.size(), out.data() + 1);
  return out;
}

// The descriptor of a referrer, as the referrers API lists it.
std::string descriptor(const std::string& digest, size_t size, const char* ct, const ManifestInfo& info) {
  const std::string media = !info.media_type.empty() ? info.media_type : std::string(ct);
  const std::string artifact = !info.artifact_type.empty() ? info.artifact_type : info.config_media_type;
  std::string d = "{\"mediaType\":" + json_string(media) + ",\"digest\":" + json_string(digest) +
                  ",\"size\":" + std::to_string(size);
  if (!artifact.empty()) d += ",\"artifactType\":" + json_string(artifact);
  if (!info.annotations.empty()) d += ",\"annotations\":" + info.annotations;
  return d + "}";
}

struct Listed {
  std::string digest;
  std::string json;           // the descriptor
  std::string artifact_type;  // for the filter
};

// A descriptor's digest and artifactType, read back; false when it is
// not one.
bool read_descriptor(yyjson_val* v, Listed* out) {
  yyjson_val* digest = yyjson_obj_get(v, "digest");
  if (!yyjson_is_obj(v) || !yyjson_is_str(digest) || !any_digest_valid(yyjson_get_str(digest))) return false;
  out->digest = yyjson_get_str(digest);
  yyjson_val* artifact = yyjson_obj_get(v, "artifactType");
  out->artifact_type = yyjson_is_str(artifact) ? yyjson_get_str(artifact) : "";
  char* text = yyjson_val_write(v, YYJSON_WRITE_NOFLAG, nullptr);
  if (text == nullptr) return false;
  out->json = text;
  std::free(text);
  return true;
}

// The recorded referrers of subject.
void recorded(const char* repo, const char* subject, std::vector<Listed>* out) {
  char dir[kPathCap];
  std::vector<Entry> entries;
  if (!manifest_referrers_dir(repo, subject, dir, sizeof dir) || scan_dir(dir, &entries) != Scan::kOk) return;
  for (const Entry& e : entries) {
    if (e.kind != host::Kind::kFile || e.name[0] == '.') continue;
    char path[kPathCap];
    path_join(path, sizeof path, dir, e.name.c_str());
    char text[16384];
    size_t len = 0;
    if (read_file(path, text, sizeof text, &len) != 0) continue;
    yyjson_doc* doc = yyjson_read(text, len, 0);
    Listed l;
    if (doc != nullptr && read_descriptor(yyjson_doc_get_root(doc), &l)) out->push_back(std::move(l));
    yyjson_doc_free(doc);
  }
}

// The entries of the index that a client of the tag scheme keeps under
// the tag "<alg>-<hex>" of the subject.
void tag_scheme(const char* repo, const char* subject, std::vector<Listed>* out) {
  std::string tag = subject;
  tag[tag.find(':')] = '-';
  char ct[REG_CONTENT_TYPE_CAP];
  char digest[REG_DIGEST_CAP];
  ManifestBuffer body;
  reg_status none;  // a subject without such a tag has none of these
  if (read_manifest(repo, tag.c_str(), &body, ct, digest, &none) != 0) return;
  yyjson_doc* doc = yyjson_read(body.bytes.data(), body.len, 0);
  yyjson_val* list = doc != nullptr ? yyjson_obj_get(yyjson_doc_get_root(doc), "manifests") : nullptr;
  size_t idx = 0, max = 0;
  yyjson_val* item = nullptr;
  yyjson_arr_foreach(list, idx, max, item) {
    Listed l;
    if (read_descriptor(item, &l)) out->push_back(std::move(l));
  }
  yyjson_doc_free(doc);
}

}  // namespace

int record_referrer(const char* repo, const std::string& digest, size_t size, const char* ct, const ManifestInfo& info) {
  if (info.subject.empty()) return 0;
  char dir[kPathCap];
  char path[kPathCap];
  if (!manifest_referrers_dir(repo, info.subject.c_str(), dir, sizeof dir) ||
      !manifest_referrer_path(repo, info.subject.c_str(), digest.c_str(), path, sizeof path)) {
    return -1;
  }
  const std::string d = descriptor(digest, size, ct, info);
  return mkdirs(dir) == 0 && write_file_locked(path, d.data(), d.size()) == 0 ? 0 : -1;
}

void forget_referrer(const char* repo, const std::string& digest, const ManifestInfo& info) {
  if (info.subject.empty()) return;
  char dir[kPathCap];
  char path[kPathCap];
  if (!manifest_referrers_dir(repo, info.subject.c_str(), dir, sizeof dir) ||
      !manifest_referrer_path(repo, info.subject.c_str(), digest.c_str(), path, sizeof path)) {
    return;
  }
  remove_file(path);
  char tmp[kPathCap];
  if (locked_temp_name_for(path, tmp, sizeof tmp)) remove_file(tmp);
  host::remove_dir(dir);  // once it holds no referrer
}

namespace {

int referrers(const char* repo, const char* subject, const char* artifact_type, int n, const char* last,
              reg_writer write, void* write_ctx, reg_page* page, reg_status* st) {
  if (repo == nullptr || subject == nullptr || write == nullptr) return fail(st, REG_ERR_INVALID, "NULL argument");
  if (require_ready(st) != 0) return -1;
  if (!repo_name_valid(repo)) return fail(st, REG_ERR_INVALID, "invalid repository name: %s", repo);
  if (!any_digest_valid(subject)) return fail(st, REG_ERR_INVALID, "invalid digest: %s", subject);
  std::vector<Listed> all;
  recorded(repo, subject, &all);
  tag_scheme(repo, subject, &all);
  // One entry per referrer (the index of the tag scheme may repeat one
  // that is recorded), in byte order of their digests, filtered.
  std::stable_sort(all.begin(), all.end(), [](const Listed& a, const Listed& b) { return a.digest < b.digest; });
  all.erase(std::unique(all.begin(), all.end(), [](const Listed& a, const Listed& b) { return a.digest == b.digest; }),
            all.end());
  const bool filtered = artifact_type != nullptr && artifact_type[0] != '\0';
  std::vector<const Listed*> listed;
  for (const Listed& l : all) {
    if (filtered && l.artifact_type != artifact_type) continue;
    if (last != nullptr && last[0] != '\0' && l.digest <= last) continue;
    listed.push_back(&l);
  }
  // The page: as many as n asks (n <= 0: all) and a page's text holds.
  std::string text = std::string("{\"schemaVersion\":2,\"mediaType\":\"") + kIndexType + "\",\"manifests\":[";
  const char* next = nullptr;
  for (size_t i = 0; i < listed.size(); ++i) {
    if ((n > 0 && static_cast<int>(i) == n) || text.size() + listed[i]->json.size() + 8 > kResultCap) {
      if (i > 0) next = listed[i - 1]->digest.c_str();
      break;
    }
    if (i > 0) text += ',';
    text += listed[i]->json;
  }
  text += "]}";
  TextOut out(write, write_ctx);
  out.put(text);
  if (out.flush(st) != 0) return -1;
  set_page(page, next);
  return 0;
}

}  // namespace
}  // namespace storage

using namespace storage;

extern "C" int reg_referrers_json(const char* repo, const char* subject, const char* artifact_type, int n,
                                  const char* last, reg_writer write, void* write_ctx, reg_page* page,
                                  reg_status* caller) {
  CallStatus st(caller);
  set_page(page, nullptr);
  return referrers(repo, subject, artifact_type, n, last, write, write_ctx, page, st);
}
