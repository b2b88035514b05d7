// Tests of HTTP dates, entity tags and the 304 decision.
#include "http/cache.h"

#include <gtest/gtest.h>

namespace {

CHttpRequest Conditional(std::optional<std::string> ifNoneMatch,
                         std::optional<std::string> ifModifiedSince) {
  CHttpRequest request;
  request.method = "GET";
  request.ifNoneMatch = std::move(ifNoneMatch);
  request.ifModifiedSince = std::move(ifModifiedSince);
  return request;
}

TEST(HttpDate, FormatsAndParsesThePreferredForm) {
  EXPECT_EQ(FormatHttpDate(784111777), "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_EQ(ParseHttpDate("Sun, 06 Nov 1994 08:49:37 GMT"), 784111777);
  for (int64_t t : {0LL, 951782400LL, 1700000000LL, 4102444799LL}) {
    EXPECT_EQ(ParseHttpDate(FormatHttpDate(t)), t);
  }
  // Other forms and damaged dates are not understood, so their condition counts as absent.
  EXPECT_FALSE(ParseHttpDate("Sunday, 06-Nov-94 08:49:37 GMT"));
  EXPECT_FALSE(ParseHttpDate("Sun Nov  6 08:49:37 1994"));
  EXPECT_FALSE(ParseHttpDate("Sun, 06 Nov 1994 08:49:37 UTC"));
  EXPECT_FALSE(ParseHttpDate("Sun, 06 Foo 1994 08:49:37 GMT"));
  EXPECT_FALSE(ParseHttpDate("Sun, 0x Nov 1994 08:49:37 GMT"));
  EXPECT_FALSE(ParseHttpDate("Sun, 06 Nov 1994 25:49:37 GMT"));
  EXPECT_FALSE(ParseHttpDate(""));
}

TEST(EntityTag, QuotedAndDecidedByContentAlone) {
  const std::string tag = MakeEntityTag("png bytes");
  EXPECT_EQ(tag.front(), '"');
  EXPECT_EQ(tag.back(), '"');
  EXPECT_EQ(tag, MakeEntityTag("png bytes"));
  EXPECT_NE(tag, MakeEntityTag("png bytez"));
}

TEST(NotModified, IfNoneMatchDecidesWhenPresent) {
  const std::string etag = MakeEntityTag("image");
  const int64_t modified = 1700000000;
  const std::string later = FormatHttpDate(modified + 60);
  EXPECT_TRUE(IsNotModified(Conditional(etag, std::nullopt), etag, modified));
  EXPECT_TRUE(IsNotModified(Conditional("\"other\", " + etag, std::nullopt), etag, modified));
  EXPECT_TRUE(IsNotModified(Conditional("W/" + etag, std::nullopt), etag, modified));
  EXPECT_TRUE(IsNotModified(Conditional("*", std::nullopt), etag, modified));
  EXPECT_FALSE(IsNotModified(Conditional("\"other\"", std::nullopt), etag, modified));
  EXPECT_FALSE(IsNotModified(Conditional("garbage", std::nullopt), etag, modified));
  // A tag that does not match wins over a date that would.
  EXPECT_FALSE(IsNotModified(Conditional("\"other\"", later), etag, modified));
}

TEST(NotModified, IfModifiedSinceAlone) {
  const std::string etag = MakeEntityTag("image");
  const int64_t modified = 1700000000;
  EXPECT_TRUE(IsNotModified(Conditional(std::nullopt, FormatHttpDate(modified)), etag, modified));
  EXPECT_TRUE(
      IsNotModified(Conditional(std::nullopt, FormatHttpDate(modified + 1)), etag, modified));
  EXPECT_FALSE(
      IsNotModified(Conditional(std::nullopt, FormatHttpDate(modified - 1)), etag, modified));
  EXPECT_FALSE(IsNotModified(Conditional(std::nullopt, "yesterday"), etag, modified));
  EXPECT_FALSE(IsNotModified(Conditional(std::nullopt, std::nullopt), etag, modified));
}

}  // namespace
