// The store in a PostgreSQL database through libpq: for several instances that act as one.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "storage/change_feed.h"
#include "storage/connect_gate.h"
#include "storage/postgres_connection.h"
#include "storage/store.h"

// Look-ups (and sessions) go through a few connections that the threads doing database work take
// in turn, each under its own lock, writes through the writer thread's own. Failed key checks,
// sessions and the report interval live in the database, so that they hold across instances.
// postgres_store.cpp holds the connections, look-ups and sessions; postgres_reports.cpp the
// writer's transactions; postgres_schema.cpp the tables and statements; postgres_history.cpp the
// history's.
class CPostgresStore : public CStore {
 public:
  // Connects with `conninfo` (a libpq connection string or URI) and creates or upgrades the
  // tables. Throws CStoreError when the database cannot be reached or upgraded.
  explicit CPostgresStore(const std::string& conninfo);
  // Commits what is queued, then disconnects.
  ~CPostgresStore() override;

  void CheckWritable() override;
  std::optional<CAccountRecord> FindAccount(std::string_view name) override;
  std::vector<std::pair<std::string, CKeptReport>> KeptReports() override;
  bool Shared() const override { return true; }
  std::vector<int64_t> AddFailedAttempt(const std::string& address, int64_t atMs,
                                        int64_t forgetBeforeMs) override;
  std::vector<int64_t> FailedAttempts(const std::string& address, int64_t sinceMs) override;
  bool UseOnce(const std::string& id, int64_t nowMs, int64_t expiresMs) override;
  bool AddSession(const std::string& tokenHash, const std::string& nameKey,
                  const std::string& keyHash, int64_t nowMs, size_t maxPerAccount) override;
  std::optional<std::string> FindSession(const std::string& tokenHash, int64_t nowMs,
                                         int64_t bornAfterMs, int64_t usedAfterMs) override;
  void EndSession(const std::string& tokenHash) override;
  size_t RemoveStaleSessions(int64_t bornBeforeMs, int64_t usedBeforeMs) override;
  std::string SharedSecret() override;
  CChangeFeed* Changes() override;
  std::optional<std::string> FindNameByToken(std::string_view tokenHash) override;
  std::vector<CListen> RecentListens(const std::string& nameKey, size_t count) override;
  std::vector<CChartRow> Chart(const std::string& nameKey, EChart chart, int64_t fromDay,
                               size_t count) override;

 protected:
  void Commit(const std::vector<CCreation>& creations,
              const std::map<std::string, CAccountWrite>& writes,
              std::vector<CQueuedReport>& reports, std::vector<ECreateResult>& results) override;

 private:
  struct CReader {
    CReader(const std::string& conninfo, int64_t answerWithinMs, CConnectGate* gate,
            const std::vector<CPreparedStatement>& prepared)
        : connection(conninfo, answerWithinMs, gate, prepared) {}
    std::mutex mutex;
    CPostgresConnection connection;
  };
  // The next look-up connection, locked by `lock`.
  CPostgresConnection& Reader(std::unique_lock<std::mutex>& lock);
  // Runs a read on `reader`, once more after a lost connection.
  static CPostgresConnection::Result Read(CPostgresConnection& reader, const char* name,
                                          const std::vector<std::string>& params);
  void ApplyWrite(const std::string& nameKey, const CAccountWrite& write);
  // Sends the statements that decide and apply `reports` in the writer's open transaction, which
  // holds their accounts' rows locked; each outcome is filled once the answers are taken.
  void SendReports(std::vector<CQueuedReport>& reports);
  // Sends the claim of a kept report (report.claimSeq); `outcome` is filled with its answer.
  void SendClaim(const std::string& nameKey, const CReportWrite& report, CReportOutcome& outcome);
  // Decides and applies another player's listen step by step in the open transaction, with the
  // pipeline's answers taken before.
  CReportOutcome ApplyListen(const std::string& nameKey, const CReportWrite& report);
  // The account's own part of `write`: settings, key, code page, removal.
  void ApplyAccountChange(const std::string& nameKey, const CAccountWrite& write);

  CConnectGate m_gate;  // the readers', the writer's and the change feed's
  std::vector<std::unique_ptr<CReader>> m_readers;
  std::atomic<size_t> m_nextReader{0};
  const std::string m_conninfo;
  CPostgresConnection m_writer;  // the writer thread's, after construction
  std::once_flag m_feedMade;
  std::unique_ptr<CPostgresChangeFeed> m_feed;
};
