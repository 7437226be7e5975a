// The JSON string escape, the hex digits and RFC 3339 times that every
// layer shares.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "text/civil_time.h"
#include "text/hex.h"
#include "text/json_escape.h"

namespace {

std::string escaped(const std::string& in) {
  std::string out(text_json_escaped_len(in.data(), in.size()), '\0');
  EXPECT_EQ(text_json_escape(in.data(), in.size(), out.data()), out.size());
  return out;
}

TEST(JsonEscape, EveryClassOfByte) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"plain/text", "plain/text"},                      // '/' stays
      {"\"", "\\\""},        {"\\", "\\\\"},
      {"\b\t\n\f\r", "\\b\\t\\n\\f\\r"},
      {std::string(1, '\0'), "\\u0000"},                  // a NUL is a byte like any other
      {"\x01\x1f", "\\u0001\\u001f"},
      {"\x7f\x80\xff", "\x7f\x80\xff"},                  // UTF-8 and DEL pass unchanged
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(escaped(c.in), c.out) << c.in;
}

TEST(JsonEscape, OneByteAtATime) {
  for (int c = 0; c < 256; ++c) {
    char out[TEXT_JSON_ESCAPE_MAX];
    const size_t n = text_json_escape_byte(static_cast<unsigned char>(c), out);
    const std::string one(1, static_cast<char>(c));
    EXPECT_EQ(std::string(out, n), escaped(one)) << c;
    EXPECT_TRUE(n == 1 || n == 2 || n == 6) << c;
  }
}

TEST(Hex, DigitValues) {
  struct Case {
    unsigned char c;
    int any, lower;
  };
  const Case cases[] = {{'0', 0, 0},   {'9', 9, 9},   {'a', 10, 10}, {'f', 15, 15}, {'A', 10, -1},
                        {'F', 15, -1}, {'g', -1, -1}, {'G', -1, -1}, {' ', -1, -1}, {0, -1, -1},
                        {0x80, -1, -1}, {0xff, -1, -1}};
  for (const Case& c : cases) {
    EXPECT_EQ(text_hex_value(c.c), c.any) << int(c.c);
    EXPECT_EQ(text_lower_hex_value(c.c), c.lower) << int(c.c);
  }
  EXPECT_EQ(text_hex_digit(0), '0');
  EXPECT_EQ(text_hex_digit(11), 'b');
  EXPECT_EQ(text_hex_digit(0x1f), 'f');  // the low nibble alone counts
}

TEST(Hex, EncodeAndDecode) {
  const uint8_t bytes[] = {0x00, 0xab, 0xff};
  char out[7];
  text_hex_encode(bytes, 3, out);
  EXPECT_STREQ(out, "00abff");
  text_hex_encode(bytes, 0, out);
  EXPECT_STREQ(out, "");

  uint8_t back[3] = {};
  EXPECT_EQ(text_hex_decode("00abff", 3, back, 1), 0);
  EXPECT_EQ(back[1], 0xab);
  EXPECT_EQ(back[2], 0xff);
  EXPECT_EQ(text_hex_decode("00ABFF", 3, back, 1), -1) << "upper case is no lower-case digit";
  EXPECT_EQ(text_hex_decode("00ABFF", 3, back, 0), 0);
  EXPECT_EQ(back[1], 0xab);
  EXPECT_EQ(text_hex_decode("0g", 1, back, 0), -1);
  EXPECT_EQ(text_hex_decode(std::string("0\0", 2).c_str(), 1, back, 0), -1) << "a NUL is no digit";
}

TEST(Rfc3339, CivilDatesAndFractions) {
  struct Case {
    int64_t seconds, nanos;
    const char* text;
  };
  const Case cases[] = {
      {0, -1, "1970-01-01T00:00:00Z"},
      {-1, -1, "1969-12-31T23:59:59Z"},                     // before 1970
      {951782400, -1, "2000-02-29T00:00:00Z"},              // a leap day of a century's leap year
      {4107542399, -1, "2100-02-28T23:59:59Z"},             // 2100 is not a leap year
      {1796947200, 7, "2026-12-11T00:00:00.000000007Z"},    // nanoseconds, zero-padded
      {1796947200, 999999999, "2026-12-11T00:00:00.999999999Z"},
  };
  for (const Case& c : cases) {
    char out[TEXT_RFC3339_CAP];
    text_rfc3339(c.seconds, c.nanos, out, sizeof out);
    EXPECT_STREQ(out, c.text) << c.seconds;
  }
  char small[5];
  text_rfc3339(0, -1, small, sizeof small);
  EXPECT_STREQ(small, "1970") << "cut to fit, NUL-terminated";
}

}  // namespace
