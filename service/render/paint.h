// What every layout draws with: theme colours, one line of text in the service's fonts, filled
// boxes, and the count of characters that no installed font has.
#pragma once

#include <cairo.h>
#include <pango/pangocairo.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "render/render.h"
#include "render/style.h"

struct CColor {
  double r, g, b;
};

constexpr CColor Rgb(int32_t rgb) {
  return {((rgb >> 16) & 0xFF) / 255.0, ((rgb >> 8) & 0xFF) / 255.0, (rgb & 0xFF) / 255.0};
}
int32_t ToRgb(const CColor& color);
// `a` moved the fraction `t` of the way to `b`.
CColor Mix(const CColor& a, const CColor& b, double t);

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

CPalette PaletteFor(const CSignatureStyle& style);
// `color`, or the shade of it toward the theme's text colour that is readable on `background`.
CColor Readable(const CColor& color, const CColor& background, const CPalette& palette);

// Characters that no installed font has (drawn as boxes), counted by ShowLayout on the calling
// thread since the last ResetUnknownGlyphs.
void ResetUnknownGlyphs();
size_t UnknownGlyphs();
// Draws `layout` at the current point and counts the characters it lacks a font for.
void ShowLayout(cairo_t* cr, PangoLayout* layout);
// Counts the characters of `layout` that lack a font, for layouts drawn without ShowLayout.
void CountUnknownGlyphs(PangoLayout* layout);

// One line of text in one font, ellipsized at its end when wider than `width` (0: never). Owns its
// layout.
class CLine {
 public:
  CLine(PangoContext* context, const std::string& text, double px, bool bold, double width);
  ~CLine();
  CLine(const CLine&) = delete;
  CLine& operator=(const CLine&) = delete;

  // Width of the laid-out text in pixels, after ellipsizing. An ellipsized layout's logical
  // width is the whole width it was given, so its ink decides.
  double Width() const;
  bool Ellipsized() const { return pango_layout_is_ellipsized(m_layout); }
  PangoLayout* Layout() const { return m_layout; }
  CDrawnText Drawn(double line) const {
    return {m_text, m_px, Ellipsized() ? m_width : Width(), line, Ellipsized()};
  }
  // The distance from the layout's top to its baseline, in pixels.
  double Ascent() const { return pango_layout_get_baseline(m_layout) / double(PANGO_SCALE); }

  void Draw(cairo_t* cr, double x, double baseline, const CColor& color) const;

 private:
  PangoLayout* m_layout = nullptr;
  std::string m_text;
  double m_px;
  double m_width;
};

void Fill(cairo_t* cr, const CColor& color, double x, double y, double w, double h);
// The background of a `width` x `height` image; a light one framed by a one-pixel line.
void PaintBackground(cairo_t* cr, const CPalette& palette, double width, double height);
