// The history of each store, end to end through CStore: the plug-in's listens derived from its
// states, listens sent twice, the limit, the charts, keeping switched off, clearing and deletion.
// PostgreSQL runs when VELK_TEST_POSTGRES names an empty database (the PostgreSQL suite does).
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>

#include <ctime>
#include <future>

#include "tests/test_support.h"
#include "storage/write_queue.h"

namespace {

class CHistoryTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (GetParam() == "sqlite") {
      m_db = m_dir.File("history.sqlite");
    } else {
      const char* conninfo = std::getenv("VELK_TEST_POSTGRES");
      if (!conninfo) GTEST_SKIP() << "VELK_TEST_POSTGRES names no database";
      m_db = conninfo;
    }
    m_store = OpenStore(m_db);
    m_store->SetHistoryLimit(6);
  }

  void Create(const std::string& name, bool keep) {
    CAccountRecord record;
    record.name = name;
    record.keyHash = "hash";
    record.createdAt = m_now;
    record.keepHistory = keep;
    std::promise<ECreateResult> done;
    m_store->Queue().CreateAccount(record,
                                   [&done](ECreateResult result) { done.set_value(result); });
    ASSERT_EQ(done.get_future().get(), ECreateResult::kCreated);
  }

  void Write(const std::string& name, CAccountWrite write) {
    std::promise<bool> done;
    m_store->Queue().Write(name, std::move(write),
                           [&](bool stored, const std::string&) { done.set_value(stored); });
    ASSERT_TRUE(done.get_future().get());
  }

  // What the plug-in reports at `at`: a track playing, or (empty title) a stop; through the
  // shared store's reports, as its instances send them, else as a state written.
  void Plugin(const std::string& name, int64_t at, const std::string& title) {
    CTrackState state;
    state.playback =
        title.empty() ? CTrackState::EPlayback::kStopped : CTrackState::EPlayback::kPlaying;
    state.artist = "Band";
    state.title = title.empty() ? m_playing : title;
    state.album = "Record";
    state.trackAt = title.empty() ? m_playingAt : at;
    state.stoppedAt = title.empty() ? at : 0;
    state.fromPlugin = true;
    if (!title.empty()) m_playing = title, m_playingAt = at;
    if (!m_store->Shared()) {
      CAccountWrite write;
      write.state = state;
      write.nowMs = at * 1000;
      return Write(name, std::move(write));
    }
    CReportWrite report;
    report.stopped = title.empty();
    report.track = state;
    report.kept.arrivedAt = at;
    report.nowMs = at * 1000;
    std::promise<CReportOutcome::EResult> done;
    m_store->Queue().Report(name, report,
                            [&](bool, const CReportOutcome& outcome, const std::string&) {
                              done.set_value(outcome.result);
                            });
    ASSERT_EQ(done.get_future().get(), CReportOutcome::EResult::kApplied);
  }

  // "at artist - title" of the newest listens, newest first.
  std::vector<std::string> Recent(const std::string& name) {
    std::vector<std::string> found;
    for (const CListen& listen : m_store->History().RecentListens(NameKey(name), 10))
      found.push_back(std::to_string(listen.at - m_now) + " " + listen.artist + " - " +
                      listen.title + (listen.source == CListen::ESource::kPlugin ? " (velk)" : ""));
    return found;
  }

  std::vector<std::string> Chart(const std::string& name, EChart chart, int64_t fromDay) {
    std::vector<std::string> rows;
    for (const CChartRow& row : m_store->History().Chart(NameKey(name), chart, fromDay, 5))
      rows.push_back(row.artist + (row.title.empty() ? "" : " - " + row.title) + " " +
                     std::to_string(row.plays));
    return rows;
  }

  int64_t HistoryVersion(const std::string& name) {
    return m_store->FindAccount(name)->historyVersion;
  }

  // Rows of every history table together, read past the store.
  int64_t HistoryRows() {
    const std::string sql =
        "SELECT (SELECT count(*) FROM listens) + (SELECT count(*) FROM track_days) + "
        "(SELECT count(*) FROM track_totals) + (SELECT count(*) FROM artist_totals)";
    if (GetParam() == "sqlite") {
      sqlite3* db = nullptr;
      sqlite3_open(m_db.c_str(), &db);
      sqlite3_stmt* stmt = nullptr;
      sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
      const int64_t rows = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int64(stmt, 0) : -1;
      sqlite3_finalize(stmt);
      sqlite3_close(db);
      return rows;
    }
    PGconn* conn = PQconnectdb(m_db.c_str());
    PGresult* result = PQexec(conn, sql.c_str());
    const int64_t rows = PQresultStatus(result) == PGRES_TUPLES_OK
                             ? std::strtoll(PQgetvalue(result, 0, 0), nullptr, 10)
                             : -1;
    PQclear(result);
    PQfinish(conn);
    return rows;
  }

  static CListen Listen(int64_t at, const std::string& artist, const std::string& title) {
    CListen listen;
    listen.at = at;
    listen.artist = artist;
    listen.title = title;
    listen.source = CListen::ESource::kListenBrainz;
    return listen;
  }

  CTempDir m_dir;
  std::string m_db;
  std::unique_ptr<CStore> m_store;
  // Noon of a day, so that "an hour ago" is the same day.
  const int64_t m_now = std::time(nullptr) / 86400 * 86400 + 43200;
  std::string m_playing;
  int64_t m_playingAt = 0;
};

