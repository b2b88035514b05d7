// Track information: tag questions to the host and the artist/title guess from a file path.
#pragma once

#include <cstddef>
#include <string>

// Tag names the host understands, in capitals.
constexpr char kTagArtist[] = "ARTIST";
constexpr char kTagTitle[] = "TITLE";
constexpr char kTagAlbum[] = "ALBUM";
constexpr char kTagYear[] = "YEAR";
constexpr char kTagGenre[] = "GENRE";

// The one answer buffer every tag question uses: static storage, zero at load, window thread only.
constexpr std::size_t kTagAnswerSize = 256;
extern char TagAnswerBuffer[kTagAnswerSize];

// Asks the host for `tag_name` of the file at `path` (null is passed on as it is). Returns the
// value in TagAnswerBuffer, at most kTagAnswerSize - 1 characters, valid only until the next tag
// question; returns nullptr when the host answers 0 (no value). Window thread only; allocates
// nothing.
const char* GetTagValue(const char* path, const char* tag_name);

// Guesses the artist ("ARTIST") or title ("TITLE") from `path`, which may be null, into `out`,
// replacing its content and reusing its capacity. The artist runs from just after the last
// backslash up to the last "-"; the title from just after the last "-" (or the path's start) up to
// the first lower-case ".mp3"; either is empty when its end does not lie after its start. Any other
// tag name gives "0". Nothing is trimmed.
void GuessTagFromFileName(const char* path, const char* tag_name, std::string& out);
std::string GuessTagFromFileName(const char* path, const char* tag_name);
