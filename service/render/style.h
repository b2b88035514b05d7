// The looks a signature can take: its template (size and layout), its theme and accent colour,
// and which of the album line's parts it shows.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

enum class ETemplate { kCard, kBanner, kUserbar };
enum class ETheme { kDark, kLight };

struct CTemplateInfo {
  ETemplate id;
  const char* name;   // as URLs and forms spell it
  const char* label;  // for people
  int width;
  int height;
};

struct CSignatureStyle {
  ETemplate layout = ETemplate::kCard;
  ETheme theme = ETheme::kDark;
  int32_t accent = -1;  // 0xRRGGBB of a playing track's accent; -1: the theme's own
  bool showAlbum = true;
  bool showYear = true;
  bool showGenre = true;

  bool operator==(const CSignatureStyle& other) const {
    return layout == other.layout && theme == other.theme && accent == other.accent &&
           showAlbum == other.showAlbum && showYear == other.showYear &&
           showGenre == other.showGenre;
  }
  // A short text that differs for every different style, for cache variants.
  std::string Fingerprint() const;
};

// Every template, the default (card) first.
const std::vector<CTemplateInfo>& SupportedTemplates();
const CTemplateInfo& TemplateInfo(ETemplate layout);
// The template or theme of that name, exactly as spelt; false for any other text.
bool ParseTemplate(std::string_view name, ETemplate* layout);
bool ParseTheme(std::string_view name, ETheme* theme);
const char* ThemeName(ETheme theme);
// "#rrggbb" (either letter case) as 0xRRGGBB; false for anything else.
bool ParseAccent(std::string_view text, int32_t* accent);
// "#rrggbb" in lower case.
std::string FormatAccent(int32_t accent);
// The accent a playing track shows in `theme` when the account chose none.
int32_t DefaultAccent(ETheme theme);
// The background colour of `theme`, 0xRRGGBB.
int32_t ThemeBackground(ETheme theme);

// Text needs this contrast against its background (WCAG 2 large-text and graphics minimum).
constexpr double kMinTextContrast = 3.0;
// The WCAG 2 contrast ratio of two 0xRRGGBB colours, from 1 to 21, from their relative luminance.
double ContrastRatio(int32_t a, int32_t b);
// `color` itself when text in it reaches kMinTextContrast on `background`; else the colour nearest
// to it on the way to `ink` (a colour that contrasts well with `background`) that does.
int32_t ReadableOn(int32_t color, int32_t background, int32_t ink);
// The colour in which `theme` draws text in `accent`: the accent, or a shade of it that is
// readable on the theme's background.
int32_t ReadableAccent(int32_t accent, ETheme theme);

// `text` without the blanks around it: ASCII white space, no-break and ideographic spaces.
std::string TrimBlanks(std::string_view text);
