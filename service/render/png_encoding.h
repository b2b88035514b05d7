// PNG encoding of a drawn image within the renderer's byte limit.
#pragma once

#include <cairo.h>

#include <string>

// The PNG of an RGB24 image surface, under kMaxPngBytes: fast light compression first, then the
// thorough one, then grey levels quantised to 16 steps when the text is still too dense. Empty
// when encoding fails (out of memory).
std::string EncodePng(cairo_surface_t* surface);
