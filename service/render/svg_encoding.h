// SVG output of a scene: boxes as rectangles, text as glyph outlines, nothing fetched or run.
#pragma once

#include <cairo.h>

#include <string>

#include "render/scene.h"

// The SVG of `scene` with every glyph drawn as an outline (defined once, used where it stands),
// coordinates to a tenth of a pixel; no text elements, scripts, styles or references outside the
// document. Empty when it would take kMaxSvgBytes or more. `scratch` is a cairo context whose
// path this takes glyph outlines through (its path is cleared); it must have the transformation
// the scene's texts were laid out for.
std::string EncodeSvg(const CScene& scene, cairo_t* scratch);

// An SVG that shows `png`, a PNG of `width` x `height`, embedded as data.
std::string SvgOfPng(const std::string& png, int width, int height);
