// The service's one SQLite file: accounts, their signature state and kept reports, written by one
// writer thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
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

struct sqlite3;
struct sqlite3_stmt;

class CStoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct CAccountRecord {
  std::string name;     // as registered; unique without regard to letter case
  std::string keyHash;  // HashKey's text
  int codePage = 0;
  int64_t createdAt = 0;  // Unix seconds
  CTrackState state;
  CAccountSettings settings;
};

enum class ECreateResult { kCreated, kDuplicate, kFailed };

// What one write changes for one account: its state, its kept report, or both, in one commit.
struct CAccountWrite {
  std::optional<CTrackState> state;  // the new state; nothing: the state stays
  enum class EKept { kLeave, kSet, kClear };
  EKept keptAction = EKept::kLeave;
  CKeptReport kept;  // with kSet: the report to keep, replacing any kept before
  // Changes of the account itself; nothing: it stays.
  std::optional<CAccountSettings> settings;
  std::optional<std::string> keyHash;
  std::optional<int> codePage;
  // Deletes the account with its state, settings and kept report, after any change above.
  bool remove = false;
};

// Owns two connections to the database in WAL mode: one for look-ups, shared by the network
// threads under a lock, and one for the writer thread, the only one that writes. Writes are
// queued and committed in batches, so that many reports cost one transaction; each write's
// caller learns the outcome only once its transaction has committed or failed.
class CStore {
 public:
  // Runs on the writer thread once a write's transaction has committed (`stored`) or failed
  // (`error` says why).
  using Done = std::function<void(bool stored, const std::string& error)>;

  // Opens the file at `path`, creating it and its tables when missing. Throws CStoreError, also
  // when the file can only be read.
  explicit CStore(const std::string& path);
  // Commits what is queued, then closes.
  ~CStore();
  CStore(const CStore&) = delete;
  CStore& operator=(const CStore&) = delete;

  // Commits a small write, so that a file that cannot be written (a full disk, a read-only
  // mount) is noticed before anything is promised. Throws CStoreError with a message for people.
  // Call it before queuing any write: it uses the writer's connection on the calling thread.
  void CheckWritable();

  // The account whose name equals `name` without regard to ASCII letter case, or nothing. Any
  // thread. Throws CStoreError when the database fails.
  std::optional<CAccountRecord> FindAccount(std::string_view name);
  // Every kept report, by the lower-case name of its account. Throws CStoreError.
  std::vector<std::pair<std::string, CKeptReport>> KeptReports();

  // Queues the creation of an account; `done` runs on the writer thread once the outcome is known
  // (kDuplicate when the name is taken in any letter case).
  void CreateAccount(CAccountRecord record, std::function<void(ECreateResult)> done);
  // Queues a write for the account `name`. A later write of the same account still queued is
  // merged into it (the later state and kept report win); both callers learn the one outcome.
  void Write(const std::string& name, CAccountWrite write, Done done);
  // Returns once everything queued before the call has been committed (or has failed).
  void Flush();

 private:
  struct CCreation {
    CAccountRecord record;
    std::function<void(ECreateResult)> done;
  };
  struct CPendingWrite {
    CAccountWrite write;
    std::vector<Done> done;
  };
  void RunWriter();
  void CommitBatch(std::vector<CCreation>& creations, std::map<std::string, CPendingWrite>& writes);
  void ApplyWrite(const std::string& nameKey, const CAccountWrite& write);
  // The account's own part of `write`: settings, key, code page, removal.
  void ApplyAccountChange(const std::string& nameKey, const CAccountWrite& write);
  void Close();  // finalizes the statements and closes both connections

  const std::string m_path;
  sqlite3* m_reader = nullptr;
  sqlite3_stmt* m_findStmt = nullptr;
  std::mutex m_readerMutex;

  sqlite3* m_writer = nullptr;  // used by the writer thread only, after construction
  sqlite3_stmt* m_insertStmt = nullptr;
  sqlite3_stmt* m_updateStmt = nullptr;
  sqlite3_stmt* m_keepStmt = nullptr;
  sqlite3_stmt* m_unkeepStmt = nullptr;
  sqlite3_stmt* m_settingsStmt = nullptr;
  sqlite3_stmt* m_accountStmt = nullptr;  // key hash and code page
  sqlite3_stmt* m_removeStmt = nullptr;
  sqlite3_stmt* m_removeSettingsStmt = nullptr;
  std::mutex m_queueMutex;
  std::condition_variable m_queueWake;
  std::condition_variable m_flushed;
  std::vector<CCreation> m_creations;
  std::map<std::string, CPendingWrite> m_writes;  // by lower-case name
  uint64_t m_enqueued = 0;                        // writes queued so far
  uint64_t m_committed = 0;                       // writes the writer has finished with so far
  bool m_stopping = false;
  std::thread m_writerThread;
};

// The lower-case form of an ASCII account name: the key that makes names unique.
std::string NameKey(std::string_view name);
