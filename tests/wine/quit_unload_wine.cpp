// Quit followed at once by FreeLibrary while a report still waits on a slow server, 50 times over:
// the process survives, the module goes away once its workers end, and every stopped report
// arrives.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "quit_round.h"
#include "wine_check.h"

namespace {

constexpr int kRounds = 50;
// The server holds both connections this long after the second request has arrived, then drops
// them: the workers are still waiting on it when the player frees the library.
constexpr DWORD kSlowServerMs = 100;
constexpr char kStoppedRequest[] =
    "GET /signature/generate/?user=alice&key=12345&artist=stopped&title=stopped HTTP/1.1\r\n"
    "Host: localhost\r\n"
    "User-Agent: Velk/1.3\r\n"
    "\r\n";

// One load, one track report left in flight, quit, FreeLibrary at once. Returns false when the
// round failed (its checks have printed why).
bool PlayRound(int round, double* slowest_unload_ms) {
  const int failed_before = winecheck::Counts().failed;
  const e2e::CQuitRound played =
      e2e::PlayQuitRound("Quit", "Round " + std::to_string(round), kSlowServerMs);
  if (!CHECK(played.ran)) std::printf("round %d: %s\n", round, played.error.c_str());

  const std::vector<std::string>& requests = played.requests;
  CHECK_EQ_INT(requests.size(), 2u);
  if (requests.size() == 2) {
    // Both workers run at once, so either request may complete first.
    const bool stopped_last = requests[1] == kStoppedRequest;
    const std::string& track = requests[stopped_last ? 0 : 1];
    CHECK_EQ_STR(requests[stopped_last ? 1 : 0], kStoppedRequest);
    CHECK(track.find("&title=Round%20" + std::to_string(round) + "&") != std::string::npos);
  }
  if (played.unload_ms > *slowest_unload_ms) *slowest_unload_ms = played.unload_ms;
  return winecheck::Counts().failed == failed_before;
}

}  // namespace

int main() {
  CHECK(e2e::PlantSettings(
      {{"Enabled", "1"}, {"Method", "GET"}, {"User", "alice"}, {"Key", "12345"}}));
  double slowest_unload_ms = 0;
  int good = 0;
  for (int round = 1; round <= kRounds; ++round) {
    if (PlayRound(round, &slowest_unload_ms)) ++good;
  }
  std::printf(
      "%d of %d rounds: no crash, module unloaded, stopped report received; "
      "longest wait from FreeLibrary to unload %.0f ms\n",
      good, kRounds, slowest_unload_ms);
  return winecheck::Finish();
}
