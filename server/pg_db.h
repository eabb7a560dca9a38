// PgDb: the SqlDb of the PostgreSQL backend, one libpq connection per object.
//
// Invariants: every value travels as a bound parameter ('?' in the SQL becomes $1..$n);
// writers are serialised across every kestd process sharing the database by a transaction-level
// advisory lock taken in begin(); a failing statement inside a transaction undoes only itself
// (a savepoint around it), as on SQLite, so the transaction stays usable and only commit() or
// rollback() ends it.
#pragma once

#include <string>
#include <string_view>

#include "sql_db.h"

struct pg_conn;

namespace kestd {

// The advisory lock key that serialises writers (the schema migration takes the same one).
inline constexpr int64_t kPgWriterLockKey = 286286;

// Rewrites '?' placeholders as $1..$n, leaving those inside quoted literals, quoted identifiers
// and comments alone. Sets `count` to the number of placeholders.
std::string rewritePlaceholders(std::string_view sql, int& count);

class PgDb : public SqlDb {
  public:
    // Connects by URL (postgresql://...) or conninfo; throws SqlError on failure.
    explicit PgDb(const std::string& url);
    ~PgDb() override;
    PgDb(const PgDb&) = delete;
    PgDb& operator=(const PgDb&) = delete;

    Dialect dialect() const override { return Dialect::Postgres; }
    std::vector<SqlRow> query(const std::string& sql,
                              const std::vector<SqlValue>& params = {}) override;
    void execScript(const std::string& sql) override;
    void begin() override;
    void commit() override;
    void rollback() override;

  private:
    void connect();
    void ensureConnected();
    std::vector<SqlRow> runInPipeline(const std::string& sql, const std::vector<SqlValue>& params);
    void exec(const char* sql);

    std::string url_;
    pg_conn* conn_ = nullptr;
    bool inTx_ = false;
};

}  // namespace kestd
