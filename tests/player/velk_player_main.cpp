// velk_player: the simulated player as a command-line tool (usage in tests/player/README.md).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/player/host_player.h"
#include "tests/player/playlist.h"

namespace {

void Usage() {
  std::fprintf(stderr,
               "usage: velk_player [--config] [--quiet] [--unload-delay MS] [--timeout SECONDS]\n"
               "                   PLAYLIST PLUGIN.dll\n"
               "Loads the general-purpose plug-in PLUGIN.dll, plays PLAYLIST to it, answering\n"
               "its questions, then calls quit and unloads it.\n"
               "  --config           call the plug-in's config entry once, before the playlist\n"
               "  --quiet            print only events, not every question\n"
               "  --unload-delay MS  keep dispatching messages MS ms between quit and FreeLibrary\n"
               "  --timeout SECONDS  give up on the playlist after SECONDS (it still quits)\n");
}

// Accepts a decimal number from 0 to `largest`.
bool ParseNumber(const char* text, unsigned long largest, unsigned* value) {
  char* end = nullptr;
  const unsigned long parsed = std::strtoul(text, &end, 10);
  if (end == text || *end != '\0' || *text == '-' || parsed > largest) return false;
  *value = static_cast<unsigned>(parsed);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  CPlayerOptions options;
  bool config_first = false;
  unsigned timeout_s = 0;
  int arg = 1;
  for (; arg < argc && std::strncmp(argv[arg], "--", 2) == 0; ++arg) {
    const std::string flag = argv[arg];
    const bool has_value = arg + 1 < argc;
    if (flag == "--config") {
      config_first = true;
    } else if (flag == "--quiet") {
      options.print_questions = false;
    } else if (flag == "--unload-delay" && has_value &&
               ParseNumber(argv[arg + 1], 3600000, &options.unload_delay_ms)) {
      ++arg;
    } else if (flag == "--timeout" && has_value && ParseNumber(argv[arg + 1], 86400, &timeout_s)) {
      options.max_run_ms = timeout_s * 1000u;
      ++arg;
    } else {
      Usage();
      return 2;
    }
  }
  if (argc - arg != 2) {
    Usage();
    return 2;
  }
  std::string text;
  if (!ReadWholeFile(argv[arg], &text)) {
    std::fprintf(stderr, "velk_player: cannot read %s\n", argv[arg]);
    return 2;
  }
  std::vector<CPlaylistEntry> playlist;
  std::string error;
  if (!ParsePlaylist(text, &playlist, &error)) {
    std::fprintf(stderr, "velk_player: %s: %s\n", argv[arg], error.c_str());
    return 2;
  }
  if (config_first) {
    CPlaylistEntry config;
    config.kind = CPlaylistEntry::Kind::kConfig;
    playlist.insert(playlist.begin(), config);
  }
  options.dll_path = argv[arg + 1];
  CHostPlayer player(options, std::move(playlist));
  if (!player.Run(&error)) {
    std::fprintf(stderr, "velk_player: %s\n", error.c_str());
    return 1;
  }
  return 0;
}
