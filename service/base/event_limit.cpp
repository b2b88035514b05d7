// Counting events per key (an account, a client address) in a sliding window, to limit them.
#include "base/event_limit.h"

#include <algorithm>

CEventLimit::CEventLimit(const CClock& clock, size_t limit, int64_t windowMs)
    : m_clock(clock), m_limit(limit), m_windowMs(windowMs) {}

void CEventLimit::Age(std::deque<int64_t>& events, int64_t nowMs) const {
  while (!events.empty() && nowMs - events.front() >= m_windowMs) events.pop_front();
}

int64_t CEventLimit::WaitMs(const std::string& key) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto found = m_events.find(key);
  if (found == m_events.end()) return m_limit > 0 ? 0 : m_windowMs;
  const int64_t nowMs = m_clock.SteadyMs();
  std::deque<int64_t>& events = found->second;
  Age(events, nowMs);
  if (events.size() < m_limit) return 0;
  if (events.empty()) return m_windowMs;  // a limit of 0 allows nothing
  return std::max<int64_t>(1, events[events.size() - m_limit] + m_windowMs - nowMs);
}

void CEventLimit::Add(const std::string& key) {
  std::lock_guard<std::mutex> lock(m_mutex);
  const int64_t nowMs = m_clock.SteadyMs();
  std::deque<int64_t>& events = m_events[key];
  Age(events, nowMs);
  events.push_back(nowMs);
  while (events.size() > std::max<size_t>(m_limit, 1)) events.pop_front();
  if (m_events.size() >= m_sweepAt) ForgetIdleKeys(nowMs);
}

void CEventLimit::ForgetIdleKeys(int64_t nowMs) {
  for (auto it = m_events.begin(); it != m_events.end();) {
    Age(it->second, nowMs);
    it = it->second.empty() ? m_events.erase(it) : std::next(it);
  }
  // Sweeps cost linear time, so they come only after the map has doubled.
  m_sweepAt = std::max<size_t>(1024, m_events.size() * 2);
}
