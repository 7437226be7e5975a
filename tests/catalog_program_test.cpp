// The catalog program end to end: build/bin/v2_catalog run as a CGI child
// process with a controlled environment and working directory, its
// standard output compared byte for byte.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "support/test_support.h"

using namespace testing_support;

namespace {

const std::string kProgram = program_under_test(V2_CATALOG_PATH);

// The headers of a JSON response, with its reason phrase and length.
std::string json_headers(const std::string& status_line, const std::string& body, const std::string& extra = "") {
  return "Status: " + status_line +
         "\r\n"
         "Docker-Distribution-API-Version: registry/2.0\r\n" +
         extra + "Content-Type: application/json; charset=utf-8\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n\r\n";
}

std::string error_response(const std::string& status_line, const std::string& code, const std::string& message,
                           const std::string& extra = "") {
  const std::string body = "{\"errors\":[{\"code\":\"" + code + "\",\"message\":\"" + message + "\"}]}\n";
  return json_headers(status_line, body, extra) + body;
}

const std::string k405 = error_response("405 Method Not Allowed", "UNSUPPORTED", "Method not allowed for /v2/_catalog",
                                        "Allow: GET, HEAD\r\n");
const std::string k500 = error_response("500 Internal Server Error", "STORAGE_ERROR", "Failed to initialize registry storage");

// A line of the program's standard error without its line end, which is
// CR LF on Windows.
std::string line(std::string err) {
  while (!err.empty() && (err.back() == '\n' || err.back() == '\r')) err.pop_back();
  return err;
}

std::string catalog(const std::string& names_json) {
  const std::string body = "{\"repositories\":[" + names_json + "]}\n";
  return json_headers("200 OK", body) + body;
}

// A page with more names after it: its Link names where the next starts.
std::string catalog_page(const std::string& names_json, int n, const std::string& last) {
  const std::string body = "{\"repositories\":[" + names_json + "]}\n";
  std::string headers = json_headers("200 OK", body);
  headers.insert(headers.size() - 2,
                 "Link: </v2/_catalog?n=" + std::to_string(n) + "&last=" + last + ">; rel=\"next\"\r\n");
  return headers + body;
}

// HEAD: the same headers, the length of the body that GET would send.
std::string catalog_head(const std::string& names_json) {
  const std::string body = "{\"repositories\":[" + names_json + "]}\n";
  return json_headers("200 OK", body);
}

class CatalogProgram : public ::testing::Test {
 protected:
  // Runs the program in the working directory tmp/work with the storage
  // root given (or none) and the extra variables.
  ProcessResult run(std::map<std::string, std::string> env) {
    make_dirs(work);
    return run_program(kProgram, {}, env, work);
  }
  void add_repos(const std::string& at, std::initializer_list<const char*> names) {
    for (const char* n : names) make_dirs(at + "/repositories/" + n);
  }
  TempDir tmp;
  std::string work = tmp / "work";
  std::string root = tmp / "root";
};

TEST_F(CatalogProgram, GetOnAFreshRootCreatesTheTreeAndListsNothing) {
  auto r = run({{"REQUEST_METHOD", "GET"}, {"REGISTRY_STORAGE_ROOT", root}});
  EXPECT_EQ(r.out, catalog(""));
  EXPECT_EQ(r.exit_code, 0);
  // metrics/: the request's count, once it was answered.
  EXPECT_EQ(list_names(root), (std::vector<std::string>{"blobs", "config.json", "metrics", "repositories", "uploads"}));
  EXPECT_EQ(read_bytes(root + "/config.json").size(), 110u);
}

TEST_F(CatalogProgram, MethodsAndPaging) {
  add_repos(root, {"beta", "alpha", "Gamma"});
  write_bytes(root + "/repositories/notes.txt", "x");
  struct Case {
    const char* method;  // nullptr: unset
    const char* query;   // nullptr: unset
    std::string want;
  };
  const std::string all = "\"Gamma\",\"alpha\",\"beta\"";
  const Case cases[] = {
      {nullptr, nullptr, catalog(all)},
      {"", nullptr, catalog(all)},
      {"GET", "", catalog(all)},
      {"HEAD", nullptr, catalog_head(all)},
      {"HEAD", "n=1", catalog_head("\"Gamma\"").insert(catalog_head("\"Gamma\"").size() - 2,
                                                          "Link: </v2/_catalog?n=1&last=Gamma>; rel=\"next\"\r\n")},
      {"POST", nullptr, k405},
      {"get", nullptr, k405},
      {"HEADX", nullptr, k405},
      {"DELETE", "n=1", k405},
      {"GET", "n=2", catalog_page("\"Gamma\",\"alpha\"", 2, "alpha")},
      {"GET", "n=abc", catalog(all)},
      {"GET", "n=0", catalog(all)},
      {"GET", "n=-3", catalog(all)},
      {"GET", "n=+1", catalog_page("\"Gamma\"", 1, "Gamma")},
      {"GET", "n=%201", catalog_page("\"Gamma\"", 1, "Gamma")},
      {"GET", "n=2x", catalog_page("\"Gamma\",\"alpha\"", 2, "alpha")},
      {"GET", "n=99999999999999999999", catalog(all)},
      {"GET", "n=-99999999999999999999", catalog(all)},
      {"GET", "last=alpha", catalog("\"beta\"")},
      {"GET", "last=alz", catalog("\"beta\"")},
      {"GET", "last=", catalog(all)},
      {"GET", "last=zzz", catalog("")},
      {"GET", "n=1&last=Gamma", catalog_page("\"alpha\"", 1, "alpha")},
      {"GET", "n=2&last=Gamma", catalog("\"alpha\",\"beta\"")},
      {"GET", "last=alpha&n=99999999999999999999", catalog("\"beta\"")},
      {"GET", "n=1&n=5", catalog_page("\"Gamma\"", 1, "Gamma")},
  };
  for (const Case& c : cases) {
    std::map<std::string, std::string> env{{"REGISTRY_STORAGE_ROOT", root}};
    if (c.method != nullptr) env["REQUEST_METHOD"] = c.method;
    if (c.query != nullptr) env["QUERY_STRING"] = c.query;
    auto r = run(env);
    EXPECT_EQ(r.out, c.want) << "method " << (c.method ? c.method : "(unset)") << " query "
                             << (c.query ? c.query : "(unset)");
    EXPECT_EQ(r.exit_code, 0);
  }
}

TEST_F(CatalogProgram, WithoutAQueryStringVariablesOfTheParametersNamesStandIn) {
  add_repos(root, {"beta", "alpha", "Gamma"});
  struct Case {
    const char* what;
    std::map<std::string, std::string> env;
    std::string want;
  };
  const std::string all = "\"Gamma\",\"alpha\",\"beta\"";
  const Case cases[] = {
      {"n, no query string", {{"n", "1"}}, catalog_page("\"Gamma\"", 1, "Gamma")},
      {"n, empty query string", {{"QUERY_STRING", ""}, {"n", "1"}}, catalog_page("\"Gamma\"", 1, "Gamma")},
      {"last", {{"last", "alpha"}}, catalog("\"beta\"")},
      {"both", {{"n", "1"}, {"last", "Gamma"}}, catalog_page("\"alpha\"", 1, "alpha")},
      {"a path list stands in for nothing", {{"last", "/usr/bin:/bin;x"}}, catalog(all)},
      {"';' alone is a value", {{"last", "alpha;x"}}, catalog("\"beta\"")},
      // Taken as it is: "alph%61" sorts before alpha (decoded it would be alpha).
      {"not decoded", {{"last", "alph%61"}}, catalog("\"alpha\",\"beta\"")},
      {"a query string without n: the variable is not read", {{"QUERY_STRING", "last=alpha"}, {"n", "1"}},
       catalog("\"beta\"")},
  };
  // The catalog program, and the registry program that serves the same
  // catalog among its other routes: one reader of parameters.
  for (const std::string& program : {kProgram, program_under_test(REGISTRY_PATH)}) {
    for (const Case& c : cases) {
      std::map<std::string, std::string> env = c.env;
      env["REGISTRY_STORAGE_ROOT"] = root;
      env["PATH_INFO"] = "/v2/_catalog";
      make_dirs(work);
      EXPECT_EQ(run_program(program, {}, env, work).out, c.want) << program << ": " << c.what;
    }
  }
}

TEST_F(CatalogProgram, RefusedMethodsDoNotTouchTheStorage) {
  auto r = run({{"REQUEST_METHOD", "POST"}, {"REGISTRY_STORAGE_ROOT", root}});
  EXPECT_EQ(r.out, k405);
  EXPECT_FALSE(exists(root));
  r = run({{"REQUEST_METHOD", "PUT"}});
  EXPECT_EQ(r.out, k405);
  EXPECT_FALSE(exists(work + "/registry_storage"));
}

TEST_F(CatalogProgram, StorageFailureAnswers500) {
  write_bytes(tmp / "file", "x");
  for (const char* method : {"GET", "HEAD"}) {
    auto r = run({{"REQUEST_METHOD", method}, {"REGISTRY_STORAGE_ROOT", tmp / "file/root"}});
    EXPECT_EQ(r.out, k500) << method << ": the error body is written for HEAD too";
    EXPECT_EQ(r.exit_code, 0);
  }
}

TEST_F(CatalogProgram, DefaultRootIsInTheWorkingDirectory) {
  auto r = run({});
  EXPECT_EQ(r.out, catalog(""));
  EXPECT_TRUE(is_dir(work + "/registry_storage/repositories"));
}

TEST_F(CatalogProgram, RootFromTheBootstrapConfigFile) {
  const std::string a = tmp / "a";
  const std::string b = tmp / "b";
  add_repos(a, {"from-a"});
  add_repos(b, {"from-b"});
  struct Case {
    std::string config;
    std::string want;  // the one repository listed, "" for the default root, "500" for a refusal
  };
  const Case cases[] = {
      // Any JSON spelling of the keys is read.
      {"{\"storage_root\": \"" + a + "\"}", "from-a"},
      {"{\"storage_root\":\"" + a + "\"}", "from-a"},
      {"{\"storage_root\" :\"" + a + "\"}", "from-a"},
      {"\n{\n  \"storage_root\"\t:\r\n \"" + a + "\"\n}\n", "from-a"},
      {"{\"storage\\u005froot\":\"" + a + "\"}", "from-a"},
      {"{\"x\":[1,{\"y\":null}],\"storage_root\":\"" + a + "\",\"z\":-1.5e3}", "from-a"},
      {std::string(2048, ' ') + "{\"storage_root\":\"" + a + "\"}", "from-a"},
      {"{\"registry_storage_root\":\"" + b + "\"}", "from-b"},
      {"{\"registry_storage_root\":\"" + b + "\",\"storage_root\":\"" + a + "\"}", "from-a"},
      // Configurations that name no root: the default.
      {"{}", ""},
      {"{\"storage_root\":\"\"}", ""},
      {"{\"x\":{\"storage_root\":\"" + a + "\"}}", ""},
      // A file that exists but cannot be used: a refusal, never the default.
      {"{\"storage_root\":\"" + a + "\"", "500"},
      {"{\"storage_root\":\"" + a, "500"},
      {"{\"storage_root\":\"" + a + "\"} x", "500"},
      {"{\"storage_root\":1,\"y\":2}", "500"},
      {"{\"storage_root\":\"" + a + "\",\"storage_root\":\"" + b + "\"}", "500"},
      {"{\"storage_root\":\"" + std::string(1024, 'x') + "\"}", "500"},
      {"{\"storage_root\":\"bad\\u0000\"}", "500"},
      {"{\"storage_root\":\"caf\xe9\"}", "500"},
      {"[]", "500"},
      {"", "500"},
  };
  for (const Case& c : cases) {
    remove_tree(work);
    make_dirs(work);
    write_bytes(work + "/config.json", c.config);
    auto r = run({});
    const std::string what = c.config.substr(0, 120);
    if (c.want == "500") {
      EXPECT_EQ(r.out, k500) << what;
      EXPECT_EQ(r.err.rfind("registry: config.json in the working directory ", 0), 0u) << what << ": " << r.err;
      EXPECT_FALSE(exists(work + "/registry_storage")) << what;
    } else if (c.want.empty()) {
      EXPECT_EQ(r.out, catalog("")) << what;
      EXPECT_TRUE(is_dir(work + "/registry_storage")) << what;
    } else {
      EXPECT_EQ(r.out, catalog("\"" + c.want + "\"")) << what;
      EXPECT_FALSE(exists(work + "/registry_storage")) << what;
    }
  }
}

TEST_F(CatalogProgram, AConfigurationThatCannotBeReadIsARefusal) {
  make_dirs(work + "/config.json");
  auto r = run({});
  EXPECT_EQ(r.out, k500);
  EXPECT_EQ(line(r.err), "registry: config.json in the working directory cannot be read (a directory)");
  EXPECT_FALSE(exists(work + "/registry_storage"));
}

TEST_F(CatalogProgram, ConfigValueIsDecodedAndTheEnvironmentWins) {
  // The value's JSON escapes are decoded.
  const std::string spaced = tmp / "with space";
  make_dirs(work);
  write_bytes(work + "/config.json", "{\"storage_root\":\"" + tmp.path() + "/with\\u0020space\"}");
  EXPECT_EQ(run({}).out, catalog(""));
  EXPECT_TRUE(is_dir(spaced + "/repositories"));

  add_repos(root, {"env"});
  EXPECT_EQ(run({{"REGISTRY_STORAGE_ROOT", root}}).out, catalog("\"env\""));
  // Set but empty: the configuration file applies.
  EXPECT_EQ(run({{"REGISTRY_STORAGE_ROOT", ""}}).out, catalog(""));
  // The environment wins even over a configuration that cannot be used,
  // once it also says whether access control is on: the file might have
  // turned it on, and a registry is never opened by a file it cannot read.
  write_bytes(work + "/config.json", "not json");
  EXPECT_EQ(run({{"REGISTRY_STORAGE_ROOT", root}, {"REGISTRY_AUTH", "off"}}).out, catalog("\"env\""));
  const auto r = run({{"REGISTRY_STORAGE_ROOT", root}});
  EXPECT_EQ(r.out.substr(0, 35), "Status: 500 Internal Server Error\r\n");
  EXPECT_EQ(line(r.err), "registry: access control: GET : config.json in the working directory: not valid JSON "
                         "(not a JSON object)");
}

TEST_F(CatalogProgram, AnEnvironmentRootThatDoesNotFitIsARefusal) {
  std::string value = tmp.path();
  while (value.size() < 2000) value += "/" + std::string(99, 'd');
  value.resize(1024);
  if (value[1023] == '/') value[1023] = 'e';
  auto r = run({{"REGISTRY_STORAGE_ROOT", value}});
  EXPECT_EQ(r.out, k500);
  EXPECT_EQ(line(r.err), "registry: REGISTRY_STORAGE_ROOT is longer than 1023 characters");
  EXPECT_FALSE(exists(value.substr(0, 1023))) << "the cut path is never created";
  // 1023 characters fit.
  r = run({{"REGISTRY_STORAGE_ROOT", value.substr(0, 1023)}});
  EXPECT_EQ(r.out, catalog(""));
  EXPECT_TRUE(is_dir(value.substr(0, 1023) + "/repositories"));
}

}  // namespace
