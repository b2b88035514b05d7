// The storage interface of the service: accounts, their signature state and kept reports, sessions,
// limits and history; which database holds them is the implementation's business.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "storage/account_settings.h"
#include "storage/history.h"
#include "storage/track_state.h"

// A database failure; each one made counts in the metric velk_store_errors_total.
class CStoreError : public std::runtime_error {
 public:
  // `itemFault`: the database refused what one write holds (a value it cannot take), while the
  // database itself works; the writes committed with it may be stored without it.
  explicit CStoreError(const std::string& what, bool itemFault = false);
  bool ItemFault() const { return m_itemFault; }

 private:
  bool m_itemFault = false;
};

struct CAccountRecord {
  std::string name;     // as registered; unique without regard to letter case
  std::string keyHash;  // HashKey's text
  int codePage = 0;
  int64_t createdAt = 0;  // Unix seconds
  CTrackState state;
  CAccountSettings settings;
  // Kept by the database, so that every instance on it sees the same: how many state writes the
  // account has had, the Unix seconds of the last one (growing by at least 1 with each), and the
  // Unix milliseconds at which the last report was applied (0: none yet).
  int64_t version = 0;
  int64_t changedAt = 0;
  int64_t appliedAtMs = 0;
  // The player token of other players (empty: none made yet): its digest, by which a token finds
  // its account, and its MD5 in hex, the verifier of an Audioscrobbler handshake.
  std::string tokenHash;
  std::string tokenMd5;
  // The account's identity, never given to another account (also not to a later one of the same
  // name), and how many times its key was replaced: a session names both.
  int64_t id = 0;
  int64_t keyVersion = 0;
  // A player reported with a wrong key before any report was applied; the next report applied
  // ends it.
  bool wrongKey = false;
  // Whether the account's listens are kept in its history, and a number that grows with every
  // change of the history (listens added, history deleted); a change of it counts as a change of
  // the account, so the change feed carries it to every instance.
  bool keepHistory = false;
  int64_t historyVersion = 0;
};

enum class ECreateResult { kCreated, kDuplicate, kFailed };

// What a shared store tells each instance about the accounts that changed in the database, so
// that the instance may answer from what it holds in between. An account read at the current
// Epoch and not reported changed since is current, while Live holds.
class CChangeFeed {
 public:
  // The version of a change that says none: a deletion, or a note from another program.
  static constexpr int64_t kUnknownVersion = INT64_MAX;
  // Runs on the feed's thread for each change of an account: its lower-case name and its
  // version after the change (or kUnknownVersion).
  using OnChange = std::function<void(const std::string& nameKey, int64_t version)>;

  virtual ~CChangeFeed() = default;
  // Installs the one receiver, or with an empty function removes it; returns once no call of
  // the previous receiver is under way. Any thread but the receiver's own.
  virtual void Subscribe(OnChange onChange) = 0;
  // Changes whenever the feed cannot vouch that it reported every change since the value before
  // (its connection was down while accounts changed, a change went missing). Any thread.
  virtual uint64_t Epoch() const = 0;
  // Whether the feed has reported every change committed until a moment at most the staleness
  // bound ago. Any thread; never waits.
  virtual bool Live() const = 0;
};

// What one write changes for one account: its state, its kept report, or both, in one commit.
struct CAccountWrite {
  std::optional<CTrackState> state;  // the new state; nothing: the state stays
  int64_t nowMs = 0;                 // with `state`: the wall time of the write, Unix ms
  enum class EKept { kLeave, kSet, kClear };
  EKept keptAction = EKept::kLeave;
  CKeptReport kept;  // with kSet: the report to keep, replacing any kept before
  // Changes of the account itself; nothing: it stays. A change of settings or code page counts
  // as a change of what the image shows, as a state does (with `nowMs`).
  std::optional<CAccountSettings> settings;
  std::optional<std::string> keyHash;
  std::optional<int> codePage;
  // A new player token: its digest and MD5 (see CAccountRecord); the old one stops passing.
  std::optional<std::pair<std::string, std::string>> playerToken;
  // With `keyHash`: the session (its token's hash) that replaces the key and stays signed in;
  // every other session of the account ends with the commit.
  std::string keepSession;
  // Deletes the account with its state, settings and kept report, after any change above.
  bool remove = false;
  // Marks that a player reported with a wrong key, unless a report was applied before.
  bool markWrongKey = false;
  // Listens for the history (other players'; the plug-in's the store derives itself from the
  // states written, see CTrackState::fromPlugin): kept when the account keeps history, a listen
  // already kept is not kept again, the oldest beyond the store's history limit are removed.
  // Merged writes keep every listen of each.
  std::vector<CListen> listens;
  std::optional<bool> keepHistory;  // switches keeping history on or off
  bool clearHistory = false;        // deletes every listen and count, before `listens` are added
  // The store's own: the states of writes merged into this one before `state`, oldest first. The
  // store passes through each in turn, so that the plug-in's listens they end are kept.
  std::vector<CTrackState> passedStates;
};

