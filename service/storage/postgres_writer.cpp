// The PostgreSQL store's writer: each batch of writes and reports in one pipelined transaction.
#include "storage/postgres_writer.h"

#include <libpq-fe.h>

#include <map>
#include <set>
#include <string_view>

#include "storage/postgres_history.h"
#include "storage/postgres_rows.h"
#include "storage/postgres_schema.h"

using namespace pgrows;

namespace {

// How long a statement of the writer's transaction may wait for its answer before its connection
// is given up as hung.
constexpr int64_t kWriterAnswerMs = 8000;

// The answer of "claim_report" (from column 0), or a row of "reports" (from column 1), as a
// report's outcome.
void TakeOutcome(const PGresult* rows, int row, int first, CReportOutcome& outcome) {
  auto column = [first](int i) { return first + i; };
  if (!PQgetisnull(rows, row, column(1))) {
    outcome.result = CReportOutcome::EResult::kKept;
    outcome.seq = Number(rows, row, column(1));
    outcome.dueAtMs = Number(rows, row, column(2));
    return;
  }
  if (PQgetisnull(rows, row, column(3))) return;  // no such account, or the claim was lost
  outcome.result = CReportOutcome::EResult::kApplied;
  outcome.version = Number(rows, row, column(3));
  outcome.changedAt = Number(rows, row, column(4));
  CTrackState& state = outcome.state;
  state.playback = PlaybackOf(Number(rows, row, column(5)));
  state.artist = Text(rows, row, column(6));
  state.title = Text(rows, row, column(7));
  state.album = Text(rows, row, column(8));
  state.year = Text(rows, row, column(9));
  state.genre = Text(rows, row, column(10));
  state.trackAt = Number(rows, row, column(11));
  state.stoppedAt = Number(rows, row, column(12));
  state.endsAt = Number(rows, row, column(13));
  state.fromPlugin = Text(rows, row, column(15)) == "t";
}

// The parameters of the "update" statement: `state` written at `nowMs`.
std::vector<std::string> UpdateParams(const std::string& nameKey, const CTrackState& state,
                                      int64_t nowMs) {
  std::vector<std::string> params = {nameKey, std::to_string(static_cast<int>(state.playback))};
  AddTags(params, state);
  params.push_back(std::to_string(state.trackAt));
  params.push_back(std::to_string(state.stoppedAt));
  params.push_back(std::to_string(nowMs));
  params.push_back(std::to_string(state.endsAt));
  params.push_back(state.fromPlugin ? "t" : "f");
  return params;
}

// The parameters of the "reports" statement for `reports`, one per account, as arrays.
std::vector<std::string> ReportsParams(const std::vector<const CReportWrite*>& reports,
                                       const std::vector<const std::string*>& nameKeys) {
  std::vector<CArrayParam> columns(21);
  for (size_t i = 0; i < reports.size(); ++i) {
    const CReportWrite& report = *reports[i];
    const CKeptReport& kept = report.kept;
    size_t c = 0;
    columns[c++].Add(*nameKeys[i]);
    columns[c++].Add(report.stopped ? "t" : "f");
    for (const std::string* tag : {&report.track.artist, &report.track.title, &report.track.album,
                                   &report.track.year, &report.track.genre})
      columns[c++].Add(*tag);
    for (int64_t number : {report.track.trackAt, kept.arrivedAt, report.nowMs, report.intervalMs,
                           report.track.endsAt})
      columns[c++].Add(number);
    for (const std::string* tag : {&kept.artist, &kept.title, &kept.album, &kept.year, &kept.genre})
      columns[c++].AddBytes(*tag);
    for (int64_t number : {static_cast<int64_t>(kept.source), kept.startedAt, kept.durationS})
      columns[c++].Add(number);
    columns[c++].Add(report.track.fromPlugin ? "t" : "f");
  }
  std::vector<std::string> params;
  for (CArrayParam& column : columns) params.push_back(column.Take());
  return params;
}

}  // namespace

CPostgresWriter::CPostgresWriter(const std::string& conninfo, CConnectGate& gate,
                                 const CStore& store)
    : m_store(store),
      m_writer(conninfo, kWriterAnswerMs, &gate, PostgresStatements()),
      m_pipeline(m_writer.Pipeline()) {
  UpgradePostgresSchema(m_writer);
  // Connect again, so that every statement is prepared against the tables that now exist.
  m_writer.Reset();
}

void CPostgresWriter::CheckWritable() {
  try {
    m_writer.Run("probe", {});
  } catch (const CStoreError& error) {
    throw CStoreError(std::string("the database cannot be written (") + error.what() +
                      "); velk-service needs a database it may write");
  }
}

