// PgDb against a real PostgreSQL (the "pg" fixture): placeholder rewriting, values of every kind
// through parameters and back, the unique-violation flag, transactions (commit, rollback, a
// failed statement that leaves its transaction usable, writers serialised across connections)
// and recovery from a dropped connection.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "pg_db.h"
#include "pg_test_db.h"

namespace kestd {
namespace {

using S = std::string;

TEST(PgPlaceholders, RewritesOnlyOutsideQuotesAndComments) {
    struct Case {
        const char* in;
        const char* out;
        int count;
    };
    const Case cases[] = {
        {"SELECT ?", "SELECT $1", 1},
        {"a = ? AND b IN (?, ?)", "a = $1 AND b IN ($2, $3)", 3},
        {"SELECT '?', ?", "SELECT '?', $1", 1},
        {"SELECT 'it''s ?', ?", "SELECT 'it''s ?', $1", 1},
        {"SELECT \"a?b\" FROM t WHERE x = ?", "SELECT \"a?b\" FROM t WHERE x = $1", 1},
        {"SELECT ? -- why?\n, ?", "SELECT $1 -- why?\n, $2", 2},
        {"SELECT /* ? */ ?", "SELECT /* ? */ $1", 1},
        {"SELECT 1", "SELECT 1", 0},
        {"SELECT 'open ?", "SELECT 'open ?", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        int count = -1;
        EXPECT_EQ(rewritePlaceholders(c.in, count), c.out);
        EXPECT_EQ(count, c.count);
    }
}

TEST(PgTestDatabaseUrl, ReplacesTheDatabase) {
    using test::PgTestDatabase;
    EXPECT_EQ(PgTestDatabase::withDatabase("postgresql://u@h:5/kest", "x"), "postgresql://u@h:5/x");
    EXPECT_EQ(PgTestDatabase::withDatabase("postgresql://u@h:5", "x"), "postgresql://u@h:5/x");
    EXPECT_EQ(PgTestDatabase::withDatabase("postgresql://u@h:5/kest?sslmode=disable", "x"),
              "postgresql://u@h:5/x?sslmode=disable");
}

class PgDbTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (test::pgAdminUrl().empty()) {
            GTEST_SKIP() << "KEST_TEST_PG_URL is not set (run through ctest, fixture \"pg\")";
        }
        database_ = std::make_unique<test::PgTestDatabase>(test::pgAdminUrl());
        db_ = std::make_unique<PgDb>(database_->url());
        db_->execScript(
            "CREATE TABLE t(oid INTEGER PRIMARY KEY, name TEXT COLLATE \"C\" UNIQUE, "
            "n BIGINT, data BYTEA)");
    }
    int64_t count(PgDb& db) {
        auto rows = db.query("SELECT count(*) FROM t");
        return std::get<int64_t>(rows.at(0).at(0));
    }

    std::unique_ptr<test::PgTestDatabase> database_;
    std::unique_ptr<PgDb> db_;
};

TEST_F(PgDbTest, ValuesRoundTripThroughParameters) {
    Blob allBytes;
    for (int i = 0; i < 256; ++i) {
        allBytes.bytes.push_back(static_cast<uint8_t>(i));
    }
    Blob picture;
    for (int i = 0; i < 70000; ++i) {
        picture.bytes.push_back(static_cast<uint8_t>(i * 7 + 3));
    }
    const std::vector<SqlValue> values = {
        int64_t{0}, int64_t{-1}, INT64_MIN, INT64_MAX, S(""), S("陳大文 O'Brien \\ ? $1 ' -- ;"),
        allBytes,   picture,     Blob{},
    };
    for (const auto& v : values) {
        auto rows = db_->query("SELECT ?", {v});
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_TRUE(rows[0].at(0) == v) << "index " << (&v - values.data());
    }
    auto nullRow = db_->query("SELECT ?", {std::monostate{}});
    EXPECT_TRUE(std::holds_alternative<std::monostate>(nullRow.at(0).at(0)));

    // Through a table: int8 into an INTEGER column, bytes into BYTEA, NULL into BIGINT.
    db_->query("INSERT INTO t(oid, name, n, data) VALUES (?, ?, ?, ?)",
               {int64_t{7}, S("名"), std::monostate{}, picture});
    auto rows = db_->query("SELECT oid, name, n, data FROM t WHERE name = ?", {S("名")});
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], SqlValue(int64_t{7}));
    EXPECT_EQ(rows[0][1], SqlValue(S("名")));
    EXPECT_TRUE(std::holds_alternative<std::monostate>(rows[0][2]));
    EXPECT_EQ(rows[0][3], SqlValue(picture));
}

TEST_F(PgDbTest, IntegerLikeTypesComeBackAsIntegers) {
    auto rows = db_->query(
        "SELECT 1::int2, 2::int4, 3::int8, 4::numeric, true, false, count(*), 2.5::numeric FROM t");
    ASSERT_EQ(rows.size(), 1u);
    const std::vector<SqlValue> expected = {int64_t{1}, int64_t{2}, int64_t{3}, int64_t{4},
                                            int64_t{1}, int64_t{0}, int64_t{0}, S("2.5")};
    EXPECT_EQ(rows[0], expected);
}

