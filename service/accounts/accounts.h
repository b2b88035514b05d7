// The accounts in use: their keys, code pages and signature state, kept in memory after first use.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "base/clock.h"
#include "base/event_limit.h"
#include "accounts/key_hash.h"
#include "accounts/report.h"
#include "accounts/wrong_attempts.h"
#include "storage/store.h"
#include "storage/track_state.h"

// Account names: 2 to 32 characters of ASCII letters, digits, ".", "_" and "-", starting with a
// letter or a digit. The plug-in sends the name unescaped, so nothing that has a meaning in a
// query ("&", "=", "?", "%", "+", blank) may appear in one.
bool IsValidUserName(std::string_view name);
// Names nobody may register, nor their look-alikes (compared in lower case and without ".", "-"
// and "_": "Ad_min." is "admin"): the plug-in's default user name, so that unconfigured players
// report to no account, and names that would pass for the service's own (admin, root, velk,
// support, api, ...). Only the making of an account asks: one that exists keeps working.
bool IsReservedUserName(std::string_view name);

struct CAccountsOptions {
  int64_t minReportIntervalMs = 2000;  // closer reports of one account are kept, not applied
  size_t wrongKeysPerMinute = 20;      // wrong keys and tokens per client address and minute
  bool applyOnTime = true;  // false: kept reports wait for ApplyDueReports (a test's clock)
};

// Loads accounts from the store on first use and keeps them; applies reports to them, and applies
// kept reports when they are due on a thread of its own. All members may be called from any
// thread; callbacks run on the store's writer thread.
class CAccounts {
 public:
  // Loads the kept reports from `store` and schedules them. Throws CStoreError.
  CAccounts(CStore& store, const CClock& clock, CAccountsOptions options);
  // Stops applying kept reports and waits until every write already queued has finished.
  ~CAccounts();
  CAccounts(const CAccounts&) = delete;
  CAccounts& operator=(const CAccounts&) = delete;

  struct CView {
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
  // The account called `name` in any letter case, or nothing. Throws CStoreError.
  std::optional<CView> Find(std::string_view name);
  // The account as this instance holds it, when that is known to be current without asking the
  // store: any held account of a store of this process alone, one of a shared store while its
  // change feed vouches for it. Nothing otherwise, also for an account not held. Never waits for
  // the database.
  std::optional<CView> FindHeld(std::string_view name);

  enum class EKeyCheck {
    kNoAccount,
    kMatches,  // the key that last passed the slow check
    kWrong,    // known to be wrong, or not even well formed
    kUnknown,  // a slow check against `*keyHash` must decide; finish with RememberKeyCheck
    kLimited,  // too many wrong keys from this client address lately: refuse without a check
    kBusy,     // a slow check of this account is under way: refuse without a check
  };
  // Who offers a key. Only a player's report may mark the account as reporting with a wrong key;
  // a failed sign-in counts against its address's wrong-key bound and changes nothing else.
  enum class EKeyFrom { kPlayer, kSignIn };
  // Decides `key` (given as its digest, and whether it is well formed), offered from the client
  // address `address`, from what the service remembers. kUnknown reserves the account's one slow
  // check. Throws CStoreError.
  EKeyCheck CheckKey(std::string_view name, const CKeyDigest& digest, bool wellFormed,
                     std::string* keyHash, EKeyFrom from = EKeyFrom::kPlayer,
                     const std::string& address = "");
  // Ends the slow check that kUnknown reserved: remembers its outcome (a wrong key counts against
  // `address`), or with `checked` false (the check could not run) only gives the reservation
  // back. Returns whether the key matches the account's key now: false also when the key was
  // replaced while the check ran (its outcome is then forgotten).
  bool RememberKeyCheck(std::string_view name, const CKeyDigest& digest, bool matches,
                        bool checked = true, EKeyFrom from = EKeyFrom::kPlayer,
                        const std::string& address = "");
  // Whether `digest` is the key that last passed the slow check of the account `name`, as this
  // instance holds it, known current without asking the store (see FindHeld). Never waits for the
  // database; false when that is not known.
  bool KeyMatchesHeld(std::string_view name, const CKeyDigest& digest);
  // Milliseconds until `address` may have another key or token checked (at least 1).
  int64_t KeyCheckRetryMs(const std::string& address);

