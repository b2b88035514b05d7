// "Artist – Title" fitted to a width: how the two texts share it and where each is cut.
#pragma once

#include <pango/pango.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "render/paint.h"

// How two texts of natural widths `a` and `b` share `width`: both whole when they fit; else the
// narrower keeps its width when that is at most half, and the other is cut to the rest; two long
// texts get half each. So neither ever gets less than half of what it needs or half the width.
std::pair<double, double> Share(double a, double b, double width);

// `whole` (a line of its text, uncut) when it fits in `width`; else its text cut to `width` (to a
// lone "…" when there is no room at all).
std::unique_ptr<CLine> Fitted(PangoContext* context, std::unique_ptr<CLine> whole,
                              const std::string& text, double px, bool bold, double width);

// The lines of one track, to be drawn one after the other from the left, and the width of the
// line they are part of (for CDrawnText).
struct CTrackLines {
  std::vector<std::unique_ptr<CLine>> parts;
  double line;
};

// "Artist – Title" in bold (or not) at most `width` wide, each cut within its own share (see
// Share); two right-to-left texts read from the right. A missing artist or title leaves the other
// alone, and both missing give "Unknown track". Texts are trimmed of blanks.
CTrackLines LayOutTrack(PangoContext* context, const std::string& artist, const std::string& title,
                        double px, bool bold, double width);
