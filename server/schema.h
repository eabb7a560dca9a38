// The database schema of kestd and its versioned migrations, for both dialects. The table and
// column names here are the ones every query of kestd (and the condition translator) uses.
// Invariant: schema_version holds the number of migration steps applied; ensureSchema() brings
// any older database up to the newest step in one transaction and never goes backwards.
#pragma once

#include <string>

#include "sql_db.h"

namespace kestd {

// The newest schema version this build knows.
int currentSchemaVersion();
// Creates or migrates the schema. Throws SqlError when the database is newer than this build
// or a step fails (nothing of the failed step stays).
void ensureSchema(SqlDb& db);

// SQLite only. Bulk loading runs faster without the triggers that feed the search index:
// drop them, load, then restore them, which rebuilds the index from the customer table. A start
// after an interrupted load finds them missing and restores them the same way.
void dropSqliteSearchTriggers(SqlDb& db);
void restoreSqliteSearchIndex(SqlDb& db);

}  // namespace kestd
