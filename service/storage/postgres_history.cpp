// The PostgreSQL store's history: the tables, the function that keeps listens with their counts
// and the limit, the trigger that derives the plug-in's listens, and the reads of recent listens
// and charts.
#include "storage/postgres_history.h"

#include <libpq-fe.h>

#include <iterator>

#include "storage/postgres_rows.h"

using namespace pgrows;

static_assert(kPluginListenSeconds == 30 && kDefaultHistoryListens == 10000,
              "the trigger below states both");

// Listens and counts are keyed by a digest of their texts (which may be longer than an index
// entry may be). velk_keep_listens keeps the listens an account does not hold yet, counts those,
// and removes the account's oldest beyond the limit; it answers how many it added and removed.
// The plug-in's listen ends when a state replaces its listen in progress (listen_at, which the
// statements that write states keep: the same artist and title still playing from the plug-in
// go on being the same listen) after at least 30 s. Two triggers, whose conditions say the same,
// keep it: one on each such row counts it in the account (held at most the limit, which the
// other restores by trimming; a listen that turns out to be kept before counts once too many), and
// one on each statement keeps the listens of all its rows at once, set-based, which costs a
// fraction of doing it row by row.
const char kPostgresHistoryUpgrade[] = R"(
ALTER TABLE accounts ADD COLUMN IF NOT EXISTS keep_history BOOLEAN NOT NULL DEFAULT false;
ALTER TABLE accounts ADD COLUMN IF NOT EXISTS history_version BIGINT NOT NULL DEFAULT 0;
ALTER TABLE accounts ADD COLUMN IF NOT EXISTS from_plugin BOOLEAN NOT NULL DEFAULT false;
ALTER TABLE accounts ADD COLUMN IF NOT EXISTS listen_at BIGINT NOT NULL DEFAULT 0;
ALTER TABLE accounts ADD COLUMN IF NOT EXISTS listen_count BIGINT NOT NULL DEFAULT 0;
CREATE TABLE IF NOT EXISTS listens (
  account_id BIGINT NOT NULL,
  at         BIGINT NOT NULL,
  track_key  BYTEA NOT NULL,
  artist     TEXT NOT NULL,
  title      TEXT NOT NULL,
  album      TEXT NOT NULL,
  source     SMALLINT NOT NULL,
  PRIMARY KEY (account_id, at, track_key)
);
CREATE TABLE IF NOT EXISTS track_days (
  account_id BIGINT NOT NULL,
  day        BIGINT NOT NULL,
  track_key  BYTEA NOT NULL,
  artist     TEXT NOT NULL,
  title      TEXT NOT NULL,
  plays      BIGINT NOT NULL,
  last_at    BIGINT NOT NULL,
  PRIMARY KEY (account_id, day, track_key)
);
CREATE TABLE IF NOT EXISTS track_totals (
  account_id BIGINT NOT NULL,
  track_key  BYTEA NOT NULL,
  artist     TEXT NOT NULL,
  title      TEXT NOT NULL,
  plays      BIGINT NOT NULL,
  last_at    BIGINT NOT NULL,
  PRIMARY KEY (account_id, track_key)
);
CREATE INDEX IF NOT EXISTS track_totals_by_plays ON track_totals (account_id, plays DESC, last_at DESC);
CREATE TABLE IF NOT EXISTS artist_totals (
  account_id BIGINT NOT NULL,
  artist_key BYTEA NOT NULL,
  artist     TEXT NOT NULL,
  plays      BIGINT NOT NULL,
  last_at    BIGINT NOT NULL,
  PRIMARY KEY (account_id, artist_key)
);
CREATE INDEX IF NOT EXISTS artist_totals_by_plays ON artist_totals (account_id, plays DESC, last_at DESC);
CREATE OR REPLACE FUNCTION velk_trim_listens(account BIGINT, excess BIGINT) RETURNS BIGINT
    LANGUAGE plpgsql AS $$
DECLARE
  removed BIGINT := 0;
BEGIN
  IF excess > 0 THEN
    DELETE FROM listens WHERE account_id = account AND (at, track_key) <=
      (SELECT o.at, o.track_key FROM listens AS o WHERE o.account_id = account
        ORDER BY o.at, o.track_key OFFSET excess - 1 LIMIT 1);
    GET DIAGNOSTICS removed = ROW_COUNT;
  END IF;
  RETURN removed;
