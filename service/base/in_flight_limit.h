// Jobs per key (a session) one at a time or a few: the rest wait their turn, a bounded number.
#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>

// At most `limit` jobs of one key under way at a time; up to `maxWaiting` more of that key wait,
// in order, and start as those under way end. One key's flood thus waits on itself. Thread-safe.
class CInFlightLimit {
 public:
  using Job = std::function<void()>;
  CInFlightLimit(size_t limit, size_t maxWaiting) : m_limit(limit), m_maxWaiting(maxWaiting) {}

  // Runs `job` at once on the calling thread when `key` has fewer than `limit` under way; else
  // keeps it until one of those ends. Returns false, and drops `job`, when `maxWaiting` jobs of
  // `key` wait already. Every job that runs must be ended by one End of its key.
  bool Start(const std::string& key, Job job);
  // Ends a job of `key`; the next one waiting for `key`, if any, runs now on the calling thread.
  void End(const std::string& key);

 private:
  struct CKey {
    size_t running = 0;
    std::deque<Job> waiting;
  };
  const size_t m_limit;
  const size_t m_maxWaiting;
  std::mutex m_mutex;
  std::unordered_map<std::string, CKey> m_keys;  // only keys with jobs under way
};
