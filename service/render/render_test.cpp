// Tests of the signature images: PNG size and dimensions for every kind, scripts and long titles.
#include "render/render.h"

#include "render/code_page.h"

#include <cairo.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>

namespace {

uint32_t BigEndian32(const std::string& bytes, size_t at) {
  return static_cast<uint32_t>(static_cast<unsigned char>(bytes[at])) << 24 |
         static_cast<unsigned char>(bytes[at + 1]) << 16 |
         static_cast<unsigned char>(bytes[at + 2]) << 8 | static_cast<unsigned char>(bytes[at + 3]);
}

// Renders `view`, checks it is a 400x60 PNG under 30 KB, and keeps it in
// $VELK_RENDER_SAMPLES_DIR when that is set, for people to look at.
std::string RenderChecked(CRenderer& renderer, const CSignatureView& view, const char* name) {
  const std::string png = renderer.RenderPng(view);
  EXPECT_EQ(png.compare(0, 8, "\x89PNG\r\n\x1a\n"), 0) << name;
  EXPECT_EQ(BigEndian32(png, 16), 400u) << name;
  EXPECT_EQ(BigEndian32(png, 20), 60u) << name;
  EXPECT_LT(png.size(), 30u * 1024) << name;
  if (const char* dir = std::getenv("VELK_RENDER_SAMPLES_DIR")) {
    std::ofstream(std::string(dir) + "/" + name + ".png", std::ios::binary) << png;
  }
  return png;
}

CSignatureView Playing(std::string artist, std::string title, std::string language = "en") {
  CSignatureView view;
  view.kind = CSignatureView::EKind::kPlaying;
  view.user = "listener";
  view.artist = std::move(artist);
  view.title = std::move(title);
  view.album = "Tides";
  view.year = "2001";
  view.genre = "Rock";
  view.language = std::move(language);
  return view;
}

TEST(Render, EveryKindGivesASmallPngOfTheRightSize) {
  CRenderer renderer;
  using EKind = CSignatureView::EKind;
  const std::pair<EKind, const char*> kinds[] = {{EKind::kWaiting, "waiting"},
                                                 {EKind::kIdle, "idle"},
                                                 {EKind::kWrongKey, "wrong_key"},
                                                 {EKind::kNoAccount, "no_account"},
                                                 {EKind::kUnavailable, "unavailable"}};
  for (const auto& [kind, name] : kinds) {
    CSignatureView view;
    view.kind = kind;
    RenderChecked(renderer, view, name);
  }
  CSignatureView stopped = Playing("Salt & Sand", "Wave (Live)");
  stopped.kind = EKind::kStopped;
  stopped.age = FormatAge(7 * 60);
  RenderChecked(renderer, stopped, "stopped");
}

TEST(Render, ScriptsAndLongTitles) {
  CRenderer renderer;
  const std::string latin = RenderChecked(renderer, Playing("Salt & Sand", "Wave (Live)"), "latin");
  RenderChecked(renderer, Playing("Кино", "Группа крови"), "cyrillic");
  RenderChecked(renderer, Playing("Βασίλης Παπακωνσταντίνου", "Αχ Ελλάδα"), "greek");
  RenderChecked(renderer, Playing("宇多田ヒカル", "First Love", "ja"), "japanese");
  RenderChecked(renderer, Playing("王菲", "红豆", "zh-cn"), "chinese");
  RenderChecked(renderer, Playing("아이유", "좋은 날", "ko"), "korean");
  RenderChecked(renderer, Playing("فيروز", "زهرة المدائن", "ar"), "arabic");
  const std::string longTitle(255, 'W');
  RenderChecked(renderer, Playing("A Band With A Rather Long Name", longTitle), "long_title");
  CSignatureView longStopped = Playing("Long", "Title " + std::string(200, 'x'));
  longStopped.kind = CSignatureView::EKind::kStopped;
  longStopped.age = FormatAge(3 * 3600);
  RenderChecked(renderer, longStopped, "long_stopped");
  // Rendering the same view again gives the same bytes (the image cache relies on it).
  EXPECT_EQ(renderer.RenderPng(Playing("Salt & Sand", "Wave (Live)")), latin);
}

// Reads PNG bytes back with cairo's own decoder: the pixel at (x, y) as 0xRRGGBB.
uint32_t PixelOf(const std::string& png, int x, int y) {
  struct CReader {
    const std::string& bytes;
    size_t at = 0;
  } reader{png};
  cairo_surface_t* surface = cairo_image_surface_create_from_png_stream(
      [](void* closure, unsigned char* data, unsigned int length) {
        auto* r = static_cast<CReader*>(closure);
        if (r->bytes.size() - r->at < length) return CAIRO_STATUS_READ_ERROR;
        std::memcpy(data, r->bytes.data() + r->at, length);
        r->at += length;
        return CAIRO_STATUS_SUCCESS;
      },
      &reader);
  EXPECT_EQ(cairo_surface_status(surface), CAIRO_STATUS_SUCCESS);
  uint32_t pixel = 0;
  if (cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS) {
    const unsigned char* row =
        cairo_image_surface_get_data(surface) + y * cairo_image_surface_get_stride(surface);
    pixel = reinterpret_cast<const uint32_t*>(row)[x] & 0xFFFFFF;
  }
  cairo_surface_destroy(surface);
  return pixel;
}

TEST(Render, EncodedPixelsDecodeToTheDrawnColours) {
  CRenderer renderer;
  const std::string png = renderer.RenderPng(Playing("A", "T"));
  EXPECT_EQ(PixelOf(png, 1, 30), 0x4FC3F7u);    // the accent bar of a playing track
  EXPECT_EQ(PixelOf(png, 200, 2), 0x1E2330u);   // the background above the text
  EXPECT_EQ(PixelOf(png, 399, 59), 0x1E2330u);  // the last pixel
}

TEST(Render, AgeAndAlbumLineTexts) {
  EXPECT_EQ(FormatAge(0), "just now");
  EXPECT_EQ(FormatAge(59), "just now");
  EXPECT_EQ(FormatAge(60), "1 min ago");
  EXPECT_EQ(FormatAge(59 * 60 + 59), "59 min ago");
  EXPECT_EQ(FormatAge(3600), "1 h ago");
  EXPECT_EQ(FormatAge(47 * 3600), "47 h ago");
  EXPECT_EQ(FormatAge(50 * 3600), "2 days ago");
  // The text of an age holds from AgeTextSince(age) on: one step back gives another text.
  for (int64_t age : {0, 59, 60, 61, 3599, 3600, 7259, 47 * 3600 + 5, 48 * 3600, 500000}) {
    const int64_t since = AgeTextSince(age);
    EXPECT_LE(since, age);
    EXPECT_EQ(FormatAge(since), FormatAge(age)) << age;
    if (since > 0) {
      EXPECT_NE(FormatAge(since - 1), FormatAge(age)) << age;
    }
  }
  EXPECT_EQ(FormatAlbumLine("Tides", "2001", "Rock"), "Tides (2001) \u00b7 Rock");
  EXPECT_EQ(FormatAlbumLine("", "2001", "Rock"), "2001 \u00b7 Rock");
  EXPECT_EQ(FormatAlbumLine("Tides", "", ""), "Tides");
  EXPECT_EQ(FormatAlbumLine("", "", "Rock"), "Rock");
  EXPECT_EQ(FormatAlbumLine("", "", ""), "");
}

}  // namespace

