// Tests of the history signatures: every layout, theme and script in PNG and SVG, long texts, the
// size limits and what an SVG may contain. Writes each image to the build's artifacts folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>

#include "base/metrics.h"
#include "render/code_page.h"
#include "render/render.h"

namespace {

struct CScript {
  const char* name;
  const char* language;
  std::vector<std::pair<std::string, std::string>> tracks;  // ten, artist and title
};

const CScript kScripts[] = {
    {"latin",
     "en",
     {{"Salt & Sand", "Wave (Live)"},
      {"Daft Punk", "Digital Love"},
      {"Portishead", "Glory Box"},
      {"Massive Attack", "Teardrop"},
      {"Björk", "Jóga"},
      {"Air", "La femme d'argent"},
      {"Radiohead", "Everything In Its Right Place"},
      {"Boards of Canada", "Roygbiv"},
      {"Sigur Rós", "Hoppípolla"},
      {"Moby", "Porcelain"}}},
    {"cyrillic",
     "ru",
     {{"Кино", "Группа крови"},
      {"Земфира", "Искала"},
      {"Сплин", "Выхода нет"},
      {"ДДТ", "Что такое осень"},
      {"Аквариум", "Город золотой"},
      {"Наутилус Помпилиус", "Крылья"},
      {"Мумий Тролль", "Владивосток 2000"},
      {"Би-2", "Полковнику никто не пишет"},
      {"Агата Кристи", "Как на войне"},
      {"Ленинград", "Экспонат"}}},
    {"japanese",
     "ja",
     {{"宇多田ヒカル", "誰かの願いが叶うころ（アルバム・バージョン）リマスター"},
      {"米津玄師", "感電（ドラマ『MIU404』主題歌）スペシャルエディション"},
      {"YOASOBI", "夜に駆ける（小説『タナトスの誘惑』を原作とした楽曲）"},
      {"あいみょん", "マリーゴールド（弾き語りライブ・アット・日本武道館）"},
      {"椎名林檎と東京事変", "丸の内サディスティック（二〇〇八年再録音版）"},
      {"スピッツ", "ロビンソン（三十周年記念リマスター・エディション）"},
      {"中島みゆき", "時代（一九七五年ポプコン本選会ライブ録音）"},
      {"坂本龍一", "戦場のメリークリスマス（ピアノ独奏による最終公演）"},
      {"松任谷由実", "春よ、来い（ストリングス・アレンジ新録音版）"},
      {"サザンオールスターズ", "真夏の果実（映画『稲村ジェーン』挿入歌）"}}},
    {"long", "en",
     std::vector<std::pair<std::string, std::string>>(
         10, {"Red Hot Chili Peppers featuring The Philharmonic Orchestra of Vienna",
              "Under the Bridge (Live at the Hollywood Bowl, Remastered Edition) " +
                  std::string(120, 'W')})},
};

CHistoryView View(CHistoryView::EKind kind, const CScript& script, size_t rows, ETheme theme) {
  CHistoryView view;
  view.kind = kind;
  view.user = script.name == std::string("long") ? std::string(80, 'u') : "listener";
  view.period = "last 7 days";
  view.language = script.language;
  view.style.theme = theme;
  for (size_t i = 0; i < rows; ++i) {
    CHistoryView::CRow row{script.tracks[i].first, script.tracks[i].second, "", false};
    if (kind == CHistoryView::EKind::kRecent) {
      row.playing = i == 0;
      row.note = row.playing ? "now playing" : FormatAge(static_cast<int64_t>(i) * 1234);
    } else {
      row.plays = 60 / static_cast<int64_t>(i + 1);
      row.note = std::to_string(row.plays) + " plays";
      if (kind == CHistoryView::EKind::kTopArtists) row.title.clear();
    }
    view.rows.push_back(row);
  }
  return view;
}

const CDrawnText* Drawn(const std::vector<CDrawnText>& drawn, const std::string& text) {
  auto found = std::find_if(drawn.begin(), drawn.end(),
                            [&](const CDrawnText& part) { return part.text == text; });
  return found == drawn.end() ? nullptr : &*found;
}

// An SVG as an image proxy would serve it: outlines only, nothing that runs or fetches.
void ExpectSafeSvg(const std::string& svg, const std::string& name) {
  EXPECT_EQ(svg.rfind("<svg xmlns=\"http://www.w3.org/2000/svg\"", 0), 0u) << name;
  for (const char* banned : {"<text", "<script", "<style", "<foreignObject", "url(", "@import"}) {
    EXPECT_EQ(svg.find(banned), std::string::npos) << name << ": " << banned;
  }
  EXPECT_FALSE(std::regex_search(svg, std::regex(R"(\son\w+=)"))) << name;
  // References stay inside the document: glyphs by id, or the embedded picture.
  const std::regex reference(R"(href="([^"]{0,22}))");
  for (auto it = std::sregex_iterator(svg.begin(), svg.end(), reference);
       it != std::sregex_iterator(); ++it) {
    const std::string target = (*it)[1];
    EXPECT_TRUE(target[0] == '#' || target == "data:image/png;base64,") << name << ": " << target;
  }
}

// Every layout in both themes and four scripts, PNG and SVG: the right size under the limits,
// every text of every row drawn (cut with "…" within its place when too long) with a font for
// every character, and the same image again for the same view. The images are kept in the
// artifacts folder.
TEST(HistoryRender, EveryLayoutThemeAndScript) {
  CRenderer renderer;
  const std::filesystem::path folder = std::filesystem::path(VELK_ARTIFACTS_DIR) / "history";
  std::filesystem::create_directories(folder);
  CCounter& missing = Metrics().Counter("velk_render_missing_glyphs_total", "").Get();
  const uint64_t missingBefore = missing.Value();
  using EKind = CHistoryView::EKind;
  const std::pair<EKind, size_t> layouts[] = {{EKind::kRecent, 1},    {EKind::kRecent, 5},
                                              {EKind::kRecent, 10},   {EKind::kTopArtists, 5},
                                              {EKind::kTopTracks, 5}, {EKind::kTopTracks, 0}};
  size_t largestSvg = 0;
  for (const CScript& script : kScripts) {
    for (ETheme theme : {ETheme::kDark, ETheme::kLight}) {
      for (const auto& [kind, rows] : layouts) {
        const CHistoryView view = View(kind, script, rows, theme);
        const std::string name =
            std::string(kind == EKind::kRecent       ? "recent" + std::to_string(rows)
                        : kind == EKind::kTopArtists ? "top_artists"
                                                     : (rows ? "top_tracks" : "top_tracks_empty")) +
            "_" + ThemeName(theme) + "_" + script.name;
        std::vector<CDrawnText> drawn;
        const std::string png = renderer.RenderHistory(view, EImageFormat::kPng, &drawn);
        const std::string svg = renderer.RenderHistory(view, EImageFormat::kSvg);
        std::ofstream(folder / (name + ".png"), std::ios::binary) << png;
        std::ofstream(folder / (name + ".svg"), std::ios::binary) << svg;
        ASSERT_EQ(png.compare(0, 8, "\x89PNG\r\n\x1a\n"), 0) << name;
        EXPECT_EQ(png.substr(16, 8), std::string("\0\0\x01\xf4\0\0\0\x96", 8)) << name;
        EXPECT_LT(png.size(), kMaxPngBytes) << name;
        EXPECT_LT(svg.size(), kMaxSvgBytes) << name;
        EXPECT_NE(svg.find("<path id="), std::string::npos) << name << ": not outlines";
        ExpectSafeSvg(svg, name);
        largestSvg = std::max(largestSvg, svg.size());
        EXPECT_EQ(renderer.RenderHistory(view, EImageFormat::kSvg), svg) << name;

        for (const CDrawnText& part : drawn) {
          EXPECT_LE(part.width, part.line + 1) << name << ": " << part.text;
          EXPECT_LE(part.line, kHistoryWidth) << name << ": " << part.text;
        }
        for (const CHistoryView::CRow& row : view.rows) {
          for (const std::string* text : {&row.artist, &row.title, &row.note}) {
            if (text->empty()) continue;
            const CDrawnText* part = Drawn(drawn, *text);
            ASSERT_NE(part, nullptr) << name << ": " << *text;
            if (script.name == std::string("long") && text != &row.note) {
              EXPECT_TRUE(part->ellipsized) << name << ": " << *text;
              // Artist and title share the place: neither is cut to nothing.
              EXPECT_GE(part->width, part->line / 3) << name << ": " << *text;
            }
          }
        }
        if (rows == 0) {
          EXPECT_NE(Drawn(drawn, "Nothing played in the last 7 days"), nullptr) << name;
        }
      }
    }
  }
  EXPECT_EQ(missing.Value(), missingBefore) << "characters without a font";
  std::printf("largest history SVG: %zu bytes\n", largestSvg);
}

// Ten rows of ideographs at random (no glyph repeats, dense strokes): both formats stay under
// their limits, the SVG by showing the picture when the outlines would not fit.
TEST(HistoryRender, DenseTextStaysUnderTheLimits) {
  CRenderer renderer;
  CScript dense{"dense", "ja", {}};
  uint32_t seed = 12345;
  for (int row = 0; row < 10; ++row) {
    std::string artist, title;
    for (int i = 0; i < 60; ++i) {
      seed = seed * 1103515245 + 12345;
      AppendUtf8(U'\u4E00' + (seed >> 12) % 0x5000, i < 12 ? artist : title);
    }
    dense.tracks.emplace_back(artist, title);
  }
  for (ETheme theme : {ETheme::kDark, ETheme::kLight}) {
    const CHistoryView view = View(CHistoryView::EKind::kRecent, dense, 10, theme);
    const std::string png = renderer.RenderHistory(view, EImageFormat::kPng);
    const std::string svg = renderer.RenderHistory(view, EImageFormat::kSvg);
    EXPECT_LT(png.size(), kMaxPngBytes);
    ASSERT_FALSE(svg.empty());
    EXPECT_LT(svg.size(), kMaxSvgBytes);
    ExpectSafeSvg(svg, "dense");
    std::printf("dense ideographs, %s: PNG %zu bytes, SVG %zu bytes\n", ThemeName(theme),
                png.size(), svg.size());
  }
}

}  // namespace
