// Drawing of signature images: small PNGs that name the track being played or explain a problem.
#include "render/render.h"

#include <cairo.h>
#include <pango/pangocairo.h>
#include <png.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csetjmp>
#include <utility>
#include <vector>

#include "base/log.h"
#include "base/metrics.h"

namespace {

CHistogram& renders =
    Metrics()
        .Histogram("velk_render_duration_seconds", "Time to draw and encode one signature image")
        .Get();
CCounter& unknownGlyphs =
    Metrics()
        .Counter("velk_render_missing_glyphs_total",
                 "Characters drawn as boxes because no installed font has them")
        .Get();

// Characters of the image being rendered that no installed font has (drawn as boxes): counted
// while drawing, on the rendering thread.
thread_local size_t t_unknownGlyphs = 0;

// Draws `layout` at the current point and counts the characters it lacks a font for.
void ShowLayout(cairo_t* cr, PangoLayout* layout) {
  t_unknownGlyphs += static_cast<size_t>(pango_layout_get_unknown_glyphs_count(layout));
  pango_cairo_show_layout(cr, layout);
}

struct CColor {
  double r, g, b;
};

constexpr CColor Rgb(int32_t rgb) {
  return {((rgb >> 16) & 0xFF) / 255.0, ((rgb >> 8) & 0xFF) / 255.0, (rgb & 0xFF) / 255.0};
}

// `a` moved the fraction `t` of the way to `b`.
CColor Mix(const CColor& a, const CColor& b, double t) {
  return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}

// The colours of one theme; `playing` is replaced by the account's accent when it chose one.
struct CPalette {
  CColor background;
  CColor text;
  CColor muted;
  CColor playing;
  CColor stopped;
  CColor problem;
  bool border;  // a light image gets a frame, so that it does not melt into a white page
  CColor frame;
};

const CPalette kDarkPalette = {Rgb(0x1E2330), Rgb(0xF5F7FC), Rgb(0xA9B1C1), Rgb(0x4FC3F7),
                               Rgb(0x8A93A6), Rgb(0xF0A04B), false,         Rgb(0x1E2330)};
const CPalette kLightPalette = {Rgb(0xF7F8FA), Rgb(0x1B2230), Rgb(0x5B6476), Rgb(0x0A7BBF),
                                Rgb(0x8A93A6), Rgb(0xD9822B), true,          Rgb(0xD3D8E0)};

CPalette PaletteFor(const CSignatureStyle& style) {
  CPalette palette = style.theme == ETheme::kLight ? kLightPalette : kDarkPalette;
  if (style.accent >= 0) palette.playing = Rgb(style.accent);
  return palette;
}

constexpr char kFontFamilies[] = "Noto Sans, DejaVu Sans, sans-serif";

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

// Light compression: a fresh image must cost well under 2 ms, and level 3 with the "sub" filter
// (which suits horizontal text) encodes in about a third of the default's time for ~10% more bytes.
constexpr int kPngCompressionLevel = 3;

void AppendPngBytes(png_structp png, png_bytep data, size_t length) {
  auto* out = static_cast<std::string*>(png_get_io_ptr(png));
  try {
    out->append(reinterpret_cast<const char*>(data), length);
  } catch (...) {
    png_error(png, "out of memory");
  }
}

void FlushNothing(png_structp) {}

// Writes `height` rows of 8-bit RGB (`rgb`, `width` * 3 bytes each) as a PNG into `out`. Only C
// objects live in this frame, since libpng reports errors by jumping back to the setjmp below.
bool WritePng(const unsigned char* rgb, int width, int height, int level, int filters,
              std::string* out) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (!png) return false;
  png_infop info = png_create_info_struct(png);
  if (!info || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_set_write_fn(png, out, AppendPngBytes, FlushNothing);
  png_set_compression_level(png, level);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, filters);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
               PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_BASE,
               PNG_FILTER_TYPE_BASE);
  png_write_info(png, info);
  for (int y = 0; y < height; ++y) png_write_row(png, rgb + static_cast<size_t>(y) * width * 3);
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return true;
}

