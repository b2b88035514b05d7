// The accounts in use: their keys, code pages and signature state, kept in memory after first use.
#include "accounts/accounts.h"

#include <algorithm>
#include <chrono>

#include "base/log.h"
#include "render/code_page.h"
#include "render/style.h"

bool IsValidUserName(std::string_view name) {
  if (name.size() < 2 || name.size() > 32) return false;
  auto alnum = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
  };
  if (!alnum(name[0])) return false;
  for (char c : name) {
    if (!alnum(c) && c != '.' && c != '_' && c != '-') return false;
  }
  return true;
}

namespace {

// The form in which names are compared for look-alikes: lower case, without ".", "-" and "_".
std::string FoldedUserName(std::string_view name) {
  // A valid name is ASCII, where the Unicode compatibility form of every character is itself:
  // folding the letter case and dropping the separators is all there is to do.
  std::string folded;
  for (const char c : name) {
    if (c == '.' || c == '-' || c == '_') continue;
    folded += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  return folded;
}

}  // namespace

bool IsReservedUserName(std::string_view name) {
  static const char* const kReserved[] = {
      "username",   "admin",     "administrator", "root",       "velk",     "velk-service",
      "support",    "api",       "www",           "account",    "accounts", "signature",
      "signatures", "user",      "users",         "help",       "info",     "system",
      "sysadmin",   "webmaster", "hostmaster",    "postmaster", "abuse",    "security",
      "staff",      "moderator", "mod",           "official",   "service",  "register",
      "signin",     "login",     "status",        "noreply",    "no-reply", "anonymous",
      "guest",      "null",      "owner",         "operator",   "team",
  };
  const std::string folded = FoldedUserName(name);
  for (const char* reserved : kReserved) {
    if (folded == FoldedUserName(reserved)) return true;
  }
  return false;
}

namespace {

// A kept report whose write failed is tried again this much later.
constexpr int64_t kKeptRetryMs = 1000;
// How often a shared store is asked for kept reports that other instances left to apply, and how
// soon after a claim found its report replaced or taken.
constexpr int64_t kAdoptEveryMs = 2000;
constexpr int64_t kAdoptSoonMs = 200;

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

CAccounts::CAccounts(CStore& store, const CClock& clock, CAccountsOptions options)
    : m_store(store),
      m_clock(clock),
      m_options(options),
      m_attempts(store, clock, options.wrongKeysPerMinute),
      m_feed(store.Shared() ? store.Changes() : nullptr) {
  if (m_feed) {
    m_feed->Subscribe(
        [this](const std::string& nameKey, int64_t version) { TakeChange(nameKey, version); });
  }
  try {
    AdoptKeptReports();
  } catch (...) {
    // No destructor runs: the feed must not call into what is left of this object.
    if (m_feed) m_feed->Subscribe({});
    throw;
  }
  if (m_options.applyOnTime) m_scheduler = std::thread([this] { RunScheduler(); });
}

void CAccounts::AdoptKeptReports() {
  for (auto& [nameKey, kept] : m_store.KeptReports()) {
    std::unique_lock<std::mutex> lock;
    CEntry* entry = Lock(nameKey, lock, ELoad::kHeld);
    // Known already, or being applied: this instance has it in hand.
    if (!entry || entry->applyingKept ||
        (entry->kept && entry->kept->dueAtMs == kept.dueAtMs && entry->kept->seq == kept.seq)) {
      continue;
    }
    const int64_t nowMs = m_clock.SteadyMs();
    entry->kept = std::move(kept);
    entry->keptInStore = true;
    entry->keptDueMs = nowMs + std::max<int64_t>(0, entry->kept->dueAtMs - m_clock.WallMs());
    ++entry->keptGeneration;
    m_due.emplace(entry->keptDueMs, entry);
  }
}

CAccounts::~CAccounts() {
  if (m_feed) m_feed->Subscribe({});
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopping = true;
  }
  m_schedulerWake.notify_all();
  if (m_scheduler.joinable()) m_scheduler.join();
  // The callbacks of queued writes update the entries, so they must run before the entries go.
  m_store.Flush();
}

bool CAccounts::Current(const CEntry& entry) const {
  return m_feed && entry.readEpoch == m_feed->Epoch() && m_feed->Live() &&
         entry.record.version >= entry.reportedVersion;
}

void CAccounts::TakeChange(const std::string& nameKey, int64_t version) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto found = m_entries.find(nameKey);
  if (found != m_entries.end()) {
    CEntry& entry = *found->second;
    ++entry.changesReported;
    entry.reportedVersion = std::max(entry.reportedVersion, version);
  }
  auto reading = m_firstReads.find(nameKey);
  if (reading != m_firstReads.end()) {
    ++reading->second.changesReported;
    reading->second.reportedVersion = std::max(reading->second.reportedVersion, version);
  }
}

