// An account's listening history as the stores keep it: listens, and the counts that charts read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A listen is kept when the track stayed the plug-in's playing track at least this long (the
// plug-in sends no track length); other players say themselves what they count as a listen.
constexpr int64_t kPluginListenSeconds = 30;
// The newest listens kept per account unless the service is told otherwise.
constexpr size_t kDefaultHistoryListens = 10000;
// ListenBrainz's earliest listened_at (2002-10-01): older times are refused, never kept.
constexpr int64_t kEarliestListenAt = 1033430400;

// One listen of an account. Texts are clean UTF-8, trimmed, artist and title never empty.
struct CListen {
  enum class ESource { kPlugin = 0, kListenBrainz = 1, kAudioscrobbler = 2 };
  int64_t at = 0;  // Unix seconds when it began
  std::string artist;
  std::string title;
  std::string album;  // may be empty
  ESource source = ESource::kPlugin;

  // The same listen sent twice (same start, artist and title) is kept once.
  bool SameListen(const CListen& other) const {
    return at == other.at && artist == other.artist && title == other.title;
  }
};

// "velk", "listenbrainz" or "audioscrobbler": the source as the download and the database name it.
const char* ListenSourceName(CListen::ESource source);

enum class EChart { kArtists, kTracks };

// One row of a chart: an artist (title empty) or a track, and how often it was played in the
// period, most played first (ties: the one played last first, then by name).
struct CChartRow {
  std::string artist;
  std::string title;
  int64_t plays = 0;
};

// The day number (days since 1970-01-01, UTC) of Unix seconds `at`: the unit of chart counts.
inline int64_t ListenDay(int64_t at) { return at >= 0 ? at / 86400 : (at - 86399) / 86400; }
