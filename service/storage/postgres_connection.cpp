// One libpq connection that reconnects by itself, with answers bounded in time.
#include "storage/postgres_connection.h"

#include <libpq-fe.h>

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "storage/store.h"

namespace {

constexpr int64_t kReconnectPauseMs = 500;
// The server's own bound on one statement, lock waits included.
constexpr int64_t kStatementTimeoutMs = 5000;

// The parameters of one statement as libpq takes them; `params` must outlive it.
struct CParams {
  CParams(const std::vector<std::string>& params, const std::vector<bool>& binary) {
    for (size_t i = 0; i < params.size(); ++i) {
      values.push_back(params[i].data());
      lengths.push_back(static_cast<int>(params[i].size()));
      formats.push_back(i < binary.size() && binary[i] ? 1 : 0);
    }
  }
  int Count() const { return static_cast<int>(values.size()); }
  std::vector<const char*> values;
  std::vector<int> lengths;
  std::vector<int> formats;
};

}  // namespace

void CPostgresConnection::CResultDeleter::operator()(pg_result* result) const { PQclear(result); }

CPostgresConnection::CPostgresConnection(std::string conninfo, int64_t answerWithinMs,
                                         CConnectGate* gate,
                                         const std::vector<CPreparedStatement>& prepared)
    : m_conninfo(std::move(conninfo)),
      m_answerWithinMs(answerWithinMs),
      m_gate(gate),
      m_prepared(prepared) {}

CPostgresConnection::~CPostgresConnection() { Drop(); }

void CPostgresConnection::Reset() {
  Drop();
  m_nextAttemptMs = 0;
}

void CPostgresConnection::Drop() {
  if (m_conn) PQfinish(m_conn);
  m_conn = nullptr;
  m_pipeline.Forget();
}

void CPostgresConnection::Lose(int64_t retryAtMs) {
  Drop();
  m_lost = true;
  m_nextAttemptMs = retryAtMs;
}

void CPostgresConnection::Connect() {
  const int64_t now = PostgresSteadyMs();
  if (now < m_nextAttemptMs || (m_gate && !m_gate->Enter()))
    throw CStoreError("the database is unreachable; trying again soon");
  m_nextAttemptMs = now + kReconnectPauseMs;
  // A server that does not answer holds up a connection attempt 2 s at most; over TCP, a peer
  // that went away is noticed within about 10 s even while nothing is sent (keepalives) or while
  // sent data stays unacknowledged (user timeout). The connection string may say otherwise: it
  // is read after these defaults.
  const char* const keywords[] = {
      "connect_timeout",  "keepalives",       "keepalives_idle", "keepalives_interval",
      "keepalives_count", "tcp_user_timeout", "dbname",          nullptr};
  const char* const values[] = {"2", "1", "5", "2", "3", "10000", m_conninfo.c_str(), nullptr};
  m_conn = PQconnectdbParams(keywords, values, 1);
  const bool connected = m_conn && PQstatus(m_conn) == CONNECTION_OK;
  if (m_gate) m_gate->Done(connected);
  if (!connected) {
    const std::string message = m_conn ? PQerrorMessage(m_conn) : "out of memory";
    Lose(m_nextAttemptMs);
    throw CStoreError("cannot connect to the database: " + message);
  }
  // UTF-8 text, no notices ("already exists, skipping") on standard error, and no statement
  // that runs (or waits for a lock) longer than the server-side bound. Every statement finds its
  // rows by key (or by an array of keys), which one plan serves whatever the values: planned once
  // per connection rather than on every run, which otherwise costs more than running it.
  Exec(("SET client_encoding = 'UTF8'; SET client_min_messages = warning; "
        "SET plan_cache_mode = force_generic_plan; SET statement_timeout = " +
        std::to_string(kStatementTimeoutMs))
           .c_str());
  for (const CPreparedStatement& statement : m_prepared) {
    if (!PQsendPrepare(m_conn, statement.name, statement.sql, 0, nullptr)) break;
    // Before the first upgrade the tables are missing: those statements are prepared later.
    if (PQresultStatus(Await().get()) != PGRES_COMMAND_OK) break;
  }
}

CPostgresConnection::Result CPostgresConnection::Await() {
  const int64_t deadline = PostgresSteadyMs() + m_answerWithinMs;
  Result first;  // the first failure, else the last result
  for (;;) {
    Result next = Next(deadline);
    if (!next) break;
    const ExecStatusType status = PQresultStatus(next.get());
    const bool failed = status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK;
    if (!first || (failed && !PostgresFailed(first.get()))) first = std::move(next);
    if (PQstatus(m_conn) != CONNECTION_OK) break;
  }
  return first;
}

CPostgresConnection::Result CPostgresConnection::Finish(bool sent) {
  Result result = sent ? Await() : Result();
  if (result && !PostgresFailed(result.get())) return result;
  const std::string message = result ? PQresultErrorMessage(result.get()) : PQerrorMessage(m_conn);
  const bool refusedValue = result && PostgresRefusedValue(result.get());
  if (PQstatus(m_conn) != CONNECTION_OK) Lose(0);  // the first attempt after a loss goes at once
  throw CStoreError(std::string("database: ") + message, refusedValue);
}

CPostgresConnection::Result CPostgresConnection::Run(const char* name,
                                                     const std::vector<std::string>& params,
                                                     const std::vector<bool>& binary) {
  m_lost = false;
  if (!m_conn) Connect();
  return Finish(SendPostgresStatement(m_conn, m_prepared, name, params, binary));
}

CPostgresConnection::Result CPostgresConnection::Next(int64_t deadline) {
  while (PQisBusy(m_conn)) {
    const int64_t left = deadline - PostgresSteadyMs();
    pollfd wait = {PQsocket(m_conn), POLLIN, 0};
    const int ready = left > 0 ? poll(&wait, 1, static_cast<int>(left)) : 0;
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) {
      // The server did not answer in time: it hangs, or the network does. The connection is
      // given up (an open transaction ends with it) and the next use connects again.
      Lose(PostgresSteadyMs() + kReconnectPauseMs);
      throw CStoreError("database: no answer within " + std::to_string(m_answerWithinMs) + " ms");
    }
    if (!PQconsumeInput(m_conn)) break;
  }
  return Result(PQgetResult(m_conn));
}

void CPostgresConnection::Exec(const char* sql) {
  m_lost = false;
  if (!m_conn) Connect();
  Finish(PQsendQuery(m_conn, sql) != 0);
}

int64_t PostgresSteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool PostgresRefusedValue(const pg_result* result) {
  const char* state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
  if (!state) return false;
  const std::string_view category(state, std::min<size_t>(2, std::strlen(state)));
  return category == "22" || category == "23" || category == "54";
}

bool PostgresFailed(const pg_result* result) {
  const ExecStatusType status = PQresultStatus(result);
  return status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK;
}

bool SendPostgresStatement(pg_conn* conn, const std::vector<CPreparedStatement>& prepared,
                           const char* name, const std::vector<std::string>& params,
                           const std::vector<bool>& binary) {
  const CParams p(params, binary);
  const bool isPrepared =
      std::any_of(prepared.begin(), prepared.end(),
                  [&](const CPreparedStatement& s) { return std::string_view(name) == s.name; });
  return isPrepared ? PQsendQueryPrepared(conn, name, p.Count(), p.values.data(), p.lengths.data(),
                                          p.formats.data(), 0) != 0
                    : PQsendQueryParams(conn, name, p.Count(), nullptr, p.values.data(),
                                        p.lengths.data(), p.formats.data(), 0) != 0;
}
