// The PostgreSQL store's schema: its versioned upgrades and the statements its connections prepare.
#pragma once

#include <vector>

#include "storage/postgres_connection.h"

// The statements every connection of the store prepares.
const std::vector<CPreparedStatement>& PostgresStatements();
// Creates the tables or upgrades them to the version this program knows, in one transaction on
// `writer`, serialized with every other instance doing the same. Throws CStoreError when the
// database cannot be reached, refuses an upgrade, or has a newer version than this program knows.
void UpgradePostgresSchema(CPostgresConnection& writer);
