// The database schema of kestd and its versioned migrations, for both dialects. The table and
// column names here are the ones every query of kestd (and the condition translator) uses.
// Invariant: schema_version holds the number of migration steps applied; ensureSchema() brings
// any older database up to the newest step in one transaction and never goes backwards.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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

// customer_gram holds, per customer, the distinct 1- and 2-character substrings of its id and
// name (customerGrams() in condition.h). Every write of customer.id or customer.name goes
// through these, in the transaction of the write.
struct CustomerTexts {
    int64_t oid = 0;
    std::string_view id;
    std::string_view name;
};
void insertCustomerGrams(SqlDb& db, const std::vector<CustomerTexts>& customers);
void deleteCustomerGrams(SqlDb& db, int64_t oid);
// Refills customer_gram from the customer table.
void rebuildCustomerGrams(SqlDb& db);

}  // namespace kestd
