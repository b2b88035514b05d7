// The service's one SQLite file: accounts and their signature state, written by one writer thread.
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
#include <vector>

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
};

enum class ECreateResult { kCreated, kDuplicate, kFailed };

// Owns two connections to the database in WAL mode: one for look-ups, shared by the network
// threads under a lock, and one for the writer thread, the only one that writes. Writes are
// queued and committed in batches, so that many reports cost one transaction.
class CStore {
 public:
  // Opens the file at `path`, creating it and its table when missing. Throws CStoreError.
  explicit CStore(const std::string& path);
  // Commits what is queued, then closes.
  ~CStore();
  CStore(const CStore&) = delete;
  CStore& operator=(const CStore&) = delete;

  // The account whose name equals `name` without regard to ASCII letter case, or nothing. Any
  // thread. Throws CStoreError when the database fails.
  std::optional<CAccountRecord> FindAccount(std::string_view name);

  // Queues the creation of an account; `done` runs on the writer thread once the outcome is known
  // (kDuplicate when the name is taken in any letter case).
  void CreateAccount(CAccountRecord record, std::function<void(ECreateResult)> done);
  // Queues the state of an account; a later state of the same account replaces one still queued.
  // A failed write is reported on standard error; the state stays served from memory.
  void SaveState(const std::string& name, const CTrackState& state);
  // Returns once everything queued before the call has been committed (or has failed).
  void Flush();

 private:
  struct CCreation {
    CAccountRecord record;
    std::function<void(ECreateResult)> done;
  };
  void RunWriter();
  void CommitBatch(std::vector<CCreation>& creations, std::map<std::string, CTrackState>& states);

  sqlite3* m_reader = nullptr;
  sqlite3_stmt* m_findStmt = nullptr;
  std::mutex m_readerMutex;

  sqlite3* m_writer = nullptr;  // used by the writer thread only, after construction
  sqlite3_stmt* m_insertStmt = nullptr;
  sqlite3_stmt* m_updateStmt = nullptr;
  std::mutex m_queueMutex;
  std::condition_variable m_queueWake;
  std::condition_variable m_flushed;
  std::vector<CCreation> m_creations;
  std::map<std::string, CTrackState> m_states;  // by lower-case name
  uint64_t m_enqueued = 0;                      // writes queued so far
  uint64_t m_committed = 0;                     // writes the writer has finished with so far
  bool m_stopping = false;
  std::thread m_writerThread;
};

// The lower-case form of an ASCII account name: the key that makes names unique.
std::string NameKey(std::string_view name);
