// libpq's pipeline mode on one connection of the PostgreSQL store: sending, syncing, the answers.
#include "storage/postgres_pipeline.h"

#include <libpq-fe.h>

#include "storage/postgres_connection.h"
#include "storage/store.h"

namespace {

// Statements sent in pipeline mode before their answers are taken: few enough that neither side's
// socket buffer fills while the other waits.
constexpr size_t kPipelineDepth = 256;

}  // namespace

void CPostgresPipeline::Forget() {
  m_pending.clear();
  m_failure.clear();
}

void CPostgresPipeline::Fail(const std::string& message) {
  pg_conn* conn = m_connection.m_conn;
  if (conn && PQstatus(conn) != CONNECTION_OK) {
    m_connection.Lose(0);  // the first attempt after a loss goes at once
  } else if (conn && PQpipelineStatus(conn) != PQ_PIPELINE_OFF) {
    // The server rolls back what the connection left open.
    m_connection.Reset();
  }
  m_pending.clear();
  throw CStoreError(std::string("database: ") + message);
}

void CPostgresPipeline::Send(const char* name, const std::vector<std::string>& params,
                             const std::vector<bool>& binary, OnResult onResult) {
  CPostgresConnection& c = m_connection;
  if (m_pending.empty() && (!c.m_conn || PQpipelineStatus(c.m_conn) == PQ_PIPELINE_OFF)) {
    c.m_lost = false;
    m_failure.clear();
    if (!c.m_conn) c.Connect();
    if (!PQenterPipelineMode(c.m_conn)) Fail(PQerrorMessage(c.m_conn));
  }
  if (!SendPostgresStatement(c.m_conn, c.m_prepared, name, params, binary))
    Fail(PQerrorMessage(c.m_conn));
  m_pending.push_back(std::move(onResult));
  if (m_pending.size() >= kPipelineDepth) TakeAnswers();
}

void CPostgresPipeline::Sync() {
  pg_conn* conn = m_connection.m_conn;
  if (!conn) Fail("no connection");
  // Nothing was sent since the last sync (statements run one by one since then took their own
  // answers): there is nothing to wait for.
  if (PQpipelineStatus(conn) == PQ_PIPELINE_OFF) return;
  TakeAnswers();
  if (!PQexitPipelineMode(conn)) Fail(PQerrorMessage(conn));
  if (!m_failure.empty()) {
    const std::string failure = std::move(m_failure);
    m_failure.clear();
    throw CStoreError(failure, m_failureIsItem);
  }
}

void CPostgresPipeline::TakeAnswers() {
  CPostgresConnection& c = m_connection;
  std::vector<OnResult> pending;
  pending.swap(m_pending);
  if (!PQpipelineSync(c.m_conn)) Fail(PQerrorMessage(c.m_conn));
  const int64_t deadline = PostgresSteadyMs() + c.m_answerWithinMs;
  for (OnResult& onResult : pending) {
    CPostgresConnection::Result result = c.Next(deadline);
    if (!result) Fail(PQerrorMessage(c.m_conn));  // the connection broke
    const ExecStatusType status = PQresultStatus(result.get());
    if (!PostgresFailed(result.get())) {
      if (onResult) onResult(result.get());
    } else if (status != PGRES_PIPELINE_ABORTED && m_failure.empty()) {
      // The statements after it up to the sync are skipped, and their answers say only that.
      m_failure = std::string("database: ") + PQresultErrorMessage(result.get());
      m_failureIsItem = PostgresRefusedValue(result.get());
    }
    // Each statement's answers end with a null result.
    while (c.Next(deadline)) {
    }
    if (PQstatus(c.m_conn) != CONNECTION_OK) Fail(PQerrorMessage(c.m_conn));
  }
  CPostgresConnection::Result synced = c.Next(deadline);
  if (!synced || PQresultStatus(synced.get()) != PGRES_PIPELINE_SYNC)
    Fail(PQerrorMessage(c.m_conn));
}
