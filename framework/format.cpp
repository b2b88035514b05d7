// The bounded formatter over the system's own.
#include "framework/format.h"

#include <cstdarg>

std::size_t FormatBounded(char* out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::size_t length = FormatBoundedV(out, format, args);
  va_end(args);
  return length;
}
