// The one seam between kestd's storage logic and its two database engines. The storage code
// (server/storage.*) is written once against SqlDb; SqliteDb and PgDb implement it. SQL given
// to SqlDb uses '?' placeholders; an implementation rewrites them as its engine needs. Every
// value travels as a bound parameter, never as text inside the SQL.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

namespace kestd {

enum class Dialect { Sqlite, Postgres };

struct Blob {
    std::vector<uint8_t> bytes;
    bool operator==(const Blob&) const = default;
};

// NULL, integer, text (UTF-8) or bytes.
using SqlValue = std::variant<std::monostate, int64_t, std::string, Blob>;
using SqlRow = std::vector<SqlValue>;

// Thrown by SqlDb on any database error; the session turns it into a failure status and a
// log line, and the surrounding transaction is rolled back.
class SqlError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
    // True when the error is a uniqueness violation (duplicate key).
    bool uniqueViolation = false;
};

class SqlDb {
  public:
    virtual ~SqlDb() = default;
    virtual Dialect dialect() const = 0;

    // Runs one statement with bound parameters and returns its rows (empty for statements
    // without a result).
    virtual std::vector<SqlRow> query(const std::string& sql,
                                      const std::vector<SqlValue>& params = {}) = 0;
    // Runs several statements without parameters (schema scripts).
    virtual void execScript(const std::string& sql) = 0;

    // Transactions: begin() starts a write transaction (serialised against other writers),
    // commit() ends it, rollback() undoes it. Nested calls are an error.
    virtual void begin() = 0;
    virtual void commit() = 0;
    virtual void rollback() = 0;

    // Helpers over query().
    std::optional<SqlRow> queryOne(const std::string& sql,
                                   const std::vector<SqlValue>& params = {});
    int64_t queryInt(const std::string& sql, const std::vector<SqlValue>& params = {},
                     int64_t ifNone = 0);
};

// Value accessors: integer (NULL → 0), text (NULL → ""), bytes.
int64_t asInt(const SqlValue& v);
std::string asText(const SqlValue& v);
const Blob* asBlob(const SqlValue& v);

// Runs fn inside begin()/commit(); rolls back and rethrows when fn throws.
template <class Fn>
auto inTransaction(SqlDb& db, Fn&& fn) -> decltype(fn()) {
    db.begin();
    try {
        if constexpr (std::is_void_v<decltype(fn())>) {
            fn();
            db.commit();
        } else {
            auto r = fn();
            db.commit();
            return r;
        }
    } catch (...) {
        try {
            db.rollback();
        } catch (...) {
        }
        throw;
    }
}

// Opens the SQLite file (created when missing; WAL mode). Throws SqlError on failure.
std::unique_ptr<SqlDb> openSqlite(const std::string& path);
// Connects to PostgreSQL by URL or conninfo. Throws SqlError on failure.
std::unique_ptr<SqlDb> openPostgres(const std::string& url);

// Copies the SQLite database at `from` into the file `to` with SQLite's online backup, so the
// copy is one consistent state even while kestd keeps writing. False with `error` on failure.
bool backupSqlite(const std::string& from, const std::string& to, std::string& error);

}  // namespace kestd
