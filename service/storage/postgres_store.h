// The store in a PostgreSQL database through libpq: for several instances that act as one.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "storage/change_feed.h"
#include "storage/connect_gate.h"
#include "storage/store.h"

struct pg_conn;
struct pg_result;

// One libpq connection that reconnects by itself: after the server went away, the next use
// connects again (at most two attempts per second, each bounded by a 2 s connect timeout, and
// while the database is unreachable one at a time among the connections sharing a gate; in
// between, uses fail at once). Every connection has TCP keepalives, a TCP user timeout and a
// server-side statement timeout. Not thread-safe: its owner serializes the uses.
class CPostgresConnection {
 public:
  // A statement whose answer takes longer than `answerWithinMs` fails, and the connection is
  // given up (a server or network that hangs holds its user that long at most). `gate`, when
  // given, outlives the connection.
  CPostgresConnection(std::string conninfo, int64_t answerWithinMs, CConnectGate* gate = nullptr);
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
  pg_conn* m_conn = nullptr;
  int64_t m_nextAttemptMs = 0;  // steady ms before which no new connection is tried
  bool m_lost = false;
  std::vector<OnResult> m_pending;  // of the statements sent and not answered yet, in order
  std::string m_failure;            // the first failure among the answers taken before Sync
  bool m_failureIsItem = false;     // m_failure refused a value, not the work (see CStoreError)
};

// Look-ups (and sessions) go through a few connections that the threads doing database work take
// in turn, each under its own lock, writes through the writer thread's own. Failed key checks,
// sessions and the report interval live in the database, so that they hold across instances.
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

 protected:
  void Commit(const std::vector<CCreation>& creations,
              const std::map<std::string, CAccountWrite>& writes,
              std::vector<CQueuedReport>& reports, std::vector<ECreateResult>& results) override;

 private:
  struct CReader {
    CReader(const std::string& conninfo, int64_t answerWithinMs, CConnectGate* gate)
        : connection(conninfo, answerWithinMs, gate) {}
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
