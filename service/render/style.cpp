// The looks a signature can take: templates, themes, accent colours, and trimming of shown text.
#include "render/style.h"

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
