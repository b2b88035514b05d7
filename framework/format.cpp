// The bounded formatter over the C library's vsnprintf.
#include "framework/format.h"

#include <cstdarg>
#include <cstdio>

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