namespace {

// The three templates in both themes, for three scripts, playing and last played: each at its
// size and under the limit; the samples land in $VELK_RENDER_SAMPLES_DIR when set.
TEST(RenderTemplates, EveryTemplateAndThemeAtItsSize) {
  CRenderer renderer;
  const std::pair<CSignatureView, const char*> tracks[] = {
      {Playing("Salt & Sand", "Wave (Live)"), "latin"},
      {Playing("Кино", "Группа крови"), "cyrillic"},
      {Playing("宇多田ヒカル", "First Love", "ja"), "japanese"}};
  for (const CTemplateInfo& info : SupportedTemplates()) {
    for (ETheme theme : {ETheme::kDark, ETheme::kLight}) {
      for (auto [view, script] : tracks) {
        view.style.layout = info.id;
        view.style.theme = theme;
        for (bool stopped : {false, true}) {
          view.kind = stopped ? CSignatureView::EKind::kStopped : CSignatureView::EKind::kPlaying;
          view.age = FormatAge(40 * 60);
          const std::string name = std::string(info.name) + "_" + ThemeName(theme) + "_" + script +
                                   (stopped ? "_stopped" : "");
          const std::string png = renderer.RenderPng(view);
          EXPECT_EQ(BigEndian32(png, 16), static_cast<uint32_t>(info.width)) << name;
          EXPECT_EQ(BigEndian32(png, 20), static_cast<uint32_t>(info.height)) << name;
          if (const char* dir = std::getenv("VELK_RENDER_SAMPLES_DIR")) {
            std::ofstream(std::string(dir) + "/" + name + ".png", std::ios::binary) << png;
          }
        }
      }
    }
  }
}

// Text that compresses worst (255 bytes of mixed scripts and digits in every tag) stays under
// the size limit in every template and theme.
TEST(RenderTemplates, DenseTextStaysUnderTheLimit) {
  CRenderer renderer;
  // Ideographs drawn at random (dense strokes, no repeats to compress), with Latin, Cyrillic
  // and digits between them.
  std::string dense;
  uint32_t seed = 12345;
  while (dense.size() < 250) {
    seed = seed * 1103515245 + 12345;
    const uint32_t pick = (seed >> 8) % 4;
    const char32_t cp = pick == 0   ? U'A' + (seed >> 16) % 26
                        : pick == 1 ? U'\u0410' + (seed >> 16) % 32
                                    : U'\u4E00' + (seed >> 12) % 0x5000;
    AppendUtf8(cp, dense);
  }
  size_t largest[3] = {0, 0, 0};
  for (const CTemplateInfo& info : SupportedTemplates()) {
    for (ETheme theme : {ETheme::kDark, ETheme::kLight}) {
      for (auto kind : {CSignatureView::EKind::kPlaying, CSignatureView::EKind::kStopped}) {
        CSignatureView view = Playing(dense, dense, "ja");
        view.album = view.genre = dense;
        view.kind = kind;
        view.age = "3 days ago";
        view.style.layout = info.id;
        view.style.theme = theme;
        view.style.accent = 0x123456;
        const std::string png = renderer.RenderPng(view);
        ASSERT_FALSE(png.empty());
        EXPECT_LT(png.size(), kMaxPngBytes) << info.name;
        size_t& most = largest[static_cast<int>(info.id)];
        most = std::max(most, png.size());
      }
    }
    std::printf("largest %s PNG: %zu bytes\n", info.name, largest[static_cast<int>(info.id)]);
  }
}

// The userbar's one line, with blanks around the title: the same image as without them, and
// a light theme with an own accent draws that accent and a frame.
TEST(RenderTemplates, BlanksAreTrimmedAndAccentAndFrameShow) {
  CRenderer renderer;
  CSignatureView view = Playing("Artist", "Title");
  view.style.layout = ETemplate::kUserbar;
  CSignatureView padded = Playing("  Artist\t", " \u3000Title  ");
  padded.style = view.style;
  EXPECT_EQ(renderer.RenderPng(view), renderer.RenderPng(padded));
  view.style.theme = ETheme::kLight;
  view.style.accent = 0xE91E63;
  const std::string png = renderer.RenderPng(view);
  EXPECT_EQ(PixelOf(png, 1, 10), 0xE91E63u);    // the accent bar
  EXPECT_EQ(PixelOf(png, 349, 10), 0xD3D8E0u);  // the frame
}

}  // namespace

