// Signed-in sessions of the account page, their CSRF tokens, and the cookies that carry them.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "base/clock.h"
#include "http/message.h"
#include "storage/store.h"

constexpr char kSessionCookie[] = "velk_session";
constexpr char kSignInCookie[] = "velk_signin";  // the sign-in and registration forms' nonce

struct CAccountSession {
  std::string id;         // the random token the cookie carries; the store knows only its hash
  std::string tokenHash;  // how the store knows the session
  std::string nameKey;    // the account signed in
  std::string csrf;       // every form of the session carries it; derived from the token
};

// Sessions live in the store, so that every instance knows them and they survive a restart. Each
// lasts 12 hours from sign-in and ends after 2 idle hours, or at once when its account gets a new
// key or is deleted; an account has at most `maxPerAccount`, its oldest ending first. A thread of
// its own removes expired ones every few minutes. Thread-safe; every call but the nonce helpers
// asks the store on the calling thread and throws CStoreError when it fails.
class CSessions {
 public:
  // Reads (or makes) the secret of the sign-in forms that all instances share. Throws.
  CSessions(CStore& store, const CClock& clock, size_t maxPerAccount);
  // Stops the cleaning thread.
  ~CSessions();
  CSessions(const CSessions&) = delete;
  CSessions& operator=(const CSessions&) = delete;

  // A new session for the account `nameKey`, whose key passed as `keyHash`; nothing when the
  // account is gone or its key changed meanwhile.
  std::optional<CAccountSession> Create(const std::string& nameKey, const std::string& keyHash);
  // The session of `id`, when it exists and has not ended; counts as a use.
  std::optional<CAccountSession> Find(std::string_view id);
  void End(std::string_view id);

  // A random nonce for the sign-in form's cookie, and the token the form carries for it: a keyed
  // digest, so that only instances on this database can make a token that matches a nonce.
  static std::string NewNonce();
  std::string SignInToken(std::string_view nonce) const;

 private:
  CAccountSession Describe(std::string id, std::string nameKey) const;
  void RunCleaner();

  CStore& m_store;
  const CClock& m_clock;
  const size_t m_maxPerAccount;
  const std::string m_secret;
  std::mutex m_mutex;
  std::condition_variable m_wake;
  bool m_stopping = false;
  std::thread m_cleaner;
};

// The value of cookie `name` in a Cookie field, or empty.
std::string CookieValue(std::string_view cookieField, std::string_view name);
// A Set-Cookie value: HttpOnly, SameSite=Strict, Path=/, Secure over HTTPS; an empty value with
// Max-Age=0 removes the cookie.
std::string CookieField(std::string_view name, std::string_view value, bool secure);
// Two texts compared in time that depends on their lengths only.
bool SameText(std::string_view a, std::string_view b);
