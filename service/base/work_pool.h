// Slow work (key hashes and their checks) on threads of its own, with a bounded queue.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// Runs jobs on threads of its own so that a slow hash never stalls a network thread. The queue
// is bounded: a flood of slow work is refused instead of growing it.
class CWorkPool {
 public:
  using Job = std::function<void()>;

  CWorkPool(size_t threads, size_t maxPending);
  // Finishes the queued jobs, then joins the threads.
  ~CWorkPool();
  CWorkPool(const CWorkPool&) = delete;
  CWorkPool& operator=(const CWorkPool&) = delete;

  // Queues `job`, which runs later on a pool thread. Returns false, and never runs `job`, when
  // maxPending jobs are already waiting.
  bool Submit(Job job);

 private:
  void Run();

  const size_t m_maxPending;
  std::mutex m_mutex;
  std::condition_variable m_wake;
  std::deque<Job> m_jobs;
  bool m_stopping = false;
  std::vector<std::thread> m_threads;
};
