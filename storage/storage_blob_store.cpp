#include "storage/storage_blob_store.h"

#include <algorithm>
#include <vector>

#include "platform/host.h"
#include "storage/storage_digest.h"
#include "storage/storage_fs.h"
#include "storage/storage_layout.h"

namespace storage {
namespace {

struct Prefix {
  DigestAlg alg;
  std::string name;
  std::string path;
};

void tell_unreadable(const BlobStoreVisitor& visit, const char* dir) {
  if (visit.unreadable) visit.unreadable(dir);
}

// The prefix directories of both algorithms, in byte order of their paths.
Scan list_prefixes(const BlobStoreVisitor& visit, std::vector<Prefix>* out) {
  Scan result = Scan::kOk;
  for (DigestAlg alg : {DigestAlg::kSha256, DigestAlg::kSha512}) {
    char dir[kPathCap];
    blob_alg_dir(alg, dir, sizeof dir);
    std::vector<Entry> entries;
    if (scan_dir(dir, &entries) == Scan::kFailed) {
      tell_unreadable(visit, dir);
      result = Scan::kFailed;
      continue;
    }
    for (const Entry& e : entries) {
      if (e.kind != host::Kind::kDir) continue;
      char path[kPathCap];
      path_join(path, sizeof path, dir, e.name.c_str());
      out->push_back({alg, e.name, path});
    }
  }
  std::sort(out->begin(), out->end(), [](const Prefix& a, const Prefix& b) { return a.path < b.path; });
  return result;
}

// The entries of one prefix directory with their sizes, read while the
// directory is open; false when it cannot be read (one removed since it
// was listed, with its last blob, holds nothing and is no failure).
bool read_prefix(const Prefix& p, std::vector<BlobStoreEntry>* out) {
  out->clear();
  const Scan scan = each_entry(p.path.c_str(), [&](const char* name, host::Kind kind, host::DirStream* ds) {
    BlobStoreEntry e;
    e.alg = p.alg;
    e.name = name;
    e.kind = kind;
    e.what = blob_entry_name(p.alg, p.name.c_str(), name, &e.digest);
    host::Attributes a;
    if (host::dir_entry_attributes(ds, name, &a)) e.size = a.size;
    char path[kPathCap];
    path_join(path, sizeof path, p.path.c_str(), name);
    e.path = path;
    out->push_back(std::move(e));
    return true;
  });
  std::sort(out->begin(), out->end(), [](const BlobStoreEntry& a, const BlobStoreEntry& b) { return a.name < b.name; });
  return scan != Scan::kFailed;
}

}  // namespace

Scan walk_blob_store(const BlobStoreVisitor& visit) {
  std::vector<Prefix> prefixes;
  const Scan result = list_prefixes(visit, &prefixes);
  std::vector<BlobStoreEntry> entries;
  const int64_t total = static_cast<int64_t>(prefixes.size());
  for (int64_t i = 0; i < total; ++i) {
    const Prefix& p = prefixes[static_cast<size_t>(i)];
    if (visit.progress) visit.progress(i, total);
    // What a prefix that fails part-way listed is still walked: those
    // blobs are there.
    if (!read_prefix(p, &entries)) tell_unreadable(visit, p.path.c_str());
    for (const BlobStoreEntry& e : entries) visit.entry(e);
  }
  if (visit.progress) visit.progress(total, total);
  return result;
}

}  // namespace storage
