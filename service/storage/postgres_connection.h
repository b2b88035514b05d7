// One libpq connection of the PostgreSQL store: reconnection, bounded answers and pipelines.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "storage/connect_gate.h"

struct pg_conn;
struct pg_result;

// A statement prepared on a connection under `name`, which Run and Send take in place of SQL.
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
  // Pipeline mode (one round trip for many statements): Send sends a statement as Run takes it
  // without waiting for its answer; Sync takes the answers of all statements sent since the last
  // Sync, in order, calling the `onResult` of each that succeeded with its rows, and then throws
  // CStoreError for the first that failed (the server skipped the rest). A broken connection, or
  // answers later than the answer bound, throw from either at once and drop the connection. The
  // answers to many statements may be taken while sending, so an `onResult` may run inside Send.
  using OnResult = std::function<void(const pg_result* result)>;
  void Send(const char* name, const std::vector<std::string>& params,
            const std::vector<bool>& binary = {}, OnResult onResult = {});
  void Sync();
  // Drops the connection; the next use connects at once.
  void Reset();
  // Whether the last failure was a lost connection rather than an error of the statement.
  bool LostConnection() const { return m_lost; }

 private:
  void Connect();
  void Drop();
  // Sends the statement prepared as `name` (or the SQL text `name`) on the open connection;
  // false when libpq could not send it.
  bool SendQuery(const char* name, const std::vector<std::string>& params,
                 const std::vector<bool>& binary);
  // Drops the connection after a failure; no new one is tried before steady ms `retryAtMs`.
  void Lose(int64_t retryAtMs);
  // The results of what was sent, within the answer bound: the first failure, else the last
  // result; null when the connection broke. Throws CStoreError (dropping the connection) when
  // the answer does not come in time.
  Result Await();
  // Await's result for a statement (`sent` false: sending failed); throws CStoreError when it
  // failed.
  Result Finish(bool sent);
  static bool Failed(const pg_result* result);
  bool IsPrepared(std::string_view name) const;
  // The next result (in pipeline mode null between statements), within the answer bound from
  // steady ms `deadline`. Throws CStoreError, dropping the connection, when it does not come.
  Result Next(int64_t deadline);
  // Ends the statements sent so far with a sync and takes their answers. Pipeline mode stays on.
  void TakeAnswers();
  // Throws CStoreError with the connection's error; drops a broken connection, and one left in
  // pipeline mode (its answers could not be told apart any more).
  [[noreturn]] void Fail(const std::string& message);

  const std::string m_conninfo;
  const int64_t m_answerWithinMs;
  CConnectGate* const m_gate;
  const std::vector<CPreparedStatement>& m_prepared;
  pg_conn* m_conn = nullptr;
  int64_t m_nextAttemptMs = 0;  // steady ms before which no new connection is tried
  bool m_lost = false;
  std::vector<OnResult> m_pending;  // of the statements sent and not answered yet, in order
  std::string m_failure;            // the first failure among the answers taken before Sync
  bool m_failureIsItem = false;     // m_failure refused a value, not the work (see CStoreError)
};
