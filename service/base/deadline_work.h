// Work that may block (database look-ups) on threads of its own, each job with a deadline.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "base/clock.h"

// Runs jobs on threads of its own so that a database that hangs never holds a network thread,
// and gives each job a deadline: a job whose ticket is still untaken `deadlineMs` after it was
// submitted has its fallback run instead, on the pool's timer thread; if it has not started by
// then, it never runs. The queue is bounded.
class CDeadlineWork {
 public:
  // Decides who answers: the job (when it finishes in time) or the fallback; the first to take
  // the ticket. Any thread.
  class CTicket {
   public:
    bool Take() { return !m_taken.exchange(true, std::memory_order_acq_rel); }
    bool Taken() const { return m_taken.load(std::memory_order_acquire); }

   private:
    std::atomic<bool> m_taken{false};
  };
  using Job = std::function<void()>;

  CDeadlineWork(const CClock& clock, size_t threads, size_t maxPending, int64_t deadlineMs);
  // Runs the fallbacks of the jobs still untaken, then joins the threads; a job under way is
  // waited for.
  ~CDeadlineWork();
  CDeadlineWork(const CDeadlineWork&) = delete;
  CDeadlineWork& operator=(const CDeadlineWork&) = delete;

  // Queues `job`; `late` runs if `ticket` is still untaken at the deadline. Returns false, and
  // runs neither, when maxPending jobs are waiting already.
  bool Submit(std::shared_ptr<CTicket> ticket, Job job, Job late);
  // Only the deadline, for work under way elsewhere: `late` runs if `ticket` is still untaken at
  // the deadline. Returns false, and `late` never runs, once the pool is stopping.
  bool Watch(std::shared_ptr<CTicket> ticket, Job late);

 private:
  struct CItem {
    std::shared_ptr<CTicket> ticket;
    Job job;
    Job late;
    int64_t deadlineMs = 0;
  };
  void RunJobs();
  void RunTimer();

  const CClock& m_clock;
  const size_t m_maxPending;
  const int64_t m_deadlineMs;
  std::mutex m_mutex;
  std::condition_variable m_jobWake;
  std::condition_variable m_timerWake;
  std::deque<std::shared_ptr<CItem>> m_jobs;     // waiting to start
  std::deque<std::shared_ptr<CItem>> m_watched;  // by deadline: the deadline is the same for all
  bool m_stopping = false;
  std::vector<std::thread> m_threads;
  std::thread m_timer;
};
