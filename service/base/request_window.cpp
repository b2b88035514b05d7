// Counting requests per key (a client address) in fixed windows of the steady clock.
#include "base/request_window.h"

#include <algorithm>

CRequestWindow::CRequestWindow(const CClock& clock, size_t limit, int64_t windowMs, size_t maxKeys)
    : m_clock(clock),
      m_limit(limit),
      m_windowMs(std::max<int64_t>(1, windowMs)),
      m_maxKeys(maxKeys) {}

int64_t CRequestWindow::Roll() {
  const int64_t nowMs = m_clock.SteadyMs();
  const int64_t window = nowMs / m_windowMs;
  if (window != m_window) {
    m_window = window;
    m_counts.clear();
    m_shared = 0;
  }
  return nowMs;
}

size_t* CRequestWindow::Count(const std::string& key, bool create) {
  auto found = m_counts.find(key);
  if (found != m_counts.end()) return &found->second;
  if (m_counts.size() >= m_maxKeys) return &m_shared;
  return create ? &m_counts[key] : nullptr;
}

CRequestWindow::CState CRequestWindow::State(size_t used, int64_t nowMs) const {
  CState state;
  state.limit = m_limit;
  state.remaining = m_limit - std::min(used, m_limit);
  state.resetInMs = (m_window + 1) * m_windowMs - nowMs;
  return state;
}

CRequestWindow::CState CRequestWindow::Take(const std::string& key) {
  std::lock_guard<std::mutex> lock(m_mutex);
  const int64_t nowMs = Roll();
  size_t* count = Count(key, true);
  const bool allowed = *count < m_limit;
  if (allowed) ++*count;
  CState state = State(*count, nowMs);
  state.allowed = allowed;
  return state;
}

CRequestWindow::CState CRequestWindow::Peek(const std::string& key) {
  std::lock_guard<std::mutex> lock(m_mutex);
  const int64_t nowMs = Roll();
  const size_t* count = Count(key, false);
  return State(count ? *count : 0, nowMs);
}

CRequestWindow::CState CRequestWindow::Unknown() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return State(m_limit, Roll());
}