void CAccounts::Retire(CEntry& entry) {
  entry.removed = true;
  entry.kept.reset();
  ++entry.keptGeneration;
  for (auto it = m_due.begin(); it != m_due.end();) {
    it = it->second == &entry ? m_due.erase(it) : std::next(it);
  }
  auto found = m_entries.find(entry.nameKey);
  if (found != m_entries.end() && found->second.get() == &entry) {
    m_removed.push_back(std::move(found->second));
    m_entries.erase(found);
  }
}

CAccounts::CEntry* CAccounts::Lock(std::string_view name, std::unique_lock<std::mutex>& lock,
                                   ELoad load) {
  if (!IsValidUserName(name)) return nullptr;
  const std::string key = NameKey(name);
  lock = std::unique_lock<std::mutex>(m_mutex);
  auto found = m_entries.find(key);
  CEntry* const held = found == m_entries.end() ? nullptr : found->second.get();
  if (held) {
    if (held->removed) return nullptr;
    // Another instance may have changed a shared store's account since this one last looked,
    // unless the change feed vouches that it did not.
    if (load == ELoad::kHeld || !m_store.Shared()) return held;
    if (load == ELoad::kCurrent && Current(*held)) return held;
  }
  // What the feed reports while the look-up runs decides whether its answer is current.
  const uint64_t epoch = m_feed ? m_feed->Epoch() : 0;
  const uint64_t changesBefore = held ? held->changesReported : 0;
  if (!held) ++m_firstReads[key].readers;
  auto endFirstRead = [&](CFirstRead* reported) {
    auto reading = m_firstReads.find(key);
    if (reading == m_firstReads.end()) return;
    if (reported) *reported = reading->second;
    if (--reading->second.readers == 0) m_firstReads.erase(reading);
  };
  lock.unlock();
  // The look-up runs without the lock: other accounts need not wait for the database.
  std::optional<CAccountRecord> record;
  try {
    record = m_store.FindAccount(key);
  } catch (const CStoreError&) {
    lock.lock();
    if (!held) endFirstRead(nullptr);
    lock.unlock();
    throw;
  }
  lock.lock();
  CFirstRead firstRead;
  if (!held) endFirstRead(&firstRead);
  found = m_entries.find(key);
  CEntry* entry = found == m_entries.end() ? nullptr : found->second.get();
  if (entry && entry->removed) return nullptr;
  if (!record) {
    // An entry stays while its account is in use here, but one deleted elsewhere goes.
    if (entry && entry == held && m_store.Shared()) Retire(*entry);
    return nullptr;
  }
  if (entry && entry->record.id != record->id) {
    // The name was deleted and registered again elsewhere: another account.
    Retire(*entry);
    entry = nullptr;
  }
  if (!entry) {
    auto& slot = m_entries[key];
    slot = std::make_unique<CEntry>();
    entry = slot.get();
    entry->nameKey = key;
    entry->changedAt = record->changedAt;
    entry->record = std::move(*record);
    entry->version = ++m_lastVersion;
    entry->readEpoch = epoch;
    // Changes reported while the look-up ran may be newer than what it found.
    const bool changedMeanwhile =
        held ? held->changesReported != changesBefore : firstRead.changesReported > 0;
    entry->reportedVersion = !changedMeanwhile ? entry->record.version
                             : held            ? CChangeFeed::kUnknownVersion
                                               : firstRead.reportedVersion;
    return entry;
  }
  // A look-up that started before this instance's own write committed may find the state before
  // it: what is held is newer then.
  if (record->version >= entry->record.version) Refresh(*entry, std::move(*record));
  if (entry == held) {
    entry->readEpoch = epoch;
    if (entry->changesReported == changesBefore) entry->reportedVersion = entry->record.version;
  }
  return entry;
}

