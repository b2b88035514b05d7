// Slow key verification off the network threads, with a bounded queue.
#include "accounts/key_verifier.h"

#include "accounts/key_hash.h"

CKeyVerifier::CKeyVerifier(size_t threads, size_t maxPending) : m_maxPending(maxPending) {
  for (size_t i = 0; i < threads; ++i) m_threads.emplace_back([this] { Run(); });
}

CKeyVerifier::~CKeyVerifier() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopping = true;
  }
  m_wake.notify_all();
  for (std::thread& thread : m_threads) thread.join();
}

bool CKeyVerifier::Submit(std::string hash, std::string key, Done done) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_jobs.size() >= m_maxPending) return false;
    m_jobs.push_back({std::move(hash), std::move(key), std::move(done)});
  }
  m_wake.notify_one();
  return true;
}

void CKeyVerifier::Run() {
  for (;;) {
    CJob job;
    {
      std::unique_lock<std::mutex> lock(m_mutex);
      m_wake.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
      if (m_jobs.empty()) return;
      job = std::move(m_jobs.front());
      m_jobs.pop_front();
    }
    job.done(VerifyKey(job.hash, job.key));
  }
}
