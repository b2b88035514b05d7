// Signature images and the state behind them: /signature/<user>.png and /signature/<user>.json.
#include <algorithm>

#include "render/code_page.h"
#include "http/cache.h"
#include "app/service.h"
#include "base/log.h"

namespace {

constexpr char kImageCacheControl[] = "public, max-age=30";

CHttpResponse MethodNotAllowed(const char* allowed) {
  CHttpResponse response = TextResponse(405, std::string("Allowed: ") + allowed + "\n");
  response.fields.emplace_back("Allow", allowed);
  return response;
}

}  // namespace

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

int64_t CSignatureService::PlayingEndsAt(const CTrackState& state) const {
  if (state.endsAt > 0) return state.endsAt;
  return m_options.nowPlayingForMinutes > 0 ? state.trackAt + m_options.nowPlayingForMinutes * 60
                                            : 0;
}

bool CSignatureService::PlayingExpired(const CTrackState& state, int64_t now) const {
  const int64_t endsAt = PlayingEndsAt(state);
  return state.playback == CTrackState::EPlayback::kPlaying && endsAt > 0 && now >= endsAt;
}

CSignatureView CSignatureService::ViewOf(const CAccounts::CView& account,
                                         const CSignatureStyle& style, std::string* variant,
                                         int64_t* lastModified) const {
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

std::string CSignatureService::ImageKey(std::string_view name, const ETemplate* layout) {
  // An account's own template is known only from the database: its key names none.
  return NameKey(name) + '/' + (layout ? TemplateInfo(*layout).name : "");
}

std::shared_ptr<const CImage> CSignatureService::CurrentImage(std::string_view name,
                                                              const ETemplate* layout,
                                                              CDrawJob* job) {
  const std::string key = ImageKey(name, layout);
  std::optional<CAccounts::CView> account;
  try {
    account = m_accounts.Find(name);
  } catch (const CStoreError& error) {
    LogRepeated("account look-up failed", error.what());
    auto recent = m_images.FindConfirmedSince(key, m_clock.SteadyMs() - kFreshWhileNoDatabaseMs);
    return recent ? recent : m_unavailableImage;
  }
  if (!account) return m_noAccountImage;

  CSignatureStyle style = StyleOf(account->settings);
  if (layout) style.layout = *layout;
  job->view = ViewOf(*account, style, &job->variant, &job->lastModified);
  job->key = key;
  job->cache = &m_images;
  return m_images.Find(job->key, job->variant, m_clock.SteadyMs());
}

void CSignatureService::Draw(CDrawJob job, ImageDone done) {
  std::string id = job.key + '\n' + job.variant;
  {
    std::lock_guard<std::mutex> lock(m_drawingMutex);
    auto [waiting, first] = m_drawing.try_emplace(id);
    waiting->second.push_back(std::move(done));
    if (!first) return;
  }
  const bool queued = m_renderWork.Submit([this, job = std::move(job), id] {
    auto image = std::make_shared<CImage>();
    image->png = m_renderer.RenderPng(job.view);
    if (image->png.empty()) return FinishDrawing(id, nullptr);
    image->etag = MakeEntityTag(image->png);
    image->lastModified = job.lastModified;
    job.cache->Store(job.key, job.variant, image, m_clock.SteadyMs());
    FinishDrawing(id, image);
  });
  if (!queued) FinishDrawing(id, nullptr);
}

void CSignatureService::FinishDrawing(const std::string& id,
                                      const std::shared_ptr<const CImage>& image) {
  std::vector<ImageDone> waiting;
  {
    std::lock_guard<std::mutex> lock(m_drawingMutex);
    auto found = m_drawing.find(id);
    if (found == m_drawing.end()) return;
    waiting = std::move(found->second);
    m_drawing.erase(found);
  }
  for (ImageDone& done : waiting) done(image);
}

CHttpResponse CSignatureService::ImageResponse(const CHttpRequest& request,
                                               const std::shared_ptr<const CImage>& image) {
  CHttpResponse response;
  response.fields = {{"Cache-Control", kImageCacheControl},
                     {"ETag", image->etag},
                     {"Last-Modified", FormatHttpDate(image->lastModified)}};
  if (IsNotModified(request, image->etag, image->lastModified)) {
    response.status = 304;
    return response;
  }
  response.fields.emplace_back("Content-Type", "image/png");
  response.body = std::shared_ptr<const std::string>(image, &image->png);
  response.omitBody = request.method == "HEAD";
  return response;
}

CHttpResponse CSignatureService::LateImage(const CHttpRequest& request, std::string_view name) {
  if (request.method != "GET" && request.method != "HEAD") return MethodNotAllowed("GET, HEAD");
  const size_t slash = name.find('/');
  ETemplate layout = ETemplate::kCard;
  if (slash != std::string_view::npos && !ParseTemplate(name.substr(slash + 1), &layout)) {
    return TextResponse(404, "Templates are card, banner and userbar.\n");
  }
  const std::string key = slash == std::string_view::npos
                              ? ImageKey(name, nullptr)
                              : ImageKey(name.substr(0, slash), &layout);
  auto recent = m_images.FindConfirmedSince(key, m_clock.SteadyMs() - kFreshWhileNoDatabaseMs);
  return ImageResponse(request, recent ? recent : m_unavailableImage);
}

bool CSignatureService::ImageFromMemory(const CHttpRequest& request, std::string_view name,
                                        Reply& reply) {
  if (request.method != "GET" && request.method != "HEAD") return false;
  const size_t slash = name.find('/');
  ETemplate layout = ETemplate::kCard;
  if (slash != std::string_view::npos && !ParseTemplate(name.substr(slash + 1), &layout))
    return false;
  const std::string_view user = name.substr(0, slash);
  const std::optional<CAccounts::CView> account = m_accounts.FindHeld(user);
  if (!account) return false;
  const ETemplate* const chosen = slash == std::string_view::npos ? nullptr : &layout;
  CSignatureStyle style = StyleOf(account->settings);
  if (chosen) style.layout = *chosen;
  CDrawJob job;
  job.view = ViewOf(*account, style, &job.variant, &job.lastModified);
  job.key = ImageKey(user, chosen);
  job.cache = &m_images;
  if (auto image = m_images.Find(job.key, job.variant, m_clock.SteadyMs())) {
    reply(ImageResponse(request, image));
    return true;
  }
  Draw(std::move(job),
       [this, request, reply = std::move(reply)](std::shared_ptr<const CImage> image) {
         reply(ImageResponse(request, image ? image : m_unavailableImage));
       });
  return true;
}

void CSignatureService::HandleImage(const CHttpRequest& request, std::string_view name,
                                    Reply reply) {
  if (request.method != "GET" && request.method != "HEAD")
    return reply(MethodNotAllowed("GET, HEAD"));
  // "NAME" in the account's own template, or "NAME/TEMPLATE".
  const size_t slash = name.find('/');
  ETemplate layout = ETemplate::kCard;
  if (slash != std::string_view::npos && !ParseTemplate(name.substr(slash + 1), &layout)) {
    return reply(TextResponse(404, "Templates are card, banner and userbar.\n"));
  }
  const bool own = slash == std::string_view::npos;
  CDrawJob job;
  if (auto image = CurrentImage(own ? name : name.substr(0, slash), own ? nullptr : &layout, &job))
    return reply(ImageResponse(request, image));
  // Drawn on the render thread, never on a network thread; the request waits for it there.
  Draw(std::move(job),
       [this, request, reply = std::move(reply)](std::shared_ptr<const CImage> image) {
         reply(ImageResponse(request, image ? image : m_unavailableImage));
       });
}

void CSignatureService::HandleState(const CHttpRequest& request, std::string_view name,
                                    Reply reply) {
  if (request.method != "GET" && request.method != "HEAD")
    return reply(MethodNotAllowed("GET, HEAD"));
  std::optional<CAccounts::CView> account;
  try {
    account = m_accounts.Find(name);
  } catch (const CStoreError& error) {
    LogRepeated("account look-up failed", error.what());
    return reply(TextResponse(503, "The service cannot reach its database.\n"));
  }
  if (!account) return reply(TextResponse(404, "There is no account of this name.\n"));
  const CTrackState& state = account->state;
  // A playing state the player stopped confirming long ago shows as the last played track.
  const bool expired = PlayingExpired(state, m_clock.WallSeconds());
  const CTrackState::EPlayback shown = expired ? CTrackState::EPlayback::kStopped : state.playback;
  std::string json = "{\"user\":" + JsonString(account->name);
  json += ",\"playback\":" + JsonString(CTrackState::PlaybackName(shown));
  json += ",\"expired\":" + std::string(expired ? "true" : "false");
  json += ",\"artist\":" + JsonString(state.artist);
  json += ",\"title\":" + JsonString(state.title);
  json += ",\"album\":" + JsonString(state.album);
  json += ",\"year\":" + JsonString(state.year);
  json += ",\"genre\":" + JsonString(state.genre);
  json += ",\"track_at\":" + std::to_string(state.trackAt);
  json += ",\"stopped_at\":" + std::to_string(state.stoppedAt);
  json += ",\"ends_at\":" + std::to_string(state.endsAt);
  json += ",\"wrong_key\":" + std::string(account->wrongKey ? "true" : "false");
  json += ",\"image\":" + JsonString(PublicUrl(request) + "/signature/" + account->name + ".png");
  json += "}\n";
  CHttpResponse response = TextResponse(200, std::move(json));
  for (auto& [name, value] : response.fields) {
    if (name == "Content-Type") value = "application/json";
  }
  response.omitBody = request.method == "HEAD";
  reply(std::move(response));
}
