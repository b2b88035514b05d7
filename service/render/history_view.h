// What a history signature shows: the recently played list or a chart, as the renderer takes it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "render/style.h"

// Sizes of history signatures: within the signature limits of forums (500×150 px at most).
constexpr int kHistoryWidth = 500;
constexpr int kHistoryHeight = 150;
// Every SVG the renderer gives is smaller than this, whatever its text.
constexpr size_t kMaxSvgBytes = 64 * 1024;

enum class EImageFormat { kPng, kSvg };

struct CHistoryView {
  enum class EKind {
    kRecent,  // "Recently played": 1 to 10 rows, newest first, each "artist - title" and its age
    kTopArtists,  // "Top artists": up to 5 rows, an artist and its play count
    kTopTracks,   // "Top tracks": up to 5 rows, "artist - title" and its play count
  };
  struct CRow {
    std::string artist;
    std::string title;     // empty in the artists chart
    std::string note;      // kRecent: "3 min ago" (or "now playing"); charts: "12 plays"
    bool playing = false;  // kRecent: the track playing now, shown on top and marked
    int64_t plays = 0;     // charts: the play count, for the row's bar
  };
  EKind kind = EKind::kRecent;
  std::string user;
  std::string period;      // charts: "last 7 days", "last 30 days" or "all time"
  std::vector<CRow> rows;  // none: the image says that nothing was played (in the period)
  std::string language;    // language tag that picks glyph forms, e.g. "ja"
  CSignatureStyle style;   // its theme and accent apply; layout and album parts do not
};