END $$;
CREATE OR REPLACE FUNCTION velk_keep_listens(account BIGINT, kept BIGINT, lim BIGINT,
    ats BIGINT[], artists TEXT[], titles TEXT[], albums TEXT[], sources SMALLINT[],
    OUT added BIGINT, OUT removed BIGINT) LANGUAGE plpgsql AS $$
BEGIN
  WITH l AS (SELECT * FROM unnest(ats, artists, titles, albums, sources)
               AS l(at, artist, title, album, source)),
  fresh AS (INSERT INTO listens (account_id, at, track_key, artist, title, album, source)
    SELECT account, l.at, sha256(textsend(length(l.artist)::text || ':' || l.artist || l.title)),
      l.artist, l.title, l.album, l.source FROM l
    ON CONFLICT DO NOTHING RETURNING listens.at, listens.track_key, listens.artist, listens.title),
  days AS (INSERT INTO track_days AS c (account_id, day, track_key, artist, title, plays, last_at)
    SELECT account, floor(f.at / 86400.0)::bigint, f.track_key, min(f.artist), min(f.title),
      count(*), max(f.at) FROM fresh AS f GROUP BY 2, 3
    ON CONFLICT (account_id, day, track_key) DO UPDATE SET plays = c.plays + EXCLUDED.plays,
      last_at = greatest(c.last_at, EXCLUDED.last_at)),
  tracks AS (INSERT INTO track_totals AS c (account_id, track_key, artist, title, plays, last_at)
    SELECT account, f.track_key, min(f.artist), min(f.title), count(*), max(f.at)
      FROM fresh AS f GROUP BY 2
    ON CONFLICT (account_id, track_key) DO UPDATE SET plays = c.plays + EXCLUDED.plays,
      last_at = greatest(c.last_at, EXCLUDED.last_at)),
  artists AS (INSERT INTO artist_totals AS c (account_id, artist_key, artist, plays, last_at)
    SELECT account, sha256(textsend(f.artist)), f.artist, count(*), max(f.at)
      FROM fresh AS f GROUP BY f.artist
    ON CONFLICT (account_id, artist_key) DO UPDATE SET plays = c.plays + EXCLUDED.plays,
      last_at = greatest(c.last_at, EXCLUDED.last_at))
  SELECT count(*) INTO added FROM fresh;
  removed := velk_trim_listens(account, kept + added - lim);
END $$;
CREATE OR REPLACE FUNCTION velk_history_limit() RETURNS BIGINT LANGUAGE sql STABLE AS $$
  SELECT coalesce(nullif(current_setting('velk.history_limit', true), '')::bigint, 10000) $$;
CREATE OR REPLACE FUNCTION velk_plugin_listen_counted() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  NEW.history_version := NEW.history_version + 1;
  NEW.listen_count := least(NEW.listen_count + 1, velk_history_limit());
  RETURN NEW;
END $$;
DROP TRIGGER IF EXISTS accounts_history ON accounts;
CREATE TRIGGER accounts_history BEFORE UPDATE ON accounts FOR EACH ROW
  WHEN (OLD.listen_at > 0 AND NEW.listen_at <> OLD.listen_at AND NEW.keep_history AND
        velk_history_limit() > 0 AND
        OLD.artist <> '' AND OLD.title <> '' AND
        greatest(NEW.track_at, NEW.stopped_at) - OLD.listen_at >= 30)
  EXECUTE FUNCTION velk_plugin_listen_counted();
CREATE OR REPLACE FUNCTION velk_plugin_listens() RETURNS trigger LANGUAGE plpgsql AS $$
DECLARE
  ids BIGINT[];
  excesses BIGINT[];