// The PNG of an RGB24 image surface, under kMaxPngBytes; empty when encoding fails.
std::string EncodePng(cairo_surface_t* surface) {
  cairo_surface_flush(surface);
  const int width = cairo_image_surface_get_width(surface);
  const int height = cairo_image_surface_get_height(surface);
  const int stride = cairo_image_surface_get_stride(surface);
  const unsigned char* data = cairo_image_surface_get_data(surface);
  std::vector<unsigned char> rgb(static_cast<size_t>(width) * height * 3);
  for (int y = 0; y < height; ++y) {
    // RGB24 pixels are native-endian 32-bit words: 0x00RRGGBB.
    const auto* row = reinterpret_cast<const uint32_t*>(data + static_cast<size_t>(y) * stride);
    unsigned char* to = rgb.data() + static_cast<size_t>(y) * width * 3;
    for (int x = 0; x < width; ++x) {
      to[3 * x] = static_cast<unsigned char>(row[x] >> 16);
      to[3 * x + 1] = static_cast<unsigned char>(row[x] >> 8);
      to[3 * x + 2] = static_cast<unsigned char>(row[x]);
    }
  }
  std::string png;
  png.reserve(16 * 1024);
  if (!WritePng(rgb.data(), width, height, kPngCompressionLevel, PNG_FILTER_SUB, &png)) png.clear();
  if (png.size() >= kMaxPngBytes) {
    // Dense text: the slow, thorough encoding, which also lets libpng pick a filter per row.
    png.clear();
    if (!WritePng(rgb.data(), width, height, 9, PNG_ALL_FILTERS, &png)) png.clear();
  }
  if (png.size() >= kMaxPngBytes) {
    // Still too large (no text of 255 bytes a tag gets this far): grey levels quantised to 16
    // steps compress far better, and the image stays legible.
    for (unsigned char& value : rgb) value = static_cast<unsigned char>((value & 0xF0) | 0x08);
    png.clear();
    if (!WritePng(rgb.data(), width, height, 9, PNG_ALL_FILTERS, &png)) png.clear();
  }
  // The image may be cached for long: keep only the bytes it needs.
  png.shrink_to_fit();
  return png;
}

// One line of text in one font, ellipsized at its end when wider than `width` (0: never). Owns its
// layout.
class CLine {
 public:
  CLine(PangoContext* context, const std::string& text, double px, bool bold, double width)
      : m_text(text), m_px(px), m_width(width) {
    m_layout = pango_layout_new(context);
    PangoFontDescription* font = pango_font_description_from_string(kFontFamilies);
    pango_font_description_set_absolute_size(font, px * PANGO_SCALE);
    pango_font_description_set_weight(font, bold ? PANGO_WEIGHT_BOLD : PANGO_WEIGHT_NORMAL);
    pango_layout_set_font_description(m_layout, font);
    pango_font_description_free(font);
    // Right-to-left titles keep the image's left alignment; their runs are still reordered.
    pango_layout_set_auto_dir(m_layout, FALSE);
    pango_layout_set_single_paragraph_mode(m_layout, TRUE);
    pango_layout_set_text(m_layout, text.data(), static_cast<int>(text.size()));
    if (width > 0) {
      pango_layout_set_width(m_layout, static_cast<int>(width * PANGO_SCALE));
      pango_layout_set_ellipsize(m_layout, PANGO_ELLIPSIZE_END);
    }
  }
  ~CLine() { g_object_unref(m_layout); }
  CLine(const CLine&) = delete;
  CLine& operator=(const CLine&) = delete;

  // Width of the laid-out text in pixels, after ellipsizing. An ellipsized layout's logical
  // width is the whole width it was given, so its ink decides.
  double Width() const {
    if (Ellipsized()) {
      PangoRectangle ink;
      pango_layout_get_pixel_extents(m_layout, &ink, nullptr);
      return ink.x + ink.width + 1;
    }
    int w = 0, h = 0;
    pango_layout_get_pixel_size(m_layout, &w, &h);
    return w;
  }
  bool Ellipsized() const { return pango_layout_is_ellipsized(m_layout); }
  PangoLayout* Layout() const { return m_layout; }
  CDrawnText Drawn(double line) const {
    return {m_text, m_px, Ellipsized() ? m_width : Width(), line, Ellipsized()};
  }

