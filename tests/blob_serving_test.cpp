// Blob downloads and uploads through every web server of deploy/, as its
// file sets them up: the server sending the blob's file (lighttpd's and
// Apache's X-Sendfile, nginx's X-Accel-Redirect) and the program sending it
// itself, with ranges of every kind compared byte for byte with the stored
// blob; request bodies of tens of MiB streamed to the program as they
// arrive; and with access control on, a download the program refused never
// sent by the server.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "registry/byte_ranges.h"
#include "support/test_support.h"
#include "support/web_servers.h"

using namespace testing_support;

namespace {

const std::string kProgram = REGISTRY_PATH;
const std::string kAdmin = REGISTRY_ADMIN_PATH;

struct Reply {
  int status = 0;
  std::string head;  // the status line and header lines, each ended by CR LF
  std::string body;  // de-chunked
  // The value of a header ("" when absent), its name in any case.
  std::string header(const std::string& name) const {
    std::string lower_head = head;
    for (char& c : lower_head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string key = "\r\n" + name + ":";
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const size_t at = lower_head.find(key);
    if (at == std::string::npos) return "";
    size_t start = at + key.size();
    while (start < head.size() && head[start] == ' ') ++start;
    return head.substr(start, head.find("\r\n", start) - start);
  }
  bool has(const std::string& name) const {
    std::string lower_head = head;
    for (char& c : lower_head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string key = "\r\n" + name + ":";
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower_head.find(key) != std::string::npos;
  }
};

std::string dechunk(const std::string& data) {
  std::string out;
  size_t at = 0;
  while (at < data.size()) {
    const size_t eol = data.find("\r\n", at);
    if (eol == std::string::npos) break;
    const size_t n = std::stoul(data.substr(at, eol - at), nullptr, 16);
    if (n == 0) break;
    out += data.substr(eol + 2, n);
    at = eol + 2 + n + 2;
  }
  return out;
}

std::string base64(const std::string& in) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < in.size(); i += 3) {
    uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(in[i])) << 16;
    if (i + 1 < in.size()) v |= static_cast<uint32_t>(static_cast<unsigned char>(in[i + 1])) << 8;
    if (i + 2 < in.size()) v |= static_cast<unsigned char>(in[i + 2]);
    out += kDigits[(v >> 18) & 63];
    out += kDigits[(v >> 12) & 63];
    out += i + 1 < in.size() ? kDigits[(v >> 6) & 63] : '=';
    out += i + 2 < in.size() ? kDigits[v & 63] : '=';
  }
  return out;
}

