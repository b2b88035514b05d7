// What an account's signature shows (the last track, whether playback stopped), and a kept report.
#pragma once

#include <cstdint>
#include <string>

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
           trackAt == other.trackAt && stoppedAt == other.stoppedAt;
  }
};

// A report that came too soon after the last one applied to its account, kept to be applied when
// its turn comes. Its tags are the report's raw bytes, in the account's code page.
struct CKeptReport {
  bool stopped = false;
  std::string artist;
  std::string title;
  std::string album;
  std::string year;
  std::string genre;
  int64_t arrivedAt = 0;  // Unix seconds when it came: the time it reports
  int64_t dueAtMs = 0;    // Unix milliseconds from which it may be applied
  int64_t seq = 0;        // a shared store's number for it, larger for each newer one; else 0
};