  void Draw(cairo_t* cr, double x, double baseline, const CColor& color) const {
    const double top = baseline - pango_layout_get_baseline(m_layout) / double(PANGO_SCALE);
    cairo_set_source_rgb(cr, color.r, color.g, color.b);
    cairo_move_to(cr, x, top);
    ShowLayout(cr, m_layout);
  }

 private:
  PangoLayout* m_layout = nullptr;
  std::string m_text;
  double m_px;
  double m_width;
};

int32_t ToRgb(const CColor& color) {
  auto channel = [](double c) { return static_cast<int32_t>(std::lround(c * 255)); };
  return channel(color.r) << 16 | channel(color.g) << 8 | channel(color.b);
}

// `color`, or the shade of it toward the theme's text colour that is readable on `background`.
CColor Readable(const CColor& color, const CColor& background, const CPalette& palette) {
  return Rgb(ReadableOn(ToRgb(color), ToRgb(background), ToRgb(palette.text)));
}

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

// How two texts of natural widths `a` and `b` share `width`: both whole when they fit; else the
// narrower keeps its width when that is at most half, and the other is cut to the rest; two long
// texts get half each. So neither ever gets less than half of what it needs or half the width.
std::pair<double, double> Share(double a, double b, double width) {
  if (a + b <= width) return {a, b};
  const double half = width / 2;
  if (a <= half) return {a, width - a};
  if (b <= half) return {width - b, b};
  return {half, half};
}

// `whole` (a line of its text, uncut) when it fits in `width`; else its text cut to `width` (to a
// lone "…" when there is no room at all).
std::unique_ptr<CLine> Fitted(const CCanvas& canvas, std::unique_ptr<CLine> whole,
                              const std::string& text, double px, bool bold, double width) {
  if (whole->Width() <= width) return whole;
  return std::make_unique<CLine>(canvas.context, text, px, bold, std::max(width, 1.0));
}

// Whether the line's text starts right to left (Arabic, Hebrew): its first run's bidi level is odd.
bool IsRightToLeft(const CLine& line) {
  PangoLayoutLine* first = pango_layout_get_line_readonly(line.Layout(), 0);
  if (!first || !first->runs) return false;
  const auto* run = static_cast<const PangoGlyphItem*>(first->runs->data);
  return run->item->analysis.level % 2 == 1;
}

// "Artist – Title" in bold at `x`, at most `width` wide, each cut within its own share (see
// Share); two right-to-left texts read from the right. Returns the width drawn.
double DrawTrack(const CCanvas& canvas, double x, double baseline, double px, double width,
                 const CColor& color) {
  const std::string artist = TrimBlanks(canvas.view.artist);
  const std::string title = TrimBlanks(canvas.view.title);
  if (artist.empty() || title.empty()) {
    const std::string alone = artist.empty() ? (title.empty() ? "Unknown track" : title) : artist;
    const CLine line(canvas.context, alone, px, true, std::max(width, 1.0));
    return canvas.Show(line, x, baseline, color, width);
  }
  const CLine separator(canvas.context, " \u2013 ", px, true, 0);
  const double room = std::max(0.0, width - separator.Width());
  auto first = std::make_unique<CLine>(canvas.context, artist, px, true, 0);
  auto second = std::make_unique<CLine>(canvas.context, title, px, true, 0);
  const bool rightToLeft = IsRightToLeft(*first) && IsRightToLeft(*second);
  const auto [artistWidth, titleWidth] = Share(first->Width(), second->Width(), room);
  first = Fitted(canvas, std::move(first), artist, px, true, artistWidth);
  second = Fitted(canvas, std::move(second), title, px, true, titleWidth);
  if (rightToLeft) std::swap(first, second);
  double at = x + canvas.Show(*first, x, baseline, color, room);
  at += canvas.Show(separator, at, baseline, color, room);
  return at + canvas.Show(*second, at, baseline, color, room) - x;
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
    auto shown = Fitted(canvas, std::move(albumWhole), album, px, false, room);
    const double at = x + canvas.Show(*shown, x, baseline, muted, width);
    canvas.Show(rest, at, baseline, muted, width);
    return;
  }
}

