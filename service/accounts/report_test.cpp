// Tests of query and form-body parsing: splitting, percent-decoding, report fields and their caps.
#include "accounts/report.h"

#include <gtest/gtest.h>

#include "http/form_decode.h"

namespace {

TEST(FormDecode, SplitsAtAmpersandsAndTheFirstEquals) {
  const auto fields = SplitForm("a=1&&b=x=y&flag&=v&c=");
  ASSERT_EQ(fields.size(), 5u);
  EXPECT_EQ(fields[0].name, "a");
  EXPECT_EQ(fields[0].rawValue, "1");
  EXPECT_EQ(fields[1].name, "b");
  EXPECT_EQ(fields[1].rawValue, "x=y");
  EXPECT_EQ(fields[2].name, "flag");
  EXPECT_EQ(fields[2].rawValue, "");
  EXPECT_EQ(fields[3].name, "");
  EXPECT_EQ(fields[3].rawValue, "v");
  EXPECT_EQ(fields[4].name, "c");
  EXPECT_TRUE(SplitForm("").empty());
  EXPECT_TRUE(SplitForm("&&&").empty());
}

TEST(FormDecode, PercentEscapesPlusAndRawBytes) {
  EXPECT_EQ(PercentDecode("Salt%20%26%20Sand"), "Salt & Sand");
  EXPECT_EQ(PercentDecode("Wave%20%28Live%29"), "Wave (Live)");
  EXPECT_EQ(PercentDecode("50%25%20off%2Fon"), "50% off/on");
  EXPECT_EQ(PercentDecode("%2541"), "%41");  // decoded once only
  EXPECT_EQ(PercentDecode("%2d%2D%7e"), "--~");
  EXPECT_EQ(PercentDecode("a+b"), "a b");
  EXPECT_EQ(PercentDecode("%00%09%7F"), std::string("\0\t\x7f", 3));
  EXPECT_EQ(PercentDecode("\xca\xe8\xed\xee"), "\xca\xe8\xed\xee");
  // Malformed escapes inside the text stay as they are.
  EXPECT_EQ(PercentDecode("100%!"), "100%!");
  EXPECT_EQ(PercentDecode("%G1x"), "%G1x");
  // A report URL cut at its length limit may end inside an escape: the remnant is dropped.
  EXPECT_EQ(PercentDecode("Long%2"), "Long");
  EXPECT_EQ(PercentDecode("Long%"), "Long");
  EXPECT_EQ(PercentDecode("Long%x"), "Long%x");
}

TEST(Report, TrackReportAsThePlugInSendsIt) {
  const CReportParse parsed = ParseReport(
      "user=bob&key=0123&artist=Salt%20%26%20Sand&title=Wave%20%28Live%29&album=Tides&year=2001&"
      "genre=Rock");
  ASSERT_EQ(parsed.error, EReportError::kNone);
  const CReport& r = parsed.report;
  EXPECT_EQ(r.user, "bob");
  EXPECT_EQ(r.key, "0123");
  EXPECT_EQ(r.artist, "Salt & Sand");
  EXPECT_EQ(r.title, "Wave (Live)");
  EXPECT_EQ(r.album, "Tides");
  EXPECT_EQ(r.year, "2001");
  EXPECT_EQ(r.genre, "Rock");
  EXPECT_FALSE(r.stopped);
}

TEST(Report, StoppedReportAndLookalikes) {
  EXPECT_TRUE(ParseReport("user=bob&key=1&artist=stopped&title=stopped").report.stopped);
  // A track that happens to be called "stopped" carries album, year and genre keys.
  EXPECT_FALSE(ParseReport("user=bob&key=1&artist=stopped&title=stopped&album=&year=&genre=")
                   .report.stopped);
  EXPECT_FALSE(ParseReport("user=bob&key=1&artist=stopped&title=Stopped").report.stopped);
}

TEST(Report, FieldOrderDuplicatesAndMissingTags) {
  const CReportParse parsed = ParseReport("title=T&key=9&user=amy&user=eve&artist=A&unknown=1");
  ASSERT_EQ(parsed.error, EReportError::kNone);
  EXPECT_EQ(parsed.report.user, "amy");
  EXPECT_EQ(parsed.report.artist, "A");
  EXPECT_EQ(parsed.report.title, "T");
  EXPECT_EQ(parsed.report.album, "");
  // A URL cut at 1,023 characters may lose its last keys; what arrived still counts.
  const CReportParse cut = ParseReport("user=bob&key=1&artist=Somebody&title=Very%20Long%2");
  ASSERT_EQ(cut.error, EReportError::kNone);
  EXPECT_EQ(cut.report.title, "Very Long");
}

TEST(Report, AccountFieldsAreRequired) {
  EXPECT_EQ(ParseReport("key=1&artist=a").error, EReportError::kMissingAccount);
  EXPECT_EQ(ParseReport("user=bob&artist=a").error, EReportError::kMissingAccount);
  EXPECT_EQ(ParseReport("user=&key=1").error, EReportError::kMissingAccount);
  EXPECT_EQ(ParseReport("").error, EReportError::kMissingAccount);
  EXPECT_FALSE(ParseReport("").message.empty());
}

TEST(Report, TagCapCountsDecodedBytes) {
  const std::string escaped255 = [] {
    std::string s;
    for (int i = 0; i < 255; ++i) s += "%20";
    return s;
  }();
  EXPECT_EQ(ParseReport("user=u&key=1&title=" + escaped255).error, EReportError::kNone);
  for (const char* tag : {"artist", "title", "album", "year", "genre"}) {
    const CReportParse parsed =
        ParseReport(std::string("user=u&key=1&") + tag + "=" + std::string(256, 'x'));
    EXPECT_EQ(parsed.error, EReportError::kTagTooLong) << tag;
    EXPECT_NE(parsed.message.find(tag), std::string::npos) << parsed.message;
  }
}

}  // namespace
