// The SQLite store's history: listens kept, counted, trimmed and cleared by the writer; their
// reads.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <vector>

#include "storage/history.h"
#include "storage/sqlite_statements.h"
#include "storage/store.h"
#include "storage/track_state.h"

// Owns its statements, prepared on the writer's connection; every call runs in the writer's open
// transaction, on the writer thread, and throws CStoreError when a statement fails.
class CSqliteHistory {
 public:
  explicit CSqliteHistory(sqlite3* writer);
  ~CSqliteHistory();
  CSqliteHistory(const CSqliteHistory&) = delete;
  CSqliteHistory& operator=(const CSqliteHistory&) = delete;

  // The start of the plug-in's listen in progress once the account `nameKey` shows `next` (0:
  // none); appends to `ended` the plug-in's listen that `next` ends, when it lasted at least
  // kPluginListenSeconds. The same artist and title still playing from the plug-in go on being
  // the same listen. Reads what the account shows now: call it before writing `next`.
  int64_t PassState(const std::string& nameKey, const CTrackState& next,
                    std::vector<CListen>& ended);
  // Keeps those of `listens` the account does not hold yet, when it keeps history; counts each
  // one kept; removes its oldest listens beyond `limit` (their counts stay); and gives the
  // account a new history version when any was kept.
  void Add(const std::string& nameKey, const std::vector<CListen>& listens, size_t limit);
  // Deletes every listen and count of the account, and gives it a new history version.
  void Clear(const std::string& nameKey);

 private:
  // Keeps one listen of the account `accountId` and counts it; false: it was kept before.
  bool KeepOne(int64_t accountId, const CListen& listen);
  void Trim(int64_t accountId, int64_t excess);
  void Finalize();

  sqlite3* m_db;
  sqlite3_stmt* m_stateStmt = nullptr;    // what the account shows now
  sqlite3_stmt* m_accountStmt = nullptr;  // identity, keep flag, listens held
  sqlite3_stmt* m_listenStmt = nullptr;
  sqlite3_stmt* m_dayStmt = nullptr;
  sqlite3_stmt* m_trackStmt = nullptr;
  sqlite3_stmt* m_artistStmt = nullptr;
  sqlite3_stmt* m_trimStmt = nullptr;
  sqlite3_stmt* m_changedStmt = nullptr;  // listens held and history version
};

// The recent listens and charts, read on the look-up connection under its lock.
class CSqliteHistoryReads : public CHistoryReads {
 public:
  explicit CSqliteHistoryReads(CSqliteReader& reader) : m_reader(reader) {}
  std::vector<CListen> RecentListens(const std::string& nameKey, size_t count) override;
  std::vector<CChartRow> Chart(const std::string& nameKey, EChart chart, int64_t fromDay,
                               size_t count) override;

 private:
  CSqliteReader& m_reader;  // outlives this
};
