// Hostile requests through the catalog program: every answer is the
// specified status with whole JSON, and the program exits 0.
#include <gtest/gtest.h>
#include <yyjson.h>

#include <map>
#include <string>

#include "support/test_support.h"

using namespace testing_support;

namespace {

const std::string kProgram = program_under_test(V2_CATALOG_PATH);

struct Request {
  std::string what;
  std::map<std::string, std::string> env;
  int status;
};

TEST(HostileRequests, AnsweredAsSpecifiedWithWholeJson) {
  TempDir tmp;
  const std::string root = tmp / "root";
  for (const char* r : {"alpha", "beta", "gamma"}) make_dirs(root + "/repositories/" + r);
  const std::string big(10240, 'x');
  const Request requests[] = {
      {"method with a space", {{"REQUEST_METHOD", "GET "}}, 405},
      {"method with CR LF", {{"REQUEST_METHOD", "GET\r\nX-Injected: 1"}}, 405},
      {"10 KB method", {{"REQUEST_METHOD", big}}, 405},
      {"OPTIONS", {{"REQUEST_METHOD", "OPTIONS"}}, 405},
      {"lower-case head", {{"REQUEST_METHOD", "head"}}, 405},
      {"lone percent", {{"QUERY_STRING", "n=%"}}, 200},
      {"bad escapes", {{"QUERY_STRING", "n=%zz&last=%g1%"}}, 200},
      {"NUL escape", {{"QUERY_STRING", "last=%00alpha"}}, 200},
      {"non-UTF-8 escapes", {{"QUERY_STRING", "last=%ff%fe"}}, 200},
      {"raw non-UTF-8", {{"QUERY_STRING", "last=\xff\xfe&n=\xc3"}}, 200},
      {"10 KB value", {{"QUERY_STRING", "last=" + big}}, 200},
      {"10 KB of digits", {{"QUERY_STRING", "n=" + std::string(10240, '9')}}, 200},
      {"10 KB query of separators", {{"QUERY_STRING", std::string(10240, '&')}}, 200},
      {"equals only", {{"QUERY_STRING", "=&==&n==1"}}, 200},
      {"hex and exponent", {{"QUERY_STRING", "n=0x10&last=1e9"}}, 200},
      {"below the smallest int", {{"QUERY_STRING", "n=-2147483649"}}, 200},
      {"many parameters", {{"QUERY_STRING", [] {
                              std::string q;
                              for (int i = 0; i < 2000; ++i) q.append("p").append(std::to_string(i)).append("=v&");
                              return q + "n=1";
                            }()}},
       200},
      {"path traversal in PATH_INFO", {{"PATH_INFO", "/../../../etc/passwd"}}, 200},
      {"10 KB PATH_INFO", {{"PATH_INFO", std::string("/").append(big)}}, 200},
      {"control bytes in PATH_INFO", {{"PATH_INFO", "/\x01\x1b[2J"}}, 200},
      {"root that is a device", {{"REGISTRY_STORAGE_ROOT", "/dev/null"}}, 500},
      {"root with control bytes", {{"REGISTRY_STORAGE_ROOT", "/proc/\x01\x02"}}, 500},
  };
  for (const Request& r : requests) {
    std::map<std::string, std::string> env = r.env;
    env.emplace("REGISTRY_STORAGE_ROOT", root);
    auto res = run_program(kProgram, {}, env, tmp.path());
    EXPECT_EQ(res.exit_code, 0) << r.what;
    const std::string status_line = "Status: " + std::to_string(r.status);
    EXPECT_EQ(res.out.rfind(status_line, 0), 0u) << r.what << ": " << res.out.substr(0, 40);
    const size_t body_at = res.out.find("\r\n\r\n");
    ASSERT_NE(body_at, std::string::npos) << r.what;
    const std::string body = res.out.substr(body_at + 4);
    ASSERT_FALSE(body.empty()) << r.what;
    EXPECT_EQ(body.back(), '\n') << r.what;
    yyjson_doc* doc = yyjson_read(body.data(), body.size(), 0);
    EXPECT_NE(doc, nullptr) << r.what << ": " << body.substr(0, 200);
    yyjson_doc_free(doc);
    // Only the fixed header lines come out, whatever the request held.
    EXPECT_EQ(res.out.find("X-Injected"), std::string::npos) << r.what;
  }
}

}  // namespace
