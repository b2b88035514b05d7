// The service's sources of time: wall-clock seconds for what users see, a steady clock for limits.
#pragma once

#include <chrono>
#include <cstdint>

class CClock {
 public:
  virtual ~CClock() = default;
  // Unix time in seconds: report times, ages and Last-Modified.
  virtual int64_t WallSeconds() const = 0;
  // Unix time in milliseconds: when a kept report is due, across restarts.
  virtual int64_t WallMs() const = 0;
  // Milliseconds of a clock that never jumps: rate limits.
  virtual int64_t SteadyMs() const = 0;
};

class CSystemClock : public CClock {
 public:
  int64_t WallSeconds() const override {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  }
  int64_t WallMs() const override {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  }
  int64_t SteadyMs() const override {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
};
