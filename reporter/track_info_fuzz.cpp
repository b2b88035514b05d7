// Fuzz target for GuessTagFromFileName: the guesses are the pieces of the path the rules name.
#include <cstddef>
#include <cstdint>
#include <string>

#include "reporter/track_info.h"
#include "tests/fuzz/fuzz_check.h"

// The input is a path (up to its first zero byte, as the host's text ends there).
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string path(reinterpret_cast<const char*>(data), size);
  path.resize(path.find('\0') == std::string::npos ? size : path.find('\0'));
  const std::string artist = GuessTagFromFileName(path.c_str(), "ARTIST");
  const std::string title = GuessTagFromFileName(path.c_str(), "TITLE");
  const std::size_t last_dash = path.rfind('-');
  const std::size_t last_backslash = path.rfind('\\');

  // The artist is the file name's text before the path's last "-": it stands right after the last
  // backslash (or at the start), holds no backslash, and the last "-" follows it directly.
  if (!artist.empty()) {
    FUZZ_CHECK(last_dash != std::string::npos && last_dash >= artist.size());
    const std::size_t start = last_dash - artist.size();
    FUZZ_CHECK(path.compare(start, artist.size(), artist) == 0);
    FUZZ_CHECK(start == 0 ? last_backslash == std::string::npos : last_backslash == start - 1);
    FUZZ_CHECK(artist.find('\\') == std::string::npos);
  } else if (last_dash != std::string::npos) {
    // Empty only when the last "-" does not lie after the start of the file name.
    FUZZ_CHECK(last_backslash != std::string::npos ? last_dash <= last_backslash + 1
                                                   : last_dash == 0);
  }

  // The title runs from just after the last "-" (or the path's start) to the first ".mp3".
  const std::size_t first_mp3 = path.find(".mp3");
  const std::size_t title_start = last_dash == std::string::npos ? 0 : last_dash + 1;
  if (!title.empty()) {
    FUZZ_CHECK(first_mp3 != std::string::npos);
    FUZZ_CHECK(first_mp3 == title_start + title.size());
    FUZZ_CHECK(path.compare(title_start, title.size(), title) == 0);
    FUZZ_CHECK(title.find('-') == std::string::npos);
  } else {
    FUZZ_CHECK(first_mp3 == std::string::npos || first_mp3 <= title_start);
  }

  // Any other tag name gives "0"; letter case counts.
  FUZZ_CHECK(GuessTagFromFileName(path.c_str(), "ALBUM") == "0");
  FUZZ_CHECK(GuessTagFromFileName(path.c_str(), "artist") == "0");
  return 0;
}
