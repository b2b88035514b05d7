// Unload loop: load the real DLL, report to a server that stalls, quit, FreeLibrary at once, many
// times over. No round may crash the process, and the module must stay loaded while its workers
// wait on the stalled server and go once they end; the process's figures are printed as they grow.
// VELK_UNLOAD_LOOPS sets the number of rounds (default 20 for CI; scripts/unload runs 1,000).
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "process_figures.h"
#include "quit_round.h"
#include "wine_check.h"

namespace {

// How long the server stalls, holding both connections unanswered, once both requests are in.
constexpr DWORD kStallMs = 100;
// What Wine itself keeps of a load and an exchange after FreeLibrary (its loader and WinINet
// caches), and slack for the process heap's own growth.
constexpr unsigned long long kWineBytesPerLoad = 16 * 1024;
constexpr unsigned long long kSlackBytes = 1024 * 1024;

// One round; returns false when a check failed (it printed why).
bool PlayRound(int round, double* longest_unload_ms) {
  const int failed_before = winecheck::Counts().failed;
  const e2e::CQuitRound played =
      e2e::PlayQuitRound("Unload", "Loop " + std::to_string(round), kStallMs);
  if (!CHECK(played.ran)) std::printf("round %d: %s\n", round, played.error.c_str());

  // The track report and quit's stopped report both reached the stalled server; the module
  // outlived FreeLibrary until the stall ended and its workers with it.
  CHECK_EQ_INT(played.requests.size(), 2u);
  CHECK(played.unload_ms >= kStallMs / 2);
  CHECK(GetModuleHandleA("gen_Velk.dll") == nullptr);
  if (played.unload_ms > *longest_unload_ms) *longest_unload_ms = played.unload_ms;
  return winecheck::Counts().failed == failed_before;
}

}  // namespace

int main() {
  const int loops = figures::CountFromEnvironment("VELK_UNLOAD_LOOPS", 20);
  CHECK(e2e::PlantSettings(
      {{"Enabled", "1"}, {"Method", "GET"}, {"User", "alice"}, {"Key", "12345"}}));
  double longest_unload_ms = 0;
  int good = 0;
  figures::CProcessFigures after_first;
  const ULONGLONG began = GetTickCount64();
  for (int round = 1; round <= loops; ++round) {
    if (PlayRound(round, &longest_unload_ms)) ++good;
    if (round == 1) after_first = figures::Sample();
    // A growth curve at 1, 2, 5, 10, 20, 50, ... rounds tells a leak from a cache filling up.
    for (int step = 1; step <= round; step *= 10) {
      if (round == step || round == 2 * step || round == 5 * step) {
        figures::Print(("after round " + std::to_string(round)).c_str(), figures::Sample());
      }
    }
  }
  const figures::CProcessFigures end = figures::Sample();
  std::printf(
      "%d of %d rounds good, 0 crashes (the process is still here), %.1f s in all; "
      "longest wait from FreeLibrary to unload %.0f ms\n",
      good, loops, (GetTickCount64() - began) / 1000.0, longest_unload_ms);
  figures::Print("after round 1", after_first);
  figures::Print("at the end", end);
  // The DLL gives back what the static C++ runtime took for it (no thread-safe static guards, and
  // its exception pool freed at unload), so a load leaves no handle behind.
  const int rounds_after_first = loops - 1;
  CHECK(figures::FlatHandles(after_first.handles, end.handles));
  CHECK(end.private_bytes <=
        after_first.private_bytes + kWineBytesPerLoad * rounds_after_first + kSlackBytes);
  return winecheck::Finish();
}
