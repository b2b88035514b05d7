// The report timer never outlives the module: a host frees the library without quit while a report
// is in flight, loads it again, then quits and frees it. No timer message of the plug-in may arrive
// once its module is gone, and the module freed without quit goes on ticking safely.
#include <windows.h>

#include <cstdio>

#include "quit_round.h"
#include "wine_check.h"

int main() {
  CHECK(e2e::PlantSettings(
      {{"Enabled", "1"}, {"Method", "GET"}, {"User", "alice"}, {"Key", "12345"}}));
  // The server holds the track report 100 ms, so its worker still holds the module at
  // FreeLibrary; then 3 s of messages, many periods of the test build, are watched.
  const e2e::CQuitRound kept = e2e::PlayQuitRound("Kept", "Loaded", 100, false, 3000);
  if (!CHECK(kept.ran)) std::printf("%s\n", kept.error.c_str());
  CHECK_EQ_INT(kept.requests.size(), 1u);
  CHECK_EQ_INT(kept.ticks_unmapped, 0);
  CHECK(GetModuleHandleA("gen_Velk.dll") != nullptr);
  CHECK(kept.ticks_after_free >= 3);

  const e2e::CQuitRound again = e2e::PlayQuitRound("Loaded", "Again", 100, true, 3000);
  if (!CHECK(again.ran)) std::printf("%s\n", again.error.c_str());
  CHECK_EQ_INT(again.requests.size(), 2u);
  CHECK(GetModuleHandleA("gen_Velk.dll") == nullptr);
  CHECK_EQ_INT(again.ticks_unmapped, 0);
  std::printf(
      "freed without quit: %d ticks into the loaded module, %d into an unloaded one; "
      "loaded again and quit: unloaded after %.0f ms, %d ticks after that\n",
      kept.ticks_after_free, kept.ticks_unmapped, again.unload_ms, again.ticks_unmapped);
  return winecheck::Finish();
}
