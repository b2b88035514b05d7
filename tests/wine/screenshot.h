// Screenshots of windows for people to look at: the screen's pixels under a window, saved as PNG.
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace screenshot {

// A PNG writer (stored deflate blocks, no compression).

inline std::uint32_t Crc32(const std::string& bytes) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char c : bytes) {
    crc ^= c;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

inline void PutBigEndian(std::string& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>(value >> shift & 0xFF);
}

inline void PutChunk(std::string& out, const char* type, const std::string& data) {
  PutBigEndian(out, static_cast<std::uint32_t>(data.size()));
  const std::string body = std::string(type, 4) + data;
  out += body;
  PutBigEndian(out, Crc32(body));
}

// `rgb` holds `height` top-down rows of `width` RGB pixels.
inline std::string EncodePng(int width, int height, const std::string& rgb) {
  std::string raw;
  for (int y = 0; y < height; ++y) {
    raw += '\0';  // filter: none
    raw += rgb.substr(static_cast<std::size_t>(y) * width * 3, static_cast<std::size_t>(width) * 3);
  }
  std::string zlib = "\x78\x01";
  for (std::size_t at = 0; at < raw.size() || at == 0; at += 65535) {
    const std::size_t n = raw.size() - at < 65535 ? raw.size() - at : 65535;
    zlib += static_cast<char>(at + n >= raw.size() ? 1 : 0);
    zlib += static_cast<char>(n & 0xFF);
    zlib += static_cast<char>(n >> 8);
    zlib += static_cast<char>(~n & 0xFF);
    zlib += static_cast<char>((~n >> 8) & 0xFF);
    zlib += raw.substr(at, n);
  }
  std::uint32_t a = 1;
  std::uint32_t b = 0;
  for (unsigned char c : raw) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  PutBigEndian(zlib, b << 16 | a);
  std::string header;
  PutBigEndian(header, static_cast<std::uint32_t>(width));
  PutBigEndian(header, static_cast<std::uint32_t>(height));
  header += std::string("\x08\x02\x00\x00\x00", 5);  // 8-bit RGB, no interlace
  std::string png = "\x89PNG\r\n\x1a\n";
  PutChunk(png, "IHDR", header);
  PutChunk(png, "IDAT", zlib);
  PutChunk(png, "IEND", "");
  return png;
}

// Copies the window's area of the screen into the PNG file `path`. Returns the number of distinct
// colours seen (a blank capture has one or two), or 0 on failure.
inline int SaveWindow(HWND window, const std::string& path) {
  RECT rect{};
  GetWindowRect(window, &rect);
  const int width = rect.right - rect.left;
  const int height = rect.bottom - rect.top;
  if (width <= 0 || height <= 0) return 0;
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // top-down
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
  GdiFlush();
  std::string rgb;
  std::vector<std::uint32_t> colours;
  const auto* pixels = static_cast<const std::uint32_t*>(bits);
  for (int i = 0; i < width * height; ++i) {
    const std::uint32_t p = pixels[i] & 0xFFFFFF;
    rgb += static_cast<char>(p >> 16 & 0xFF);
    rgb += static_cast<char>(p >> 8 & 0xFF);
    rgb += static_cast<char>(p & 0xFF);
    if (colours.size() < 64 && std::find(colours.begin(), colours.end(), p) == colours.end()) {
      colours.push_back(p);
    }
  }
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);

  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return 0;
  const std::string png = EncodePng(width, height, rgb);
  const bool written = std::fwrite(png.data(), 1, png.size(), file) == png.size();
  std::fclose(file);
  if (!written) return 0;
  std::printf("screenshot: %s (%dx%d)\n", path.c_str(), width, height);
  return static_cast<int>(colours.size());
}

}  // namespace screenshot
