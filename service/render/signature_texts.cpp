// Texts that signatures show: ages, the album line, and the sample track of a preview.
#include "render/render.h"

std::string FormatAge(int64_t seconds) {
  if (seconds < 60) return "just now";
  const int64_t minutes = seconds / 60;
  if (minutes < 60) return std::to_string(minutes) + " min ago";
  const int64_t hours = minutes / 60;
  if (hours < 48) return std::to_string(hours) + " h ago";
  return std::to_string(hours / 24) + " days ago";
}

int64_t AgeTextSince(int64_t seconds) {
  if (seconds < 60) return 0;
  if (seconds < 3600) return seconds / 60 * 60;
  if (seconds < 48 * 3600) return seconds / 3600 * 3600;
  return seconds / 86400 * 86400;
}

std::string FormatAlbumLine(const std::string& album, const std::string& year,
                            const std::string& genre) {
  std::string line = album;
  if (!year.empty()) line += line.empty() ? year : " (" + year + ")";
  if (!genre.empty()) line += line.empty() ? genre : " \u00b7 " + genre;
  return line;
}

void UseSampleTrackIfNone(CSignatureView* view) {
  using EKind = CSignatureView::EKind;
  if (view->kind != EKind::kWaiting && view->kind != EKind::kIdle &&
      view->kind != EKind::kWrongKey) {
    return;
  }
  view->kind = EKind::kPlaying;
  view->sample = true;
  view->artist = "Sample Artist";
  view->title = "Sample Track";
  view->album = "Sample Album";
  view->year = "2001";
  view->genre = "Pop";
}
