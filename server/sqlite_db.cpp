// SqliteDb: the SqlDb of the default backend, one sqlite3 connection per object. The file is
// put in WAL mode so readers never block the one writer; writers wait (busy timeout) instead
// of failing at once, and begin() takes the write lock up front (BEGIN IMMEDIATE) so a
// transaction never fails half-way for lack of it. Prepared statements are cached per SQL text.
#include <sqlite3.h>

#include <map>
#include <memory>
#include <string>

#include "sql_db.h"

namespace kestd {
namespace {

constexpr int kBusyTimeoutMs = 30000;

class SqliteDb : public SqlDb {
  public:
    explicit SqliteDb(const std::string& path) {
        int rc = sqlite3_open_v2(path.c_str(), &db_,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                 nullptr);
        if (rc != SQLITE_OK) {
            std::string msg = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
            sqlite3_close(db_);
            db_ = nullptr;
            throw SqlError("cannot open " + path + ": " + msg);
        }
        sqlite3_busy_timeout(db_, kBusyTimeoutMs);
        sqlite3_extended_result_codes(db_, 1);
        execScript("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=OFF;");
    }
    ~SqliteDb() override {
        statements_.clear();
        sqlite3_close_v2(db_);
    }

    Dialect dialect() const override { return Dialect::Sqlite; }

    std::vector<SqlRow> query(const std::string& sql,
                              const std::vector<SqlValue>& params) override {
        sqlite3_stmt* st = prepare(sql);
        sqlite3_reset(st);
        sqlite3_clear_bindings(st);
        int n = sqlite3_bind_parameter_count(st);
        if (n != static_cast<int>(params.size()))
            throw SqlError("parameter count mismatch in: " + sql);
        for (int i = 0; i < n; ++i)
            bind(st, i + 1, params[i]);
        std::vector<SqlRow> rows;
        for (;;) {
            int rc = sqlite3_step(st);
            if (rc == SQLITE_DONE)
                break;
            if (rc != SQLITE_ROW) {
                SqlError e(std::string(sqlite3_errmsg(db_)));
                e.uniqueViolation =
                    rc == SQLITE_CONSTRAINT_UNIQUE || rc == SQLITE_CONSTRAINT_PRIMARYKEY;
                sqlite3_reset(st);
                throw e;
            }
            int cols = sqlite3_column_count(st);
            SqlRow row;
            row.reserve(cols);
            for (int c = 0; c < cols; ++c)
                row.push_back(column(st, c));
            rows.push_back(std::move(row));
        }
        sqlite3_reset(st);
        return rows;
    }

    void execScript(const std::string& sql) override {
        char* err = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
            std::string msg = err ? err : "error";
            sqlite3_free(err);
            throw SqlError(msg);
        }
    }

    void begin() override {
        if (inTx_)
            throw SqlError("nested transaction");
        execScript("BEGIN IMMEDIATE");
        inTx_ = true;
    }
    void commit() override {
        if (!inTx_)
            throw SqlError("commit without a transaction");
        execScript("COMMIT");
        inTx_ = false;
    }
    void rollback() override {
        if (!inTx_)
            return;
        inTx_ = false;
        if (sqlite3_get_autocommit(db_))
            return;  // already rolled back by the engine
        execScript("ROLLBACK");
    }

    sqlite3* handle() { return db_; }

  private:
    struct StmtFree {
        void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
    };

    sqlite3_stmt* prepare(const std::string& sql) {
        auto it = statements_.find(sql);
        if (it != statements_.end())
            return it->second.get();
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &st, nullptr) !=
            SQLITE_OK)
            throw SqlError(std::string(sqlite3_errmsg(db_)) + " in: " + sql);
        if (!st)
            throw SqlError("empty statement");
        if (statements_.size() > 256)
            statements_.clear();
        statements_.emplace(sql, std::unique_ptr<sqlite3_stmt, StmtFree>(st));
        return st;
    }

    void bind(sqlite3_stmt* st, int i, const SqlValue& v) {
        int rc = SQLITE_OK;
        if (std::holds_alternative<std::monostate>(v)) {
            rc = sqlite3_bind_null(st, i);
        } else if (auto* n = std::get_if<int64_t>(&v)) {
            rc = sqlite3_bind_int64(st, i, *n);
        } else if (auto* s = std::get_if<std::string>(&v)) {
            rc = sqlite3_bind_text64(st, i, s->data(), s->size(), SQLITE_TRANSIENT, SQLITE_UTF8);
        } else if (auto* b = std::get_if<Blob>(&v)) {
            rc = sqlite3_bind_blob64(st, i, b->bytes.data(), b->bytes.size(), SQLITE_TRANSIENT);
        }
        if (rc != SQLITE_OK)
            throw SqlError(sqlite3_errmsg(db_));
    }

    static SqlValue column(sqlite3_stmt* st, int c) {
        switch (sqlite3_column_type(st, c)) {
            case SQLITE_INTEGER:
                return static_cast<int64_t>(sqlite3_column_int64(st, c));
            case SQLITE_FLOAT:
                return static_cast<int64_t>(sqlite3_column_double(st, c));
            case SQLITE_TEXT: {
                auto* p = reinterpret_cast<const char*>(sqlite3_column_text(st, c));
                return std::string(p, sqlite3_column_bytes(st, c));
            }
            case SQLITE_BLOB: {
                Blob b;
                auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(st, c));
                b.bytes.assign(p, p + sqlite3_column_bytes(st, c));
                return b;
            }
            default:
                return std::monostate{};
        }
    }

    sqlite3* db_ = nullptr;
    bool inTx_ = false;
    std::map<std::string, std::unique_ptr<sqlite3_stmt, StmtFree>> statements_;
};

}  // namespace

std::unique_ptr<SqlDb> openSqlite(const std::string& path) {
    return std::make_unique<SqliteDb>(path);
}

bool backupSqlite(const std::string& from, const std::string& to, std::string& error) {
    sqlite3* src = nullptr;
    sqlite3* dst = nullptr;
    bool ok = false;
    if (sqlite3_open_v2(from.c_str(), &src, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        error = src ? sqlite3_errmsg(src) : "cannot open " + from;
    } else if (sqlite3_open_v2(to.c_str(), &dst, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                               nullptr) != SQLITE_OK) {
        error = dst ? sqlite3_errmsg(dst) : "cannot create " + to;
    } else {
        sqlite3_busy_timeout(src, kBusyTimeoutMs);
        sqlite3_backup* b = sqlite3_backup_init(dst, "main", src, "main");
        if (!b) {
            error = sqlite3_errmsg(dst);
        } else {
            int rc;
            // Copy in steps so writers of the live database are held up only briefly; a step
            // that meets a change restarts the copy, so the result is one consistent state.
            do {
                rc = sqlite3_backup_step(b, 1024);
                if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED)
                    sqlite3_sleep(50);
            } while (rc == SQLITE_OK || rc == SQLITE_BUSY || rc == SQLITE_LOCKED);
            sqlite3_backup_finish(b);
            ok = rc == SQLITE_DONE;
            if (!ok)
                error = sqlite3_errmsg(dst);
        }
    }
    sqlite3_close(src);
    sqlite3_close(dst);
    return ok;
}

}  // namespace kestd
