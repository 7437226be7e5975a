// The registry: one program for every path under /v2/ and for the token
// endpoint. Started by the web server once per request (CGI), or once for
// many, with a listening socket as its standard input (FastCGI).
#include <cstdio>

#include "cgi/request_env.h"
#include "platform/host.h"
#include "registry/fastcgi_mode.h"
#include "registry/front_door.h"
#include "registry/response.h"

int main() {
  if (host::started_as_fastcgi()) return registry::serve_fastcgi(cgi::process_environment());
  registry::StdoutOutput out;
  registry::StderrLog log;
  registry::serve(cgi::process_environment(), stdin, out, log);
  return 0;
}
