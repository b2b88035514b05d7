// What an account's signature shows now: the view the renderer draws, and when it took that look.
#include "images/signature_view.h"

#include <algorithm>

#include "render/code_page.h"

CSignatureViews::CSignatureViews(const CClock& clock, int64_t startedAt,
                                 int64_t nowPlayingForMinutes)
    : m_clock(clock), m_startedAt(startedAt), m_nowPlayingForMinutes(nowPlayingForMinutes) {}

CSignatureStyle StyleOf(const CAccountSettings& settings) {
  CSignatureStyle style;
  ParseTemplate(settings.layout, &style.layout);
  ParseTheme(settings.theme, &style.theme);
  style.accent = settings.accent >= 0 && settings.accent <= 0xFFFFFF ? settings.accent : -1;
  style.showAlbum = settings.showAlbum;
  style.showYear = settings.showYear;
  style.showGenre = settings.showGenre;
  return style;
}

CAccountSettings SettingsOf(const CSignatureStyle& style) {
  CAccountSettings settings;
  settings.layout = TemplateInfo(style.layout).name;
  settings.theme = ThemeName(style.theme);
  settings.accent = style.accent;
  settings.showAlbum = style.showAlbum;
  settings.showYear = style.showYear;
  settings.showGenre = style.showGenre;
  return settings;
}

int64_t CSignatureViews::PlayingEndsAt(const CTrackState& state) const {
  if (state.endsAt > 0) return state.endsAt;
  return m_nowPlayingForMinutes > 0 ? state.trackAt + m_nowPlayingForMinutes * 60 : 0;
}

bool CSignatureViews::PlayingExpired(const CTrackState& state, int64_t now) const {
  const int64_t endsAt = PlayingEndsAt(state);
  return state.playback == CTrackState::EPlayback::kPlaying && endsAt > 0 && now >= endsAt;
}

CSignatureView CSignatureViews::ViewOf(const CAccountView& account, const CSignatureStyle& style,
                                       std::string* variant, int64_t* lastModified) const {
  const int64_t now = m_clock.WallSeconds();
  const CTrackState& state = account.state;
  CSignatureView view;
  view.user = account.name;
  view.style = style;
  if (const CCodePageInfo* page = FindCodePage(account.codePage)) view.language = page->language;
  *variant = std::to_string(account.version) + '|' + style.Fingerprint();
  *lastModified = now;
  using EKind = CSignatureView::EKind;
  using EPlayback = CTrackState::EPlayback;
  if (account.wrongKey) {
    view.kind = EKind::kWrongKey;
  } else if (state.playback == EPlayback::kNone) {
    view.kind = EKind::kWaiting;
    // Not before the account existed: a client may hold the "no account" image from before.
    *lastModified = std::max(m_startedAt, account.createdAt);
  } else if (state.playback == EPlayback::kStopped && state.trackAt == 0) {
    view.kind = EKind::kIdle;
    *lastModified = state.stoppedAt;
  } else {
    const bool expired = PlayingExpired(state, now);
    view.kind =
        state.playback == EPlayback::kPlaying && !expired ? EKind::kPlaying : EKind::kStopped;
    view.artist = state.artist;
    view.title = state.title;
    view.album = state.album;
    view.year = state.year;
    view.genre = state.genre;
    *lastModified = state.trackAt;
    if (view.kind == EKind::kStopped) {
      // The image shows the age of the stop (or of the track, when the player went quiet while
      // playing), so it changes with that text and not only with the state.
      const int64_t since = !expired           ? state.stoppedAt
                            : state.endsAt > 0 ? state.endsAt - kListenGraceSeconds
                                               : state.trackAt;
      const int64_t age = now > since ? now - since : 0;
      view.age = FormatAge(age);
      *variant += expired ? "|expired|" : "|";
      *variant += view.age;
      *lastModified = since + AgeTextSince(age);
      if (expired) *lastModified = std::max(*lastModified, PlayingEndsAt(state));
    }
  }
  // Never earlier than the last change: a changed image must not pass as one a client holds.
  *lastModified = std::max(*lastModified, account.changedAt);
  return view;
}
