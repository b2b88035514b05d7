// The bounded formatter over the system's wvsprintfA (user32), which writes at most 1,024 bytes.
#include <windows.h>

#include <cstring>

#include "platform/platform.h"

static_assert(kSystemFormatLimit == 1024, "wvsprintfA writes at most 1,024 bytes");

namespace {

// Decimal digits of `value`, with its sign.
std::size_t DecimalLength(int value) {
  std::size_t length = value < 0 ? 2 : 1;
  for (long long rest = value < 0 ? -static_cast<long long>(value) : value; rest >= 10;
       rest /= 10) {
    ++length;
  }
  return length;
}

// The length the text of `format` would have with `args` uncut, as wvsprintfA writes "%s" (a
// null text as "(null)"), "%d" and "%%"; anything else after a "%" stands for itself.
std::size_t FullLength(const char* format, va_list args) {
  std::size_t length = 0;
  for (const char* at = format; *at != '\0'; ++at) {
    if (at[0] != '%' || at[1] == '\0') {
      ++length;
      continue;
    }
    ++at;
    if (*at == 's') {
      const char* text = va_arg(args, const char*);
      length += text != nullptr ? std::strlen(text) : std::strlen("(null)");
    } else if (*at == 'd') {
      length += DecimalLength(va_arg(args, int));
    } else {
      ++length;
    }
  }
  return length;
}

}  // namespace

std::size_t FormatBoundedV(char* out, const char* format, va_list args) {
  va_list counting;
  va_copy(counting, args);
  const int written = wvsprintfA(out, format, args);
  const std::size_t length = FullLength(format, counting);
  va_end(counting);
  // Whatever the system reports for a cut text, the terminator stands within the limit.
  const std::size_t end = written < 0 ? 0 : static_cast<std::size_t>(written);
  out[end < kSystemFormatLimit - 1 ? end : kSystemFormatLimit - 1] = '\0';
  return length;
}
