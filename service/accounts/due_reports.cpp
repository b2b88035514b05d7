// The held accounts' kept reports in the order they fall due, and the wake of the thread that
// applies them.
#include "accounts/due_reports.h"

#include <chrono>
#include <iterator>

void CDueReports::Schedule(CHeldAccount& account, int64_t dueMs) {
  m_due.emplace(dueMs, &account);
  m_wake.notify_one();
}

void CDueReports::Unschedule(const CHeldAccount& account) {
  for (auto it = m_due.begin(); it != m_due.end();) {
    it = it->second == &account ? m_due.erase(it) : std::next(it);
  }
}

CHeldAccount* CDueReports::TakeDue(int64_t nowMs, int64_t* dueMs) {
  if (m_due.empty() || m_due.begin()->first > nowMs) return nullptr;
  *dueMs = m_due.begin()->first;
  CHeldAccount* account = m_due.begin()->second;
  m_due.erase(m_due.begin());
  return account;
}

std::optional<int64_t> CDueReports::NextDueMs() const {
  if (m_due.empty()) return std::nullopt;
  return m_due.begin()->first;
}

void CDueReports::WaitFor(std::unique_lock<std::mutex>& lock, int64_t ms) {
  m_wake.wait_for(lock, std::chrono::milliseconds(ms));
}

void CDueReports::Wake() { m_wake.notify_all(); }
