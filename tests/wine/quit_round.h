// One quit round for the Wine programs: load, a report left in flight, quit and FreeLibrary at
// once.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "capture_server.h"
#include "e2e_support.h"
#include "tests/player/host_player.h"
#include "tests/player/playlist.h"

namespace e2e {

struct CQuitRound {
  bool ran = false;                   // the player loaded, played, quit and saw the module go
  std::string error;                  // why not, when !ran
  std::vector<std::string> requests;  // what the server received, in order of completion
  double unload_ms = 0;               // from FreeLibrary until the module was gone; -1: never
  int ticks_after_free = 0;           // plug-in timer ticks dispatched after FreeLibrary
  int ticks_unmapped = 0;             // plug-in timer messages once the module was gone
};

// Loads the plug-in (settings already planted), plays one track "<artist> - <title>" for one
// play-state question, and lets the player quit and free the library at once. The server accepts
// and stays silent until both requests (the track report and quit's stopped report) are in, then
// `stall_ms` longer, so both workers are still waiting when FreeLibrary is called. Without
// `call_quit` only the track report is awaited; `watch_ms` is how long messages are still
// dispatched, and the plug-in's timer messages counted, once the module is gone (or, without quit,
// once the library is freed, since the module may then stay).
inline CQuitRound PlayQuitRound(const std::string& artist, const std::string& title, DWORD stall_ms,
                                bool call_quit = true, DWORD watch_ms = 0) {
  CQuitRound round;
  std::vector<CPlaylistEntry> playlist;
  if (!ParsePlaylist("play\t1t\tC:\\Music\\" + artist + " - " + title + ".mp3\tARTIST=" + artist +
                         "\tTITLE=" + title,
                     &playlist, &round.error)) {
    return round;
  }
  CServers servers(CCaptureServer::Mode::kSilent);
  if (!servers.Up()) {
    round.error = "the capture server did not start";
    return round;
  }
  CSilentStopper stopper{&servers, call_quit ? 2u : 1u, 20000, stall_ms};
  stopper.Start();

  CPlayerOptions options;
  options.dll_path = PluginPath();
  options.out = nullptr;
  options.max_run_ms = 20000;
  options.call_quit = call_quit;
  if (!call_quit) options.unload_wait_ms = watch_ms;
  options.after_unload_ms = watch_ms;
  CHostPlayer player(options, playlist);
  round.ran = player.Run(&round.error);
  stopper.Join();
  round.requests = servers.All();
  round.unload_ms = player.UnloadMilliseconds();
  round.ticks_after_free = player.TicksAfterFree();
  round.ticks_unmapped = player.TicksIntoUnmappedModule();
  return round;
}

}  // namespace e2e
