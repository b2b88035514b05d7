// Fuzz target for the service's side of a report: the query/body parser, the percent decoder and
// the code-page decoder, alone on any bytes and against what the plug-in formats.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "reporter/escape.h"
#include "service/render/code_page.h"
#include "service/http/form_decode.h"
#include "service/accounts/report.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

// True when `text` is well-formed UTF-8 (shortest forms, no surrogates) without control
// characters.
bool CleanUtf8(const std::string& text) {
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    char32_t code = 0;
    if (lead < 0x80) {
      if (lead < 0x20 || lead == 0x7F) return false;
      ++i;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      code = lead & 0x07;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    if ((length == 3 && code < 0x800) || (length == 4 && (code < 0x10000 || code > 0x10FFFF)) ||
        (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

// Any bytes: the parser and the decoders never fail, and keep their limits.
void CheckAnyBytes(const std::string& input) {
  const CReportParse parsed = ParseReport(input);
  if (parsed.error == EReportError::kNone) {
    const CReport& r = parsed.report;
    FUZZ_CHECK(!r.user.empty());
    for (const std::string* tag : {&r.artist, &r.title, &r.album, &r.year, &r.genre}) {
      FUZZ_CHECK(tag->size() <= kMaxTagBytes);
    }
    FUZZ_CHECK(parsed.message.empty());
  } else {
    FUZZ_CHECK(!parsed.message.empty());
  }
  FUZZ_CHECK(PercentDecode(input).size() <= input.size());

  static const CCodePage kCyrillic(*FindCodePage(1251));
  static const CCodePage kJapanese(*FindCodePage(932));
  FUZZ_CHECK(CleanUtf8(kCyrillic.ToUtf8(input)));
  FUZZ_CHECK(CleanUtf8(kJapanese.ToUtf8(input)));
}

// Tag values as the plug-in sends them come back as the host gave them ("_" as a blank).
void CheckPluginReport(const std::vector<std::string>& values) {
  static const char* const kKeys[] = {"artist", "title", "album", "year", "genre"};
  std::string query = "user=alice&key=123";
  std::string expected[5];
  for (int t = 0; t < 5; ++t) {
    const std::string value = t < static_cast<int>(values.size()) ? values[t] : std::string();
    query += std::string("&") + kKeys[t] + "=" + EscapeForUrl(value);
    expected[t] = value;
    for (char& c : expected[t]) {
      if (c == '_') c = ' ';
    }
  }
  const CReportParse parsed = ParseReport(query);
  bool too_long = false;
  for (const std::string& value : expected) too_long = too_long || value.size() > kMaxTagBytes;
  if (too_long) {
    FUZZ_CHECK(parsed.error == EReportError::kTagTooLong);
    return;
  }
  FUZZ_CHECK(parsed.error == EReportError::kNone);
  const CReport& r = parsed.report;
  FUZZ_CHECK(r.user == "alice" && r.key == "123");
  FUZZ_CHECK(r.artist == expected[0] && r.title == expected[1] && r.album == expected[2] &&
             r.year == expected[3] && r.genre == expected[4]);
  FUZZ_CHECK(!r.stopped);
}

}  // namespace

// Input: the bytes checked as they are, and also, split at zero bytes, the five tag values of a
// report the plug-in would send.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  CheckAnyBytes(input);
  const std::vector<std::string> values = SplitAtZeroBytes(input);
  CheckPluginReport(values);
  return 0;
}
