// History signatures: the recently played list and the charts, as PNG, SVG and JSON.
#include "history/history_room.h"

#include "base/log.h"
#include "images/image_response.h"
#include "images/images_room.h"

namespace {

CHttpResponse NotGet() {
  CHttpResponse response = TextResponse(405, "Allowed: GET, HEAD\n");
  response.fields.emplace_back("Allow", "GET, HEAD");
  return response;
}

const char* ContentType(CHistoryRequest::EFormat format) {
  return format == CHistoryRequest::EFormat::kSvg ? "image/svg+xml" : "image/png";
}

std::string CacheKey(std::string_view name, const CHistoryRequest& asked) {
  return NameKey(name) + '/' + asked.Key();
}

CHttpResponse JsonAnswer(const CHttpRequest& request, std::string json) {
  CHttpResponse response = TextResponse(200, std::move(json));
  for (auto& [field, value] : response.fields) {
    if (field == "Content-Type") value = "application/json";
  }
  response.omitBody = request.method == "HEAD";
  return response;
}

}  // namespace

CHistoryRoom::CHistoryRoom(CHeldAccounts& accounts, CStore& store, CDrawing& drawing,
                           const CSignatureViews& views, const CClock& clock, size_t cacheBytes)
    : m_accounts(accounts),
      m_store(store),
      m_drawing(drawing),
      m_views(views),
      m_clock(clock),
      m_images(cacheBytes) {}

std::vector<CRoute> CHistoryRoom::Routes() {
  using EKind = CHistoryView::EKind;
  using EFormat = CHistoryRequest::EFormat;
  std::vector<CRoute> routes;
  for (EKind kind : {EKind::kRecent, EKind::kTopArtists, EKind::kTopTracks}) {
    for (auto [format, extension] :
         {std::pair{EFormat::kPng, ".png"}, std::pair{EFormat::kSvg, ".svg"},
          std::pair{EFormat::kJson, ".json"}}) {
      CHistoryRequest asked;
      asked.kind = kind;
      asked.format = format;
      CRoute route;
      route.prefix = "/signature/";
      route.suffix = std::string("/") + CHistoryRequest::KindName(kind) + extension;
      route.wildcard = true;
      route.database = CRoute::EDatabase::kAlways;
      route.handle = [this, asked](const CHttpRequest& request, std::string_view name,
                                   CRoute::Reply reply) {
        Handle(request, name, asked, std::move(reply));
      };
      route.late = [this, asked](const CHttpRequest& request, std::string_view name) {
        return Late(request, name, asked);
      };
      if (format != EFormat::kJson) {
        route.fromMemory = [this, asked](const CHttpRequest& request, std::string_view name,
                                         CRoute::Reply& reply, const CRoute::CDeadline&) {
          return FromMemory(request, name, asked, reply);
        };
      }
      routes.push_back(std::move(route));
    }
  }
  return routes;
}

bool CHistoryRoom::Parse(const CHttpRequest& request, CHistoryRequest* asked, std::string* reason) {
  const std::string_view target = request.target;
  const size_t question = target.find('?');
  *reason = question == std::string_view::npos
                ? std::string()
                : ParseHistoryQuery(target.substr(question + 1), asked);
  return reason->empty();
}

CHttpResponse CHistoryRoom::ImageAnswer(const CHttpRequest& request, const CHistoryRequest& asked,
                                        const std::shared_ptr<const CImage>& image) const {
  if (image) return ImageResponse(request, image, ContentType(asked.format));
  if (asked.format == CHistoryRequest::EFormat::kPng)
    return ImageResponse(request, m_drawing.Unavailable());
  return TextResponse(503, "The image cannot be drawn now; try again later.\n");
}

bool CHistoryRoom::FromMemory(const CHttpRequest& request, std::string_view name,
                              CHistoryRequest asked, CRoute::Reply& reply) {
  if (request.method != "GET" && request.method != "HEAD") return false;
  std::string reason;
  if (!Parse(request, &asked, &reason)) return false;
  const std::optional<CAccountView> account = m_accounts.FindHeld(name);
  if (!account) return false;
  const std::string variant = HistoryVariant(*account, asked, m_clock.WallSeconds());
  auto image = m_images.Find(CacheKey(name, asked), variant, m_clock.SteadyMs());
  if (!image) return false;
  reply(ImageAnswer(request, asked, image));
  return true;
}

CHttpResponse CHistoryRoom::Late(const CHttpRequest& request, std::string_view name,
                                 const CHistoryRequest& asked) {
  if (request.method != "GET" && request.method != "HEAD") return NotGet();
  if (asked.format != CHistoryRequest::EFormat::kJson) {
    CHistoryRequest parsed = asked;
    std::string reason;
    if (Parse(request, &parsed, &reason)) {
      const int64_t since = m_clock.SteadyMs() - CImagesRoom::kFreshWhileNoDatabaseMs;
      if (auto recent = m_images.FindConfirmedSince(CacheKey(name, parsed), since))
        return ImageAnswer(request, parsed, recent);
    }
  }
  return ImageAnswer(request, asked, nullptr);
}

void CHistoryRoom::Handle(const CHttpRequest& request, std::string_view name, CHistoryRequest asked,
                          CRoute::Reply reply) {
  if (request.method != "GET" && request.method != "HEAD") return reply(NotGet());
  std::string reason;
  if (!Parse(request, &asked, &reason)) return reply(TextResponse(400, reason + "\n"));
  const bool image = asked.format != CHistoryRequest::EFormat::kJson;
  const int64_t now = m_clock.WallSeconds();
  std::optional<CAccountView> account;
  CHistoryData data;
  std::string variant;
  try {
    account = m_accounts.Find(name);
    if (!account) {
      if (asked.format == CHistoryRequest::EFormat::kPng)
        return reply(ImageResponse(request, m_drawing.NoAccount()));
      return reply(TextResponse(404, "There is no account of this name.\n"));
    }
    variant = HistoryVariant(*account, asked, now);
    if (image) {
      if (auto cached = m_images.Find(CacheKey(name, asked), variant, m_clock.SteadyMs()))
        return reply(ImageAnswer(request, asked, cached));
    }
    data = ReadHistory(m_store, m_views, *account, asked, now);
  } catch (const CStoreError& error) {
    LogRepeated("history look-up failed", error.what());
    return reply(Late(request, name, asked));
  }
  if (!image) return reply(JsonAnswer(request, HistoryJson(*account, asked, data, now)));
  CDrawing::CJob job;
  job.cache = &m_images;
  job.key = CacheKey(name, asked);
  job.variant = std::move(variant);
  job.lastModified = account->changedAt;
  job.history = MakeHistoryView(*account, asked, data, now);
  job.format =
      asked.format == CHistoryRequest::EFormat::kSvg ? EImageFormat::kSvg : EImageFormat::kPng;
  // Drawn on the render thread; the request waits for it there.
  m_drawing.Draw(std::move(job), [this, request, asked,
                                  reply = std::move(reply)](std::shared_ptr<const CImage> drawn) {
    reply(ImageAnswer(request, asked, drawn));
  });
}
