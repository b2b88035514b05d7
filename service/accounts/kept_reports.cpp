// The kept reports: adopted from the store, and applied when due on a thread of their own.
#include "accounts/kept_reports.h"

#include <algorithm>
#include <mutex>
#include <optional>

#include "base/log.h"

namespace {

// A kept report whose write failed is tried again this much later.
constexpr int64_t kKeptRetryMs = 1000;
// How often a shared store is asked for kept reports that other instances left to apply, and how
// soon after a claim found its report replaced or taken.
constexpr int64_t kAdoptEveryMs = 2000;
constexpr int64_t kAdoptSoonMs = 200;

}  // namespace

CKeptReports::CKeptReports(CHeldAccounts& held, CDueReports& due, CStateWrites& writes,
                           CStore& store, const CClock& clock, bool applyOnTime)
    : m_held(held), m_due(due), m_writes(writes), m_store(store), m_clock(clock) {
  AdoptKeptReports();
  if (applyOnTime) m_scheduler = std::thread([this] { RunScheduler(); });
}

CKeptReports::~CKeptReports() { Stop(); }

void CKeptReports::Stop() {
  {
    std::lock_guard<std::mutex> lock(m_held.Mutex());
    m_stopping = true;
    m_due.Wake();
  }
  if (m_scheduler.joinable()) m_scheduler.join();
}

void CKeptReports::AdoptKeptReports() {
  for (auto& [nameKey, kept] : m_store.KeptReports()) {
    std::unique_lock<std::mutex> lock;
    CHeldAccount* account = m_held.Lock(nameKey, lock, CHeldAccounts::ELoad::kHeld);
    // Known already, or being applied: this instance has it in hand.
    if (!account || account->applyingKept ||
        (account->kept && account->kept->dueAtMs == kept.dueAtMs &&
         account->kept->seq == kept.seq)) {
      continue;
    }
    const int64_t nowMs = m_clock.SteadyMs();
    account->kept = std::move(kept);
    account->keptInStore = true;
    account->keptDueMs = nowMs + std::max<int64_t>(0, account->kept->dueAtMs - m_clock.WallMs());
    ++account->keptGeneration;
    m_due.Schedule(*account, account->keptDueMs);
  }
}

void CKeptReports::ClaimKept(CHeldAccount& account) {
  account.applyingKept = true;
  const CKeptReport kept = *account.kept;
  CReportWrite write;
  write.stopped = kept.stopped;
  write.kept = kept;
  if (!kept.stopped) write.track = m_writes.Next(account, kept, kept.arrivedAt);
  write.nowMs = m_clock.WallMs();
  write.claimSeq = kept.seq;
  CHeldAccount* target = &account;
  m_writes.ReportShared(
      account, std::move(write),
      [this, target, kept](bool stored, CReportOutcome::EResult result, const std::string& error) {
        std::lock_guard<std::mutex> lock(m_held.Mutex());
        target->applyingKept = false;
        const bool same = target->kept && target->kept->seq == kept.seq;
        if (stored) {
          if (same) target->kept.reset();
          // Claimed by another instance, or replaced by a newer report: look again soon.
          if (result == CReportOutcome::EResult::kGone) {
            m_adoptAtMs = std::min(m_adoptAtMs, m_clock.SteadyMs() + kAdoptSoonMs);
          }
          m_due.Wake();
          return;
        }
        if (!same) return;
        LogRepeated("kept report not applied", error);
        target->keptDueMs = m_clock.SteadyMs() + kKeptRetryMs;
        m_due.Schedule(*target, target->keptDueMs);
      });
}

void CKeptReports::ApplyHere(CHeldAccount& account, int64_t nowMs) {
  account.applyingKept = true;
  const std::optional<int64_t> previous = account.lastAcceptedMs;
  account.lastAcceptedMs = nowMs;
  const CTrackState next = m_writes.Next(account, *account.kept, account.kept->arrivedAt);
  CHeldAccount* target = &account;
  m_writes.WriteState(account, next,
                      [this, target, previous, nowMs](bool stored, const std::string& error) {
                        std::lock_guard<std::mutex> lock(m_held.Mutex());
                        target->applyingKept = false;
                        if (stored) return;
                        if (target->lastAcceptedMs == nowMs) target->lastAcceptedMs = previous;
                        if (!target->kept) return;
                        // It stays kept in the store; try again once the fault may have cleared.
                        LogRepeated("kept report not applied", error);
                        target->keptDueMs = m_clock.SteadyMs() + kKeptRetryMs;
                        m_due.Schedule(*target, target->keptDueMs);
                      });
}

void CKeptReports::ApplyDueReports() {
  std::lock_guard<std::mutex> lock(m_held.Mutex());
  const int64_t nowMs = m_clock.SteadyMs();
  int64_t dueMs = 0;
  while (CHeldAccount* account = m_due.TakeDue(nowMs, &dueMs)) {
    if (!account->kept || account->applyingKept || account->keptDueMs != dueMs ||
        account->removed) {
      continue;
    }
    if (m_store.Shared()) {
      ClaimKept(*account);
    } else {
      ApplyHere(*account, nowMs);
    }
  }
}

void CKeptReports::RunScheduler() {
  std::unique_lock<std::mutex> lock(m_held.Mutex());
  m_adoptAtMs = m_clock.SteadyMs() + kAdoptEveryMs;
  while (!m_stopping) {
    if (m_store.Shared() && m_clock.SteadyMs() >= m_adoptAtMs) {
      m_adoptAtMs = m_clock.SteadyMs() + kAdoptEveryMs;
      lock.unlock();
      try {
        AdoptKeptReports();
      } catch (const CStoreError& error) {
        LogRepeated("kept reports not read", error.what());
      }
      lock.lock();
      continue;
    }
    int64_t waitMs = 1000;
    if (const std::optional<int64_t> nextMs = m_due.NextDueMs()) {
      waitMs = std::clamp<int64_t>(*nextMs - m_clock.SteadyMs(), 0, 1000);
    }
    if (m_store.Shared()) waitMs = std::min(waitMs, m_adoptAtMs - m_clock.SteadyMs());
    if (waitMs > 0) {
      m_due.WaitFor(lock, waitMs);
      continue;
    }
    lock.unlock();
    ApplyDueReports();
    lock.lock();
  }
}
