// History signatures: /signature/<user>/recent, /top-artists and /top-tracks, each as .png, .svg
// and .json.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "accounts/held_accounts.h"
#include "history/history_request.h"
#include "history/history_views.h"
#include "http/pipeline.h"
#include "images/drawing.h"
#include "images/signature_view.h"
#include "render/image_cache.h"

class CHistoryRoom {
 public:
  // Everything given must outlive the room.
  CHistoryRoom(CHeldAccounts& accounts, CStore& store, CDrawing& drawing,
               const CSignatureViews& views, const CClock& clock, size_t cacheBytes);
  CHistoryRoom(const CHistoryRoom&) = delete;
  CHistoryRoom& operator=(const CHistoryRoom&) = delete;

  // Routes for every list and format; they go before the other /signature/ routes.
  std::vector<CRoute> Routes();

 private:
  // Reads the request's count or period; `*reason` receives why it is refused.
  static bool Parse(const CHttpRequest& request, CHistoryRequest* asked, std::string* reason);
  void Handle(const CHttpRequest& request, std::string_view name, CHistoryRequest asked,
              CRoute::Reply reply);
  // Answers a cached image of an account held current, without the database; false otherwise.
  bool FromMemory(const CHttpRequest& request, std::string_view name, CHistoryRequest asked,
                  CRoute::Reply& reply);
  // When the database does not answer: the image confirmed lately, else "unavailable".
  CHttpResponse Late(const CHttpRequest& request, std::string_view name,
                     const CHistoryRequest& asked);
  CHttpResponse ImageAnswer(const CHttpRequest& request, const CHistoryRequest& asked,
                            const std::shared_ptr<const CImage>& image) const;

  CHeldAccounts& m_accounts;
  CStore& m_store;
  CDrawing& m_drawing;
  const CSignatureViews& m_views;
  const CClock& m_clock;
  CImageCache m_images;
};