void Fill(cairo_t* cr, const CColor& color, double x, double y, double w, double h) {
  cairo_set_source_rgb(cr, color.r, color.g, color.b);
  cairo_rectangle(cr, x, y, w, h);
  cairo_fill(cr);
}

// The background; a light one framed by a one-pixel line.
void PaintBackground(const CCanvas& canvas) {
  const CPalette& palette = canvas.palette;
  Fill(canvas.cr, palette.border ? palette.frame : palette.background, 0, 0, canvas.width,
       canvas.height);
  if (palette.border) {
    Fill(canvas.cr, palette.background, 1, 1, canvas.width - 2, canvas.height - 2);
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
  PaintBackground(canvas);
  Fill(canvas.cr, canvas.texts.accent, 0, 0, 4, canvas.height);
  DrawThreeLines(canvas, kCardLayout);
}

// 468x60: a square tile with a note (or a warning sign) in the accent colour, then three lines.
void DrawBanner(const CCanvas& canvas) {
  PaintBackground(canvas);
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
  PaintBackground(canvas);
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

struct CRenderer::CState {
  // One surface per template, in the order of SupportedTemplates().
  std::vector<cairo_surface_t*> surfaces;
  std::vector<cairo_t*> contexts;
  PangoFontMap* fontMap = nullptr;
  PangoContext* context = nullptr;
};

CRenderer::CRenderer() : m_state(std::make_unique<CState>()) {
  for (const CTemplateInfo& info : SupportedTemplates()) {
    m_state->surfaces.push_back(
        cairo_image_surface_create(CAIRO_FORMAT_RGB24, info.width, info.height));
    m_state->contexts.push_back(cairo_create(m_state->surfaces.back()));
  }
  // A font map of our own: the default one belongs to whichever thread asks first.
  m_state->fontMap = pango_cairo_font_map_new();
  m_state->context = pango_font_map_create_context(m_state->fontMap);
  cairo_font_options_t* options = cairo_font_options_create();
  cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
  cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_SLIGHT);
  cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_ON);
  pango_cairo_context_set_font_options(m_state->context, options);
  cairo_font_options_destroy(options);
  // Every surface has the same format and resolution, so one context serves them all.
  pango_cairo_update_context(m_state->contexts.front(), m_state->context);
}

CRenderer::~CRenderer() {
  g_object_unref(m_state->context);
  g_object_unref(m_state->fontMap);
  for (cairo_t* cr : m_state->contexts) cairo_destroy(cr);
  for (cairo_surface_t* surface : m_state->surfaces) cairo_surface_destroy(surface);
}

std::string CRenderer::RenderPng(const CSignatureView& view, std::vector<CDrawnText>* drawn) {
  const auto started = std::chrono::steady_clock::now();
  std::string png = DrawPng(view, drawn);
  renders.Observe(
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
  if (t_unknownGlyphs > 0) {
    unknownGlyphs.Add(t_unknownGlyphs);
    LogRepeated("missing glyphs", std::to_string(t_unknownGlyphs) +
                                      " characters of a signature have no installed font and "
                                      "show as boxes; install fonts-noto-core and fonts-noto-cjk");
  }
  return png;
}

std::string CRenderer::DrawPng(const CSignatureView& view, std::vector<CDrawnText>* drawn) {
  t_unknownGlyphs = 0;
  std::lock_guard<std::mutex> lock(m_mutex);
  const std::vector<CTemplateInfo>& templates = SupportedTemplates();
  size_t index = 0;
  while (index + 1 < templates.size() && templates[index].id != view.style.layout) ++index;
  cairo_t* cr = m_state->contexts[index];
  PangoContext* context = m_state->context;
  pango_context_set_language(
      context, pango_language_from_string(view.language.empty() ? "en" : view.language.c_str()));
  const CPalette palette = PaletteFor(view.style);
  const CTexts texts = TextsFor(view, palette);
  const CCanvas canvas{cr,
                       context,
                       double(templates[index].width),
                       double(templates[index].height),
                       view,
                       palette,
                       texts,
                       drawn};
  switch (templates[index].id) {
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
  return EncodePng(m_state->surfaces[index]);
}

std::string CRenderer::RenderHistory(const CHistoryView&, EImageFormat, std::vector<CDrawnText>*) {
  return "";  // drawn once the history layouts exist
}
