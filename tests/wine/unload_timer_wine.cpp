// The report timer never outlives the module: a host frees the library without quit while a report
// is in flight, loads it again, then quits and frees it. No timer message of the plug-in may arrive
// once its module is gone, and the module freed without quit goes on reporting.
#include <windows.h>

#include <cstdio>

#include "quit_round.h"
#include "wine_check.h"

namespace {

// The server holds the track report this long once it has arrived, so the worker still runs (and
// holds the module) when the host frees the library.
constexpr DWORD kStallMs = 100;
// Long enough for many report periods of the test build after the worker has ended.
constexpr DWORD kWatchMs = 3000;

void FreedWithoutQuitStaysLoadedAndTicksSafely() {
  e2e::CQuitWay way;
  way.call_quit = false;
  way.unload_wait_ms = kWatchMs;
  way.after_unload_ms = kWatchMs;
  const e2e::CQuitRound round = e2e::PlayQuitRound("Kept", "Loaded", kStallMs, way);
  if (!CHECK(round.ran)) std::printf("%s\n", round.error.c_str());
  CHECK_EQ_INT(round.requests.size(), 1u);
  CHECK_EQ_INT(round.ticks_unmapped, 0);
  CHECK(GetModuleHandleA("gen_Velk.dll") != nullptr);
  CHECK(round.ticks_after_free >= 3);
  std::printf("freed without quit: %d ticks into the loaded module, %d into an unloaded one\n",
              round.ticks_after_free, round.ticks_unmapped);
}

void LoadedAgainThenQuitGoesAndNothingTicks() {
  e2e::CQuitWay way;
  way.after_unload_ms = kWatchMs;
  const e2e::CQuitRound round = e2e::PlayQuitRound("Loaded", "Again", kStallMs, way);
  if (!CHECK(round.ran)) std::printf("%s\n", round.error.c_str());
  CHECK_EQ_INT(round.requests.size(), 2u);
  CHECK(round.unload_ms >= 0);
  CHECK(GetModuleHandleA("gen_Velk.dll") == nullptr);
  CHECK_EQ_INT(round.ticks_unmapped, 0);
  std::printf("loaded again, quit: unloaded %.0f ms after FreeLibrary, %d ticks after it\n",
              round.unload_ms, round.ticks_unmapped);
}

}  // namespace

int main() {
  CHECK(e2e::PlantSettings(
      {{"Enabled", "1"}, {"Method", "GET"}, {"User", "alice"}, {"Key", "12345"}}));
  FreedWithoutQuitStaysLoadedAndTicksSafely();
  LoadedAgainThenQuitGoesAndNothingTicks();
  return winecheck::Finish();
}
