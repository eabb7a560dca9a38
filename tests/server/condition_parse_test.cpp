// The condition language without a database: which texts parse (every form the client builds)
// and into what, which are refused (injection attempts, unescaped quotes, literal-only
// comparisons, limits), the path whitelist per topic, the SQL produced, and the like semantics
// of the evaluator.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "condition.h"

namespace kestd {
namespace {

ConditionNode cmp(std::string path, CompareOp op, ConditionLiteral v) {
    ConditionNode n;
    n.kind = ConditionNode::Kind::Compare;
    n.compare = Comparison{std::move(path), op, std::move(v)};
    return n;
}
ConditionNode group(ConditionNode::Kind kind, std::vector<ConditionNode> children) {
    ConditionNode n;
    n.kind = kind;
    n.children = std::move(children);
    return n;
}
ConditionNode all(std::vector<ConditionNode> c) {
    return group(ConditionNode::Kind::And, std::move(c));
}
ConditionNode any(std::vector<ConditionNode> c) {
    return group(ConditionNode::Kind::Or, std::move(c));
}
using S = std::string;
constexpr auto Eq = CompareOp::Eq;
constexpr auto Ge = CompareOp::Ge;
constexpr auto Le = CompareOp::Le;
constexpr auto Like = CompareOp::Like;

struct Accepted {
    const char* text;
    ConditionNode ast;
};

// Every shape the client's windows build, and the small extensions of the grammar.
TEST(ConditionParse, AcceptsTheClientsForms) {
    const std::vector<Accepted> cases = {
        // Customer list.
        {"category.name='A' and id like '%12%'",
         all({cmp("category.name", Eq, S("A")), cmp("id", Like, S("%12%"))})},
        {"name like '%x%' and (employee=57 or followEmployee=57)",
         all({cmp("name", Like, S("%x%")),
              any({cmp("employee", Eq, int64_t{57}), cmp("followEmployee", Eq, int64_t{57})})})},
        {"expireDate.stamp>=1700000000 and expireDate.stamp<=1700086399",
         all({cmp("expireDate.stamp", Ge, int64_t{1700000000}),
              cmp("expireDate.stamp", Le, int64_t{1700086399})})},
        {"name like '%陳大%'", cmp("name", Like, S("%陳大%"))},
        // Event list: the leading "and".
        {"and customer=57", cmp("customer", Eq, int64_t{57})},
        {"and customer=57 and category.name='拜訪' and title like '%t%' and "
         "description like '%d%'",
         all({cmp("customer", Eq, int64_t{57}), cmp("category.name", Eq, S("拜訪")),
              cmp("title", Like, S("%t%")), cmp("description", Like, S("%d%"))})},
        // Reports.
        {"category.name='A' and customer.name like '%B%'",
         all({cmp("category.name", Eq, S("A")), cmp("customer.name", Like, S("%B%"))})},
        {"customer.employee.name='王小明' and customer.id like '%X%'",
         all({cmp("customer.employee.name", Eq, S("王小明")), cmp("customer.id", Like, S("%X%"))})},
        // Literals: doubled quotes, negative and extreme integers, empty text.
        {"name='O''Brien'", cmp("name", Eq, S("O'Brien"))},
        {"name=''''", cmp("name", Eq, S("'"))},
        {"name=''", cmp("name", Eq, S(""))},
        {"expireDate.stamp>=-86400", cmp("expireDate.stamp", Ge, int64_t{-86400})},
        {"oid=-9223372036854775808", cmp("oid", Eq, INT64_MIN)},
        {"oid=9223372036854775807", cmp("oid", Eq, INT64_MAX)},
        // Keywords in any case, spacing, the other operators, precedence of and over or.
        {"  NAME LIKE 'a'\tAND\n(ID = 'b' Or ID <> 'c')  ",
         all({cmp("NAME", Like, S("a")),
              any({cmp("ID", Eq, S("b")), cmp("ID", CompareOp::Ne, S("c"))})})},
        {"oid<5 or oid>7 and oid!=9", any({cmp("oid", CompareOp::Lt, int64_t{5}),
                                           all({cmp("oid", CompareOp::Gt, int64_t{7}),
                                                cmp("oid", CompareOp::Ne, int64_t{9})})})},
        // Redundant parentheses disappear, chains flatten.
        {"((name='a'))", cmp("name", Eq, S("a"))},
        {"(name='a' and name='b') and name='c'",
         all({cmp("name", Eq, S("a")), cmp("name", Eq, S("b")), cmp("name", Eq, S("c"))})},
        // Text that looks like SQL stays a literal.
        {"name='x'' or 1=1 --'", cmp("name", Eq, S("x' or 1=1 --"))},
        {"name like '%\\%'", cmp("name", Like, S("%\\%"))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        auto parsed = parseCondition(c.text);
        ASSERT_TRUE(parsed.has_value());
        ASSERT_TRUE(parsed->root.has_value());
        EXPECT_EQ(*parsed->root, c.ast);
        // Printing and parsing again gives the same tree.
        auto again = parseCondition(conditionToText(*parsed));
        ASSERT_TRUE(again.has_value()) << conditionToText(*parsed);
        EXPECT_EQ(*again, *parsed);
    }
}

TEST(ConditionParse, EmptyConditionSelectsEverything) {
    for (const char* text : {"", "   ", "\t\n"}) {
        auto parsed = parseCondition(text);
        ASSERT_TRUE(parsed.has_value());
        EXPECT_FALSE(parsed->root.has_value());
        auto sql = conditionToSql(*parsed, ConditionTopic::Customer, Dialect::Sqlite);
        ASSERT_TRUE(sql.has_value());
        EXPECT_EQ(sql->where, "1=1");
        EXPECT_TRUE(sql->params.empty());
        EXPECT_TRUE(evaluate(*parsed, ConditionTopic::Customer, {}));
    }
}

TEST(ConditionParse, RefusesMalformedAndHostileTexts) {
    const std::vector<std::string> refused = {
        "name like '%O'Brien%'",   // the client does not escape quotes
        "1=1 or ''=''",            // literal-vs-literal
        "1=1",                     //
        "''=''",                   //
        "'; drop table customer",  // unterminated literal
        "name='x'; drop table customer; --'",
        "name='a' and (id='b'",  // unbalanced
        "name='a')",
        "(name='a'",
        "()",
        "name='a' and",  // dangling operators
        "and",
        "or name='a'",
        "and and name='a'",
        "name='a' or",
        "name",  // incomplete comparisons
        "name=",
        "name like",
        "=5",
        "name='a' name='b'",
        "name=id",  // path-vs-path
        "5=name",   // literal on the left
        "name=5x",
        "name.=1",
        "name..id=1",
        "oid=9223372036854775808",  // out of int64
        "oid=-9223372036854775809",
        "oid=- 5",
        "name!'a'",
        "name=='a'",
        "name not like 'a'",
        "name='a' -- comment",
        "name=\"a\"",
        "name=`a`",
        "name='a';",
        "name=?",
        "name=$1",
        std::string("name='a\0b'", 10),  // a zero byte
        "name='\xff\xfe'",               // not UTF-8
        "name='\xe9\x99'",               // truncated UTF-8
    };
    for (const auto& text : refused) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(parseCondition(text).has_value());
    }
}

TEST(ConditionParse, LimitsDepthLengthAndTerms) {
    auto nested = [](int depth) {
        return std::string(depth, '(') + "name='a'" + std::string(depth, ')');
    };
    EXPECT_TRUE(parseCondition(nested(kMaxConditionDepth)).has_value());
    EXPECT_FALSE(parseCondition(nested(kMaxConditionDepth + 1)).has_value());
    // Far beyond the limit: refused without exhausting the stack.
    EXPECT_FALSE(parseCondition(std::string(kMaxConditionBytes / 2, '(')).has_value());

    auto chain = [](int terms) {
        std::string s = "oid=1";
        for (int i = 1; i < terms; ++i) {
            s += " or oid=" + std::to_string(i + 1);
        }
        return s;
    };
    EXPECT_TRUE(parseCondition(chain(kMaxConditionTerms)).has_value());
    EXPECT_FALSE(parseCondition(chain(kMaxConditionTerms + 1)).has_value());

    std::string longText = "name='" + std::string(kMaxConditionBytes, 'a') + "'";
    EXPECT_FALSE(parseCondition(longText).has_value());
}

struct PathCase {
    const char* text;
    ConditionTopic topic;
    bool allowed;
};

TEST(ConditionWhitelist, PathsAndTypesPerTopic) {
    using T = ConditionTopic;
    const std::vector<PathCase> cases = {
        {"category.name='A'", T::Customer, true},
        {"id like '%1%'", T::Customer, true},
        {"employee=3 or followEmployee=3", T::Customer, true},
        {"expireDate.stamp>=0 and createDate.stamp<=0 and updateDate.stamp>=0", T::Customer, true},
        {"employee.name='x' and tel='1' and fax='2' and email='e' and info='i'", T::Customer, true},
        {"FollowEmployee=3", T::Customer, true},  // paths are case-insensitive
        {"customer.name like '%x%'", T::Customer, false},
        {"customer=1", T::Customer, false},
        {"title='x'", T::Customer, false},
        {"password_hash='x'", T::Customer, false},
        {"employee.password='x'", T::Customer, false},
        {"c.name='x'", T::Customer, false},
        {"name=5", T::Customer, false},         // text path, integer literal
        {"employee='57'", T::Customer, false},  // integer path, text literal
        {"employee like '5%'", T::Customer, false},
        {"expireDate='x'", T::Customer, false},  // the date itself is not a path; its stamp is
        // The customer report: customer.-paths mean the customer itself.
        {"category.name='A' and customer.employee.name='B' and customer.id like '%X%' and "
         "customer.name like '%Y%'",
         T::CustomerReport, true},
        {"customer=5", T::CustomerReport, true},
        {"title like '%x%'", T::CustomerReport, false},
        // Events.
        {"customer=57 and category.name='A' and title like '%t%' and description like '%d%'",
         T::Event, true},
        {"customer.employee.name='B' and customer.id like '%X%' and customer.name like '%Y%'",
         T::EventReport, true},
        {"transDate.stamp>=0 and employee=1 and employee.name='x'", T::Event, true},
        {"customer.followEmployee=1 and customer.expireDate.stamp>=0", T::Event, true},
        {"customer.category.name='A'", T::Event, false},  // not joined for events
        {"customer.oid=1", T::Event, false},
        {"name='x'", T::Event, false},
        {"id like '%1%'", T::EventReport, false},
        {"customer='57'", T::Event, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        auto parsed = parseCondition(c.text);
        ASSERT_TRUE(parsed.has_value());
        EXPECT_EQ(conditionAllowed(*parsed, c.topic), c.allowed);
        for (Dialect d : {Dialect::Sqlite, Dialect::Postgres}) {
            EXPECT_EQ(conditionToSql(*parsed, c.topic, d).has_value(), c.allowed);
        }
    }
}

TEST(ConditionWhitelist, EveryListedPathTranslates) {
    for (auto topic : {ConditionTopic::Customer, ConditionTopic::CustomerReport,
                       ConditionTopic::Event, ConditionTopic::EventReport}) {
        auto paths = conditionPaths(topic);
        ASSERT_FALSE(paths.empty());
        for (const auto& p : paths) {
            SCOPED_TRACE(p.path);
            Condition c;
            c.root = cmp(p.path, Eq, p.isText ? ConditionLiteral(S("v")) : ConditionLiteral(1));
            EXPECT_TRUE(conditionToSql(c, topic, Dialect::Sqlite).has_value());
            EXPECT_TRUE(conditionToSql(c, topic, Dialect::Postgres).has_value());
        }
    }
}

struct SqlCase {
    const char* text;
    ConditionTopic topic;
    Dialect dialect;
    const char* where;
    std::vector<SqlValue> params;
};

TEST(ConditionSql, BoundParametersOnly) {
    using T = ConditionTopic;
    const auto L = Dialect::Sqlite;
    const auto P = Dialect::Postgres;
    const std::vector<SqlCase> cases = {
        {"category.name='A' and id like '%12%'",
         T::Customer,
         L,
         "(cc.name = ? AND c.id LIKE ?)",
         {S("A"), S("%12%")}},
        // Three literal characters: the trigram table narrows, the LIKE decides.
        {"name like '%陳大文%'",
         T::Customer,
         L,
         "(c.oid IN (SELECT rowid FROM customer_fts WHERE customer_fts.name MATCH ?) AND c.name "
         "LIKE ?)",
         {S("\"陳大文\""), S("%陳大文%")}},
        // Every run of three or more characters is a phrase; quotes inside are doubled.
        {"name like 'ab%台北電子%x_say\"hi\"%'",
         T::Customer,
         L,
         "(c.oid IN (SELECT rowid FROM customer_fts WHERE customer_fts.name MATCH ?) AND c.name "
         "LIKE ?)",
         {S("\"台北電子\" AND \"say\"\"hi\"\"\""), S("ab%台北電子%x_say\"hi\"%")}},
        {"customer.id like 'C00%'",
         T::EventReport,
         L,
         "(c.oid IN (SELECT rowid FROM customer_fts WHERE customer_fts.id MATCH ?) AND c.id LIKE "
         "?)",
         {S("\"C00\""), S("C00%")}},
        {"name like '%陳大%'", T::Customer, L, "c.name LIKE ?", {S("%陳大%")}},
        {"name like 'a_c%'", T::Customer, L, "c.name LIKE ?", {S("a_c%")}},
        {"title like '%abcd%'", T::Event, L, "ev.title LIKE ?", {S("%abcd%")}},
        {"name like '%x%' and (employee=57 or followEmployee=57)",
         T::Customer,
         P,
         "(c.name COLLATE \"C\" ILIKE ? AND (c.employee_oid = ? OR c.follow_employee_oid = ?))",
         {S("%x%"), int64_t{57}, int64_t{57}}},
        // No escape character: a backslash is matched as itself on PostgreSQL too.
        {"name like '%a\\b%'", T::Customer, P, "c.name COLLATE \"C\" ILIKE ?", {S("%a\\\\b%")}},
        {"name>='m'", T::Customer, P, "c.name COLLATE \"C\" >= ?", {S("m")}},
        {"and customer=57 and category.name='A'",
         T::Event,
         P,
         "(ev.customer_oid = ? AND ec.name = ?)",
         {int64_t{57}, S("A")}},
        {"customer.employee.name='B'", T::CustomerReport, L, "ce.name = ?", {S("B")}},
        {"category.name='B'", T::CustomerReport, L, "cc.name = ?", {S("B")}},
        {"customer.employee.name='B'", T::EventReport, L, "ce.name = ?", {S("B")}},
        {"employee.name='B'", T::EventReport, L, "ee.name = ?", {S("B")}},
        {"name='x'' or ''1''=''1'", T::Customer, L, "c.name = ?", {S("x' or '1'='1")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        auto parsed = parseCondition(c.text);
        ASSERT_TRUE(parsed.has_value());
        auto sql = conditionToSql(*parsed, c.topic, c.dialect);
        ASSERT_TRUE(sql.has_value());
        EXPECT_EQ(sql->where, c.where);
        EXPECT_EQ(sql->params, c.params);
    }
}

TEST(ConditionSql, PlainScanNeverUsesTheTrigramIndex) {
    auto parsed = parseCondition("name like '%陳大文%' or id like '%C000%'");
    ASSERT_TRUE(parsed.has_value());
    auto lite = conditionToSqlPlainScan(*parsed, ConditionTopic::Customer, Dialect::Sqlite);
    ASSERT_TRUE(lite.has_value());
    EXPECT_EQ(lite->where, "(c.name LIKE ? OR c.id LIKE ?)");
    auto pg = conditionToSqlPlainScan(*parsed, ConditionTopic::Customer, Dialect::Postgres);
    ASSERT_TRUE(pg.has_value());
    EXPECT_EQ(pg->where,
              "((c.name || '') COLLATE \"C\" ILIKE ? OR (c.id || '') COLLATE \"C\" ILIKE ?)");
}

struct LikeCase {
    const char* text;
    const char* pattern;
    bool match;
};

TEST(ConditionLike, WildcardsAndAsciiOnlyCaseFolding) {
    const std::vector<LikeCase> cases = {
        {"abc", "abc", true},
        {"abc", "ABC", true},
        {"ABC", "%b%", true},
        {"abc", "ab", false},
        {"abc", "a%", true},
        {"abc", "%c", true},
        {"abc", "%", true},
        {"", "%", true},
        {"", "_", false},
        {"", "", true},
        {"a", "", false},
        {"abc", "a_c", true},
        {"abc", "a__c", false},
        {"陳大文", "陳_文", true},  // '_' is one character, not one byte
        {"陳大文", "陳___文", false},
        {"陳大文", "%大%", true},
        {"ÄBC", "äbc", false},  // non-ASCII letters keep their case
        {"Äbc", "ÄBC", true},
        {"ＡＢ", "ａｂ", false},  // full-width letters too
        {"a\\b", "a\\b", true},   // no escape character
        {"a\\b", "a\\%", true},
        {"ab", "a\\%", false},
        {"a%b", "a%b", true},
        {"mississippi", "%iss%ppi", true},
        {"mississippi", "m%s%s%s%i", true},
        {"mississippi", "m%x%", false},
        {"aaa", "%a%a%a%a%", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text) + " like " + c.pattern);
        EXPECT_EQ(conditionLike(c.text, c.pattern), c.match);
    }
}

TEST(ConditionEvaluate, NullComparesFalseUnderEveryOperator) {
    auto parsed = parseCondition(
        "category.name='A' or category.name<>'A' or category.name>='' "
        "or category.name like '%'");
    ASSERT_TRUE(parsed.has_value());
    RowValues withNull{{"category.name", std::monostate{}}};
    EXPECT_FALSE(evaluate(*parsed, ConditionTopic::Customer, withNull));
    EXPECT_FALSE(evaluate(*parsed, ConditionTopic::Customer, RowValues{}));
    RowValues withValue{{"category.name", S("B")}};
    EXPECT_TRUE(evaluate(*parsed, ConditionTopic::Customer, withValue));
}

TEST(ConditionEvaluate, ClientConditionsOnOneRow) {
    RowValues row{{"name", S("台北陳大文商行")},  {"id", S("C000123")},
                  {"category.name", S("零售")},   {"employee", int64_t{57}},
                  {"followEmployee", int64_t{0}}, {"expireDate.stamp", int64_t{1700000000}}};
    struct Case {
        const char* text;
        bool match;
    };
    const std::vector<Case> cases = {
        {"name like '%陳大%'", true},
        {"name like '%陳小%'", false},
        {"category.name='零售' and id like '%123%'", true},
        {"category.name='批發' and id like '%123%'", false},
        {"id like '%c000%'", true},
        {"name like '%x%' and (employee=57 or followEmployee=57)", false},
        {"name like '%商行' and (employee=1 or followEmployee=0)", true},
        {"expireDate.stamp>=1700000000 and expireDate.stamp<=1700000000", true},
        {"expireDate.stamp>=1700000001", false},
        {"employee<>57 or name>'台'", true},
        {"title='x'", false},  // not a customer path: refused, so false
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        auto parsed = parseCondition(c.text);
        ASSERT_TRUE(parsed.has_value());
        EXPECT_EQ(evaluate(*parsed, ConditionTopic::Customer, row), c.match);
    }
}

}  // namespace
}  // namespace kestd
