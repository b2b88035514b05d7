// A consistent copy of a live SQLite data file, made with SQLite's online backup API.
#pragma once

#include <string>

// Copies the SQLite database `source` to `destination` as one snapshot, while the service may go
// on writing it, and checks the copy's integrity. The copy is a single file (no write-ahead log
// beside it) that appears at `destination` only when complete, replacing what was there; in the
// meantime it is written to `destination` + ".partial". Returns the copy's size in bytes. Throws
// CStoreError naming the file at fault.
long long BackupSqlite(const std::string& source, const std::string& destination);
