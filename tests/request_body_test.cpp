// Request bodies, fatal exits and the string helpers of the CGI layer. The
// body and the exits run in child processes with a real pipe on stdin.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "cgi/bt_cgi.h"
#include "support/test_support.h"

using namespace testing_support;

namespace {

// The child writes "null:<length>:<status>" or "<length>:<bytes>" and,
// after the bytes, the byte that follows them in the block (which must be
// the NUL).
void report_body() {
  uint64_t len = 999;
  char* body = cgi_read_post(&len);
  if (body == nullptr) {
    std::printf("null:%llu:%d", static_cast<unsigned long long>(len), cgi_read_post_status());
    return;
  }
  if (cgi_read_post_status() != CGI_BODY_OK) std::printf("status %d with a body!", cgi_read_post_status());
  std::printf("%llu:", static_cast<unsigned long long>(len));
  std::fwrite(body, 1, len + 1, stdout);
  std::free(body);
}

struct BodyCase {
  const char* name;
  std::map<std::string, const char*> env;
  std::vector<std::string> input;
  std::string want;
};

class RequestBody : public ::testing::Test {
 protected:
  TempDir tmp;
};

TEST_F(RequestBody, Table) {
  write_bytes(tmp / "empty", "");
  write_bytes(tmp / "body", std::string("fi\0le", 5));
  const std::string empty = tmp / "empty";
  const std::string body = tmp / "body";
  const std::string missing = tmp / "missing";
  const BodyCase cases[] = {
      {"empty body file", {{"POST_BODY_FILE", empty.c_str()}, {"CONTENT_LENGTH", "5"}}, {"hello"},
       std::string("0:\0", 3)},
      {"body file wins", {{"POST_BODY_FILE", body.c_str()}, {"CONTENT_LENGTH", "5"}}, {"hello"},
       std::string("5:fi\0le\0", 8)},
      {"unopenable file falls back", {{"POST_BODY_FILE", missing.c_str()}, {"CONTENT_LENGTH", "5"}}, {"hello"},
       std::string("5:hello\0", 8)},
      {"empty POST_BODY_FILE", {{"POST_BODY_FILE", ""}, {"CONTENT_LENGTH", "2"}}, {"hello"}, std::string("2:he\0", 5)},
      {"unset", {{"POST_BODY_FILE", nullptr}, {"CONTENT_LENGTH", nullptr}}, {"hello"}, "null:0:1"},
      {"empty", {{"POST_BODY_FILE", nullptr}, {"CONTENT_LENGTH", ""}}, {"hello"}, "null:0:1"},
      {"zero", {{"POST_BODY_FILE", nullptr}, {"CONTENT_LENGTH", "0"}}, {"hello"}, "null:0:1"},
      {"negative", {{"POST_BODY_FILE", nullptr}, {"CONTENT_LENGTH", "-5"}}, {"hello"}, "null:0:1"},
      {"letters", {{"POST_BODY_FILE", nullptr}, {"CONTENT_LENGTH", "abc"}}, {"hello"}, "null:0:1"},
      {"huge negative", {{"POST_BODY_FILE", nullptr}, {"CONTENT_LENGTH", "-99999999999"}}, {"hello"}, "null:0:1"},
      // A body that cannot be had whole is a failure, told apart from none.
      {"more than a block holds", {{"POST_BODY_FILE", nullptr}, {"CONTENT_LENGTH", "3000000000"}}, {"hello"},
       "null:0:2"},
      {"beyond 64 bits", {{"POST_BODY_FILE", nullptr}, {"CONTENT_LENGTH", "99999999999999999999999"}}, {"hello"},
       "null:0:2"},
      {"2147483648", {{"POST_BODY_FILE", nullptr}, {"CONTENT_LENGTH", "2147483648"}}, {"hello"}, "null:0:2"},
      {"12abc counts as 12", {{"POST_BODY_FILE", nullptr}, {"CONTENT_LENGTH", " 12abc"}}, {"0123456789abcdef"},
       std::string("12:0123456789ab\0", 16)},
      {"10 declared, 4 delivered", {{"POST_BODY_FILE", nullptr}, {"CONTENT_LENGTH", "10"}}, {"abcd"}, "null:0:3"},
      {"pieces are all read", {{"POST_BODY_FILE", nullptr}, {"CONTENT_LENGTH", "9"}}, {"abc", "def", "ghi", "jkl"},
       std::string("9:abcdefghi\0", 12)},
      {"NUL bytes count", {{"POST_BODY_FILE", nullptr}, {"CONTENT_LENGTH", "5"}}, {std::string("a\0b", 3), std::string("\0c", 2)},
       std::string("5:a\0b\0c\0", 8)},
  };
  for (const BodyCase& c : cases) {
    auto r = run_in_child_with_input(report_body, c.env, c.input);
    EXPECT_EQ(r.out, c.want) << c.name;
    EXPECT_EQ(r.exit_code, 0) << c.name;
  }
}

TEST_F(RequestBody, ABodyFileLargerThanABlockHoldsIsRefusedUnread) {
  const std::string big = tmp / "big";
  write_bytes(big, "");
  ASSERT_EQ(truncate(big.c_str(), 3000000000LL), 0);  // sparse: no disk used
  auto r = run_in_child_with_input(report_body, {{"POST_BODY_FILE", big.c_str()}, {"CONTENT_LENGTH", "5"}}, {"hello"});
  EXPECT_EQ(r.out, "null:0:2");
}

TEST_F(RequestBody, StandardInputIsNotReadWithoutADeclaredBody) {
  // The child reports what is left on stdin after the call.
  auto r = run_in_child_with_input(
      [] {
        uint64_t len = 0;
        char* b = cgi_read_post(&len);
        char rest[16] = {};
        const size_t n = std::fread(rest, 1, sizeof rest - 1, stdin);
        std::printf("%s|%.*s", b == nullptr ? "null" : "body", static_cast<int>(n), rest);
      },
      {{"POST_BODY_FILE", nullptr}, {"CONTENT_LENGTH", "0"}}, {"kept"});
  EXPECT_EQ(r.out, "null|kept");
}

TEST(FatalExits, ExactBytesAndExitStatusZero) {
  struct Case {
    void (*fn)();
    std::string want;
  };
  const Case cases[] = {
      {[] { cgi_die_text(404, "not here"); },
       "Status: 404\r\nContent-Type: text/plain; charset=utf-8\r\n\r\nnot here\n"},
      {[] { cgi_die_text(500, nullptr); }, "Status: 500\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n\n"},
      {[] { cgi_die_json(400, "bad \"x\"\n"); },
       "Status: 400\r\nContent-Type: application/json; charset=utf-8\r\n\r\n"
       "{\"errors\":[{\"code\":\"ERROR\",\"message\":\"bad \\\"x\\\"\\n\"}]}\n"},
      {[] { cgi_die_json(500, nullptr); },
       "Status: 500\r\nContent-Type: application/json; charset=utf-8\r\n\r\n"
       "{\"errors\":[{\"code\":\"ERROR\",\"message\":\"error\"}]}\n"},
  };
  for (const Case& c : cases) {
    auto r = run_in_child([&] {
      c.fn();
      std::printf("returned");  // never reached
    });
    EXPECT_EQ(r.out, c.want);
    EXPECT_EQ(r.exit_code, 0);
  }
}

TEST(StringHelpers, BoundedFormatting) {
  char buf[16];
  std::memset(buf, 'z', sizeof buf);
  EXPECT_EQ(bt_snprintf(buf, 4, "%s", "abcdef"), 3);
  EXPECT_STREQ(buf, "abc");
  EXPECT_EQ(bt_snprintf(buf, 10, "%d", 42), 2);
  EXPECT_STREQ(buf, "42");
  EXPECT_EQ(bt_snprintf(buf, 3, "%d", 42), 2);
  EXPECT_STREQ(buf, "42");
  EXPECT_EQ(bt_snprintf(buf, 2, "%d", 42), 1);
  EXPECT_STREQ(buf, "4");
  buf[0] = 'k';
  EXPECT_EQ(bt_snprintf(buf, 0, "%d", 42), 0);
  EXPECT_EQ(buf[0], 'k');
  EXPECT_EQ(bt_snprintf(nullptr, 10, "%d", 42), 0);
}

TEST(StringHelpers, PathJoinTable) {
  struct Case {
    const char* first;
    const char* second;
    uint64_t size;
    std::string want;
  };
  const Case cases[] = {
      {"root", "a", 64, "root/a"},
      {"root/", "a", 64, "root/a"},
      {"root\\", "a", 64, "root\\a"},
      {"root", "//a/b", 64, "root/a/b"},
      {"root", "\\/\\a", 64, "root/a"},
      {"root", "/\\/", 64, "root/"},
      {"root//", "a", 64, "root//a"},
      {"", "/a", 64, "/a"},
      {nullptr, "/a", 64, "/a"},
      {nullptr, nullptr, 64, ""},
      {"", nullptr, 64, ""},
      {"root", "", 64, "root"},
      {"root", nullptr, 64, "root"},
      {"a/b\\c", "d\\e", 64, "a/b\\c/d\\e"},
      {"root", "abc", 5, "root"},    // first fills the buffer
      {"rootx", "abc", 5, "root"},   // cut to size - 1
      {"roo", "abc", 5, "roo/"},     // room for the separator only
      {"ro", "abc", 5, "ro/a"},
      {"root", "abc", 1, ""},
  };
  for (const Case& c : cases) {
    char buf[72];
    std::memset(buf, 'z', sizeof buf);
    bt_path_join(buf, c.size, c.first, c.second);
    EXPECT_EQ(std::string(buf), c.want) << (c.first ? c.first : "(null)") << " + " << (c.second ? c.second : "(null)")
                                        << " in " << c.size;
    EXPECT_EQ(buf[c.size], 'z') << "nothing past the buffer";
  }
  char keep = 'k';
  bt_path_join(&keep, 0, "a", "b");
  EXPECT_EQ(keep, 'k');
  bt_path_join(nullptr, 10, "a", "b");
}

}  // namespace
