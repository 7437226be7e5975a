// The registry program as a FastCGI responder: started by the web server
// with a listening socket (or pipe) as its standard input, it serves
// request after request through the same front door as a CGI process,
// each request read, answered and forgotten before the next.
//
//   REGISTRY_FASTCGI_WORKERS        processes that share the listener, each
//                                   started again when it ends (1; POSIX)
//   REGISTRY_FASTCGI_MAX_REQUESTS   requests a process serves before it
//                                   ends, for the server or the workers'
//                                   keeper to start a fresh one (0: no
//                                   limit, the default)
//   REGISTRY_FASTCGI_BODY_TIMEOUT   seconds a request's records may keep
//                                   the process waiting (60)
#ifndef REGISTRY_REGISTRY_FASTCGI_MODE_H
#define REGISTRY_REGISTRY_FASTCGI_MODE_H

#include "cgi/request_env.h"

namespace registry {

// Serves FastCGI requests on the listener the process was given until a
// limit ends it; returns the process's exit status.
int serve_fastcgi(const cgi::Environment& process_env);

}  // namespace registry

#endif
