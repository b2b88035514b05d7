// The bounded formatter: the stand-in for the system's wsprintfA.
#pragma once

#include <cstddef>

#include "platform/platform.h"

// Formats `format`, whose only conversions are "%s" and "%d", into `out`, writing at most
// kFormatLimit bytes including the terminating zero. Returns the length the whole text would have
// had, so a result of kFormatLimit or more means the text was cut. Runs on the system's formatter
// (FormatBoundedV of the seam).
constexpr std::size_t kFormatLimit = kSystemFormatLimit;
std::size_t FormatBounded(char* out, const char* format, ...) __attribute__((format(printf, 2, 3)));
