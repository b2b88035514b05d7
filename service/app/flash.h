// One-time results of the account page's forms, held for the GET that follows their redirect.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "base/clock.h"

constexpr char kFlashCookie[] = "velk_flash";  // names the result waiting for the next page

// What a form did, for the page its redirect leads to.
struct CFlash {
  std::string sessionId;    // only this session's page shows it; empty: any page without a session
  std::string notice;       // a line on top of the page
  std::string key;          // a new key, shown this once; empty: none
  std::string deleted;      // the name of an account just deleted; empty: none
  std::string playerToken;  // a new player token, shown this once; empty: none
};

// Results wait in memory under a random id that a cookie carries, for at most ten minutes; taking
// one removes it, so that a reload never shows a key again. At most `maxFlashes` wait, the oldest
// going first. Thread-safe.
class CFlashes {
 public:
  CFlashes(const CClock& clock, size_t maxFlashes);

  // Keeps `flash` and returns its id.
  std::string Put(CFlash flash);
  // The flash of `id`, removed; nothing when it is unknown or older than ten minutes.
  std::optional<CFlash> Take(std::string_view id);

 private:
  struct CEntry {
    CFlash flash;
    int64_t putMs = 0;
  };
  const CClock& m_clock;
  const size_t m_maxFlashes;
  std::mutex m_mutex;
  std::unordered_map<std::string, CEntry> m_flashes;  // by id
};
