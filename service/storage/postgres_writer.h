// The PostgreSQL store's writer: its connection and each batch's transaction, pipelined.
#pragma once

#include <string>

#include "storage/connect_gate.h"
#include "storage/postgres_connection.h"
#include "storage/write_queue.h"

// Owns the writer thread's connection; after construction used by that thread only (CheckWritable
// also before the first write is queued). Failed key checks, sessions and the report interval
// live in the database, so that they hold across instances.
class CPostgresWriter : public CCommitter {
 public:
  // Connects with `conninfo` and creates or upgrades the tables. Throws CStoreError when the
  // database cannot be reached or upgraded. `gate` and `store` outlive the writer: the store's
  // history limit applies to every commit.
  CPostgresWriter(const std::string& conninfo, CConnectGate& gate, const CStore& store);

  void CheckWritable() override;
  void Commit(const std::vector<CQueuedCreation>& creations,
              const std::map<std::string, CAccountWrite>& writes,
              std::vector<CQueuedReport>& reports, std::vector<ECreateResult>& results) override;

 private:
  void ApplyWrite(const std::string& nameKey, const CAccountWrite& write);
  // The account's own part of `write`: settings, key, code page, removal.
  void ApplyAccountChange(const std::string& nameKey, const CAccountWrite& write);
  // Sends the statements that decide and apply `reports` in the open transaction, which holds
  // their accounts' rows locked; each outcome is filled once the answers are taken.
  void SendReports(std::vector<CQueuedReport>& reports);
  // Sends the claim of a kept report (report.claimSeq); `outcome` is filled with its answer.
  void SendClaim(const std::string& nameKey, const CReportWrite& report, CReportOutcome& outcome);
  // Decides and applies another player's listen step by step in the open transaction, with the
  // pipeline's answers taken before.
  CReportOutcome ApplyListen(const std::string& nameKey, const CReportWrite& report);

  const CStore& m_store;
  CPostgresConnection m_writer;
  CPostgresPipeline& m_pipeline;  // m_writer's
};
