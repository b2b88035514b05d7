// Applying reports to accounts: the plug-in's and other players', at most one per interval and
// account, a report that comes sooner kept and applied when due.
#include "accounts/account_reports.h"
#include "storage/write_queue.h"

#include <optional>

namespace {

CKeptReport ToKept(const CReport& report, int64_t arrivedAt) {
  CKeptReport kept;
  kept.stopped = report.stopped;
  kept.artist = report.artist;
  kept.title = report.title;
  kept.album = report.album;
  kept.year = report.year;
  kept.genre = report.genre;
  kept.arrivedAt = arrivedAt;
  return kept;
}

}  // namespace

CAccountReports::CAccountReports(CHeldAccounts& held, CDueReports& due, CStateWrites& writes,
                                 CStore& store, const CClock& clock, int64_t minIntervalMs)
    : m_held(held),
      m_due(due),
      m_writes(writes),
      m_store(store),
      m_clock(clock),
      m_minIntervalMs(minIntervalMs) {}

void CAccountReports::Apply(std::string_view name, const CReport& report, ApplyDone done,
                            bool justRead) {
  Submit(name, ToKept(report, m_clock.WallSeconds()), std::move(done), justRead, {});
}

void CAccountReports::ApplyFromPlayer(std::string_view name, CKeptReport report, ApplyDone done,
                                      std::vector<CListen> listens) {
  report.arrivedAt = m_clock.WallSeconds();
  Submit(name, std::move(report), std::move(done), false, std::move(listens));
}

void CAccountReports::Submit(std::string_view name, CKeptReport incoming, ApplyDone done,
                             bool justRead, std::vector<CListen> listens) {
  using ELoad = CHeldAccounts::ELoad;
  std::unique_lock<std::mutex> lock;
  // A shared store decides whether the account exists, and its interval: no need to read it.
  CHeldAccount* account =
      m_held.Lock(name, lock, justRead || m_store.Shared() ? ELoad::kHeld : ELoad::kCurrent);
  if (!account) return done(EApply::kNoAccount, "");
  if (m_store.Shared()) {
    return SubmitShared(*account, std::move(incoming), std::move(done), lock, std::move(listens));
  }
  const int64_t nowMs = m_clock.SteadyMs();
  const std::optional<int64_t> previous = account->lastAcceptedMs;
  if (previous && nowMs - *previous < m_minIntervalMs) {
    return Keep(*account, std::move(incoming), nowMs, *previous + m_minIntervalMs, std::move(done),
                std::move(listens));
  }
  ApplyHere(*account, incoming, nowMs, std::move(done), lock, std::move(listens));
}

void CAccountReports::SubmitShared(CHeldAccount& account, CKeptReport incoming, ApplyDone done,
                                   std::unique_lock<std::mutex>& lock,
                                   std::vector<CListen> listens) {
  CReportWrite write;
  write.listens = std::move(listens);
  write.stopped = incoming.stopped;
  write.kept = std::move(incoming);
  if (!write.stopped) write.track = m_writes.Next(account, write.kept, write.kept.arrivedAt);
  write.nowMs = m_clock.WallMs();
  write.intervalMs = m_minIntervalMs;
  lock.unlock();
  m_writes.ReportShared(account, std::move(write),
                        [done = std::move(done)](bool stored, CReportOutcome::EResult result,
                                                 const std::string& error) {
                          if (!stored) return done(EApply::kFailed, error);
                          switch (result) {
                            case CReportOutcome::EResult::kApplied:
                              return done(EApply::kStored, "");
                            case CReportOutcome::EResult::kKept:
                              return done(EApply::kKept, "");
                            case CReportOutcome::EResult::kGone:
                              break;
                          }
                          done(EApply::kNoAccount, "");
                        });
}

void CAccountReports::Keep(CHeldAccount& account, CKeptReport incoming, int64_t nowMs,
                           int64_t dueMs, ApplyDone done, std::vector<CListen> listens) {
  // Too soon: kept, committed now, so that neither a restart nor a crash loses it.
  incoming.dueAtMs = m_clock.WallMs() + (dueMs - nowMs);
  const uint64_t generation = ++account.keptGeneration;
  account.keptInStore = true;
  CAccountWrite write;
  write.keptAction = CAccountWrite::EKept::kSet;
  write.kept = incoming;
  const bool addsListens = !listens.empty();
  write.listens = std::move(listens);
  CHeldAccount* target = &account;
  m_store.Queue().Write(account.nameKey, std::move(write),
                        [this, target, incoming, generation, dueMs, addsListens,
                         done = std::move(done)](bool stored, const std::string& error) {
                          if (stored) {
                            std::lock_guard<std::mutex> lock(m_held.Mutex());
                            if (addsListens) {
                              // The listens are in the history now, before the report shows.
                              ++target->record.historyVersion;
                              m_held.MarkChanged(*target);
                            }
                            if (target->keptGeneration == generation && !target->removed) {
                              target->kept = incoming;
                              target->keptDueMs = dueMs;
                              m_due.Schedule(*target, dueMs);
                            }
                          }
                          done(stored ? EApply::kKept : EApply::kFailed, error);
                        });
}

void CAccountReports::ApplyHere(CHeldAccount& account, const CKeptReport& incoming, int64_t nowMs,
                                ApplyDone done, std::unique_lock<std::mutex>& lock,
                                std::vector<CListen> listens) {
  const std::optional<int64_t> previous = account.lastAcceptedMs;
  account.lastAcceptedMs = nowMs;
  const CTrackState next = m_writes.Next(account, incoming, incoming.arrivedAt);
  if (account.pendingWrites == 0 && !account.keptInStore && next == account.record.state &&
      listens.empty()) {
    // Nothing to write: what the report says is committed already.
    account.wrongKeySeen = false;
    lock.unlock();
    return done(EApply::kStored, "");
  }
  CHeldAccount* target = &account;
  m_writes.WriteState(
      account, next,
      [this, target, previous, nowMs, done = std::move(done)](bool stored,
                                                              const std::string& error) {
        if (!stored) {
          // Not applied, so it does not count against the interval either.
          std::lock_guard<std::mutex> lock(m_held.Mutex());
          if (target->lastAcceptedMs == nowMs) target->lastAcceptedMs = previous;
        }
        done(stored ? EApply::kStored : EApply::kFailed, error);
      },
      std::move(listens));
}
