// The accounts this instance holds in memory: their look-up, and whether what is held is current.
#include "accounts/held_accounts.h"

#include <algorithm>

#include "accounts/user_name.h"

namespace {

CAccountView ViewOf(const CHeldAccount& account) {
  CAccountView view;
  view.name = account.record.name;
  view.codePage = account.record.codePage;
  view.createdAt = account.record.createdAt;
  view.state = account.record.state;
  view.version = account.version;
  view.changedAt = account.changedAt;
  view.wrongKey = (account.wrongKeySeen || account.record.wrongKey) &&
                  account.record.state.playback == CTrackState::EPlayback::kNone;
  view.settings = account.record.settings;
  view.tokenMd5 = account.record.tokenMd5;
  view.keyHash = account.record.keyHash;
  view.keepHistory = account.record.keepHistory;
  view.historyVersion = account.record.historyVersion;
  return view;
}

}  // namespace

CHeldAccounts::CHeldAccounts(CStore& store, const CClock& clock, CDueReports& due)
    : m_store(store),
      m_clock(clock),
      m_feed(store.Shared() ? store.Changes() : nullptr),
      m_due(due) {
  if (m_feed) {
    m_feed->Subscribe(
        [this](const std::string& nameKey, int64_t version) { TakeChange(nameKey, version); });
  }
}

CHeldAccounts::~CHeldAccounts() {
  if (m_feed) m_feed->Subscribe({});
}

bool CHeldAccounts::Current(const CHeldAccount& account) const {
  return m_feed && account.readEpoch == m_feed->Epoch() && m_feed->Live() &&
         account.record.version >= account.reportedVersion;
}

void CHeldAccounts::TakeChange(const std::string& nameKey, int64_t version) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto found = m_accounts.find(nameKey);
  if (found != m_accounts.end()) {
    CHeldAccount& account = *found->second;
    ++account.changesReported;
    account.reportedVersion = std::max(account.reportedVersion, version);
  }
  auto reading = m_firstReads.find(nameKey);
  if (reading != m_firstReads.end()) {
    ++reading->second.changesReported;
    reading->second.reportedVersion = std::max(reading->second.reportedVersion, version);
  }
}

void CHeldAccounts::Withdraw(CHeldAccount& account) {
  account.removed = true;
  account.kept.reset();
  ++account.keptGeneration;
  m_due.Unschedule(account);
}

void CHeldAccounts::Forget(CHeldAccount& account) {
  auto found = m_accounts.find(account.nameKey);
  if (found != m_accounts.end() && found->second.get() == &account) {
    m_removed.push_back(std::move(found->second));
    m_accounts.erase(found);
  }
}

CHeldAccount* CHeldAccounts::Lock(std::string_view name, std::unique_lock<std::mutex>& lock,
                                  ELoad load) {
  if (!IsValidUserName(name)) return nullptr;
  const std::string key = NameKey(name);
  lock = std::unique_lock<std::mutex>(m_mutex);
  auto found = m_accounts.find(key);
  CHeldAccount* const held = found == m_accounts.end() ? nullptr : found->second.get();
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
  found = m_accounts.find(key);
  CHeldAccount* account = found == m_accounts.end() ? nullptr : found->second.get();
  if (account && account->removed) return nullptr;
  if (!record) {
    // An account stays while it is in use here, but one deleted elsewhere goes.
    if (account && account == held && m_store.Shared()) {
      Withdraw(*account);
      Forget(*account);
    }
    return nullptr;
  }
  if (account && account->record.id != record->id) {
    // The name was deleted and registered again elsewhere: another account.
    Withdraw(*account);
    Forget(*account);
    account = nullptr;
  }
  if (!account) {
    auto& slot = m_accounts[key];
    slot = std::make_unique<CHeldAccount>();
    account = slot.get();
    account->nameKey = key;
    account->changedAt = record->changedAt;
    account->record = std::move(*record);
    account->version = ++m_lastVersion;
    account->readEpoch = epoch;
    // Changes reported while the look-up ran may be newer than what it found.
    const bool changedMeanwhile =
        held ? held->changesReported != changesBefore : firstRead.changesReported > 0;
    account->reportedVersion = !changedMeanwhile ? account->record.version
                               : held            ? CChangeFeed::kUnknownVersion
                                                 : firstRead.reportedVersion;
    return account;
  }
  // A look-up that started before this instance's own write committed may find the state before
  // it: what is held is newer then.
  if (record->version >= account->record.version) Refresh(*account, std::move(*record));
  if (account == held) {
    account->readEpoch = epoch;
    if (account->changesReported == changesBefore)
      account->reportedVersion = account->record.version;
  }
  return account;
}

void CHeldAccounts::Refresh(CHeldAccount& account, CAccountRecord record) {
  if (record.keyHash != account.record.keyHash) {
    account.rightKey.reset();
    account.wrongKey.reset();
  }
  const CAccountSettings& was = account.record.settings;
  const CAccountSettings& now = record.settings;
  const bool restyled = was.layout != now.layout || was.theme != now.theme ||
                        was.accent != now.accent || was.showAlbum != now.showAlbum ||
                        was.showYear != now.showYear || was.showGenre != now.showGenre ||
                        record.codePage != account.record.codePage;
  if (record.version != account.record.version || !(record.state == account.record.state) ||
      restyled) {
    account.version = ++m_lastVersion;
    account.changedAt = record.changedAt;
    account.wrongKeySeen = false;
  }
  if (record.appliedAtMs > 0) {
    // The last report any instance applied counts against the interval here too.
    const int64_t appliedMs = m_clock.SteadyMs() - (m_clock.WallMs() - record.appliedAtMs);
    if (!account.lastAcceptedMs || *account.lastAcceptedMs < appliedMs)
      account.lastAcceptedMs = appliedMs;
  }
  account.record = std::move(record);
}

std::optional<CAccountView> CHeldAccounts::Find(std::string_view name) {
  std::unique_lock<std::mutex> lock;
  CHeldAccount* account = Lock(name, lock);
  if (!account) return std::nullopt;
  return ViewOf(*account);
}

const CHeldAccount* CHeldAccounts::HeldCurrent(std::string_view name) const {
  auto found = m_accounts.find(NameKey(name));
  if (found == m_accounts.end() || found->second->removed) return nullptr;
  const CHeldAccount& account = *found->second;
  if (m_store.Shared() && !Current(account)) return nullptr;
  return &account;
}

std::optional<CAccountView> CHeldAccounts::FindHeld(std::string_view name) {
  std::lock_guard<std::mutex> lock(m_mutex);
  const CHeldAccount* account = HeldCurrent(name);
  if (!account) return std::nullopt;
  return ViewOf(*account);
}

void CHeldAccounts::MarkChanged(CHeldAccount& account) {
  account.version = ++m_lastVersion;
  // Later than the change before, even within one second: Last-Modified must grow with each.
  account.changedAt = std::max(m_clock.WallSeconds(), account.changedAt + 1);
}
