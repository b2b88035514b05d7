// Tests of percent-decoding followed by code-page conversion, for every byte of several code pages.
#include "render/code_page.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

#include "accounts/report.h"

namespace {

std::string Utf8(char32_t cp) {
  std::string out;
  AppendUtf8(cp, out);
  return out;
}

std::string Hex(unsigned b) {
  const char* digits = "0123456789ABCDEF";
  return std::string("%") + digits[b >> 4] + digits[b & 15];
}

// The title of a report whose title is `escaped`, converted as an account of `codePage` sees it.
std::string TitleAsShown(int codePage, const std::string& escaped) {
  const CReportParse parsed = ParseReport("user=u&key=1&artist=a&title=" + escaped);
  EXPECT_EQ(parsed.error, EReportError::kNone);
  return CodePageFor(codePage).ToUtf8(parsed.report.title);
}

TEST(CodePage, EveryByteOfWindows125xMatchesAnIndependentTable) {
  std::ifstream file(VELK_SERVICE_TEST_DATA "/code_pages.txt");
  ASSERT_TRUE(file) << "missing test data";
  std::string line;
  int pages = 0;
  while (std::getline(file, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    int codePage = 0;
    fields >> codePage;
    ++pages;
    for (unsigned b = 0; b < 256; ++b) {
      std::string expectedHex;
      fields >> expectedHex;
      char32_t expected = expectedHex == "-" ? 0xFFFD : std::stoul(expectedHex, nullptr, 16);
      if (b < 0x20 || b == 0x7F) expected = U' ';  // controls never reach an image
      const std::string want = Utf8(expected);
      EXPECT_EQ(TitleAsShown(codePage, Hex(b)), want) << codePage << " byte " << b;
      // The plug-in sends bytes from 0x80 on unescaped.
      if (b >= 0x80) {
        EXPECT_EQ(TitleAsShown(codePage, std::string(1, static_cast<char>(b))), want)
            << codePage << " raw byte " << b;
      }
    }
  }
  EXPECT_EQ(pages, 3);
}

TEST(CodePage, WholeTextsOfSeveralScripts) {
  EXPECT_EQ(TitleAsShown(1251, "\xca\xe8\xed\xee%20%2D%20\xc3\xf0\xf3\xef\xef\xe0"),
            "Кино - Группа");
  EXPECT_EQ(TitleAsShown(1253, "\xc1\xf7%20\xc5\xeb\xeb\xdc\xe4\xe1"), "Αχ Ελλάδα");
  EXPECT_EQ(TitleAsShown(1250, "P\xf8\xedli\x9a%20\x9elu\x9dou\xe8k\xfd"), "Příliš žluťoučký");
  EXPECT_EQ(TitleAsShown(1252, "Caf\xe9%20%80%20%85"), "Café € …");
  // Shift_JIS: "宇多田ヒカル" is six double-byte characters.
  EXPECT_EQ(TitleAsShown(932, "\x89\x46\x91\xbd\x93\x63\x83\x71\x83\x4a\x83\x8b"), "宇多田ヒカル");
  // GBK and Big5 for "红豆" / "紅豆", and a Korean word in code page 949.
  EXPECT_EQ(TitleAsShown(936, "\xba\xec\xb6\xb9"), "红豆");
  EXPECT_EQ(TitleAsShown(950, "\xac\xf5\xa8\xa7"), "紅豆");
  EXPECT_EQ(TitleAsShown(949, "\xc1\xc1\xc0\xba"), "좋은");
}

TEST(CodePage, DoubleByteEdgeCases) {
  // "_" is escaped as a blank, also when it is the trail byte of a character: 0x83 0x5F is "ダ".
  EXPECT_EQ(TitleAsShown(932, "\x83%20"), "ダ");
  // A lead byte at the end, or before a byte that cannot follow it, shows as U+FFFD.
  EXPECT_EQ(TitleAsShown(932, "A\x83"), "A\uFFFD");
  EXPECT_EQ(TitleAsShown(932, "\x83%0A"), "\uFFFD ");
  // Single-byte katakana and ASCII between double-byte characters.
  EXPECT_EQ(TitleAsShown(932, "\xb1%20x"), "ｱ x");
}

TEST(CodePage, EveryOfferedCodePageBuildsAndUnknownOnesFallBack) {
  for (const CCodePageInfo& info : SupportedCodePages()) {
    EXPECT_EQ(CodePageFor(info.id).Info().id, info.id);
    EXPECT_EQ(CodePageFor(info.id).ToUtf8("Az09"), "Az09") << info.id;
  }
  EXPECT_EQ(SupportedCodePages().front().id, kDefaultCodePage);
  EXPECT_EQ(FindCodePage(65001), nullptr);
  EXPECT_EQ(CodePageFor(65001).Info().id, kDefaultCodePage);
}

TEST(CodePage, OutputIsAlwaysValidUtf8) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  for (const CCodePageInfo& info : SupportedCodePages()) {
    const std::string text = CodePageFor(info.id).ToUtf8(all);
    // Walk the UTF-8 sequences: lead byte, then the right number of continuation bytes.
    for (size_t i = 0; i < text.size();) {
      const unsigned char c = static_cast<unsigned char>(text[i]);
      const size_t length = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
      ASSERT_NE(length, 0u) << info.id << " at " << i;
      ASSERT_LE(i + length, text.size());
      for (size_t k = 1; k < length; ++k) {
        ASSERT_EQ(static_cast<unsigned char>(text[i + k]) & 0xC0, 0x80) << info.id;
      }
      ASSERT_GE(c, 0x20) << info.id << ": a control character at " << i;
      i += length;
    }
  }
}

// Other players' text: valid UTF-8 stays, anything else is made safe, and a cut never splits a
// character.
TEST(CodePage, CleanUtf8KeepsCharactersAndReplacesTheRest) {
  EXPECT_EQ(CleanUtf8("Кино – 夜に駆ける 🎵"), "Кино – 夜に駆ける 🎵");
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(CleanUtf8("a\xC0\xAF"
                      "b"),
            "a" + fffd + fffd + "b");                                   // overlong "/"
  EXPECT_EQ(CleanUtf8("\xED\xA0\x80"), fffd + fffd + fffd);             // a surrogate
  EXPECT_EQ(CleanUtf8("\xF4\x90\x80\x80"), fffd + fffd + fffd + fffd);  // over U+10FFFF
  EXPECT_EQ(CleanUtf8("x\xE3\x81"), "x" + fffd + fffd);                 // cut short
  EXPECT_EQ(CleanUtf8("a\tb\x7F\xC2\x85"
                      "c"),
            "a b  c");  // C0, DEL, C1
  EXPECT_EQ(CleanUtf8("ab夜に", 6), "ab夜");
}

}  // namespace
