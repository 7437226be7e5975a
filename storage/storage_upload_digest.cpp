// The digest of an upload, kept as its bytes arrive.
//
// Every append hashes what it writes and, before it lets go of the
// upload's lock, keeps the running state beside the upload in
// upload-digests/<uuid>: the algorithm, the hash's state (as portable
// bytes), and the stamp (size, modification time, identity) of the upload
// file that state describes, the whole closed by its own SHA-256. A finish
// that finds a state whose stamp is the upload file's stamp now ends the
// hash there instead of reading the file again.
//
// A state is trusted only when everything matches: a process killed
// between its append and the state's write leaves a stamp that no longer
// matches (the file grew); a state of another format, of another
// algorithm, or whose count of bytes is not the file's size, is not taken
// up; a damaged one fails its checksum. Anything else means the file is
// hashed again, whole. And a state's digest is only ever used to accept:
// a finish whose state disagrees with the digest it was given hashes the
// file again before it refuses, so a bad state can cost time, never a
// wrong answer.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/host.h"
#include "storage/storage_digest.h"
#include "storage/storage_fs.h"
#include "storage/storage_layout.h"
#include "storage/storage_uploads.h"
#include "text/hex.h"

namespace storage {
namespace {

constexpr char kFormat[] = "registry upload digest 1";

std::string hex_of(const std::string& bytes) {
  std::string out(bytes.size() * 2 + 1, '\0');
  text_hex_encode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), out.data());
  out.pop_back();
  return out;
}

bool bytes_of(const std::string& hex, std::string* out) {
  if (hex.size() % 2 != 0) return false;
  out->resize(hex.size() / 2);
  return text_hex_decode(hex.data(), out->size(), reinterpret_cast<uint8_t*>(out->data()), 1) == 0;
}

// The hex of the text's SHA-256.
std::string checksum(const std::string& text) {
  DigestHasher h(DigestAlg::kSha256);
  h.update(text.data(), text.size());
  return digest_hex_of(h.finish().c_str());
}

std::string stamp_line(const host::FileStamp& stamp) {
  char line[96];
  std::snprintf(line, sizeof line, "%" PRId64 " %" PRId64 " %" PRIu64, stamp.size, stamp.mtime_ns, stamp.id);
  return line;
}

// The state file's text for a hasher and the stamp of the file it hashed.
std::string state_text(const DigestHasher& h, const host::FileStamp& stamp) {
  const std::string text = std::string(kFormat) + "\n" + digest_alg_name(h.alg()) + "\n" + stamp_line(stamp) +
                           "\n" + hex_of(h.save()) + "\n";
  return text + checksum(text) + "\n";
}

// Takes up into h the state kept for the upload when it is whole, of this
// format and algorithm, and describes the upload file f as it is now.
bool load(const char* uuid, FILE* f, DigestHasher* h) {
  char path[kPathCap];
  upload_state_path(uuid, path, sizeof path);
  char buf[1024];
  size_t len = 0;
  if (read_file(path, buf, sizeof buf, &len) != 0 || len == 0 || buf[len - 1] != '\n') return false;
  const std::string text(buf, len);
  // format, algorithm, stamp, state, checksum: one per line.
  std::string lines[5];
  size_t at = 0;
  for (std::string& l : lines) {
    const size_t nl = text.find('\n', at);
    if (nl == std::string::npos) return false;
    l = text.substr(at, nl - at);
    at = nl + 1;
  }
  const size_t body = text.size() - lines[4].size() - 1;
  if (at != text.size() || lines[4] != checksum(text.substr(0, body))) return false;
  host::FileStamp now;
  if (lines[0] != kFormat || lines[1] != digest_alg_name(h->alg()) || !host::stamp_of(f, &now) ||
      lines[2] != stamp_line(now)) {
    return false;
  }
  DigestHasher restored(h->alg());
  std::string state;
  if (!bytes_of(lines[3], &state) || !restored.restore(state) ||
      restored.bytes_taken() != static_cast<uint64_t>(now.size)) {
    return false;
  }
  *h = restored;
  return true;
}

}  // namespace

RunningDigest::RunningDigest(const char* uuid, DigestAlg alg) : uuid_(uuid), hasher_(alg), before_(alg) {}

void RunningDigest::take_up(FILE* f) {
  if (state_ != State::kUnknown) return;
  host::FileStamp now;
  if (host::stamp_of(f, &now) && now.size == 0) {
    state_ = State::kLive;  // nothing to catch up with
  } else {
    state_ = load(uuid_.c_str(), f, &hasher_) ? State::kLive : State::kNone;
  }
}

void RunningDigest::begin() { before_ = hasher_; }

void RunningDigest::take(const void* data, size_t len) {
  changed_ = true;
  synced_ = false;
  if (state_ == State::kLive) hasher_.update(data, len);
}

void RunningDigest::undo() {
  changed_ = true;  // the file is as it was, its stamp is not
  synced_ = false;
  hasher_ = before_;
}

bool RunningDigest::digest_of(int64_t size, std::string* out) const {
  if (state_ != State::kLive || hasher_.bytes_taken() != static_cast<uint64_t>(size)) return false;
  DigestHasher copy = hasher_;
  *out = copy.finish();
  return true;
}

void RunningDigest::keep(FILE* f) {
  if (!changed_) return;
  changed_ = false;
  char path[kPathCap];
  char dir[kPathCap];
  upload_state_path(uuid_.c_str(), path, sizeof path);
  upload_state_dir(dir, sizeof dir);
  host::FileStamp now;
  // The upload's bytes reach the disk before a state that describes them
  // is written: after a power cut, a state that survived never stands for
  // bytes that did not (and one that did not survive leaves a stamp that
  // no longer matches). The state itself can be made again, so it is never
  // flushed; it is written under the upload's lock, so no other writer of
  // it meets ours.
  if (state_ == State::kLive && (synced_ || host::sync_file(f)) && host::stamp_of(f, &now) && mkdirs(dir) == 0) {
    const std::string text = state_text(hasher_, now);
    if (write_file_locked(path, text.data(), text.size(), Durability::kCache) == 0) return;
  }
  // No state that can be kept: the finish reads the file.
  remove_file(path);
}

void drop_upload_state(const char* uuid) {
  char path[kPathCap];
  upload_state_path(uuid, path, sizeof path);
  remove_file(path);
  // And what a writer killed halfway through keeping it left: it is only
  // ever written under the upload's lock, which the caller holds.
  char tmp[kPathCap];
  if (locked_temp_name_for(path, tmp, sizeof tmp)) remove_file(tmp);
}

}  // namespace storage
