// The accounts this instance holds in memory: their look-up, and whether what is held is current.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "accounts/due_reports.h"
#include "accounts/key_hash.h"
#include "base/clock.h"
#include "storage/store.h"
#include "storage/track_state.h"

// What the rooms see of an account.
struct CAccountView {
  std::string name;
  int codePage = 0;
  int64_t createdAt = 0;
  CTrackState state;
  uint64_t version = 0;   // changes whenever what the image shows may change
  int64_t changedAt = 0;  // Unix seconds of the last such change in this process, growing
  bool wrongKey = false;  // reports came with a wrong key, and none with the right one yet
  CAccountSettings settings;
  std::string tokenMd5;  // of the player token; empty when none was made
  std::string keyHash;
  bool keepHistory = false;    // the account's listens are kept in its history
  int64_t historyVersion = 0;  // the store's count of changes of the history
};

// Loads accounts from the store on first use and keeps them. With a shared store, its change feed
// says which of them are still current. All members may be called from any thread unless they
// say that Mutex() must be held.
class CHeldAccounts {
 public:
  // Subscribes to a shared store's change feed. Every argument must outlive this; `due` holds
  // the kept reports of the accounts held here.
  CHeldAccounts(CStore& store, const CClock& clock, CDueReports& due);
  ~CHeldAccounts();
  CHeldAccounts(const CHeldAccounts&) = delete;
  CHeldAccounts& operator=(const CHeldAccounts&) = delete;

  enum class ELoad {
    kHeld,     // what this instance holds; read from the store only when it holds nothing
    kCurrent,  // and from a shared store also unless its change feed vouches for what is held
    kRead,     // and from a shared store always
  };
  // The account `name`, loaded from the store as `load` says; null when there is no such
  // account. Returns with Mutex() held in `lock` when the account exists. Throws CStoreError when
  // the store fails.
  CHeldAccount* Lock(std::string_view name, std::unique_lock<std::mutex>& lock,
                     ELoad load = ELoad::kCurrent);
  // The account called `name` in any letter case, or nothing. Throws CStoreError.
  std::optional<CAccountView> Find(std::string_view name);
  // The account as this instance holds it, when that is known to be current without asking the
  // store: any held account of a store of this process alone, one of a shared store while its
  // change feed vouches for it. Nothing otherwise, also for an account not held. Never waits for
  // the database.
  std::optional<CAccountView> FindHeld(std::string_view name);
  // The held account that FindHeld would answer from, or null (Mutex() held).
  const CHeldAccount* HeldCurrent(std::string_view name) const;

  // A change of what the account's image shows (Mutex() held): a new version, a later time.
  void MarkChanged(CHeldAccount& account);
  // Takes `account` out of use (Mutex() held): not found any more, its kept report dropped.
  // Forget then lets its name load afresh; until then it can still be put back in use.
  void Withdraw(CHeldAccount& account);
  void Forget(CHeldAccount& account);

  std::mutex& Mutex() { return m_mutex; }

 private:
  // Changes the feed reported of an account being read for the first time.
  struct CFirstRead {
    size_t readers = 0;
    int64_t reportedVersion = 0;
    uint64_t changesReported = 0;
  };
  // Whether `account` may be answered from without reading the store (Mutex() held).
  bool Current(const CHeldAccount& account) const;
  // Takes a change that the feed reported: the next use of the account reads it again. Runs on
  // the feed's thread.
  void TakeChange(const std::string& nameKey, int64_t version);
  // Takes what the store holds for `account` (Mutex() held): a change of state made elsewhere
  // changes the version, and the last report applied elsewhere counts for the interval.
  void Refresh(CHeldAccount& account, CAccountRecord record);

  CStore& m_store;
  const CClock& m_clock;
  CChangeFeed* const m_feed;  // a shared store's, or null
  std::mutex m_mutex;
  std::unordered_map<std::string, std::unique_ptr<CHeldAccount>> m_accounts;  // by NameKey
  // Deleted accounts, which callbacks of writes still queued may hold; a few hundred bytes each
  // until this ends.
  std::vector<std::unique_ptr<CHeldAccount>> m_removed;
  uint64_t m_lastVersion = 0;  // versions never repeat, also across a name deleted and reused
  std::unordered_map<std::string, CFirstRead> m_firstReads;  // by NameKey
  CDueReports& m_due;
};
