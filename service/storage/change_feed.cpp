// The feed of account changes from PostgreSQL: its thread, connection, heartbeat and the sequence
// check that turns a missed change into a new epoch.
#include "storage/change_feed.h"

#include <fcntl.h>
#include <libpq-fe.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr int64_t kRetryMs = 500;
constexpr int64_t kRetryAfterLossMs = 50;
constexpr char kCounterSql[] = "SELECT value FROM service_meta WHERE name = 'change_seq'";

int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool AllDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

CPostgresChangeFeed::CPostgresChangeFeed(std::string conninfo, CConnectGate& gate)
    : m_conninfo(std::move(conninfo)), m_gate(gate) {
  if (pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) throw CStoreError("cannot make a pipe");
  m_thread = std::thread([this] { Run(); });
}

CPostgresChangeFeed::~CPostgresChangeFeed() {
  m_stopping.store(true);
  const char byte = 0;
  if (write(m_wake[1], &byte, 1) < 0) {
    // The pipe is never full before this one byte; the thread also sees m_stopping.
  }
  m_thread.join();
  close(m_wake[0]);
  close(m_wake[1]);
}

void CPostgresChangeFeed::Subscribe(OnChange onChange) {
  std::lock_guard<std::mutex> lock(m_subscriberMutex);
  m_onChange = std::move(onChange);
}

bool CChangeSequence::Live() const {
  return SteadyMs() < m_liveUntilMs.load(std::memory_order_acquire);
}

void CPostgresChangeFeed::Run() {
  while (!m_stopping.load()) {
    pg_conn* conn = Connect();
    if (conn) {
      Serve(conn);
      m_sequence.Lost();
      PQfinish(conn);
    }
    if (!m_lossLogged && !m_stopping.load()) {
      std::fprintf(stderr,
                   "velk-service: change notifications lost; accounts are read from the "
                   "database until they are back\n");
      m_lossLogged = true;
    }
    // After a loss, soon (meanwhile every account is read from the database); after a failed
    // attempt, after a longer pause.
    if (!Wait(-1, conn ? kRetryAfterLossMs : kRetryMs)) return;
  }
}

pg_conn* CPostgresChangeFeed::Connect() {
  const std::string name = "velk-service changes " + std::to_string(getpid());
  // The connection string comes after the timeouts (it may change them) and before the name
  // (by which an operator finds this connection among the instance's others). A hung server is
  // noticed by the heartbeat.
  const char* const keywords[] = {"connect_timeout",
                                  "keepalives_idle",
                                  "keepalives_interval",
                                  "keepalives_count",
                                  "dbname",
                                  "application_name",
                                  nullptr};
  const char* const values[] = {"2", "5", "2", "3", m_conninfo.c_str(), name.c_str(), nullptr};
  if (!m_gate.Enter()) return nullptr;
  pg_conn* conn = PQconnectdbParams(keywords, values, 1);
  m_gate.Done(conn && PQstatus(conn) == CONNECTION_OK);
  if (conn && PQstatus(conn) == CONNECTION_OK && PQsetnonblocking(conn, 1) == 0) return conn;
  PQfinish(conn);
  return nullptr;
}

void CPostgresChangeFeed::Serve(pg_conn* conn) {
  const int socket = PQsocket(conn);
  // The first query listens, then reads the counter as every heartbeat does.
  const std::string listen = std::string("LISTEN ") + kChangeChannel + "; " + kCounterSql;
  if (!PQsendQuery(conn, listen.c_str())) return;
  m_sequence.Sent();
  bool listening = false;
  bool outstanding = true;
  int64_t sentMs = SteadyMs();
  int64_t nextBeatMs = sentMs + kHeartbeatEveryMs;
  for (;;) {
    const int64_t now = SteadyMs();
    if (!outstanding && now >= nextBeatMs) {
      if (!PQsendQuery(conn, kCounterSql)) return;
      m_sequence.Sent();
      outstanding = true;
      sentMs = now;
      nextBeatMs = now + kHeartbeatEveryMs;
    }
    if (PQflush(conn) < 0) return;
    // A query unanswered for a lease: the connection hangs, and the lease has run out.
    if (outstanding && now - sentMs >= kLeaseMs) return;
    const int64_t waitMs = outstanding ? sentMs + kLeaseMs - now : nextBeatMs - now;
    if (!Wait(socket, std::max<int64_t>(0, waitMs))) return;
    if (!PQconsumeInput(conn)) return;
    // Notifications first: those that came before the heartbeat's answer count before it does.
    while (PGnotify* notice = PQnotifies(conn)) {
      TakeNotice(notice->extra);
      PQfreemem(notice);
    }
    int64_t seq = -1;
    while (outstanding && !PQisBusy(conn)) {
      PGresult* result = PQgetResult(conn);
      if (!result) {
        outstanding = false;
        break;
      }
      const ExecStatusType status = PQresultStatus(result);
      const bool counted = status == PGRES_TUPLES_OK && PQntuples(result) == 1;
      if (counted) seq = std::strtoll(PQgetvalue(result, 0, 0), nullptr, 10);
      PQclear(result);
      if (!counted && status != PGRES_COMMAND_OK) return;
    }
    if (seq >= 0 && !listening) {
      listening = true;
      m_sequence.Listening(seq, sentMs);
      if (m_lossLogged) std::fprintf(stderr, "velk-service: change notifications back\n");
      m_lossLogged = false;
    } else if (seq >= 0) {
      m_sequence.TakeCounter(seq, sentMs);
    }
    while (PGnotify* notice = PQnotifies(conn)) {
      TakeNotice(notice->extra);
      PQfreemem(notice);
    }
    if (PQstatus(conn) != CONNECTION_OK) return;
  }
}

