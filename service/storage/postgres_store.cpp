// The store in a PostgreSQL database: its parts, and the look-ups of accounts and kept reports.
#include "storage/postgres_store.h"

#include <libpq-fe.h>

#include "storage/postgres_rows.h"

using namespace pgrows;

CPostgresStore::CPostgresStore(const std::string& conninfo)
    : m_conninfo(conninfo),
      m_readers(conninfo, m_gate),
      m_writer(conninfo, m_gate, *this),
      m_sessions(m_readers),
      m_limits(m_readers),
      m_history(m_readers),
      m_queue(m_writer) {}

CPostgresStore::~CPostgresStore() = default;

std::optional<CAccountRecord> CPostgresStore::FindAccount(std::string_view name) {
  auto result = m_readers.Read("find", {NameKey(name)});
  const PGresult* row = result.get();
  if (PQntuples(row) != 1) return std::nullopt;
  CAccountRecord record;
  record.name = Text(row, 0, 0);
  record.keyHash = Text(row, 0, 1);
  record.codePage = static_cast<int>(Number(row, 0, 2));
  record.createdAt = Number(row, 0, 3);
  record.state.playback = PlaybackOf(Number(row, 0, 4));
  record.state.artist = Text(row, 0, 5);
  record.state.title = Text(row, 0, 6);
  record.state.album = Text(row, 0, 7);
  record.state.year = Text(row, 0, 8);
  record.state.genre = Text(row, 0, 9);
  record.state.trackAt = Number(row, 0, 10);
  record.state.stoppedAt = Number(row, 0, 11);
  record.version = Number(row, 0, 12);
  record.changedAt = Number(row, 0, 13);
  record.appliedAtMs = Number(row, 0, 14);
  if (!PQgetisnull(row, 0, 15)) {
    record.settings.layout = Text(row, 0, 15);
    record.settings.theme = Text(row, 0, 16);
    record.settings.accent = static_cast<int32_t>(Number(row, 0, 17));
    record.settings.showAlbum = Text(row, 0, 18) == "t";
    record.settings.showYear = Text(row, 0, 19) == "t";
    record.settings.showGenre = Text(row, 0, 20) == "t";
  }
  record.id = Number(row, 0, 21);
  record.keyVersion = Number(row, 0, 22);
  record.state.endsAt = Number(row, 0, 23);
  record.tokenHash = Text(row, 0, 24);
  record.tokenMd5 = Text(row, 0, 25);
  record.wrongKey = Text(row, 0, 26) == "t";
  record.keepHistory = Text(row, 0, 27) == "t";
  record.historyVersion = Number(row, 0, 28);
  record.state.fromPlugin = Text(row, 0, 29) == "t";
  return record;
}

std::optional<std::string> CPostgresStore::FindNameByToken(std::string_view tokenHash) {
  auto result = m_readers.Read("find_token", {std::string(tokenHash)});
  if (PQntuples(result.get()) != 1) return std::nullopt;
  return Text(result.get(), 0, 0);
}

CChangeFeed* CPostgresStore::Changes() {
  std::call_once(m_feedMade,
                 [this] { m_feed = std::make_unique<CPostgresChangeFeed>(m_conninfo, m_gate); });
  return m_feed.get();
}

std::vector<std::pair<std::string, CKeptReport>> CPostgresStore::KeptReports() {
  auto result = m_readers.Read("kept", {});
  const PGresult* rows = result.get();
  std::vector<std::pair<std::string, CKeptReport>> kept;
  for (int i = 0; i < PQntuples(rows); ++i) {
    CKeptReport report;
    report.stopped = Text(rows, i, 1) == "t";
    report.artist = Bytes(rows, i, 2);
    report.title = Bytes(rows, i, 3);
    report.album = Bytes(rows, i, 4);
    report.year = Bytes(rows, i, 5);
    report.genre = Bytes(rows, i, 6);
    report.arrivedAt = Number(rows, i, 7);
    report.dueAtMs = Number(rows, i, 8);
    report.seq = Number(rows, i, 9);
    report.source = static_cast<CKeptReport::ESource>(Number(rows, i, 10));
    report.startedAt = Number(rows, i, 11);
    report.durationS = Number(rows, i, 12);
    kept.emplace_back(Text(rows, i, 0), std::move(report));
  }
  return kept;
}
