// Manifest bodies with subjects feeding the referrers index, and deletes,
// against a temporary root: after every step, each referrer listed for any
// subject is a manifest the repository stores, and each stored manifest
// with a subject is listed for it. Input: records separated by newlines; a
// record beginning with 'd' deletes the manifest put by the record it
// names (its second byte, modulo those put), any other record is put as a
// manifest body under a tag.
#include "fuzz/fuzz_target.h"

#include <unistd.h>
#include <yyjson.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "storage/reg_storage.h"

namespace {

std::string s_parent;
std::string s_root;

void cleanup_at_exit() { fuzz_support::remove_tree(s_parent); }

int append_text(void* ctx, const char* data, size_t len) {
  static_cast<std::string*>(ctx)->append(data, len);
  return 0;
}

// The subject of a body, or "".
std::string subject_of(const std::string& body) {
  yyjson_doc* doc = yyjson_read(body.data(), body.size(), 0);
  std::string out;
  yyjson_val* s = doc != nullptr ? yyjson_obj_get(yyjson_obj_get(yyjson_doc_get_root(doc), "subject"), "digest") : nullptr;
  if (yyjson_is_str(s)) out = yyjson_get_str(s);
  yyjson_doc_free(doc);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (s_root.empty()) {
    char templ[] = "/tmp/fuzzref.XXXXXX";
    if (mkdtemp(templ) == nullptr) std::abort();
    s_parent = templ;
    s_root = s_parent + "/root";
    std::atexit(cleanup_at_exit);
  }
  fuzz_support::remove_tree(s_root);
  if (reg_storage_init(s_root.c_str()) != 0) std::abort();
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> put_digests;
  std::map<std::string, std::string> stored;  // digest -> subject ("" for none)
  std::set<std::string> subjects;
  size_t start = 0;
  for (int step = 0; step < 16 && start <= input.size(); ++step) {
    size_t end = input.find('\n', start);
    if (end == std::string::npos) end = input.size();
    const std::string record = input.substr(start, end - start);
    start = end + 1;
    if (!record.empty() && record[0] == 'd' && record.size() > 1 && !put_digests.empty()) {
      const std::string& d = put_digests[static_cast<unsigned char>(record[1]) % put_digests.size()];
      if (reg_manifest_delete("app", d.c_str()) == 0) stored.erase(d);
    } else {
      char digest[REG_DIGEST_CAP];
      char tag[16];
      std::snprintf(tag, sizeof tag, "t%d", step);
      if (reg_manifest_put("app", tag, record.data(), record.size(), nullptr, digest) == 0) {
        put_digests.push_back(digest);
        stored[digest] = subject_of(record);
        if (!stored[digest].empty()) subjects.insert(stored[digest]);
      }
    }
    for (const std::string& subject : subjects) {
      std::string text;
      reg_status st;
      if (reg_referrers_json("app", subject.c_str(), nullptr, 0, nullptr, append_text, &text, nullptr, &st) != 0) {
        std::abort();
      }
      yyjson_doc* doc = yyjson_read(text.data(), text.size(), 0);
      if (doc == nullptr) std::abort();
      std::set<std::string> listed;
      size_t idx = 0, max = 0;
      yyjson_val* item = nullptr;
      yyjson_arr_foreach(yyjson_obj_get(yyjson_doc_get_root(doc), "manifests"), idx, max, item) {
        listed.insert(yyjson_get_str(yyjson_obj_get(item, "digest")));
      }
      yyjson_doc_free(doc);
      for (const std::string& d : listed) {
        if (stored.count(d) == 0) std::abort();  // a referrer that is not stored
      }
      for (const auto& [d, s] : stored) {
        if (s == subject && listed.count(d) == 0) std::abort();  // a stored referrer not listed
      }
    }
  }
  return 0;
}
