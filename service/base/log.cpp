// The service's error log on standard error, where a repeated error takes one line with a count.
#include "base/log.h"

#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>

namespace {

constexpr std::chrono::seconds kQuietTime(10);

struct CLogLine {
  std::chrono::steady_clock::time_point writtenAt;
  unsigned long leftOut = 0;
};

}  // namespace

void LogRepeated(const std::string& what, const std::string& detail) {
  static std::mutex mutex;
  static std::map<std::string, CLogLine> lines;  // one entry per kind of error: a short list
  const auto now = std::chrono::steady_clock::now();
  unsigned long leftOut = 0;
  {
    std::lock_guard<std::mutex> lock(mutex);
    auto [line, added] = lines.try_emplace(what);
    if (!added && now - line->second.writtenAt < kQuietTime) {
      ++line->second.leftOut;
      return;
    }
    leftOut = line->second.leftOut;
    line->second = CLogLine{now, 0};
  }
  if (leftOut == 0) {
    std::fprintf(stderr, "velk-service: %s: %s\n", what.c_str(), detail.c_str());
  } else {
    std::fprintf(stderr, "velk-service: %s: %s (and %lu more like it since the last such line)\n",
                 what.c_str(), detail.c_str(), leftOut);
  }
}
