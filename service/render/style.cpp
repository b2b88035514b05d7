// The looks a signature can take: templates, themes, accent colours, and trimming of shown text.
#include "render/style.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

std::string CSignatureStyle::Fingerprint() const {
  char text[48];
  std::snprintf(text, sizeof text, "%d%d%d%d%d%d", static_cast<int>(layout),
                static_cast<int>(theme), static_cast<int>(accent), showAlbum, showYear, showGenre);
  return text;
}

const std::vector<CTemplateInfo>& SupportedTemplates() {
  static const std::vector<CTemplateInfo> kTemplates = {
      {ETemplate::kCard, "card", "Card, 400\u00d760", 400, 60},
      {ETemplate::kBanner, "banner", "Banner, 468\u00d760", 468, 60},
      {ETemplate::kUserbar, "userbar", "Userbar, 350\u00d719", 350, 19},
  };
  return kTemplates;
}

const CTemplateInfo& TemplateInfo(ETemplate layout) {
  for (const CTemplateInfo& info : SupportedTemplates()) {
    if (info.id == layout) return info;
  }
  return SupportedTemplates().front();
}

bool ParseTemplate(std::string_view name, ETemplate* layout) {
  for (const CTemplateInfo& info : SupportedTemplates()) {
    if (name == info.name) {
      *layout = info.id;
      return true;
    }
  }
  return false;
}

bool ParseTheme(std::string_view name, ETheme* theme) {
  if (name == "dark") {
    *theme = ETheme::kDark;
  } else if (name == "light") {
    *theme = ETheme::kLight;
  } else {
    return false;
  }
  return true;
}

const char* ThemeName(ETheme theme) { return theme == ETheme::kLight ? "light" : "dark"; }

bool ParseAccent(std::string_view text, int32_t* accent) {
  if (text.size() != 7 || text[0] != '#') return false;
  int32_t value = 0;
  for (char c : text.substr(1)) {
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return false;
    }
    value = value * 16 + digit;
  }
  *accent = value;
  return true;
}

std::string FormatAccent(int32_t accent) {
  char text[8];
  std::snprintf(text, sizeof text, "#%06x", static_cast<unsigned>(accent) & 0xFFFFFFu);
  return text;
}

int32_t DefaultAccent(ETheme theme) { return theme == ETheme::kLight ? 0x0A7BBF : 0x4FC3F7; }

int32_t ThemeBackground(ETheme theme) { return theme == ETheme::kLight ? 0xF7F8FA : 0x1E2330; }

namespace {

// The relative luminance of an sRGB colour, 0 (black) to 1 (white).
double Luminance(int32_t rgb) {
  auto linear = [](int channel) {
    const double c = channel / 255.0;
    return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
  };
  return 0.2126 * linear((rgb >> 16) & 0xFF) + 0.7152 * linear((rgb >> 8) & 0xFF) +
         0.0722 * linear(rgb & 0xFF);
}

// `a` moved the fraction `t` of the way to `b`, per channel, rounded.
int32_t MixRgb(int32_t a, int32_t b, double t) {
  int32_t mixed = 0;
  for (int shift : {16, 8, 0}) {
    const int from = (a >> shift) & 0xFF;
    const int to = (b >> shift) & 0xFF;
    mixed |= static_cast<int32_t>(std::lround(from + (to - from) * t)) << shift;
  }
  return mixed;
}

}  // namespace

double ContrastRatio(int32_t a, int32_t b) {
  const double la = Luminance(a);
  const double lb = Luminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

int32_t ReadableOn(int32_t color, int32_t background, int32_t ink) {
  // 64 steps: fine enough that the shade stays close to the colour chosen.
  constexpr int kSteps = 64;
  for (int step = 0; step < kSteps; ++step) {
    const int32_t shade = MixRgb(color, ink, double(step) / kSteps);
    if (ContrastRatio(shade, background) >= kMinTextContrast) return shade;
  }
  return ink;
}

int32_t ReadableAccent(int32_t accent, ETheme theme) {
  const int32_t ink = theme == ETheme::kLight ? 0x1B2230 : 0xF5F7FC;
  return ReadableOn(accent, ThemeBackground(theme), ink);
}

namespace {

// The length of the blank that `text` starts with (0: none), and of the one it ends with.
size_t LeadingBlank(std::string_view text) {
  if (text.empty()) return 0;
  const unsigned char c = static_cast<unsigned char>(text[0]);
  if (c == ' ' || (c >= '\t' && c <= '\r')) return 1;
  if (text.substr(0, 2) == "\u00a0") return 2;
  if (text.substr(0, 3) == "\u3000") return 3;
  return 0;
}

size_t TrailingBlank(std::string_view text) {
  if (text.empty()) return 0;
  const unsigned char c = static_cast<unsigned char>(text.back());
  if (c == ' ' || (c >= '\t' && c <= '\r')) return 1;
  if (text.size() >= 2 && text.substr(text.size() - 2) == "\u00a0") return 2;
  if (text.size() >= 3 && text.substr(text.size() - 3) == "\u3000") return 3;
  return 0;
}

}  // namespace

std::string TrimBlanks(std::string_view text) {
  while (size_t n = LeadingBlank(text)) text.remove_prefix(n);
  while (size_t n = TrailingBlank(text)) text.remove_suffix(n);
  return std::string(text);
}
