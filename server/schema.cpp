// Schema scripts per dialect and the migration runner.
//
// Tables: customer, customer_category, event_category, employee, event, customer_image; every
// oid comes from the single counter row oid_counter.next_oid (shared by all tables, never 0,
// always within int32). Dates are integer stamps (seconds since 1970 UTC); 0 = no date.
//
// Text search: on SQLite customer_fts is an FTS5 table with the trigram tokenizer over
// customer(id, name), an external-content table (content='customer', content_rowid='oid'), so
// its rowid is customer.oid; the triggers customer_fts_ai/_ad/_au keep it in step with every
// insert, delete and change of id or name. On PostgreSQL customer.id and customer.name carry
// pg_trgm GIN indexes (customer_id_trgm, customer_name_trgm) and use the "C" collation, so
// ordering and comparison are byte-wise exactly as on SQLite.
#include "schema.h"

#include <vector>

namespace kestd {
namespace {

// The triggers that keep customer_fts in step with customer. Created by step 1, and again
// (with a full rebuild of the index) by restoreSqliteSearchIndex() when they are missing.
const char* const kSqliteFtsTriggers = R"sql(
CREATE TRIGGER IF NOT EXISTS customer_fts_ai AFTER INSERT ON customer BEGIN
  INSERT INTO customer_fts(rowid, id, name) VALUES (new.oid, new.id, new.name);
END;
CREATE TRIGGER IF NOT EXISTS customer_fts_ad AFTER DELETE ON customer BEGIN
  INSERT INTO customer_fts(customer_fts, rowid, id, name)
    VALUES ('delete', old.oid, old.id, old.name);
END;
CREATE TRIGGER IF NOT EXISTS customer_fts_au AFTER UPDATE OF id, name ON customer BEGIN
  INSERT INTO customer_fts(customer_fts, rowid, id, name)
    VALUES ('delete', old.oid, old.id, old.name);
  INSERT INTO customer_fts(rowid, id, name) VALUES (new.oid, new.id, new.name);
END;
)sql";

const char* const kSqliteSteps[] = {
    // 1: the tables of the first release.
    R"sql(
CREATE TABLE oid_counter(id INTEGER PRIMARY KEY CHECK (id = 1), next_oid INTEGER NOT NULL);
INSERT INTO oid_counter(id, next_oid) VALUES (1, 1);
CREATE TABLE customer_category(oid INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE);
CREATE TABLE event_category(oid INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE);
CREATE TABLE employee(oid INTEGER PRIMARY KEY, id TEXT NOT NULL UNIQUE, name TEXT NOT NULL,
                      password_hash TEXT NOT NULL, permission INTEGER NOT NULL);
CREATE TABLE customer(oid INTEGER PRIMARY KEY, id TEXT UNIQUE NOT NULL, category_oid INTEGER,
                      name TEXT NOT NULL, update_date INTEGER NOT NULL, employee_oid INTEGER,
                      email TEXT NOT NULL, info TEXT NOT NULL, version INTEGER NOT NULL,
                      tel TEXT NOT NULL, fax TEXT NOT NULL, expire_date INTEGER NOT NULL,
                      update_employee_oid INTEGER, create_date INTEGER NOT NULL,
                      follow_employee_oid INTEGER);
CREATE INDEX customer_category_idx ON customer(category_oid);
CREATE INDEX customer_employee_idx ON customer(employee_oid);
CREATE INDEX customer_follow_idx ON customer(follow_employee_oid);
CREATE INDEX customer_update_employee_idx ON customer(update_employee_oid);
CREATE INDEX customer_create_idx ON customer(create_date);
CREATE INDEX customer_expire_idx ON customer(expire_date);
CREATE TABLE event(oid INTEGER PRIMARY KEY, customer_oid INTEGER NOT NULL,
                   category_oid INTEGER, employee_oid INTEGER, trans_date INTEGER NOT NULL,
                   title TEXT NOT NULL, description TEXT NOT NULL, version INTEGER NOT NULL);
CREATE INDEX event_customer_idx ON event(customer_oid, trans_date);
CREATE INDEX event_date_idx ON event(trans_date);
CREATE INDEX event_category_idx ON event(category_oid);
CREATE INDEX event_employee_idx ON event(employee_oid);
CREATE TABLE customer_image(oid INTEGER PRIMARY KEY, customer_oid INTEGER NOT NULL,
                            name TEXT NOT NULL, trans_date INTEGER NOT NULL, jpeg BLOB NOT NULL);
CREATE INDEX customer_image_customer_idx ON customer_image(customer_oid);
CREATE VIRTUAL TABLE customer_fts USING fts5(id, name, content='customer',
                                             content_rowid='oid', tokenize='trigram');
)sql",
};

