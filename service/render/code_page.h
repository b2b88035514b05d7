// Windows code pages of the players' tags, and their conversion to UTF-8 through lookup tables.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// A code page an account can choose: its Windows number, the name glibc's iconv knows it by, the
// label the registration page shows and the language tag that picks the right CJK glyph forms.
struct CCodePageInfo {
  int id;
  const char* iconvName;
  const char* label;
  const char* language;
};

constexpr int kDefaultCodePage = 1252;

// Every code page the service offers, the default first.
const std::vector<CCodePageInfo>& SupportedCodePages();
// The entry for `id`, or null when the service does not offer that code page.
const CCodePageInfo* FindCodePage(int id);
// The code page a form or query names: 1 to 5 ASCII digits and nothing else (no sign, blank or
// suffix); 0 for any other text.
int ParseCodePageNumber(std::string_view text);

// Converts text of one code page to UTF-8 with tables built once from iconv. Single-byte code
// pages use one 256-entry table; double-byte ones (Japanese, Chinese, Korean) add a 256-entry
// table of trail bytes for each lead byte. Immutable after construction, so any thread may use it.
class CCodePage {
 public:
  // Builds the tables; throws std::runtime_error when iconv does not know the code page.
  explicit CCodePage(const CCodePageInfo& info);

  const CCodePageInfo& Info() const { return m_info; }

  // The UTF-8 form of `bytes`. Control bytes (0x00-0x1F, 0x7F) become blanks and bytes or byte
  // pairs the code page does not define become U+FFFD, so the result is always valid UTF-8
  // without control characters, whatever the input.
  std::string ToUtf8(std::string_view bytes) const;

 private:
  using Table = std::array<char32_t, 256>;
  void BuildTables();

  CCodePageInfo m_info;
  Table m_single{};                                 // 0 marks a lead byte
  std::array<std::unique_ptr<Table>, 256> m_trail;  // per lead byte; 0 marks an undefined pair
};

// The tables of every supported code page, built on first use (the service builds them at start).
const CCodePage& CodePageFor(int id);

// Text that ought to be UTF-8 (other players' tags) as valid UTF-8 of at most `maxBytes` bytes,
// cut between characters: bytes that do not form a character become U+FFFD, control characters
// blanks, as ToUtf8 does.
std::string CleanUtf8(std::string_view bytes, size_t maxBytes = 1024);

// Appends the UTF-8 encoding of `cp` to `out`.
void AppendUtf8(char32_t cp, std::string& out);
