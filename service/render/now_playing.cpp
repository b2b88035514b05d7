// The now-playing layouts: card, banner and userbar, each drawn from one signature view.
#include "render/now_playing.h"

#include <algorithm>
#include <memory>
#include <string>
#include <utility>

#include "render/paint.h"
#include "render/track_text.h"

namespace {

// Where a template puts its three lines: caption, main line and detail line.
struct CLineLayout {
  double left;   // x where text starts
  double right;  // right margin
  double captionBaseline, mainBaseline, detailBaseline;
  double captionPx, mainPx, detailPx;
};

constexpr CLineLayout kCardLayout = {16, 10, 16, 36, 53, 10.5, 15, 11.5};
// The banner's text area is wider than the card's and its fonts the same: it never shows less.
constexpr CLineLayout kBannerLayout = {72, 12, 16, 36, 53, 10.5, 15, 11.5};
constexpr double kBannerTile = 60;  // the banner's square at the left
// The userbar's one line.
constexpr double kUserbarLeft = 9;
constexpr double kUserbarRight = 6;
constexpr double kUserbarBaseline = 13.5;
constexpr double kUserbarPx = 11;

struct CTexts {
  CColor accent;      // bars and tiles
  CColor accentText;  // the caption and symbols: the accent, readable on the background
  std::string caption;
  std::string main;    // for kinds without a track
  std::string detail;  // for kinds without a track
};

CTexts TextsFor(const CSignatureView& view, const CPalette& palette) {
  using EKind = CSignatureView::EKind;
  CTexts texts = [&]() -> CTexts {
    switch (view.kind) {
      case EKind::kPlaying:
        return {palette.playing, {}, view.sample ? "Now playing (sample)" : "Now playing", "", ""};
      case EKind::kStopped:
        return {palette.stopped, {}, "Not playing", "", ""};
      case EKind::kIdle:
        return {palette.stopped,
                {},
                "Not playing",
                "Nothing played yet",
                "The signature shows the next track the player reports."};
      case EKind::kWaiting:
        return {palette.stopped,
                {},
                "Velk",
                "Waiting for the first report",
                "Enter the user name and key in the player's Velk settings."};
      case EKind::kWrongKey:
        return {palette.problem,
                {},
                "Velk",
                "The player's reports carry a wrong key",
                "Paste the account's key into the Velk settings."};
      case EKind::kNoAccount:
        return {palette.problem,
                {},
                "Velk",
                "There is no account of this name",
                "Register one on this service's registration page."};
      case EKind::kUnavailable:
        break;
    }
    return {palette.problem,
            {},
            "Velk",
            "Signature temporarily unavailable",
            "Please try again later."};
  }();
  texts.accentText = Readable(texts.accent, palette.background, palette);
  return texts;
}

bool HasTrack(CSignatureView::EKind kind) {
  return kind == CSignatureView::EKind::kPlaying || kind == CSignatureView::EKind::kStopped;
}

// One drawing of one view: the cairo context of the template's surface and what it shows.
struct CCanvas {
  cairo_t* cr;
  PangoContext* context;
  double width;
  double height;
  const CSignatureView& view;
  const CPalette& palette;
  const CTexts& texts;
  std::vector<CDrawnText>* drawn;  // null: nobody asks