const char* const kPostgresSteps[] = {
    // 1: the tables of the first release.
    R"sql(
CREATE EXTENSION IF NOT EXISTS pg_trgm;
CREATE TABLE oid_counter(id INTEGER PRIMARY KEY CHECK (id = 1), next_oid BIGINT NOT NULL);
INSERT INTO oid_counter(id, next_oid) VALUES (1, 1);
CREATE TABLE customer_category(oid INTEGER PRIMARY KEY, name TEXT COLLATE "C" NOT NULL UNIQUE);
CREATE TABLE event_category(oid INTEGER PRIMARY KEY, name TEXT COLLATE "C" NOT NULL UNIQUE);
CREATE TABLE employee(oid INTEGER PRIMARY KEY, id TEXT COLLATE "C" NOT NULL UNIQUE,
                      name TEXT COLLATE "C" NOT NULL, password_hash TEXT NOT NULL,
                      permission INTEGER NOT NULL);
CREATE TABLE customer(oid INTEGER PRIMARY KEY, id TEXT COLLATE "C" UNIQUE NOT NULL,
                      category_oid INTEGER, name TEXT COLLATE "C" NOT NULL,
                      update_date INTEGER NOT NULL, employee_oid INTEGER,
                      email TEXT COLLATE "C" NOT NULL, info TEXT COLLATE "C" NOT NULL,
                      version INTEGER NOT NULL, tel TEXT COLLATE "C" NOT NULL,
                      fax TEXT COLLATE "C" NOT NULL, expire_date INTEGER NOT NULL,
                      update_employee_oid INTEGER, create_date INTEGER NOT NULL,
                      follow_employee_oid INTEGER);
CREATE INDEX customer_category_idx ON customer(category_oid);
CREATE INDEX customer_employee_idx ON customer(employee_oid);
CREATE INDEX customer_follow_idx ON customer(follow_employee_oid);
CREATE INDEX customer_update_employee_idx ON customer(update_employee_oid);
CREATE INDEX customer_create_idx ON customer(create_date);
CREATE INDEX customer_expire_idx ON customer(expire_date);
CREATE INDEX customer_id_trgm ON customer USING gin (id gin_trgm_ops);
CREATE INDEX customer_name_trgm ON customer USING gin (name gin_trgm_ops);
CREATE TABLE event(oid INTEGER PRIMARY KEY, customer_oid INTEGER NOT NULL,
                   category_oid INTEGER, employee_oid INTEGER, trans_date INTEGER NOT NULL,
                   title TEXT COLLATE "C" NOT NULL, description TEXT COLLATE "C" NOT NULL,
                   version INTEGER NOT NULL);
CREATE INDEX event_customer_idx ON event(customer_oid, trans_date);
CREATE INDEX event_date_idx ON event(trans_date);
CREATE INDEX event_category_idx ON event(category_oid);
CREATE INDEX event_employee_idx ON event(employee_oid);
CREATE TABLE customer_image(oid INTEGER PRIMARY KEY, customer_oid INTEGER NOT NULL,
                            name TEXT COLLATE "C" NOT NULL, trans_date INTEGER NOT NULL,
                            jpeg BYTEA NOT NULL);
CREATE INDEX customer_image_customer_idx ON customer_image(customer_oid);
)sql",
};

}  // namespace

int currentSchemaVersion() {
    return static_cast<int>(std::size(kSqliteSteps));
}

void ensureSchema(SqlDb& db) {
    static_assert(std::size(kSqliteSteps) == std::size(kPostgresSteps));
    bool pg = db.dialect() == Dialect::Postgres;
    db.execScript("CREATE TABLE IF NOT EXISTS schema_version(version INTEGER NOT NULL)");
    inTransaction(db, [&] {
        // Several kestd processes may start on one PostgreSQL database at once: the first
        // migrates, the others wait here and then find the newest version.
        if (pg)
            db.query("SELECT pg_advisory_xact_lock(286286)");
        auto row = db.queryOne("SELECT version FROM schema_version");
        int version = row ? static_cast<int>(asInt((*row)[0])) : 0;
        if (!row)
            db.query("INSERT INTO schema_version(version) VALUES (0)");
        if (version > currentSchemaVersion())
            throw SqlError("the database has schema version " + std::to_string(version) +
                           ", newer than this kestd (" + std::to_string(currentSchemaVersion()) +
                           ")");
        for (int v = version; v < currentSchemaVersion(); ++v) {
            db.execScript(pg ? kPostgresSteps[v] : kSqliteSteps[v]);
            if (!pg && v == 0)
                db.execScript(kSqliteFtsTriggers);
            db.query("UPDATE schema_version SET version = ?", {int64_t{v + 1}});
        }
    });
    if (!pg)
        restoreSqliteSearchIndex(db);
}

void dropSqliteSearchTriggers(SqlDb& db) {
    db.execScript(
        "DROP TRIGGER IF EXISTS customer_fts_ai; DROP TRIGGER IF EXISTS customer_fts_ad; "
        "DROP TRIGGER IF EXISTS customer_fts_au;");
}

void restoreSqliteSearchIndex(SqlDb& db) {
    if (db.queryInt("SELECT count(*) FROM sqlite_master WHERE type = 'trigger' AND "
                    "name IN ('customer_fts_ai', 'customer_fts_ad', 'customer_fts_au')") == 3)
        return;
    inTransaction(db, [&] {
        db.execScript(kSqliteFtsTriggers);
        db.query("INSERT INTO customer_fts(customer_fts) VALUES ('rebuild')");
    });
}

}  // namespace kestd
