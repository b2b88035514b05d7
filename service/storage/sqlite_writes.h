// The SQLite store's writer: the file's writing connection and each batch's transaction.
#pragma once

#include <sqlite3.h>

#include <memory>
#include <string>

#include "storage/sqlite_history.h"
#include "storage/write_queue.h"

// Owns the writing connection and its statements; after construction used by the writer thread
// only (CheckWritable also before the first write is queued).
class CSqliteWriter : public CCommitter {
 public:
  // Opens the file at `path`, creating it and its tables when missing and upgrading older ones.
  // Throws CStoreError, also when the file can only be read. `store` outlives the writer: its
  // history limit applies to every commit.
  CSqliteWriter(const std::string& path, const CStore& store);
  ~CSqliteWriter() override;
  CSqliteWriter(const CSqliteWriter&) = delete;
  CSqliteWriter& operator=(const CSqliteWriter&) = delete;

  void CheckWritable() override;
  void Commit(const std::vector<CQueuedCreation>& creations,
              const std::map<std::string, CAccountWrite>& writes,
              std::vector<CQueuedReport>& reports, std::vector<ECreateResult>& results) override;

 private:
  void ApplyWrite(const std::string& nameKey, const CAccountWrite& write);
  // Writes `state` with the write's time `nowMs`; appends the plug-in's listen it ends to `ended`.
  void ApplyState(const std::string& nameKey, const CTrackState& state, int64_t nowMs,
                  std::vector<CListen>& ended);
  // The account's own part of `write`: settings, key, code page, removal.
  void ApplyAccountChange(const std::string& nameKey, const CAccountWrite& write);
  void Close();  // finalizes the statements and closes the connection

  const std::string m_path;
  const CStore& m_store;
  sqlite3* m_writer = nullptr;
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
