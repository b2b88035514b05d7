// The SQLite store's small tools: connections, prepared statements and their errors.
#include "storage/sqlite_statements.h"

#include "storage/store.h"

std::string SqliteErrorText(sqlite3* db, const char* what) {
  return std::string(what) + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
}

sqlite3* OpenSqliteConnection(const std::string& path) {
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(
      path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    const std::string message = SqliteErrorText(db, ("cannot open " + path).c_str());
    sqlite3_close(db);
    throw CStoreError(message);
  }
  // Another process (the command line's adduser) may write at the same time.
  sqlite3_busy_timeout(db, 5000);
  return db;
}

void SqliteExec(sqlite3* db, const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string message = std::string(sql) + ": " + (error ? error : "failed");
    sqlite3_free(error);
    throw CStoreError(message);
  }
}

sqlite3_stmt* SqlitePrepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
    throw CStoreError(SqliteErrorText(db, "prepare"));
  }
  return stmt;
}

int COneStatement::Step(const char* what) {
  const int rc = sqlite3_step(m_stmt);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) throw CStoreError(SqliteErrorText(m_db, what));
  return rc;
}

int RunStatement(sqlite3_stmt* stmt) {
  const int rc = sqlite3_step(stmt);
  sqlite3_reset(stmt);
  sqlite3_clear_bindings(stmt);
  return rc;
}

void RunOrThrow(sqlite3* db, sqlite3_stmt* stmt, const char* what) {
  if (RunStatement(stmt) != SQLITE_DONE) throw CStoreError(SqliteErrorText(db, what));
}
