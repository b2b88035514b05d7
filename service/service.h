// The signature service's answers to every request: reports, images, state and registration.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "accounts.h"
#include "clock.h"
#include "http_message.h"
#include "image_cache.h"
#include "key_verifier.h"
#include "render.h"
#include "store.h"

struct CServiceOptions {
  int64_t minReportIntervalMs = 2000;  // closer reports of one account are dropped
  // "http://host[:port]" of the service as users reach it, for the image URL that the
  // registration page shows; empty: "http://" and the Host field of each request.
  std::string publicUrl;
  size_t keyCheckThreads = 1;
  size_t maxPendingKeyChecks = 256;
  size_t imageCacheBytes = 64u << 20;
};

class CSignatureService {
 public:
  using Reply = std::function<void(CHttpResponse)>;

  // Renders the service's own message images at once, so that later requests find the fonts
  // loaded. `store` and `clock` must outlive the service.
  CSignatureService(CStore& store, const CClock& clock, CServiceOptions options);
  // Waits for the checks and writes still under way, whose replies it owns.
  ~CSignatureService();
  CSignatureService(const CSignatureService&) = delete;
  CSignatureService& operator=(const CSignatureService&) = delete;

  // Answers `request` by calling `reply` exactly once: at once on the calling thread, or later on
  // the key checker's or the store writer's thread. Any thread may call it.
  void Handle(const CHttpRequest& request, Reply reply);

  // The image an account's signature shows now (the service's message image when there is no
  // such account or the database fails). Any thread.
  std::shared_ptr<const CImage> SignatureImage(std::string_view name);

 private:
  void HandleReport(const CHttpRequest& request, Reply reply);
  void FinishReport(const CReport& report, const Reply& reply);
  CHttpResponse HandleImage(const CHttpRequest& request, std::string_view name);
  CHttpResponse HandleState(const CHttpRequest& request, std::string_view name);
  void HandleRegister(const CHttpRequest& request, Reply reply);
  std::shared_ptr<const CImage> MessageImage(CSignatureView::EKind kind);
  std::string PublicUrl(const CHttpRequest& request) const;

  CStore& store_;
  const CClock& clock_;
  const CServiceOptions options_;
  const int64_t startedAt_;
  CAccounts accounts_;
  CRenderer renderer_;
  CImageCache images_;
  std::shared_ptr<const CImage> noAccountImage_;
  std::shared_ptr<const CImage> unavailableImage_;
  // Last, so that it stops first: its pending checks call back into the members above.
  CKeyVerifier verifier_;
};

// Text made safe for HTML element content and attribute values.
std::string EscapeHtml(std::string_view text);
// A JSON string literal, quotes included, of UTF-8 `text`.
std::string JsonString(std::string_view text);