void CChangeSequence::Listening(int64_t seq, int64_t sentMs) {
  // Changes committed before LISTEN took effect were not sent to this connection: unless the
  // counter shows none since the numbers seen, anything held may be stale.
  if (seq != m_lastSeq) NewEpoch();
  // Notices taken before the answer may have come after the query's snapshot.
  m_lastSeq = seq < m_seenAtSend ? seq : std::max(seq, m_lastSeq);
  m_checks.clear();
  m_liveUntilMs.store(sentMs + kLeaseMs, std::memory_order_release);
}

void CChangeSequence::TakeCounter(int64_t seq, int64_t sentMs) {
  // Every change committed before an earlier heartbeat ran has arrived by a lease later: a number
  // counted then and still not seen went missing.
  while (!m_checks.empty() && m_checks.front().first <= sentMs - kLeaseMs) {
    if (m_checks.front().second > m_lastSeq) {
      NewEpoch();
      m_lastSeq = m_checks.front().second;
    }
    m_checks.pop_front();
  }
  // Notices of changes that committed after the query's snapshot may have been taken before its
  // answer; only a counter behind what was seen when the query was sent went back.
  if (seq < m_seenAtSend) {
    // The counter went back (a restored database): the numbers seen say nothing any more.
    NewEpoch();
    m_lastSeq = seq;
    m_checks.clear();
  }
  m_checks.emplace_back(sentMs, seq);
  m_liveUntilMs.store(sentMs + kLeaseMs, std::memory_order_release);
}

void CPostgresChangeFeed::TakeNotice(std::string_view payload) {
  std::vector<std::string_view> words;
  while (!payload.empty()) {
    const size_t blank = payload.find(' ');
    if (blank != 0) words.push_back(payload.substr(0, blank));
    payload = blank == std::string_view::npos ? std::string_view() : payload.substr(blank + 1);
  }
  if (words.size() == 1) return Report(std::string(words[0]), kUnknownVersion);
  if (words.size() != 3 || !AllDigits(words[0]))
    return m_sequence.NewEpoch();  // anything may have changed
  m_sequence.TakeNumber(std::strtoll(std::string(words[0]).c_str(), nullptr, 10));
  const int64_t version = AllDigits(words[2])
                              ? std::strtoll(std::string(words[2]).c_str(), nullptr, 10)
                              : kUnknownVersion;
  Report(std::string(words[1]), version);
}

void CChangeSequence::TakeNumber(int64_t seq) {
  if (seq > m_lastSeq + 1) NewEpoch();
  if (seq > m_lastSeq) m_lastSeq = seq;
}

void CPostgresChangeFeed::Report(const std::string& nameKey, int64_t version) {
  std::lock_guard<std::mutex> lock(m_subscriberMutex);
  if (m_onChange) m_onChange(nameKey, version);
}

bool CPostgresChangeFeed::Wait(int socket, int64_t ms) {
  pollfd fds[2] = {{m_wake[0], POLLIN, 0}, {socket, POLLIN, 0}};
  const int count = socket >= 0 ? 2 : 1;
  const int timeout = static_cast<int>(std::min<int64_t>(ms, 60000));
  while (poll(fds, count, timeout) < 0) {
    if (errno != EINTR) break;
  }
  return !m_stopping.load();
}
