// The signature service's answers to every request: reports, images, state and registration.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "accounts/accounts.h"
#include "app/sessions.h"
#include "base/clock.h"
#include "base/event_limit.h"
#include "base/work_pool.h"
#include "http/message.h"
#include "render/image_cache.h"
#include "render/render.h"
#include "storage/store.h"

struct CServiceOptions {
  int64_t minReportIntervalMs = 2000;  // closer reports of one account are dropped
  // "http://host[:port]" of the service as users reach it, for the image URL that the
  // registration page shows; empty: "http://" and the Host field of each request.
  std::string publicUrl;
  size_t keyCheckThreads = 1;        // threads for slow key hashes and checks
  size_t maxPendingKeyChecks = 256;  // slow jobs waiting at most; more are refused with 503
  size_t imageCacheBytes = 64u << 20;
  size_t wrongKeysPerMinute = 20;    // per account; more wrong keys get 429 without a check
  size_t registrationsPerHour = 10;  // per client address; more get 429 and a page saying when
  // A playing state older than this shows as "Last played ... ago"; 0: it never ends so.
  int64_t nowPlayingForMinutes = 30;
  size_t maxSessions = 10000;  // signed-in account pages at once
};

class CSignatureService : public CHttpHandler {
 public:
  // Renders the service's own message images at once, so that later requests find the fonts
  // loaded. `store` and `clock` must outlive the service.
  CSignatureService(CStore& store, const CClock& clock, CServiceOptions options);
  // Waits for the checks and writes still under way, whose replies it owns.
  ~CSignatureService() override;
  CSignatureService(const CSignatureService&) = delete;
  CSignatureService& operator=(const CSignatureService&) = delete;

  // Answers `request` by calling `reply` exactly once: at once on the calling thread, or later on
  // the key checker's or the store writer's thread. Any thread may call it.
  void Handle(const CHttpRequest& request, Reply reply) override;
  // The route's path pattern, "{user}" standing for the name ("/signature/{user}.png"); "other"
  // for a path no route takes.
  std::string RouteName(const std::string& target) const override;

  // The image an account's signature shows now in its chosen template, or in `layout` when given
  // (the service's message image when there is no such account or the database fails). Any
  // thread.
  std::shared_ptr<const CImage> SignatureImage(std::string_view name,
                                               const ETemplate* layout = nullptr);

 private:
  // The routing table: a request goes to the first route whose path pattern it matches.
  struct CRoute;
  static const CRoute kRoutes[];

  // The handlers of the routes. `name` is what the path holds between the route's prefix and
  // suffix (an account name), empty for routes of one exact path.
  void HandleReport(const CHttpRequest& request, std::string_view name, Reply reply);
  void CheckKeyThenApply(std::shared_ptr<const CReport> report, Reply reply);
  // `justChecked`: the key was decided from memory a moment ago, the account just read.
  void FinishReport(const CReport& report, Reply reply, bool justChecked = false);
  void CreateAccount(const std::string& name, int codePage, const CHttpRequest& request,
                     Reply reply);
  void HandleImage(const CHttpRequest& request, std::string_view name, Reply reply);
  void HandleState(const CHttpRequest& request, std::string_view name, Reply reply);
  void HandleRegister(const CHttpRequest& request, std::string_view name, Reply reply);
  void HandleHome(const CHttpRequest& request, std::string_view name, Reply reply);
  std::shared_ptr<const CImage> MessageImage(CSignatureView::EKind kind);
  // What `account` shows now in `style`; `*variant` receives a text that changes whenever the
  // image does, `*lastModified` the time the image took this look.
  CSignatureView ViewOf(const CAccounts::CView& account, const CSignatureStyle& style,
                        std::string* variant, int64_t* lastModified) const;
  // Whether the state shown is a playing one older than the now-playing bound.
  bool PlayingExpired(const CTrackState& state, int64_t now) const;

  // The account page: sign-in, settings, preview, new key, deletion.
  void HandleAccount(const CHttpRequest& request, std::string_view name, Reply reply);
  void HandleSignIn(const CHttpRequest& request, std::string_view name, Reply reply);
  void HandleSignOut(const CHttpRequest& request, std::string_view name, Reply reply);
  void HandleSettings(const CHttpRequest& request, std::string_view name, Reply reply);
  void HandleNewKey(const CHttpRequest& request, std::string_view name, Reply reply);
  void HandleDelete(const CHttpRequest& request, std::string_view name, Reply reply);
  void HandlePreview(const CHttpRequest& request, std::string_view name, Reply reply);
  // The signed-in session of `request`, if any.
  std::optional<CAccountSession> SessionOf(const CHttpRequest& request);
  // The session of a form post whose "csrf" field matches; else answers 403 and gives nothing.
  std::optional<CAccountSession> FormSession(const CHttpRequest& request, Reply& reply);
  // Answers with the account page of a session; `key`, when not empty, is shown once, and
  // `setCookie` is added as a Set-Cookie field.
  void ShowAccount(const CHttpRequest& request, const CAccountSession& session, int status,
                   const std::string& notice, const std::string& key, const std::string& setCookie,
                   Reply reply);
  void ShowSignIn(const CHttpRequest& request, int status, const std::string& error,
                  const std::string& name, Reply reply);
  // Starts a session for the account `name` whose key passed, and sends the browser to its page.
  void SignIn(const CHttpRequest& request, const std::string& name, Reply reply);
  std::string PublicUrl(const CHttpRequest& request) const;

  CStore& m_store;
  const CClock& m_clock;
  const CServiceOptions m_options;
  const int64_t m_startedAt;
  CAccounts m_accounts;
  CRenderer m_renderer;
  CImageCache m_images;
  std::shared_ptr<const CImage> m_noAccountImage;
  std::shared_ptr<const CImage> m_unavailableImage;
  CEventLimit m_registrations;  // by client address
  CSessions m_sessions;
  // Last, so that it stops first: its pending jobs call back into the members above.
  CWorkPool m_slowWork;
};

// Text made safe for HTML element content and attribute values.
std::string EscapeHtml(std::string_view text);
// A JSON string literal, quotes included, of UTF-8 `text`.
std::string JsonString(std::string_view text);

// The look an account saved, as the renderer takes it (an unknown name gives the default), and
// back.
CSignatureStyle StyleOf(const CAccountSettings& settings);
CAccountSettings SettingsOf(const CSignatureStyle& style);
