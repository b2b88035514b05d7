// The storage interface of the service: accounts, their signature state and kept reports, written
// in batches by one writer thread; which database holds them is the implementation's business.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "storage/account_settings.h"
#include "storage/track_state.h"

// A database failure; each one made counts in the metric velk_store_errors_total.
class CStoreError : public std::runtime_error {
 public:
  explicit CStoreError(const std::string& what);
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
};

enum class ECreateResult { kCreated, kDuplicate, kFailed };

// What one write changes for one account: its state, its kept report, or both, in one commit.
struct CAccountWrite {
  std::optional<CTrackState> state;  // the new state; nothing: the state stays
  int64_t nowMs = 0;                 // with `state`: the wall time of the write, Unix ms
  // With `state`: write it only while the kept report due at this time is still in the database,
  // and remove that report; otherwise the write changes nothing (another instance applied or
  // replaced that report first). 0: unconditional.
  int64_t onlyIfKeptDueAtMs = 0;
  enum class EKept { kLeave, kSet, kClear };
  EKept keptAction = EKept::kLeave;
  CKeptReport kept;  // with kSet: the report to keep, replacing any kept before
  // Changes of the account itself; nothing: it stays. A change of settings or code page counts
  // as a change of what the image shows, as a state does (with `nowMs`).
  std::optional<CAccountSettings> settings;
  std::optional<std::string> keyHash;
  std::optional<int> codePage;
  // Deletes the account with its state, settings and kept report, after any change above.
  bool remove = false;
};

// Queues writes and commits them in batches on a writer thread of its own, so that many reports
// cost one transaction; each write's caller learns the outcome only once its transaction has
// committed or failed. Look-ups run on the calling thread. An implementation opens its database
// in its constructor, then calls StartWriter; its destructor calls StopWriter first.
class CStore {
 public:
  // Runs on the writer thread once a write's transaction has committed (`stored`) or failed
  // (`error` says why).
  using Done = std::function<void(bool stored, const std::string& error)>;

  virtual ~CStore();
  CStore(const CStore&) = delete;
  CStore& operator=(const CStore&) = delete;

  // Commits a small write, so that a database that cannot be written (a full disk, a read-only
  // mount, missing rights) is noticed before anything is promised. Throws CStoreError with a
  // message for people. Call it before queuing any write.
  virtual void CheckWritable() = 0;

  // The account whose name equals `name` without regard to ASCII letter case, or nothing. Any
  // thread. Throws CStoreError when the database fails.
  virtual std::optional<CAccountRecord> FindAccount(std::string_view name) = 0;
  // Every kept report, by the lower-case name of its account. Throws CStoreError.
  virtual std::vector<std::pair<std::string, CKeptReport>> KeptReports() = 0;

  // Whether other processes may write the same data while this one runs (several instances on one
  // database server). Then callers must read what they show rather than trust what they hold.
  virtual bool Shared() const { return false; }
  // Counts a failed key check of the account `nameKey` at `atMs` (Unix ms) and forgets those
  // before `forgetBeforeMs`; returns the times of those it keeps, oldest first. Only shared stores
  // keep them (so that a limit holds across instances); others return nothing. Throws CStoreError.
  virtual std::vector<int64_t> AddFailedKeyCheck(const std::string& nameKey, int64_t atMs,
                                                 int64_t forgetBeforeMs);
  // The times of the failed key checks of `nameKey` since `sinceMs`, oldest first. Throws.
  virtual std::vector<int64_t> FailedKeyChecks(const std::string& nameKey, int64_t sinceMs);

  // Queues the creation of an account; `done` runs on the writer thread once the outcome is known
  // (kDuplicate when the name is taken in any letter case).
  void CreateAccount(CAccountRecord record, std::function<void(ECreateResult)> done);
  // Queues a write for the account `name`. A later write of the same account still queued is
  // merged into it (the later state and kept report win); both callers learn the one outcome.
  void Write(const std::string& name, CAccountWrite write, Done done);
  // Returns once everything queued before the call has been committed (or has failed).
  void Flush();
  // Queues a check that the store takes writes: after the writes queued before it, the writer
  // thread commits a small write as CheckWritable does; `done` runs there with the outcome.
  // Checks queued while one waits share its outcome.
  void CheckReady(Done done);

 protected:
  struct CCreation {
    CAccountRecord record;
    std::function<void(ECreateResult)> done;
  };
  CStore() = default;
  void StartWriter();
  // Commits what is queued and stops the writer thread.
  void StopWriter();
  // Commits `writes` and then `creations` (a name that a write frees may be taken by a creation
  // of the same batch) in one transaction on the writer thread: fills `results`
  // (sized as `creations`); on failure throws CStoreError after rolling back, and no creation
  // counts as made.
  virtual void Commit(const std::vector<CCreation>& creations,
                      const std::map<std::string, CAccountWrite>& writes,
                      std::vector<ECreateResult>& results) = 0;

 private:
  struct CPendingWrite {
    CAccountWrite write;
    std::vector<Done> done;
  };
  void RunWriter();
  void CommitBatch(std::vector<CCreation>& creations, std::map<std::string, CPendingWrite>& writes);
  // Runs CheckWritable on the writer thread and gives each of `checks` its outcome.
  void AnswerReadyChecks(std::vector<Done>& checks);

  std::mutex m_queueMutex;
  std::condition_variable m_queueWake;
  std::condition_variable m_flushed;
  std::vector<CCreation> m_creations;
  std::map<std::string, CPendingWrite> m_writes;  // by lower-case name
  std::vector<Done> m_readyChecks;
  uint64_t m_enqueued = 0;   // writes queued so far
  uint64_t m_committed = 0;  // writes the writer has finished with so far
  bool m_stopping = false;
  std::thread m_writerThread;
};

// Opens the store that `db` names: a libpq connection string or URI ("postgresql://...",
// "host=... dbname=...") opens PostgreSQL, anything else is the path of a SQLite file, created
// when missing. Creates or upgrades the tables. Throws CStoreError.
std::unique_ptr<CStore> OpenStore(const std::string& db);
// Whether `db` names a PostgreSQL database rather than a file.
bool IsPostgresUri(std::string_view db);

// The lower-case form of an ASCII account name: the key that makes names unique.
std::string NameKey(std::string_view name);