void CPostgresWriter::Commit(const std::vector<CQueuedCreation>& creations,
                             const std::map<std::string, CAccountWrite>& writes,
                             std::vector<CQueuedReport>& reports,
                             std::vector<ECreateResult>& results) {
  // The whole transaction goes in one pipeline: its statements cost one round trip (and one more
  // per kPipelineDepth statements), not one each.
  try {
    m_pipeline.Send("BEGIN", {});
  } catch (const CStoreError&) {
    // Nothing was sent yet: after a lost connection, one more try on a new one is safe.
    if (!m_writer.LostConnection()) throw;
    m_pipeline.Send("BEGIN", {});
  }
  try {
    SendHistoryLimit(m_pipeline, m_store.HistoryLimit());
    // Every account that the batch writes or reports to is locked first, in the order of its
    // name, in every instance: two batches that lock the same rows cannot wait for each other.
    // Then writes (a name that one of them frees may be taken by a creation in the same batch),
    // then reports.
    if (!reports.empty()) {
      std::set<std::string> locked;
      for (const auto& [nameKey, write] : writes) locked.insert(nameKey);
      for (const CQueuedReport& report : reports) locked.insert(report.nameKey);
      CArrayParam names;
      for (const std::string& nameKey : locked) names.Add(nameKey);
      m_pipeline.Send("lock_all", {names.Take()});
    }
    for (const auto& [nameKey, write] : writes) ApplyWrite(nameKey, write);
    SendReports(reports);
    for (size_t i = 0; i < creations.size(); ++i) {
      const CAccountRecord& record = creations[i].record;
      m_pipeline.Send(
          "insert",
          {NameKey(record.name), record.name, record.keyHash, std::to_string(record.codePage),
           std::to_string(record.createdAt), record.keepHistory ? "t" : "f"},
          {}, [&results, i](const PGresult* inserted) {
            const char* count = PQcmdTuples(const_cast<PGresult*>(inserted));
            results[i] = std::string_view(count) == "1" ? ECreateResult::kCreated
                                                        : ECreateResult::kDuplicate;
          });
    }
    m_pipeline.Send("COMMIT", {});
    m_pipeline.Sync();
  } catch (const CStoreError&) {
    try {
      // A connection dropped on the failure rolled back by itself.
      if (!m_writer.LostConnection()) m_writer.Exec("ROLLBACK");
    } catch (const CStoreError&) {
    }
    throw;
  }
}
void CPostgresWriter::ApplyWrite(const std::string& nameKey, const CAccountWrite& write) {
  // History first: cleared before listens are added, and kept or not as the write switches it.
  // Each state passed through fires the trigger that keeps the plug-in's listen it ends.
  if (write.clearHistory) SendClearHistory(m_pipeline, nameKey);
  if (write.keepHistory) SendKeepHistory(m_pipeline, nameKey, *write.keepHistory);
  for (const CTrackState& passed : write.passedStates)
    m_pipeline.Send("update", UpdateParams(nameKey, passed, write.nowMs));
  if (write.state) m_pipeline.Send("update", UpdateParams(nameKey, *write.state, write.nowMs));
  if (!write.listens.empty() && m_store.HistoryLimit() > 0)
    SendListens(m_pipeline, nameKey, write.listens, m_store.HistoryLimit());
  if (write.keptAction == CAccountWrite::EKept::kSet) {
    m_pipeline.Send("keep", KeepParams(nameKey, write.kept, write.kept.dueAtMs), kKeepBinary);
  } else if (write.keptAction == CAccountWrite::EKept::kClear) {
    m_pipeline.Send("unkeep", {nameKey});
  }
  ApplyAccountChange(nameKey, write);
}

void CPostgresWriter::ApplyAccountChange(const std::string& nameKey, const CAccountWrite& write) {
  // The database's triggers give the account a new version and, when what its image shows
  // changed, a later changed_at.
  if (write.settings || write.keyHash || write.codePage || write.remove)
    m_pipeline.Send("lock", {nameKey});
  if (write.settings) {
    const CAccountSettings& settings = *write.settings;
    m_pipeline.Send("settings", {nameKey, settings.layout, settings.theme,
                                 std::to_string(settings.accent), settings.showAlbum ? "t" : "f",
                                 settings.showYear ? "t" : "f", settings.showGenre ? "t" : "f"});
  }
  if (write.keyHash || write.codePage) {
    // An empty text stands for "no change" here: neither a key hash nor a code page is empty.
    m_pipeline.Send("account", {nameKey, write.keyHash ? *write.keyHash : std::string(),
                                write.codePage ? std::to_string(*write.codePage) : std::string()});
  }
  if (write.keyHash) {
    if (!write.keepSession.empty()) m_pipeline.Send("keep_session", {nameKey, write.keepSession});
    m_pipeline.Send("end_old_sessions", {nameKey});
  }
  if (write.playerToken) {
    m_pipeline.Send("token", {nameKey, write.playerToken->first, write.playerToken->second});
  }
  if (write.markWrongKey) m_pipeline.Send("mark_wrong_key", {nameKey});
  if (!write.remove) return;
  SendClearHistory(m_pipeline, nameKey);
  for (const char* statement : {"end_account_sessions", "remove_settings", "remove", "unkeep"}) {
    m_pipeline.Send(statement, {nameKey});
  }
}

