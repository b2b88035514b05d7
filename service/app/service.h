// The signature service composed: the parts its rooms share, the rooms, and the routing table
// that the pipeline every request passes serves.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "accounts/accounts.h"
#include "base/clock.h"
#include "base/work_pool.h"
#include "http/json.h"
#include "history/history_room.h"
#include "http/pipeline.h"
#include "images/drawing.h"
#include "images/images_room.h"
#include "images/signature_view.h"
#include "people/account_room.h"
#include "people/history_settings_room.h"
#include "people/people_pages.h"
#include "people/preview_room.h"
#include "people/register_room.h"
#include "people/sign_in_room.h"
#include "players/audioscrobbler_room.h"
#include "players/listenbrainz_room.h"
#include "reports/reports_room.h"
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
  size_t historyCacheBytes = 16u << 20;  // history signatures drawn
  size_t wrongKeysPerMinute = 20;        // per client address; more wrong keys get 429 unchecked
  size_t registrationsPerHour = 10;      // per client address; more get 429 and a page saying when
  // Requests to the ListenBrainz endpoints per client address and minute; more get 429.
  size_t listenBrainzRequestsPerMinute = 600;
  // A playing state older than this shows as "Last played ... ago"; 0: it never ends so.
  int64_t nowPlayingForMinutes = 30;
  size_t maxPendingRenders = 256;  // images waiting to be drawn; more get the message image
  size_t previewsPerSession = 1;   // previews drawn at once per session; more wait their turn
  size_t previewsWaiting = 32;     // previews waiting per session; more get 429
  size_t previewCacheBytes = 4u << 20;
  size_t sessionsPerAccount = 20;  // signed-in account pages of one account at once
  bool accessLog = true;           // one line per answer on standard output
};

// Owns what several rooms use (the accounts, the drawing of images, sessions, flashes, the work
// pools) and hands each room only what it uses; answers through one pipeline.
class CSignatureService : public CHttpHandler {
 public:
  // Draws the service's own message images at once, so that later requests find the fonts
  // loaded. `store` and `clock` must outlive the service; `more` are routes served before the
  // service's own (the operator endpoints), whose rooms must outlive it too.
  CSignatureService(CStore& store, const CClock& clock, CServiceOptions options,
                    std::vector<CRoute> more = {});
  // Waits for the checks and writes still under way, whose replies it owns.
  ~CSignatureService() override;
  CSignatureService(const CSignatureService&) = delete;
  CSignatureService& operator=(const CSignatureService&) = delete;

  // The pipeline's: see CHttpHandler. A request is answered at once on the calling thread, or
  // later on the key checker's, the render thread, a database thread or the store writer's.
  void Handle(const CHttpRequest& request, Reply reply) override;
  size_t BodyLimit(std::string_view target) const override;
  CHttpResponse BodyTooLarge(std::string_view target) const override;
  std::string RouteName(const std::string& target) const override;
  void Answered(const CAccessRecord& answered) override;

  // How long a request that needs a shared database may wait for its answer before it gets the
  // fallback answer of its route.
  static constexpr int64_t kDatabaseWaitMs = 1000;

 private:
  // The routing table: `more`, then every room's routes; a request takes the first that matches.
  std::vector<CRoute> Routes(std::vector<CRoute> more);
  CPipelineOptions PipelineOptions() const;

  CStore& m_store;
  const CClock& m_clock;
  const CServiceOptions m_options;
  CAccounts m_accounts;
  const CSignatureViews m_views;
  CDrawing m_drawing;
  CSessions m_sessions;
  CFlashes m_flashes;  // results of the account page's forms, for the page after the redirect
  CPeoplePages m_pages;
  CReportsRoom m_reports;
  CImagesRoom m_images;
  CHistoryRoom m_history;
  CRegisterRoom m_register;
  CSignInRoom m_signIn;
  CAccountRoom m_account;
  CPreviewRoom m_preview;
  CHistorySettingsRoom m_historySettings;
  CListenBrainzRoom m_listenBrainz;
  CAudioscrobblerRoom m_audioscrobbler;
  // Last, so that they stop first: their pending jobs call back into the parts above (and the
  // database jobs into the slow work). Drawing has its own thread, so that key checks never wait
  // for renders or renders for key checks.
  CWorkPool m_renderWork;
  CWorkPool m_slowWork;
  CPipeline m_pipeline;
};
