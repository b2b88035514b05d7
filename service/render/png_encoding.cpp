// PNG encoding of a drawn image within the renderer's byte limit.
#include "render/png_encoding.h"

#include <png.h>

#include <csetjmp>
#include <cstdint>
#include <vector>

#include "render/render.h"

namespace {

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
bool WritePng(const unsigned char* rgb, int width, int height, int level, int filters,
              std::string* out) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (!png) return false;
  png_infop info = png_create_info_struct(png);
  if (!info || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_set_write_fn(png, out, AppendPngBytes, FlushNothing);
  png_set_compression_level(png, level);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, filters);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
               PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_BASE,
               PNG_FILTER_TYPE_BASE);
  png_write_info(png, info);
  for (int y = 0; y < height; ++y) png_write_row(png, rgb + static_cast<size_t>(y) * width * 3);
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return true;
}

}  // namespace

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
  if (!WritePng(rgb.data(), width, height, kPngCompressionLevel, PNG_FILTER_SUB, &png)) png.clear();
  if (png.size() >= kMaxPngBytes) {
    // Dense text: the slow, thorough encoding, which also lets libpng pick a filter per row.
    png.clear();
    if (!WritePng(rgb.data(), width, height, 9, PNG_ALL_FILTERS, &png)) png.clear();
  }
  if (png.size() >= kMaxPngBytes) {
    // Still too large (no text of 255 bytes a tag gets this far): grey levels quantised to 16
    // steps compress far better, and the image stays legible.
    for (unsigned char& value : rgb) value = static_cast<unsigned char>((value & 0xF0) | 0x08);
    png.clear();
    if (!WritePng(rgb.data(), width, height, 9, PNG_ALL_FILTERS, &png)) png.clear();
  }
  // The image may be cached for long: keep only the bytes it needs.
  png.shrink_to_fit();
  return png;
}
