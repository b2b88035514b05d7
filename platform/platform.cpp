// The pointer to the platform implementation in use, and the bounded formatter.
#include "platform/platform.h"

#include <cstdarg>
#include <cstdio>

namespace {
CPlatform g_platform;
}  // namespace

CPlatform& Platform() { return g_platform; }

void UsePlatform(const CPlatform& platform) { g_platform = platform; }

std::size_t FormatBounded(char* out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(out, kFormatLimit, format, args);
  va_end(args);
  if (length < 0) {
    out[0] = '\0';
    return 0;
  }
  return static_cast<std::size_t>(length);
}
