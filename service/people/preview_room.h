// The account page's live preview: /account/preview.png, drawn for the session's account.
#pragma once

#include <vector>

#include "accounts/held_accounts.h"
#include "base/in_flight_limit.h"
#include "http/pipeline.h"
#include "images/drawing.h"
#include "images/signature_view.h"
#include "people/people_pages.h"
#include "render/image_cache.h"

class CPreviewRoom {
 public:
  // Everything given must outlive the room. A session has `perSession` previews drawn at once and
  // `waiting` more waiting; more get 429.
  CPreviewRoom(CPeoplePages& pages, CHeldAccounts& held, CDrawing& drawing,
               const CSignatureViews& views, size_t cacheBytes, size_t perSession, size_t waiting);

  std::vector<CRoute> Routes();

 private:
  void HandlePreview(const CHttpRequest& request, CRoute::Reply reply);

  CPeoplePages& m_pages;
  CHeldAccounts& m_held;
  CDrawing& m_drawing;
  const CSignatureViews& m_views;
  CImageCache m_previews;             // by account, look and code page
  CInFlightLimit m_previewsUnderWay;  // by session id
};
