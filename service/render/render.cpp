// Drawing of signature images: small PNGs that name the track being played or explain a problem.
#include "render/render.h"

#include <cairo.h>
#include <pango/pangocairo.h>
#include <png.h>

#include <csetjmp>
#include <vector>

namespace {

struct CColor {
  double r, g, b;
};

constexpr CColor kBackground = {0x1e / 255.0, 0x23 / 255.0, 0x30 / 255.0};
constexpr CColor kText = {0.96, 0.97, 0.99};
constexpr CColor kMuted = {0xa9 / 255.0, 0xb1 / 255.0, 0xc1 / 255.0};
constexpr CColor kPlayingAccent = {0x4f / 255.0, 0xc3 / 255.0, 0xf7 / 255.0};
constexpr CColor kStoppedAccent = {0x8a / 255.0, 0x93 / 255.0, 0xa6 / 255.0};
constexpr CColor kProblemAccent = {0xf0 / 255.0, 0xa0 / 255.0, 0x4b / 255.0};

constexpr char kFontFamilies[] = "Noto Sans, DejaVu Sans, sans-serif";
constexpr double kLeft = 16;   // text starts right of the accent bar
constexpr double kRight = 10;  // right margin
// Baselines of the caption, the main line and the detail line.
constexpr double kCaptionBaseline = 16;
constexpr double kMainBaseline = 36;
constexpr double kDetailBaseline = 53;
constexpr double kCaptionPx = 10.5;
constexpr double kMainPx = 15;
constexpr double kDetailPx = 11.5;

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
bool WritePng(const unsigned char* rgb, int width, int height, std::string* out) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (!png) return false;
  png_infop info = png_create_info_struct(png);
  if (!info || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_set_write_fn(png, out, AppendPngBytes, FlushNothing);
  png_set_compression_level(png, kPngCompressionLevel);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
               PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_BASE,
               PNG_FILTER_TYPE_BASE);
  png_write_info(png, info);
  for (int y = 0; y < height; ++y) png_write_row(png, rgb + static_cast<size_t>(y) * width * 3);
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return true;
}

// The PNG of an RGB24 image surface; empty when encoding fails.
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
  if (!WritePng(rgb.data(), width, height, &png)) png.clear();
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

  // Width of the laid-out text in pixels, after ellipsizing.
  double Width() const {
    int w = 0, h = 0;
    pango_layout_get_pixel_size(m_layout, &w, &h);
    return w;
  }

  void Draw(cairo_t* cr, double x, double baseline, const CColor& color) const {
    const double top = baseline - pango_layout_get_baseline(m_layout) / double(PANGO_SCALE);
    cairo_set_source_rgb(cr, color.r, color.g, color.b);
    cairo_move_to(cr, x, top);
    pango_cairo_show_layout(cr, m_layout);
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

CTexts TextsFor(const CSignatureView& view) {
  using EKind = CSignatureView::EKind;
  const std::string track = JoinArtistTitle(view.artist, view.title);
  const std::string albumLine = FormatAlbumLine(view.album, view.year, view.genre);
  switch (view.kind) {
    case EKind::kPlaying:
      return {kPlayingAccent, "Now playing", track, albumLine};
    case EKind::kStopped:
      return {kStoppedAccent, "Not playing", track, albumLine};
    case EKind::kIdle:
      return {kStoppedAccent, "Not playing", "Nothing played yet",
              "The signature shows the next track the player reports."};
    case EKind::kWaiting:
      return {kStoppedAccent, "Velk", "Waiting for the first report",
              "Enter the user name and key in the player's Velk settings."};
    case EKind::kWrongKey:
      return {kProblemAccent, "Velk", "The player's reports carry a wrong key",
              "Paste the key from the registration page into the Velk settings."};
    case EKind::kNoAccount:
      return {kProblemAccent, "Velk", "There is no account of this name",
              "Register one on this service's registration page."};
    case EKind::kUnavailable:
      break;
  }
  return {kProblemAccent, "Velk", "Signature temporarily unavailable", "Please try again later."};
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
  cairo_surface_t* surface = nullptr;
  cairo_t* cr = nullptr;
  PangoFontMap* fontMap = nullptr;
  PangoContext* context = nullptr;
};

CRenderer::CRenderer() : m_state(std::make_unique<CState>()) {
  m_state->surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, kWidth, kHeight);
  m_state->cr = cairo_create(m_state->surface);
  // A font map of our own: the default one belongs to whichever thread asks first.
  m_state->fontMap = pango_cairo_font_map_new();
  m_state->context = pango_font_map_create_context(m_state->fontMap);
  cairo_font_options_t* options = cairo_font_options_create();
  cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
  cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_SLIGHT);
  cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_ON);
  pango_cairo_context_set_font_options(m_state->context, options);
  cairo_font_options_destroy(options);
  pango_cairo_update_context(m_state->cr, m_state->context);
}

CRenderer::~CRenderer() {
  g_object_unref(m_state->context);
  g_object_unref(m_state->fontMap);
  cairo_destroy(m_state->cr);
  cairo_surface_destroy(m_state->surface);
}

std::string CRenderer::RenderPng(const CSignatureView& view) {
  std::lock_guard<std::mutex> lock(m_mutex);
  cairo_t* cr = m_state->cr;
  PangoContext* context = m_state->context;
  pango_context_set_language(
      context, pango_language_from_string(view.language.empty() ? "en" : view.language.c_str()));
  const CTexts texts = TextsFor(view);
  const double textWidth = kWidth - kLeft - kRight;

  cairo_set_source_rgb(cr, kBackground.r, kBackground.g, kBackground.b);
  cairo_paint(cr);
  cairo_set_source_rgb(cr, texts.accent.r, texts.accent.g, texts.accent.b);
  cairo_rectangle(cr, 0, 0, 4, kHeight);
  cairo_fill(cr);

  CLine user(context, view.user, kCaptionPx, false, textWidth / 2);
  const double userWidth = view.user.empty() ? 0 : user.Width();
  if (userWidth > 0) user.Draw(cr, kWidth - kRight - userWidth, kCaptionBaseline, kMuted);
  CLine caption(context, texts.caption, kCaptionPx, true, textWidth - userWidth - 8);
  caption.Draw(cr, kLeft, kCaptionBaseline, texts.accent);

  if (view.kind == CSignatureView::EKind::kStopped) {
    // "Last played: Artist – Title · age": the track gives way to the age when space runs out.
    const std::string prefix = "Last played: ";
    CLine age(context, " \u00b7 " + view.age, kMainPx, false, 0);
    CLine main(context, prefix + texts.main, kMainPx, false, textWidth - age.Width());
    main.Emphasize(prefix.size(), prefix.size() + texts.main.size(), kText, true);
    main.Draw(cr, kLeft, kMainBaseline, kMuted);
    age.Draw(cr, kLeft + main.Width(), kMainBaseline, kMuted);
  } else {
    CLine main(context, texts.main, kMainPx, true, textWidth);
    main.Draw(cr, kLeft, kMainBaseline, kText);
  }
  CLine detail(context, texts.detail, kDetailPx, false, textWidth);
  detail.Draw(cr, kLeft, kDetailBaseline, kMuted);

  return EncodePng(m_state->surface);
}