void CAccounts::Refresh(CEntry& entry, CAccountRecord record) {
  if (record.keyHash != entry.record.keyHash) {
    entry.rightKey.reset();
    entry.wrongKey.reset();
  }
  const CAccountSettings& was = entry.record.settings;
  const CAccountSettings& now = record.settings;
  const bool restyled = was.layout != now.layout || was.theme != now.theme ||
                        was.accent != now.accent || was.showAlbum != now.showAlbum ||
                        was.showYear != now.showYear || was.showGenre != now.showGenre ||
                        record.codePage != entry.record.codePage;
  if (record.version != entry.record.version || !(record.state == entry.record.state) || restyled) {
    entry.version = ++m_lastVersion;
    entry.changedAt = record.changedAt;
    entry.wrongKeySeen = false;
  }
  if (record.appliedAtMs > 0) {
    // The last report any instance applied counts against the interval here too.
    const int64_t appliedMs = m_clock.SteadyMs() - (m_clock.WallMs() - record.appliedAtMs);
    if (!entry.lastAcceptedMs || *entry.lastAcceptedMs < appliedMs)
      entry.lastAcceptedMs = appliedMs;
  }
  entry.record = std::move(record);
}

std::optional<CAccounts::CView> CAccounts::Find(std::string_view name) {
  std::unique_lock<std::mutex> lock;
  CEntry* entry = Lock(name, lock);
  if (!entry) return std::nullopt;
  return ViewOf(*entry);
}

std::optional<CAccounts::CView> CAccounts::FindHeld(std::string_view name) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto found = m_entries.find(NameKey(name));
  if (found == m_entries.end() || found->second->removed) return std::nullopt;
  const CEntry& entry = *found->second;
  if (m_store.Shared() && !Current(entry)) return std::nullopt;
  return ViewOf(entry);
}

bool CAccounts::KeyMatchesHeld(std::string_view name, const CKeyDigest& digest) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto found = m_entries.find(NameKey(name));
  if (found == m_entries.end() || found->second->removed) return false;
  const CEntry& entry = *found->second;
  if (m_store.Shared() && !Current(entry)) return false;
  return entry.rightKey && SameDigest(*entry.rightKey, digest);
}

CAccounts::CView CAccounts::ViewOf(const CEntry& entry) {
  CView view;
  view.name = entry.record.name;
  view.codePage = entry.record.codePage;
  view.createdAt = entry.record.createdAt;
  view.state = entry.record.state;
  view.version = entry.version;
  view.changedAt = entry.changedAt;
  view.wrongKey = (entry.wrongKeySeen || entry.record.wrongKey) &&
                  entry.record.state.playback == CTrackState::EPlayback::kNone;
  view.settings = entry.record.settings;
  view.tokenMd5 = entry.record.tokenMd5;
  view.keyHash = entry.record.keyHash;
  view.keepHistory = entry.record.keepHistory;
  view.historyVersion = entry.record.historyVersion;
  return view;
}

void CAccounts::MarkChanged(CEntry& entry) {
  entry.version = ++m_lastVersion;
  // Later than the change before, even within one second: Last-Modified must grow with each.
  entry.changedAt = std::max(m_clock.WallSeconds(), entry.changedAt + 1);
}

CAccounts::EKeyCheck CAccounts::CheckKey(std::string_view name, const CKeyDigest& digest,
                                         bool wellFormed, std::string* keyHash, EKeyFrom from,
                                         const std::string& address) {
  std::unique_lock<std::mutex> lock;
  CEntry* entry = Lock(name, lock);
  if (!entry) return EKeyCheck::kNoAccount;
  *keyHash = entry->record.keyHash;
  if (entry->rightKey && SameDigest(*entry->rightKey, digest)) return EKeyCheck::kMatches;
  if (!wellFormed || (entry->wrongKey && SameDigest(*entry->wrongKey, digest))) {
    if (from == EKeyFrom::kPlayer) MarkWrongKeySeen(*entry);
    return EKeyCheck::kWrong;
  }
  if (entry->checkReserved) return EKeyCheck::kBusy;
  entry->checkReserved = true;
  entry->checkedHash = entry->record.keyHash;
  // The address's wrong attempts on every instance count; asked without the lock.
  lock.unlock();
  int64_t waitMs = 0;
  try {
    waitMs = m_attempts.WaitMs(address);
  } catch (const CStoreError&) {
    lock.lock();
    entry->checkReserved = false;
    entry->checkedHash.clear();
    throw;
  }
  if (waitMs == 0) return EKeyCheck::kUnknown;
  lock.lock();
  entry->checkReserved = false;
  entry->checkedHash.clear();
  return EKeyCheck::kLimited;
}

