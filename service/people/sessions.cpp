// Signed-in sessions of the account page, their CSRF tokens, and the cookies that carry them.
#include "people/sessions.h"

#include <sodium.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <vector>

#include "base/log.h"
#include "base/metrics.h"

namespace {

// Sessions live in the store, shared by every instance; each instance counts those it opened.
CCounter& sessionsOpened =
    Metrics()
        .Counter("velk_sessions_opened_total", "Account page sessions opened (sign-ins)")
        .Get();

constexpr int64_t kSessionLifeMs = 12 * 3600 * 1000;
constexpr int64_t kSessionIdleMs = 2 * 3600 * 1000;
constexpr int64_t kCleanEveryMs = 10 * 60 * 1000;

std::string Hex(const unsigned char* bytes, size_t size) {
  std::string hex(size * 2 + 1, '\0');
  sodium_bin2hex(hex.data(), hex.size(), bytes, size);
  hex.pop_back();
  return hex;
}

std::string RandomHex(size_t bytes) {
  std::vector<unsigned char> raw(bytes);
  randombytes_buf(raw.data(), raw.size());
  return Hex(raw.data(), raw.size());
}

// A digest of `text` in hex, keyed by `key` when it is not empty (at most 64 bytes are used).
std::string Digest(std::string_view text, std::string_view key, size_t bytes) {
  std::array<unsigned char, crypto_generichash_BYTES_MAX> digest;
  const size_t keyBytes = std::min<size_t>(key.size(), crypto_generichash_KEYBYTES_MAX);
  crypto_generichash(digest.data(), bytes, reinterpret_cast<const unsigned char*>(text.data()),
                     text.size(), reinterpret_cast<const unsigned char*>(key.data()), keyBytes);
  return Hex(digest.data(), bytes);
}

}  // namespace

CSessions::CSessions(CStore& store, const CClock& clock, size_t maxPerAccount)
    : m_store(store),
      m_clock(clock),
      m_maxPerAccount(maxPerAccount == 0 ? 1 : maxPerAccount),
      m_secret(store.Sessions().SharedSecret()) {
  m_cleaner = std::thread([this] { RunCleaner(); });
}

CSessions::~CSessions() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopping = true;
  }
  m_wake.notify_all();
  m_cleaner.join();
}

CAccountSession CSessions::Describe(std::string id, std::string nameKey) const {
  CAccountSession session;
  session.tokenHash = Digest(id, "", 32);
  session.csrf = Digest("csrf " + id, "", 32);
  session.id = std::move(id);
  session.nameKey = std::move(nameKey);
  return session;
}

std::optional<CAccountSession> CSessions::Create(const std::string& nameKey,
                                                 const std::string& keyHash) {
  CAccountSession session = Describe(RandomHex(32), nameKey);
  if (!m_store.Sessions().AddSession(session.tokenHash, nameKey, keyHash, m_clock.WallMs(),
                                     m_maxPerAccount))
    return std::nullopt;
  sessionsOpened.Add(1);
  return session;
}

std::optional<CAccountSession> CSessions::Find(std::string_view id) {
  // Only what a cookie made by Create can hold is looked up.
  if (id.size() != 64 || id.find_first_not_of("0123456789abcdef") != std::string_view::npos)
    return std::nullopt;
  CAccountSession session = Describe(std::string(id), "");
  const int64_t nowMs = m_clock.WallMs();
  std::optional<std::string> nameKey = m_store.Sessions().FindSession(
      session.tokenHash, nowMs, nowMs - kSessionLifeMs, nowMs - kSessionIdleMs);
  if (!nameKey) return std::nullopt;
  session.nameKey = std::move(*nameKey);
  return session;
}

void CSessions::End(std::string_view id) {
  m_store.Sessions().EndSession(Describe(std::string(id), "").tokenHash);
}

void CSessions::RunCleaner() {
  std::unique_lock<std::mutex> lock(m_mutex);
  while (!m_wake.wait_for(lock, std::chrono::milliseconds(kCleanEveryMs),
                          [this] { return m_stopping; })) {
    lock.unlock();
    const int64_t nowMs = m_clock.WallMs();
    try {
      m_store.Sessions().RemoveStaleSessions(nowMs - kSessionLifeMs, nowMs - kSessionIdleMs);
    } catch (const CStoreError& error) {
      LogRepeated("expired sessions not removed", error.what());
    }
    lock.lock();
  }
}

std::string CSessions::NewNonce() { return RandomHex(24); }

std::string CSessions::SignInToken(std::string_view nonce) const {
  return Digest(nonce, m_secret, 24);
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