TEST_F(PgDbTest, UniqueViolationIsFlagged) {
    db_->query("INSERT INTO t(oid, name) VALUES (1, 'a')");
    try {
        db_->query("INSERT INTO t(oid, name) VALUES (2, ?)", {S("a")});
        FAIL() << "duplicate name accepted";
    } catch (const SqlError& e) {
        EXPECT_TRUE(e.uniqueViolation) << e.what();
    }
    try {
        db_->query("INSERT INTO t(oid, name) VALUES (1, 'b')");
        FAIL() << "duplicate key accepted";
    } catch (const SqlError& e) {
        EXPECT_TRUE(e.uniqueViolation) << e.what();
    }
    try {
        db_->query("INSERT INTO t(oid, name) VALUES (NULL, 'c')");
        FAIL() << "NULL key accepted";
    } catch (const SqlError& e) {
        EXPECT_FALSE(e.uniqueViolation) << e.what();
    }
    EXPECT_THROW(db_->query("SELEC 1"), SqlError);
    EXPECT_THROW(db_->query("SELECT ?", {}), SqlError);  // parameter count mismatch
}

TEST_F(PgDbTest, CommitKeepsAndRollbackUndoes) {
    db_->begin();
    db_->query("INSERT INTO t(oid, name) VALUES (1, 'kept')");
    db_->commit();
    db_->begin();
    db_->query("INSERT INTO t(oid, name) VALUES (2, 'undone')");
    db_->rollback();
    EXPECT_EQ(count(*db_), 1);

    EXPECT_THROW(db_->commit(), SqlError);  // no transaction
    db_->begin();
    EXPECT_THROW(db_->begin(), SqlError);  // nested
    db_->rollback();
    db_->rollback();  // harmless when none is open
}

// As on SQLite, a failing statement undoes only itself; the transaction goes on and commits.
TEST_F(PgDbTest, FailedStatementLeavesTheTransactionUsable) {
    db_->begin();
    db_->query("INSERT INTO t(oid, name) VALUES (1, 'a')");
    try {
        db_->query("INSERT INTO t(oid, name) VALUES (2, 'a')");
        FAIL() << "duplicate accepted";
    } catch (const SqlError& e) {
        EXPECT_TRUE(e.uniqueViolation);
    }
    EXPECT_THROW(db_->query("SELECT no_such_column FROM t"), SqlError);
    db_->query("INSERT INTO t(oid, name) VALUES (3, 'b')");
    auto rows = db_->query("SELECT oid FROM t ORDER BY oid");
    db_->commit();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][0], SqlValue(int64_t{1}));
    EXPECT_EQ(rows[1][0], SqlValue(int64_t{3}));
    EXPECT_EQ(count(*db_), 2);
}

// Read-modify-write in transactions from several connections at once loses no update: writers
// are serialised, and each sees what the one before it committed.
TEST_F(PgDbTest, WritersAreSerialisedAcrossConnections) {
    db_->query("INSERT INTO t(oid, n) VALUES (1, 0)");
    constexpr int kThreads = 4;
    constexpr int kRounds = 25;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&] {
            try {
                PgDb db(database_->url());
                for (int r = 0; r < kRounds; ++r) {
                    db.begin();
                    auto rows = db.query("SELECT n FROM t WHERE oid = 1");
                    int64_t n = std::get<int64_t>(rows.at(0).at(0));
                    db.query("UPDATE t SET n = ? WHERE oid = 1", {n + 1});
                    db.commit();
                }
            } catch (...) {
                ++failures;
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(failures.load(), 0);
    auto rows = db_->query("SELECT n FROM t WHERE oid = 1");
    EXPECT_EQ(rows.at(0).at(0), SqlValue(int64_t{kThreads * kRounds}));
}

TEST_F(PgDbTest, ReconnectsAfterTheConnectionDropsOutsideATransaction) {
    auto pid = db_->query("SELECT pg_backend_pid()").at(0).at(0);
    PgDb other(database_->url());
    other.query("SELECT pg_terminate_backend(?::int)", {pid});
    // The statement that meets the dead connection fails; the next one runs on a new one.
    EXPECT_THROW(db_->query("SELECT 1"), SqlError);
    EXPECT_EQ(db_->query("SELECT 1").at(0).at(0), SqlValue(int64_t{1}));

    // Inside a transaction the loss is reported, never papered over.
    db_->begin();
    db_->query("INSERT INTO t(oid, name) VALUES (1, 'x')");
    pid = db_->query("SELECT pg_backend_pid()").at(0).at(0);
    other.query("SELECT pg_terminate_backend(?::int)", {pid});
    EXPECT_THROW(db_->query("INSERT INTO t(oid, name) VALUES (2, 'y')"), SqlError);
    EXPECT_THROW(db_->commit(), SqlError);
    db_->rollback();
    EXPECT_EQ(count(*db_), 0);
}

TEST(PgDbConnect, RefusesAnUnreachableServer) {
    EXPECT_THROW(PgDb("postgresql://postgres@127.0.0.1:1/kest?connect_timeout=2"), SqlError);
}

}  // namespace
}  // namespace kestd
