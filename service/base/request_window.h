// Counting requests per key (a client address) in fixed windows of the steady clock, to limit
// them and to tell each client how many it has left and when its window ends.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

#include "base/clock.h"

// Allows `limit` requests per key in each window of `windowMs`. Windows begin at multiples of
// `windowMs` on the steady clock, the same for every key, so that a window's end is known
// without its key. Memory: one count per key seen in the current window, at most `maxKeys`
// (about 100 bytes each); keys beyond that share one count. All counts are dropped when a window
// ends. Thread-safe.
class CRequestWindow {
 public:
  struct CState {
    size_t limit = 0;
    size_t remaining = 0;   // requests the key may still make in this window
    int64_t resetInMs = 0;  // until this window ends, 1 to windowMs
    bool allowed = false;   // Take: whether the request was counted, within the limit
  };

  CRequestWindow(const CClock& clock, size_t limit, int64_t windowMs, size_t maxKeys = 65536);

  // Counts a request of `key` now unless the key's window is full (then `allowed` is false and
  // nothing is counted).
  CState Take(const std::string& key);
  // Where `key` stands now, counting nothing.
  CState Peek(const std::string& key);
  // The window as every key sees it, for a client not known: its limit and end, 0 remaining.
  CState Unknown();

 private:
  // Starts a new window when the clock has passed the current one; returns the time now.
  int64_t Roll();
  // The count of `key`: its own, or the shared one of keys beyond `m_maxKeys`; null when the key
  // has none yet and `create` is false.
  size_t* Count(const std::string& key, bool create);
  CState State(size_t used, int64_t nowMs) const;

  const CClock& m_clock;
  const size_t m_limit;
  const int64_t m_windowMs;
  const size_t m_maxKeys;
  std::mutex m_mutex;
  int64_t m_window = INT64_MIN;  // the current window's number
  std::unordered_map<std::string, size_t> m_counts;
  size_t m_shared = 0;  // the count of the keys beyond `m_maxKeys`
};