void CPostgresWriter::SendReports(std::vector<CQueuedReport>& reports) {
  // In rounds: the n-th report of every account in round n, so that an account's reports are
  // decided in the order they came. A round's reports of this service's own plug-in go in one
  // statement; claims and other players' listens one by one.
  std::map<std::string_view, size_t> taken;  // reports of each account sent so far
  std::vector<std::vector<CQueuedReport*>> rounds;
  for (CQueuedReport& report : reports) {
    const size_t round = taken[report.nameKey]++;
    if (rounds.size() <= round) rounds.resize(round + 1);
    rounds[round].push_back(&report);
  }
  for (const std::vector<CQueuedReport*>& round : rounds) {
    std::vector<CQueuedReport*> together;
    std::vector<const CReportWrite*> writes;
    std::vector<const std::string*> nameKeys;
    for (CQueuedReport* report : round) {
      report->outcome = CReportOutcome();
      if (report->report.claimSeq != 0 ||
          report->report.kept.source == CKeptReport::ESource::kListen)
        continue;
      together.push_back(report);
      writes.push_back(&report->report);
      nameKeys.push_back(&report->nameKey);
    }
    if (!together.empty()) {
      m_pipeline.Send("reports", ReportsParams(writes, nameKeys), {},
                      [together](const PGresult* rows) {
                        for (int row = 0; row < PQntuples(rows); ++row) {
                          const int64_t n = Number(rows, row, 0);  // from 1
                          if (n < 1 || static_cast<size_t>(n) > together.size()) continue;
                          TakeOutcome(rows, row, 1, together[static_cast<size_t>(n) - 1]->outcome);
                        }
                      });
    }
    for (CQueuedReport* report : round) {
      if (report->report.kept.source == CKeptReport::ESource::kListen) {
        // Whether another player's listen shows depends on what the account shows: decided step
        // by step, after the answers to what was sent before.
        m_pipeline.Sync();
        report->outcome = ApplyListen(report->nameKey, report->report);
      } else if (report->report.claimSeq != 0) {
        SendClaim(report->nameKey, report->report, report->outcome);
      }
    }
  }
  // Kept whether each report was applied or kept.
  for (const CQueuedReport& report : reports) {
    if (!report.report.listens.empty() && m_store.HistoryLimit() > 0)
      SendListens(m_pipeline, report.nameKey, report.report.listens, m_store.HistoryLimit());
  }
}

void CPostgresWriter::SendClaim(const std::string& nameKey, const CReportWrite& report,
                                CReportOutcome& outcome) {
  std::vector<std::string> params = {nameKey, report.stopped ? "t" : "f"};
  AddTags(params, report.track);
  params.push_back(std::to_string(report.track.trackAt));
  params.push_back(std::to_string(report.kept.arrivedAt));
  params.push_back(std::to_string(report.nowMs));
  params.push_back(std::to_string(report.claimSeq));
  params.push_back(std::to_string(report.track.endsAt));
  params.push_back(report.track.fromPlugin ? "t" : "f");
  m_pipeline.Send("claim_report", params, {}, [&outcome](const PGresult* rows) {
    if (PQntuples(rows) == 1) TakeOutcome(rows, 0, 0, outcome);
  });
}

CReportOutcome CPostgresWriter::ApplyListen(const std::string& nameKey,
                                            const CReportWrite& report) {
  CReportOutcome outcome;
  const std::string now = std::to_string(report.nowMs);
  auto locked = m_writer.Run("lock", {nameKey});
  if (PQntuples(locked.get()) != 1) return outcome;
  if (report.claimSeq != 0) {
    auto claimed = m_writer.Run("claim_seq", {nameKey, std::to_string(report.claimSeq)});
    if (std::string_view(PQcmdTuples(claimed.get())) == "0") return outcome;  // applied elsewhere
  } else {
    const int64_t appliedAtMs = Number(locked.get(), 0, 0);
    if (appliedAtMs > 0 && report.nowMs - appliedAtMs < report.intervalMs) {
      outcome.dueAtMs = appliedAtMs + report.intervalMs;
      auto kepts =
          m_writer.Run("keep", KeepParams(nameKey, report.kept, outcome.dueAtMs), kKeepBinary);
      outcome.seq = Number(kepts.get(), 0, 0);
      outcome.result = CReportOutcome::EResult::kKept;
      return outcome;
    }
    // Newer than any report kept: that one will never be shown.
    if (Text(locked.get(), 0, 1) == "t") m_writer.Run("unkeep", {nameKey});
  }
  std::vector<std::string> params = {nameKey};
  AddTags(params, report.track);
  params.push_back(std::to_string(report.track.trackAt));
  params.push_back(std::to_string(report.track.stoppedAt));
  params.push_back(now);
  params.push_back(std::to_string(kListenGraceSeconds));
  params.push_back(std::to_string(kListenBeforeEndSeconds));
  m_writer.Run("apply_listen", params);
  outcome.result = CReportOutcome::EResult::kApplied;
  return outcome;
}
