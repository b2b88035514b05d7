// One libpq connection of the PostgreSQL store: reconnection, statements with bounded answers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "storage/connect_gate.h"
#include "storage/postgres_pipeline.h"

struct pg_conn;
struct pg_result;

// A statement prepared on a connection under `name`, which Run and the pipeline's Send take in
// place of SQL.
struct CPreparedStatement {
  const char* name;
  const char* sql;
};

// One libpq connection that reconnects by itself: after the server went away, the next use
// connects again (at most two attempts per second, each bounded by a 2 s connect timeout, and
// while the database is unreachable one at a time among the connections sharing a gate; in
// between, uses fail at once). Every connection has TCP keepalives, a TCP user timeout and a
// server-side statement timeout. Not thread-safe: its owner serializes the uses.
class CPostgresConnection {
 public:
  // A statement whose answer takes longer than `answerWithinMs` fails, and the connection is
  // given up (a server or network that hangs holds its user that long at most). `gate`, when
  // given, and `prepared` outlive the connection: `prepared` is prepared on every new connection
  // (those whose tables do not exist yet are left out until the next one).
  CPostgresConnection(std::string conninfo, int64_t answerWithinMs, CConnectGate* gate,
                      const std::vector<CPreparedStatement>& prepared);
  ~CPostgresConnection();
  CPostgresConnection(const CPostgresConnection&) = delete;
  CPostgresConnection& operator=(const CPostgresConnection&) = delete;

  struct CResultDeleter {
    void operator()(pg_result* result) const;
  };
  using Result = std::unique_ptr<pg_result, CResultDeleter>;

  // Runs the statement prepared as `name` (or, with no such name, the SQL text `name`) with text
  // parameters, except those flagged in `binary`. Throws CStoreError when it fails; a connection
  // found broken is dropped, so that the next call connects again.
  Result Run(const char* name, const std::vector<std::string>& params,
             const std::vector<bool>& binary = {});
  // Runs SQL text without parameters (one or several statements). Throws CStoreError.
  void Exec(const char* sql);
  // Pipeline mode (one round trip for many statements) on this connection.
  CPostgresPipeline& Pipeline() { return m_pipeline; }
  // Drops the connection; the next use connects at once.
  void Reset();
  // Whether the last failure was a lost connection rather than an error of the statement.
  bool LostConnection() const { return m_lost; }

 private:
  friend class CPostgresPipeline;  // sends and takes answers on the open connection

  void Connect();
  // Closes the connection, and the pipeline forgets what it sent on it.
  void Drop();
  // Drops the connection after a failure; no new one is tried before steady ms `retryAtMs`.
  void Lose(int64_t retryAtMs);
  // The results of what was sent, within the answer bound: the first failure, else the last
  // result; null when the connection broke. Throws CStoreError (dropping the connection) when
  // the answer does not come in time.
  Result Await();
  // Await's result for a statement (`sent` false: sending failed); throws CStoreError when it
  // failed.
  Result Finish(bool sent);
  // The next result (in pipeline mode null between statements), within the answer bound from
  // steady ms `deadline`. Throws CStoreError, dropping the connection, when it does not come.
  Result Next(int64_t deadline);

  const std::string m_conninfo;
  const int64_t m_answerWithinMs;
  CConnectGate* const m_gate;
  const std::vector<CPreparedStatement>& m_prepared;
  pg_conn* m_conn = nullptr;
  int64_t m_nextAttemptMs = 0;  // steady ms before which no new connection is tried
  bool m_lost = false;
  CPostgresPipeline m_pipeline{*this};
};

// Shared by the connection and its pipeline. Steady milliseconds, for answer deadlines.
int64_t PostgresSteadyMs();
// Whether `result`'s statement failed.
bool PostgresFailed(const pg_result* result);
// Whether the server refused `result`'s statement for a value it was given (a data exception, a
// broken constraint, a value beyond a limit) rather than for the state of the database.
bool PostgresRefusedValue(const pg_result* result);
// Sends the statement prepared as `name` among `prepared` (or the SQL text `name`) on the open
// connection `conn`; false when libpq could not send it.
bool SendPostgresStatement(pg_conn* conn, const std::vector<CPreparedStatement>& prepared,
                           const char* name, const std::vector<std::string>& params,
                           const std::vector<bool>& binary);
