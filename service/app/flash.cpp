// One-time results of the account page's forms, held for the GET that follows their redirect.
#include "app/flash.h"

#include "app/sessions.h"

namespace {

constexpr int64_t kFlashLifeMs = 10 * 60 * 1000;

}  // namespace

CFlashes::CFlashes(const CClock& clock, size_t maxFlashes)
    : m_clock(clock), m_maxFlashes(maxFlashes == 0 ? 1 : maxFlashes) {}

std::string CFlashes::Put(CFlash flash) {
  const std::string id = CSessions::NewNonce();
  const int64_t nowMs = m_clock.SteadyMs();
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_flashes.size() >= m_maxFlashes) {
    // Expired ones go first; when none has, the oldest.
    auto oldest = m_flashes.begin();
    for (auto it = m_flashes.begin(); it != m_flashes.end();) {
      if (nowMs - it->second.putMs >= kFlashLifeMs) {
        it = m_flashes.erase(it);
        continue;
      }
      if (it->second.putMs < oldest->second.putMs) oldest = it;
      ++it;
    }
    if (m_flashes.size() >= m_maxFlashes) m_flashes.erase(oldest);
  }
  m_flashes[id] = {std::move(flash), nowMs};
  return id;
}

std::optional<CFlash> CFlashes::Take(std::string_view id) {
  if (id.empty()) return std::nullopt;
  std::lock_guard<std::mutex> lock(m_mutex);
  auto found = m_flashes.find(std::string(id));
  if (found == m_flashes.end()) return std::nullopt;
  CEntry entry = std::move(found->second);
  m_flashes.erase(found);
  if (m_clock.SteadyMs() - entry.putMs >= kFlashLifeMs) return std::nullopt;
  return std::move(entry.flash);
}
