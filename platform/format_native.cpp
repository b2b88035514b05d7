// The bounded formatter of builds other than Windows: the C library's vsnprintf.
#include <cstdio>

#include "platform/platform.h"

std::size_t FormatBoundedV(char* out, const char* format, va_list args) {
  const int length = std::vsnprintf(out, kSystemFormatLimit, format, args);
  if (length < 0) {
    out[0] = '\0';
    return 0;
  }
  return static_cast<std::size_t>(length);
}
