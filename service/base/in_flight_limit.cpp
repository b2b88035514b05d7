// Counting the jobs under way per key (a session), to bound how many one key may have at once.
#include "base/in_flight_limit.h"

bool CInFlightLimit::Begin(const std::string& key) {
  std::lock_guard<std::mutex> lock(m_mutex);
  size_t& running = m_running[key];
  if (running >= m_limit) {
    if (running == 0) m_running.erase(key);
    return false;
  }
  ++running;
  return true;
}

void CInFlightLimit::End(const std::string& key) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto found = m_running.find(key);
  if (found != m_running.end() && --found->second == 0) m_running.erase(found);
}
