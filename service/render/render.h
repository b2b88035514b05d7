// Drawing of signature images: small PNGs that name the track being played or explain a problem.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "render/style.h"

// What one image shows. Texts are UTF-8 without control characters.
struct CSignatureView {
  enum class EKind {
    kPlaying,      // "Now playing", artist - title, album line
    kStopped,      // "Last played: artist - title · age", album line
    kIdle,         // stopped before any track was reported
    kWaiting,      // account without any report yet
    kWrongKey,     // the account's reports so far carried a wrong key
    kNoAccount,    // no account of that name
    kUnavailable,  // the service could not answer
  };
  EKind kind = EKind::kWaiting;
  std::string user;
  std::string artist;
  std::string title;
  std::string album;
  std::string year;
  std::string genre;
  std::string age;        // kStopped: how long ago playback stopped, e.g. "5 min ago"
  std::string language;   // language tag that picks glyph forms, e.g. "ja" or "zh-tw"
  CSignatureStyle style;  // template, theme, accent and the album line's parts
};

// Every PNG the renderer gives is smaller than this, whatever its text.
constexpr size_t kMaxPngBytes = 30 * 1024;

// "just now", "N min ago", "N h ago" or "N days ago" for an age in seconds.
std::string FormatAge(int64_t seconds);
// The age, at most `seconds`, from which FormatAge has given the same text as for `seconds`.
int64_t AgeTextSince(int64_t seconds);

// The album line: "Album (Year) · Genre", leaving out what is unknown.
std::string FormatAlbumLine(const std::string& album, const std::string& year,
                            const std::string& genre);

// Renders views into PNG bytes. One instance serves the whole process; RenderPng may be called
// from any thread, and renders one image at a time because the font machinery is shared.
class CRenderer {
 public:
  CRenderer();
  ~CRenderer();
  CRenderer(const CRenderer&) = delete;
  CRenderer& operator=(const CRenderer&) = delete;

  // The PNG image of `view` in the size of its template, under kMaxPngBytes; empty only when
  // cairo or libpng fails (out of memory). Texts are shown trimmed of surrounding blanks, and a
  // text too long for its place ends in "…".
  std::string RenderPng(const CSignatureView& view);

 private:
  // RenderPng without its metrics and its log line of missing glyphs.
  std::string DrawPng(const CSignatureView& view);
  struct CState;
  std::mutex m_mutex;
  std::unique_ptr<CState> m_state;
};
