// The store in one SQLite file in WAL mode: the embedded default, for one instance.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "storage/sqlite_history.h"
#include "storage/store.h"

struct sqlite3;
struct sqlite3_stmt;

// Owns two connections to the file: one for look-ups, history reads and sessions, shared by the
// network threads under a lock, and one for the writer thread, which writes everything else.
// sqlite_store.cpp holds the connections, look-ups and sessions; sqlite_writes.cpp the writer's
// transactions; sqlite_history.cpp the history; sqlite_schema.cpp the tables.
class CSqliteStore : public CStore {
 public:
  // Opens the file at `path`, creating it and its tables when missing and upgrading older ones.
  // Throws CStoreError, also when the file can only be read.
  explicit CSqliteStore(const std::string& path);
  // Commits what is queued, then closes.
  ~CSqliteStore() override;

  // Uses the writer's connection on the calling thread.
  void CheckWritable() override;
  std::optional<CAccountRecord> FindAccount(std::string_view name) override;
  std::optional<std::string> FindNameByToken(std::string_view tokenHash) override;
  std::vector<std::pair<std::string, CKeptReport>> KeptReports() override;
  // Sessions use the look-up connection, which writes them in transactions of their own.
  bool AddSession(const std::string& tokenHash, const std::string& nameKey,
                  const std::string& keyHash, int64_t nowMs, size_t maxPerAccount) override;
  std::optional<std::string> FindSession(const std::string& tokenHash, int64_t nowMs,
                                         int64_t bornAfterMs, int64_t usedAfterMs) override;
  void EndSession(const std::string& tokenHash) override;
  size_t RemoveStaleSessions(int64_t bornBeforeMs, int64_t usedBeforeMs) override;
  std::string SharedSecret() override;
  std::vector<CListen> RecentListens(const std::string& nameKey, size_t count) override;
  std::vector<CChartRow> Chart(const std::string& nameKey, EChart chart, int64_t fromDay,
                               size_t count) override;

 protected:
  void Commit(const std::vector<CCreation>& creations,
              const std::map<std::string, CAccountWrite>& writes,
              std::vector<CQueuedReport>& reports, std::vector<ECreateResult>& results) override;

 private:
  void ApplyWrite(const std::string& nameKey, const CAccountWrite& write);
  // Writes `state` with the write's time `nowMs`; appends the plug-in's listen it ends to `ended`.
  void ApplyState(const std::string& nameKey, const CTrackState& state, int64_t nowMs,
                  std::vector<CListen>& ended);
  // The account's own part of `write`: settings, key, code page, removal.
  void ApplyAccountChange(const std::string& nameKey, const CAccountWrite& write);
  void PrepareWrites();  // the writer's statements
  void Close();          // finalizes the statements and closes both connections

  const std::string m_path;
  sqlite3* m_reader = nullptr;
  sqlite3_stmt* m_findStmt = nullptr;
  sqlite3_stmt* m_findTokenStmt = nullptr;
  std::mutex m_readerMutex;

  sqlite3* m_writer = nullptr;  // used by the writer thread only, after construction
  sqlite3_stmt* m_insertStmt = nullptr;
  sqlite3_stmt* m_updateStmt = nullptr;
  sqlite3_stmt* m_keepStmt = nullptr;
  sqlite3_stmt* m_unkeepStmt = nullptr;
  sqlite3_stmt* m_settingsStmt = nullptr;
  sqlite3_stmt* m_accountStmt = nullptr;  // key hash and code page
  sqlite3_stmt* m_touchStmt = nullptr;    // a new version of what the image shows
  sqlite3_stmt* m_removeStmt = nullptr;
  sqlite3_stmt* m_removeSettingsStmt = nullptr;
  sqlite3_stmt* m_tokenStmt = nullptr;  // a new player token
  sqlite3_stmt* m_markWrongKeyStmt = nullptr;
  sqlite3_stmt* m_keepHistoryStmt = nullptr;
  std::unique_ptr<CSqliteHistory> m_history;  // on the writer's connection
};
