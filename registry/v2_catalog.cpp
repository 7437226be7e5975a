// The repository catalog alone: GET and HEAD on /v2/_catalog, run as a CGI
// program once per request. The registry program serves the same catalog
// among all its other routes.
#include "registry/oci_common.h"

int main() { return handle_v2_catalog(); }