// A report for a shared store, which decides in the write's transaction whether it is applied
// now or kept, so that the report interval and the kept report hold across instances: a report
// closer than `intervalMs` to the last one applied becomes the account's kept report (replacing
// any kept before, under a new, larger sequence number) and is due `intervalMs` after that one.
struct CReportWrite {
  bool stopped = false;  // a stop keeps the last track and marks the time of the first stop
  CTrackState track;     // without `stopped`: what the report shows, its tags in UTF-8
  CKeptReport kept;      // the report as it came; dueAtMs and seq are the store's to set
  int64_t nowMs = 0;     // the wall time of the write, Unix ms
  int64_t intervalMs = 0;
  // Not 0: applies the kept report of this sequence number if it is still kept (removing it),
  // else changes nothing; no interval applies then.
  int64_t claimSeq = 0;
  // Listens for the history, kept as CAccountWrite's are, whether the report is applied or kept.
  std::vector<CListen> listens;
};

struct CReportOutcome {
  enum class EResult { kApplied, kKept, kGone };  // kGone: no such account, or claim lost
  EResult result = EResult::kGone;
  int64_t dueAtMs = 0;  // with kKept: when the kept report may be applied, Unix ms
  int64_t seq = 0;      // with kKept: its sequence number
  // With kApplied: the account as the report left it, as every instance reads it.
  CTrackState state;
  int64_t version = 0;
  int64_t changedAt = 0;
};

class CWriteQueue;

// Sessions of the account page, written at once on the calling thread (not through the write
// queue). A session is known by its token's hash; it names its account by identity and key
// version, so a new key or a deletion ends it on every instance. Any thread; all throw
// CStoreError.
class CSessionStore {
 public:
  virtual ~CSessionStore() = default;
  // Starts the session `tokenHash` for the account `nameKey` if its key hash is still `keyHash`,
  // and ends the account's oldest sessions beyond `maxPerAccount`; false: no such account or key.
  virtual bool AddSession(const std::string& tokenHash, const std::string& nameKey,
                          const std::string& keyHash, int64_t nowMs, size_t maxPerAccount) = 0;
  // The lower-case name of the account of the session `tokenHash`, when the session began after
  // `bornAfterMs`, was used after `usedAfterMs` and its account still has the identity and key
  // version it began with; marks it used at `nowMs` when last marked over a minute before.
  virtual std::optional<std::string> FindSession(const std::string& tokenHash, int64_t nowMs,
                                                 int64_t bornAfterMs, int64_t usedAfterMs) = 0;
  virtual void EndSession(const std::string& tokenHash) = 0;
  // Removes sessions begun before `bornBeforeMs` or unused since `usedBeforeMs`, and those whose
  // account is gone or has a new key; returns how many.
  virtual size_t RemoveStaleSessions(int64_t bornBeforeMs, int64_t usedBeforeMs) = 0;
  // A random secret that every instance on the database shares, made on first use (hex): it
  // seals the sessions' form tokens and the pages' flashes.
  virtual std::string SharedSecret() = 0;
};

// What holds per client across the instances of a shared store: wrong keys and tokens per client
// address, and ids used once. Any thread; all throw CStoreError.
class CClientLimits {
 public:
  virtual ~CClientLimits() = default;
  // Counts a wrong key or token from the client address `address` at `atMs` (Unix ms) and
  // forgets every address's attempts before `forgetBeforeMs`; returns the times of the address's
  // attempts it keeps, oldest first. Only shared stores keep them (so that a limit holds across
  // instances); others return nothing.
  virtual std::vector<int64_t> AddFailedAttempt(const std::string& address, int64_t atMs,
                                                int64_t forgetBeforeMs) = 0;
  // The times of the wrong keys and tokens from `address` since `sinceMs`, oldest first.
  virtual std::vector<int64_t> FailedAttempts(const std::string& address, int64_t sinceMs) = 0;
  // Whether `id` is used for the first time: true once for each id, on every instance of the
  // store, until `expiresMs` (Unix ms) has passed.
  virtual bool UseOnce(const std::string& id, int64_t nowMs, int64_t expiresMs) = 0;
};