  enum class EApply {
    kStored,     // applied and committed
    kKept,       // too soon after the last report applied: kept (committed), applied when due
    kNoAccount,  //
    kFailed,     // the write failed: nothing changed; `error` says why
  };
  using ApplyDone = std::function<void(EApply result, const std::string& error)>;
  // Applies a report whose key matched: a track report replaces the track; a stopped report keeps
  // the last track and marks the time of the stop. `done` runs once the outcome is committed, on
  // the store's writer thread (or at once on the calling thread for kNoAccount). A report that
  // comes too soon after the last one applied is kept instead, replacing any kept before, and is
  // applied once the interval has passed, unless a newer report comes first. So a player's final
  // "stopped", sent right after a track report, still reaches the signature. `justRead`: the
  // caller's CheckKey of this report has just read the account, so a shared store is not asked
  // again.
  void Apply(std::string_view name, const CReport& report, ApplyDone done, bool justRead = false);
  // Applies a report of another player (`report.source` is not kPlugin; its arrival is now) as
  // Apply does, within the same interval, with its own rules: a track playing now replaces the
  // state and, with a duration, ends by itself at start + duration + kListenGraceSeconds; a
  // finished listen shows as the last played track unless something newer is playing or shown.
  void ApplyFromPlayer(std::string_view name, CKeptReport report, ApplyDone done);
  // Applies the kept reports that are due now. The scheduler thread calls it; tests may too.
  void ApplyDueReports();

  // Changes of the account itself. Each is committed before `done(stored, error)` runs on the
  // store's writer thread (at once with false and an empty error when there is no such account),
  // and what Find and CheckKey see changes with the commit.
  using ChangeDone = std::function<void(bool stored, const std::string& error)>;
  void SaveSettings(std::string_view name, const CAccountSettings& settings, ChangeDone done);
  void SetCodePage(std::string_view name, int codePage, ChangeDone done);
  // From the commit on, only the key of `keyHash` (whose digest is `digest`) passes.
  // The session whose token hash is `keepSession` stays signed in; the account's others end.
  void ReplaceKey(std::string_view name, const std::string& keyHash, const CKeyDigest& digest,
                  const std::string& keepSession, ChangeDone done);
  // A new player token (its digest and MD5): from the commit on only it passes.
  void ReplacePlayerToken(std::string_view name, const std::string& tokenHash,
                          const std::string& tokenMd5, ChangeDone done);
  // Wrong player tokens and sessions count against the same bound per client address as wrong
  // keys. WrongAttemptsWaitMs: 0 while one more may be tried from `address`, else the
  // milliseconds until then. Both throw CStoreError (a shared store counts).
  int64_t WrongAttemptsWaitMs(const std::string& address) { return m_attempts.WaitMs(address); }
  void CountWrongAttempt(const std::string& address) { m_attempts.Count(address); }
  // Switches keeping the account's listening history on or off; what is kept stays.
  void SetKeepHistory(std::string_view name, bool keep, ChangeDone done);
  // Deletes every listen of the account's history and the counts of its charts.
  void ClearHistory(std::string_view name, ChangeDone done);
  // Deletes the account, its state, settings and key. From the call on, the account is gone for
  // reports and look-ups; once committed, its name is free again.
  void Remove(std::string_view name, ChangeDone done);

