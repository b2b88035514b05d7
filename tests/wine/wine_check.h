// Minimal checks for the test programs that run under Wine (no test framework is built for MinGW).
#pragma once

#include <cstdio>
#include <cstring>
#include <string>

namespace winecheck {

struct Tally {
  int passed = 0;
  int failed = 0;
};

inline Tally& Counts() {
  static Tally tally;
  return tally;
}

inline bool Record(bool ok, const char* file, int line, const std::string& what) {
  if (ok) {
    ++Counts().passed;
  } else {
    ++Counts().failed;
    std::printf("FAILED %s:%d: %s\n", file, line, what.c_str());
    std::fflush(stdout);
  }
  return ok;
}

// Prints the closing line that CI reads and returns the process exit code.
inline int Finish() {
  std::printf("%d passed, %d failed\n", Counts().passed, Counts().failed);
  std::fflush(stdout);
  return Counts().failed == 0 ? 0 : 1;
}

}  // namespace winecheck

#define CHECK(cond) winecheck::Record(static_cast<bool>(cond), __FILE__, __LINE__, #cond)
namespace winecheck {

// Each operand is evaluated once, so that checks of volatile state report what they compared.
inline bool EqualStrings(const std::string& actual, const std::string& expected, const char* file,
                         int line, const char* expression) {
  return Record(actual == expected, file, line,
                std::string(expression) + " == \"" + expected + "\" (got \"" + actual + "\")");
}

inline bool EqualNumbers(long long actual, long long expected, const char* file, int line,
                         const char* expression) {
  return Record(actual == expected, file, line,
                std::string(expression) + " (got " + std::to_string(actual) + ")");
}

}  // namespace winecheck

#define CHECK_EQ_STR(actual, expected) \
  winecheck::EqualStrings((actual), (expected), __FILE__, __LINE__, #actual)
#define CHECK_EQ_INT(actual, expected)                                                      \
  winecheck::EqualNumbers(static_cast<long long>(actual), static_cast<long long>(expected), \
                          __FILE__, __LINE__, #actual " == " #expected)
