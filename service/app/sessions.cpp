// Signed-in sessions of the account page, their CSRF tokens, and the cookies that carry them.
#include "app/sessions.h"

#include <sodium.h>

#include <array>
#include <vector>

#include "base/metrics.h"

namespace {

CGauge& openSessions = Metrics().Gauge("velk_sessions", "Signed-in account page sessions").Get();

// The sessions now open, for the metrics: called with the mutex held after every change.
void CountSessions(size_t open) { openSessions.Set(static_cast<int64_t>(open)); }

constexpr int64_t kSessionLifeMs = 12 * 3600 * 1000;
constexpr int64_t kSessionIdleMs = 2 * 3600 * 1000;

std::string RandomHex(size_t bytes) {
  std::vector<unsigned char> raw(bytes);
  randombytes_buf(raw.data(), raw.size());
  std::string hex(bytes * 2 + 1, '\0');
  sodium_bin2hex(hex.data(), hex.size(), raw.data(), raw.size());
  hex.pop_back();
  return hex;
}

const unsigned char* TokenSecret() {
  static const auto secret = [] {
    std::array<unsigned char, crypto_generichash_KEYBYTES> bytes;
    randombytes_buf(bytes.data(), bytes.size());
    return bytes;
  }();
  return secret.data();
}

bool IsLoopback(std::string_view address) {
  return address.rfind("127.", 0) == 0 || address == "::1" || address.rfind("::ffff:127.", 0) == 0;
}

}  // namespace

CSessions::CSessions(const CClock& clock, size_t maxSessions)
    : m_clock(clock), m_maxSessions(maxSessions == 0 ? 1 : maxSessions) {}

bool CSessions::Expired(const CEntry& entry, int64_t nowMs) const {
  return nowMs - entry.createdMs >= kSessionLifeMs || nowMs - entry.usedMs >= kSessionIdleMs;
}

CAccountSession CSessions::Create(const std::string& nameKey) {
  CEntry entry;
  entry.session = {RandomHex(32), nameKey, RandomHex(32)};
  entry.createdMs = entry.usedMs = m_clock.SteadyMs();
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_sessions.size() >= m_maxSessions) {
    // Ended sessions go first; when none has, the one used longest ago.
    auto oldest = m_sessions.begin();
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
      if (Expired(it->second, entry.usedMs)) {
        it = m_sessions.erase(it);
        continue;
      }
      if (it->second.usedMs < oldest->second.usedMs) oldest = it;
      ++it;
    }
    if (m_sessions.size() >= m_maxSessions) m_sessions.erase(oldest);
  }
  m_sessions[entry.session.id] = entry;
  CountSessions(m_sessions.size());
  return entry.session;
}

std::optional<CAccountSession> CSessions::Find(std::string_view id) {
  if (id.empty()) return std::nullopt;
  const int64_t nowMs = m_clock.SteadyMs();
  std::lock_guard<std::mutex> lock(m_mutex);
  auto found = m_sessions.find(std::string(id));
  if (found == m_sessions.end()) return std::nullopt;
  if (Expired(found->second, nowMs)) {
    m_sessions.erase(found);
    CountSessions(m_sessions.size());
    return std::nullopt;
  }
  found->second.usedMs = nowMs;
  return found->second.session;
}

void CSessions::End(std::string_view id) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_sessions.erase(std::string(id));
  CountSessions(m_sessions.size());
}

void CSessions::EndAccount(const std::string& nameKey, std::string_view keep) {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (auto it = m_sessions.begin(); it != m_sessions.end();) {
    if (it->second.session.nameKey == nameKey && it->first != keep) {
      it = m_sessions.erase(it);
    } else {
      ++it;
    }
  }
  CountSessions(m_sessions.size());
}

std::string CSessions::NewNonce() { return RandomHex(24); }

std::string CSessions::SignInToken(std::string_view nonce) {
  std::array<unsigned char, 24> digest;
  crypto_generichash(digest.data(), digest.size(),
                     reinterpret_cast<const unsigned char*>(nonce.data()), nonce.size(),
                     TokenSecret(), crypto_generichash_KEYBYTES);
  std::string hex(digest.size() * 2 + 1, '\0');
  sodium_bin2hex(hex.data(), hex.size(), digest.data(), digest.size());
  hex.pop_back();
  return hex;
}

std::string CookieValue(std::string_view field, std::string_view name) {
  while (!field.empty()) {
    const size_t end = field.find(';');
    std::string_view part = field.substr(0, end);
    field = end == std::string_view::npos ? std::string_view() : field.substr(end + 1);
    while (!part.empty() && part.front() == ' ') part.remove_prefix(1);
    const size_t equals = part.find('=');
    if (equals != std::string_view::npos && part.substr(0, equals) == name) {
      std::string_view value = part.substr(equals + 1);
      while (!value.empty() && value.back() == ' ') value.remove_suffix(1);
      return std::string(value);
    }
  }
  return "";
}

bool CameOverHttps(const CHttpRequest& request) {
  return IsLoopback(request.clientAddress) && request.forwardedProto == "https";
}

std::string CookieField(std::string_view name, std::string_view value, bool secure) {
  std::string field =
      std::string(name) + "=" + std::string(value) + "; Path=/; HttpOnly; SameSite=Strict";
  if (value.empty()) field += "; Max-Age=0";
  if (secure) field += "; Secure";
  return field;
}

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  return sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}
