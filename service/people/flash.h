// One-time results of the account page's forms, carried to the GET that follows their redirect.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/clock.h"

constexpr char kFlashCookie[] = "velk_flash";  // names the result waiting for the next page
constexpr int64_t kFlashLifeMs = 10 * 60 * 1000;

// What a form did, for the page its redirect leads to.
struct CFlash {
  std::string sessionId;    // only this session's page shows it; empty: any page without a session
  std::string notice;       // a line on top of the page
  std::string key;          // a new key, shown this once; empty: none
  std::string deleted;      // the name of an account just deleted; empty: none
  std::string playerToken;  // a new player token, shown this once; empty: none
  // With `key`: KeyFingerprint of the key's hash, so that a key replaced since is not shown.
  std::string keyOf;
  // Set by Take: what tells this sealed flash from every other, so that it is shown once.
  std::string id;
};

// A short digest of a key's hash (hex), for CFlash::keyOf.
std::string KeyFingerprint(std::string_view keyHash);

// Results travel in the cookie itself, sealed (encrypted and authenticated) with a key derived
// from the secret that every instance on the store shares, so that the page after the redirect
// may come from any instance. A sealed result is good for ten minutes (kFlashLifeMs); the page
// that shows it clears the cookie and marks its id used in the store, so that neither a reload
// nor a replayed cookie shows a key again. Thread-safe (no state after
// construction).
class CFlashes {
 public:
  // `sharedSecret`: the store's secret of all instances (any length; only its digest is kept).
  CFlashes(const CClock& clock, std::string_view sharedSecret);

  // The cookie value that carries `flash`: URL-safe base64, at most about 1 KB for the results
  // the forms leave.
  std::string Put(const CFlash& flash) const;
  // The flash `value` carries; nothing when it was not sealed by an instance of this store, was
  // changed, or is older than ten minutes.
  std::optional<CFlash> Take(std::string_view value) const;

 private:
  const CClock& m_clock;
  std::vector<unsigned char> m_key;  // crypto_secretbox key
};
