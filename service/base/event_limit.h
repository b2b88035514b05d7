// Counting events per key (an account, a client address) in a sliding window, to limit them.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

#include "base/clock.h"

// Allows at most `limit` events per key in any `windowMs` milliseconds of the steady clock. Keeps
// the times of at most `limit` events per key, and forgets keys whose events have all aged out.
// Thread-safe.
class CEventLimit {
 public:
  CEventLimit(const CClock& clock, size_t limit, int64_t windowMs);

  // 0 when one more event of `key` is allowed now; else the milliseconds until it is.
  int64_t WaitMs(const std::string& key);
  // Counts an event of `key` now.
  void Add(const std::string& key);

 private:
  // Drops the times of `events` older than the window.
  void Age(std::deque<int64_t>& events, int64_t nowMs) const;
  void ForgetIdleKeys(int64_t nowMs);

  const CClock& m_clock;
  const size_t m_limit;
  const int64_t m_windowMs;
  std::mutex m_mutex;
  std::unordered_map<std::string, std::deque<int64_t>> m_events;
  size_t m_sweepAt = 1024;  // the key count at which idle keys are next looked for
};
