// The condition language of Query and Report requests: a tokenizer and recursive-descent parser
// into an AST, a whitelist of field paths per topic, the translation to SQL with bound
// parameters, and an in-memory evaluator with the same meaning as the SQL.
//
// Invariant: text from the wire never reaches SQL as text. A condition either parses into an AST
// whose every path is on the topic's whitelist and whose every literal becomes a bound parameter,
// or it is refused (std::nullopt) and the caller answers an empty list / count 0.
//
// Grammar (keywords and paths case-insensitive):
//   condition  := [ "and" ] [ orExpr ]            -- empty text selects everything
//   orExpr     := andExpr { "or" andExpr }
//   andExpr    := primary { "and" primary }
//   primary    := "(" orExpr ")" | path op literal
//   path       := ident { "." ident }
//   op         := "=" | "<>" | "!=" | "<" | "<=" | ">" | ">=" | "like"
//   literal    := [ "-" ] digits | "'" { char | "''" } "'"
// A comparison always has a path on its left and a literal on its right; literal-vs-literal
// (`1=1`, `''=''`) and path-vs-path are refused. Types must agree: integer paths (employee
// references, oids, `*.stamp`) take integers, text paths take quoted texts, `like` takes a text
// on a text path. There is no coercion: `name = 5` and `employee = '57'` are refused.
//
// Meaning, identical on SQLite, PostgreSQL and evaluate():
//   - NULL (e.g. a customer without a category, seen through `category.name`) compares false
//     under every operator. The language has no `not`, so this equals SQL's three-valued logic.
//   - Text `=`/`<>` compare exactly; `<`, `<=`, `>`, `>=` compare bytes (UTF-8 code point order).
//   - `like`: `%` any run of characters, `_` exactly one character (not byte), no escape
//     character (a backslash is an ordinary character). Case-insensitive for the ASCII letters
//     A-Z only; other letters (e.g. Ä/ä, Greek, full-width Latin) must match in case exactly.
//     Chinese has no case, so Chinese searches are exact substring searches.
// Limits: at most kMaxConditionBytes of text, kMaxConditionDepth nested parentheses and
// kMaxConditionTerms comparisons; beyond them the condition is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "sql_db.h"

namespace kestd {

inline constexpr size_t kMaxConditionBytes = 8192;
inline constexpr int kMaxConditionDepth = 32;
inline constexpr int kMaxConditionTerms = 200;

enum class CompareOp { Eq, Ne, Lt, Le, Gt, Ge, Like };

// An integer or a text (UTF-8).
using ConditionLiteral = std::variant<int64_t, std::string>;

struct Comparison {
    std::string path;  // as written, dotted (e.g. "customer.employee.name")
    CompareOp op = CompareOp::Eq;
    ConditionLiteral value;
    bool operator==(const Comparison&) const = default;
};

// A node is a comparison, or an and/or of two or more child nodes (chains are flattened:
// `a and b and c` is one And node with three children).
struct ConditionNode {
    enum class Kind { Compare, And, Or };
    Kind kind = Kind::Compare;
    Comparison compare;                   // Kind::Compare
    std::vector<ConditionNode> children;  // Kind::And / Kind::Or
    bool operator==(const ConditionNode&) const = default;
};

// A parsed condition; no root means the empty condition, which selects everything.
struct Condition {
    std::optional<ConditionNode> root;
    bool operator==(const Condition&) const = default;
};

// Parses a condition text (UTF-8). Syntax errors and limit violations give std::nullopt.
// Paths are not checked here (that needs a topic); see conditionToSql().
std::optional<Condition> parseCondition(std::string_view utf8);

// Prints a condition back as text in the grammar above (quotes doubled), e.g. for logs and for
// generated test conditions. parseCondition(conditionToText(c)) == c.
std::string conditionToText(const Condition& c);

// What the condition is evaluated against, and so which paths are allowed:
//   Customer        Query of "Customer": the customer list.
//   CustomerReport  Report of "Customer": like Customer, and `customer.`-paths mean the customer
//                   itself (the report window sends the same text as for events).
//   Event           Query of "Event": a customer's events.
//   EventReport     Report of "Event".
enum class ConditionTopic { Customer, Event, CustomerReport, EventReport };

// The FROM clause (without the word FROM) the SQL of conditionToSql() is written against. The
// aliases are fixed:
//   Customer, CustomerReport: c customer, cc its customer_category, ce its responsible employee.
//   Event, EventReport: ev event, ec event_category, c the event's customer, ce the customer's
//   responsible employee, ee the event's employee.
// All joins are LEFT JOINs, so a missing category or employee never hides a row.
std::string_view conditionFromClause(ConditionTopic topic);

struct SqlFragment {
    std::string where;  // an SQL boolean expression with '?' placeholders; "1=1" when empty
    std::vector<SqlValue> params;
};

// Translates a parsed condition for a topic. A path outside the topic's whitelist or a type
// mismatch gives std::nullopt. Infix `like` on the customer number or name uses the trigram
// index where the pattern allows it (SQLite: the customer_fts FTS5 trigram table, with the plain
// LIKE kept beside it so the rows equal a plain scan; PostgreSQL: ILIKE on the pg_trgm-indexed
// column, which needs the column's collation to be "C", and a database with a UTF-8 locale
// such as C.UTF-8 so that pg_trgm counts Chinese characters as word characters). A pattern
// without a run of three literal characters cannot use a trigram index and is a plain scan.
std::optional<SqlFragment> conditionToSql(const Condition& c, ConditionTopic topic,
                                          Dialect dialect);

// Like conditionToSql(), but never uses the trigram index (a plain scan). Same rows; used to
// check that claim and to measure what the index buys.
std::optional<SqlFragment> conditionToSqlPlainScan(const Condition& c, ConditionTopic topic,
                                                   Dialect dialect);

// True when every path of the condition is on the topic's whitelist with a matching type.
bool conditionAllowed(const Condition& c, ConditionTopic topic);

// The whitelisted paths of a topic, canonical spelling (e.g. "followEmployee"), with their type.
struct ConditionPath {
    std::string path;
    bool isText = false;  // text path; otherwise integer
};
std::vector<ConditionPath> conditionPaths(ConditionTopic topic);

// One candidate row for evaluate(): values by canonical path (as conditionPaths() spells them).
// A missing entry or std::monostate is NULL.
using RowValues = std::map<std::string, SqlValue, std::less<>>;

// Evaluates a condition in memory with the meaning stated above. A condition that
// conditionAllowed() refuses evaluates to false.
bool evaluate(const Condition& c, ConditionTopic topic, const RowValues& row);

// The same for many rows: the paths are resolved once. Keeps a pointer into `c`, which must
// outlive it.
class ConditionEvaluator {
  public:
    ConditionEvaluator(const Condition& c, ConditionTopic topic);
    ~ConditionEvaluator();
    ConditionEvaluator(const ConditionEvaluator&) = delete;
    ConditionEvaluator& operator=(const ConditionEvaluator&) = delete;
    bool matches(const RowValues& row) const;

  private:
    struct Node;
    std::unique_ptr<Node> root_;  // null: matches everything, unless refused
    bool refused_ = false;
};

// The `like` of this language on two UTF-8 texts (ASCII-only case folding, no escape).
bool conditionLike(std::string_view text, std::string_view pattern);

}  // namespace kestd