 private:
  struct CEntry {
    std::string nameKey;
    CAccountRecord record;  // record.state: what is committed
    uint64_t version = 1;
    int64_t changedAt = 0;
    std::optional<CTrackState> latest;  // the state once every queued write commits
    size_t pendingWrites = 0;
    std::optional<CKeyDigest> rightKey;
    std::optional<CKeyDigest> wrongKey;
    bool wrongKeySeen = false;
    bool checkReserved = false;
    std::optional<int64_t> lastAcceptedMs;
    std::optional<CKeptReport> kept;  // committed to the store as well
    int64_t keptDueMs = 0;            // steady time from which `kept` may be applied
    uint64_t keptGeneration = 0;      // grows with every kept report
    bool keptInStore = false;         // the store may hold a kept report of this account
    bool applyingKept = false;
    std::string checkedHash;  // the key hash that the reserved slow check uses
    bool removed = false;     // deleted: no longer found; kept in memory for writes under way
    // With a shared store's change feed: the feed's epoch when `record` was read, the newest
    // version that the feed reported since (kUnknownVersion: a change that named none), and how
    // many changes it reported of this account. `record` is current while the feed is live, the
    // epoch unchanged and its version at least the one reported.
    uint64_t readEpoch = 0;
    int64_t reportedVersion = 0;
    uint64_t changesReported = 0;
  };
  // Changes the feed reported of an account being read for the first time.
  struct CFirstRead {
    size_t readers = 0;
    int64_t reportedVersion = 0;
    uint64_t changesReported = 0;
  };
  // Queues `write` of an account change; on commit, `apply` updates the entry (m_mutex held).
  void WriteChange(std::string_view name, CAccountWrite write,
                   std::function<void(CEntry& entry)> apply, ChangeDone done);
  enum class ELoad {
    kHeld,     // what this instance holds; read from the store only when it holds nothing
    kCurrent,  // and from a shared store also unless its change feed vouches for what is held
    kRead,     // and from a shared store always
  };
  // The entry of `name`, loaded from the store as `load` says; null when there is no such
  // account. Returns with m_mutex held when the entry exists. Throws CStoreError when the store
  // fails.
  CEntry* Lock(std::string_view name, std::unique_lock<std::mutex>& lock,
               ELoad load = ELoad::kCurrent);
  static CView ViewOf(const CEntry& entry);  // m_mutex held
  // Whether `entry` may be answered from without reading the store (m_mutex held).
  bool Current(const CEntry& entry) const;
  // Takes a change that the feed reported: the next use of the account reads it again. Runs on
  // the feed's thread.
  void TakeChange(const std::string& nameKey, int64_t version);
  // Takes `entry` out of use for good (m_mutex held): its account is gone from the store.
  void Retire(CEntry& entry);
  // Takes what the store holds for `entry`'s account (m_mutex held): a change of state made
  // elsewhere changes the version, and the last report applied elsewhere counts for the interval.
  void Refresh(CEntry& entry, CAccountRecord record);
  // Schedules the kept reports of the store that this instance does not hold yet. Throws.
  void AdoptKeptReports();
  // Applies `incoming` (arrived now) to the account, or keeps it when it comes too soon.
  void Submit(std::string_view name, CKeptReport incoming, ApplyDone done, bool justRead);
  // The state `entry` shows once `report`, which came at wall time `arrivedAt`, is applied.
  CTrackState Next(const CEntry& entry, const CKeptReport& report, int64_t arrivedAt) const;
  // Queues `state` for `entry` (m_mutex held) and clears its kept report; `committed` runs with
  // the outcome after the entry has been updated, without m_mutex.
  void WriteState(CEntry& entry, const CTrackState& state,
                  std::function<void(bool stored, const std::string& error)> committed);
  // Queues `write` of `entry`'s account to a shared store, which decides it; a report kept is
  // scheduled here. `done` runs on the writer thread with the outcome.
  void ReportShared(
      CEntry& entry, CReportWrite write,
      std::function<void(bool stored, CReportOutcome::EResult result, const std::string& error)>
          done);
  // Takes the state that a shared store's report left (m_mutex held).
  void TakeApplied(CEntry& entry, const CReportOutcome& outcome);
  // Applies `entry`'s kept report of a shared store if it is still the one kept (m_mutex held).
  void ClaimKept(CEntry& entry);
  void MarkChanged(CEntry& entry);  // m_mutex held
  // A player reported with a wrong key: the image says so, on every instance, until a report
  // passes (m_mutex held).
  void MarkWrongKeySeen(CEntry& entry);
  void RunScheduler();

  CStore& m_store;
  const CClock& m_clock;
  const CAccountsOptions m_options;
  CWrongAttempts m_attempts;
  std::mutex m_mutex;
  std::unordered_map<std::string, std::unique_ptr<CEntry>> m_entries;  // by NameKey
  // Deleted accounts' entries, which callbacks of writes still queued may hold; a few hundred
  // bytes each until the process ends.
  std::vector<std::unique_ptr<CEntry>> m_removed;
  uint64_t m_lastVersion = 0;  // versions never repeat, also across a name deleted and reused
  std::multimap<int64_t, CEntry*> m_due;  // kept reports by the steady time they are due
  int64_t m_adoptAtMs = 0;    // steady time of the next look at a shared store's kept reports
  CChangeFeed* const m_feed;  // a shared store's, or null
  std::unordered_map<std::string, CFirstRead> m_firstReads;  // by NameKey
  std::condition_variable m_schedulerWake;
  bool m_stopping = false;
  std::thread m_scheduler;
};