// One HTTP/1.1 exchange on its own connection, the request sent in pieces
// as the caller gives them.
class Connection {
 public:
  explicit Connection(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval limit{120, 0};  // a hung server fails the test, never stalls it
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~Connection() {
    if (fd_ >= 0) close(fd_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  bool send_all(const std::string& bytes) {
    size_t done = 0;
    while (fd_ >= 0 && done < bytes.size()) {
      const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return fd_ >= 0;
  }
  // The whole response: the server closes the connection after it.
  Reply receive() {
    std::string data;
    char buf[1 << 16];
    ssize_t n;
    while (fd_ >= 0 && (n = recv(fd_, buf, sizeof buf, 0)) > 0) data.append(buf, static_cast<size_t>(n));
    Reply r;
    const size_t end = data.find("\r\n\r\n");
    r.head = data.substr(0, end == std::string::npos ? data.size() : end + 2);
    r.body = end == std::string::npos ? "" : data.substr(end + 4);
    if (data.rfind("HTTP/1.", 0) == 0 && data.size() > 12) r.status = std::stoi(data.substr(9, 3));
    if (r.header("Transfer-Encoding") == "chunked") r.body = dechunk(r.body);
    return r;
  }

 private:
  int fd_ = -1;
};

Reply exchange(int port, const std::string& method, const std::string& target, const std::string& headers = "",
               const std::string& body = "", bool with_length = false) {
  Connection c(port);
  std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + headers;
  if (with_length || !body.empty()) request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  c.send_all(request + "\r\n" + body);
  return c.receive();
}

std::string chunk(const std::string& bytes) {
  char size[32];
  std::snprintf(size, sizeof size, "%zx\r\n", bytes.size());
  return size + bytes + "\r\n";
}

// Bytes that no two offsets of a range could confuse.
std::string blob_bytes(size_t n, unsigned seed) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    s[i] = static_cast<char>(x);
  }
  return s;
}

// The parts of a multipart/byteranges body: each part's Content-Range and
// bytes.
std::vector<std::pair<std::string, std::string>> byteranges(const Reply& r) {
  std::vector<std::pair<std::string, std::string>> parts;
  const std::string type = r.header("Content-Type");
  const size_t b = type.find("boundary=");
  if (type.rfind("multipart/byteranges", 0) != 0 || b == std::string::npos) return parts;
  const std::string delimiter = "--" + type.substr(b + 9);
  size_t at = r.body.find(delimiter);
  while (at != std::string::npos) {
    at += delimiter.size();
    if (r.body.compare(at, 2, "--") == 0) break;  // the closing delimiter
    const size_t head_end = r.body.find("\r\n\r\n", at);
    if (head_end == std::string::npos) break;
    Reply part;
    part.head = r.body.substr(at, head_end + 2 - at);
    const size_t next = r.body.find("\r\n" + delimiter, head_end + 4);
    if (next == std::string::npos) break;
    parts.emplace_back(part.header("Content-Range"), r.body.substr(head_end + 4, next - head_end - 4));
    at = next + 2;
  }
  return parts;
}

// The parts of a Range header as the program answers them itself.
TEST(RangeParts, ListsOfPartsAndWhatAnswersThem) {
  using registry::RangeAnswer;
  struct Case {
    const char* header;
    int64_t size;
    RangeAnswer answer;
    std::vector<std::pair<int64_t, int64_t>> parts;
  };
  const Case cases[] = {
      {"bytes=0-9", 100, RangeAnswer::kPart, {{0, 9}}},
      {"bytes=0-9,-10", 100, RangeAnswer::kPart, {{0, 9}, {90, 99}}},
      {"bytes=50-, 0-0 ,", 100, RangeAnswer::kPart, {{50, 99}, {0, 0}}},  // in the order asked
      {"bytes=,,5-6", 100, RangeAnswer::kPart, {{5, 6}}},                  // empty elements
      {"bytes=0-9,200-300", 100, RangeAnswer::kPart, {{0, 9}}},           // the part that holds bytes
      {"bytes=95-200,-0", 100, RangeAnswer::kPart, {{95, 99}}},
      {"bytes=100-,-0", 100, RangeAnswer::kUnsatisfiable, {}},
      {"bytes=0-", 0, RangeAnswer::kUnsatisfiable, {}},
      {"bytes=0-60,40-99", 100, RangeAnswer::kWhole, {}},  // overlapping: more than the content
      {"bytes=-100,-1", 100, RangeAnswer::kWhole, {}},
      {"bytes=0-9,9-0", 100, RangeAnswer::kWhole, {}},     // one part backwards
      {"bytes=0-9;5-6", 100, RangeAnswer::kWhole, {}},
      {"bytes=0-9,+5-6", 100, RangeAnswer::kWhole, {}},
      {"bytes=", 100, RangeAnswer::kWhole, {}},
      {"bytes=,", 100, RangeAnswer::kWhole, {}},
      {"Bytes=0-1", 100, RangeAnswer::kWhole, {}},
      {nullptr, 100, RangeAnswer::kWhole, {}},
  };
  for (const Case& c : cases) {
    std::vector<registry::ByteRange> got;
    EXPECT_EQ(registry::parse_ranges(c.header, c.size, &got), c.answer) << (c.header ? c.header : "(none)");
    if (c.answer != RangeAnswer::kPart) continue;
    std::vector<std::pair<int64_t, int64_t>> pairs;
    for (const auto& p : got) pairs.emplace_back(p.first, p.last);
    EXPECT_EQ(pairs, c.parts) << c.header;
  }
  // As many parts as the program answers one by one, and one more.
  std::string header = "bytes=0-0";
  for (size_t i = 1; i < registry::kMaxRangeParts; ++i) {
    const std::string at = std::to_string(i * 2);
    header.append(",").append(at).append("-").append(at);
  }
  std::vector<registry::ByteRange> got;
  EXPECT_EQ(registry::parse_ranges(header.c_str(), 1000, &got), RangeAnswer::kPart);
  EXPECT_EQ(got.size(), registry::kMaxRangeParts);
  header += ",999-999";
  EXPECT_EQ(registry::parse_ranges(header.c_str(), 1000, &got), RangeAnswer::kWhole);
}

struct Setup {
  WebServer server;
  bool server_sends;  // the server's file sending configured (else the program sends)
};

std::string setup_name(const ::testing::TestParamInfo<Setup>& info) {
  return web_server_id(info.param.server) + (info.param.server_sends ? "_server_sends" : "_program_sends");
}

// The edits that take the server's file sending out of a deploy/ file, so
// the program sends the bytes itself.
void program_sends(RegistryServer* server) {
  server->edit_deploy_file("  setenv.add-environment = ( \"REGISTRY_SENDFILE\" => \"x-sendfile\" )\n", "");
  server->edit_deploy_file(", \"REGISTRY_SENDFILE\" => \"x-sendfile\"", "");
  server->edit_deploy_file("fastcgi_param REGISTRY_SENDFILE x-accel-redirect:/_registry_blobs/;", "");
  server->edit_deploy_file("SetEnv REGISTRY_SENDFILE x-sendfile", "");
  server->edit_deploy_file("    \"bin-environment\" => ( \"REGISTRY_SENDFILE\" => \"x-sendfile\" ),\n", "");
}

// A blob pushed in one chunked PATCH and a PUT; the answer to the PUT.
Reply push_chunked(int port, const std::string& repo, const std::string& bytes, const std::string& auth = "") {
  const Reply start = exchange(port, "POST", "/v2/" + repo + "/blobs/uploads/", auth, "", true);
  EXPECT_EQ(start.status, 202) << start.head << start.body;
  const std::string location = start.header("Location");
  Connection c(port);
  c.send_all("PATCH " + location + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + auth +
             "Content-Type: application/octet-stream\r\nTransfer-Encoding: chunked\r\n\r\n");
  for (size_t at = 0; at < bytes.size(); at += 1 << 20) c.send_all(chunk(bytes.substr(at, 1 << 20)));
  c.send_all("0\r\n\r\n");
  const Reply patch = c.receive();
  EXPECT_EQ(patch.status, 202) << patch.head << patch.body;
  const std::string sep = location.find('?') == std::string::npos ? "?" : "&";
  return exchange(port, "PUT", location + sep + "digest=" + digest_string(bytes), auth, "", true);
}

class BlobServing : public ::testing::TestWithParam<Setup> {
 protected:
  void SetUp() override {
    server = std::make_unique<RegistryServer>(GetParam().server, tmp / "server", kProgram);
    if (!GetParam().server_sends) program_sends(server.get());
    std::string why;
    if (!server->start(&why)) GTEST_SKIP() << web_server_name(GetParam().server) << ": " << why;
  }
  // The stored file of a blob.
  std::string stored(const std::string& digest) const {
    const std::string hex = digest.substr(7);
    return read_bytes(server->storage() + "/blobs/sha256/" + hex.substr(0, 2) + "/" + hex);
  }
  TempDir tmp;
  std::unique_ptr<RegistryServer> server;
};

TEST_P(BlobServing, WholeBlobsAndRangesAreTheStoredBytes) {
  const int port = server->port();
  const std::string bytes = blob_bytes(3 * 1024 * 1024 + 12345, 7);
  const std::string digest = digest_string(bytes);
  const Reply put = push_chunked(port, "team/app", bytes);
  ASSERT_EQ(put.status, 201) << put.head << put.body << read_bytes(server->log());
  const std::string blob = stored(digest);
  ASSERT_EQ(blob, bytes);
  const int64_t size = static_cast<int64_t>(blob.size());
  const std::string path = "/v2/team/app/blobs/" + digest;
  const bool server_sends = GetParam().server_sends;

  // Every answer that carries the blob's bytes carries its digest, and
  // the server sent it exactly when it was configured to (its own
  // Last-Modified); no header meant for the server reaches the client.
  auto expect_blob_headers = [&](const Reply& r, const std::string& what) {
    EXPECT_EQ(r.header("Docker-Content-Digest"), digest) << what << "\n" << r.head;
    EXPECT_EQ(r.header("Docker-Distribution-API-Version"), "registry/2.0") << what << "\n" << r.head;
    EXPECT_EQ(r.header("ETag"), "\"" + digest + "\"") << what << "\n" << r.head;
    EXPECT_EQ(r.has("Last-Modified"), server_sends) << what << "\n" << r.head;
    EXPECT_FALSE(r.has("X-Sendfile")) << what << "\n" << r.head;
    EXPECT_FALSE(r.has("X-Accel-Redirect")) << what << "\n" << r.head;
  };

  const Reply whole = exchange(port, "GET", path);
  EXPECT_EQ(whole.status, 200) << whole.head;
  EXPECT_EQ(whole.header("Content-Length"), std::to_string(size)) << whole.head;
  EXPECT_EQ(whole.header("Content-Type"), "application/octet-stream");
  EXPECT_TRUE(whole.body == blob) << "the whole blob, byte for byte: " << whole.body.size() << " bytes of " << size;
  expect_blob_headers(whole, "GET");

  // HEAD is the program's answer wherever the GET's bytes come from.
  const Reply head = exchange(port, "HEAD", path);
  EXPECT_EQ(head.status, 200) << head.head;
  EXPECT_EQ(head.header("Content-Length"), std::to_string(size)) << head.head;
  EXPECT_EQ(head.header("Docker-Content-Digest"), digest) << head.head;
  EXPECT_EQ(head.body, "");

  struct Case {
    std::string range;
    int64_t first;  // the part sent, inclusive
    int64_t last;
  };
  const Case parts[] = {
      {"bytes=0-99", 0, 99},                                                     // the first bytes
      {"bytes=-4096", size - 4096, size - 1},                                    // the last bytes
      {"bytes=1000000-", 1000000, size - 1},                                     // open-ended
      {"bytes=" + std::to_string(size - 10) + "-" + std::to_string(size + 500), size - 10, size - 1},  // cut at the end
      {"bytes=-" + std::to_string(size + 1), 0, size - 1},                       // a suffix longer than the blob
  };
  for (const Case& c : parts) {
    const Reply r = exchange(port, "GET", path, "Range: " + c.range + "\r\n");
    EXPECT_EQ(r.status, 206) << c.range << "\n" << r.head;
    EXPECT_EQ(r.header("Content-Range"), "bytes " + std::to_string(c.first) + "-" + std::to_string(c.last) + "/" +
                                             std::to_string(size))
        << c.range;
    EXPECT_EQ(r.header("Content-Length"), std::to_string(c.last - c.first + 1)) << c.range;
    EXPECT_TRUE(r.body == blob.substr(static_cast<size_t>(c.first), static_cast<size_t>(c.last - c.first + 1)))
        << c.range << ": " << r.body.size() << " bytes";
    expect_blob_headers(r, c.range);
  }

  // Past the end: nothing of the blob, and the size it has.
  for (const std::string& range : {"bytes=" + std::to_string(size) + "-", "bytes=" + std::to_string(size + 7) + "-" +
                                                                               std::to_string(size + 9)}) {
    const Reply r = exchange(port, "GET", path, "Range: " + range + "\r\n");
    EXPECT_EQ(r.status, 416) << range << "\n" << r.head;
    EXPECT_EQ(r.header("Content-Range"), "bytes */" + std::to_string(size)) << range;
    EXPECT_EQ(r.body.find(blob.substr(0, 64)), std::string::npos) << range;
  }

  // Several ranges at once: one multipart answer, from the server or from
  // the program.
  const Reply several = exchange(port, "GET", path, "Range: bytes=0-9,2000000-2000099,-5\r\n");
  expect_blob_headers(several, "several ranges");
  {
    EXPECT_EQ(several.status, 206) << several.head;
    const auto got = byteranges(several);
    ASSERT_EQ(got.size(), 3u) << several.head;
    EXPECT_EQ(got[0].first, "bytes 0-9/" + std::to_string(size));
    EXPECT_TRUE(got[0].second == blob.substr(0, 10));
    EXPECT_EQ(got[1].first, "bytes 2000000-2000099/" + std::to_string(size));
    EXPECT_TRUE(got[1].second == blob.substr(2000000, 100));
    EXPECT_EQ(got[2].first, "bytes " + std::to_string(size - 5) + "-" + std::to_string(size - 1) + "/" +
                                std::to_string(size));
    EXPECT_TRUE(got[2].second == blob.substr(static_cast<size_t>(size - 5)));
  }

  // What is not there stays the program's answer.
  const Reply other_repo = exchange(port, "GET", "/v2/elsewhere/blobs/" + digest, "Range: bytes=0-9\r\n");
  EXPECT_EQ(other_repo.status, 404) << other_repo.head;
  EXPECT_NE(other_repo.body.find("BLOB_UNKNOWN"), std::string::npos) << other_repo.body;
  EXPECT_EQ(other_repo.body.find(blob.substr(0, 10)), std::string::npos);
}

// Bytes in the upload files of a storage tree.
int64_t bytes_uploading(const std::string& storage) {
  int64_t total = 0;
  for (const std::string& name : list_names(storage + "/uploads")) {
    struct stat st {};
    if (stat((storage + "/uploads/" + name).c_str(), &st) == 0) total += st.st_size;
  }
  return total;
}

// Tens of MiB in one PATCH, with its length and chunked, and in one
// monolithic PUT. The first half of a PATCH reaches the upload file while
// the client still holds back the rest: the server keeps no copy of the
// body before the program gets it. lighttpd's mod_cgi streams only bodies
// of a declared length (it collects chunked ones, to tell the program
// their length).
TEST_P(BlobServing, LargeBodiesStreamToTheProgram) {
  const int port = server->port();
  const bool chunked_streams = GetParam().server == WebServer::kNginx || GetParam().server == WebServer::kApache ||
                               GetParam().server == WebServer::kNginxFastcgi;
  struct Case {
    bool chunked;
    unsigned seed;
  };
  for (const Case c : {Case{false, 11}, Case{true, 12}}) {
    const std::string what = c.chunked ? "chunked PATCH" : "PATCH with Content-Length";
    const std::string bytes = blob_bytes(32 * 1024 * 1024 + 3, c.seed);
    const std::string digest = digest_string(bytes);
    const Reply start = exchange(port, "POST", "/v2/big/blobs/uploads/", "", "", true);
    ASSERT_EQ(start.status, 202) << start.head << start.body;
    const std::string location = start.header("Location");
    Connection conn(port);
    ASSERT_TRUE(conn.send_all("PATCH " + location + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" +
                              "Content-Type: application/octet-stream\r\n" +
                              (c.chunked ? std::string("Transfer-Encoding: chunked\r\n")
                                         : "Content-Length: " + std::to_string(bytes.size()) + "\r\n") +
                              "\r\n"));
    auto send_part = [&](size_t from, size_t to) {
      for (size_t at = from; at < to; at += 1 << 20) {
        const std::string piece = bytes.substr(at, std::min<size_t>(1 << 20, to - at));
        conn.send_all(c.chunked ? chunk(piece) : piece);
      }
    };
    const size_t half = bytes.size() / 2;
    send_part(0, half);
    if (!c.chunked || chunked_streams) {
      // At most a minute for the first bytes to land.
      for (int i = 0; i < 1200 && bytes_uploading(server->storage()) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      EXPECT_GT(bytes_uploading(server->storage()), 0) << what << ": the body reaches the program as it arrives";
    }
    send_part(half, bytes.size());
    if (c.chunked) conn.send_all("0\r\n\r\n");
    const Reply patch = conn.receive();
    EXPECT_EQ(patch.status, 202) << what << "\n" << patch.head << patch.body << read_bytes(server->log());
    EXPECT_EQ(patch.header("Range"), "0-" + std::to_string(bytes.size() - 1)) << what;
    const Reply put = exchange(port, "PUT", location + (location.find('?') == std::string::npos ? "?" : "&") +
                                                "digest=" + digest, "", "", true);
    EXPECT_EQ(put.status, 201) << what << "\n" << put.head << put.body;
    EXPECT_TRUE(stored(digest) == bytes) << what;
    const Reply back = exchange(port, "GET", "/v2/big/blobs/" + digest);
    EXPECT_EQ(back.status, 200) << what << "\n" << back.head;
    EXPECT_TRUE(back.body == bytes) << what << ": " << back.body.size() << " bytes back";
  }

  // Monolithic: POST, then the whole blob in the PUT.
  const std::string bytes = blob_bytes(24 * 1024 * 1024 + 1, 13);
  const std::string digest = digest_string(bytes);
  const Reply post = exchange(port, "POST", "/v2/big/blobs/uploads/", "", "", true);
  ASSERT_EQ(post.status, 202);
  const std::string at = post.header("Location");
  const Reply mono = exchange(port, "PUT", at + (at.find('?') == std::string::npos ? "?" : "&") + "digest=" + digest,
                              "Content-Type: application/octet-stream\r\n", bytes, true);
  EXPECT_EQ(mono.status, 201) << mono.head << mono.body << read_bytes(server->log());
  EXPECT_TRUE(stored(digest) == bytes);
  const Reply back = exchange(port, "GET", "/v2/big/blobs/" + digest);
  EXPECT_EQ(back.status, 200) << back.head;
  EXPECT_TRUE(back.body == bytes) << back.body.size() << " bytes back";
}

INSTANTIATE_TEST_SUITE_P(Servers, BlobServing,
                         ::testing::Values(Setup{WebServer::kLighttpd, true}, Setup{WebServer::kLighttpdDebian, true},
                                           Setup{WebServer::kLighttpdDebian, false}, Setup{WebServer::kNginx, true},
                                           Setup{WebServer::kNginx, false}, Setup{WebServer::kApache, true},
                                           Setup{WebServer::kApache, false}, Setup{WebServer::kLighttpdFastcgi, true},
                                           Setup{WebServer::kLighttpdFastcgi, false}, Setup{WebServer::kNginxFastcgi, true},
                                           Setup{WebServer::kNginxFastcgi, false}, Setup{WebServer::kApacheFastcgi, true},
                                           Setup{WebServer::kApacheFastcgi, false}),
                         setup_name);

// With access control on, the program decides every download before the
// server sends a byte, and the server's own path to the files is closed.
class BlobServingWithAccessControl : public ::testing::TestWithParam<WebServer> {};

TEST_P(BlobServingWithAccessControl, OnlyWhatTheProgramAllowsIsSent) {
  TempDir tmp;
  RegistryServer server(GetParam(), tmp / "server", kProgram);
  server.edit_deploy_file("setenv.add-environment = ( \"REGISTRY_STORAGE_ROOT\"",
                          "setenv.add-environment = ( \"REGISTRY_AUTH\" => \"token\", \"REGISTRY_STORAGE_ROOT\"");
  server.edit_deploy_file("# fastcgi_param REGISTRY_AUTH token;", "fastcgi_param REGISTRY_AUTH token;");
  server.edit_deploy_file("# SetEnv REGISTRY_AUTH token", "SetEnv REGISTRY_AUTH token");
  server.edit_deploy_file("\"bin-environment\" => ( \"REGISTRY_SENDFILE\"",
                          "\"bin-environment\" => ( \"REGISTRY_AUTH\" => \"token\", \"REGISTRY_SENDFILE\"");
  std::string why;
  if (!server.start(&why)) GTEST_SKIP() << web_server_name(GetParam()) << ": " << why;
  const int port = server.port();
  ProcessResult r = run_program(kAdmin, {"--root", server.storage(), "user", "add", "alice", "--cost", "5"},
                                {{"PATH", "/usr/bin:/bin"}}, tmp.path(), "alice-pw\n");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  if (GetParam() == WebServer::kApache) {
    ASSERT_EQ(std::system(("chown -R nobody:nogroup " + server.storage()).c_str()), 0);
  }
  auto token = [&](const std::string& scope) {
    const Reply t = exchange(port, "GET", "/auth/token?service=registry&scope=" + scope,
                             "Authorization: Basic " + base64("alice:alice-pw") + "\r\n");
    EXPECT_EQ(t.status, 200) << t.head << t.body;
    const size_t at = t.body.find("\"token\":\"");
    return at == std::string::npos ? std::string() : t.body.substr(at + 9, t.body.find('"', at + 9) - at - 9);
  };
  const std::string bearer = "Authorization: Bearer " + token("repository:team/app:pull,push") + "\r\n";
  const std::string bytes = blob_bytes(200000, 3);
  const std::string digest = digest_string(bytes);
  const Reply put = push_chunked(port, "team/app", bytes, bearer);
  ASSERT_EQ(put.status, 201) << put.head << put.body << read_bytes(server.log());
  const std::string path = "/v2/team/app/blobs/" + digest;

  for (const std::string& range : {std::string(), std::string("Range: bytes=0-99\r\n")}) {
    const Reply anonymous = exchange(port, "GET", path, range);
    EXPECT_EQ(anonymous.status, 401) << anonymous.head;
    EXPECT_EQ(anonymous.body.find(bytes.substr(0, 64)), std::string::npos) << "not a byte of the blob";
    const Reply other = exchange(port, "GET", path, range + "Authorization: Bearer " +
                                                        token("repository:someone/else:pull") + "\r\n");
    EXPECT_EQ(other.status, 401) << "a token for another repository: " << other.head;
    EXPECT_EQ(other.body.find(bytes.substr(0, 64)), std::string::npos);
  }
  const Reply allowed = exchange(port, "GET", path, bearer);
  EXPECT_EQ(allowed.status, 200) << allowed.head;
  EXPECT_TRUE(allowed.body == bytes);
  EXPECT_TRUE(allowed.has("Last-Modified")) << "sent by the server: " << allowed.head;
  const Reply part = exchange(port, "GET", path, bearer + "Range: bytes=-10\r\n");
  EXPECT_EQ(part.status, 206) << part.head;
  EXPECT_TRUE(part.body == bytes.substr(bytes.size() - 10));

  // The files themselves are out of reach: nginx's internal location, and
  // every other path to them that a client could try.
  const std::string hex = digest.substr(7);
  for (const std::string& target : {"/_registry_blobs/sha256/" + hex.substr(0, 2) + "/" + hex,
                                    "/blobs/sha256/" + hex.substr(0, 2) + "/" + hex,
                                    "/storage/blobs/sha256/" + hex.substr(0, 2) + "/" + hex}) {
    const Reply direct = exchange(port, "GET", target, bearer);
    EXPECT_GE(direct.status, 400) << target << "\n" << direct.head;
    EXPECT_EQ(direct.body.find(bytes.substr(0, 64)), std::string::npos) << target;
  }
}

INSTANTIATE_TEST_SUITE_P(Servers, BlobServingWithAccessControl,
                         ::testing::Values(WebServer::kLighttpdDebian, WebServer::kNginx, WebServer::kApache,
                                           WebServer::kLighttpdFastcgi, WebServer::kNginxFastcgi,
                                           WebServer::kApacheFastcgi),
                         web_server_param_name);

// ---- What the deploy/ files set up around the program ------------------------------------

// The line a 500 leaves on the program's standard error reaches the log
// that the deploy/ file names, whatever the server's own standard error
// is (for Debian's lighttpd, /dev/null from the init script and the
// journal under systemd: the harness gives it a file of its own).
class ProgramLog : public ::testing::TestWithParam<WebServer> {};

TEST_P(ProgramLog, TheLineOfA500ReachesTheLogTheDeployFileNames) {
  TempDir tmp;
  RegistryServer server(GetParam(), tmp / "server", kProgram);
  std::string why;
  if (!server.start(&why)) GTEST_SKIP() << web_server_name(GetParam()) << ": " << why;
  // Something that is no directory where the repositories belong.
  write_bytes(server.storage() + "/repositories", "in the way");
  const Reply r = exchange(server.port(), "GET", "/v2/_catalog");
  EXPECT_EQ(r.status, 500) << r.head << r.body;
  const std::string line = "registry: storage init GET /v2/_catalog: ";
  // The server may write the line a moment after it answers: at most ten
  // seconds for it to be there.
  for (int i = 0; i < 200 && read_bytes(server.program_log()).find(line) == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const std::string log = read_bytes(server.program_log());
  const size_t at = log.find(line);
  ASSERT_NE(at, std::string::npos) << server.program_log() << ":\n" << log << "\n" << server.log() << ":\n"
                                   << read_bytes(server.log());
  EXPECT_NE(log.find(": Not a directory", at), std::string::npos) << "the system's error is named: " << log;
}

INSTANTIATE_TEST_SUITE_P(Servers, ProgramLog,
                         ::testing::Values(WebServer::kLighttpdDebian, WebServer::kNginx, WebServer::kApache,
                                           WebServer::kLighttpdFastcgi, WebServer::kNginxFastcgi,
                                           WebServer::kApacheFastcgi),
                         web_server_param_name);

// nginx with as many fcgiwrap children as deploy/nginx.conf sets up: an
// upload that its client sends slowly holds one of them, and other
// requests are answered meanwhile. With fcgiwrap as Debian starts it (one
// process) they wait for the upload, which here waits for them: the
// upload would then end cut short, and the other requests unanswered or
// answered only after it.
TEST(NginxWithFcgiwrap, ASlowUploadHoldsUpNoOtherRequest) {
  TempDir tmp;
  RegistryServer server(WebServer::kNginx, tmp / "server", kProgram);
  std::string why;
  if (!server.start(&why)) GTEST_SKIP() << "nginx with fcgiwrap: " << why;
  const int port = server.port();
  const Reply start = exchange(port, "POST", "/v2/slow/blobs/uploads/", "", "", true);
  ASSERT_EQ(start.status, 202) << start.head << start.body;
  const std::string location = start.header("Location");
  const std::string bytes = blob_bytes(1 << 20, 5);
  Connection upload(port);
  ASSERT_TRUE(upload.send_all("PATCH " + location + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" +
                              "Content-Type: application/octet-stream\r\nContent-Length: " +
                              std::to_string(bytes.size()) + "\r\n\r\n" + bytes.substr(0, 256 * 1024)));
  // At most a minute for the first bytes to reach the program: from then
  // on it holds a child until the rest comes.
  for (int i = 0; i < 1200 && bytes_uploading(server.storage()) == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_GT(bytes_uploading(server.storage()), 0) << read_bytes(server.log());

  EXPECT_EQ(exchange(port, "GET", "/v2/").status, 200);
  EXPECT_EQ(exchange(port, "GET", "/v2/_catalog").status, 200);
  EXPECT_EQ(exchange(port, "HEAD", "/v2/slow/blobs/" + digest_string(bytes)).status, 404);

  // The upload was held all along, and ends whole.
  ASSERT_TRUE(upload.send_all(bytes.substr(256 * 1024)));
  const Reply patch = upload.receive();
  EXPECT_EQ(patch.status, 202) << patch.head << patch.body;
  EXPECT_EQ(patch.header("Range"), "0-" + std::to_string(bytes.size() - 1));
}

}  // namespace
