// Drawing of signature images: small PNGs that name the track being played or explain a problem.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "render/history_view.h"
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
  bool sample = false;    // kPlaying: a made-up track, and the image says so
};

// A preview of an account that has reported no track yet shows a sample track in its look, so that
// template, theme and accent all show; a view with a track stays as it is.
void UseSampleTrackIfNone(CSignatureView* view);

// One text a drawing put in the image: what it was given, at which size, the width it took (the
// width it was cut to when it ends in "…") and the width of the whole line it is part of.
struct CDrawnText {
  std::string text;
  double px;
  double width;
  double line;
  bool ellipsized;
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
  // text too long for its place ends in "…": artist and title each within their share of the
  // line, the album before year and genre. `drawn`, when given, receives every text drawn.
  std::string RenderPng(const CSignatureView& view, std::vector<CDrawnText>* drawn = nullptr);
  // The image of a history signature, kHistoryWidth×kHistoryHeight: a PNG under kMaxPngBytes, or
  // an SVG under kMaxSvgBytes with its text drawn as outlines (it looks the same without the
  // fonts). Same texts and threads as RenderPng; empty only when cairo fails.
  std::string RenderHistory(const CHistoryView& view, EImageFormat format,
                            std::vector<CDrawnText>* drawn = nullptr);

 private:
  // RenderPng without its metrics and its log line of missing glyphs.
  std::string DrawPng(const CSignatureView& view, std::vector<CDrawnText>* drawn);
  // RenderHistory likewise.
  std::string DrawHistory(const CHistoryView& view, EImageFormat format,
                          std::vector<CDrawnText>* drawn);
  // Lays texts out in the glyph forms of `language` (a tag; empty: English). Under m_mutex.
  void SetLanguage(const std::string& language);
  struct CState;
  std::mutex m_mutex;
  std::unique_ptr<CState> m_state;
};
