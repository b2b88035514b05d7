// Wrong keys and player tokens per client address: counted in the store, refused from memory.
#include "accounts/wrong_attempts.h"

#include <algorithm>

namespace {

constexpr int64_t kMinuteMs = 60000;
// Addresses remembered as over their bound before the expired ones are swept out.
constexpr size_t kSweepAt = 4096;

}  // namespace

CWrongAttempts::CWrongAttempts(CStore& store, const CClock& clock, size_t perMinute)
    : m_store(store), m_clock(clock), m_perMinute(perMinute), m_here(clock, perMinute, kMinuteMs) {}

int64_t CWrongAttempts::WaitMs(const std::string& address) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto blocked = m_blockedUntil.find(address);
    if (blocked != m_blockedUntil.end()) {
      const int64_t left = blocked->second - m_clock.SteadyMs();
      if (left > 0) return left;
      m_blockedUntil.erase(blocked);
    }
  }
  if (const int64_t waitMs = m_here.WaitMs(address)) return waitMs;
  if (!m_store.Shared()) return 0;
  return Impose(address, m_store.Limits().FailedAttempts(address, m_clock.WallMs() - kMinuteMs));
}

void CWrongAttempts::Count(const std::string& address) {
  m_here.Add(address);
  if (!m_store.Shared()) return;
  const int64_t nowMs = m_clock.WallMs();
  Impose(address, m_store.Limits().AddFailedAttempt(address, nowMs, nowMs - kMinuteMs));
}

int64_t CWrongAttempts::Impose(const std::string& address, const std::vector<int64_t>& times) {
  if (times.size() < m_perMinute) return 0;
  const int64_t waitMs =
      m_perMinute == 0
          ? kMinuteMs
          : std::max<int64_t>(1, times[times.size() - m_perMinute] + kMinuteMs - m_clock.WallMs());
  const int64_t until = m_clock.SteadyMs() + waitMs;
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_blockedUntil.size() >= kSweepAt) {
    const int64_t now = m_clock.SteadyMs();
    for (auto it = m_blockedUntil.begin(); it != m_blockedUntil.end();)
      it = it->second <= now ? m_blockedUntil.erase(it) : std::next(it);
  }
  int64_t& blocked = m_blockedUntil[address];
  blocked = std::max(blocked, until);
  return waitMs;
}
