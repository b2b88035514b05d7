// The simulated player: hosts one general-purpose plug-in DLL and plays a playlist to it.
//
// It does what the player does with such a plug-in: loads the DLL, asks it for its descriptor
// through winampGetGeneralPurposePlugin, writes its own window handle and the module handle into
// the descriptor, calls init, answers the plug-in's WM_USER questions from the playlist, calls
// config where the playlist says so, and at the playlist's end calls quit, frees the library and
// waits until the module is really gone (a plug-in's worker threads may keep it loaded a while).
// Everything it does and is asked is printed, and recorded for programs that embed it.
//
// The host's side of the interface is declared here on its own, independently of any plug-in's
// headers, so that a layout mistake on either side shows up when the two meet.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "tests/player/playlist.h"

// The player's window-message interface: message WM_USER, operation number in lParam.
constexpr std::intptr_t kHostIsPlaying = 104;
constexpr std::intptr_t kHostGetListPos = 125;
constexpr std::intptr_t kHostGetPlaylistFile = 211;
constexpr std::intptr_t kHostGetExtendedFileInfo = 290;

// The record a plug-in passes (by address, in wParam) with kHostGetExtendedFileInfo.
struct HostExtendedFileInfo {
  const char* filename;  // the file whose tag is wanted; may be null
  const char* metadata;  // the tag's name, e.g. "ARTIST"
  char* ret;             // where the value goes, zero-terminated
  std::int32_t retlen;   // size of `ret` in bytes, terminator included
};

// What winampGetGeneralPurposePlugin returns. Seven 32-bit fields on 32-bit Windows.
struct HostPluginDescriptor {
  std::int32_t version;
  const char* description;
  int (*init)();
  void (*config)();
  void (*quit)();
  HWND hwndParent;
  HINSTANCE hDllInstance;
};
static_assert(sizeof(void*) != 4 || sizeof(HostPluginDescriptor) == 28,
              "the descriptor is seven 32-bit fields");
static_assert(sizeof(void*) != 4 || sizeof(HostExtendedFileInfo) == 16,
              "the tag question's record is four 32-bit fields");

constexpr std::int32_t kHostDescriptorVersion = 0x10;

struct CPlayerOptions {
  std::string dll_path;             // Windows path of the plug-in DLL
  std::FILE* out = stdout;          // where events (and questions) are printed; nullptr: nowhere
  bool print_questions = true;      // print each question and its answer, not only the events
  unsigned unload_delay_ms = 0;     // messages keep being dispatched this long between quit and
                                    // FreeLibrary; 0 frees the library at once
  unsigned unload_wait_ms = 30000;  // how long the module may stay loaded after FreeLibrary
  bool call_quit = true;            // false: FreeLibrary without quit, as a careless host does;
                                    // the module may then stay loaded, which is no failure
  unsigned after_unload_ms = 0;     // messages keep being dispatched this long once the module
                                    // is gone, to see whether its timer still ticks
  unsigned max_run_ms = 0;          // 0: no limit; otherwise the playlist is abandoned (an open
                                    // dialog cancelled, quit called) this long after load, and
                                    // Run reports a failure
  // Called on the player's thread when the playlist reaches "@mark NAME", with NAME. The playlist
  // goes on when it returns; plug-in timer ticks do not run meanwhile.
  std::function<void(const std::string&)> on_mark;
};

// One question the plug-in asked, as recorded.
struct CHostQuestion {
  double seconds = 0;           // since the DLL was loaded
  std::intptr_t operation = 0;  // lParam
  std::string text;             // printable form, e.g. "IPC_ISPLAYING -> 1"
};

class CHostPlayer {
 public:
  CHostPlayer(CPlayerOptions options, std::vector<CPlaylistEntry> playlist);
  ~CHostPlayer();
  CHostPlayer(const CHostPlayer&) = delete;
  CHostPlayer& operator=(const CHostPlayer&) = delete;

  // Plays the whole playlist on the calling thread, which runs the message loop and therefore the
  // plug-in's timer, and returns once the module is unloaded. Returns false with `*error` set when
  // the DLL does not load or is not a general-purpose plug-in, when the playlist did not end
  // within max_run_ms, or when the module stayed loaded longer than unload_wait_ms after
  // FreeLibrary. Call once per object.
  bool Run(std::string* error);

  const std::vector<CHostQuestion>& Questions() const { return questions_; }
  int ConfigCalls() const { return config_calls_; }
  // Milliseconds from FreeLibrary until the module was gone; -1 if it never went.
  double UnloadMilliseconds() const { return unload_ms_; }
  // The plug-in's timer messages after FreeLibrary: dispatched while the module was mapped, and
  // dropped (each would call into unmapped memory) once it was gone.
  int TicksAfterFree() const { return ticks_after_free_; }
  int TicksIntoUnmappedModule() const { return ticks_unmapped_; }
  // The longest time between two turns of the player's own 10 ms timer, from load until the
  // playlist ended, config calls left out: how long the plug-in ever held the player's thread.
  double LongestStallMilliseconds() const { return longest_stall_ms_; }
  // The description text the descriptor carried.
  const std::string& Description() const { return description_; }

  // Renders text for the log: control bytes, bytes from 0x80 on and the quote as \xHH.
  static std::string Printable(const char* text);

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  // Asks a dialog window (class "#32770") of the player's thread to close as Cancel would.
  static BOOL CALLBACK CancelDialog(HWND window, LPARAM unused);
  bool CreateHostWindow(std::string* error);
  bool LoadPlugin(std::string* error);
  void RunLoop();
  bool Unload(std::string* error);
  bool PluginStillLoaded() const;
  // Waits up to `ms` for messages and dispatches them, sorting out the plug-in's timer messages.
  void PumpAfterFree(DWORD ms);

  LRESULT Answer(WPARAM wparam, LPARAM lparam);
  std::intptr_t AnswerTag(const HostExtendedFileInfo* request, std::string* text);
  const CPlaylistEntry* TrackAt(std::intptr_t index) const;
  const CPlaylistEntry* EntryAtPosition(std::uintptr_t position) const;
  void Poll();
  void Advance();
  void EnterCurrent();
  void CallConfig();
  void Finish();
  double Seconds() const;
  void Print(const char* format, ...) __attribute__((format(printf, 2, 3)));

  CPlayerOptions options_;
  std::vector<CPlaylistEntry> entries_;
  std::vector<std::size_t> tracks_;  // indexes into entries_ of the track lines, in order
  // Playlist position of each track line: lines with the same path (or both without one) are one
  // playlist entry, numbered from 0 in order of first appearance.
  std::vector<std::size_t> track_positions_;
  std::vector<std::size_t>
      position_first_track_;  // index into tracks_ of each position's first line

  HWND window_ = nullptr;
  HMODULE module_ = nullptr;
  HostPluginDescriptor* descriptor_ = nullptr;
  std::string description_;
  LARGE_INTEGER frequency_{};
  LARGE_INTEGER loaded_at_{};

  std::size_t current_ = 0;           // entry in force; entries_.size() once the playlist ended
  std::intptr_t current_track_ = -1;  // index in tracks_ of the track answered for; -1: none
  std::uint64_t line_questions_ = 0;  // play-state questions while entries_[current_] was in force
  double line_started_ = 0;
  double last_poll_ = 0;
  double longest_stall_ms_ = 0;
  bool waiting_config_ = false;
  bool finished_ = false;
  bool timed_out_ = false;
  int config_calls_ = 0;
  double unload_ms_ = -1;
  int ticks_after_free_ = 0;
  int ticks_unmapped_ = 0;
  std::vector<CHostQuestion> questions_;
};
