// Unit tests of kestd's parts that need no network: the command line, the login throttle,
// password hashes and the schema migration.
#include <gtest/gtest.h>

#include <filesystem>

#include "accounts.h"
#include "options.h"
#include "schema.h"
#include "setup.h"
#include "sql_db.h"
#include "storage.h"

namespace kestd {
namespace {

TEST(Options, ParsesEveryOptionAndRefusesBadOnes) {
    Options o = parseOptions({"--listen", "0.0.0.0:9000", "--db", "x.db", "--company", "公司",
                              "--accept-version", "11", "--max-body", "8M", "--max-sessions", "5",
                              "--idle-timeout", "60", "--hash-cost", "min", "--demo", "100"});
    EXPECT_EQ(o.error, "");
    EXPECT_EQ(o.config.listen, "0.0.0.0:9000");
    EXPECT_EQ(o.config.dbPath, "x.db");
    EXPECT_EQ(o.config.company, "公司");
    EXPECT_EQ(o.config.acceptVersion, 11);
    EXPECT_EQ(o.config.maxBody, 8u * 1024 * 1024);
    EXPECT_EQ(o.config.maxSessions, 5);
    EXPECT_EQ(o.config.idleTimeoutSeconds, 60);
    EXPECT_EQ(o.config.hashCost, HashCost::Minimum);
    EXPECT_EQ(o.demoCustomers, 100);
    EXPECT_EQ(parseOptions({"backup", "copy.db", "--db", "a.db"}).backupFile, "copy.db");
    for (std::vector<std::string> bad : {std::vector<std::string>{"--idle-timeout", "30"},
                                         {"--listen", "8001"},
                                         {"--max-body", "-1"},
                                         {"--max-sessions", "0"},
                                         {"--hash-cost", "none"},
                                         {"--port"},
                                         {"backup"},
                                         {"--frobnicate", "1"}})
        EXPECT_NE(parseOptions(bad).error, "") << bad[0];
    // --help names every option it accepts.
    for (const char* opt :
         {"--listen", "--db", "--pg", "--company", "--accept-version", "--max-body",
          "--max-sessions", "--idle-timeout", "--hash-cost", "--demo", "backup"})
        EXPECT_NE(usageText().find(opt), std::string::npos) << opt;
}

TEST(LoginThrottle, GapsDoubleAndQueuePerAddress) {
    using ms = std::chrono::milliseconds;
    LoginThrottle t(ms(100), ms(400));
    auto now = LoginThrottle::Clock::now();
    EXPECT_LE(t.reserve("1.1.1.1"), now + ms(5));  // no failures: no wait
    t.failed("1.1.1.1");
    t.failed("1.1.1.1");
    t.failed("1.1.1.1");
    t.failed("1.1.1.1");
    EXPECT_EQ(t.failures("1.1.1.1"), 4);
    // Two attempts at once from the same address get slots one capped gap apart.
    auto a = t.reserve("1.1.1.1");
    auto b = t.reserve("1.1.1.1");
    EXPECT_GE(a, now + ms(400));
    EXPECT_GE(b - a, ms(400));
    EXPECT_LE(t.reserve("2.2.2.2"), LoginThrottle::Clock::now() + ms(5));  // other address
    t.succeeded("1.1.1.1");
    EXPECT_EQ(t.failures("1.1.1.1"), 0);
}

TEST(PasswordHasher, Argon2idVerifiesOnlyTheRightPassword) {
    PasswordHasher h(HashCost::Minimum, 1);
    std::string stored = h.hash("PLOVK");
    EXPECT_EQ(stored.rfind("$argon2id$", 0), 0u);
    EXPECT_EQ(stored.find("PLOVK"), std::string::npos);
    EXPECT_TRUE(h.verify(stored, "PLOVK"));
    EXPECT_FALSE(h.verify(stored, "plovk"));
    EXPECT_FALSE(h.verify("", ""));
    EXPECT_FALSE(h.verify("garbage", "PLOVK"));
    EXPECT_NE(h.hash("PLOVK"), stored);  // salted
}

class SqliteFile : public ::testing::Test {
  protected:
    void TearDown() override {
        for (const char* s : {"", "-wal", "-shm", ".copy"})
            std::filesystem::remove(path_ + s);
    }
    std::string path_ = (std::filesystem::temp_directory_path() /
                         ("kestd_unit_" + std::to_string(getpid()) + ".db"))
                            .string();
};

TEST_F(SqliteFile, SchemaIsVersionedAndStartTwiceIsHarmless) {
    PasswordHasher h(HashCost::Minimum, 1);
    {
        auto db = openSqlite(path_);
        EXPECT_TRUE(prepareDatabase(*db, h));
        EXPECT_EQ(db->queryInt("SELECT version FROM schema_version"), currentSchemaVersion());
    }
    auto db = openSqlite(path_);
    EXPECT_FALSE(prepareDatabase(*db, h));  // no second ADMIN
    EXPECT_EQ(db->queryInt("SELECT count(*) FROM employee"), 1);
    EXPECT_EQ(db->queryInt("SELECT permission FROM employee WHERE id = 'ADMIN'"), 1023);
    // A database from a newer kestd is refused, not damaged.
    db->query("UPDATE schema_version SET version = 99");
    EXPECT_THROW(ensureSchema(*db), SqlError);
}

TEST_F(SqliteFile, DemoSeedAndBackup) {
    PasswordHasher h(HashCost::Minimum, 1);
    auto db = openSqlite(path_);
    prepareDatabase(*db, h);
    EXPECT_TRUE(seedDemo(*db, h, 500));
    EXPECT_FALSE(seedDemo(*db, h, 500));  // only into a database without customers
    EXPECT_EQ(db->queryInt("SELECT count(*) FROM customer"), 500);
    EXPECT_GT(db->queryInt("SELECT count(*) FROM event"), 0);
    EXPECT_EQ(db->queryInt("SELECT count(*) FROM customer_fts WHERE customer_fts MATCH '有限公'"),
              db->queryInt("SELECT count(*) FROM customer WHERE name LIKE '%有限公%'"));
    // The search triggers are back after the load: a new customer is found at once.
    const char* insert =
        "INSERT INTO customer(oid, id, category_oid, name, update_date, employee_oid, email, "
        "info, version, tel, fax, expire_date, update_employee_oid, create_date, "
        "follow_employee_oid) VALUES (?, ?, NULL, ?, 0, NULL, '', '', 0, '', '', 0, NULL, 0, NULL)";
    auto found = [&](const std::string& pattern) {
        return db->queryInt("SELECT count(*) FROM customer_fts WHERE name LIKE ?", {pattern});
    };
    db->query(insert, {int64_t{900001}, std::string("Z1"), std::string("獨特名稱")});
    EXPECT_EQ(found("%獨特名%"), 1);
    // A load interrupted without its triggers is repaired by the next start.
    dropSqliteSearchTriggers(*db);
    db->query(insert, {int64_t{900002}, std::string("Z2"), std::string("另一名稱")});
    EXPECT_EQ(found("%另一名%"), 0);
    ensureSchema(*db);
    EXPECT_EQ(found("%另一名%"), 1);
    db->query("DELETE FROM customer WHERE oid >= 900001");
    std::string error;
    ASSERT_TRUE(backupSqlite(path_, path_ + ".copy", error)) << error;
    auto copy = openSqlite(path_ + ".copy");
    EXPECT_EQ(copy->queryInt("SELECT count(*) FROM customer"), 500);
    // Oids stay unique across tables: the next one is past everything seeded.
    Store store(*db);
    int64_t next = inTransaction(*db, [&] { return int64_t{store.allocateOids()}; });
    EXPECT_GT(next, db->queryInt("SELECT max(oid) FROM event"));
    EXPECT_GT(next, db->queryInt("SELECT max(oid) FROM customer"));
}

}  // namespace
}  // namespace kestd