// The client limits of a store that one process alone uses: no attempts are kept (the process
// counts them in memory), ids used once are held in memory.
class CLocalLimits : public CClientLimits {
 public:
  std::vector<int64_t> AddFailedAttempt(const std::string&, int64_t, int64_t) override {
    return {};
  }
  std::vector<int64_t> FailedAttempts(const std::string&, int64_t) override { return {}; }
  bool UseOnce(const std::string& id, int64_t nowMs, int64_t expiresMs) override;

 private:
  std::mutex m_usedMutex;
  std::map<std::string, int64_t> m_used;  // ids and their expiry
};

// History look-ups, on the calling thread; all throw CStoreError.
class CHistoryReads {
 public:
  virtual ~CHistoryReads() = default;
  // The newest `count` listens of the account `nameKey`, newest first (ties in a fixed order, by
  // artist and title); nothing for an account without history.
  virtual std::vector<CListen> RecentListens(const std::string& nameKey, size_t count) = 0;
  // The first `count` rows of the account's chart over the days from `fromDay` (a ListenDay; 0:
  // all time), from the counts kept as listens came (never scanning the listens).
  virtual std::vector<CChartRow> Chart(const std::string& nameKey, EChart chart, int64_t fromDay,
                                       size_t count) = 0;
};

// The store: account look-ups on the calling thread, and by concern the write queue (every
// write of accounts, committed in batches by a writer thread), the sessions, the client limits
// and the history's reads. An implementation opens its database in its constructor and starts
// its queue last; its destructor commits what is queued before it closes the database.
class CStore {
 public:
  virtual ~CStore() = default;
  CStore(const CStore&) = delete;
  CStore& operator=(const CStore&) = delete;

  // The account whose name equals `name` without regard to ASCII letter case, or nothing. Any
  // thread. Throws CStoreError when the database fails.
  virtual std::optional<CAccountRecord> FindAccount(std::string_view name) = 0;
  // The name of the account whose player token has the digest `tokenHash`, or nothing. Any
  // thread. Throws CStoreError.
  virtual std::optional<std::string> FindNameByToken(std::string_view tokenHash) = 0;
  // Every kept report, by the lower-case name of its account. Throws CStoreError.
  virtual std::vector<std::pair<std::string, CKeptReport>> KeptReports() = 0;
  // Whether other processes may write the same data while this one runs (several instances on one
  // database server). Then callers must read what they show rather than trust what they hold.
  virtual bool Shared() const { return false; }
  // The feed of changes that other processes make, for a shared store; null for others. Made on
  // the first call, which must come before any other thread calls it; lives as long as the store.
  virtual CChangeFeed* Changes() { return nullptr; }

  // The parts by concern; each lives as long as the store.
  virtual CWriteQueue& Queue() = 0;
  virtual CSessionStore& Sessions() = 0;
  virtual CClientLimits& Limits() = 0;
  virtual CHistoryReads& History() = 0;

  // How many newest listens each account keeps; older ones (by their time) are removed as new
  // ones come, while their plays stay counted: an all-time chart counts every listen ever kept.
  // Call it before the first write.
  void SetHistoryLimit(size_t listens) { m_historyLimit = listens; }
  size_t HistoryLimit() const { return m_historyLimit; }

 protected:
  CStore() = default;

 private:
  size_t m_historyLimit = kDefaultHistoryListens;
};

// Opens the store that `db` names: a libpq connection string or URI ("postgresql://...",
// "host=... dbname=...") opens PostgreSQL, anything else is the path of a SQLite file, created
// when missing. Creates or upgrades the tables. Throws CStoreError.
std::unique_ptr<CStore> OpenStore(const std::string& db);
// Whether `db` names a PostgreSQL database rather than a file.
bool IsPostgresUri(std::string_view db);

// The lower-case form of an ASCII account name: the key that makes names unique.
std::string NameKey(std::string_view name);
// 32 random bytes as hex, for SharedSecret.
std::string NewSecret();
// A session's time of last use is written at most this often.
constexpr int64_t kSessionUseStepMs = 60000;
