// The store in one SQLite file in WAL mode: the embedded default, for one instance.
#pragma once

#include <memory>
#include <string>

#include "storage/sqlite_history.h"
#include "storage/sqlite_sessions.h"
#include "storage/sqlite_statements.h"
#include "storage/sqlite_writes.h"
#include "storage/store.h"
#include "storage/write_queue.h"

// Two connections to the file: one for look-ups, history reads and sessions, shared by the
// network threads under a lock (sqlite_store.cpp, sqlite_sessions.cpp, sqlite_history.cpp), and
// one for the writer thread, which writes everything else (sqlite_writes.cpp).
class CSqliteStore : public CStore {
 public:
  // Opens the file at `path`, creating it and its tables when missing and upgrading older ones.
  // Throws CStoreError, also when the file can only be read.
  explicit CSqliteStore(const std::string& path);
  // Commits what is queued, then closes.
  ~CSqliteStore() override;

  std::optional<CAccountRecord> FindAccount(std::string_view name) override;
  std::optional<std::string> FindNameByToken(std::string_view tokenHash) override;
  std::vector<std::pair<std::string, CKeptReport>> KeptReports() override;
  CWriteQueue& Queue() override { return m_queue; }
  CSessionStore& Sessions() override { return m_sessions; }
  CClientLimits& Limits() override { return m_limits; }
  CHistoryReads& History() override { return m_history; }

 private:
  CSqliteWriter m_writer;
  CSqliteReader m_reader;
  sqlite3_stmt* m_findStmt = nullptr;       // on the reader
  sqlite3_stmt* m_findTokenStmt = nullptr;  // on the reader
  CSqliteSessions m_sessions;
  CSqliteHistoryReads m_history;
  CLocalLimits m_limits;
  CWriteQueue m_queue;  // last: its writer thread starts once the rest is made
};
