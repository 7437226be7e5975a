// The front door: one request in, one whole response out. The request and
// the settings are read once; the route table decides which handler runs
// once the name, access control, the method, the reference's form and the
// storage have been seen to, each in one place. Nothing of a request
// outlives it but the storage engine readied on its root.
#ifndef REGISTRY_REGISTRY_FRONT_DOOR_H
#define REGISTRY_REGISTRY_FRONT_DOOR_H

#include <cstdio>

#include "cgi/request_env.h"
#include "registry/response.h"

namespace registry {

// Serves the request env describes (its body on input) into out, failures
// logged to log. config_path: the configuration file of the working
// directory.
void serve(const cgi::Environment& env, FILE* input, Output& out, Log& log, const char* config_path = "config.json");

// The same for the catalog program, which answers every request it is
// given as a catalog request, whatever its path.
void serve_catalog(const cgi::Environment& env, FILE* input, Output& out, Log& log,
                   const char* config_path = "config.json");

}  // namespace registry

#endif
