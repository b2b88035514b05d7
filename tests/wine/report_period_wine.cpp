// The release report period, measured on the release gen_Velk.dll itself (in VELK_RELEASE_BIN_DIR):
// the player times the ticks' play-state questions from load on. Takes about 30 s.
#include <windows.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "capture_server.h"
#include "e2e_support.h"
#include "tests/player/host_player.h"
#include "tests/player/playlist.h"
#include "wine_check.h"

namespace {

constexpr double kPeriodSeconds = 10.0;
constexpr double kToleranceSeconds = 0.5;

std::string GetRequestFor(const std::string& artist_and_title) {
  return "GET /signature/generate/?user=alice&key=12345&" + artist_and_title +
         " HTTP/1.1\r\nHost: localhost\r\nUser-Agent: Velk/1.3\r\n\r\n";
}

}  // namespace

int main() {
  CHECK(e2e::PlantSettings(
      {{"Enabled", "1"}, {"Method", "GET"}, {"User", "alice"}, {"Key", "12345"}}));
  std::vector<CPlaylistEntry> playlist;
  std::string error;
  CHECK(
      ParsePlaylist("play\t1t\tC:\\Music\\Period - One.mp3\tARTIST=Period\tTITLE=One\n"
                    "play\t1t\tC:\\Music\\Period - Two.mp3\tARTIST=Period\tTITLE=Two\n"
                    "stop\t1t\tC:\\Music\\Period - Two.mp3\tARTIST=Period\tTITLE=Two\n",
                    &playlist, &error));
  e2e::CServers servers(CCaptureServer::Mode::kAnswerOk);
  CHECK(servers.Up());

  CPlayerOptions options;
  options.dll_path = e2e::DirectoryFromEnvironment("VELK_RELEASE_BIN_DIR", "\\gen_Velk.dll");
  options.print_questions = false;
  options.max_run_ms = 60000;
  CHostPlayer player(options, playlist);
  if (!CHECK(player.Run(&error))) std::printf("%s\n", error.c_str());

  std::vector<double> ticks;
  for (const CHostQuestion& question : player.Questions()) {
    if (question.operation == kHostIsPlaying) ticks.push_back(question.seconds);
  }
  CHECK_EQ_INT(ticks.size(), 3u);
  double previous = 0;
  for (std::size_t i = 0; i < ticks.size(); ++i) {
    const double period = ticks[i] - previous;
    std::printf("tick %zu at %.3f s after load: %.3f s after the %s\n", i + 1, ticks[i], period,
                i == 0 ? "load" : "tick before");
    CHECK(std::fabs(period - kPeriodSeconds) <= kToleranceSeconds);
    previous = ticks[i];
  }

  servers.WaitFor(4, 5000);
  const std::vector<std::string> requests = servers.All();
  const std::string stopped = GetRequestFor("artist=stopped&title=stopped");
  CHECK_EQ_INT(requests.size(), 4u);
  if (requests.size() == 4) {
    CHECK_EQ_STR(requests[0], GetRequestFor("artist=Period&title=One&album=&year=&genre="));
    CHECK_EQ_STR(requests[1], GetRequestFor("artist=Period&title=Two&album=&year=&genre="));
    CHECK_EQ_STR(requests[2], stopped);
    CHECK_EQ_STR(requests[3], stopped);
  }
  return winecheck::Finish();
}