BEGIN
  WITH ended AS (SELECT n.id AS account_id, o.listen_at AS at, o.artist, o.title, o.album,
      sha256(textsend(length(o.artist)::text || ':' || o.artist || o.title)) AS track_key,
      o.listen_count + 1 - velk_history_limit() AS excess
    FROM old_rows AS o JOIN new_rows AS n ON n.id = o.id
    WHERE o.listen_at > 0 AND n.listen_at <> o.listen_at AND n.keep_history AND
      velk_history_limit() > 0 AND
      o.artist <> '' AND o.title <> '' AND
      greatest(n.track_at, n.stopped_at) - o.listen_at >= 30),
  fresh AS (INSERT INTO listens (account_id, at, track_key, artist, title, album, source)
    SELECT account_id, at, track_key, artist, title, album, 0 FROM ended
    ON CONFLICT DO NOTHING RETURNING account_id, at, track_key, artist, title),
  days AS (INSERT INTO track_days AS c (account_id, day, track_key, artist, title, plays, last_at)
    SELECT account_id, floor(at / 86400.0)::bigint, track_key, artist, title, 1, at FROM fresh
    ON CONFLICT (account_id, day, track_key) DO UPDATE SET plays = c.plays + 1,
      last_at = greatest(c.last_at, EXCLUDED.last_at)),
  tracks AS (INSERT INTO track_totals AS c (account_id, track_key, artist, title, plays, last_at)
    SELECT account_id, track_key, artist, title, 1, at FROM fresh
    ON CONFLICT (account_id, track_key) DO UPDATE SET plays = c.plays + 1,
      last_at = greatest(c.last_at, EXCLUDED.last_at)),
  artists AS (INSERT INTO artist_totals AS c (account_id, artist_key, artist, plays, last_at)
    SELECT account_id, sha256(textsend(artist)), artist, 1, at FROM fresh
    ON CONFLICT (account_id, artist_key) DO UPDATE SET plays = c.plays + 1,
      last_at = greatest(c.last_at, EXCLUDED.last_at))
  SELECT array_agg(account_id), array_agg(excess) INTO ids, excesses FROM ended
    WHERE excess > 0;
  -- Once the listens are in: statements of one WITH do not see one another's rows.
  FOR i IN 1 .. coalesce(array_length(ids, 1), 0) LOOP
    PERFORM velk_trim_listens(ids[i], excesses[i]);
  END LOOP;
  RETURN NULL;
END $$;
DROP TRIGGER IF EXISTS accounts_plugin_listens ON accounts;
CREATE TRIGGER accounts_plugin_listens AFTER UPDATE ON accounts
  REFERENCING OLD TABLE AS old_rows NEW TABLE AS new_rows
  FOR EACH STATEMENT EXECUTE FUNCTION velk_plugin_listens();
)";

namespace {

#define VELK_ACCOUNT_ID "(SELECT id FROM accounts WHERE name_key = $1)"
constexpr CPreparedStatement kStatements[] = {
    {"history_limit", "SELECT set_config('velk.history_limit', $1, true)"},
    // $2 the limit; $3-$7 the listens' times, artists, titles, albums and sources.
    {"add_listens",
     "WITH a AS (SELECT id, listen_count FROM accounts WHERE name_key = $1 AND keep_history "
     "FOR UPDATE), k AS (SELECT k.added, k.removed FROM a, velk_keep_listens(a.id, "
     "a.listen_count, $2::bigint, $3::bigint[], $4::text[], $5::text[], $6::text[], "
     "$7::smallint[]) AS k) "
     "UPDATE accounts AS x SET history_version = x.history_version + 1, "
     "listen_count = x.listen_count + k.added - k.removed FROM k "
     "WHERE x.name_key = $1 AND k.added > 0"},
    {"clear_history",
     "WITH l AS (DELETE FROM listens WHERE account_id = " VELK_ACCOUNT_ID
     "), d AS (DELETE FROM track_days WHERE account_id = " VELK_ACCOUNT_ID
     "), t AS (DELETE FROM track_totals WHERE account_id = " VELK_ACCOUNT_ID
     "), r AS (DELETE FROM artist_totals WHERE account_id = " VELK_ACCOUNT_ID
     ") UPDATE accounts SET listen_count = 0, history_version = history_version + 1 "
     "WHERE name_key = $1"},
    {"keep_history", "UPDATE accounts SET keep_history = $2 WHERE name_key = $1"},
    {"recent",
     "SELECT at, artist, title, album, source FROM listens WHERE account_id = " VELK_ACCOUNT_ID
     " ORDER BY at DESC, artist COLLATE \"C\" DESC, title COLLATE \"C\" DESC LIMIT $2"},
    // Charts: over the days from $2, summing plays by track and day; over all time ($2 unused).
    {"chart_artists",
     "SELECT artist, '', sum(plays) AS p, max(last_at) AS l FROM track_days WHERE account_id "
     "= " VELK_ACCOUNT_ID " AND day >= $2 GROUP BY artist "
     "ORDER BY p DESC, l DESC, artist COLLATE \"C\" LIMIT $3"},
    {"chart_tracks",
     "SELECT artist, title, sum(plays) AS p, max(last_at) AS l FROM track_days WHERE account_id "
     "= " VELK_ACCOUNT_ID " AND day >= $2 GROUP BY artist, title "
     "ORDER BY p DESC, l DESC, artist COLLATE \"C\", title COLLATE \"C\" LIMIT $3"},
    {"chart_artists_all",
     "SELECT artist, '', plays FROM artist_totals WHERE account_id = " VELK_ACCOUNT_ID
     " AND $2::bigint = 0 ORDER BY plays DESC, last_at DESC, artist COLLATE \"C\" LIMIT $3"},
    {"chart_tracks_all",
     "SELECT artist, title, plays FROM track_totals WHERE account_id = " VELK_ACCOUNT_ID
     " AND $2::bigint = 0 ORDER BY plays DESC, last_at DESC, artist COLLATE \"C\", "
     "title COLLATE \"C\" LIMIT $3"},
};
#undef VELK_ACCOUNT_ID

}  // namespace