bool CAccounts::RememberKeyCheck(std::string_view name, const CKeyDigest& digest, bool matches,
                                 bool checked, EKeyFrom from, const std::string& address) {
  std::optional<CStoreError> failure;
  if (checked && !matches) {
    try {
      m_attempts.Count(address);
    } catch (const CStoreError& error) {
      failure = error;
    }
  }
  std::unique_lock<std::mutex> lock;
  // The entry exists: CheckKey made it and reserved the check that ends here.
  CEntry* entry = Lock(name, lock, ELoad::kHeld);
  if (!entry) return false;
  entry->checkReserved = false;
  if (failure) throw *failure;
  if (!checked) return false;
  // The key was replaced while the check ran: what it found says nothing of the new key.
  const bool replaced = !entry->checkedHash.empty() && entry->checkedHash != entry->record.keyHash;
  entry->checkedHash.clear();
  if (replaced) return false;
  if (matches) {
    entry->rightKey = digest;
    return true;
  }
  entry->wrongKey = digest;
  if (from == EKeyFrom::kPlayer) MarkWrongKeySeen(*entry);
  return false;
}

void CAccounts::MarkWrongKeySeen(CEntry& entry) {
  if (entry.wrongKeySeen || entry.record.wrongKey) return;
  MarkChanged(entry);
  entry.wrongKeySeen = true;
  // Only an account that has shown no report yet says so; stored with it, so that every instance
  // shows the same.
  if (entry.record.state.playback != CTrackState::EPlayback::kNone || entry.pendingWrites > 0)
    return;
  CAccountWrite write;
  write.markWrongKey = true;
  m_store.Write(entry.nameKey, std::move(write), [](bool stored, const std::string& error) {
    if (!stored) LogRepeated("wrong-key marker not stored", error);
  });
}

int64_t CAccounts::KeyCheckRetryMs(const std::string& address) {
  try {
    return std::max<int64_t>(1, m_attempts.WaitMs(address));
  } catch (const CStoreError&) {
    return 1000;  // the database decides; ask again shortly
  }
}

