// Benchmark of a fresh signature render (layout, drawing and encoding) for several scripts: the
// now-playing images and the history signatures in PNG and SVG.
#include <benchmark/benchmark.h>

#include "render/render.h"

namespace {

CSignatureView View(const char* artist, const char* title, const char* language) {
  CSignatureView view;
  view.kind = CSignatureView::EKind::kPlaying;
  view.user = "listener";
  view.artist = artist;
  view.title = title;
  view.album = "Tides";
  view.year = "2001";
  view.genre = "Rock";
  view.language = language;
  return view;
}

void Render(benchmark::State& state, CSignatureView view) {
  CRenderer renderer;
  renderer.RenderPng(view);  // loads the fonts once, as the service does at start
  size_t bytes = 0;
  for (auto _ : state) {
    // A different track number each time, so that no layout cache can answer.
    view.title.back() = static_cast<char>('0' + state.iterations() % 10);
    bytes = renderer.RenderPng(view).size();
    benchmark::DoNotOptimize(bytes);
  }
  state.counters["png_bytes"] = static_cast<double>(bytes);
}

BENCHMARK_CAPTURE(Render, latin, View("Salt & Sand", "Wave (Live) 1", "en"))
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Render, cyrillic, View("Кино", "Группа крови 1", "ru"))
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Render, japanese, View("宇多田ヒカル", "First Love 1", "ja"))
    ->Unit(benchmark::kMillisecond);

CHistoryView History(CHistoryView::EKind kind, const char* artist, const char* title,
                     const char* language) {
  CHistoryView view;
  view.kind = kind;
  view.user = "listener";
  view.period = "last 7 days";
  view.language = language;
  const size_t rows = kind == CHistoryView::EKind::kRecent ? 10 : 5;
  for (size_t i = 0; i < rows; ++i) {
    const std::string n = std::to_string(i + 1);
    CHistoryView::CRow row{artist + (" " + n), title + (" " + n), "", i == 0};
    row.plays = static_cast<int64_t>(100 / (i + 1));
    row.note = kind == CHistoryView::EKind::kRecent ? FormatAge(static_cast<int64_t>(i) * 600)
                                                    : std::to_string(row.plays) + " plays";
    view.rows.push_back(row);
  }
  return view;
}

void RenderHistory(benchmark::State& state, CHistoryView view, EImageFormat format) {
  CRenderer renderer;
  renderer.RenderHistory(view, format);
  size_t bytes = 0;
  for (auto _ : state) {
    // Another count each time, as a fresh chart would have.
    view.rows.back().note = std::to_string(state.iterations() % 1000) + " plays";
    bytes = renderer.RenderHistory(view, format).size();
    benchmark::DoNotOptimize(bytes);
  }
  state.counters["bytes"] = static_cast<double>(bytes);
}

const CHistoryView kTopTracks =
    History(CHistoryView::EKind::kTopTracks, "Massive Attack", "Teardrop", "en");
const CHistoryView kRecentJapanese = History(CHistoryView::EKind::kRecent, "宇多田ヒカル",
                                             "誰かの願いが叶うころ（アルバム・バージョン）", "ja");

BENCHMARK_CAPTURE(RenderHistory, top_tracks_png, kTopTracks, EImageFormat::kPng)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(RenderHistory, top_tracks_svg, kTopTracks, EImageFormat::kSvg)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(RenderHistory, recent10_japanese_png, kRecentJapanese, EImageFormat::kPng)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(RenderHistory, recent10_japanese_svg, kRecentJapanese, EImageFormat::kSvg)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
