// Signed-in sessions of the account page, their CSRF tokens, and the cookies that carry them.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "base/clock.h"
#include "http/message.h"

constexpr char kSessionCookie[] = "velk_session";
constexpr char kSignInCookie[] = "velk_signin";  // the sign-in form's CSRF nonce

struct CAccountSession {
  std::string id;
  std::string nameKey;  // the account signed in
  std::string csrf;     // every form of the session carries it
};

// Sessions live in memory (a restart signs everyone out). Each lasts 12 hours from sign-in and
// ends after 2 idle hours; at most `maxSessions` exist, the least recently used going first.
// Thread-safe.
class CSessions {
 public:
  CSessions(const CClock& clock, size_t maxSessions);

  // A new session for the account, with fresh random id and token.
  CAccountSession Create(const std::string& nameKey);
  // The session of `id`, when it exists and has not ended; counts as a use.
  std::optional<CAccountSession> Find(std::string_view id);
  void End(std::string_view id);
  // Ends every session of the account but `keep` (empty: all).
  void EndAccount(const std::string& nameKey, std::string_view keep = {});

  // A random nonce for the sign-in form's cookie, and the token the form carries for it: a keyed
  // digest, so that only this process can make a token that matches a nonce.
  static std::string NewNonce();
  static std::string SignInToken(std::string_view nonce);

 private:
  struct CEntry {
    CAccountSession session;
    int64_t createdMs = 0;
    int64_t usedMs = 0;
  };
  bool Expired(const CEntry& entry, int64_t nowMs) const;

  const CClock& m_clock;
  const size_t m_maxSessions;
  std::mutex m_mutex;
  std::unordered_map<std::string, CEntry> m_sessions;  // by id
};

// The value of cookie `name` in a Cookie field, or empty.
std::string CookieValue(std::string_view cookieField, std::string_view name);
// Whether the request came over HTTPS: "X-Forwarded-Proto: https" from a trusted proxy (the server
// passes the field on from those only).
bool CameOverHttps(const CHttpRequest& request);
// A Set-Cookie value: HttpOnly, SameSite=Strict, Path=/, Secure over HTTPS; an empty value with
// Max-Age=0 removes the cookie.
std::string CookieField(std::string_view name, std::string_view value, bool secure);
// Two texts compared in time that depends on their lengths only.
bool SameText(std::string_view a, std::string_view b);
