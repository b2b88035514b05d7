// Work that may block (database look-ups) on threads of its own, each job with a deadline.
#include "base/deadline_work.h"

#include <chrono>

CDeadlineWork::CDeadlineWork(const CClock& clock, size_t threads, size_t maxPending,
                             int64_t deadlineMs)
    : m_clock(clock), m_maxPending(maxPending), m_deadlineMs(deadlineMs) {
  for (size_t i = 0; i < threads; ++i) m_threads.emplace_back([this] { RunJobs(); });
  m_timer = std::thread([this] { RunTimer(); });
}

CDeadlineWork::~CDeadlineWork() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopping = true;
  }
  m_jobWake.notify_all();
  m_timerWake.notify_all();
  for (std::thread& thread : m_threads) thread.join();
  m_timer.join();
}

bool CDeadlineWork::Submit(std::shared_ptr<CTicket> ticket, Job job, Job late) {
  auto item = std::make_shared<CItem>();
  item->ticket = std::move(ticket);
  item->job = std::move(job);
  item->late = std::move(late);
  item->deadlineMs = m_clock.SteadyMs() + m_deadlineMs;
  bool wakeTimer = false;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stopping || m_jobs.size() >= m_maxPending) return false;
    m_jobs.push_back(item);
    wakeTimer = m_watched.empty();
    m_watched.push_back(std::move(item));
  }
  m_jobWake.notify_one();
  if (wakeTimer) m_timerWake.notify_one();
  return true;
}

bool CDeadlineWork::Watch(std::shared_ptr<CTicket> ticket, Job late) {
  auto item = std::make_shared<CItem>();
  item->ticket = std::move(ticket);
  item->late = std::move(late);
  item->deadlineMs = m_clock.SteadyMs() + m_deadlineMs;
  bool wakeTimer = false;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stopping) return false;
    wakeTimer = m_watched.empty();
    m_watched.push_back(std::move(item));
  }
  if (wakeTimer) m_timerWake.notify_one();
  return true;
}

void CDeadlineWork::RunJobs() {
  for (;;) {
    std::shared_ptr<CItem> item;
    {
      std::unique_lock<std::mutex> lock(m_mutex);
      m_jobWake.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
      if (m_stopping) return;  // the timer answers what is left
      item = std::move(m_jobs.front());
      m_jobs.pop_front();
    }
    // Answered already (its deadline passed while it waited): the work is not wanted any more.
    if (!item->ticket->Taken()) item->job();
    item->job = nullptr;
  }
}

void CDeadlineWork::RunTimer() {
  std::unique_lock<std::mutex> lock(m_mutex);
  for (;;) {
    // Answered ones leave at once; the oldest unanswered one waits for its deadline.
    while (!m_watched.empty() && m_watched.front()->ticket->Taken()) m_watched.pop_front();
    if (m_watched.empty()) {
      if (m_stopping) return;
      m_timerWake.wait(lock);
      continue;
    }
    const int64_t waitMs = m_watched.front()->deadlineMs - m_clock.SteadyMs();
    if (waitMs > 0 && !m_stopping) {
      // Wakes early now and then to let answered items go.
      m_timerWake.wait_for(lock, std::chrono::milliseconds(std::min<int64_t>(waitMs, 100)));
      continue;
    }
    std::shared_ptr<CItem> item = std::move(m_watched.front());
    m_watched.pop_front();
    lock.unlock();
    if (item->ticket->Take()) item->late();
    lock.lock();
  }
}
