// "Artist – Title" fitted to a width: how the two texts share it and where each is cut.
#include "render/track_text.h"

#include <algorithm>

namespace {

// Whether the line's text starts right to left (Arabic, Hebrew): its first run's bidi level is odd.
bool IsRightToLeft(const CLine& line) {
  PangoLayoutLine* first = pango_layout_get_line_readonly(line.Layout(), 0);
  if (!first || !first->runs) return false;
  const auto* run = static_cast<const PangoGlyphItem*>(first->runs->data);
  return run->item->analysis.level % 2 == 1;
}

}  // namespace

std::pair<double, double> Share(double a, double b, double width) {
  if (a + b <= width) return {a, b};
  const double half = width / 2;
  if (a <= half) return {a, width - a};
  if (b <= half) return {width - b, b};
  return {half, half};
}

std::unique_ptr<CLine> Fitted(PangoContext* context, std::unique_ptr<CLine> whole,
                              const std::string& text, double px, bool bold, double width) {
  if (whole->Width() <= width) return whole;
  return std::make_unique<CLine>(context, text, px, bold, std::max(width, 1.0));
}

CTrackLines LayOutTrack(PangoContext* context, const std::string& artistText,
                        const std::string& titleText, double px, bool bold, double width) {
  const std::string artist = TrimBlanks(artistText);
  const std::string title = TrimBlanks(titleText);
  CTrackLines lines;
  if (artist.empty() || title.empty()) {
    const std::string alone = artist.empty() ? (title.empty() ? "Unknown track" : title) : artist;
    lines.parts.push_back(std::make_unique<CLine>(context, alone, px, bold, std::max(width, 1.0)));
    lines.line = width;
    return lines;
  }
  auto separator = std::make_unique<CLine>(context, " \u2013 ", px, bold, 0);
  const double room = std::max(0.0, width - separator->Width());
  auto first = std::make_unique<CLine>(context, artist, px, bold, 0);
  auto second = std::make_unique<CLine>(context, title, px, bold, 0);
  const bool rightToLeft = IsRightToLeft(*first) && IsRightToLeft(*second);
  const auto [artistWidth, titleWidth] = Share(first->Width(), second->Width(), room);
  first = Fitted(context, std::move(first), artist, px, bold, artistWidth);
  second = Fitted(context, std::move(second), title, px, bold, titleWidth);
  if (rightToLeft) std::swap(first, second);
  lines.parts.push_back(std::move(first));
  lines.parts.push_back(std::move(separator));
  lines.parts.push_back(std::move(second));
  lines.line = room;
  return lines;
}
