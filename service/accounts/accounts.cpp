// The accounts in use: their keys, code pages and signature state, kept in memory after first use.
#include "accounts/accounts.h"

#include "render/code_page.h"

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

bool IsReservedUserName(std::string_view name) { return NameKey(name) == "username"; }

CAccounts::CAccounts(CStore& store, const CClock& clock, int64_t minReportIntervalMs)
    : m_store(store), m_clock(clock), m_minReportIntervalMs(minReportIntervalMs) {}

CAccounts::CEntry* CAccounts::Lock(std::string_view name, std::unique_lock<std::mutex>& lock) {
  if (!IsValidUserName(name)) return nullptr;
  const std::string key = NameKey(name);
  lock = std::unique_lock<std::mutex>(m_mutex);
  auto found = m_entries.find(key);
  if (found != m_entries.end()) return found->second.get();
  lock.unlock();
  // The look-up runs without the lock: other accounts need not wait for the database.
  std::optional<CAccountRecord> record = m_store.FindAccount(key);
  if (!record) return nullptr;
  lock.lock();
  auto& slot = m_entries[key];
  if (!slot) {
    slot = std::make_unique<CEntry>();
    slot->record = std::move(*record);
  }
  return slot.get();
}

std::optional<CAccounts::CView> CAccounts::Find(std::string_view name) {
  std::unique_lock<std::mutex> lock;
  CEntry* entry = Lock(name, lock);
  if (!entry) return std::nullopt;
  ApplyDeferredLocked(*entry);
  CView view;
  view.name = entry->record.name;
  view.codePage = entry->record.codePage;
  view.createdAt = entry->record.createdAt;
  view.state = entry->record.state;
  view.version = entry->version;
  view.wrongKey =
      entry->wrongKeySeen && entry->record.state.playback == CTrackState::EPlayback::kNone;
  return view;
}

CAccounts::EKeyCheck CAccounts::CheckKey(std::string_view name, const CKeyDigest& digest,
                                         std::string* keyHash) {
  std::unique_lock<std::mutex> lock;
  CEntry* entry = Lock(name, lock);
  if (!entry) return EKeyCheck::kNoAccount;
  if (entry->rightKey && SameDigest(*entry->rightKey, digest)) return EKeyCheck::kMatches;
  if (entry->wrongKey && SameDigest(*entry->wrongKey, digest)) {
    if (!entry->wrongKeySeen) ++entry->version;
    entry->wrongKeySeen = true;
    return EKeyCheck::kWrong;
  }
  *keyHash = entry->record.keyHash;
  return EKeyCheck::kUnknown;
}

void CAccounts::RememberKeyCheck(std::string_view name, const CKeyDigest& digest, bool matches) {
  std::unique_lock<std::mutex> lock;
  CEntry* entry = Lock(name, lock);
  if (!entry) return;
  if (matches) {
    entry->rightKey = digest;
  } else {
    entry->wrongKey = digest;
    if (!entry->wrongKeySeen) ++entry->version;
    entry->wrongKeySeen = true;
  }
}

CAccounts::EApply CAccounts::Apply(std::string_view name, const CReport& report) {
  std::unique_lock<std::mutex> lock;
  CEntry* entry = Lock(name, lock);
  if (!entry) return EApply::kNoAccount;
  const int64_t nowMs = m_clock.SteadyMs();
  if (entry->lastAcceptedMs && nowMs - *entry->lastAcceptedMs < m_minReportIntervalMs) {
    entry->deferred = report;
    entry->deferredAt = m_clock.WallSeconds();
    return EApply::kRateLimited;
  }
  // A newer report supersedes one still waiting for its turn.
  entry->deferred.reset();
  entry->lastAcceptedMs = nowMs;
  ApplyLocked(*entry, report, m_clock.WallSeconds());
  return EApply::kStored;
}

void CAccounts::ApplyDeferredLocked(CEntry& entry) {
  if (!entry.deferred) return;
  const int64_t nowMs = m_clock.SteadyMs();
  if (entry.lastAcceptedMs && nowMs - *entry.lastAcceptedMs < m_minReportIntervalMs) return;
  const CReport report = std::move(*entry.deferred);
  entry.deferred.reset();
  entry.lastAcceptedMs = nowMs;
  ApplyLocked(entry, report, entry.deferredAt);
}

void CAccounts::ApplyLocked(CEntry& entry, const CReport& report, int64_t arrivedAt) {
  entry.wrongKeySeen = false;
  CTrackState& state = entry.record.state;
  const CTrackState before = state;
  if (report.stopped) {
    // A stop keeps the last track; a repeated stop keeps the time of the first.
    if (state.playback != CTrackState::EPlayback::kStopped) {
      state.playback = CTrackState::EPlayback::kStopped;
      state.stoppedAt = arrivedAt;
    }
  } else {
    const CCodePage& codePage = CodePageFor(entry.record.codePage);
    state.playback = CTrackState::EPlayback::kPlaying;
    state.artist = codePage.ToUtf8(report.artist);
    state.title = codePage.ToUtf8(report.title);
    state.album = codePage.ToUtf8(report.album);
    state.year = codePage.ToUtf8(report.year);
    state.genre = codePage.ToUtf8(report.genre);
    state.trackAt = arrivedAt;
    state.stoppedAt = 0;
  }
  if (!(state == before)) {
    ++entry.version;
    m_store.SaveState(entry.record.name, state);
  }
}
