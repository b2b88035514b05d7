// Windows code pages of the players' tags, and their conversion to UTF-8 through lookup tables.
#include "render/code_page.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Converts one byte sequence with `cd`; returns the single code point it yields, or 0 when the
// sequence is invalid, incomplete or yields anything but exactly one code point. Sets
// `incomplete` when iconv wants more bytes (a lead byte of a double-byte code page).
char32_t ConvertOne(iconv_t cd, const unsigned char* bytes, size_t count, bool* incomplete) {
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char in[2] = {static_cast<char>(bytes[0]), count > 1 ? static_cast<char>(bytes[1]) : '\0'};
  char* inPtr = in;
  size_t inLeft = count;
  unsigned char out[16];
  char* outPtr = reinterpret_cast<char*>(out);
  size_t outLeft = sizeof out;
  *incomplete = false;
  if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1)) {
    *incomplete = errno == EINVAL;
    return 0;
  }
  // Some converters (Vietnamese) hold a base letter back to combine it with a following mark.
  if (iconv(cd, nullptr, nullptr, &outPtr, &outLeft) == static_cast<size_t>(-1)) return 0;
  if (sizeof out - outLeft != 4) return 0;
  const char32_t cp = out[0] | out[1] << 8 | out[2] << 16 | static_cast<char32_t>(out[3]) << 24;
  return cp == 0 ? 0 : cp;
}

// Code points that must not reach an image: C1 controls stand for bytes the code page leaves
// undefined in some converters.
char32_t Displayable(char32_t cp) {
  if (cp == 0 || (cp >= 0x80 && cp <= 0x9F)) return kReplacement;
  return cp;
}

}  // namespace

const std::vector<CCodePageInfo>& SupportedCodePages() {
  static const std::vector<CCodePageInfo> pages = {
      {1252, "CP1252", "Western European (Windows-1252)", "en"},
      {1250, "CP1250", "Central European (Windows-1250)", "pl"},
      {1251, "CP1251", "Cyrillic (Windows-1251)", "ru"},
      {1253, "CP1253", "Greek (Windows-1253)", "el"},
      {1254, "CP1254", "Turkish (Windows-1254)", "tr"},
      {1255, "CP1255", "Hebrew (Windows-1255)", "he"},
      {1256, "CP1256", "Arabic (Windows-1256)", "ar"},
      {1257, "CP1257", "Baltic (Windows-1257)", "lt"},
      {1258, "CP1258", "Vietnamese (Windows-1258)", "vi"},
      {874, "CP874", "Thai (Windows-874)", "th"},
      {932, "CP932", "Japanese (Shift_JIS, Windows-932)", "ja"},
      {936, "CP936", "Simplified Chinese (GBK, Windows-936)", "zh-cn"},
      {949, "CP949", "Korean (Windows-949)", "ko"},
      {950, "CP950", "Traditional Chinese (Big5, Windows-950)", "zh-tw"},
  };
  return pages;
}

const CCodePageInfo* FindCodePage(int id) {
  for (const CCodePageInfo& info : SupportedCodePages()) {
    if (info.id == id) return &info;
  }
  return nullptr;
}

int ParseCodePageNumber(std::string_view text) {
  if (text.empty() || text.size() > 5) return 0;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + (c - '0');
  }
  return value;
}

CCodePage::CCodePage(const CCodePageInfo& info) : m_info(info) { BuildTables(); }

