// SVG output of a scene: boxes as rectangles, text as glyph outlines, nothing fetched or run.
#include "render/svg_encoding.h"

#include <pango/pangocairo.h>
#include <sodium.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <utility>

#include "render/render.h"

// The picture of an SVG that outlines would make too large fits: base64 takes 4 bytes for 3.
static_assert(kMaxPngBytes / 3 * 4 + 4 + 512 < kMaxSvgBytes);

namespace {

// A coordinate in tenths of a pixel.
long Tenths(double value) { return std::lround(value * 10); }

// `tenths` as the shortest decimal SVG reads: "12", "1.5", ".5", "-.5".
std::string Decimal(long tenths) {
  std::string text = tenths < 0 ? "-" : "";
  const long magnitude = std::labs(tenths);
  if (magnitude >= 10 || magnitude == 0) text += std::to_string(magnitude / 10);
  if (magnitude % 10) text += "." + std::to_string(magnitude % 10);
  return text;
}

std::string HexColor(const CColor& color) {
  char text[8];
  std::snprintf(text, sizeof text, "#%06x", static_cast<unsigned>(ToRgb(color)));
  return text;
}

// Path data with relative commands, implicit repeats and the separators it needs only.
class CPathData {
 public:
  void MoveTo(long x, long y) {
    m_pendingX = x;
    m_pendingY = y;
    m_pendingMove = true;
  }
  void LineTo(long x, long y) {
    Flush();
    if (y == m_y) {
      Command('h', {x - m_x});
    } else if (x == m_x) {
      Command('v', {y - m_y});
    } else {
      Command('l', {x - m_x, y - m_y});
    }
    m_x = x;
    m_y = y;
  }
  void CurveTo(long x1, long y1, long x2, long y2, long x, long y) {
    Flush();
    Command('c', {x1 - m_x, y1 - m_y, x2 - m_x, y2 - m_y, x - m_x, y - m_y});
    m_x = x;
    m_y = y;
  }
  void Close() {
    m_text += 'z';
    m_last = 'z';
    m_x = m_startX;
    m_y = m_startY;
  }
  const std::string& Text() const { return m_text; }

 private:
  // The move waits for something drawn, since cairo ends each closed outline with a move.
  void Flush() {
    if (!m_pendingMove) return;
    m_pendingMove = false;
    Command('m', {m_pendingX - m_x, m_pendingY - m_y});
    m_x = m_startX = m_pendingX;
    m_y = m_startY = m_pendingY;
  }
  void Command(char letter, std::initializer_list<long> values) {
    // A repeated command goes without its letter, except after a move (that repeat means "l").
    if (letter != m_last || letter == 'm') {
      m_text += letter;
      m_afterNumberWithDot = false;
      m_afterLetter = true;
    }
    m_last = letter;
    for (long value : values) {
      const std::string number = Decimal(value);
      const bool joins = number[0] == '-' || (number[0] == '.' && m_afterNumberWithDot);
      if (!m_afterLetter && !joins) m_text += ' ';
      m_text += number;
      m_afterNumberWithDot = number.find('.') != std::string::npos;
      m_afterLetter = false;
    }
  }

  std::string m_text;
  char m_last = 0;
  bool m_afterLetter = true;
  bool m_afterNumberWithDot = false;
  long m_x = 0, m_y = 0, m_startX = 0, m_startY = 0;
  long m_pendingX = 0, m_pendingY = 0;
  bool m_pendingMove = false;
};

// The outline of one glyph of `font` at the origin; empty for blanks.
std::string GlyphOutline(cairo_t* scratch, cairo_scaled_font_t* font, unsigned long index) {
  cairo_new_path(scratch);
  cairo_set_scaled_font(scratch, font);
  cairo_glyph_t glyph = {index, 0, 0};
  cairo_glyph_path(scratch, &glyph, 1);
  cairo_path_t* path = cairo_copy_path(scratch);
  cairo_new_path(scratch);
  CPathData data;
  for (int i = 0; path->status == CAIRO_STATUS_SUCCESS && i < path->num_data;
       i += path->data[i].header.length) {
    const cairo_path_data_t* point = &path->data[i + 1];
    auto x = [&](int k) { return Tenths(point[k].point.x); };
    auto y = [&](int k) { return Tenths(point[k].point.y); };
    switch (path->data[i].header.type) {
      case CAIRO_PATH_MOVE_TO:
        data.MoveTo(x(0), y(0));
        break;
      case CAIRO_PATH_LINE_TO:
        data.LineTo(x(0), y(0));
        break;
      case CAIRO_PATH_CURVE_TO:
        data.CurveTo(x(0), y(0), x(1), y(1), x(2), y(2));
        break;
      case CAIRO_PATH_CLOSE_PATH:
        data.Close();
        break;
    }
  }
  cairo_path_destroy(path);
  return data.Text();
}

// Writes the document: the glyph outlines go into <defs> as they are first met, the uses into
// the body.
class CSvgWriter {
 public:
  explicit CSvgWriter(cairo_t* scratch) : m_scratch(scratch) {}

