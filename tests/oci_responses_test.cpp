// The registry's JSON and error responses, byte for byte, in child processes.
#include <gtest/gtest.h>

#include <string>

#include "endpoint/oci_common.h"
#include "support/test_support.h"

using testing_support::run_in_child;

namespace {

std::string headers(int status) {
  return "Status: " + std::to_string(status) +
         "\r\nDocker-Distribution-API-Version: registry/2.0\r\nContent-Type: application/json; charset=utf-8\r\n\r\n";
}

TEST(OciResponses, JsonAndErrorBodies) {
  struct Case {
    void (*fn)();
    std::string want;
  };
  const Case cases[] = {
      {[] { oci_send_json(200, nullptr); }, headers(200) + "{}\n"},
      {[] { oci_send_json(201, ""); }, headers(201) + "{}\n"},
      {[] { oci_send_json(202, "{\"a\":1}"); }, headers(202) + "{\"a\":1}\n"},
      {[] { oci_send_error(404, "NAME_UNKNOWN", "say \"hi\"\tnow"); },
       headers(404) + "{\"errors\":[{\"code\":\"NAME_UNKNOWN\",\"message\":\"say \\\"hi\\\"\\tnow\"}]}\n"},
      {[] { oci_send_error(400, "C\"ODE", nullptr); },
       headers(400) + "{\"errors\":[{\"code\":\"C\"ODE\",\"message\":\"Unknown error\"}]}\n"},
      {[] { oci_send_error(500, nullptr, "m"); }, headers(500) + "{\"errors\":[{\"code\":\"UNKNOWN\",\"message\":\"m\"}]}\n"},
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
