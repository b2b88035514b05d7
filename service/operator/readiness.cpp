// Whether the store takes a write within a time limit, for /readyz.
#include "operator/readiness.h"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

struct CReadiness::CState {
  struct CWaiting {
    std::chrono::steady_clock::time_point deadline;
    Answer answer;
  };
  CWriteQueue& queue;
  const std::chrono::milliseconds limit;
  std::mutex mutex;
  std::condition_variable wake;
  std::vector<CWaiting> waiting;
  bool checking = false;  // a check is in the store's queue
  bool finished = false;  // it has an outcome, not yet given to those waiting
  bool ready = false;
  std::string reason;
  bool stopping = false;
  std::thread thread;

  CState(CWriteQueue& q, std::chrono::milliseconds l) : queue(q), limit(l) {}

  // Starts a check when requests wait and none runs, gives outcomes and time-outs; returns when
  // stopping. The store's callback holds `self`, so the state outlives a check that never ends.
  void Run(const std::shared_ptr<CState>& self) {
    std::unique_lock<std::mutex> lock(mutex);
    while (!stopping) {
      // A check whose outcome is not given yet counts as running: those waiting take its outcome.
      if (!waiting.empty() && !checking && !finished) {
        checking = true;
        lock.unlock();
        queue.CheckReady([self](bool stored, const std::string& error) {
          std::lock_guard<std::mutex> guard(self->mutex);
          self->checking = false;
          self->finished = true;
          self->ready = stored;
          self->reason = "the database refused a write: " + error;
          self->wake.notify_all();
        });
        lock.lock();
      }
      std::vector<CWaiting> done;
      const auto now = std::chrono::steady_clock::now();
      for (auto it = waiting.begin(); it != waiting.end();) {
        if (finished || it->deadline <= now) {
          done.push_back(std::move(*it));
          it = waiting.erase(it);
        } else {
          ++it;
        }
      }
      const bool outcome = finished && ready;
      const std::string why = finished ? reason : "the database did not take a write in time";
      finished = false;
      if (!done.empty()) {
        lock.unlock();
        for (CWaiting& w : done) w.answer(outcome, outcome ? "" : why);
        lock.lock();
        continue;
      }
      if (waiting.empty()) {
        wake.wait(lock);
      } else {
        auto first = waiting.front().deadline;
        for (const CWaiting& w : waiting) first = std::min(first, w.deadline);
        wake.wait_until(lock, first);
      }
    }
    std::vector<CWaiting> left;
    left.swap(waiting);
    lock.unlock();
    for (CWaiting& w : left) w.answer(false, "the service is stopping");
  }
};

CReadiness::CReadiness(CWriteQueue& queue, std::chrono::milliseconds limit)
    : m_state(std::make_shared<CState>(queue, limit)) {
  m_state->thread = std::thread([state = m_state] { state->Run(state); });
}

CReadiness::~CReadiness() {
  {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->stopping = true;
  }
  m_state->wake.notify_all();
  m_state->thread.join();
}

void CReadiness::Check(Answer answer) {
  {
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->waiting.push_back(
        {std::chrono::steady_clock::now() + m_state->limit, std::move(answer)});
  }
  m_state->wake.notify_all();
}
