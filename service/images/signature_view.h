// What an account's signature shows now: the view the renderer draws, and when it took that look.
#pragma once

#include <cstdint>
#include <string>

#include "accounts/held_accounts.h"
#include "base/clock.h"
#include "render/render.h"
#include "storage/account_settings.h"

// The look an account saved, as the renderer takes it (an unknown name gives the default), and
// back.
CSignatureStyle StyleOf(const CAccountSettings& settings);
CAccountSettings SettingsOf(const CSignatureStyle& style);

// Turns an account's state into what its image shows at the clock's time. Any thread.
class CSignatureViews {
 public:
  // `clock` must outlive the object; `startedAt` is the service's start (Unix seconds); a playing
  // state older than `nowPlayingForMinutes` without an end told shows as last played (0: never).
  CSignatureViews(const CClock& clock, int64_t startedAt, int64_t nowPlayingForMinutes);

  // What `account` shows now in `style`; `*variant` receives a text that changes whenever the
  // image does, `*lastModified` the time the image took this look.
  CSignatureView ViewOf(const CAccountView& account, const CSignatureStyle& style,
                        std::string* variant, int64_t* lastModified) const;
  // Whether the state shown is a playing one past its end: the end of the track the player told,
  // else the now-playing bound. PlayingEndsAt: that end (0: never).
  bool PlayingExpired(const CTrackState& state, int64_t now) const;
  int64_t PlayingEndsAt(const CTrackState& state) const;
  int64_t StartedAt() const { return m_startedAt; }

 private:
  const CClock& m_clock;
  const int64_t m_startedAt;
  const int64_t m_nowPlayingForMinutes;
};
