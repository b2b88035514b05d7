// The signature service's answers to every request: reports, images, state and registration.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>
#include <string_view>

#include <boost/json/object.hpp>

#include "accounts/accounts.h"
#include "app/flash.h"
#include "app/sessions.h"
#include "base/clock.h"
#include "base/deadline_work.h"
#include "base/event_limit.h"
#include "base/in_flight_limit.h"
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
  // "https://host[:port]" where people's pages are served over HTTPS; empty: wherever asked. A
  // request for a page (/, /account..., /user/register) that did not come over HTTPS is sent
  // there with a 301.
  std::string httpsUrl;
  size_t keyCheckThreads = 1;        // threads for slow key hashes and checks
  size_t maxPendingKeyChecks = 256;  // slow jobs waiting at most; more are refused with 503
  size_t imageCacheBytes = 64u << 20;
  size_t wrongKeysPerMinute = 20;    // per client address; more wrong keys get 429 unchecked
  size_t registrationsPerHour = 10;  // per client address; more get 429 and a page saying when
  // A playing state older than this shows as "Last played ... ago"; 0: it never ends so.
  int64_t nowPlayingForMinutes = 30;
  size_t maxPendingRenders = 256;  // images waiting to be drawn; more get the message image
  size_t previewsPerSession = 1;   // previews drawn at once per session; more wait their turn
  size_t previewsWaiting = 32;     // previews waiting per session; more get 429
  size_t previewCacheBytes = 4u << 20;
  size_t sessionsPerAccount = 20;  // signed-in account pages of one account at once
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
  // the key checker's, the render thread or the store writer's thread. Any thread may call it.
  void Handle(const CHttpRequest& request, Reply reply) override;
  // Larger bodies for other players' submissions (imports of up to 1,000 listens, batches of
  // scrobbles), answered in their protocols' own error shapes when too large.
  size_t BodyLimit(std::string_view target) const override;
  CHttpResponse BodyTooLarge(std::string_view target) const override;
  // The route's path pattern, "{user}" standing for the name ("/signature/{user}.png"); "other"
  // for a path no route takes.
  std::string RouteName(const std::string& target) const override;

  // How long a request that needs a shared database may wait for its answer before it gets the
  // fallback answer of its route; and how old a cached image may be (since the database last
  // confirmed it) to be shown while the database does not answer.
  static constexpr int64_t kDatabaseWaitMs = 1000;
  static constexpr int64_t kFreshWhileNoDatabaseMs = 60000;

 private:
  using ImageDone = std::function<void(std::shared_ptr<const CImage>)>;
  // An image to draw: the view, and where the drawn image is kept.
  struct CDrawJob {
    CImageCache* cache = nullptr;
    std::string key;
    std::string variant;
    CSignatureView view;
    int64_t lastModified = 0;
  };
  // The image an account's signature shows now in its chosen template, or in `layout` when given
  // (the service's message image when there is no such account; when the database fails, the
  // image last confirmed within kFreshWhileNoDatabaseMs, else the "unavailable" one), when it is
  // in memory; else null, and `job` says what to draw. Any thread.
  std::shared_ptr<const CImage> CurrentImage(std::string_view name, const ETemplate* layout,
                                             CDrawJob* job);
  // Draws `job` on the render thread and gives `done` the image there, after keeping it in
  // `job.cache`; requests waiting for the same key and variant share one drawing. `done` gets
  // null, at once on the calling thread, when the render queue is full, and on the render thread
  // when drawing fails.
  void Draw(CDrawJob job, ImageDone done);
  // Ends the drawing of `id` ("key\nvariant"): every request waiting for it gets `image`.
  void FinishDrawing(const std::string& id, const std::shared_ptr<const CImage>& image);

  // The routing table: a request goes to the first route whose path pattern it matches.
  struct CRoute;
  static const CRoute kRoutes[];

  // The handlers of the routes. `name` is what the path holds between the route's prefix and
  // suffix (an account name), empty for routes of one exact path.
  // Runs the route's handler on a database thread, with the route's fallback answer once
  // kDatabaseWaitMs have passed without one.
  void Defer(const CRoute& route, const CHttpRequest& request, std::string_view name, Reply reply);
  // The routes' fallback answers, when the database does not answer in time.
  CHttpResponse LateReport(const CHttpRequest& request, std::string_view name);
  CHttpResponse LateImage(const CHttpRequest& request, std::string_view name);
  CHttpResponse LateText(const CHttpRequest& request, std::string_view name);
  CHttpResponse LatePage(const CHttpRequest& request, std::string_view name);
  CHttpResponse LateRegister(const CHttpRequest& request, std::string_view name);
  CHttpResponse LateListenBrainz(const CHttpRequest& request, std::string_view name);
  CHttpResponse LateScrobbler(const CHttpRequest& request, std::string_view name);
  // The answer to an image request: the image, or 304 when the client holds it.
  static CHttpResponse ImageResponse(const CHttpRequest& request,
                                     const std::shared_ptr<const CImage>& image);
  // The cache key of an account's image: its own template's, or `layout`'s when given.
  static std::string ImageKey(std::string_view name, const ETemplate* layout);
  // Answers an image request without the database when the account is in memory and known
  // current: at once when its image is cached, else once the render thread drew it. Returns true
  // when it took `reply`, else false with `reply` untouched.
  bool ImageFromMemory(const CHttpRequest& request, std::string_view name, Reply& reply);
  // Takes a report at once when memory decides its key (the account known current, the key the
  // one that last passed): returns true once it is queued for the store, with the answer to come
  // after the commit (or the fallback at the database deadline); else false, `reply` untouched.
  bool ReportFromMemory(const CHttpRequest& request, Reply& reply);

  void HandleReport(const CHttpRequest& request, std::string_view name, Reply reply);
  void CheckKeyThenApply(std::shared_ptr<const CReport> report, const std::string& address,
                         Reply reply);
  // `justChecked`: the key was decided from memory a moment ago, the account just read.
  void FinishReport(const CReport& report, Reply reply, bool justChecked = false);
  void CreateAccount(const std::string& name, int codePage, const CHttpRequest& request,
                     Reply reply);
  void HandleImage(const CHttpRequest& request, std::string_view name, Reply reply);
  void HandleState(const CHttpRequest& request, std::string_view name, Reply reply);
  void HandleRegister(const CHttpRequest& request, std::string_view name, Reply reply);
  void HandleHome(const CHttpRequest& request, std::string_view name, Reply reply);
  // The pages' style sheet and script.
  void HandleStatic(const CHttpRequest& request, std::string_view name, Reply reply);
  std::shared_ptr<const CImage> MessageImage(CSignatureView::EKind kind);
  // What `account` shows now in `style`; `*variant` receives a text that changes whenever the
  // image does, `*lastModified` the time the image took this look.
  CSignatureView ViewOf(const CAccounts::CView& account, const CSignatureStyle& style,
                        std::string* variant, int64_t* lastModified) const;
  // Whether the state shown is a playing one past its end: the end of the track the player told,
  // else the now-playing bound. PlayingEndsAt: that end (0: never).
  bool PlayingExpired(const CTrackState& state, int64_t now) const;
  int64_t PlayingEndsAt(const CTrackState& state) const;

  // The account page: sign-in, settings, preview, new key, deletion.
  void HandleAccount(const CHttpRequest& request, std::string_view name, Reply reply);
  void HandleSignIn(const CHttpRequest& request, std::string_view name, Reply reply);
  void HandleSignOut(const CHttpRequest& request, std::string_view name, Reply reply);
  void HandleSettings(const CHttpRequest& request, std::string_view name, Reply reply);
  void HandleNewKey(const CHttpRequest& request, std::string_view name, Reply reply);
  void HandleDelete(const CHttpRequest& request, std::string_view name, Reply reply);
  void HandlePreview(const CHttpRequest& request, std::string_view name, Reply reply);
  void HandleNewToken(const CHttpRequest& request, std::string_view name, Reply reply);

  // Other players: ListenBrainz (/1/...) and Audioscrobbler 1.2 (/audioscrobbler/...).
  void HandleSubmitListens(const CHttpRequest& request, std::string_view name, Reply reply);
  void HandleValidateToken(const CHttpRequest& request, std::string_view name, Reply reply);
  void HandleScrobbleHandshake(const CHttpRequest& request, std::string_view name, Reply reply);
  void HandleScrobbleNowPlaying(const CHttpRequest& request, std::string_view name, Reply reply);
  void HandleScrobbleSubmission(const CHttpRequest& request, std::string_view name, Reply reply);
  // A now-playing notice or a submission: the session decides the account.
  void HandleScrobblePost(const CHttpRequest& request, bool nowPlaying, Reply reply);
  enum class ETokenCheck { kValid, kWrong, kLimited, kFailed };
  // Finds the account of a player token for `request`'s client (`*name`), counting a wrong
  // token against the client's limit; kLimited with `*retryMs` when the client had too many
  // wrong ones lately, kFailed when the database failed.
  ETokenCheck FindTokenAccount(const CHttpRequest& request, std::string_view token,
                               std::string* name, int64_t* retryMs);
  // Applies another player's report, then calls `done` once with the outcome (kFailed with the
  // error when the database failed). Any thread.
  void ApplyPlayerReport(const std::string& name, CKeptReport report, CAccounts::ApplyDone done);

  // The signed-in session of `request`, if any. Throws CStoreError.
  std::optional<CAccountSession> SessionOf(const CHttpRequest& request);
  // The session of a form post whose "csrf" field matches; else answers 403 and gives nothing.
  std::optional<CAccountSession> FormSession(const CHttpRequest& request, Reply& reply);
  // Answers with the account page of a session; `key`, when not empty, is shown once, and
  // `setCookie` is added as a Set-Cookie field.
  void ShowAccount(const CHttpRequest& request, const CAccountSession& session, int status,
                   const std::string& notice, const std::string& key, const std::string& setCookie,
                   Reply reply, const std::string& playerToken = "");
  void ShowSignIn(const CHttpRequest& request, int status, const std::string& error,
                  const std::string& name, Reply reply);
  // The "csrf" token of the sign-in and registration forms, made from the request's nonce
  // cookie; a request without one gets a new nonce, and `*setCookie` the Set-Cookie field that
  // keeps it (else it is left alone). Any thread.
  std::string FormToken(const CHttpRequest& request, std::string* setCookie) const;
  // Whether a POST of the sign-in or registration form came from this site's own form: its
  // "csrf" field, `csrf`, is the token of its nonce cookie, and neither Origin (checked against
  // Host and the configured public addresses) nor Sec-Fetch-Site names another site. Any thread.
  bool FromOwnForm(const CHttpRequest& request, std::string_view csrf) const;
  // The registration page with its form, `error` on top when not empty and `name` and
  // `codePage` chosen; sets the form's nonce cookie when the request had none. Any thread.
  CHttpResponse RegisterPage(const CHttpRequest& request, int status, const std::string& error,
                             const std::string& name, int codePage) const;
  // Starts a session for the account `name` whose key passed as `keyHash`, and sends the browser
  // to its page.
  void SignIn(const CHttpRequest& request, const std::string& name, const std::string& keyHash,
              Reply reply);
  // A 303 to /account that leaves `flash` for that page to show once.
  CHttpResponse RedirectWithFlash(const CHttpRequest& request, const CFlash& flash);
  // Whether `flash`, shown to a session of the account `nameKey`, is shown for the first time on
  // any instance; clears its key when the account's key was replaced since. False also when the
  // store cannot tell.
  bool FirstShowing(CFlash& flash, const std::string& nameKey);
  std::string PublicUrl(const CHttpRequest& request) const;

  CStore& m_store;
  const CClock& m_clock;
  const CServiceOptions m_options;
  const int64_t m_startedAt;
  CAccounts m_accounts;
  CRenderer m_renderer;
  CImageCache m_images;
  CImageCache m_previews;             // by account, look and code page
  CInFlightLimit m_previewsUnderWay;  // by session id
  std::mutex m_drawingMutex;
  // Drawings queued or under way ("key\nvariant"), with the requests that wait for each.
  std::unordered_map<std::string, std::vector<ImageDone>> m_drawing;
  std::shared_ptr<const CImage> m_noAccountImage;
  std::shared_ptr<const CImage> m_unavailableImage;
  CEventLimit m_registrations;  // by client address
  CSessions m_sessions;
  CFlashes m_flashes;  // results of the account page's forms, for the page after the redirect
  // Last, so that they stop first: their pending jobs call back into the members above (and the
  // database jobs into the slow work). Drawing has its own thread, so that key checks never wait
  // for renders or renders for key checks.
  CWorkPool m_renderWork;
  CWorkPool m_slowWork;
  // Database work off the network threads, for a shared store (a database server that may hang);
  // null for a SQLite file, which the network threads read themselves.
  std::unique_ptr<CDeadlineWork> m_databaseWork;
};

// A JSON answer of ListenBrainz's shapes, never cached: `body` as it is, or {"code", "error"}.
CHttpResponse JsonResponse(int status, const boost::json::object& body);
CHttpResponse JsonError(int status, const std::string& error);
// A JSON string literal, quotes included, of UTF-8 `text`.
std::string JsonString(std::string_view text);

// The look an account saved, as the renderer takes it (an unknown name gives the default), and
// back.
CSignatureStyle StyleOf(const CAccountSettings& settings);
CAccountSettings SettingsOf(const CSignatureStyle& style);
