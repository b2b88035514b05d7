// Drawing of signature images: small PNGs that name the track being played or explain a problem.
#include "render/render.h"

#include <cairo.h>
#include <pango/pangocairo.h>
#include <png.h>

#include <chrono>
#include <csetjmp>
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
constexpr CLineLayout kBannerLayout = {72, 12, 16, 36, 53, 10.5, 16, 11.5};
constexpr double kBannerTile = 60;  // the banner's square at the left
// The userbar's one line.
constexpr double kUserbarLeft = 9;
constexpr double kUserbarRight = 6;
constexpr double kUserbarBaseline = 13.5;
constexpr double kUserbarPx = 11;

std::string JoinArtistTitle(const std::string& artist, const std::string& title) {
  if (artist.empty() && title.empty()) return "Unknown track";
  if (artist.empty()) return title;
  if (title.empty()) return artist;
  return artist + " \u2013 " + title;
}

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

// One line of text in one font, ellipsized at its end when wider than `width`. Owns its layout.
class CLine {
 public:
  CLine(PangoContext* context, const std::string& text, double px, bool bold, double width) {
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

  // Gives the bytes [start, end) of the text another colour and weight.
  void Emphasize(size_t start, size_t end, const CColor& color, bool bold) {
    PangoAttrList* attrs = pango_attr_list_new();
    PangoAttribute* fg = pango_attr_foreground_new(static_cast<guint16>(color.r * 65535),
                                                   static_cast<guint16>(color.g * 65535),
                                                   static_cast<guint16>(color.b * 65535));
    fg->start_index = static_cast<guint>(start);
    fg->end_index = static_cast<guint>(end);
    pango_attr_list_insert(attrs, fg);
    PangoAttribute* weight = pango_attr_weight_new(bold ? PANGO_WEIGHT_BOLD : PANGO_WEIGHT_NORMAL);
    weight->start_index = static_cast<guint>(start);
    weight->end_index = static_cast<guint>(end);
    pango_attr_list_insert(attrs, weight);
    pango_layout_set_attributes(m_layout, attrs);
    pango_attr_list_unref(attrs);
  }

  // Width of the laid-out text in pixels, after ellipsizing. An ellipsized layout's logical
  // width is the whole width it was given, so its ink decides.
  double Width() const {
    if (pango_layout_is_ellipsized(m_layout)) {
      PangoRectangle ink;
      pango_layout_get_pixel_extents(m_layout, &ink, nullptr);
      return ink.x + ink.width + 1;
    }
    int w = 0, h = 0;
    pango_layout_get_pixel_size(m_layout, &w, &h);
    return w;
  }

  PangoLayout* Layout() const { return m_layout; }

  void Draw(cairo_t* cr, double x, double baseline, const CColor& color) const {
    const double top = baseline - pango_layout_get_baseline(m_layout) / double(PANGO_SCALE);
    cairo_set_source_rgb(cr, color.r, color.g, color.b);
    cairo_move_to(cr, x, top);
    ShowLayout(cr, m_layout);
  }

 private:
  PangoLayout* m_layout = nullptr;
};

struct CTexts {
  CColor accent;
  std::string caption;
  std::string main;
  std::string detail;
};

std::string ShownAlbumLine(const CSignatureView& view) {
  const CSignatureStyle& style = view.style;
  return FormatAlbumLine(style.showAlbum ? TrimBlanks(view.album) : "",
                         style.showYear ? TrimBlanks(view.year) : "",
                         style.showGenre ? TrimBlanks(view.genre) : "");
}

CTexts TextsFor(const CSignatureView& view, const CPalette& palette) {
  using EKind = CSignatureView::EKind;
  const std::string track = JoinArtistTitle(TrimBlanks(view.artist), TrimBlanks(view.title));
  switch (view.kind) {
    case EKind::kPlaying:
      return {palette.playing, "Now playing", track, ShownAlbumLine(view)};
    case EKind::kStopped:
      return {palette.stopped, "Not playing", track, ShownAlbumLine(view)};
    case EKind::kIdle:
      return {palette.stopped, "Not playing", "Nothing played yet",
              "The signature shows the next track the player reports."};
    case EKind::kWaiting:
      return {palette.stopped, "Velk", "Waiting for the first report",
              "Enter the user name and key in the player's Velk settings."};
    case EKind::kWrongKey:
      return {palette.problem, "Velk", "The player's reports carry a wrong key",
              "Paste the account's key into the Velk settings."};
    case EKind::kNoAccount:
      return {palette.problem, "Velk", "There is no account of this name",
              "Register one on this service's registration page."};
    case EKind::kUnavailable:
      break;
  }
  return {palette.problem, "Velk", "Signature temporarily unavailable", "Please try again later."};
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
};

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

// "Last played: Artist – Title · age" at `x`, at most `width` wide: the track gives way to the age
// when space runs out.
void DrawLastPlayed(const CCanvas& canvas, double x, double baseline, double px, double width) {
  const std::string prefix = "Last played: ";
  CLine age(canvas.context, " \u00b7 " + canvas.view.age, px, false, 0);
  CLine main(canvas.context, prefix + canvas.texts.main, px, false, width - age.Width());
  main.Emphasize(prefix.size(), prefix.size() + canvas.texts.main.size(), canvas.palette.text,
                 true);
  main.Draw(canvas.cr, x, baseline, canvas.palette.muted);
  age.Draw(canvas.cr, x + main.Width(), baseline, canvas.palette.muted);
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
    user.Draw(canvas.cr, canvas.width - layout.right - userWidth, layout.captionBaseline,
              palette.muted);
  }
  CLine caption(canvas.context, canvas.texts.caption, layout.captionPx, true,
                textWidth - userWidth - 8);
  caption.Draw(canvas.cr, layout.left, layout.captionBaseline, canvas.texts.accent);
  if (view.kind == CSignatureView::EKind::kStopped) {
    DrawLastPlayed(canvas, layout.left, layout.mainBaseline, layout.mainPx, textWidth);
  } else {
    CLine main(canvas.context, canvas.texts.main, layout.mainPx, true, textWidth);
    main.Draw(canvas.cr, layout.left, layout.mainBaseline, palette.text);
  }
  CLine detail(canvas.context, canvas.texts.detail, layout.detailPx, false, textWidth);
  detail.Draw(canvas.cr, layout.left, layout.detailBaseline, palette.muted);
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
             canvas.height, canvas.texts.accent);
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
    user.Draw(canvas.cr, right, kUserbarBaseline, palette.muted);
    right -= 10;
  }
  if (view.kind == CSignatureView::EKind::kStopped) {
    return DrawLastPlayed(canvas, x, kUserbarBaseline, kUserbarPx, right - x);
  }
  if (view.kind == CSignatureView::EKind::kPlaying) {
    CLine note(canvas.context, "\u266b", kUserbarPx, true, 0);
    note.Draw(canvas.cr, x, kUserbarBaseline, canvas.texts.accent);
    x += note.Width() + 5;
  }
  CLine main(canvas.context, canvas.texts.main, kUserbarPx, true, right - x);
  main.Draw(canvas.cr, x, kUserbarBaseline,
            IsProblem(view.kind) ? canvas.texts.accent : palette.text);
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

std::string CRenderer::RenderPng(const CSignatureView& view) {
  const auto started = std::chrono::steady_clock::now();
  std::string png = DrawPng(view);
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

std::string CRenderer::DrawPng(const CSignatureView& view) {
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
  const CCanvas canvas{
      cr,      context, double(templates[index].width), double(templates[index].height), view,
      palette, texts};
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
