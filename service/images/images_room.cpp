// Signature images and the state behind them: /signature/<user>.png and /signature/<user>.json.
#include "images/images_room.h"

#include "base/log.h"
#include "http/cache.h"
#include "http/json.h"
#include "images/image_response.h"

namespace {

CHttpResponse MethodNotAllowed(const char* allowed) {
  CHttpResponse response = TextResponse(405, std::string("Allowed: ") + allowed + "\n");
  response.fields.emplace_back("Allow", allowed);
  return response;
}

// The cache key of an account's image: its own template's, or `layout`'s when given.
std::string ImageKey(std::string_view name, const ETemplate* layout) {
  // An account's own template is known only from the database: its key names none.
  return NameKey(name) + '/' + (layout ? TemplateInfo(*layout).name : "");
}

}  // namespace

CImagesRoom::CImagesRoom(CHeldAccounts& held, CDrawing& drawing, const CSignatureViews& views,
                         const CClock& clock, size_t cacheBytes, std::string publicUrl)
    : m_held(held),
      m_drawing(drawing),
      m_views(views),
      m_clock(clock),
      m_publicUrl(std::move(publicUrl)),
      m_images(cacheBytes) {}

std::vector<CRoute> CImagesRoom::Routes() {
  CRoute image;
  image.prefix = "/signature/";
  image.suffix = ".png";
  image.wildcard = true;
  image.database = CRoute::EDatabase::kAlways;
  image.handle = [this](const CHttpRequest& request, std::string_view name, CRoute::Reply reply) {
    HandleImage(request, name, std::move(reply));
  };
  image.late = [this](const CHttpRequest& request, std::string_view name) {
    return LateImage(request, name);
  };
  image.fromMemory = [this](const CHttpRequest& request, std::string_view name,
                            CRoute::Reply& reply, const CRoute::CDeadline&) {
    return ImageFromMemory(request, name, reply);
  };
  CRoute state;
  state.prefix = "/signature/";
  state.suffix = ".json";
  state.wildcard = true;
  state.database = CRoute::EDatabase::kAlways;
  state.handle = [this](const CHttpRequest& request, std::string_view name, CRoute::Reply reply) {
    HandleState(request, name, std::move(reply));
  };
  state.late = [](const CHttpRequest&, std::string_view) {
    return TextResponse(503, "The service cannot reach its database.\n");
  };
  return {std::move(image), std::move(state)};
}

void CImagesRoom::DrawThenAnswer(CDrawing::CJob job, const CHttpRequest& request,
                                 CRoute::Reply reply) {
  m_drawing.Draw(std::move(job),
                 [this, request, reply = std::move(reply)](std::shared_ptr<const CImage> image) {
                   reply(ImageResponse(request, image ? image : m_drawing.Unavailable()));
                 });
}

std::shared_ptr<const CImage> CImagesRoom::CurrentImage(std::string_view name,
                                                        const ETemplate* layout,
                                                        CDrawing::CJob* job) {
  const std::string key = ImageKey(name, layout);
  std::optional<CAccountView> account;
  try {
    account = m_held.Find(name);
  } catch (const CStoreError& error) {
    LogRepeated("account look-up failed", error.what());
    auto recent = m_images.FindConfirmedSince(key, m_clock.SteadyMs() - kFreshWhileNoDatabaseMs);
    return recent ? recent : m_drawing.Unavailable();
  }
  if (!account) return m_drawing.NoAccount();

  CSignatureStyle style = StyleOf(account->settings);
  if (layout) style.layout = *layout;
  job->view = m_views.ViewOf(*account, style, &job->variant, &job->lastModified);
  job->key = key;
  job->cache = &m_images;
  return m_images.Find(job->key, job->variant, m_clock.SteadyMs());
}

CHttpResponse CImagesRoom::LateImage(const CHttpRequest& request, std::string_view name) {
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
  return ImageResponse(request, recent ? recent : m_drawing.Unavailable());
}

bool CImagesRoom::ImageFromMemory(const CHttpRequest& request, std::string_view name,
                                  CRoute::Reply& reply) {
  if (request.method != "GET" && request.method != "HEAD") return false;
  const size_t slash = name.find('/');
  ETemplate layout = ETemplate::kCard;
  if (slash != std::string_view::npos && !ParseTemplate(name.substr(slash + 1), &layout))
    return false;
  const std::string_view user = name.substr(0, slash);
  const std::optional<CAccountView> account = m_held.FindHeld(user);
  if (!account) return false;
  const ETemplate* const chosen = slash == std::string_view::npos ? nullptr : &layout;
  CSignatureStyle style = StyleOf(account->settings);
  if (chosen) style.layout = *chosen;
  CDrawing::CJob job;
  job.view = m_views.ViewOf(*account, style, &job.variant, &job.lastModified);
  job.key = ImageKey(user, chosen);
  job.cache = &m_images;
  if (auto image = m_images.Find(job.key, job.variant, m_clock.SteadyMs())) {
    reply(ImageResponse(request, image));
    return true;
  }
  DrawThenAnswer(std::move(job), request, std::move(reply));
  return true;
}

void CImagesRoom::HandleImage(const CHttpRequest& request, std::string_view name,
                              CRoute::Reply reply) {
  if (request.method != "GET" && request.method != "HEAD")
    return reply(MethodNotAllowed("GET, HEAD"));
  // "NAME" in the account's own template, or "NAME/TEMPLATE".
  const size_t slash = name.find('/');
  ETemplate layout = ETemplate::kCard;
  if (slash != std::string_view::npos && !ParseTemplate(name.substr(slash + 1), &layout)) {
    return reply(TextResponse(404, "Templates are card, banner and userbar.\n"));
  }
  const bool own = slash == std::string_view::npos;
  CDrawing::CJob job;
  if (auto image = CurrentImage(own ? name : name.substr(0, slash), own ? nullptr : &layout, &job))
    return reply(ImageResponse(request, image));
  // Drawn on the render thread, never on a network thread; the request waits for it there.
  DrawThenAnswer(std::move(job), request, std::move(reply));
}

void CImagesRoom::HandleState(const CHttpRequest& request, std::string_view name,
                              CRoute::Reply reply) {
  if (request.method != "GET" && request.method != "HEAD")
    return reply(MethodNotAllowed("GET, HEAD"));
  std::optional<CAccountView> account;
  try {
    account = m_held.Find(name);
  } catch (const CStoreError& error) {
    LogRepeated("account look-up failed", error.what());
    return reply(TextResponse(503, "The service cannot reach its database.\n"));
  }
  if (!account) return reply(TextResponse(404, "There is no account of this name.\n"));
  const CTrackState& state = account->state;
  // A playing state the player stopped confirming long ago shows as the last played track.
  const bool expired = m_views.PlayingExpired(state, m_clock.WallSeconds());
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
  json += ",\"image\":" +
          JsonString(PublicUrl(request, m_publicUrl) + "/signature/" + account->name + ".png");
  json += "}\n";
  CHttpResponse response = TextResponse(200, std::move(json));
  for (auto& [name, value] : response.fields) {
    if (name == "Content-Type") value = "application/json";
  }
  response.omitBody = request.method == "HEAD";
  reply(std::move(response));
}
