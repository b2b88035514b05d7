// A drawing kept as filled boxes and placed lines of text, so that the PNG and the SVG output
// paint the same thing.
#pragma once

#include <cairo.h>

#include <memory>
#include <vector>

#include "render/paint.h"

struct CScene {
  struct CBox {
    CColor color;
    double x, y, w, h;
  };
  struct CText {
    std::unique_ptr<CLine> line;
    double x;
    double baseline;
    CColor color;
  };
  double width = 0;
  double height = 0;
  std::vector<CBox> boxes;   // painted first, in order
  std::vector<CText> texts;  // painted over the boxes, in order
};

// Paints `scene` on `cr`, a surface at least as large, counting characters that lack a font.
void PaintScene(cairo_t* cr, const CScene& scene);