const std::vector<CPreparedStatement>& PostgresHistoryStatements() {
  static const std::vector<CPreparedStatement> statements(std::begin(kStatements),
                                                          std::end(kStatements));
  return statements;
}

void SendHistoryLimit(CPostgresPipeline& writer, size_t limit) {
  writer.Send("history_limit", {std::to_string(limit)});
}

void SendListens(CPostgresPipeline& writer, const std::string& nameKey,
                 const std::vector<CListen>& listens, size_t limit) {
  CArrayParam ats, artists, titles, albums, sources;
  for (const CListen& listen : listens) {
    ats.Add(listen.at);
    artists.Add(listen.artist);
    titles.Add(listen.title);
    albums.Add(listen.album);
    sources.Add(static_cast<int64_t>(listen.source));
  }
  writer.Send("add_listens", {nameKey, std::to_string(limit), ats.Take(), artists.Take(),
                              titles.Take(), albums.Take(), sources.Take()});
}

void SendClearHistory(CPostgresPipeline& writer, const std::string& nameKey) {
  // The account's row first, as every transaction locks it before its other rows.
  writer.Send("lock", {nameKey});
  writer.Send("clear_history", {nameKey});
}

void SendKeepHistory(CPostgresPipeline& writer, const std::string& nameKey, bool keep) {
  writer.Send("keep_history", {nameKey, keep ? "t" : "f"});
}

std::vector<CListen> CPostgresHistoryReads::RecentListens(const std::string& nameKey,
                                                          size_t count) {
  auto result = m_readers.Read("recent", {nameKey, std::to_string(count)});
  const PGresult* rows = result.get();
  std::vector<CListen> listens;
  for (int i = 0; i < PQntuples(rows); ++i) {
    CListen listen;
    listen.at = Number(rows, i, 0);
    listen.artist = Text(rows, i, 1);
    listen.title = Text(rows, i, 2);
    listen.album = Text(rows, i, 3);
    listen.source = static_cast<CListen::ESource>(Number(rows, i, 4));
    listens.push_back(std::move(listen));
  }
  return listens;
}

std::vector<CChartRow> CPostgresHistoryReads::Chart(const std::string& nameKey, EChart chart,
                                                    int64_t fromDay, size_t count) {
  const char* statement = chart == EChart::kArtists
                              ? (fromDay == 0 ? "chart_artists_all" : "chart_artists")
                              : (fromDay == 0 ? "chart_tracks_all" : "chart_tracks");
  auto result =
      m_readers.Read(statement, {nameKey, std::to_string(fromDay), std::to_string(count)});
  const PGresult* rows = result.get();
  std::vector<CChartRow> found;
  for (int i = 0; i < PQntuples(rows); ++i) {
    CChartRow row;
    row.artist = Text(rows, i, 0);
    row.title = Text(rows, i, 1);
    row.plays = Number(rows, i, 2);
    found.push_back(std::move(row));
  }
  return found;
}
