// The pointer to the platform implementation in use, and the bounded formatter.
#include "platform/platform.h"

#include <cstdarg>

namespace {
CPlatform g_platform;
}  // namespace

CPlatform& Platform() { return g_platform; }

void UsePlatform(const CPlatform& platform) { g_platform = platform; }

std::size_t FormatBounded(char* out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::size_t length = FormatBoundedV(out, format, args);
  va_end(args);
  return length;
}
