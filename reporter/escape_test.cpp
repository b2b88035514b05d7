// Tests of the escaping of tag values.
#include "reporter/escape.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

TEST(EscapeForUrl, WorkedCases) {
  EXPECT_EQ(EscapeForUrl(""), "");
  EXPECT_EQ(EscapeForUrl("Salt & Sand"), "Salt%20%26%20Sand");
  EXPECT_EQ(EscapeForUrl("Wave (Live)"), "Wave%20%28Live%29");
  EXPECT_EQ(EscapeForUrl("50% off/on"), "50%25%20off%2Fon");
  EXPECT_EQ(EscapeForUrl("%41"), "%2541");
  EXPECT_EQ(EscapeForUrl("A_B"), "A%20B");
  EXPECT_EQ(EscapeForUrl("A B"), "A%20B");
  EXPECT_EQ(EscapeForUrl("a-b.c~d"), "a%2Db%2Ec%7Ed");
  EXPECT_EQ(EscapeForUrl("AZaz09"), "AZaz09");
}

// Every byte, checked against the rule: letters, digits and 0x80-0xFF are copied; "_" becomes
// "%20"; every other byte, control bytes included, becomes "%" and its code in capital hex.
TEST(EscapeForUrl, EveryByteFollowsTheTable) {
  int escaped = 0;
  for (int byte = 0; byte < 256; ++byte) {
    SCOPED_TRACE(byte);
    const std::string in(1, static_cast<char>(byte));
    const bool copied = byte >= 0x80 || (byte >= '0' && byte <= '9') ||
                        (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z');
    std::string expected = in;
    if (!copied) {
      char escape[4];
      std::snprintf(escape, sizeof escape, "%%%02X", byte == '_' ? 0x20 : byte);
      expected = escape;
      ++escaped;
    }
    EXPECT_EQ(EscapeForUrl(in), expected);
  }
  // The 33 listed characters and the 33 control bytes.
  EXPECT_EQ(escaped, 66);
}

TEST(EscapeForUrl, ControlBytesCannotBreakTheRequestLine) {
  EXPECT_EQ(EscapeForUrl("a\r\nHost: evil\tb"), "a%0D%0AHost%3A%20evil%09b");
  EXPECT_EQ(EscapeForUrl(std::string("x\0y\x7f", 4)), "x%00y%7F");
  EXPECT_EQ(EscapeForUrl("\x80\xE9\xFF"), "\x80\xE9\xFF");
}

TEST(EscapeForUrl, ReplacesTheOutputAndReusesItsStorage) {
  std::string out;
  out.reserve(3 * 200);
  out = "stale";
  const char* storage = out.data();
  EscapeForUrl(std::string(200, '&'), out);
  EXPECT_EQ(out.size(), 600u);
  EXPECT_EQ(out.substr(0, 6), "%26%26");
  EXPECT_EQ(out.data(), storage);
  EscapeForUrl("ok", out);
  EXPECT_EQ(out, "ok");
}

}  // namespace