  void Box(const CScene::CBox& box) {
    m_body += "<rect x=\"" + Decimal(Tenths(box.x)) + "\" y=\"" + Decimal(Tenths(box.y)) +
              "\" width=\"" + Decimal(Tenths(box.w)) + "\" height=\"" + Decimal(Tenths(box.h)) +
              "\" fill=\"" + HexColor(box.color) + "\"/>";
  }

  // The glyphs of one line of text, in its colour.
  void Text(const CScene::CText& text) {
    CountUnknownGlyphs(text.line->Layout());
    PangoLayoutIter* iter = pango_layout_get_iter(text.line->Layout());
    const double top = text.baseline - text.line->Ascent();
    m_body += "<g fill=\"" + HexColor(text.color) + "\">";
    do {
      PangoGlyphItem* run = pango_layout_iter_get_run_readonly(iter);
      if (!run) continue;
      PangoRectangle extents;
      pango_layout_iter_get_run_extents(iter, nullptr, &extents);
      const double baseline = top + pango_layout_iter_get_baseline(iter) / double(PANGO_SCALE);
      Run(run, text.x + extents.x / double(PANGO_SCALE), baseline);
    } while (pango_layout_iter_next_run(iter));
    pango_layout_iter_free(iter);
    m_body += "</g>";
  }

  std::string Document(double width, double height) const {
    const std::string w = Decimal(Tenths(width)), h = Decimal(Tenths(height));
    return "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + w + "\" height=\"" + h +
           "\" viewBox=\"0 0 " + w + " " + h + "\"><defs>" + m_defs + "</defs>" + m_body + "</svg>";
  }

 private:
  void Run(PangoGlyphItem* run, double x, double baseline) {
    auto* font = PANGO_CAIRO_FONT(run->item->analysis.font);
    cairo_scaled_font_t* scaled = font ? pango_cairo_font_get_scaled_font(font) : nullptr;
    const PangoGlyphString* glyphs = run->glyphs;
    for (int i = 0; i < glyphs->num_glyphs; ++i) {
      const PangoGlyphInfo& info = glyphs->glyphs[i];
      const double at = x + info.geometry.x_offset / double(PANGO_SCALE);
      x += info.geometry.width / double(PANGO_SCALE);
      if (!scaled || (info.glyph & PANGO_GLYPH_UNKNOWN_FLAG) || info.glyph == PANGO_GLYPH_EMPTY) {
        continue;
      }
      const std::string& id = GlyphId(scaled, info.glyph);
      if (id.empty()) continue;
      m_body += "<use href=\"#" + id + "\" x=\"" + Decimal(Tenths(at)) + "\" y=\"" +
                Decimal(Tenths(baseline + info.geometry.y_offset / double(PANGO_SCALE))) + "\"/>";
    }
  }

  // The id of the glyph's outline, defined on first use; empty for a glyph without ink.
  const std::string& GlyphId(cairo_scaled_font_t* font, PangoGlyph glyph) {
    auto [it, added] = m_ids.try_emplace({font, glyph});
    if (added) {
      const std::string outline = GlyphOutline(m_scratch, font, glyph);
      if (!outline.empty()) {
        it->second = "g" + std::to_string(m_ids.size());
        m_defs += "<path id=\"" + it->second + "\" d=\"" + outline + "\"/>";
      }
    }
    return it->second;
  }

  cairo_t* m_scratch;
  std::map<std::pair<cairo_scaled_font_t*, PangoGlyph>, std::string> m_ids;
  std::string m_defs;
  std::string m_body;
};

}  // namespace

std::string EncodeSvg(const CScene& scene, cairo_t* scratch) {
  CSvgWriter writer(scratch);
  for (const CScene::CBox& box : scene.boxes) writer.Box(box);
  for (const CScene::CText& text : scene.texts) writer.Text(text);
  std::string svg = writer.Document(scene.width, scene.height);
  if (svg.size() >= kMaxSvgBytes) return "";
  return svg;
}

std::string SvgOfPng(const std::string& png, int width, int height) {
  std::string base64(sodium_base64_encoded_len(png.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(base64.data(), base64.size(),
                    reinterpret_cast<const unsigned char*>(png.data()), png.size(),
                    sodium_base64_VARIANT_ORIGINAL);
  base64.pop_back();  // the terminating zero
  const std::string w = std::to_string(width), h = std::to_string(height);
  return "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + w + "\" height=\"" + h +
         "\" viewBox=\"0 0 " + w + " " + h + "\"><image width=\"" + w + "\" height=\"" + h +
         "\" href=\"data:image/png;base64," + base64 + "\"/></svg>";
}
