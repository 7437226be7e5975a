// The on-disk layout of the storage tree, in one place: the names of its
// entries and the functions that build their paths. Every path below the
// storage root is made here.
//
//   <root>/config.json                 storage marker file, written once
//   <root>/blobs/sha256/<xx>/<hex>     content-addressed blobs (and
//   <root>/blobs/sha512/<xx>/<hex>     those addressed by SHA-512)
//   <root>/repositories/<name>/...     one directory per repository
//   <root>/repositories/_nested/<a%b>  marks a/b as a directory on the way
//                                      to a nested repository
//   <root>/repositories/_nested.lock   held while _nested is first made
//   <root>/uploads/<uuid>.part         pending blob uploads
//   <root>/upload-digests/<uuid>       the digest of an upload so far
//   <root>/gc.lock                     held by the garbage collection under way
//   <root>/quarantine/<alg>-<hex>      a blob, and a manifest body of a
//   <root>/quarantine/<a%b>@<alg>-<hex>  repository, that no longer hashed
//                                      to its name, moved away by scrub
//   <root>/blobs/<alg>/<xx>/.gc-<hex>  a blob the collection has set aside
//                                      while it looks once more for a user
//   <root>/auth/htpasswd               access control: users and their
//   <root>/auth/policy                 bcrypt hashes, who may do what,
//   <root>/auth/token.key              and the key that signs tokens
//                                      (owner only), where no setting
//                                      names other files
//   <root>/auth/throttle/<xx>          failed password attempts: bucket
//                                      <xx> (two hex digits, 64 buckets)
//                                      of records "<key hex> <since>
//                                      <failures>", replaced whole
//   <root>/auth/throttle/<xx>.lock     held while bucket <xx> is checked
//                                      and written
//   <root>/events/outbox/<t>-<id>.json an event not yet delivered: <t> the
//                                      time it was recorded (20 digits of
//                                      nanoseconds), <id> its 32 hex digits
//   <root>/events/tries/<t>-<id>       its failed deliveries: "<count>
//                                      <unix time of the last>"
//   <root>/events/deliver.lock         held by the deliverer at work
//   <root>/metrics/requests/<xx>       request counts, shard <xx> (two hex
//                                      digits, 16 shards): lines "<series>
//                                      <count>" and "end", changed in
//                                      place under a lock on the file
//   <root>/metrics/summary             stored amounts from the latest
//                                      recount: lines "<name> <amount>"
//   <root>/metrics/recount.lock        held while the tree is recounted
//
// Below a repository (name: components joined by '/', nesting directories):
//   _manifests/lock                    locked while manifests or tags change
//   _manifests/<hex>                   manifest body, the bytes as pushed
//   _manifests/<hex>.ct                its content type
//   _manifests/revisions/<alg>/<hex>/link    revision link: "<alg>:<hex>"
//   _manifests/tags/<tag>/current/link       tag link: "<alg>:<hex>"
//   _manifests/referrers/<alg>/<hex>/<alg>-<hex>  a referrer of the
//                                      manifest <alg>:<hex>: its descriptor
//   _layers/<alg>/<hex>/link           the repository holds that blob
//   _layers/<alg>/<hex>/.gc-link       the link, set aside by the collection
//   _uploads/<uuid>                    an upload this repository started
//
// Every name of the tree's own below repositories/ begins with '_', which
// no component of a repository name does; temporary files begin with '.'.
#ifndef REGISTRY_STORAGE_LAYOUT_H
#define REGISTRY_STORAGE_LAYOUT_H

#include <cstddef>
#include <string>

