// Wrong keys and player tokens counted per client address, across every instance of a shared store.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/clock.h"
#include "base/event_limit.h"
#include "storage/store.h"

// Allows at most `perMinute` wrong keys and tokens from one client address in any minute. A
// shared store counts every instance's attempts, so the bound holds whichever instance answers.
// Only the address pays: nothing here is kept per account, so attempts from one address never
// refuse the right key from another. An address found over its bound is remembered here until
// its wait ends, so a flood from it is refused from memory without asking the database.
// Thread-safe.
class CWrongAttempts {
 public:
  CWrongAttempts(CStore& store, const CClock& clock, size_t perMinute);

  // 0 while one more attempt from `address` may be checked, else the milliseconds until one may.
  // Asks a shared store unless the address is known to be over its bound. Throws CStoreError.
  int64_t WaitMs(const std::string& address);
  // Counts a wrong attempt from `address` now. Throws CStoreError (a shared store counts).
  void Count(const std::string& address);

 private:
  // The wait that `times` (the address's attempts in the last minute, oldest first, Unix ms)
  // impose; remembers it for the address when there is one.
  int64_t Impose(const std::string& address, const std::vector<int64_t>& times);

  CStore& m_store;
  const CClock& m_clock;
  const size_t m_perMinute;
  CEventLimit m_here;  // this instance's own attempts: the bound of a store of one process
  std::mutex m_mutex;
  std::unordered_map<std::string, int64_t> m_blockedUntil;  // steady ms, by address
};
