// The store in a PostgreSQL database through libpq: for several instances that act as one.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "storage/change_feed.h"
#include "storage/connect_gate.h"
#include "storage/postgres_history.h"
#include "storage/postgres_readers.h"
#include "storage/postgres_sessions.h"
#include "storage/postgres_writer.h"
#include "storage/store.h"
#include "storage/write_queue.h"

// Look-ups, sessions, limits and history reads go through a few connections that the threads
// doing database work take in turn (postgres_readers.cpp), writes through the writer thread's own
// (postgres_writer.cpp). postgres_store.cpp holds the look-ups of accounts and kept reports;
// postgres_sessions.cpp the sessions and limits; postgres_schema.cpp the tables and statements;
// postgres_history.cpp the history's.
class CPostgresStore : public CStore {
 public:
  // Connects with `conninfo` (a libpq connection string or URI) and creates or upgrades the
  // tables. Throws CStoreError when the database cannot be reached or upgraded.
  explicit CPostgresStore(const std::string& conninfo);
  // Commits what is queued, then disconnects.
  ~CPostgresStore() override;

  std::optional<CAccountRecord> FindAccount(std::string_view name) override;
  std::optional<std::string> FindNameByToken(std::string_view tokenHash) override;
  std::vector<std::pair<std::string, CKeptReport>> KeptReports() override;
  bool Shared() const override { return true; }
  CChangeFeed* Changes() override;
  CWriteQueue& Queue() override { return m_queue; }
  CSessionStore& Sessions() override { return m_sessions; }
  CClientLimits& Limits() override { return m_limits; }
  CHistoryReads& History() override { return m_history; }

 private:
  const std::string m_conninfo;
  CConnectGate m_gate;  // the readers', the writer's and the change feed's
  CPostgresReaders m_readers;
  CPostgresWriter m_writer;
  CPostgresSessions m_sessions;
  CPostgresLimits m_limits;
  CPostgresHistoryReads m_history;
  std::once_flag m_feedMade;
  std::unique_ptr<CPostgresChangeFeed> m_feed;
  CWriteQueue m_queue;  // last: its writer thread starts once the rest is made
};
