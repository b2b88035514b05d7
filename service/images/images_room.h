// Signature images and the state behind them: /signature/<user>.png,
// /signature/<user>/<template>.png and /signature/<user>.json.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "accounts/held_accounts.h"
#include "http/pipeline.h"
#include "images/drawing.h"
#include "images/signature_view.h"
#include "render/image_cache.h"

class CImagesRoom {
 public:
  // How old a cached image may be (since the database last confirmed it) to be shown while the
  // database does not answer.
  static constexpr int64_t kFreshWhileNoDatabaseMs = 60000;

  // Everything given must outlive the room. `publicUrl` is the configured address of the
  // service ("" : the request's Host), for the state's image URL.
  CImagesRoom(CHeldAccounts& held, CDrawing& drawing, const CSignatureViews& views,
              const CClock& clock, size_t cacheBytes, std::string publicUrl);
  CImagesRoom(const CImagesRoom&) = delete;
  CImagesRoom& operator=(const CImagesRoom&) = delete;

  std::vector<CRoute> Routes();

 private:
  void HandleImage(const CHttpRequest& request, std::string_view name, CRoute::Reply reply);
  void HandleState(const CHttpRequest& request, std::string_view name, CRoute::Reply reply);
  // When the database does not answer: the image last confirmed within
  // kFreshWhileNoDatabaseMs, else the "unavailable" one.
  CHttpResponse LateImage(const CHttpRequest& request, std::string_view name);
  // Answers without the database when the account is in memory and known current: at once when
  // its image is cached, else once the render thread drew it. False, `reply` untouched, else.
  bool ImageFromMemory(const CHttpRequest& request, std::string_view name, CRoute::Reply& reply);
  // The image an account's signature shows now in its chosen template, or in `layout` when given
  // (the message image when there is no such account; when the database fails, the image last
  // confirmed within kFreshWhileNoDatabaseMs, else the "unavailable" one), when it is in memory;
  // else null, and `job` says what to draw. Any thread.
  std::shared_ptr<const CImage> CurrentImage(std::string_view name, const ETemplate* layout,
                                             CDrawing::CJob* job);
  // Draws `job`, then answers `request` with the image (the "unavailable" one when drawing failed).
  void DrawThenAnswer(CDrawing::CJob job, const CHttpRequest& request, CRoute::Reply reply);

  CHeldAccounts& m_held;
  CDrawing& m_drawing;
  const CSignatureViews& m_views;
  const CClock& m_clock;
  const std::string m_publicUrl;
  CImageCache m_images;
};
