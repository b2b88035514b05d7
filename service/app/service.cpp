// The signature service composed: shared parts, rooms, and the pipeline that serves them.
#include "app/service.h"
#include "storage/write_queue.h"

CSignatureService::CSignatureService(CStore& store, const CClock& clock, CServiceOptions options,
                                     std::vector<CRoute> more)
    : m_store(store),
      m_clock(clock),
      m_options(std::move(options)),
      m_accounts(store, clock, {m_options.minReportIntervalMs, m_options.wrongKeysPerMinute}),
      m_views(clock, clock.WallSeconds(), m_options.nowPlayingForMinutes),
      m_drawing(clock, m_renderWork, m_views.StartedAt()),
      m_sessions(store, clock, m_options.sessionsPerAccount),
      m_flashes(clock, store.Sessions().SharedSecret()),
      m_pages(m_accounts.Held(), m_sessions, m_flashes, m_options.publicUrl, m_options.httpsUrl),
      m_reports(m_accounts.Keys(), m_accounts.Reports(), m_slowWork),
      m_images(m_accounts.Held(), m_drawing, m_views, clock, m_options.imageCacheBytes,
               m_options.publicUrl),
      m_history(m_accounts.Held(), store, m_drawing, m_views, clock, m_options.historyCacheBytes),
      m_register(m_pages, m_accounts.Held(), store, m_sessions, m_slowWork, clock,
                 m_options.registrationsPerHour),
      m_signIn(m_pages, m_accounts.Keys(), m_sessions, m_slowWork),
      m_account(m_pages, m_accounts.Held(), m_accounts.Changes(), store, m_flashes, m_slowWork,
                clock),
      m_preview(m_pages, m_accounts.Held(), m_drawing, m_views, m_options.previewCacheBytes,
                m_options.previewsPerSession, m_options.previewsWaiting),
      m_historySettings(m_pages, m_accounts.Changes(), store),
      m_listenBrainz(m_accounts.Reports(), m_accounts.Attempts(), store, clock,
                     m_options.listenBrainzRequestsPerMinute),
      m_audioscrobbler(m_accounts.Reports(), m_accounts.Attempts(), store, clock,
                       m_options.publicUrl),
      m_renderWork(1, m_options.maxPendingRenders),
      m_slowWork(m_options.keyCheckThreads, m_options.maxPendingKeyChecks),
      m_pipeline(clock, Routes(std::move(more)), PipelineOptions()) {}

CSignatureService::~CSignatureService() { m_store.Queue().Flush(); }

CPipelineOptions CSignatureService::PipelineOptions() const {
  CPipelineOptions options;
  options.httpsUrl = m_options.httpsUrl;
  // A SQLite file is read by the network threads themselves; a database server may hang.
  options.databaseMayHang = m_store.Shared();
  options.databaseWaitMs = kDatabaseWaitMs;
  options.accessLog = m_options.accessLog;
  options.notFound =
      "Nothing here. Reports go to /signature/generate/, images are /signature/<user>.png, "
      "accounts are made at /user/register.\n";
  return options;
}

void CSignatureService::Handle(const CHttpRequest& request, Reply reply) {
  m_pipeline.Handle(request, std::move(reply));
}

size_t CSignatureService::BodyLimit(std::string_view target) const {
  return m_pipeline.BodyLimit(target);
}

CHttpResponse CSignatureService::BodyTooLarge(std::string_view target) const {
  return m_pipeline.BodyTooLarge(target);
}

std::string CSignatureService::RouteName(const std::string& target) const {
  return m_pipeline.RouteName(target);
}

void CSignatureService::Answered(const CAccessRecord& answered) { m_pipeline.Answered(answered); }
