// The one walk over the blob store, blobs/<alg>/<xx>/<entry>, for every
// reader of the whole store: statistics, garbage collection, scrub, fsck
// and disk usage (storage_blob_store.cpp).
#ifndef REGISTRY_STORAGE_BLOB_STORE_H
#define REGISTRY_STORAGE_BLOB_STORE_H

#include <cstdint>
#include <functional>
#include <string>

#include "platform/host.h"
#include "storage/storage_digest.h"
#include "storage/storage_fs.h"
#include "storage/storage_layout.h"

namespace storage {

// One entry of a prefix directory, as the walk meets it.
struct BlobStoreEntry {
  BlobName what = BlobName::kOther;
  DigestAlg alg = DigestAlg::kNone;
  std::string digest;  // for kBlob and kSetAside
  std::string name;    // the entry's own name
  std::string path;
  host::Kind kind = host::Kind::kOther;
  int64_t size = -1;   // -1 when it could not be read (gone since it was listed)
};

struct BlobStoreVisitor {
  // Every entry of every prefix directory, whatever it is; called in byte
  // order of the prefixes and, within one, of the names.
  std::function<void(const BlobStoreEntry&)> entry;
  // A directory of the store (an algorithm's, or a prefix) that cannot be
  // read; may be empty.
  std::function<void(const char* dir)> unreadable;
  // Before each prefix directory: how many were walked of how many there
  // are; may be empty.
  std::function<void(int64_t done, int64_t total)> progress;
};

// Walks the store: the directories of both algorithms first, then each
// prefix directory among them (entries of an algorithm's directory that
// are not directories are nobody's blobs and are left out). kFailed when
// a directory of an algorithm that is there cannot be read (the rest is
// walked all the same), else kOk; a store that lacks one is no failure.
Scan walk_blob_store(const BlobStoreVisitor& visit);

}  // namespace storage

#endif
