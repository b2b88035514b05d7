// The renderer: its fonts and surfaces, shared by every image, and one image drawn at a time.
#include "render/render.h"

#include <cairo.h>
#include <pango/pangocairo.h>

#include <chrono>
#include <vector>

#include "base/log.h"
#include "base/metrics.h"
#include "render/history_layout.h"
#include "render/now_playing.h"
#include "render/paint.h"
#include "render/png_encoding.h"
#include "render/svg_encoding.h"

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

// Notes how long one image took since `started`, and the characters of it that lacked a font.
void NoteRender(std::chrono::steady_clock::time_point started) {
  renders.Observe(
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
  if (UnknownGlyphs() > 0) {
    unknownGlyphs.Add(UnknownGlyphs());
    LogRepeated("missing glyphs", std::to_string(UnknownGlyphs()) +
                                      " characters of a signature have no installed font and "
                                      "show as boxes; install fonts-noto-core and fonts-noto-cjk");
  }
}

}  // namespace

struct CRenderer::CState {
  // One surface per template, in the order of SupportedTemplates().
  std::vector<cairo_surface_t*> surfaces;
  std::vector<cairo_t*> contexts;
  // The history signatures' surface; its context also traces glyph outlines for SVG.
  cairo_surface_t* historySurface = nullptr;
  cairo_t* history = nullptr;
  PangoFontMap* fontMap = nullptr;
  PangoContext* context = nullptr;
};

CRenderer::CRenderer() : m_state(std::make_unique<CState>()) {
  for (const CTemplateInfo& info : SupportedTemplates()) {
    m_state->surfaces.push_back(
        cairo_image_surface_create(CAIRO_FORMAT_RGB24, info.width, info.height));
    m_state->contexts.push_back(cairo_create(m_state->surfaces.back()));
  }
  m_state->historySurface =
      cairo_image_surface_create(CAIRO_FORMAT_RGB24, kHistoryWidth, kHistoryHeight);
  m_state->history = cairo_create(m_state->historySurface);
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
  cairo_destroy(m_state->history);
  cairo_surface_destroy(m_state->historySurface);
  for (cairo_t* cr : m_state->contexts) cairo_destroy(cr);
  for (cairo_surface_t* surface : m_state->surfaces) cairo_surface_destroy(surface);
}

std::string CRenderer::RenderPng(const CSignatureView& view, std::vector<CDrawnText>* drawn) {
  const auto started = std::chrono::steady_clock::now();
  std::string png = DrawPng(view, drawn);
  NoteRender(started);
  return png;
}

std::string CRenderer::DrawPng(const CSignatureView& view, std::vector<CDrawnText>* drawn) {
  ResetUnknownGlyphs();
  std::lock_guard<std::mutex> lock(m_mutex);
  const std::vector<CTemplateInfo>& templates = SupportedTemplates();
  size_t index = 0;
  while (index + 1 < templates.size() && templates[index].id != view.style.layout) ++index;
  SetLanguage(view.language);
  DrawNowPlaying(m_state->contexts[index], m_state->context, templates[index], view, drawn);
  return EncodePng(m_state->surfaces[index]);
}

std::string CRenderer::RenderHistory(const CHistoryView& view, EImageFormat format,
                                     std::vector<CDrawnText>* drawn) {
  const auto started = std::chrono::steady_clock::now();
  std::string image = DrawHistory(view, format, drawn);
  NoteRender(started);
  return image;
}

std::string CRenderer::DrawHistory(const CHistoryView& view, EImageFormat format,
                                   std::vector<CDrawnText>* drawn) {
  ResetUnknownGlyphs();
  std::lock_guard<std::mutex> lock(m_mutex);
  SetLanguage(view.language);
  const CScene scene = LayOutHistory(m_state->context, view, drawn);
  if (format == EImageFormat::kSvg) {
    std::string svg = EncodeSvg(scene, m_state->history);
    if (!svg.empty()) return svg;
    // Outlines of that many different glyphs would not fit: the SVG shows the picture instead.
    ResetUnknownGlyphs();  // PaintScene counts them again
  }
  PaintScene(m_state->history, scene);
  std::string png = EncodePng(m_state->historySurface);
  if (format == EImageFormat::kSvg && !png.empty()) {
    return SvgOfPng(png, kHistoryWidth, kHistoryHeight);
  }
  return png;
}

void CRenderer::SetLanguage(const std::string& language) {
  pango_context_set_language(
      m_state->context, pango_language_from_string(language.empty() ? "en" : language.c_str()));
}