namespace storage {

inline constexpr const char kBlobsDir[] = "blobs";
inline constexpr const char kSha256Dir[] = "sha256";
inline constexpr const char kRepositoriesDir[] = "repositories";
inline constexpr const char kUploadsDir[] = "uploads";
inline constexpr const char kMarkerFile[] = "config.json";

// The storage marker file, byte for byte.
inline constexpr const char kMarkerContent[] =
    "{\n"
    "  \"schemaVersion\": 2,\n"
    "  \"title\": \"brindlet-registry-storage\",\n"
    "  \"version\": \"1.0.0\",\n"
    "  \"maxUploadSize\": -1\n"
    "}\n";
static_assert(sizeof kMarkerContent - 1 == 110);

inline constexpr const char kUploadSuffix[] = ".part";
inline constexpr const char kUploadStateDir[] = "upload-digests";
inline constexpr const char kManifestsDir[] = "_manifests";
inline constexpr const char kContentTypeSuffix[] = ".ct";
inline constexpr const char kRevisionsDir[] = "revisions";
inline constexpr const char kTagsDir[] = "tags";
inline constexpr const char kCurrentDir[] = "current";
inline constexpr const char kLinkFile[] = "link";
inline constexpr const char kReferrersDir[] = "referrers";
inline constexpr const char kLockFile[] = "lock";
inline constexpr const char kNestedIndexDir[] = "_nested";
inline constexpr const char kNestedIndexLockFile[] = "_nested.lock";
inline constexpr const char kLayersDir[] = "_layers";
inline constexpr const char kRepoUploadsDir[] = "_uploads";

inline constexpr const char kAuthDir[] = "auth";
inline constexpr const char kHtpasswdFile[] = "htpasswd";
inline constexpr const char kPolicyFile[] = "policy";
inline constexpr const char kTokenKeyFile[] = "token.key";

inline constexpr const char kThrottleDir[] = "throttle";
inline constexpr const char kThrottleLockSuffix[] = ".lock";
// What a mirror keeps beside the content it fetched: <root>/mirror/fetching
// holds one lock file per blob being fetched from upstream
// (<alg>-<hex>.lock), <root>/mirror/checked/<name>/<tag> the time a tag was
// last compared with upstream (the file's modification time), and
// <root>/mirror/referrers/<name>/<alg>-<hex> the time the referrers of a
// digest were last asked of upstream, and <root>/mirror/pulled/<name>/
// <alg>-<hex> the time (to the minute) a mirrored manifest was last pulled,
// and <root>/mirror/tokens/<64 hex digits> a token an upstream gave (owner
// only), named by the SHA-256 of the upstream, user and scope it is for.
inline constexpr const char kMirrorDir[] = "mirror";
inline constexpr const char kMirrorFetchingDir[] = "fetching";
inline constexpr const char kMirrorCheckedDir[] = "checked";
inline constexpr const char kMirrorReferrersDir[] = "referrers";
inline constexpr const char kMirrorPulledDir[] = "pulled";
inline constexpr const char kMirrorTokensDir[] = "tokens";

inline constexpr const char kEventsDir[] = "events";
inline constexpr const char kOutboxDir[] = "outbox";
inline constexpr const char kEventTriesDir[] = "tries";
inline constexpr const char kEventSuffix[] = ".json";
inline constexpr const char kDeliverLockFile[] = "deliver.lock";

inline constexpr const char kMetricsDir[] = "metrics";
inline constexpr const char kMetricsRequestsDir[] = "requests";
inline constexpr unsigned kMetricsShards = 16;
inline constexpr const char kMetricsSummaryFile[] = "summary";
inline constexpr const char kMetricsRecountLockFile[] = "recount.lock";

// first, the host separator, second; cut to cap - 1 bytes.
void path_join(char* out, size_t cap, const char* first, const char* second);
// <root>/repositories
void repos_dir(char* out, size_t cap);
// <root>/repositories/_nested
void nested_index_dir(char* out, size_t cap);
// <root>/repositories/_nested.lock
void nested_index_lock_path(char* out, size_t cap);
// <root>/blobs/<alg>/<first two hex digits>/<hex> of a valid digest string.
void blob_path_for_digest(const char* digest, char* out, size_t out_size);
// <alg>/<first two hex digits>/<hex>: the blob's place below <root>/blobs,
// joined with '/' whatever the host. false when it does not fit.
bool blob_store_name(const char* digest, char* out, size_t out_size);
// <root>/blobs/<alg>/<first two hex digits>: the blob's prefix directory.
void blob_prefix_dir(const char* digest, char* out, size_t out_size);
// Where garbage collection keeps a blob while it looks once more for a
// manifest that needs it: "<prefix dir>/.gc-<hex>".
void blob_quarantine_path(const char* digest, char* out, size_t out_size);
// Where scrub puts a blob whose bytes no longer hash to its name:
// <root>/quarantine/<alg>-<hex>
void blob_rotten_path(const char* digest, char* out, size_t out_size);
inline constexpr const char kQuarantineDir[] = "quarantine";
inline constexpr const char kGcPrefix[] = ".gc-";
inline constexpr const char kGcLockFile[] = "gc.lock";
// <root>/gc.lock
void gc_lock_path(char* out, size_t out_size);
// <root>/uploads
void uploads_dir(char* out, size_t out_size);
// <root>/quarantine
void quarantine_dir(char* out, size_t out_size);
// <root>/blobs/<alg>
enum class DigestAlg;
void blob_alg_dir(DigestAlg alg, char* out, size_t out_size);
// The inverse of the blob store's builders: what the entry `name` of the
// prefix directory `prefix` below <root>/blobs/<alg> is. kBlob: the blob
// whose path blob_path_for_digest builds; kSetAside: the one whose path
// blob_quarantine_path builds; *digest then gets its digest string.
// kOther: nothing of the engine's (a temporary file, a name of another
// shape, a blob in another prefix's directory).
enum class BlobName { kBlob, kSetAside, kOther };
BlobName blob_entry_name(DigestAlg alg, const char* prefix, const char* name, std::string* digest);
// <root>/auth, and <root>/auth/<file> (false when it does not fit).
void auth_dir(char* out, size_t cap);
bool auth_file_path(const char* file, char* out, size_t cap);
// <root>/auth/throttle, a bucket of failed password attempts in it
// (<xx>: the bucket's number in two hex digits) and the file locked while
// that bucket changes. false when the path does not fit.
bool throttle_dir(char* out, size_t cap);
bool throttle_bucket_path(unsigned bucket, char* out, size_t cap);
bool throttle_lock_path(unsigned bucket, char* out, size_t cap);
// <root>/mirror/fetching/<alg>-<hex>.lock for a valid digest string, and
// <root>/mirror/checked/<name>/<tag>, <root>/mirror/referrers/<name>/
// <alg>-<hex>; false when the path does not fit.
bool mirror_fetch_lock_path(const char* digest, char* out, size_t cap);
bool mirror_tag_checked_path(const char* name, const char* tag, char* out, size_t cap);
bool mirror_referrers_checked_path(const char* name, const char* digest, char* out, size_t cap);
// <root>/mirror/pulled, and <root>/mirror/pulled/<name>/<alg>-<hex>.
bool mirror_pulled_dir(char* out, size_t cap);
bool mirror_pulled_path(const char* name, const char* digest, char* out, size_t cap);
// <root>/mirror/tokens/<hex>, for 64 lowercase hex digits.
bool mirror_token_path(const char* hex, char* out, size_t cap);
// <root>/uploads/<uuid>.part
void upload_path_for_uuid(const char* uuid, char* out, size_t out_size);
// <root>/upload-digests
void upload_state_dir(char* out, size_t out_size);
// <root>/upload-digests/<uuid>
void upload_state_path(const char* uuid, char* out, size_t out_size);

// <root>/events/outbox, <root>/events/tries and <root>/events/deliver.lock
void event_outbox_dir(char* out, size_t cap);
void event_tries_dir(char* out, size_t cap);
void event_lock_path(char* out, size_t cap);
// An event's file in the outbox and its count of tries, by its name
// (<t>-<id>, which event_name_valid has checked); false when the path does
// not fit.
bool event_path(const char* name, char* out, size_t cap);
bool event_tries_path(const char* name, char* out, size_t cap);
// Whether name (len bytes) is an event's name: 20 digits, '-', 32
// lowercase hex digits. An outbox entry is an event when it is such a name
// followed by ".json".
inline constexpr size_t kEventNameLen = 20 + 1 + 32;
bool event_name_valid(const char* name, size_t len);

// <root>/metrics/requests, its shard <xx> (shard below kMetricsShards),
// and <root>/metrics/<file> for the files of kMetrics*File; false when
// the path does not fit.
void metrics_requests_dir(char* out, size_t cap);
bool metrics_shard_path(unsigned shard, char* out, size_t cap);
bool metrics_file_path(const char* file, char* out, size_t cap);

// Manifest subtree of repository name. Each builder answers false, with
// the path cut short in out, when the path does not fit: such a path is
// never to be used.
bool manifest_dir(const char* name, char* out, size_t out_size);
bool manifest_lock_path(const char* name, char* out, size_t out_size);
bool manifest_body_path(const char* name, const char* hex, char* out, size_t out_size);
bool manifest_ct_path(const char* name, const char* hex, char* out, size_t out_size);
bool manifest_rev_dir(const char* name, const char* hex, char* out, size_t out_size);
bool manifest_rev_path(const char* name, const char* hex, char* out, size_t out_size);
bool manifest_tags_dir(const char* name, char* out, size_t out_size);
bool manifest_tag_dir(const char* name, const char* tag, char* out, size_t out_size);  // .../<tag>/current
bool manifest_tag_path(const char* name, const char* tag, char* out, size_t out_size);
// The referrers of a subject (a digest string), and one referrer's entry.
bool manifest_referrers_dir(const char* name, const char* subject, char* out, size_t out_size);
bool manifest_referrer_path(const char* name, const char* subject, const char* referrer, char* out, size_t out_size);
// <root>/repositories/<name>
bool repository_dir(const char* name, char* out, size_t out_size);
// The repository's link to a blob of a valid digest string, and its directory.
bool repo_blob_link_dir(const char* name, const char* digest, char* out, size_t out_size);
bool repo_blob_link_path(const char* name, const char* digest, char* out, size_t out_size);
// <repo>/_layers/<alg>: the repository's blob links of one algorithm.
bool repo_layers_dir(const char* name, DigestAlg alg, char* out, size_t out_size);
// <repo>/_layers/<alg>/<hex>/.gc-link
bool repo_blob_link_aside_path(const char* name, const char* digest, char* out, size_t out_size);
// <repo>/_uploads
bool repo_uploads_dir(const char* name, char* out, size_t out_size);
// <repo>/_manifests/revisions/<alg> and <repo>/_manifests/referrers/<alg>
bool manifest_revisions_dir(const char* name, DigestAlg alg, char* out, size_t out_size);
bool manifest_referrers_alg_dir(const char* name, DigestAlg alg, char* out, size_t out_size);
// Where scrub puts a manifest body that no longer hashes to its name:
// <root>/quarantine/<name, '/' as '%'>@<alg>-<hex>
bool manifest_rotten_path(const char* name, const char* hex, char* out, size_t out_size);
// The repository's mark on an upload it started.
bool repo_upload_mark_path(const char* name, const char* uuid, char* out, size_t out_size);

}  // namespace storage

#endif