TEST_P(CHistoryTest, KeepsCountsTrimsAndDeletesListens) {
  Create("Hist", true);
  Create("Old", false);
  const int64_t before = HistoryVersion("Hist");

  // The plug-in: A 40 s, then B (its report again 20 s later is the same listen) 40 s in all,
  // then C only 10 s before the stop; a stop ends B, and C is no listen.
  Plugin("Hist", m_now - 3000, "A");
  Plugin("Hist", m_now - 2960, "B");
  Plugin("Hist", m_now - 2940, "B");
  Plugin("Hist", m_now - 2920, "C");
  Plugin("Hist", m_now - 2910, "");
  Plugin("Old", m_now - 3000, "A");
  Plugin("Old", m_now - 2900, "");
  EXPECT_EQ(Recent("Hist"),
            (std::vector<std::string>{"-2960 Band - B (velk)", "-3000 Band - A (velk)"}));
  EXPECT_GT(HistoryVersion("Hist"), before);
  EXPECT_TRUE(Recent("Old").empty());

  // Other players' listens: one sent twice in a write and again in the next is kept once; three
  // weeks ago, yesterday; beyond the limit of 6 the oldest go, their plays still counted.
  CAccountWrite first;
  first.listens = {Listen(m_now - 86400, "Zed", "Z"), Listen(m_now - 86400, "Zed", "Z"),
                   Listen(m_now - 21 * 86400, "Old Band", "Gone"),
                   Listen(m_now - 21 * 86400 + 300, "Old Band", "Gone")};
  Write("Hist", first);
  CAccountWrite second;
  second.listens = {Listen(m_now - 86400, "Zed", "Z"), Listen(m_now - 60, "Zed", "Y"),
                    Listen(m_now - 30, "Band", "A")};
  Write("hist", second);
  EXPECT_EQ(Recent("Hist"),
            (std::vector<std::string>{"-30 Band - A", "-60 Zed - Y", "-2960 Band - B (velk)",
                                      "-3000 Band - A (velk)", "-86400 Zed - Z",
                                      "-1814100 Old Band - Gone"}));
  const int64_t today = ListenDay(m_now);
  EXPECT_EQ(Chart("Hist", EChart::kArtists, today - 6),
            (std::vector<std::string>{"Band 3", "Zed 2"}));
  EXPECT_EQ(Chart("Hist", EChart::kTracks, today - 6),
            (std::vector<std::string>{"Band - A 2", "Zed - Y 1", "Band - B 1", "Zed - Z 1"}));
  EXPECT_EQ(Chart("Hist", EChart::kTracks, 0),
            (std::vector<std::string>{"Band - A 2", "Old Band - Gone 2", "Zed - Y 1", "Band - B 1",
                                      "Zed - Z 1"}));
  EXPECT_EQ(Chart("Hist", EChart::kArtists, 0),
            (std::vector<std::string>{"Band 3", "Zed 2", "Old Band 2"}));

  // Switched off: neither the plug-in's nor others' listens are kept.
  CAccountWrite off;
  off.keepHistory = false;
  off.listens = {Listen(m_now - 10, "New", "N")};
  Write("Hist", off);
  Plugin("Hist", m_now + 100, "D");
  Plugin("Hist", m_now + 1000, "");
  EXPECT_EQ(Recent("Hist").front(), "-30 Band - A");

  // Cleared: nothing is left, and the history has a new version.
  const int64_t kept = HistoryVersion("Hist");
  CAccountWrite clear;
  clear.clearHistory = true;
  clear.keepHistory = true;
  Write("Hist", clear);
  EXPECT_TRUE(Recent("Hist").empty());
  EXPECT_TRUE(Chart("Hist", EChart::kArtists, 0).empty());
  EXPECT_GT(HistoryVersion("Hist"), kept);
  EXPECT_EQ(HistoryRows(), 0);

  // Deleted with its account.
  CAccountWrite again;
  again.listens = {Listen(m_now - 10, "New", "N")};
  Write("Hist", again);
  EXPECT_EQ(Recent("Hist").size(), 1u);
  CAccountWrite remove;
  remove.remove = true;
  Write("Hist", remove);
  EXPECT_EQ(HistoryRows(), 0);
}

INSTANTIATE_TEST_SUITE_P(Stores, CHistoryTest, ::testing::Values("sqlite", "postgres"));

}  // namespace