namespace {

const CDrawnText* FindDrawn(const std::vector<CDrawnText>& drawn, const std::string& text) {
  for (const CDrawnText& part : drawn) {
    if (part.text == text) return &part;
  }
  return nullptr;
}

// Long tags as players send them, in every template, playing and last played: artist and title
// both show, each cut within at least a third of the line; a long album keeps year and genre, a
// long genre goes before the year; the banner shows at least what the card shows.
TEST(RenderTemplates, LongTextsKeepEveryPartInSight) {
  CRenderer renderer;
  const std::string artist = "Red Hot Chili Peppers featuring The Philharmonic Orchestra of Vienna";
  const std::string title = "Under the Bridge (Live at the Hollywood Bowl, Remastered Edition)";
  const std::string album = "The Complete Recordings of a Very Prolific Decade, Disc Four of Nine";
  for (auto kind : {CSignatureView::EKind::kPlaying, CSignatureView::EKind::kStopped}) {
    std::vector<CDrawnText> drawn[3];
    for (const CTemplateInfo& info : SupportedTemplates()) {
      CSignatureView view = Playing(artist, title);
      view.album = album;
      view.kind = kind;
      view.age = "12 min ago";
      view.style.layout = info.id;
      const std::string png = renderer.RenderPng(view, &drawn[static_cast<int>(info.id)]);
      const std::string name = std::string("long_") + info.name +
                               (kind == CSignatureView::EKind::kStopped ? "_stopped" : "");
      if (const char* dir = std::getenv("VELK_RENDER_SAMPLES_DIR")) {
        std::ofstream(std::string(dir) + "/" + name + ".png", std::ios::binary) << png;
      }
      const std::vector<CDrawnText>& parts = drawn[static_cast<int>(info.id)];
      for (const std::string& text : {artist, title}) {
        const CDrawnText* part = FindDrawn(parts, text);
        ASSERT_NE(part, nullptr) << name << ": " << text;
        EXPECT_TRUE(part->ellipsized) << name;
        EXPECT_GE(part->width, part->line / 3) << name << ": " << text;
      }
      if (info.id != ETemplate::kUserbar) {
        EXPECT_NE(FindDrawn(parts, " (2001) \u00b7 Rock"), nullptr) << name;
        ASSERT_NE(FindDrawn(parts, album), nullptr) << name;
        EXPECT_TRUE(FindDrawn(parts, album)->ellipsized) << name;
      }
    }
    const auto& card = drawn[static_cast<int>(ETemplate::kCard)];
    const auto& banner = drawn[static_cast<int>(ETemplate::kBanner)];
    for (const CDrawnText& inCard : card) {
      const CDrawnText* inBanner = FindDrawn(banner, inCard.text);
      ASSERT_NE(inBanner, nullptr) << inCard.text;
      EXPECT_EQ(inBanner->px, inCard.px) << inCard.text;
      EXPECT_TRUE(!inBanner->ellipsized || (inCard.ellipsized && inBanner->width >= inCard.width))
          << inCard.text;
    }
  }

  // A short artist stays whole beside a long title; a long genre gives way, the year stays.
  CSignatureView view = Playing("Daft Punk", title);
  view.genre = std::string(40, 'G') + " Electronic Dance Music of the Late Nineties";
  std::vector<CDrawnText> drawn;
  renderer.RenderPng(view, &drawn);
  ASSERT_NE(FindDrawn(drawn, "Daft Punk"), nullptr);
  EXPECT_FALSE(FindDrawn(drawn, "Daft Punk")->ellipsized);
  EXPECT_NE(FindDrawn(drawn, " (2001)"), nullptr);
  EXPECT_NE(FindDrawn(drawn, "Tides"), nullptr);
}

// Accents too faint for text on the theme's background are drawn in a readable shade of
// themselves; readable ones stay exactly as chosen.
TEST(RenderTemplates, FaintAccentsBecomeReadable) {
  EXPECT_NEAR(ContrastRatio(0xFFFFFF, 0x000000), 21.0, 1e-9);
  for (ETheme theme : {ETheme::kLight, ETheme::kDark}) {
    for (int32_t accent : {0xFFEB3B, 0x4FC3F7, 0x1E2330, 0x000000, 0xFFFFFF, 0x777777}) {
      const int32_t shown = ReadableAccent(accent, theme);
      EXPECT_GE(ContrastRatio(shown, ThemeBackground(theme)), kMinTextContrast) << accent;
      if (ContrastRatio(accent, ThemeBackground(theme)) >= kMinTextContrast) {
        EXPECT_EQ(shown, accent);
      }
    }
  }
  // Yellow on the light theme becomes a dark yellow, not the theme's ink.
  const int32_t yellow = ReadableAccent(0xFFEB3B, ETheme::kLight);
  EXPECT_GT((yellow >> 16) & 0xFF, yellow & 0xFF);
}

}  // namespace
