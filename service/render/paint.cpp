// What every layout draws with: theme colours, lines of text, boxes, and missing glyphs counted.
#include "render/paint.h"

#include <cmath>

namespace {

// Characters of the image being rendered that no installed font has (drawn as boxes): counted
// while drawing, on the rendering thread.
thread_local size_t t_unknownGlyphs = 0;

constexpr char kFontFamilies[] = "Noto Sans, DejaVu Sans, sans-serif";

const CPalette kDarkPalette = {Rgb(0x1E2330), Rgb(0xF5F7FC), Rgb(0xA9B1C1), Rgb(0x4FC3F7),
                               Rgb(0x8A93A6), Rgb(0xF0A04B), false,         Rgb(0x1E2330)};
const CPalette kLightPalette = {Rgb(0xF7F8FA), Rgb(0x1B2230), Rgb(0x5B6476), Rgb(0x0A7BBF),
                                Rgb(0x8A93A6), Rgb(0xD9822B), true,          Rgb(0xD3D8E0)};

}  // namespace

int32_t ToRgb(const CColor& color) {
  auto channel = [](double c) { return static_cast<int32_t>(std::lround(c * 255)); };
  return channel(color.r) << 16 | channel(color.g) << 8 | channel(color.b);
}

CColor Mix(const CColor& a, const CColor& b, double t) {
  return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}

CPalette PaletteFor(const CSignatureStyle& style) {
  CPalette palette = style.theme == ETheme::kLight ? kLightPalette : kDarkPalette;
  if (style.accent >= 0) palette.playing = Rgb(style.accent);
  return palette;
}

CColor Readable(const CColor& color, const CColor& background, const CPalette& palette) {
  return Rgb(ReadableOn(ToRgb(color), ToRgb(background), ToRgb(palette.text)));
}

void ResetUnknownGlyphs() { t_unknownGlyphs = 0; }

size_t UnknownGlyphs() { return t_unknownGlyphs; }

void CountUnknownGlyphs(PangoLayout* layout) {
  t_unknownGlyphs += static_cast<size_t>(pango_layout_get_unknown_glyphs_count(layout));
}

void ShowLayout(cairo_t* cr, PangoLayout* layout) {
  CountUnknownGlyphs(layout);
  pango_cairo_show_layout(cr, layout);
}

CLine::CLine(PangoContext* context, const std::string& text, double px, bool bold, double width)
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

CLine::~CLine() { g_object_unref(m_layout); }

double CLine::Width() const {
  if (Ellipsized()) {
    PangoRectangle ink;
    pango_layout_get_pixel_extents(m_layout, &ink, nullptr);
    return ink.x + ink.width + 1;
  }
  int w = 0, h = 0;
  pango_layout_get_pixel_size(m_layout, &w, &h);
  return w;
}

void CLine::Draw(cairo_t* cr, double x, double baseline, const CColor& color) const {
  cairo_set_source_rgb(cr, color.r, color.g, color.b);
  cairo_move_to(cr, x, baseline - Ascent());
  ShowLayout(cr, m_layout);
}

void Fill(cairo_t* cr, const CColor& color, double x, double y, double w, double h) {
  cairo_set_source_rgb(cr, color.r, color.g, color.b);
  cairo_rectangle(cr, x, y, w, h);
  cairo_fill(cr);
}

void PaintBackground(cairo_t* cr, const CPalette& palette, double width, double height) {
  Fill(cr, palette.border ? palette.frame : palette.background, 0, 0, width, height);
  if (palette.border) Fill(cr, palette.background, 1, 1, width - 2, height - 2);
}
