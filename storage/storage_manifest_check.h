// What makes a manifest body acceptable, and what it refers to
// (storage_manifest_check.cpp).
#ifndef REGISTRY_STORAGE_MANIFEST_CHECK_H
#define REGISTRY_STORAGE_MANIFEST_CHECK_H

#include <cstddef>
#include <string>
#include <vector>

namespace storage {

enum class ManifestKind { kImage, kIndex, kArtifact };
// What a manifest says of itself and what it refers to.
struct ManifestInfo {
  ManifestKind kind = ManifestKind::kImage;
  std::string media_type;          // its "mediaType", when it has one
  std::string artifact_type;       // its "artifactType", when it has one
  std::string config_media_type;   // an image manifest's config "mediaType"
  std::string subject;             // the digest its "subject" names, when it has one
  std::string annotations;         // its "annotations" object as JSON text, when it has one
  std::vector<std::string> blobs;      // config, layers, blobs: content the repository must hold
  std::vector<std::string> manifests;  // an index's children: manifests the repository must hold
};
// The message of the first reason the document is not an acceptable
// manifest (yyjson's strict parse, no key twice in any object, then the
// shape of its kind), or null with *info filled.
const char* manifest_body_error(const void* body, size_t len, ManifestInfo* info, char* msg, size_t msg_size);


// A manifest body read whole: its bytes are bytes[0..len).
struct ManifestBuffer {
  std::vector<char> bytes;
  size_t len = 0;
};
// Reads the body at path into buf: 0, -1 when it cannot be read, -2 when
// it holds more than the largest manifest (kManifestMax bytes).
int read_manifest_file(const char* path, ManifestBuffer* buf);
// Reads the body at path and parses it: 1 parsed, 0 not a manifest (msg
// says why), -1 unreadable.
int load_manifest(const char* path, ManifestBuffer* buf, ManifestInfo* info, char* msg, size_t msg_size);

}  // namespace storage

#endif
