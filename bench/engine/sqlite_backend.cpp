// SQLite side of the engine benchmark: WAL journal, synchronous FULL or NORMAL, a table with an
// integer primary key and a text column.
#include <sqlite3.h>

#include <stdexcept>

#include "bench_backend.h"

namespace {

class SqliteBackend : public BenchBackend {
  public:
    explicit SqliteBackend(bool full) : fullSync(full) {}
    ~SqliteBackend() override { close(); }

    std::string name() const override { return fullSync ? "SQLite FULL" : "SQLite NORMAL"; }

    void open(const std::string& dir) override {
        check(sqlite3_open((dir + "/bench.sqlite").c_str(), &db));
        exec("PRAGMA journal_mode=WAL");
        exec(fullSync ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL");
        exec("CREATE TABLE rec(k INTEGER PRIMARY KEY, s TEXT NOT NULL)");
        insert = prepare("INSERT INTO rec(k, s) VALUES(?, ?)");
        update = prepare("UPDATE rec SET s = ? WHERE k = ?");
        scan = prepare("SELECT k, s FROM rec ORDER BY k");
    }

    void close() override {
        for (sqlite3_stmt* s : {insert, update, scan}) {
            sqlite3_finalize(s);
        }
        insert = update = scan = nullptr;
        if (db != nullptr) {
            sqlite3_close(db);
            db = nullptr;
        }
    }

    void insertDurable(int32_t key, const char* text) override { insertRow(key, text); }

    void bulkInsert(const std::vector<std::pair<int32_t, std::string>>& rows) override {
        exec("BEGIN");
        for (const auto& [k, s] : rows) {
            insertRow(k, s.c_str());
        }
        exec("COMMIT");
    }

    size_t readAll(uint64_t& checksum) override {
        size_t n = 0;
        checksum = 0;
        while (sqlite3_step(scan) == SQLITE_ROW) {
            checksum +=
                uint64_t(sqlite3_column_int(scan, 0)) + size_t(sqlite3_column_bytes(scan, 1));
            n++;
        }
        sqlite3_reset(scan);
        return n;
    }

    size_t updateAll(const char* prefix) override {
        std::vector<int32_t> keys;
        while (sqlite3_step(scan) == SQLITE_ROW) {
            keys.push_back(sqlite3_column_int(scan, 0));
        }
        sqlite3_reset(scan);
        exec("BEGIN");
        for (int32_t k : keys) {
            const std::string text = prefix + std::to_string(k);
            sqlite3_bind_text(update, 1, text.c_str(), int(text.size()), SQLITE_TRANSIENT);
            sqlite3_bind_int(update, 2, k);
            stepDone(update);
        }
        exec("COMMIT");
        return keys.size();
    }

  private:
    void insertRow(int32_t key, const char* text) {
        sqlite3_bind_int(insert, 1, key);
        sqlite3_bind_text(insert, 2, text, -1, SQLITE_STATIC);
        stepDone(insert);
    }
    void stepDone(sqlite3_stmt* s) {
        if (sqlite3_step(s) != SQLITE_DONE) {
            throw std::runtime_error(sqlite3_errmsg(db));
        }
        sqlite3_reset(s);
    }
    sqlite3_stmt* prepare(const char* sql) {
        sqlite3_stmt* s = nullptr;
        check(sqlite3_prepare_v2(db, sql, -1, &s, nullptr));
        return s;
    }
    void exec(const char* sql) { check(sqlite3_exec(db, sql, nullptr, nullptr, nullptr)); }
    void check(int rc) {
        if (rc != SQLITE_OK) {
            throw std::runtime_error(db != nullptr ? sqlite3_errmsg(db) : "sqlite");
        }
    }

    bool fullSync;
    sqlite3* db = nullptr;
    sqlite3_stmt* insert = nullptr;
    sqlite3_stmt* update = nullptr;
    sqlite3_stmt* scan = nullptr;
};

}  // namespace

std::unique_ptr<BenchBackend> makeSqliteBackend(bool fullSync) {
    return std::make_unique<SqliteBackend>(fullSync);
}