  // Draws `line` and notes it as part of a line `lineWidth` wide; returns its width.
  double Show(const CLine& line, double x, double baseline, const CColor& color,
              double lineWidth) const {
    line.Draw(cr, x, baseline, color);
    if (drawn && !line.Drawn(lineWidth).text.empty()) drawn->push_back(line.Drawn(lineWidth));
    return line.Width();
  }
};

// "Artist – Title" in bold at `x`, at most `width` wide (see LayOutTrack). Returns the width drawn.
double DrawTrack(const CCanvas& canvas, double x, double baseline, double px, double width,
                 const CColor& color) {
  const CTrackLines track =
      LayOutTrack(canvas.context, canvas.view.artist, canvas.view.title, px, true, width);
  double at = x;
  for (const auto& part : track.parts) at += canvas.Show(*part, at, baseline, color, track.line);
  return at - x;
}

// "Last played: Artist – Title · age" at `x`, at most `width` wide: the track gives way to the
// prefix and the age when space runs out.
void DrawLastPlayed(const CCanvas& canvas, double x, double baseline, double px, double width) {
  const CColor& muted = canvas.palette.muted;
  const CLine prefix(canvas.context, "Last played: ", px, false, 0);
  const CLine age(canvas.context, " \u00b7 " + canvas.view.age, px, false, 0);
  const double track = std::max(0.0, width - prefix.Width() - age.Width());
  double at = x + canvas.Show(prefix, x, baseline, muted, width);
  at += DrawTrack(canvas, at, baseline, px, track, canvas.palette.text);
  canvas.Show(age, at, baseline, muted, width);
}

// The album line "Album (Year) · Genre" of the parts the style shows, at most `width` wide. When
// it does not fit, the album is cut so that year and genre stay, as long as the album keeps half
// the line; else the genre goes, then the year.
void DrawAlbumLine(const CCanvas& canvas, double x, double baseline, double px, double width) {
  const CSignatureStyle& style = canvas.view.style;
  const CColor& muted = canvas.palette.muted;
  const std::string album = style.showAlbum ? TrimBlanks(canvas.view.album) : "";
  const std::string year = style.showYear ? TrimBlanks(canvas.view.year) : "";
  const std::string genre = style.showGenre ? TrimBlanks(canvas.view.genre) : "";
  if (album.empty()) {
    // "Year · Genre": the year first, the genre cut at the end.
    const std::string line = FormatAlbumLine("", year, genre);
    if (!line.empty())
      canvas.Show(CLine(canvas.context, line, px, false, width), x, baseline, muted, width);
    return;
  }
  auto albumWhole = std::make_unique<CLine>(canvas.context, album, px, false, 0);
  const std::string kept[][2] = {{year, genre}, {year, ""}, {"", ""}};
  for (const auto& [keptYear, keptGenre] : kept) {
    const std::string suffix = FormatAlbumLine(album, keptYear, keptGenre).substr(album.size());
    const CLine rest(canvas.context, suffix, px, false, 0);
    const double room = width - rest.Width();
    if (!suffix.empty() && room < std::min(albumWhole->Width(), width / 2)) continue;
    auto shown = Fitted(canvas.context, std::move(albumWhole), album, px, false, room);
    const double at = x + canvas.Show(*shown, x, baseline, muted, width);
    canvas.Show(rest, at, baseline, muted, width);
    return;
  }
}

// Caption and user name, the main line and the detail line, between `layout.left` and the right
// margin.
void DrawThreeLines(const CCanvas& canvas, const CLineLayout& layout) {
  const CPalette& palette = canvas.palette;
  const CSignatureView& view = canvas.view;
  const double textWidth = canvas.width - layout.left - layout.right;
  CLine user(canvas.context, view.user, layout.captionPx, false, textWidth / 2);
  const double userWidth = view.user.empty() ? 0 : user.Width();
  if (userWidth > 0) {
    canvas.Show(user, canvas.width - layout.right - userWidth, layout.captionBaseline,
                palette.muted, textWidth);
  }
  CLine caption(canvas.context, canvas.texts.caption, layout.captionPx, true,
                textWidth - userWidth - 8);
  canvas.Show(caption, layout.left, layout.captionBaseline, canvas.texts.accentText, textWidth);
  if (!HasTrack(view.kind)) {
    CLine main(canvas.context, canvas.texts.main, layout.mainPx, true, textWidth);
    canvas.Show(main, layout.left, layout.mainBaseline, palette.text, textWidth);
    CLine detail(canvas.context, canvas.texts.detail, layout.detailPx, false, textWidth);
    canvas.Show(detail, layout.left, layout.detailBaseline, palette.muted, textWidth);
    return;
  }
  if (view.kind == CSignatureView::EKind::kStopped) {
    DrawLastPlayed(canvas, layout.left, layout.mainBaseline, layout.mainPx, textWidth);
  } else {
    DrawTrack(canvas, layout.left, layout.mainBaseline, layout.mainPx, textWidth, palette.text);
  }
  DrawAlbumLine(canvas, layout.left, layout.detailBaseline, layout.detailPx, textWidth);
}

// A symbol centred in the box at (x, y) of size w x h.
void DrawSymbol(const CCanvas& canvas, const char* symbol, double px, double x, double y, double w,
                double h, const CColor& color) {
  CLine glyph(canvas.context, symbol, px, true, 0);
  int glyphW = 0, glyphH = 0;
  PangoRectangle ink;
  pango_layout_get_pixel_extents(glyph.Layout(), &ink, nullptr);
  glyphW = ink.width;
  glyphH = ink.height;
  cairo_set_source_rgb(canvas.cr, color.r, color.g, color.b);
  cairo_move_to(canvas.cr, x + (w - glyphW) / 2 - ink.x, y + (h - glyphH) / 2 - ink.y);
  ShowLayout(canvas.cr, glyph.Layout());
}

bool IsProblem(CSignatureView::EKind kind) {
  using EKind = CSignatureView::EKind;
  return kind == EKind::kWrongKey || kind == EKind::kNoAccount || kind == EKind::kUnavailable;
}

// 400x60: an accent bar and three lines.
void DrawCard(const CCanvas& canvas) {
  PaintBackground(canvas.cr, canvas.palette, canvas.width, canvas.height);
  Fill(canvas.cr, canvas.texts.accent, 0, 0, 4, canvas.height);
  DrawThreeLines(canvas, kCardLayout);
}

// 468x60: a square tile with a note (or a warning sign) in the accent colour, then three lines.
void DrawBanner(const CCanvas& canvas) {
  PaintBackground(canvas.cr, canvas.palette, canvas.width, canvas.height);
  const CColor tile = Mix(canvas.palette.background, canvas.texts.accent, 0.2);
  Fill(canvas.cr, tile, 0, 0, kBannerTile, canvas.height);
  Fill(canvas.cr, canvas.texts.accent, kBannerTile - 3, 0, 3, canvas.height);
  DrawSymbol(canvas, IsProblem(canvas.view.kind) ? "!" : "\u266b", 30, 0, 0, kBannerTile - 3,
             canvas.height, Readable(canvas.texts.accent, tile, canvas.palette));
  DrawThreeLines(canvas, kBannerLayout);
}

// 350x19: one line, the track (or the last played one, or what is wrong) on a soft gradient.
void DrawUserbar(const CCanvas& canvas) {
  const CPalette& palette = canvas.palette;
  cairo_pattern_t* gradient = cairo_pattern_create_linear(0, 0, 0, canvas.height);
  const CColor top = Mix(palette.background, palette.text, 0.08);
  cairo_pattern_add_color_stop_rgb(gradient, 0, top.r, top.g, top.b);
  cairo_pattern_add_color_stop_rgb(gradient, 1, palette.background.r, palette.background.g,
                                   palette.background.b);
  PaintBackground(canvas.cr, canvas.palette, canvas.width, canvas.height);
  cairo_set_source(canvas.cr, gradient);
  const double inset = palette.border ? 1 : 0;
  cairo_rectangle(canvas.cr, inset, inset, canvas.width - 2 * inset, canvas.height - 2 * inset);
  cairo_fill(canvas.cr);
  cairo_pattern_destroy(gradient);
  Fill(canvas.cr, canvas.texts.accent, 0, 0, 3, canvas.height);

  const CSignatureView& view = canvas.view;
  double x = kUserbarLeft;
  double right = canvas.width - kUserbarRight;
  if (!view.user.empty()) {
    // The user name, small, at the right end; at most a third of the bar.
    CLine user(canvas.context, view.user, kUserbarPx - 1.5, false, canvas.width / 3);
    right -= user.Width();
    canvas.Show(user, right, kUserbarBaseline, palette.muted, canvas.width);
    right -= 10;
  }
  if (view.kind == CSignatureView::EKind::kStopped) {
    return DrawLastPlayed(canvas, x, kUserbarBaseline, kUserbarPx, right - x);
  }
  if (view.kind == CSignatureView::EKind::kPlaying) {
    CLine note(canvas.context, "\u266b", kUserbarPx, true, 0);
    note.Draw(canvas.cr, x, kUserbarBaseline, canvas.texts.accentText);
    x += note.Width() + 5;
    DrawTrack(canvas, x, kUserbarBaseline, kUserbarPx, right - x, palette.text);
    return;
  }
  CLine main(canvas.context, canvas.texts.main, kUserbarPx, true, right - x);
  canvas.Show(main, x, kUserbarBaseline,
              IsProblem(view.kind) ? canvas.texts.accentText : palette.text, right - x);
}

}  // namespace

void DrawNowPlaying(cairo_t* cr, PangoContext* context, const CTemplateInfo& info,
                    const CSignatureView& view, std::vector<CDrawnText>* drawn) {
  const CPalette palette = PaletteFor(view.style);
  const CTexts texts = TextsFor(view, palette);
  const CCanvas canvas{cr,    context, double(info.width), double(info.height), view, palette,
                       texts, drawn};
  switch (info.id) {
    case ETemplate::kCard:
      DrawCard(canvas);
      break;
    case ETemplate::kBanner:
      DrawBanner(canvas);
      break;
    case ETemplate::kUserbar:
      DrawUserbar(canvas);
      break;
  }
}
