// Counting the jobs under way per key (a session), to bound how many one key may have at once.
#pragma once

#include <mutex>
#include <string>
#include <unordered_map>

// At most `limit` jobs of one key under way at a time. Thread-safe.
class CInFlightLimit {
 public:
  explicit CInFlightLimit(size_t limit) : m_limit(limit) {}

  // Counts a job of `key` and returns true; false, counting nothing, when `key` has `limit`
  // under way already. Every true must be followed by one End of the same key.
  bool Begin(const std::string& key);
  void End(const std::string& key);

 private:
  const size_t m_limit;
  std::mutex m_mutex;
  std::unordered_map<std::string, size_t> m_running;  // only keys with jobs under way
};
