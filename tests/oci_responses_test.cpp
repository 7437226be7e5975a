// The registry's JSON and error responses, byte for byte, in child processes.
#include <gtest/gtest.h>

#include <string>

#include "registry/oci_common.h"
#include "support/test_support.h"

using testing_support::run_in_child;

namespace {

// Every status line carries its reason phrase, every response its length.
std::string response(int status, const char* reason, const std::string& body) {
  return "Status: " + std::to_string(status) + " " + reason +
         "\r\nDocker-Distribution-API-Version: registry/2.0\r\nContent-Type: application/json; charset=utf-8\r\n"
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

TEST(OciResponses, JsonAndErrorBodies) {
  struct Case {
    void (*fn)();
    std::string want;
  };
  const Case cases[] = {
      {[] { oci_send_json(200, nullptr); }, response(200, "OK", "{}\n")},
      {[] { oci_send_json(201, ""); }, response(201, "Created", "{}\n")},
      {[] { oci_send_json(202, "{\"a\":1}"); }, response(202, "Accepted", "{\"a\":1}\n")},
      {[] { oci_send_error(404, "NAME_UNKNOWN", "say \"hi\"\tnow\x01"); },
       response(404, "Not Found", "{\"errors\":[{\"code\":\"NAME_UNKNOWN\",\"message\":\"say \\\"hi\\\"\\tnow\\u0001\"}]}\n")},
      {[] { oci_send_error(400, "C\"ODE", nullptr); },
       response(400, "Bad Request", "{\"errors\":[{\"code\":\"C\"ODE\",\"message\":\"Unknown error\"}]}\n")},
      {[] { oci_send_error(500, nullptr, "m"); },
       response(500, "Internal Server Error", "{\"errors\":[{\"code\":\"UNKNOWN\",\"message\":\"m\"}]}\n")},
  };
  for (const Case& c : cases) {
    auto r = run_in_child([&] {
      c.fn();
      std::fputs("<returned>", stdout);
    });
    const bool returns = c.want.find("errors") == std::string::npos;
    EXPECT_EQ(r.out, c.want + (returns ? "<returned>" : "")) << "oci_send_json returns; oci_send_error ends the process";
    EXPECT_EQ(r.exit_code, 0);
  }
}

}  // namespace
