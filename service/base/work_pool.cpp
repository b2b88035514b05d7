// Slow work (key hashes and their checks) on threads of its own, with a bounded queue.
#include "base/work_pool.h"

CWorkPool::CWorkPool(size_t threads, size_t maxPending) : m_maxPending(maxPending) {
  for (size_t i = 0; i < threads; ++i) m_threads.emplace_back([this] { Run(); });
}

CWorkPool::~CWorkPool() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopping = true;
  }
  m_wake.notify_all();
  for (std::thread& thread : m_threads) thread.join();
}

bool CWorkPool::Submit(Job job) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_jobs.size() >= m_maxPending) return false;
    m_jobs.push_back(std::move(job));
  }
  m_wake.notify_one();
  return true;
}

void CWorkPool::Run() {
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(m_mutex);
      m_wake.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
      if (m_jobs.empty()) return;
      job = std::move(m_jobs.front());
      m_jobs.pop_front();
    }
    job();
  }
}
