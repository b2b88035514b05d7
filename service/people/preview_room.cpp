// The account page's live preview: /account/preview.png, drawn for the session's account.
#include "people/preview_room.h"

#include <memory>

#include "base/log.h"
#include "http/form_decode.h"

CPreviewRoom::CPreviewRoom(CPeoplePages& pages, CHeldAccounts& held, CDrawing& drawing,
                           const CSignatureViews& views, size_t cacheBytes, size_t perSession,
                           size_t waiting)
    : m_pages(pages),
      m_held(held),
      m_drawing(drawing),
      m_views(views),
      m_previews(cacheBytes),
      m_previewsUnderWay(perSession, waiting) {}

std::vector<CRoute> CPreviewRoom::Routes() {
  CRoute route = PageRoute("/account/preview.png", this, &CPreviewRoom::HandlePreview);
  // An image: the fallback is a line of text, not a page.
  route.late = [](const CHttpRequest&, std::string_view) {
    return TextResponse(503, "The service cannot reach its database.\n");
  };
  return {std::move(route)};
}

void CPreviewRoom::HandlePreview(const CHttpRequest& request, CRoute::Reply reply) {
  if (request.method != "GET" && request.method != "HEAD") {
    CHttpResponse response = TextResponse(405, "Allowed: GET, HEAD\n");
    response.fields.emplace_back("Allow", "GET, HEAD");
    return reply(std::move(response));
  }
  std::optional<CAccountSession> session;
  try {
    session = m_pages.SessionOf(request);
  } catch (const CStoreError& error) {
    LogRepeated("session look-up failed", error.what());
    return reply(TextResponse(503, "The service cannot reach its database.\n"));
  }
  if (!session) return reply(TextResponse(403, "Sign in on /account to see a preview.\n"));
  CSignatureStyle style;
  int codePage = 0;
  if (const char* bad = ParseLook(SplitForm(QueryOf(request.target)), &style, &codePage)) {
    return reply(TextResponse(400, std::string("A preview needs a template, theme, accent and code "
                                               "page among those offered; \"") +
                                       bad + "\" is not.\n"));
  }
  std::optional<CAccountView> account;
  try {
    account = m_held.Find(session->nameKey);
  } catch (const CStoreError& error) {
    LogRepeated("account look-up failed", error.what());
  }
  if (!account) return reply(TextResponse(404, "There is no such account any more.\n"));
  account->codePage = codePage;
  CDrawing::CJob job;
  job.view = m_views.ViewOf(*account, style, &job.variant, &job.lastModified);
  UseSampleTrackIfNone(&job.view);
  job.key =
      "preview:" + session->nameKey + '/' + std::to_string(codePage) + '/' + style.Fingerprint();
  job.cache = &m_previews;
  auto shared = std::make_shared<CRoute::Reply>(std::move(reply));
  auto answer = [this, id = session->id, shared](std::shared_ptr<const CImage> image) {
    if (image) {
      CHttpResponse response;
      response.fields = {{"Content-Type", "image/png"}, {"Cache-Control", "no-store"}};
      response.body = std::shared_ptr<const std::string>(image, &image->png);
      (*shared)(std::move(response));
    } else {
      (*shared)(TextResponse(503, "The preview could not be drawn.\n"));
    }
    m_previewsUnderWay.End(id);
  };
  // One preview of a session is drawn at a time; the session's others wait for it, so a flood of
  // them waits on the flooder alone.
  const bool started = m_previewsUnderWay.Start(session->id, [this, job, answer]() mutable {
    if (auto cached = m_previews.Find(job.key, job.variant)) return answer(std::move(cached));
    m_drawing.Draw(std::move(job), std::move(answer));
  });
  if (!started) {
    CHttpResponse response = TextResponse(429, "Too many previews at once; try again shortly.\n");
    response.fields.emplace_back("Retry-After", "1");
    (*shared)(std::move(response));
  }
}
