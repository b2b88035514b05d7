// What a report makes of a held account's signature state, and the writes that commit it: to a
// store of this process alone, or to a shared store that decides it.
#include "accounts/state_writes.h"

#include <algorithm>

#include "render/code_page.h"
#include "render/style.h"
#include "storage/write_queue.h"

namespace {

// Longest track length taken from a player (a day); longer ones count as not told.
constexpr int64_t kMaxDurationSeconds = 24 * 3600;

// The tags of another player's report as the signature shows them.
void SetPlayerTags(CTrackState& state, const CKeptReport& report) {
  state.artist = TrimBlanks(CleanUtf8(report.artist));
  state.title = TrimBlanks(CleanUtf8(report.title));
  state.album = TrimBlanks(CleanUtf8(report.album));
  state.year = TrimBlanks(CleanUtf8(report.year));
  state.genre = TrimBlanks(CleanUtf8(report.genre));
}

// The state after another player's report, which came at `arrivedAt`. The newest report wins:
// a track playing now always; a finished listen only over what began before it.
CTrackState NextFromPlayer(CTrackState state, const CKeptReport& report, int64_t arrivedAt) {
  using EPlayback = CTrackState::EPlayback;
  const int64_t duration =
      report.durationS > 0 && report.durationS <= kMaxDurationSeconds ? report.durationS : 0;
  CTrackState next;
  SetPlayerTags(next, report);
  if (report.source == CKeptReport::ESource::kNowPlaying) {
    next.playback = EPlayback::kPlaying;
    next.trackAt = arrivedAt;
    next.endsAt = duration > 0 ? arrivedAt + duration + kListenGraceSeconds : 0;
    return next;
  }
  const int64_t startedAt = std::min(report.startedAt, arrivedAt);
  const bool same = next.artist == state.artist && next.title == state.title;
  if (state.playback == EPlayback::kPlaying && same) {
    // The listen of the track playing now: it ends it, unless it came well before its end.
    if (state.endsAt > 0 &&
        state.endsAt - kListenGraceSeconds > arrivedAt + kListenBeforeEndSeconds) {
      return state;
    }
  } else if (state.playback != EPlayback::kNone && state.trackAt > startedAt) {
    return state;  // what the signature shows began after this listen
  }
  next.playback = EPlayback::kStopped;
  next.trackAt = startedAt;
  next.stoppedAt = duration > 0 ? std::min(arrivedAt, startedAt + duration) : arrivedAt;
  return next;
}

}  // namespace

CStateWrites::CStateWrites(CHeldAccounts& held, CDueReports& due, CStore& store,
                           const CClock& clock)
    : m_held(held), m_due(due), m_store(store), m_clock(clock) {}

CTrackState CStateWrites::Next(const CHeldAccount& account, const CKeptReport& report,
                               int64_t arrivedAt) const {
  CTrackState state = account.latest ? *account.latest : account.record.state;
  if (report.source != CKeptReport::ESource::kPlugin) {
    // A shared store decides a listen against what it holds when the listen is applied: what is
    // written is the listen's own state, shown unless something newer is.
    return NextFromPlayer(m_store.Shared() ? CTrackState() : state, report, arrivedAt);
  }
  if (report.stopped) {
    // A stop keeps the last track; a repeated stop keeps the time of the first.
    if (state.playback != CTrackState::EPlayback::kStopped) {
      state.playback = CTrackState::EPlayback::kStopped;
      state.stoppedAt = arrivedAt;
    }
    state.endsAt = 0;
    return state;
  }
  const CCodePage& codePage = CodePageFor(account.record.codePage);
  state.playback = CTrackState::EPlayback::kPlaying;
  state.fromPlugin = true;
  // A title guessed from a file name comes with the blanks around it; none of them are shown.
  state.artist = TrimBlanks(codePage.ToUtf8(report.artist));
  state.title = TrimBlanks(codePage.ToUtf8(report.title));
  state.album = TrimBlanks(codePage.ToUtf8(report.album));
  state.year = TrimBlanks(codePage.ToUtf8(report.year));
  state.genre = TrimBlanks(codePage.ToUtf8(report.genre));
  state.trackAt = arrivedAt;
  state.stoppedAt = 0;
  state.endsAt = 0;
  return state;
}

