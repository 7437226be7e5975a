// The CGI layer: environment values, query decoding, header bytes, escaping.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "cgi/bt_cgi.h"
#include "support/test_support.h"

using testing_support::run_in_child;

namespace {

// Sets (or, with nullptr, unsets) one variable for the scope of a test.
class EnvVar {
 public:
  EnvVar(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) {
      had_ = true;
      old_ = old;
    }
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~EnvVar() {
    if (had_) {
      setenv(name_.c_str(), old_.c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }

 private:
  std::string name_;
  std::string old_;
  bool had_ = false;
};

struct QueryCase {
  const char* query;
  const char* name;
  std::string want;
};

class QueryDecoding : public ::testing::TestWithParam<QueryCase> {};

TEST_P(QueryDecoding, GivesTheDecodedValue) {
  const QueryCase& c = GetParam();
  EnvVar qs("QUERY_STRING", c.query);
  EXPECT_EQ(std::string(cgi_query(c.name)), c.want) << "query " << c.query << ", name " << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Table, QueryDecoding,
    ::testing::Values(
        QueryCase{"n=10&last=abc", "n", "10"}, QueryCase{"n=10&last=abc", "last", "abc"},
        QueryCase{"n=10&last=abc", "other", ""}, QueryCase{"a=1&a=2", "a", "1"},
        QueryCase{"flag&x=1", "flag", ""}, QueryCase{"flag&x=1", "x", "1"}, QueryCase{"na=1", "n", ""},
        QueryCase{"N=1", "n", ""}, QueryCase{"a%62=1", "ab", ""}, QueryCase{"v=a+b%20c", "v", "a b c"},
        QueryCase{"v=%2B", "v", "+"}, QueryCase{"v=%25", "v", "%"}, QueryCase{"v=%2541", "v", "%41"},
        QueryCase{"v=%4a%4A", "v", "JJ"}, QueryCase{"v=%zz", "v", "%zz"}, QueryCase{"v=x%4", "v", "x%4"},
        QueryCase{"v=x%", "v", "x%"}, QueryCase{"v=%4&w=1", "v", "%4"},
        QueryCase{"v=%e2%82%ac", "v", "\xe2\x82\xac"}, QueryCase{"v=ab%00cd", "v", "ab"},
        QueryCase{"&&v=1&", "v", "1"}, QueryCase{"v=", "v", ""}, QueryCase{"v=1;w=2", "v", "1;w=2"},
        QueryCase{"a=b=c", "a", "b=c"}, QueryCase{"a=1", "a=1", ""},
        QueryCase{"last=%C3%A9t%C3%A9", "last", "\xc3\xa9t\xc3\xa9"}));

TEST(Query, LongValueIsCutAt511Bytes) {
  const std::string value(600, 'x');
  const std::string q = "v=" + value;
  EnvVar qs("QUERY_STRING", q.c_str());
  EXPECT_EQ(std::string(cgi_query("v")), value.substr(0, 511));
}

TEST(Query, NullAndEmptyNamesGiveTheEmptyString) {
  EnvVar qs("QUERY_STRING", "a=1");
  EXPECT_STREQ(cgi_query(nullptr), "");
  EXPECT_STREQ(cgi_query(""), "");
}

TEST(Query, WithoutQueryStringAVariableOfThatNameStandsIn) {
  for (const char* unset_or_empty : {static_cast<const char*>(nullptr), ""}) {
    EnvVar qs("QUERY_STRING", unset_or_empty);
    {
      EnvVar n("n", "5");
      EXPECT_STREQ(cgi_query("n"), "5");
    }
    {
      EnvVar n("n", "C:\\a;D:\\b");
      EXPECT_STREQ(cgi_query("n"), "");
    }
    {
      EnvVar n("n", "a;b");
      EXPECT_STREQ(cgi_query("n"), "a;b");
    }
    {
      EnvVar n("n", "a:b");
      EXPECT_STREQ(cgi_query("n"), "a:b");
    }
    {
      EnvVar n("n", "%41+");
      EXPECT_STREQ(cgi_query("n"), "%41+") << "a stand-in value is not decoded";
    }
    {
      EnvVar n("n", nullptr);
      EXPECT_STREQ(cgi_query("n"), "");
    }
  }
}

TEST(Query, AQueryStringWithoutTheParameterDoesNotConsultTheEnvironment) {
  EnvVar qs("QUERY_STRING", "x=1");
  EnvVar n("n", "5");
  EXPECT_STREQ(cgi_query("n"), "");
}

TEST(Query, EightResultsCanBeHeldAtOnceAndTheNinthReusesTheFirstSlot) {
  EnvVar qs("QUERY_STRING", "a=first&b=2&c=3&d=4&e=5&f=6&g=7&h=8&i=ninth");
  const char* first = cgi_query("a");
  cgi_query("");       // empty names do not advance the ring
  cgi_query(nullptr);
  for (const char* name : {"b", "c", "d", "e", "f", "g", "h"}) cgi_query(name);
  EXPECT_STREQ(first, "first");
  const char* ninth = cgi_query("i");
  EXPECT_EQ(ninth, first);
  EXPECT_STREQ(first, "ninth");
}

TEST(Query, TheRingAdvancesOnMissesToo) {
  EnvVar qs("QUERY_STRING", "a=keep");
  const char* kept = cgi_query("a");
  for (int i = 0; i < 7; ++i) cgi_query("missing");
  EXPECT_STREQ(kept, "keep");
  cgi_query("missing");
  EXPECT_STREQ(kept, "");
}

TEST(Environment, MethodPathAndFallbacks) {
  {
    EnvVar m("REQUEST_METHOD", nullptr);
    EXPECT_STREQ(cgi_method(), "GET");
  }
  {
    EnvVar m("REQUEST_METHOD", "");
    EXPECT_STREQ(cgi_method(), "GET");
  }
  {
    EnvVar p("PATH_INFO", nullptr);
    EXPECT_STREQ(cgi_path_info(), "/");
  }
  {
    EnvVar p("PATH_INFO", "");
    EXPECT_STREQ(cgi_path_info(), "/");
  }
  {
    EnvVar p("PATH_INFO", "/v2/x");
    EXPECT_STREQ(cgi_path_info(), "/v2/x");
  }
  EnvVar v("REG_TEST_VAR", "");
  EXPECT_STREQ(cgi_env("REG_TEST_VAR", "fb"), "fb");
  EXPECT_STREQ(cgi_env("REG_TEST_VAR", ""), "");
  EXPECT_STREQ(cgi_env("REG_TEST_VAR", nullptr), "");
}

TEST(Environment, MethodTests) {
  struct Case {
    const char* method;
    int post;
    int head;
  };
  for (const Case& c : {Case{"POST", 1, 0}, Case{"POSTX", 1, 0}, Case{"PUT", 0, 0}, Case{"post", 0, 0},
                        Case{"PATCH", 0, 0}, Case{"P", 0, 0}, Case{"HEAD", 0, 1}, Case{"HEADER", 0, 1},
                        Case{"HEA", 0, 0}, Case{"head", 0, 0}, Case{"GET", 0, 0}}) {
    EnvVar m("REQUEST_METHOD", c.method);
    EXPECT_EQ(cgi_is_post(), c.post) << c.method;
    EXPECT_EQ(cgi_is_head(), c.head) << c.method;
  }
}

TEST(Headers, EachWriterWritesItsLineByteForByte) {
  struct Case {
    void (*write)();
    std::string want;
  };
  const Case cases[] = {
      {[] { cgi_header_html(); }, "Content-Type: text/html; charset=utf-8\r\n"},
      {[] { cgi_header_json(); }, "Content-Type: application/json; charset=utf-8\r\n"},
      {[] { cgi_header_text(); }, "Content-Type: text/plain; charset=utf-8\r\n"},
      {[] { cgi_header_status(200, "OK"); }, "Status: 200 OK\r\n"},
      {[] { cgi_header_status(404, ""); }, "Status: 404\r\n"},
      {[] { cgi_header_status(-1, nullptr); }, "Status: -1\r\n"},
      {[] { cgi_header_ct("application/x-thing"); }, "Content-Type: application/x-thing\r\n"},
      {[] { cgi_header_extra("X-A: b\nc"); }, "X-A: b\nc\r\n"},
      {[] { cgi_headers_end(); }, "\r\n"},
  };
  for (const Case& c : cases) {
    auto r = run_in_child([&] { c.write(); });
    EXPECT_EQ(r.out, c.want);
    EXPECT_EQ(r.exit_code, 0);
  }
}

TEST(Escaping, JsonEscapeToAStream) {
  auto r = run_in_child([] {
    json_escape_f(stdout, "q\" b\\ t\t n\n r\r b\b f\f \x01\x1b\x1f \x7f /\xc3\xa9");
    json_escape_f(stdout, nullptr);
  });
  EXPECT_EQ(r.out, "q\\\" b\\\\ t\\t n\\n r\\r b\\b f\\f \\u0001\\u001b\\u001f \x7f /\xc3\xa9");
}

TEST(BoundedCopy, CutsAndAlwaysTerminates) {
  char buf[8];
  std::memset(buf, 'z', sizeof buf);
  bt_strlcpy(buf, "abcdef", 1);
  EXPECT_STREQ(buf, "");
  bt_strlcpy(buf, "abcdef", 4);
  EXPECT_STREQ(buf, "abc");
  bt_strlcpy(buf, "abcdef", 8);
  EXPECT_STREQ(buf, "abcdef");
  bt_strlcpy(buf, nullptr, 8);
  EXPECT_STREQ(buf, "");
  buf[0] = 'k';
  bt_strlcpy(buf, "abc", 0);
  EXPECT_EQ(buf[0], 'k');
  bt_strlcpy(nullptr, "abc", 4);  // nothing to write to
}

}  // namespace
