// The held accounts' kept reports in the order they fall due, and the wake of the thread that
// applies them.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>

#include "accounts/held_account.h"

// The held accounts' kept reports by the steady time they are due, and the wake of the thread
// that applies them. Every member is called with CHeldAccounts::Mutex() held.
class CDueReports {
 public:
  // Queues `account`'s kept report for `dueMs` and wakes the waiting thread to look again.
  void Schedule(CHeldAccount& account, int64_t dueMs);
  void Unschedule(const CHeldAccount& account);
  // Takes the first account due at `nowMs` off the queue, with the time it was queued for; null
  // when none is due.
  CHeldAccount* TakeDue(int64_t nowMs, int64_t* dueMs);
  std::optional<int64_t> NextDueMs() const;
  // Waits on `lock` (of the mutex) at most `ms`, or until Schedule or Wake.
  void WaitFor(std::unique_lock<std::mutex>& lock, int64_t ms);
  void Wake();

 private:
  std::multimap<int64_t, CHeldAccount*> m_due;
  std::condition_variable m_wake;
};
