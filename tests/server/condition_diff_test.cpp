// Differential test of the condition language: random conditions (generated trees printed as
// texts) are parsed, translated to SQL and run on a real database with the kestd schema, and
// evaluated in memory on the same rows; the selected row sets must be equal. The indexed
// translation and the plain scan must select the same rows too. Runs on SQLite, and on
// PostgreSQL when KEST_TEST_PG_URL is set (the "pg" fixture).
//
// The test reads the rows for the evaluator through its own table of path → column below, not
// through the translator's, so a path mapped to the wrong column shows up as a difference.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "condition.h"
#include "pg_db.h"
#include "pg_test_db.h"
#include "schema.h"
#include "sql_db.h"

namespace kestd {
namespace {

using S = std::string;

// ---- What each path means, written independently of the translator -------------------------

const std::map<std::string, std::string>& customerColumns() {
    static const std::map<std::string, std::string> m = {
        {"oid", "c.oid"},
        {"id", "c.id"},
        {"name", "c.name"},
        {"category.name", "cc.name"},
        {"employee", "c.employee_oid"},
        {"employee.id", "ce.id"},
        {"employee.name", "ce.name"},
        {"followEmployee", "c.follow_employee_oid"},
        {"updateEmployee", "c.update_employee_oid"},
        {"email", "c.email"},
        {"info", "c.info"},
        {"tel", "c.tel"},
        {"fax", "c.fax"},
        {"expireDate.stamp", "c.expire_date"},
        {"createDate.stamp", "c.create_date"},
        {"updateDate.stamp", "c.update_date"},
        {"version", "c.version"},
    };
    return m;
}

std::optional<std::string> columnFor(ConditionTopic topic, const std::string& path) {
    const auto& cust = customerColumns();
    bool events = topic == ConditionTopic::Event || topic == ConditionTopic::EventReport;
    if (!events) {
        if (auto it = cust.find(path); it != cust.end()) {
            return it->second;
        }
        if (topic == ConditionTopic::CustomerReport) {
            if (path == "customer") {
                return "c.oid";
            }
            if (path.starts_with("customer.")) {
                if (auto it = cust.find(path.substr(9)); it != cust.end()) {
                    return it->second;
                }
            }
        }
        return std::nullopt;
    }
    static const std::map<std::string, std::string> ev = {
        {"oid", "ev.oid"},
        {"customer", "ev.customer_oid"},
        {"category.name", "ec.name"},
        {"employee", "ev.employee_oid"},
        {"employee.id", "ee.id"},
        {"employee.name", "ee.name"},
        {"transDate.stamp", "ev.trans_date"},
        {"title", "ev.title"},
        {"description", "ev.description"},
    };
    if (auto it = ev.find(path); it != ev.end()) {
        return it->second;
    }
    if (path.starts_with("customer.")) {
        std::string rest = path.substr(9);
        if (rest != "category.name" && rest != "oid") {
            if (auto it = cust.find(rest); it != cust.end()) {
                return it->second;
            }
        }
    }
    return std::nullopt;
}

std::string keyColumn(ConditionTopic topic) {
    return topic == ConditionTopic::Event || topic == ConditionTopic::EventReport ? "ev.oid"
                                                                                  : "c.oid";
}

// ---- Seed data -------------------------------------------------------------------------------

// Texts that exercise the like semantics: ASCII case, non-ASCII letters with case, wildcard
// characters and backslashes inside the data, quotes, Chinese.
const std::vector<std::string> kFragments = {
    "陳",   "林",  "黃", "大",  "小",  "文",   "美",        "公司", "台北", "電子",  "商行",
    "abc",  "ABC", "Ab", "x_y", "50%", "a\\b", "O'Brien",   "c00",  "C00",  "Äb",    "äb",
    "ＡＢ", " ",   "-",  "z",   "Z",   "1",    "say\"hi\"", "AND",  "*",    "NEAR(",
};

struct Seed {
    std::vector<std::vector<SqlValue>> customerCategories, eventCategories, employees, customers,
        events;
};

std::string randomText(std::mt19937& rng, int maxFragments) {
    std::uniform_int_distribution<int> count(0, maxFragments);
    std::uniform_int_distribution<size_t> pick(0, kFragments.size() - 1);
    std::string s;
    for (int i = count(rng); i > 0; --i) {
        s += kFragments[pick(rng)];
    }
    return s;
}

Seed makeSeed(uint32_t seedValue) {
    std::mt19937 rng(seedValue);
    Seed s;
    int64_t oid = 1;
    std::vector<int64_t> custCats, evCats, emps, custs;
    for (const char* name : {"零售", "批發", "A", "a"}) {
        custCats.push_back(oid);
        s.customerCategories.push_back({oid++, S(name)});
    }
    for (const char* name : {"拜訪", "電話", "Mail"}) {
        evCats.push_back(oid);
        s.eventCategories.push_back({oid++, S(name)});
    }
    for (const char* name : {"王小明", "Bob", "bob", "陳美"}) {
        emps.push_back(oid);
        s.employees.push_back({oid, S("E") + std::to_string(oid), S(name), S("x"), int64_t{1}});
        ++oid;
    }
    std::uniform_int_distribution<int> percent(0, 99);
    auto maybeRef = [&](const std::vector<int64_t>& pool) -> SqlValue {
        int p = percent(rng);
        if (p < 15) {
            return std::monostate{};
        }
        if (p < 20) {
            return int64_t{9999};  // refers to nothing: the joined name is NULL
        }
        return pool[static_cast<size_t>(p) % pool.size()];
    };
    auto stamp = [&]() -> int64_t {
        int p = percent(rng);
        return p < 10 ? 0 : 1700000000 + 3600 * (p % 40);
    };
    for (int i = 0; i < 300; ++i) {
        int64_t o = oid++;
        custs.push_back(o);
        std::string id = percent(rng) < 70 ? "C" + std::to_string(100000 + o)
                                           : randomText(rng, 2) + std::to_string(o);
        s.customers.push_back({o, id, maybeRef(custCats), randomText(rng, 4), stamp(),
                               maybeRef(emps), randomText(rng, 2), randomText(rng, 3),
                               int64_t{percent(rng) % 3}, randomText(rng, 1), randomText(rng, 1),
                               stamp(), maybeRef(emps), stamp(), maybeRef(emps)});
    }
    for (int i = 0; i < 400; ++i) {
        int64_t o = oid++;
        s.events.push_back({o, custs[static_cast<size_t>(percent(rng) * 3)], maybeRef(evCats),
                            maybeRef(emps), stamp(), randomText(rng, 3), randomText(rng, 4),
                            int64_t{0}});
    }
    return s;
}

void load(SqlDb& db, const Seed& s) {
    ensureSchema(db);
    inTransaction(db, [&] {
        for (const auto& r : s.customerCategories) {
            db.query("INSERT INTO customer_category(oid, name) VALUES (?, ?)", r);
        }
        for (const auto& r : s.eventCategories) {
            db.query("INSERT INTO event_category(oid, name) VALUES (?, ?)", r);
        }
        for (const auto& r : s.employees) {
            db.query(
                "INSERT INTO employee(oid, id, name, password_hash, permission) "
                "VALUES (?, ?, ?, ?, ?)",
                r);
        }
        for (const auto& r : s.customers) {
            db.query(
                "INSERT INTO customer(oid, id, category_oid, name, update_date, employee_oid, "
                "email, info, version, tel, fax, expire_date, update_employee_oid, create_date, "
                "follow_employee_oid) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                r);
        }
        for (const auto& r : s.events) {
            db.query(
                "INSERT INTO event(oid, customer_oid, category_oid, employee_oid, trans_date, "
                "title, description, version) VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                r);
        }
    });
}

// ---- Rows for the evaluator ------------------------------------------------------------------

struct TopicRows {
    std::vector<ConditionPath> paths;
    std::vector<std::pair<int64_t, RowValues>> rows;
};

TopicRows readRows(SqlDb& db, ConditionTopic topic) {
    TopicRows t;
    t.paths = conditionPaths(topic);
    std::string sql = "SELECT " + keyColumn(topic);
    for (const auto& p : t.paths) {
        auto col = columnFor(topic, p.path);
        if (!col) {
            ADD_FAILURE() << "the test does not know the path " << p.path;
            continue;
        }
        sql += ", " + *col;
    }
    sql += " FROM " + std::string(conditionFromClause(topic));
    for (auto& row : db.query(sql)) {
        RowValues values;
        for (size_t i = 0; i < t.paths.size(); ++i) {
            if (!std::holds_alternative<std::monostate>(row[i + 1])) {
                values[t.paths[i].path] = row[i + 1];
            }
        }
        t.rows.emplace_back(std::get<int64_t>(row[0]), std::move(values));
    }
    return t;
}

// ---- Random conditions -----------------------------------------------------------------------

class Generator {
  public:
    Generator(uint32_t seed, const TopicRows& rows) : rng_(seed), rows_(rows) {}

    Condition condition() {
        Condition c;
        if (chance(3)) {
            return c;  // empty
        }
        c.root = node(0);
        return c;
    }

  private:
    bool chance(int percent) { return std::uniform_int_distribution<int>(0, 99)(rng_) < percent; }
    size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }

    // Alternating and/or levels as the parser builds them.
    ConditionNode node(int depth, ConditionNode::Kind parent = ConditionNode::Kind::Compare) {
        if (depth >= 3 || chance(45)) {
            return comparison();
        }
        ConditionNode n;
        n.kind = chance(50) ? ConditionNode::Kind::And : ConditionNode::Kind::Or;
        if (n.kind == parent) {
            n.kind = n.kind == ConditionNode::Kind::And ? ConditionNode::Kind::Or
                                                        : ConditionNode::Kind::And;
        }
        size_t count = 2 + pick(3);
        for (size_t i = 0; i < count; ++i) {
            n.children.push_back(node(depth + 1, n.kind));
        }
        return n;
    }

    // A value the column really holds in some row (so comparisons select something), or none.
    const SqlValue* sampleValue(const std::string& path) {
        for (int tries = 0; tries < 8; ++tries) {
            const auto& values = rows_.rows[pick(rows_.rows.size())].second;
            if (auto it = values.find(path); it != values.end()) {
                return &it->second;
            }
        }
        return nullptr;
    }

    std::string likePattern(const std::string& path) {
        const SqlValue* v = sampleValue(path);
        std::u32string text;
        if (v && std::holds_alternative<std::string>(*v) && !chance(10)) {
            const auto& s = std::get<std::string>(*v);
            // Decode roughly: the generator only needs characters, and the data is valid UTF-8.
            for (size_t i = 0; i < s.size();) {
                auto c = static_cast<unsigned char>(s[i]);
                int len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
                char32_t cp = len == 1 ? c : c & (0x3F >> (len - 1));
                for (int k = 1; k < len; ++k) {
                    cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
                }
                text.push_back(cp);
                i += len;
            }
            if (!text.empty()) {
                size_t from = pick(text.size());
                size_t len = 1 + pick(std::min<size_t>(5, text.size() - from));
                text = text.substr(from, len);
            }
        } else {
            return (chance(70) ? "%" : "") + randomText(rng_, 2) + (chance(70) ? "%" : "");
        }
        std::string out;
        if (chance(70)) {
            out += '%';
        }
        for (char32_t c : text) {
            if (chance(8)) {
                out += '_';
                continue;
            }
            if (chance(5)) {
                out += '%';
            }
            if (c < 0x80 && chance(40)) {
                c = std::isupper(static_cast<int>(c)) ? std::tolower(static_cast<int>(c))
                                                      : std::toupper(static_cast<int>(c));
            }
            // Encode back to UTF-8.
            if (c < 0x80) {
                out += static_cast<char>(c);
            } else if (c < 0x800) {
                out += static_cast<char>(0xC0 | (c >> 6));
                out += static_cast<char>(0x80 | (c & 0x3F));
            } else if (c < 0x10000) {
                out += static_cast<char>(0xE0 | (c >> 12));
                out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                out += static_cast<char>(0x80 | (c & 0x3F));
            } else {
                out += static_cast<char>(0xF0 | (c >> 18));
                out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
                out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                out += static_cast<char>(0x80 | (c & 0x3F));
            }
        }
        if (chance(70)) {
            out += '%';
        }
        return out;
    }

    ConditionNode comparison() {
        const ConditionPath& p = rows_.paths[pick(rows_.paths.size())];
        ConditionNode n;
        n.kind = ConditionNode::Kind::Compare;
        n.compare.path = p.path;
        static const CompareOp ops[] = {CompareOp::Eq, CompareOp::Ne, CompareOp::Lt,
                                        CompareOp::Le, CompareOp::Gt, CompareOp::Ge};
        if (p.isText) {
            if (chance(55)) {
                n.compare.op = CompareOp::Like;
                n.compare.value = likePattern(p.path);
                return n;
            }
            n.compare.op = chance(50) ? CompareOp::Eq : ops[pick(6)];
            const SqlValue* v = sampleValue(p.path);
            if (v && std::holds_alternative<std::string>(*v) && chance(85)) {
                n.compare.value = std::get<std::string>(*v);
            } else {
                n.compare.value = randomText(rng_, 2);
            }
            return n;
        }
        n.compare.op = chance(40) ? CompareOp::Eq : ops[pick(6)];
        const SqlValue* v = sampleValue(p.path);
        int64_t base = v && std::holds_alternative<int64_t>(*v) ? std::get<int64_t>(*v) : 0;
        n.compare.value = base + (chance(70) ? 0 : static_cast<int64_t>(pick(7)) - 3);
        return n;
    }

    std::mt19937 rng_;
    const TopicRows& rows_;
};

// ---- The comparison --------------------------------------------------------------------------

std::set<int64_t> runSql(SqlDb& db, ConditionTopic topic, const SqlFragment& f) {
    std::set<int64_t> out;
    std::string sql = "SELECT " + keyColumn(topic) + " FROM " +
                      std::string(conditionFromClause(topic)) + " WHERE " + f.where;
    for (auto& row : db.query(sql, f.params)) {
        out.insert(std::get<int64_t>(row.at(0)));
    }
    return out;
}

struct Totals {
    int conditions = 0;
    int selective = 0;  // selected some rows but not all
};

void compareOnDatabase(SqlDb& db, uint32_t seed, int perTopic, Totals& totals) {
    for (auto topic : {ConditionTopic::Customer, ConditionTopic::CustomerReport,
                       ConditionTopic::Event, ConditionTopic::EventReport}) {
        TopicRows rows = readRows(db, topic);
        ASSERT_FALSE(rows.rows.empty());
        Generator gen(seed + static_cast<uint32_t>(topic), rows);
        for (int i = 0; i < perTopic; ++i) {
            Condition generated = gen.condition();
            std::string text = conditionToText(generated);
            SCOPED_TRACE("topic " + std::to_string(static_cast<int>(topic)) +
                         ", condition: " + text);
            auto parsed = parseCondition(text);
            ASSERT_TRUE(parsed.has_value());
            auto indexed = conditionToSql(*parsed, topic, db.dialect());
            auto plain = conditionToSqlPlainScan(*parsed, topic, db.dialect());
            ASSERT_TRUE(indexed.has_value());
            ASSERT_TRUE(plain.has_value());

            std::set<int64_t> expected;
            ConditionEvaluator evaluator(*parsed, topic);
            for (const auto& [key, values] : rows.rows) {
                if (evaluator.matches(values)) {
                    expected.insert(key);
                }
            }
            auto got = runSql(db, topic, *indexed);
            ASSERT_EQ(got, expected) << "SQL: " << indexed->where;
            ASSERT_EQ(runSql(db, topic, *plain), expected) << "SQL: " << plain->where;
            ++totals.conditions;
            if (!expected.empty() && expected.size() < rows.rows.size()) {
                ++totals.selective;
            }
        }
    }
}

// The client's own conditions, with texts that need the trigram path, on the same data.
void compareClientForms(SqlDb& db) {
    const std::vector<std::pair<ConditionTopic, std::string>> forms = {
        {ConditionTopic::Customer, "name like '%公司%'"},
        {ConditionTopic::Customer, "name like '%台北電子%'"},
        {ConditionTopic::Customer, "name like '%abcABC%'"},
        {ConditionTopic::Customer, "name like '%O''Brien%'"},
        {ConditionTopic::Customer, "name like '%a\\b%'"},
        {ConditionTopic::Customer, "name like '%50%%'"},
        {ConditionTopic::Customer, "name like '%x_y%'"},
        {ConditionTopic::Customer, "name like '%äbÄb%'"},
        {ConditionTopic::Customer, "category.name='A' and id like '%C1001%'"},
        {ConditionTopic::Customer, "id like '%c00%' or name like '%陳大文%'"},
        {ConditionTopic::CustomerReport,
         "category.name='零售' and customer.employee.name='Bob' and customer.name like '%ab%'"},
        {ConditionTopic::EventReport,
         "category.name='拜訪' and customer.employee.name='bob' and customer.id like '%C1000%'"},
        {ConditionTopic::Event,
         "and customer=20 and title like '%abc%' and description like "
         "'%電子%'"},
    };
    for (const auto& [topic, text] : forms) {
        SCOPED_TRACE(text);
        auto parsed = parseCondition(text);
        ASSERT_TRUE(parsed.has_value());
        auto rows = readRows(db, topic);
        std::set<int64_t> expected;
        for (const auto& [key, values] : rows.rows) {
            if (evaluate(*parsed, topic, values)) {
                expected.insert(key);
            }
        }
        auto sql = conditionToSql(*parsed, topic, db.dialect());
        ASSERT_TRUE(sql.has_value());
        EXPECT_EQ(runSql(db, topic, *sql), expected) << sql->where;
    }
}

class ConditionDiff : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("kest_cond_diff_" + std::to_string(getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::filesystem::path dir_;
};

constexpr uint32_t kSeeds[] = {1, 2};
constexpr int kPerTopic = 250;

TEST_F(ConditionDiff, SqliteMatchesTheEvaluator) {
    Totals totals;
    for (uint32_t seed : kSeeds) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        auto db = openSqlite((dir_ / ("s" + std::to_string(seed) + ".db")).string());
        load(*db, makeSeed(seed));
        compareOnDatabase(*db, seed, kPerTopic, totals);
        compareClientForms(*db);
        if (HasFatalFailure()) {
            return;
        }
    }
    // The generator must produce conditions that discriminate, or the comparison proves little.
    EXPECT_GT(totals.selective * 3, totals.conditions) << totals.selective;
}

TEST_F(ConditionDiff, PostgresMatchesTheEvaluator) {
    if (test::pgAdminUrl().empty()) {
        GTEST_SKIP() << "KEST_TEST_PG_URL is not set (run through ctest, fixture \"pg\")";
    }
    Totals totals;
    uint32_t seed = kSeeds[0];
    test::PgTestDatabase database(test::pgAdminUrl());
    auto db = openPostgres(database.url());
    load(*db, makeSeed(seed));
    compareOnDatabase(*db, seed, kPerTopic, totals);
    compareClientForms(*db);
    EXPECT_GT(totals.selective * 3, totals.conditions) << totals.selective;
}

}  // namespace
}  // namespace kestd
