// What an account's signature shows (the last track, whether playback stopped), and a kept report.
#pragma once

#include <cstdint>
#include <string>

// How long after a track's told end it still shows as playing: players report a little late, and
// a pause should not flip the signature at once.
constexpr int64_t kListenGraceSeconds = 15;
// A listen of the track playing now that comes this long or longer before the track's told end
// came mid-track (many players submit at half the track): the track still plays.
constexpr int64_t kListenBeforeEndSeconds = 10;

struct CTrackState {
  enum class EPlayback { kNone = 0, kPlaying = 1, kStopped = 2 };
  EPlayback playback = EPlayback::kNone;  // kNone: no track reported yet (a stop may have been)
  // The last real track, UTF-8; kept when playback stops.
  std::string artist;
  std::string title;
  std::string album;
  std::string year;
  std::string genre;
  int64_t trackAt = 0;    // Unix seconds when that track was reported
  int64_t stoppedAt = 0;  // Unix seconds of the stop, when playback is kStopped
  // Unix seconds at which a playing track ends by itself (its start, duration and a grace), when
  // the player said how long it is; 0: only the service's now-playing bound ends it.
  int64_t endsAt = 0;
  // The track came from the plug-in: when another track, a stop or the now-playing bound ends it
  // after at least kPluginListenSeconds, the store keeps it as a listen. Other players' tracks
  // are kept as the listens those players send.
  bool fromPlugin = false;

  // "playing", "stopped" or "none": the playback as the JSON state and the command line name it.
  static const char* PlaybackName(EPlayback playback) {
    switch (playback) {
      case EPlayback::kPlaying:
        return "playing";
      case EPlayback::kStopped:
        return "stopped";
      case EPlayback::kNone:
        break;
    }
    return "none";
  }

  bool operator==(const CTrackState& other) const {
    return playback == other.playback && artist == other.artist && title == other.title &&
           album == other.album && year == other.year && genre == other.genre &&
           trackAt == other.trackAt && stoppedAt == other.stoppedAt && endsAt == other.endsAt &&
           fromPlugin == other.fromPlugin;
  }
};

// A report of any player (the plug-in's are kept when they come too soon after the last one
// applied, until their turn comes). The plug-in's tags are raw bytes in the account's code page;
// other players send UTF-8.
struct CKeptReport {
  enum class ESource {
    kPlugin = 0,      // the plug-in: a track playing now, or stopped
    kNowPlaying = 1,  // another player: this track plays now (UTF-8)
    kListen = 2,      // another player: this track was listened to from `startedAt` (UTF-8)
  };
  ESource source = ESource::kPlugin;
  bool stopped = false;
  std::string artist;
  std::string title;
  std::string album;
  std::string year;
  std::string genre;
  int64_t arrivedAt = 0;  // Unix seconds when it came: the time it reports
  int64_t dueAtMs = 0;    // Unix milliseconds from which it may be applied
  int64_t startedAt = 0;  // kListen: Unix seconds when the listen began
  int64_t durationS = 0;  // other players: the track's length in seconds; 0 when not given
  int64_t seq = 0;        // a shared store's number for it, larger for each newer one; else 0
};
