// The simulated player's playlist: its text format, parsed into track lines and directives.
//
// One line a track, fields separated by tabs (a run of tabs counts as one separator):
//   STATE  TIME  PATH  [NAME=VALUE ...]
// STATE is what the player answers when asked whether it plays: "play" (1), "pause" (3),
// "stop" (0) or any decimal integer. TIME is how long the line stays current: "<n>t" for n
// play-state questions, "<x>s" for x seconds, "<n>ms" for n milliseconds. PATH is the file path
// as bytes, "<null>" for no path at all and "<empty>" for the empty text. Each NAME=VALUE is one
// tag the player knows for that file; a tag not listed has no value, "NAME=" has the empty value.
// Lines with the same PATH (or both "<null>") are one playlist entry and share its position.
// Lines starting with "#" and blank lines are ignored; a trailing carriage return is dropped.
// Directives start with "@": "@config" calls the plug-in's config entry, "@mark NAME" tells the
// embedding program that the playlist reached NAME, "@codepage N" reads the following lines as
// UTF-8 and hands their text to the plug-in in Windows code page N, "@codepage raw" (the
// default) hands the bytes over unchanged.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct CPlaylistEntry {
  enum class Kind { kTrack, kConfig, kMark };
  enum class Unit { kQuestions, kMilliseconds };

  Kind kind = Kind::kTrack;
  int line = 0;  // 1-based line in the playlist text, for messages

  // kTrack only.
  std::intptr_t play_state = 0;
  Unit unit = Unit::kQuestions;
  std::uint64_t amount = 0;  // questions or milliseconds, never 0
  bool has_path = true;
  std::string path;
  std::vector<std::pair<std::string, std::string>> tags;  // in playlist order
  unsigned code_page = 0;    // the code page the line's text was converted to; 0: raw bytes
  std::string written_path;  // the path as the playlist spells it (UTF-8 after "@codepage N")

  // kMark only.
  std::string mark;

  // The value of tag `name` (exact, case-sensitive match), or nullptr when the file has none.
  const std::string* FindTag(const std::string& name) const;
};

// Converts UTF-8 text to the single-byte Windows code page `code_page`. Returns false when the text
// is not valid UTF-8 or the code page has no character for some of it.
bool Utf8ToCodePage(const std::string& utf8, unsigned code_page, std::string* out);

// Parses a whole playlist. On failure returns false with `*error` naming the line and the fault;
// `*entries` then holds what was parsed before it. A playlist without any track line is refused.
// The lines of `text`, without their line ends ("\n" or "\r\n"); no empty last line for a final
// line end.
std::vector<std::string> SplitLines(const std::string& text);

bool ParsePlaylist(const std::string& text, std::vector<CPlaylistEntry>* entries,
                   std::string* error);

// Reads a whole file as bytes. Returns false when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string* bytes);