CTrackState CAccounts::Next(const CEntry& entry, const CKeptReport& report,
                            int64_t arrivedAt) const {
  CTrackState state = entry.latest ? *entry.latest : entry.record.state;
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
  const CCodePage& codePage = CodePageFor(entry.record.codePage);
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

void CAccounts::WriteState(CEntry& entry, const CTrackState& state,
                           std::function<void(bool, const std::string&)> committed) {
  entry.latest = state;
  ++entry.pendingWrites;
  // A newer state supersedes the kept report, also one whose write is still queued.
  const uint64_t generation = ++entry.keptGeneration;
  CAccountWrite write;
  write.state = state;
  write.nowMs = m_clock.WallMs();
  // Most reports come in their turn: only clear a kept report the store may hold.
  const bool clears = entry.keptInStore;
  if (clears) write.keptAction = CAccountWrite::EKept::kClear;
  entry.keptInStore = false;
  CEntry* target = &entry;
  m_store.Write(entry.nameKey, std::move(write),
                [this, target, state, generation, clears, committed = std::move(committed)](
                    bool stored, const std::string& error) {
                  {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    --target->pendingWrites;
                    if (!stored && clears) target->keptInStore = true;
                    if (stored) {
                      target->wrongKeySeen = false;
                      if (!(target->record.state == state)) {
                        target->record.state = state;
                        MarkChanged(*target);
                      }
                      if (target->keptGeneration == generation) target->kept.reset();
                    }
                    if (target->pendingWrites == 0) target->latest.reset();
                  }
                  committed(stored, error);
                });
}

void CAccounts::Apply(std::string_view name, const CReport& report, ApplyDone done, bool justRead) {
  Submit(name, ToKept(report, m_clock.WallSeconds()), std::move(done), justRead);
}

void CAccounts::ApplyFromPlayer(std::string_view name, CKeptReport report, ApplyDone done) {
  report.arrivedAt = m_clock.WallSeconds();
  Submit(name, std::move(report), std::move(done), false);
}

void CAccounts::Submit(std::string_view name, CKeptReport incoming, ApplyDone done, bool justRead) {
  std::unique_lock<std::mutex> lock;
  // A shared store decides whether the account exists, and its interval: no need to read it.
  CEntry* entry = Lock(name, lock, justRead || m_store.Shared() ? ELoad::kHeld : ELoad::kCurrent);
  if (!entry) return done(EApply::kNoAccount, "");
  if (m_store.Shared()) {
    CReportWrite write;
    write.stopped = incoming.stopped;
    write.kept = incoming;
    if (!incoming.stopped) write.track = Next(*entry, write.kept, write.kept.arrivedAt);
    write.nowMs = m_clock.WallMs();
    write.intervalMs = m_options.minReportIntervalMs;
    lock.unlock();
    return ReportShared(*entry, std::move(write),
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
  const int64_t nowMs = m_clock.SteadyMs();
  const std::optional<int64_t> previous = entry->lastAcceptedMs;
  if (previous && nowMs - *previous < m_options.minReportIntervalMs) {
    // Too soon: kept, committed now, so that neither a restart nor a crash loses it.
    const int64_t dueMs = *previous + m_options.minReportIntervalMs;
    incoming.dueAtMs = m_clock.WallMs() + (dueMs - nowMs);
    const uint64_t generation = ++entry->keptGeneration;
    entry->keptInStore = true;
    CAccountWrite write;
    write.keptAction = CAccountWrite::EKept::kSet;
    write.kept = incoming;
    m_store.Write(entry->nameKey, std::move(write),
                  [this, entry, incoming, generation, dueMs, done = std::move(done)](
                      bool stored, const std::string& error) {
                    if (stored) {
                      std::lock_guard<std::mutex> lock(m_mutex);
                      if (entry->keptGeneration == generation && !entry->removed) {
                        entry->kept = incoming;
                        entry->keptDueMs = dueMs;
                        m_due.emplace(dueMs, entry);
                        m_schedulerWake.notify_one();
                      }
                    }
                    done(stored ? EApply::kKept : EApply::kFailed, error);
                  });
    return;
  }
  entry->lastAcceptedMs = nowMs;
  const CTrackState next = Next(*entry, incoming, incoming.arrivedAt);
  // (A shared store may hold a kept report from another instance, which this one supersedes.)
  if (entry->pendingWrites == 0 && !entry->keptInStore && !m_store.Shared() &&
      next == entry->record.state) {
    // Nothing to write: what the report says is committed already.
    entry->wrongKeySeen = false;
    lock.unlock();
    return done(EApply::kStored, "");
  }
  WriteState(*entry, next,
             [this, entry, previous, nowMs, done = std::move(done)](bool stored,
                                                                    const std::string& error) {
               if (!stored) {
                 // Not applied, so it does not count against the interval either.
                 std::lock_guard<std::mutex> lock(m_mutex);
                 if (entry->lastAcceptedMs == nowMs) entry->lastAcceptedMs = previous;
               }
               done(stored ? EApply::kStored : EApply::kFailed, error);
             });
}

void CAccounts::ReportShared(
    CEntry& entry, CReportWrite write,
    std::function<void(bool, CReportOutcome::EResult, const std::string&)> done) {
  CEntry* target = &entry;
  const CKeptReport raw = write.kept;
  m_store.Report(entry.nameKey, std::move(write),
                 [this, target, raw, done = std::move(done)](
                     bool stored, const CReportOutcome& outcome, const std::string& error) {
                   if (stored && outcome.result == CReportOutcome::EResult::kApplied) {
                     std::lock_guard<std::mutex> lock(m_mutex);
                     TakeApplied(*target, outcome);
                   }
                   if (stored && outcome.result == CReportOutcome::EResult::kKept) {
                     // Scheduled here; if another instance keeps a newer one meanwhile, the claim
                     // by this report's number fails and the newer one is adopted instead.
                     std::lock_guard<std::mutex> lock(m_mutex);
                     if (!target->removed && !target->applyingKept) {
                       target->kept = raw;
                       target->kept->dueAtMs = outcome.dueAtMs;
                       target->kept->seq = outcome.seq;
                       target->keptDueMs = m_clock.SteadyMs() +
                                           std::max<int64_t>(0, outcome.dueAtMs - m_clock.WallMs());
                       ++target->keptGeneration;
                       m_due.emplace(target->keptDueMs, target);
                       m_schedulerWake.notify_one();
                     }
                   }
                   done(stored, outcome.result, error);
                 });
}

void CAccounts::TakeApplied(CEntry& entry, const CReportOutcome& outcome) {
  // A look-up that finished meanwhile may have brought a newer state already; without a version
  // (another player's listen) the change notice brings it.
  if (outcome.version == 0 || outcome.version < entry.record.version) return;
  entry.wrongKeySeen = false;
  if (!(entry.record.state == outcome.state)) {
    entry.record.state = outcome.state;
    MarkChanged(entry);
  }
  // As every instance reads it, so that all answer alike; and current without reading it again.
  entry.record.version = outcome.version;
  entry.record.changedAt = outcome.changedAt;
  entry.changedAt = outcome.changedAt;
}

void CAccounts::ClaimKept(CEntry& entry) {
  entry.applyingKept = true;
  const CKeptReport kept = *entry.kept;
  CReportWrite write;
  write.stopped = kept.stopped;
  write.kept = kept;
  if (!kept.stopped) write.track = Next(entry, kept, kept.arrivedAt);
  write.nowMs = m_clock.WallMs();
  write.claimSeq = kept.seq;
  CEntry* target = &entry;
  ReportShared(
      entry, std::move(write),
      [this, target, kept](bool stored, CReportOutcome::EResult result, const std::string& error) {
        std::lock_guard<std::mutex> lock(m_mutex);
        target->applyingKept = false;
        const bool same = target->kept && target->kept->seq == kept.seq;
        if (stored) {
          if (same) target->kept.reset();
          // Claimed by another instance, or replaced by a newer report: look again soon.
          if (result == CReportOutcome::EResult::kGone) {
            m_adoptAtMs = std::min(m_adoptAtMs, m_clock.SteadyMs() + kAdoptSoonMs);
          }
          m_schedulerWake.notify_one();
          return;
        }
        if (!same) return;
        LogRepeated("kept report not applied", error);
        target->keptDueMs = m_clock.SteadyMs() + kKeptRetryMs;
        m_due.emplace(target->keptDueMs, target);
      });
}

void CAccounts::ApplyDueReports() {
  std::lock_guard<std::mutex> lock(m_mutex);
  const int64_t nowMs = m_clock.SteadyMs();
  while (!m_due.empty() && m_due.begin()->first <= nowMs) {
    const int64_t dueMs = m_due.begin()->first;
    CEntry* entry = m_due.begin()->second;
    m_due.erase(m_due.begin());
    if (!entry->kept || entry->applyingKept || entry->keptDueMs != dueMs || entry->removed) {
      continue;
    }
    if (m_store.Shared()) {
      ClaimKept(*entry);
      continue;
    }
    entry->applyingKept = true;
    const std::optional<int64_t> previous = entry->lastAcceptedMs;
    entry->lastAcceptedMs = nowMs;
    const CTrackState next = Next(*entry, *entry->kept, entry->kept->arrivedAt);
    WriteState(*entry, next, [this, entry, previous, nowMs](bool stored, const std::string& error) {
      std::lock_guard<std::mutex> lock(m_mutex);
      entry->applyingKept = false;
      if (stored) return;
      if (entry->lastAcceptedMs == nowMs) entry->lastAcceptedMs = previous;
      if (!entry->kept) return;
      // It stays kept in the store; try again once the fault may have cleared.
      LogRepeated("kept report not applied", error);
      entry->keptDueMs = m_clock.SteadyMs() + kKeptRetryMs;
      m_due.emplace(entry->keptDueMs, entry);
    });
  }
}

void CAccounts::RunScheduler() {
  std::unique_lock<std::mutex> lock(m_mutex);
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
    if (!m_due.empty()) {
      waitMs = std::clamp<int64_t>(m_due.begin()->first - m_clock.SteadyMs(), 0, 1000);
    }
    if (m_store.Shared()) waitMs = std::min(waitMs, m_adoptAtMs - m_clock.SteadyMs());
    if (waitMs > 0) {
      m_schedulerWake.wait_for(lock, std::chrono::milliseconds(waitMs));
      continue;
    }
    lock.unlock();
    ApplyDueReports();
    lock.lock();
  }
}
