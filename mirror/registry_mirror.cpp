// The registry that mirrors others: the registry program with the mirror's
// fetching installed. It links libcurl (and through it the TLS library)
// dynamically, so it is a program of its own: the plain registry stays a
// static program with nothing to load at start.
#include <cstdio>

#include "cgi/request_env.h"
#include "mirror/mirror_fetch.h"
#include "platform/host.h"
#include "registry/fastcgi_mode.h"
#include "registry/front_door.h"
#include "registry/response.h"

int main() {
  mirror::install();
  if (host::started_as_fastcgi()) return registry::serve_fastcgi(cgi::process_environment());
  registry::StdoutOutput out;
  registry::StderrLog log;
  registry::serve(cgi::process_environment(), stdin, out, log);
  return 0;
}
