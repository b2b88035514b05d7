// The SQLite store's tables and their upgrades.
#pragma once

struct sqlite3;

// Creates the tables when missing and applies the upgrades the file has not had, in one
// transaction. Throws CStoreError, also for a file made by a newer velk-service.
void CreateOrUpgradeSqlite(sqlite3* db);
