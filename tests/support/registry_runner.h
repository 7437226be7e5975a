// How the program tests reach the registry program: a CGI process per
// request (the default), or, when the suite runs with
// REGISTRY_TEST_MODE=fastcgi, a FastCGI request to a responder of the same
// program, started once per working directory (where it finds config.json)
// and kept for the rest of the test program. The request's variables go
// as its parameters, the body as its STDIN; the answer comes back as a CGI
// process's would: its standard output, its standard error, its exit
// status (the request's application status).
#ifndef REGISTRY_TESTS_REGISTRY_RUNNER_H
#define REGISTRY_TESTS_REGISTRY_RUNNER_H

#include <map>
#include <string>

#include "test_support.h"

namespace testing_support {

bool fastcgi_mode();

ProcessResult run_registry(const std::string& program, const std::map<std::string, std::string>& env,
                           const std::string& cwd, const std::string& body = "");

// One FastCGI request to the responder listening at socket_path.
ProcessResult fastcgi_request(const std::string& socket_path, const std::map<std::string, std::string>& params,
                              const std::string& body);

}  // namespace testing_support

#endif
