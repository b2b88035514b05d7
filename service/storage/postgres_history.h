// The PostgreSQL store's history: its tables and trigger, the statements that keep and read it.
#pragma once

#include <string>
#include <vector>

#include "storage/history.h"
#include "storage/postgres_connection.h"
#include "storage/postgres_readers.h"
#include "storage/store.h"

// The upgrade that adds the history: the accounts' columns, the listens and their counts, and
// the trigger that keeps the plug-in's listens as its states replace one another.
extern const char kPostgresHistoryUpgrade[];
// The history's statements, which every connection prepares with the others.
const std::vector<CPreparedStatement>& PostgresHistoryStatements();

// In the writer's open transaction (pipelined, no answers awaited). Sets the number of listens
// each account keeps, for the rest of the transaction (the trigger reads it).
void SendHistoryLimit(CPostgresPipeline& writer, size_t limit);
// Keeps those of `listens` the account `nameKey` does not hold yet, when it keeps history, as
// CSqliteHistory::Add does; the account row is locked until the transaction ends.
void SendListens(CPostgresPipeline& writer, const std::string& nameKey,
                 const std::vector<CListen>& listens, size_t limit);
// Deletes every listen and count of the account and gives it a new history version.
void SendClearHistory(CPostgresPipeline& writer, const std::string& nameKey);
void SendKeepHistory(CPostgresPipeline& writer, const std::string& nameKey, bool keep);

// The recent listens and charts, read on the look-up connections.
class CPostgresHistoryReads : public CHistoryReads {
 public:
  explicit CPostgresHistoryReads(CPostgresReaders& readers) : m_readers(readers) {}
  std::vector<CListen> RecentListens(const std::string& nameKey, size_t count) override;
  std::vector<CChartRow> Chart(const std::string& nameKey, EChart chart, int64_t fromDay,
                               size_t count) override;

 private:
  CPostgresReaders& m_readers;  // outlives this
};
