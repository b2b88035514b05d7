// A drawing kept as boxes and lines of text, painted with cairo.
#include "render/scene.h"

void PaintScene(cairo_t* cr, const CScene& scene) {
  for (const CScene::CBox& box : scene.boxes) Fill(cr, box.color, box.x, box.y, box.w, box.h);
  for (const CScene::CText& text : scene.texts) {
    text.line->Draw(cr, text.x, text.baseline, text.color);
  }
}