void CStateWrites::WriteState(CHeldAccount& account, const CTrackState& state,
                              std::function<void(bool, const std::string&)> committed,
                              std::vector<CListen> listens) {
  account.latest = state;
  ++account.pendingWrites;
  // A newer state supersedes the kept report, also one whose write is still queued.
  const uint64_t generation = ++account.keptGeneration;
  CAccountWrite write;
  write.state = state;
  write.nowMs = m_clock.WallMs();
  const bool addsListens = !listens.empty();
  write.listens = std::move(listens);
  // Most reports come in their turn: only clear a kept report the store may hold.
  const bool clears = account.keptInStore;
  if (clears) write.keptAction = CAccountWrite::EKept::kClear;
  account.keptInStore = false;
  CHeldAccount* target = &account;
  m_store.Queue().Write(account.nameKey, std::move(write),
                        [this, target, state, generation, clears, addsListens,
                         committed = std::move(committed)](bool stored, const std::string& error) {
                          {
                            std::lock_guard<std::mutex> lock(m_held.Mutex());
                            --target->pendingWrites;
                            if (!stored && clears) target->keptInStore = true;
                            if (stored) {
                              target->wrongKeySeen = false;
                              if (!(target->record.state == state) || addsListens) {
                                target->record.state = state;
                                // New listens change what the history images show.
                                if (addsListens) ++target->record.historyVersion;
                                m_held.MarkChanged(*target);
                              }
                              if (target->keptGeneration == generation) target->kept.reset();
                            }
                            if (target->pendingWrites == 0) target->latest.reset();
                          }
                          committed(stored, error);
                        });
}

void CStateWrites::ReportShared(CHeldAccount& account, CReportWrite write, SharedDone done) {
  CHeldAccount* target = &account;
  const CKeptReport raw = write.kept;
  m_store.Queue().Report(account.nameKey, std::move(write),
                         [this, target, raw, done = std::move(done)](
                             bool stored, const CReportOutcome& outcome, const std::string& error) {
                           if (stored && outcome.result == CReportOutcome::EResult::kApplied) {
                             std::lock_guard<std::mutex> lock(m_held.Mutex());
                             TakeApplied(*target, outcome);
                           }
                           if (stored && outcome.result == CReportOutcome::EResult::kKept) {
                             std::lock_guard<std::mutex> lock(m_held.Mutex());
                             ScheduleKept(*target, raw, outcome);
                           }
                           done(stored, outcome.result, error);
                         });
}

void CStateWrites::ScheduleKept(CHeldAccount& account, const CKeptReport& raw,
                                const CReportOutcome& outcome) {
  // Scheduled here; if another instance keeps a newer one meanwhile, the claim by this report's
  // number fails and the newer one is adopted instead.
  if (account.removed || account.applyingKept) return;
  account.kept = raw;
  account.kept->dueAtMs = outcome.dueAtMs;
  account.kept->seq = outcome.seq;
  account.keptDueMs = m_clock.SteadyMs() + std::max<int64_t>(0, outcome.dueAtMs - m_clock.WallMs());
  ++account.keptGeneration;
  m_due.Schedule(account, account.keptDueMs);
}

void CStateWrites::TakeApplied(CHeldAccount& account, const CReportOutcome& outcome) {
  // A look-up that finished meanwhile may have brought a newer state already; without a version
  // (another player's listen) the change notice brings it.
  if (outcome.version == 0 || outcome.version < account.record.version) return;
  account.wrongKeySeen = false;
  if (!(account.record.state == outcome.state)) {
    account.record.state = outcome.state;
    m_held.MarkChanged(account);
  }
  // As every instance reads it, so that all answer alike; and current without reading it again.
  account.record.version = outcome.version;
  account.record.changedAt = outcome.changedAt;
  account.changedAt = outcome.changedAt;
}
