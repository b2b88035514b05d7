// Property checks for the fuzz targets: a failed check prints what broke and aborts, so that
// libFuzzer keeps the input as a crash and the corpus replay fails. Also how targets split an
// input into several values.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#define FUZZ_CHECK(condition)                                                               \
  do {                                                                                      \
    if (!(condition)) {                                                                     \
      std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                         \
    }                                                                                       \
  } while (0)

// `input` split at its zero bytes: one value more than it has zero bytes.
inline std::vector<std::string> SplitAtZeroBytes(std::string_view input) {
  std::vector<std::string> values(1);
  for (const char c : input) {
    if (c == '\0') {
      values.emplace_back();
    } else {
      values.back() += c;
    }
  }
  return values;
}
