// The registry: one CGI program for every path under /v2/ and for the
// token endpoint.
#include <cstdio>

#include "cgi/request_env.h"
#include "registry/front_door.h"
#include "registry/response.h"

int main() {
  registry::StdoutOutput out;
  registry::StderrLog log;
  registry::serve(cgi::process_environment(), stdin, out, log);
  return 0;
}
