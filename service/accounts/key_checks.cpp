// Whether a key offered for an account is its key: decided from memory where memory knows, else
// by one slow check per account at a time, within a bound of wrong keys per client address.
#include "accounts/key_checks.h"

#include <algorithm>
#include <optional>

#include "base/log.h"
#include "storage/write_queue.h"

CKeyChecks::CKeyChecks(CHeldAccounts& held, CStore& store, CWrongAttempts& attempts)
    : m_held(held), m_store(store), m_attempts(attempts) {}

CKeyChecks::EKeyCheck CKeyChecks::CheckKey(std::string_view name, const CKeyDigest& digest,
                                           bool wellFormed, std::string* keyHash, EKeyFrom from,
                                           const std::string& address) {
  std::unique_lock<std::mutex> lock;
  CHeldAccount* account = m_held.Lock(name, lock);
  if (!account) return EKeyCheck::kNoAccount;
  *keyHash = account->record.keyHash;
  if (account->rightKey && SameDigest(*account->rightKey, digest)) return EKeyCheck::kMatches;
  if (!wellFormed || (account->wrongKey && SameDigest(*account->wrongKey, digest))) {
    if (from == EKeyFrom::kPlayer) MarkWrongKeySeen(*account);
    return EKeyCheck::kWrong;
  }
  if (account->checkReserved) return EKeyCheck::kBusy;
  account->checkReserved = true;
  account->checkedHash = account->record.keyHash;
  // The address's wrong attempts on every instance count; asked without the lock.
  lock.unlock();
  int64_t waitMs = 0;
  try {
    waitMs = m_attempts.WaitMs(address);
  } catch (const CStoreError&) {
    lock.lock();
    account->checkReserved = false;
    account->checkedHash.clear();
    throw;
  }
  if (waitMs == 0) return EKeyCheck::kUnknown;
  lock.lock();
  account->checkReserved = false;
  account->checkedHash.clear();
  return EKeyCheck::kLimited;
}

bool CKeyChecks::RememberKeyCheck(std::string_view name, const CKeyDigest& digest, bool matches,
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
  // The account is held: CheckKey loaded it and reserved the check that ends here.
  CHeldAccount* account = m_held.Lock(name, lock, CHeldAccounts::ELoad::kHeld);
  if (!account) return false;
  account->checkReserved = false;
  if (failure) throw *failure;
  if (!checked) return false;
  // The key was replaced while the check ran: what it found says nothing of the new key.
  const bool replaced =
      !account->checkedHash.empty() && account->checkedHash != account->record.keyHash;
  account->checkedHash.clear();
  if (replaced) return false;
  if (matches) {
    account->rightKey = digest;
    return true;
  }
  account->wrongKey = digest;
  if (from == EKeyFrom::kPlayer) MarkWrongKeySeen(*account);
  return false;
}

bool CKeyChecks::KeyMatchesHeld(std::string_view name, const CKeyDigest& digest) {
  std::lock_guard<std::mutex> lock(m_held.Mutex());
  const CHeldAccount* account = m_held.HeldCurrent(name);
  return account && account->rightKey && SameDigest(*account->rightKey, digest);
}

int64_t CKeyChecks::KeyCheckRetryMs(const std::string& address) {
  try {
    return std::max<int64_t>(1, m_attempts.WaitMs(address));
  } catch (const CStoreError&) {
    return 1000;  // the database decides; ask again shortly
  }
}

void CKeyChecks::MarkWrongKeySeen(CHeldAccount& account) {
  if (account.wrongKeySeen || account.record.wrongKey) return;
  m_held.MarkChanged(account);
  account.wrongKeySeen = true;
  // Only an account that has shown no report yet says so; stored with it, so that every instance
  // shows the same.
  if (account.record.state.playback != CTrackState::EPlayback::kNone || account.pendingWrites > 0)
    return;
  CAccountWrite write;
  write.markWrongKey = true;
  m_store.Queue().Write(account.nameKey, std::move(write),
                        [](bool stored, const std::string& error) {
                          if (!stored) LogRepeated("wrong-key marker not stored", error);
                        });
}