void CCodePage::BuildTables() {
  iconv_t cd = iconv_open("UTF-32LE", m_info.iconvName);
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    throw std::runtime_error(std::string("iconv does not know code page ") + m_info.iconvName);
  }
  for (unsigned b = 0; b < 256; ++b) {
    if (b < 0x20 || b == 0x7F) {
      m_single[b] = U' ';
      continue;
    }
    const unsigned char byte = static_cast<unsigned char>(b);
    bool incomplete = false;
    const char32_t cp = ConvertOne(cd, &byte, 1, &incomplete);
    if (!incomplete) {
      m_single[b] = Displayable(cp);
      continue;
    }
    auto table = std::make_unique<Table>();
    bool any = false;
    for (unsigned t = 0; t < 256; ++t) {
      const unsigned char pair[2] = {byte, static_cast<unsigned char>(t)};
      bool pairIncomplete = false;
      const char32_t pairCp = ConvertOne(cd, pair, 2, &pairIncomplete);
      (*table)[t] = pairCp == 0 ? 0 : Displayable(pairCp);
      any = any || pairCp != 0;
    }
    m_single[b] = any ? 0 : kReplacement;
    if (any) m_trail[b] = std::move(table);
  }
  iconv_close(cd);
}

std::string CCodePage::ToUtf8(std::string_view bytes) const {
  std::string out;
  out.reserve(bytes.size() * 2);
  for (size_t i = 0; i < bytes.size(); ++i) {
    const unsigned char b = static_cast<unsigned char>(bytes[i]);
    if (m_single[b] != 0) {
      AppendUtf8(m_single[b], out);
      continue;
    }
    const Table& trails = *m_trail[b];
    if (i + 1 < bytes.size()) {
      const unsigned char t = static_cast<unsigned char>(bytes[i + 1]);
      char32_t cp = trails[t];
      // The plug-in escapes every "_" as a blank, also the trail byte 0x5F of a double-byte
      // character. No double-byte code page uses 0x20 as a trail byte, so the pair is restored.
      if (cp == 0 && t == 0x20) cp = trails[0x5F];
      if (cp != 0) {
        AppendUtf8(cp, out);
        ++i;
        continue;
      }
    }
    AppendUtf8(kReplacement, out);
  }
  return out;
}

const CCodePage& CodePageFor(int id) {
  static const std::vector<std::unique_ptr<CCodePage>> pages = [] {
    std::vector<std::unique_ptr<CCodePage>> built;
    for (const CCodePageInfo& info : SupportedCodePages()) {
      built.push_back(std::make_unique<CCodePage>(info));
    }
    return built;
  }();
  for (const auto& page : pages) {
    if (page->Info().id == id) return *page;
  }
  return *pages.front();
}

void AppendUtf8(char32_t cp, std::string& out) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::string CleanUtf8(std::string_view bytes, size_t maxBytes) {
  std::string out;
  out.reserve(std::min(bytes.size(), maxBytes));
  size_t i = 0;
  while (i < bytes.size()) {
    const unsigned char lead = static_cast<unsigned char>(bytes[i]);
    // The sequence's length, and the smallest code point that needs it (shorter forms are not
    // allowed).
    const size_t length = lead < 0x80                   ? 1
                          : lead >= 0xC2 && lead < 0xE0 ? 2
                          : lead >= 0xE0 && lead < 0xF0 ? 3
                          : lead >= 0xF0 && lead < 0xF5 ? 4
                                                        : 0;
    char32_t cp = length == 1   ? lead
                  : length == 2 ? lead & 0x1F
                  : length == 3 ? lead & 0x0F
                                : lead & 0x07;
    bool valid = length > 0 && i + length <= bytes.size();
    for (size_t k = 1; valid && k < length; ++k) {
      const unsigned char next = static_cast<unsigned char>(bytes[i + k]);
      valid = (next & 0xC0) == 0x80;
      cp = (cp << 6) | (next & 0x3F);
    }
    const char32_t minimum = length == 3 ? 0x800 : length == 4 ? 0x10000 : 0;
    valid = valid && cp >= minimum && cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
    if (!valid) cp = 0xFFFD;
    if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) cp = ' ';
    std::string piece;
    AppendUtf8(cp, piece);
    if (out.size() + piece.size() > maxBytes) break;
    out += piece;
    i += valid ? length : 1;
  }
  return out;
}
