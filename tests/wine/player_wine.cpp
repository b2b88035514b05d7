// The simulated player's playlist reading: fields, paths, tags, directives, code pages, faults.
#include <windows.h>

#include <string>
#include <vector>

#include "tests/player/playlist.h"
#include "wine_check.h"

namespace {

std::vector<CPlaylistEntry> Parse(const std::string& text) {
  std::vector<CPlaylistEntry> entries;
  std::string error;
  if (!CHECK(ParsePlaylist(text, &entries, &error))) std::printf("  %s\n", error.c_str());
  return entries;
}

// Returns the error text of a playlist that must be refused.
std::string Refusal(const std::string& text) {
  std::vector<CPlaylistEntry> entries;
  std::string error;
  CHECK(!ParsePlaylist(text, &entries, &error));
  return error;
}

void TracksAndTags() {
  const std::vector<CPlaylistEntry> entries = Parse(
      "# comment\r\n"
      "\n"
      "play\t\t3t\tC:\\Music\\A - B.mp3\tARTIST=A\tTITLE=\tNOTE=x=y\r\n"
      "pause\t1.5s\t<null>\n"
      "7\t250ms\t<empty>\tALBUM=Two words\n");
  if (!CHECK_EQ_INT(entries.size(), 3u)) return;
  const CPlaylistEntry& first = entries[0];
  CHECK_EQ_INT(first.line, 3);
  CHECK_EQ_INT(first.play_state, 1);
  CHECK(first.unit == CPlaylistEntry::Unit::kQuestions);
  CHECK_EQ_INT(first.amount, 3u);
  CHECK_EQ_STR(first.path, "C:\\Music\\A - B.mp3");
  CHECK(first.FindTag("ARTIST") != nullptr && *first.FindTag("ARTIST") == "A");
  CHECK(first.FindTag("TITLE") != nullptr && first.FindTag("TITLE")->empty());
  CHECK(first.FindTag("NOTE") != nullptr && *first.FindTag("NOTE") == "x=y");
  CHECK(first.FindTag("ALBUM") == nullptr);
  CHECK(first.FindTag("artist") == nullptr);

  CHECK_EQ_INT(entries[1].play_state, 3);
  CHECK(entries[1].unit == CPlaylistEntry::Unit::kMilliseconds);
  CHECK_EQ_INT(entries[1].amount, 1500u);
  CHECK(!entries[1].has_path);

  CHECK_EQ_INT(entries[2].play_state, 7);
  CHECK_EQ_INT(entries[2].amount, 250u);
  CHECK(entries[2].has_path && entries[2].path.empty());
  CHECK(entries[2].FindTag("ALBUM") != nullptr && *entries[2].FindTag("ALBUM") == "Two words");
}

void Directives() {
  const std::vector<CPlaylistEntry> entries = Parse(
      "@config\nstop\t1t\tx\n@mark server-down\n@codepage 1251\n"
      "play\t1t\tC:\\\xD0\x9A\xD0\xB8\xD0\xBD\xD0\xBE.mp3\tARTIST=\xD0\x9A\xD0\xB8\n"
      "@codepage raw\nplay\t1t\t\xD0\x9A\n");
  if (!CHECK_EQ_INT(entries.size(), 5u)) return;
  CHECK(entries[0].kind == CPlaylistEntry::Kind::kConfig);
  CHECK(entries[2].kind == CPlaylistEntry::Kind::kMark);
  CHECK_EQ_STR(entries[2].mark, "server-down");
  // "Кино" in UTF-8 reaches the plug-in as its four Windows-1251 bytes; the written form stays.
  CHECK_EQ_STR(entries[3].path, "C:\\\xCA\xE8\xED\xEE.mp3");
  CHECK_EQ_STR(entries[3].written_path, "C:\\\xD0\x9A\xD0\xB8\xD0\xBD\xD0\xBE.mp3");
  CHECK(entries[3].FindTag("ARTIST") != nullptr && *entries[3].FindTag("ARTIST") == "\xCA\xE8");
  CHECK_EQ_INT(entries[3].code_page, 1251u);
  CHECK_EQ_STR(entries[4].path, "\xD0\x9A");
  CHECK_EQ_INT(entries[4].code_page, 0u);
}

void Faults() {
  CHECK_EQ_STR(Refusal("# only a comment\n@config\n"), "the playlist has no track line");
  CHECK_EQ_STR(Refusal("play\t3t\n"), "playlist line 1: a track needs a state, a time and a path");
  CHECK_EQ_STR(Refusal("\nplaying\t3t\tx\n"), "playlist line 2: unknown play state \"playing\"");
  for (const char* time : {"0t", "t", "3", "-1s", "0ms", "2.5t", "1e9s"}) {
    const std::string error = Refusal(std::string("play\t") + time + "\tx\n");
    CHECK(error.find("bad time") != std::string::npos);
  }
  CHECK(Refusal("play\t1t\tx\tARTIST\n").find("NAME=VALUE") != std::string::npos);
  CHECK(Refusal("play\t1t\tx\t=v\n").find("NAME=VALUE") != std::string::npos);
  CHECK(Refusal("@pause\nplay\t1t\tx\n").find("unknown directive") != std::string::npos);
  CHECK(Refusal("@codepage 1251\nplay\t1t\t\xE4\xB8\xAD\n").find("code page 1251") !=
        std::string::npos);
  CHECK(Refusal("@codepage 1252\nplay\t1t\t\xFF\n").find("code page 1252") != std::string::npos);
}

}  // namespace

int main() {
  TracksAndTags();
  Directives();
  Faults();
  return winecheck::Finish();
}
