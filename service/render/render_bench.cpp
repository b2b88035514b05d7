// Benchmark of a fresh signature render (layout, drawing and PNG encoding) for several scripts.
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

}  // namespace

BENCHMARK_MAIN();
