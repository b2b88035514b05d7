// The bounded formatter: the stand-in for the system's wsprintfA.
#pragma once

#include <cstddef>

// Formats `format`, whose only conversions are "%s" and "%d", into `out`, writing at most
// kFormatLimit bytes including the terminating zero. Returns the length the whole text would have
// had, so a result of kFormatLimit or more means the text was cut.
constexpr std::size_t kFormatLimit = 1024;
std::size_t FormatBounded(char* out, const char* format, ...) __attribute__((format(printf, 2, 3)));
