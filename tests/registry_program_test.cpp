// The registry program end to end: build/bin/registry run as a CGI child
// process with a controlled environment, for every endpoint, its success
// and its errors, with the headers clients parse compared byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "support/cgi_response.h"
#include "support/registry_runner.h"
#include "support/test_support.h"

using namespace testing_support;

namespace {

const std::string kProgram = program_under_test(REGISTRY_PATH);
const std::string kApi = "Docker-Distribution-API-Version: registry/2.0";

using Response = CgiResponse;

class RegistryProgram : public ::testing::Test {
 protected:
  Response call(const std::string& method, const std::string& path, const std::string& query = "",
                const std::string& body = "", std::map<std::string, std::string> extra = {}, bool length = true) {
    return parse_cgi_response(run(method, path, query, body, extra, length));
  }
  // The program's process, for how it ended.
  ProcessResult run(const std::string& method, const std::string& path, const std::string& query = "",
                    const std::string& body = "", std::map<std::string, std::string> extra = {}, bool length = true) {
    std::map<std::string, std::string> env{{"REGISTRY_STORAGE_ROOT", root}, {"REQUEST_METHOD", method},
                                           {"PATH_INFO", path}, {"QUERY_STRING", query}};
    if (length) env["CONTENT_LENGTH"] = std::to_string(body.size());
    for (const auto& [k, v] : extra) env[k] = v;
    make_dirs(work);
    return run_registry(kProgram, env, work, body);
  }
  // A blob pushed into repo: POST, one PATCH, PUT; its digest.
  std::string push_blob(const std::string& repo, const std::string& bytes) {
    const Response start = call("POST", "/v2/" + repo + "/blobs/uploads/");
    EXPECT_EQ(start.status, "202 Accepted") << start.raw;
    const std::string location = start.header("Location");
    EXPECT_EQ(call("PATCH", location, "", bytes).status, "202 Accepted");
    const std::string d = digest_string(bytes);
    EXPECT_EQ(call("PUT", location, "digest=" + d).status, "201 Created");
    return d;
  }
  std::string image(const std::string& repo) {
    const std::string config = push_blob(repo, "{\"architecture\":\"amd64\"}");
    const std::string layer = push_blob(repo, "layer of " + repo);
    return "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\",\"config\":{\"mediaType\":"
           "\"application/vnd.oci.image.config.v1+json\",\"digest\":\"" + config + "\",\"size\":24},\"layers\":[{"
           "\"mediaType\":\"application/vnd.oci.image.layer.v1.tar+gzip\",\"digest\":\"" + layer + "\",\"size\":10}]}";
  }
  TempDir tmp;
  std::string root = tmp / "root";
  std::string work = tmp / "work";
};

const std::map<std::string, std::string> kOciManifest{{"CONTENT_TYPE", "application/vnd.oci.image.manifest.v1+json"}};

// ---- Base and routing -------------------------------------------------------------

TEST_F(RegistryProgram, BaseAnswersEmptyJson) {
  const Response r = call("GET", "/v2/");
  EXPECT_EQ(r.raw,
            "Status: 200 OK\r\n" + kApi + "\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: 3\r\n\r\n{}\n");
  EXPECT_EQ(call("HEAD", "/v2/").body, "");
  const Response post = call("POST", "/v2/");
  EXPECT_EQ(post.status, "405 Method Not Allowed");
  EXPECT_EQ(post.header("Allow"), "GET, HEAD");
  EXPECT_EQ(post.code(), "UNSUPPORTED");
}

TEST_F(RegistryProgram, TheRouteTableFindsEndpointsFromTheEnd) {
  const std::string body = image("a/manifests/b");
  // "manifests" may be a component of the name: the route comes from the end.
  EXPECT_EQ(call("PUT", "/v2/a/manifests/b/manifests/latest", "", body, kOciManifest).status, "201 Created");
  EXPECT_EQ(call("GET", "/v2/a/manifests/b/manifests/latest").status, "200 OK");
  EXPECT_EQ(call("GET", "/v2/a/manifests/b/tags/list").body, "{\"name\":\"a/manifests/b\",\"tags\":[\"latest\"]}\n");
  struct Case {
    const char* method;
    const char* path;
    const char* status;
    const char* code;
  };
  const Case cases[] = {
      {"GET", "/v2/_catalogue", "404 Not Found", "NOT_FOUND"},
      {"GET", "/v2/app", "404 Not Found", "NOT_FOUND"},
      {"GET", "/v2/app/tags", "404 Not Found", "NOT_FOUND"},
      {"GET", "/v2/manifests/latest", "404 Not Found", "NOT_FOUND"},
      {"GET", "/v3/app/tags/list", "404 Not Found", "NOT_FOUND"},
      {"GET", "/v2/App/tags/list", "400 Bad Request", "NAME_INVALID"},
      {"GET", "/v2/a//b/tags/list", "400 Bad Request", "NAME_INVALID"},
      {"GET", "/v2/a/../b/tags/list", "400 Bad Request", "NAME_INVALID"},
      {"GET", "/v2/victim/_manifests/tags/list", "400 Bad Request", "NAME_INVALID"},
      {"GET", "/v2/nobody/tags/list", "404 Not Found", "NAME_UNKNOWN"},
      {"POST", "/v2/app/tags/list", "405 Method Not Allowed", "UNSUPPORTED"},
      {"PATCH", "/v2/app/manifests/latest", "405 Method Not Allowed", "UNSUPPORTED"},
      {"PUT", "/v2/app/blobs/" "sha256:0000000000000000000000000000000000000000000000000000000000000000",
       "405 Method Not Allowed", "UNSUPPORTED"},
      {"GET", "/v2/app/blobs/uploads/", "405 Method Not Allowed", "UNSUPPORTED"},
  };
  for (const Case& c : cases) {
    const Response r = call(c.method, c.path);
    EXPECT_EQ(r.status, c.status) << c.method << " " << c.path;
    EXPECT_EQ(r.code(), c.code) << c.method << " " << c.path;
    EXPECT_NE(std::find(r.headers.begin(), r.headers.end(), kApi), r.headers.end()) << c.path;
  }
  EXPECT_EQ(call("PATCH", "/v2/app/manifests/latest").header("Allow"), "GET, HEAD, PUT, DELETE");
}

// ---- Uploads ------------------------------------------------------------------------

TEST_F(RegistryProgram, AChunkedUploadWithEveryHeaderClientsParse) {
  const Response start = call("POST", "/v2/team/app/blobs/uploads/");
  ASSERT_EQ(start.status, "202 Accepted") << start.raw;
  const std::string id = start.header("Docker-Upload-UUID");
  ASSERT_TRUE(std::regex_match(id, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}"))) << id;
  const std::string location = "/v2/team/app/blobs/uploads/" + id;
  EXPECT_EQ(start.raw, "Status: 202 Accepted\r\n" + kApi + "\r\nLocation: " + location + "\r\nRange: 0-0\r\nDocker-Upload-UUID: " +
                           id + "\r\nContent-Length: 0\r\n\r\n");

  // Chunks with Content-Range, each where the upload ends.
  Response r = call("PATCH", location, "", "hello ", {{"HTTP_CONTENT_RANGE", "0-5"}});
  EXPECT_EQ(r.raw, "Status: 202 Accepted\r\n" + kApi + "\r\nLocation: " + location +
                       "\r\nRange: 0-5\r\nDocker-Upload-UUID: " + id + "\r\nContent-Length: 0\r\n\r\n");
  r = call("PATCH", location, "", "xx", {{"HTTP_CONTENT_RANGE", "3-4"}});
  EXPECT_EQ(r.status, "416 Range Not Satisfiable");
  EXPECT_EQ(r.code(), "RANGE_INVALID");
  r = call("PATCH", location, "", "x", {{"HTTP_CONTENT_RANGE", "bad"}});
  EXPECT_EQ(r.status, "416 Range Not Satisfiable");
  // The client recovers with GET: the upload holds what it held.
  r = call("GET", location);
  EXPECT_EQ(r.raw, "Status: 204 No Content\r\n" + kApi + "\r\nLocation: " + location +
                       "\r\nRange: 0-5\r\nDocker-Upload-UUID: " + id + "\r\nContent-Length: 0\r\n\r\n");
  // A body of unknown length (chunked), read to its end, no Content-Range.
  r = call("PATCH", location, "", "world", {}, false);
  EXPECT_EQ(r.header("Range"), "0-10");
  // The last chunk in the PUT.
  const std::string d = digest_string("hello world!");
  r = call("PUT", location, "digest=" + d, "!");
  EXPECT_EQ(r.raw, "Status: 201 Created\r\n" + kApi + "\r\nLocation: /v2/team/app/blobs/" + d +
                       "\r\nDocker-Content-Digest: " + d + "\r\nContent-Length: 0\r\n\r\n");
  r = call("GET", "/v2/team/app/blobs/" + d);
  EXPECT_EQ(r.body, "hello world!");
  EXPECT_EQ(call("GET", location).code(), "BLOB_UPLOAD_UNKNOWN") << "finished: the session is gone";
}

TEST_F(RegistryProgram, AChunkWhoseRangeAndBodyDisagreeIs416AndAppendsNothing) {
  const std::string location = call("POST", "/v2/app/blobs/uploads/").header("Location");
  ASSERT_EQ(call("PATCH", location, "", "abc", {{"HTTP_CONTENT_RANGE", "0-2"}}).header("Range"), "0-2");
  struct Case {
    const char* what;
    const char* range;
    std::string body;
    bool declared;  // CONTENT_LENGTH given, or a chunked body read to its end
  };
  const Case cases[] = {
      {"longer body, declared", "3-4", "defgh", true},
      {"shorter body, declared", "3-7", "de", true},
      {"empty body, declared", "3-3", "", true},
      {"longer body, chunked", "3-4", "defgh", false},
      {"shorter body, chunked", "3-7", "de", false},
      {"much longer body, chunked", "3-3", std::string(200000, 'z'), false},
  };
  for (const Case& c : cases) {
    const Response r = call("PATCH", location, "", c.body, {{"HTTP_CONTENT_RANGE", c.range}}, c.declared);
    EXPECT_EQ(r.status, "416 Range Not Satisfiable") << c.what << "\n" << r.raw;
    EXPECT_EQ(r.code(), "RANGE_INVALID") << c.what;
    EXPECT_EQ(call("GET", location).header("Range"), "0-2") << c.what << ": nothing appended";
  }
  // A chunked body that holds exactly its range is taken.
  EXPECT_EQ(call("PATCH", location, "", "de", {{"HTTP_CONTENT_RANGE", "3-4"}}, false).header("Range"), "0-4");
  const std::string d = digest_string("abcde");
  EXPECT_EQ(call("PUT", location, "digest=" + d).status, "201 Created");
}

TEST_F(RegistryProgram, UploadErrors) {
  const std::string location = call("POST", "/v2/app/blobs/uploads/").header("Location");
  const std::string id = location.substr(location.rfind('/') + 1);
  struct Case {
    const char* what;
    Response r;
    const char* status;
    const char* code;
  };
  call("PATCH", location, "", "data");
  const Case cases[] = {
      {"no digest", call("PUT", location), "400 Bad Request", "DIGEST_INVALID"},
      {"malformed digest", call("PUT", location, "digest=sha256:12"), "400 Bad Request", "DIGEST_INVALID"},
      {"other algorithm", call("PUT", location, "digest=md5:0000"), "400 Bad Request", "DIGEST_INVALID"},
      {"another repository's session", call("PATCH", "/v2/other/blobs/uploads/" + id, "", "x"), "404 Not Found",
       "BLOB_UPLOAD_UNKNOWN"},
      {"no such session", call("GET", "/v2/app/blobs/uploads/91e3a35b-f173-0dfb-938b-ee4b3dc38bf5"), "404 Not Found",
       "BLOB_UPLOAD_UNKNOWN"},
      {"not an identifier", call("GET", "/v2/app/blobs/uploads/..%2f..%2fx"), "404 Not Found", "BLOB_UPLOAD_UNKNOWN"},
      {"wrong digest", call("PUT", location, "digest=" + digest_string("other")), "400 Bad Request", "DIGEST_INVALID"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.r.status, c.status) << c.what << ": " << c.r.raw;
    EXPECT_EQ(c.r.code(), c.code) << c.what;
  }
  EXPECT_EQ(call("GET", location).code(), "BLOB_UPLOAD_UNKNOWN") << "a wrong digest ends the upload";
  const std::string other = call("POST", "/v2/app/blobs/uploads/").header("Location");
  const Response del = call("DELETE", other);
  EXPECT_EQ(del.status, "204 No Content");
  EXPECT_EQ(call("DELETE", other).status, "404 Not Found");
}

TEST_F(RegistryProgram, MonolithicUploadsAndMounts) {
  const std::string bytes = "one request, whole";
  const std::string d = digest_string(bytes);
  Response r = call("POST", "/v2/a/blobs/uploads/", "digest=" + d, bytes);
  EXPECT_EQ(r.raw, "Status: 201 Created\r\n" + kApi + "\r\nLocation: /v2/a/blobs/" + d + "\r\nDocker-Content-Digest: " + d +
                       "\r\nContent-Length: 0\r\n\r\n");
  r = call("POST", "/v2/a/blobs/uploads/", "digest=" + digest_string("else"), bytes);
  EXPECT_EQ(r.status, "400 Bad Request");
  EXPECT_EQ(r.code(), "DIGEST_INVALID");
  r = call("POST", "/v2/a/blobs/uploads/", "digest=bogus", bytes);
  EXPECT_EQ(r.code(), "DIGEST_INVALID");

  // Mounted from a repository that holds it; unknown query parameters ignored.
  r = call("POST", "/v2/b/blobs/uploads/", "mount=" + d + "&from=a&origin=elsewhere&ns=x");
  EXPECT_EQ(r.raw, "Status: 201 Created\r\n" + kApi + "\r\nLocation: /v2/b/blobs/" + d + "\r\nDocker-Content-Digest: " + d +
                       "\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(call("GET", "/v2/b/blobs/" + d).body, bytes);
  // From one that does not: an ordinary session.
  r = call("POST", "/v2/c/blobs/uploads/", "mount=" + d + "&from=nobody");
  EXPECT_EQ(r.status, "202 Accepted");
  EXPECT_EQ(r.header("Range"), "0-0");
  r = call("POST", "/v2/c/blobs/uploads/", "mount=" + d + "&from=BAD..name");
  EXPECT_EQ(r.status, "202 Accepted");
  EXPECT_EQ(call("GET", "/v2/c/blobs/" + d).code(), "BLOB_UNKNOWN") << "nothing leaked into c";
}

// ---- Blobs --------------------------------------------------------------------------------

TEST_F(RegistryProgram, BlobGetHeadRangesAndDelete) {
  const std::string bytes = "0123456789";
  const std::string d = push_blob("app", bytes);
  const std::string path = "/v2/app/blobs/" + d;
  const std::string fixed = kApi + "\r\nContent-Type: application/octet-stream\r\nDocker-Content-Digest: " + d +
                            "\r\nETag: \"" + d + "\"\r\nAccept-Ranges: bytes\r\n";
  EXPECT_EQ(call("GET", path).raw, "Status: 200 OK\r\n" + fixed + "Content-Length: 10\r\n\r\n0123456789");
  EXPECT_EQ(call("HEAD", path).raw, "Status: 200 OK\r\n" + fixed + "Content-Length: 10\r\n\r\n");
  struct Case {
    const char* range;
    const char* status;
    const char* content_range;
    const char* body;
  };
  const Case cases[] = {
      {"bytes=0-3", "206 Partial Content", "bytes 0-3/10", "0123"},
      {"bytes=7-", "206 Partial Content", "bytes 7-9/10", "789"},
      {"bytes=-2", "206 Partial Content", "bytes 8-9/10", "89"},
      {"bytes=-20", "206 Partial Content", "bytes 0-9/10", "0123456789"},
      {"bytes=5-100", "206 Partial Content", "bytes 5-9/10", "56789"},
      {"bytes=10-", "416 Range Not Satisfiable", "bytes */10", nullptr},
      {"bytes=-0", "416 Range Not Satisfiable", "bytes */10", nullptr},
      {"bytes=0-1, 20-30", "206 Partial Content", "bytes 0-1/10", "01"},  // the part that holds bytes
      {"bytes=20-,-0", "416 Range Not Satisfiable", "bytes */10", nullptr},
      {"bytes=0-5,3-9", "200 OK", "(none)", "0123456789"},  // more than the blob: overlaps
      {"bytes=0-1,x", "200 OK", "(none)", "0123456789"},
      {"bytes=5-2", "200 OK", "(none)", "0123456789"},
      {"items=0-1", "200 OK", "(none)", "0123456789"},
  };
  for (const Case& c : cases) {
    const Response r = call("GET", path, "", "", {{"HTTP_RANGE", c.range}});
    EXPECT_EQ(r.status, c.status) << c.range;
    EXPECT_EQ(r.header("Content-Range"), c.content_range) << c.range;
    if (c.body != nullptr) {
      EXPECT_EQ(r.body, c.body) << c.range;
      EXPECT_EQ(r.header("Content-Length"), std::to_string(std::string(c.body).size())) << c.range;
    }
  }
  // Several parts: a multipart answer, the digest's hex the boundary.
  const std::string boundary = d.substr(7);
  const Response several = call("GET", path, "", "", {{"HTTP_RANGE", "bytes=0-1,-2"}});
  const std::string multipart = "\r\n--" + boundary + "\r\nContent-Type: application/octet-stream\r\n" +
                                "Content-Range: bytes 0-1/10\r\n\r\n01\r\n--" + boundary +
                                "\r\nContent-Type: application/octet-stream\r\nContent-Range: bytes 8-9/10\r\n\r\n89" +
                                "\r\n--" + boundary + "--\r\n";
  EXPECT_EQ(several.raw, "Status: 206 Partial Content\r\n" + kApi +
                             "\r\nContent-Type: multipart/byteranges; boundary=" + boundary +
                             "\r\nDocker-Content-Digest: " + d + "\r\nETag: \"" + d +
                             "\"\r\nAccept-Ranges: bytes\r\nContent-Length: " + std::to_string(multipart.size()) +
                             "\r\n\r\n" + multipart);
  const Response several_head = call("HEAD", path, "", "", {{"HTTP_RANGE", "bytes=0-1,-2"}});
  EXPECT_EQ(several_head.header("Content-Length"), std::to_string(multipart.size()));
  EXPECT_EQ(several_head.body, "");
  std::string many = "bytes=0-0";
  for (int i = 1; i < 65; ++i) many += ",0-0";
  EXPECT_EQ(call("GET", path, "", "", {{"HTTP_RANGE", many}}).status, "200 OK") << "more than the blob: the whole";

  EXPECT_EQ(call("GET", "/v2/other/blobs/" + d).code(), "BLOB_UNKNOWN") << "another repository does not hold it";
  EXPECT_EQ(call("GET", "/v2/app/blobs/sha256:ABC").code(), "DIGEST_INVALID");
  const Response del = call("DELETE", path);
  EXPECT_EQ(del.status, "202 Accepted");
  EXPECT_EQ(call("GET", path).code(), "BLOB_UNKNOWN");
  EXPECT_EQ(call("HEAD", path).status, "404 Not Found");
  EXPECT_EQ(call("DELETE", path).status, "404 Not Found");
}

// Handing the blob's file to the web server: the program's headers, the
// file named as the server takes it, and nothing of the blob in the body;
// HEAD, a range past the end and a missing blob stay the program's answers.
TEST_F(RegistryProgram, BlobGetHandedToTheWebServer) {
  const bool windows = kProgram.size() > 4 && kProgram.compare(kProgram.size() - 4, 4, ".exe") == 0;
  const std::string bytes = "0123456789";
  const std::string d = push_blob("app", bytes);
  const std::string hex = d.substr(7);
  const std::string path = "/v2/app/blobs/" + d;
  const std::string fixed = kApi + "\r\nContent-Type: application/octet-stream\r\nDocker-Content-Digest: " + d +
                            "\r\nETag: \"" + d + "\"\r\n";
  auto expect_sendfile = [&](const Response& r, const std::string& root_seen, const std::string& what) {
    EXPECT_EQ(r.status, "200 OK") << what << "\n" << r.raw << r.err;
    EXPECT_EQ(r.body, "") << what;
    EXPECT_EQ(r.header("Content-Length"), "(none)") << "the server's to say: " << what;
    EXPECT_EQ(r.header("Content-Range"), "(none)") << "the server cuts ranges: " << what;
    const std::string file = r.header("X-Sendfile");
    if (windows) {
      const std::string tail = "\\blobs\\sha256\\" + hex.substr(0, 2) + "\\" + hex;
      EXPECT_TRUE(file.size() > tail.size() && file[1] == ':' && file.compare(file.size() - tail.size(), tail.size(), tail) == 0)
          << what << ": " << file;
    } else {
      EXPECT_EQ(r.raw, "Status: 200 OK\r\n" + fixed + "Accept-Ranges: bytes\r\nX-Sendfile: " + root_seen +
                           "/blobs/sha256/" + hex.substr(0, 2) + "/" + hex + "\r\n\r\n")
          << what;
    }
  };
  const std::map<std::string, std::string> x_sendfile{{"REGISTRY_SENDFILE", "x-sendfile"}};
  expect_sendfile(call("GET", path, "", "", x_sendfile), root, "absolute root");
  auto with_range = x_sendfile;
  with_range["HTTP_RANGE"] = "bytes=2-3";
  expect_sendfile(call("GET", path, "", "", with_range), root, "a range");
  with_range["HTTP_RANGE"] = "bytes=0-1,5-6";
  expect_sendfile(call("GET", path, "", "", with_range), root, "several ranges");
  // A root named relative to the working directory: the server, elsewhere,
  // gets the absolute path, without the "." and ".." of the name.
  make_dirs(work + "/sub");
  auto relative = x_sendfile;
  relative["REGISTRY_STORAGE_ROOT"] = "./sub/../../root";
  expect_sendfile(call("GET", path, "", "", relative), root, "relative root");

  // nginx: a URI under the internal location that maps <root>/blobs/.
  for (const char* prefix : {"/_registry_blobs/", "/_registry_blobs"}) {
    const Response r = call("GET", path, "", "", {{"REGISTRY_SENDFILE", std::string("x-accel-redirect:") + prefix}});
    EXPECT_EQ(r.raw, "Status: 200 OK\r\n" + fixed + "X-Accel-Redirect: /_registry_blobs/sha256/" + hex.substr(0, 2) +
                         "/" + hex + "\r\n\r\n")
        << prefix;
  }

  // Answers that stay the program's.
  EXPECT_EQ(call("HEAD", path, "", "", x_sendfile).raw,
            "Status: 200 OK\r\n" + fixed + "Accept-Ranges: bytes\r\nContent-Length: 10\r\n\r\n");
  with_range["HTTP_RANGE"] = "bytes=10-";
  const Response past = call("GET", path, "", "", with_range);
  EXPECT_EQ(past.status, "416 Range Not Satisfiable");
  EXPECT_EQ(past.header("X-Sendfile"), "(none)");
  const Response missing = call("GET", "/v2/other/blobs/" + d, "", "", x_sendfile);
  EXPECT_EQ(missing.code(), "BLOB_UNKNOWN");
  EXPECT_EQ(missing.header("X-Sendfile"), "(none)");

  // The same setting from config.json in the working directory; the
  // environment's wins.
  write_bytes(work + "/config.json", "{\"sendfile\": \"x-sendfile\"}");
  expect_sendfile(call("GET", path), root, "config.json");
  EXPECT_EQ(call("GET", path, "", "", {{"REGISTRY_SENDFILE", "off"}}).body, bytes);
  write_bytes(work + "/config.json", "{\"sendfile\": \"off\"}");
  EXPECT_EQ(call("GET", path).body, bytes);

  // A setting that cannot be used: a 500 and one line in the log, never a
  // guess.
  for (const char* value : {"on", "X-Sendfile", "x-accel-redirect:", "x-accel-redirect:_blobs/",
                            "x-accel-redirect:/a b/", "x-accel-redirect:/a/../b/", "x-accel-redirect:/a/.",
                            "x-accel-redirect:/a?b"}) {
    const Response r = call("GET", path, "", "", {{"REGISTRY_SENDFILE", value}});
    EXPECT_EQ(r.status, "500 Internal Server Error") << value;
    EXPECT_EQ(r.code(), "UNKNOWN") << value;
    EXPECT_EQ(r.body.find(bytes), std::string::npos) << value;
    EXPECT_EQ(r.err.rfind("registry: blob sending: GET " + path + ": REGISTRY_SENDFILE is \"" + value + "\"", 0), 0u)
        << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
  write_bytes(work + "/config.json", "{\"sendfile\": true}");
  EXPECT_EQ(call("GET", path, "", "", {{"REGISTRY_STORAGE_ROOT", root}}).status, "500 Internal Server Error");
  EXPECT_EQ(call("GET", path, "", "", {{"REGISTRY_SENDFILE", "off"}}).body, bytes) << "the environment decides";
}

// ---- Manifests ---------------------------------------------------------------------------

TEST_F(RegistryProgram, ManifestPutGetHeadDelete) {
  const std::string body = image("app");
  const std::string d = digest_string(body);
  Response r = call("PUT", "/v2/app/manifests/v1", "", body, {{"CONTENT_TYPE", "application/vnd.oci.image.manifest.v1+json; charset=x"}});
  EXPECT_EQ(r.raw, "Status: 201 Created\r\n" + kApi + "\r\nLocation: /v2/app/manifests/" + d +
                       "\r\nDocker-Content-Digest: " + d + "\r\nContent-Length: 0\r\n\r\n");
  const std::string head = "Status: 200 OK\r\n" + kApi +
                           "\r\nContent-Type: application/vnd.oci.image.manifest.v1+json\r\nContent-Length: " +
                           std::to_string(body.size()) + "\r\nDocker-Content-Digest: " + d + "\r\nETag: \"" + d +
                           "\"\r\n\r\n";
  EXPECT_EQ(call("GET", "/v2/app/manifests/v1").raw, head + body);
  EXPECT_EQ(call("HEAD", "/v2/app/manifests/v1").raw, head);
  EXPECT_EQ(call("GET", "/v2/app/manifests/" + d).raw, head + body);
  // By digest, then tagged: deleting the tag leaves the manifest.
  EXPECT_EQ(call("PUT", "/v2/app/manifests/v2", "", body, kOciManifest).status, "201 Created");
  EXPECT_EQ(call("DELETE", "/v2/app/manifests/v2").status, "202 Accepted");
  EXPECT_EQ(call("GET", "/v2/app/manifests/v2").code(), "MANIFEST_UNKNOWN");
  EXPECT_EQ(call("GET", "/v2/app/manifests/v1").status, "200 OK");
  // By digest: the manifest and the tags that name it.
  EXPECT_EQ(call("DELETE", "/v2/app/manifests/" + d).status, "202 Accepted");
  EXPECT_EQ(call("GET", "/v2/app/manifests/v1").code(), "MANIFEST_UNKNOWN");
  EXPECT_EQ(call("GET", "/v2/app/manifests/" + d).code(), "MANIFEST_UNKNOWN");
  EXPECT_EQ(call("DELETE", "/v2/app/manifests/" + d).code(), "MANIFEST_UNKNOWN");
  EXPECT_EQ(call("GET", "/v2/nobody/manifests/v1").code(), "NAME_UNKNOWN");
}

TEST_F(RegistryProgram, ManifestErrors) {
  const std::string body = image("app");
  const std::string missing = "{\"schemaVersion\":2,\"config\":{\"digest\":\"" + digest_string("not here") +
                              "\",\"size\":1},\"layers\":[]}";
  std::string big = body;
  big.append(4194305 - big.size(), ' ');
  struct Case {
    const char* what;
    std::string reference;
    std::string body;
    const char* status;
    const char* code;
  };
  const Case cases[] = {
      {"digest mismatch", digest_string("other"), body, "400 Bad Request", "DIGEST_INVALID"},
      {"malformed digest", "sha256:1234", body, "400 Bad Request", "DIGEST_INVALID"},
      {"bad tag", "-tag", body, "400 Bad Request", "TAG_INVALID"},
      {"long tag", std::string(129, 't'), body, "400 Bad Request", "TAG_INVALID"},
      {"not JSON", "t", "{", "400 Bad Request", "MANIFEST_INVALID"},
      {"duplicate key", "t", "{\"config\":{},\"config\":{}}", "400 Bad Request", "MANIFEST_INVALID"},
      {"blob not in the repository", "t", missing, "400 Bad Request", "MANIFEST_BLOB_UNKNOWN"},
      {"larger than 4 MiB", "t", big, "413 Payload Too Large", "SIZE_INVALID"},
  };
  for (const Case& c : cases) {
    const Response r = call("PUT", "/v2/app/manifests/" + c.reference, "", c.body, kOciManifest);
    EXPECT_EQ(r.status, c.status) << c.what << ": " << r.body;
    EXPECT_EQ(r.code(), c.code) << c.what;
  }
  // A declared length beyond the limit is refused before a byte is read.
  const Response declared = call("PUT", "/v2/app/manifests/t", "", "", {{"CONTENT_LENGTH", "999999999"}});
  EXPECT_EQ(declared.status, "413 Payload Too Large");
  // A body that ends before its declared length is no manifest.
  const Response cut = call("PUT", "/v2/app/manifests/t", "", body.substr(0, 10), {{"CONTENT_LENGTH", "500"}});
  EXPECT_EQ(cut.code(), "MANIFEST_INVALID");
  EXPECT_EQ(call("GET", "/v2/app/manifests/t").code(), "MANIFEST_UNKNOWN") << "nothing was stored";
}

TEST_F(RegistryProgram, AReferenceThatCanNameNothingIsAMissingManifestToReaders) {
  const std::string body = image("app");
  ASSERT_EQ(call("PUT", "/v2/app/manifests/v1", "", body, kOciManifest).status, "201 Created");
  for (const std::string& reference :
       {std::string(".INVALID_MANIFEST_NAME"), std::string("-tag"), std::string(129, 't'), std::string("sha256:1234"),
        std::string("md5:") + std::string(32, 'a'), std::string("sha256:") + std::string(64, 'A')}) {
    for (const char* method : {"GET", "HEAD"}) {
      const Response r = call(method, "/v2/app/manifests/" + reference);
      EXPECT_EQ(r.status, "404 Not Found") << method << " " << reference;
      EXPECT_EQ(r.code(), "MANIFEST_UNKNOWN") << method << " " << reference;
    }
  }
  // A push still says what is wrong with the name it would store.
  EXPECT_EQ(call("PUT", "/v2/app/manifests/.INVALID_MANIFEST_NAME", "", body, kOciManifest).code(), "TAG_INVALID");
  EXPECT_EQ(call("PUT", "/v2/app/manifests/sha256:1234", "", body, kOciManifest).code(), "DIGEST_INVALID");
}

// ---- Tags list --------------------------------------------------------------------------

TEST_F(RegistryProgram, TagListPagesWithLinks) {
  const std::string body = image("app");
  for (const char* t : {"c", "a", "b", "d"}) call("PUT", std::string("/v2/app/manifests/") + t, "", body, kOciManifest);
  Response r = call("GET", "/v2/app/tags/list");
  EXPECT_EQ(r.body, "{\"name\":\"app\",\"tags\":[\"a\",\"b\",\"c\",\"d\"]}\n");
  EXPECT_EQ(r.header("Link"), "(none)");
  r = call("GET", "/v2/app/tags/list", "n=2");
  EXPECT_EQ(r.body, "{\"name\":\"app\",\"tags\":[\"a\",\"b\"]}\n");
  EXPECT_EQ(r.header("Link"), "</v2/app/tags/list?n=2&last=b>; rel=\"next\"");
  r = call("GET", "/v2/app/tags/list", "n=2&last=b");
  EXPECT_EQ(r.body, "{\"name\":\"app\",\"tags\":[\"c\",\"d\"]}\n");
  EXPECT_EQ(r.header("Link"), "(none)") << "nothing after d";
  r = call("GET", "/v2/app/tags/list", "n=0");
  EXPECT_EQ(r.body, "{\"name\":\"app\",\"tags\":[]}\n");
  EXPECT_EQ(r.header("Link"), "(none)");
  r = call("GET", "/v2/app/tags/list", "last=c");
  EXPECT_EQ(r.body, "{\"name\":\"app\",\"tags\":[\"d\"]}\n");
  r = call("HEAD", "/v2/app/tags/list");
  EXPECT_EQ(r.body, "");
  EXPECT_EQ(r.header("Content-Length"), "40");
}

// ---- Storage failures ---------------------------------------------------------------------

TEST_F(RegistryProgram, AStorageFailureIsA500WithOneLineInTheLog) {
  const std::string body = image("app");
  // Something that is not a directory where the manifests belong.
  remove_tree(root + "/repositories/app/_manifests");
  write_bytes(root + "/repositories/app/_manifests", "in the way");
  const Response r = call("PUT", "/v2/app/manifests/v1", "", body, kOciManifest);
  EXPECT_EQ(r.status, "500 Internal Server Error");
  EXPECT_EQ(r.code(), "STORAGE_ERROR");
  std::string line = r.err;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  // The operation, the request, the engine's message and the system's own
  // word for the error ("Not a directory"; Windows says it its own way).
  const std::string prefix = "registry: manifest put PUT /v2/app/manifests/v1: write manifest body failed: ";
  EXPECT_EQ(line.substr(0, prefix.size()), prefix) << line;
  EXPECT_GT(line.size(), prefix.size()) << "the system's error is named";
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
}

}  // namespace

namespace {

// ---- Referrers ------------------------------------------------------------------------------

class Referrers : public RegistryProgram {
 protected:
  // An artifact manifest in repo that refers to subject.
  std::string artifact(const std::string& repo, const std::string& subject, const std::string& type,
                       const std::string& annotations = "") {
    const std::string empty = push_blob(repo, "{}");
    const std::string layer = push_blob(repo, "payload of " + type);
    return "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\",\"artifactType\":\"" + type +
           "\",\"config\":{\"mediaType\":\"application/vnd.oci.empty.v1+json\",\"digest\":\"" + empty +
           "\",\"size\":2},\"layers\":[{\"mediaType\":\"text/plain\",\"digest\":\"" + layer + "\",\"size\":1}]," +
           "\"subject\":{\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\",\"digest\":\"" + subject +
           "\",\"size\":1}" + annotations + "}";
  }
  static std::string descriptor(const std::string& body, const std::string& type, const std::string& annotations = "") {
    return "{\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\",\"digest\":\"" + digest_string(body) +
           "\",\"size\":" + std::to_string(body.size()) + ",\"artifactType\":\"" + type + "\"" + annotations + "}";
  }
  static std::string index(const std::string& entries) {
    return "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.index.v1+json\",\"manifests\":[" + entries + "]}";
  }
};

TEST_F(Referrers, TheManifestsThatReferToADigest) {
  const std::string image_body = image("app");
  ASSERT_EQ(call("PUT", "/v2/app/manifests/v1", "", image_body, kOciManifest).status, "201 Created");
  const std::string subject = digest_string(image_body);
  const std::string path = "/v2/app/referrers/" + subject;

  // Nothing refers to it yet, nor to a digest never pushed.
  Response r = call("GET", path);
  EXPECT_EQ(r.raw, "Status: 200 OK\r\n" + kApi + "\r\nContent-Type: application/vnd.oci.image.index.v1+json\r\n"
                   "Content-Length: 88\r\n\r\n" + index(""));
  EXPECT_EQ(call("GET", "/v2/app/referrers/" + digest_string("never")).body, index(""));
  EXPECT_EQ(call("GET", "/v2/nobody/referrers/" + subject).body, index("")) << "always 200: a 404 would say no API";
  EXPECT_EQ(call("GET", "/v2/app/referrers/sha256:12").code(), "DIGEST_INVALID");

  const std::string sbom = artifact("app", subject, "application/vnd.example.sbom", ",\"annotations\":{\"k\":\"v\"}");
  const std::string sig = artifact("app", subject, "application/vnd.example.sig");
  r = call("PUT", "/v2/app/manifests/" + digest_string(sbom), "", sbom, kOciManifest);
  EXPECT_EQ(r.header("OCI-Subject"), subject) << "the push says the subject was recorded";
  EXPECT_EQ(call("PUT", "/v2/app/manifests/sig", "", sig, kOciManifest).status, "201 Created");

  const std::string d_sbom = descriptor(sbom, "application/vnd.example.sbom", ",\"annotations\":{\"k\":\"v\"}");
  const std::string d_sig = descriptor(sig, "application/vnd.example.sig");
  const bool sbom_first = digest_string(sbom) < digest_string(sig);
  r = call("GET", path);
  EXPECT_EQ(r.body, index(sbom_first ? d_sbom + "," + d_sig : d_sig + "," + d_sbom));
  EXPECT_EQ(r.header("OCI-Filters-Applied"), "(none)");
  r = call("GET", path, "artifactType=application/vnd.example.sig");
  EXPECT_EQ(r.body, index(d_sig));
  EXPECT_EQ(r.header("OCI-Filters-Applied"), "artifactType");
  // Pages, in byte order of the referrers' digests.
  r = call("GET", path, "n=1");
  EXPECT_EQ(r.body, index(sbom_first ? d_sbom : d_sig));
  const std::string first = sbom_first ? digest_string(sbom) : digest_string(sig);
  EXPECT_EQ(r.header("Link"), "<" + path + "?n=1&last=" + first + ">; rel=\"next\"");
  EXPECT_EQ(call("GET", path, "n=1&last=" + first).body, index(sbom_first ? d_sig : d_sbom));

  // A deleted referrer is no longer listed.
  EXPECT_EQ(call("DELETE", "/v2/app/manifests/" + digest_string(sig)).status, "202 Accepted");
  EXPECT_EQ(call("GET", path).body, index(d_sbom));
}

TEST_F(Referrers, SubjectsOfEveryKindAndNotYetPushed) {
  // A subject that is not (yet) in the repository is accepted, and an
  // index may refer too.
  const std::string ghost = digest_string("pushed later");
  const std::string child_body = image("app");
  ASSERT_EQ(call("PUT", "/v2/app/manifests/c", "", child_body, kOciManifest).status, "201 Created");
  const std::string index_body =
      "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.index.v1+json\",\"artifactType\":\"application/x.list\","
      "\"manifests\":[{\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\",\"digest\":\"" + digest_string(child_body) +
      "\",\"size\":" + std::to_string(child_body.size()) + "}],\"subject\":{\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\","
      "\"digest\":\"" + ghost + "\",\"size\":9}}";
  const Response r = call("PUT", "/v2/app/manifests/i", "", index_body, {{"CONTENT_TYPE", "application/vnd.oci.image.index.v1+json"}});
  EXPECT_EQ(r.status, "201 Created") << r.body;
  EXPECT_EQ(r.header("OCI-Subject"), ghost);
  EXPECT_EQ(call("GET", "/v2/app/referrers/" + ghost).body,
            index("{\"mediaType\":\"application/vnd.oci.image.index.v1+json\",\"digest\":\"" + digest_string(index_body) +
                  "\",\"size\":" + std::to_string(index_body.size()) + ",\"artifactType\":\"application/x.list\"}"));
}

TEST_F(Referrers, EntriesOfTheTagSchemeAreListedToo) {
  // A client without the API kept an index under the tag sha256-<hex>.
  const std::string subject_body = image("app");
  ASSERT_EQ(call("PUT", "/v2/app/manifests/v1", "", subject_body, kOciManifest).status, "201 Created");
  const std::string subject = digest_string(subject_body);
  const std::string old = artifact("app", digest_string("no subject field here"), "application/x.old");
  ASSERT_EQ(call("PUT", "/v2/app/manifests/old", "", old, kOciManifest).status, "201 Created");
  const std::string entry = "{\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\",\"digest\":\"" + digest_string(old) +
                            "\",\"size\":" + std::to_string(old.size()) + ",\"artifactType\":\"application/x.old\"}";
  const std::string fallback = index(entry);
  std::string tag = subject;
  tag[6] = '-';
  ASSERT_EQ(call("PUT", "/v2/app/manifests/" + tag, "", fallback, {{"CONTENT_TYPE", "application/vnd.oci.image.index.v1+json"}}).status,
            "201 Created");
  EXPECT_EQ(call("GET", "/v2/app/referrers/" + subject).body, index(entry));
  EXPECT_EQ(call("GET", "/v2/app/referrers/" + subject, "artifactType=application/x.other").body, index(""));
}

// ---- Tags in the push, and SHA-512 ----------------------------------------------------------

TEST_F(RegistryProgram, APushByDigestTagsItInTheSameRequest) {
  const std::string body = image("app");
  const std::string d = digest_string(body);
  Response r = call("PUT", "/v2/app/manifests/" + d, "tag=a&tag=b", body, kOciManifest);
  EXPECT_EQ(r.raw, "Status: 201 Created\r\n" + kApi + "\r\nLocation: /v2/app/manifests/" + d + "\r\nDocker-Content-Digest: " + d +
                       "\r\nOCI-Tag: a\r\nOCI-Tag: b\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(call("GET", "/v2/app/tags/list").body, "{\"name\":\"app\",\"tags\":[\"a\",\"b\"]}\n");
  r = call("PUT", "/v2/app/manifests/" + d, "tag=ok&tag=-bad", body, kOciManifest);
  EXPECT_EQ(r.code(), "TAG_INVALID");
  EXPECT_EQ(call("GET", "/v2/app/manifests/ok").code(), "MANIFEST_UNKNOWN") << "nothing written";
  EXPECT_EQ(call("PUT", "/v2/app/manifests/latest", "tag=x", body, kOciManifest).code(), "TAG_INVALID");
}

TEST_F(RegistryProgram, Sha512BlobsAndManifests) {
  const std::string bytes = "content addressed by SHA-512";
  const std::string d = "sha512:" + [&] {
    // The digest by the system's own tool: an independent computation.
    write_bytes(tmp / "b", bytes);
    ProcessResult r = run_program("/usr/bin/sha512sum", {tmp / "b"}, {}, "");
    return r.out.substr(0, 128);
  }();
  // Monolithic.
  Response r = call("POST", "/v2/app/blobs/uploads/", "digest=" + d, bytes);
  EXPECT_EQ(r.status, "201 Created") << r.body;
  EXPECT_EQ(r.header("Docker-Content-Digest"), d);
  EXPECT_EQ(call("GET", "/v2/app/blobs/" + d).body, bytes) << "pulled back byte for byte";
  EXPECT_TRUE(is_file(root + "/blobs/sha512/" + d.substr(7, 2) + "/" + d.substr(7)));
  // Chunked, declared for SHA-512.
  const std::string location = call("POST", "/v2/b/blobs/uploads/", "digest-algorithm=sha512").header("Location");
  EXPECT_EQ(call("PATCH", location, "", bytes.substr(0, 10)).status, "202 Accepted");
  EXPECT_EQ(call("PATCH", location, "", bytes.substr(10)).status, "202 Accepted");
  EXPECT_EQ(call("PUT", location, "digest=" + digest_string(bytes)).code(), "DIGEST_INVALID")
      << "declared for SHA-512, finished with SHA-256";
  EXPECT_EQ(call("PUT", location, "digest=" + d).status, "201 Created");
  EXPECT_EQ(call("HEAD", "/v2/b/blobs/" + d).header("Content-Length"), std::to_string(bytes.size()));
  EXPECT_EQ(call("POST", "/v2/b/blobs/uploads/", "digest-algorithm=sha384").code(), "DIGEST_INVALID");
  EXPECT_EQ(call("GET", "/v2/b/blobs/sha512:abc").code(), "DIGEST_INVALID");
  // Mounted, deleted.
  EXPECT_EQ(call("POST", "/v2/c/blobs/uploads/", "mount=" + d + "&from=b").status, "201 Created");
  EXPECT_EQ(call("DELETE", "/v2/c/blobs/" + d).status, "202 Accepted");
  EXPECT_EQ(call("GET", "/v2/c/blobs/" + d).code(), "BLOB_UNKNOWN");
  EXPECT_EQ(call("GET", "/v2/b/blobs/" + d).body, bytes);
  // A manifest referring to it, pushed by its SHA-512 digest.
  const std::string config = push_blob("app", "{}");
  const std::string manifest = "{\"schemaVersion\":2,\"mediaType\":\"application/vnd.oci.image.manifest.v1+json\",\"config\":{"
                               "\"mediaType\":\"application/vnd.oci.image.config.v1+json\",\"digest\":\"" + config +
                               "\",\"size\":2},\"layers\":[{\"mediaType\":\"text/plain\",\"digest\":\"" + d + "\",\"size\":28}]}";
  write_bytes(tmp / "m", manifest);
  const std::string md = "sha512:" + run_program("/usr/bin/sha512sum", {tmp / "m"}, {}, "").out.substr(0, 128);
  r = call("PUT", "/v2/app/manifests/" + md, "tag=v512", manifest, kOciManifest);
  EXPECT_EQ(r.status, "201 Created") << r.body;
  EXPECT_EQ(r.header("Docker-Content-Digest"), md);
  r = call("GET", "/v2/app/manifests/v512");
  EXPECT_EQ(r.body, manifest);
  EXPECT_EQ(r.header("Docker-Content-Digest"), md);
  EXPECT_EQ(call("GET", "/v2/app/manifests/" + md).body, manifest);
  EXPECT_EQ(call("DELETE", "/v2/app/manifests/" + md).status, "202 Accepted");
  EXPECT_EQ(call("GET", "/v2/app/manifests/v512").code(), "MANIFEST_UNKNOWN");
}

// The host layer's crash hook, on every host the program is built for
// (crash_points_test walks every step of each operation on Linux): at the
// step REGISTRY_CRASH_AT names, the program ends as a kill would, with
// nothing of its answer sent (SIGKILL here; under Wine, TerminateProcess
// with status 137); a step past its last lets it run whole.
TEST_F(RegistryProgram, ACrashPointEndsTheProgramAsAKillWould) {
  // The hook is read once, from the process's environment: a responder's
  // crash points are those of its process, and its crash is the server's
  // to answer (the interop tests kill one mid-request).
  if (fastcgi_mode()) GTEST_SKIP() << "a crash point is a process's, set where the process starts";
  const std::string body = image("app");
  const auto ended_by_the_hook = [](const ProcessResult& r) {
    return (r.signal == 9 || r.exit_code == 137) && r.out.empty();
  };
  for (const char* at : {"1", "1:after", "2:rename", "1:after:sync"}) {
    std::map<std::string, std::string> extra = kOciManifest;
    extra["REGISTRY_CRASH_AT"] = at;
    const ProcessResult r = run("PUT", "/v2/app/manifests/v1", "", body, extra);
    EXPECT_TRUE(ended_by_the_hook(r)) << at << ": exit " << r.exit_code << ", signal " << r.signal << "\n" << r.out;
  }
  std::map<std::string, std::string> extra = kOciManifest;
  extra["REGISTRY_CRASH_AT"] = "100000";
  EXPECT_EQ(call("PUT", "/v2/app/manifests/v1", "", body, extra).status, "201 Created");
  EXPECT_EQ(call("GET", "/v2/app/manifests/v1").body, body);
}

}  // namespace
