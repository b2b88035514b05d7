// The now-playing layouts: card, banner and userbar, each drawn from one signature view.
#pragma once

#include <cairo.h>
#include <pango/pango.h>

#include <vector>

#include "render/render.h"

// Draws `view` on `cr`, a surface of the size of `info`, its template; texts are laid out with
// `context`, whose language the caller has set. `drawn`, when given, receives every text drawn.
void DrawNowPlaying(cairo_t* cr, PangoContext* context, const CTemplateInfo& info,
                    const CSignatureView& view, std::vector<CDrawnText>* drawn);
