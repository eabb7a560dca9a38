// Preparing a database for kestd: the schema, the first account and the demo data.
#pragma once

#include <cstdint>

#include "accounts.h"
#include "sql_db.h"

namespace kestd {

// Creates or migrates the schema; on a database without employees creates ADMIN / PLOVK with
// every right and warns on standard error that its password must be changed. True when the
// account was created.
bool prepareDatabase(SqlDb& db, PasswordHasher& hasher);

// Seeds `customers` customers with categories, employees (password "DEMO") and events, with
// Traditional Chinese names, in large transactions. Does nothing and returns false when the
// database already holds customers.
bool seedDemo(SqlDb& db, PasswordHasher& hasher, int64_t customers);

}  // namespace kestd
