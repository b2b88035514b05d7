// Jobs per key (a session) one at a time or a few: the rest wait their turn, a bounded number.
#include "base/in_flight_limit.h"

bool CInFlightLimit::Start(const std::string& key, Job job) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    CKey& entry = m_keys[key];
    if (entry.running >= m_limit) {
      if (entry.waiting.size() >= m_maxWaiting) return false;
      entry.waiting.push_back(std::move(job));
      return true;
    }
    ++entry.running;
  }
  job();
  return true;
}

void CInFlightLimit::End(const std::string& key) {
  Job next;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_keys.find(key);
    if (found == m_keys.end()) return;
    CKey& entry = found->second;
    if (entry.waiting.empty()) {
      if (--entry.running == 0) m_keys.erase(found);
      return;
    }
    // The job that ended hands its place to the next one.
    next = std::move(entry.waiting.front());
    entry.waiting.pop_front();
  }
  next();
}
