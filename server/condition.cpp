// The condition language: tokenizer, recursive-descent parser, path whitelists, translation to
// SQL and the in-memory evaluator. See condition.h for the grammar and the meaning.
//
// Invariant: every literal of a condition leaves this file as a bound parameter; the only SQL
// text produced comes from the fixed tables below.
#include "condition.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <limits>

namespace kestd {

namespace {

// ---------------------------------------------------------------------------------------------
// UTF-8

bool validUtf8(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        int extra;
        char32_t cp;
        if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + static_cast<size_t>(extra) >= s.size()) {
            return false;  // truncated sequence
        }
        for (int k = 1; k <= extra; ++k) {
            auto d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (d & 0x3F);
        }
        if ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

// Decodes UTF-8 into code points; a byte that does not start a valid sequence stands for itself.
std::u32string decodeUtf8(std::string_view s) {
    std::u32string out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        auto c = static_cast<unsigned char>(s[i]);
        int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        if (extra > 0 && i + static_cast<size_t>(extra) < s.size()) {
            char32_t cp = c & (0x3F >> extra);
            bool ok = true;
            for (int k = 1; k <= extra; ++k) {
                auto d = static_cast<unsigned char>(s[i + k]);
                if ((d & 0xC0) != 0x80) {
                    ok = false;
                    break;
                }
                cp = (cp << 6) | (d & 0x3F);
            }
            if (ok) {
                out.push_back(cp);
                i += extra + 1;
                continue;
            }
        }
        out.push_back(c);
        ++i;
    }
    return out;
}

char32_t foldAscii(char32_t c) {
    return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
}

bool iequalsAscii(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Tokenizer

enum class Tok { End, Path, Int, Text, Op, LParen, RParen, And, Or };

struct Token {
    Tok kind = Tok::End;
    std::string text;  // path spelling or text literal
    int64_t number = 0;
    CompareOp op = CompareOp::Eq;
};

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}
bool isIdentStart(char c) {
    return std::isalpha(static_cast<unsigned char>(c)) || c == '_';
}
bool isIdentChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Splits the whole text into tokens; false on any lexical error.
bool tokenize(std::string_view s, std::vector<Token>& out) {
    size_t i = 0;
    while (true) {
        while (i < s.size() && isSpace(s[i])) {
            ++i;
        }
        if (i == s.size()) {
            out.push_back(Token{});
            return true;
        }
        Token t;
        char c = s[i];
        if (c == '(') {
            t.kind = Tok::LParen;
            ++i;
        } else if (c == ')') {
            t.kind = Tok::RParen;
            ++i;
        } else if (c == '=') {
            t.kind = Tok::Op;
            t.op = CompareOp::Eq;
            ++i;
        } else if (c == '<' || c == '>' || c == '!') {
            t.kind = Tok::Op;
            char n = i + 1 < s.size() ? s[i + 1] : '\0';
            if (c == '<' && n == '=') {
                t.op = CompareOp::Le;
                i += 2;
            } else if (c == '<' && n == '>') {
                t.op = CompareOp::Ne;
                i += 2;
            } else if (c == '>' && n == '=') {
                t.op = CompareOp::Ge;
                i += 2;
            } else if (c == '!' && n == '=') {
                t.op = CompareOp::Ne;
                i += 2;
            } else if (c == '<') {
                t.op = CompareOp::Lt;
                ++i;
            } else if (c == '>') {
                t.op = CompareOp::Gt;
                ++i;
            } else {
                return false;  // a lone '!'
            }
        } else if (c == '\'') {
            t.kind = Tok::Text;
            ++i;
            bool closed = false;
            while (i < s.size()) {
                if (s[i] == '\'') {
                    if (i + 1 < s.size() && s[i + 1] == '\'') {
                        t.text.push_back('\'');
                        i += 2;
                        continue;
                    }
                    ++i;
                    closed = true;
                    break;
                }
                t.text.push_back(s[i]);
                ++i;
            }
            if (!closed) {
                return false;
            }
        } else if (isDigit(c) || (c == '-' && i + 1 < s.size() && isDigit(s[i + 1]))) {
            bool negative = c == '-';
            if (negative) {
                ++i;
            }
            // Accumulate as unsigned so that the most negative value parses too.
            uint64_t magnitude = 0;
            const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
            while (i < s.size() && isDigit(s[i])) {
                uint64_t d = static_cast<uint64_t>(s[i] - '0');
                if (magnitude > (limit - d) / 10) {
                    return false;  // out of range
                }
                magnitude = magnitude * 10 + d;
                ++i;
            }
            if (i < s.size() && isIdentChar(s[i])) {
                return false;  // "12abc"
            }
            t.kind = Tok::Int;
            t.number =
                negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
        } else if (isIdentStart(c)) {
            size_t start = i;
            while (true) {
                while (i < s.size() && isIdentChar(s[i])) {
                    ++i;
                }
                if (i + 1 < s.size() && s[i] == '.' && isIdentStart(s[i + 1])) {
                    ++i;
                    continue;
                }
                break;
            }
            if (i < s.size() && s[i] == '.') {
                return false;  // "a." or "a.1"
            }
            std::string_view word = s.substr(start, i - start);
            if (iequalsAscii(word, "and")) {
                t.kind = Tok::And;
            } else if (iequalsAscii(word, "or")) {
                t.kind = Tok::Or;
            } else if (iequalsAscii(word, "like")) {
                t.kind = Tok::Op;
                t.op = CompareOp::Like;
            } else {
                t.kind = Tok::Path;
                t.text = std::string(word);
            }
        } else {
            return false;
        }
        out.push_back(std::move(t));
    }
}

// ---------------------------------------------------------------------------------------------
// Parser

class Parser {
  public:
    explicit Parser(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

    std::optional<Condition> parse() {
        Condition c;
        if (peek().kind == Tok::And) {
            ++pos_;
            if (peek().kind == Tok::End) {
                return std::nullopt;  // "and" alone
            }
        }
        if (peek().kind == Tok::End) {
            return c;
        }
        auto node = parseOr(0);
        if (!node || peek().kind != Tok::End) {
            return std::nullopt;
        }
        c.root = std::move(*node);
        return c;
    }

  private:
    const Token& peek() const { return tokens_[pos_]; }

    static void append(ConditionNode::Kind kind, ConditionNode& into, ConditionNode&& child) {
        if (child.kind == kind) {
            for (auto& g : child.children) {
                into.children.push_back(std::move(g));
            }
        } else {
            into.children.push_back(std::move(child));
        }
    }

    std::optional<ConditionNode> parseChain(ConditionNode::Kind kind, Tok sep, int depth) {
        auto first = kind == ConditionNode::Kind::Or ? parseAnd(depth) : parsePrimary(depth);
        if (!first) {
            return std::nullopt;
        }
        if (peek().kind != sep) {
            return first;
        }
        ConditionNode node;
        node.kind = kind;
        append(kind, node, std::move(*first));
        while (peek().kind == sep) {
            ++pos_;
            auto next = kind == ConditionNode::Kind::Or ? parseAnd(depth) : parsePrimary(depth);
            if (!next) {
                return std::nullopt;
            }
            append(kind, node, std::move(*next));
        }
        return node;
    }

    std::optional<ConditionNode> parseOr(int depth) {
        return parseChain(ConditionNode::Kind::Or, Tok::Or, depth);
    }
    std::optional<ConditionNode> parseAnd(int depth) {
        return parseChain(ConditionNode::Kind::And, Tok::And, depth);
    }

    std::optional<ConditionNode> parsePrimary(int depth) {
        const Token& t = peek();
        if (t.kind == Tok::LParen) {
            if (depth >= kMaxConditionDepth) {
                return std::nullopt;
            }
            ++pos_;
            auto inner = parseOr(depth + 1);
            if (!inner || peek().kind != Tok::RParen) {
                return std::nullopt;
            }
            ++pos_;
            return inner;
        }
        if (t.kind != Tok::Path) {
            return std::nullopt;  // literal-vs-literal, stray operator, ...
        }
        ConditionNode node;
        node.kind = ConditionNode::Kind::Compare;
        node.compare.path = t.text;
        ++pos_;
        if (peek().kind != Tok::Op) {
            return std::nullopt;
        }
        node.compare.op = peek().op;
        ++pos_;
        const Token& v = peek();
        if (v.kind == Tok::Int) {
            node.compare.value = v.number;
        } else if (v.kind == Tok::Text) {
            node.compare.value = v.text;
        } else {
            return std::nullopt;  // path-vs-path or a missing value
        }
        ++pos_;
        if (++terms_ > kMaxConditionTerms) {
            return std::nullopt;
        }
        return node;
    }

    std::vector<Token> tokens_;
    size_t pos_ = 0;
    int terms_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Whitelists

enum class Col { Int, Text };

struct PathDef {
    const char* path;    // canonical spelling
    const char* column;  // alias.column
    Col type;
    bool trigram;  // customer.id / customer.name: covered by the trigram index
};

// The customer's own fields, as seen through alias c (and cc, ce for its category and employee).
constexpr std::array<PathDef, 17> kCustomerFields{{
    {"oid", "c.oid", Col::Int, false},
    {"id", "c.id", Col::Text, true},
    {"name", "c.name", Col::Text, true},
    {"category.name", "cc.name", Col::Text, false},
    {"employee", "c.employee_oid", Col::Int, false},
    {"employee.id", "ce.id", Col::Text, false},
    {"employee.name", "ce.name", Col::Text, false},
    {"followEmployee", "c.follow_employee_oid", Col::Int, false},
    {"updateEmployee", "c.update_employee_oid", Col::Int, false},
    {"email", "c.email", Col::Text, false},
    {"info", "c.info", Col::Text, false},
    {"tel", "c.tel", Col::Text, false},
    {"fax", "c.fax", Col::Text, false},
    {"expireDate.stamp", "c.expire_date", Col::Int, false},
    {"createDate.stamp", "c.create_date", Col::Int, false},
    {"updateDate.stamp", "c.update_date", Col::Int, false},
    {"version", "c.version", Col::Int, false},
}};

// The event's own fields (alias ev, ec, ee).
constexpr std::array<PathDef, 9> kEventFields{{
    {"oid", "ev.oid", Col::Int, false},
    {"customer", "ev.customer_oid", Col::Int, false},
    {"category.name", "ec.name", Col::Text, false},
    {"employee", "ev.employee_oid", Col::Int, false},
    {"employee.id", "ee.id", Col::Text, false},
    {"employee.name", "ee.name", Col::Text, false},
    {"transDate.stamp", "ev.trans_date", Col::Int, false},
    {"title", "ev.title", Col::Text, false},
    {"description", "ev.description", Col::Text, false},
}};

struct ResolvedPath {
    std::string canonical;
    std::string column;
    Col type = Col::Int;
    bool trigram = false;
};

std::optional<ResolvedPath> findIn(const auto& table, std::string_view path,
                                   std::string_view prefix, bool skipCategory) {
    for (const PathDef& d : table) {
        if (skipCategory && std::string_view(d.path) == "category.name") {
            continue;
        }
        std::string canonical = std::string(prefix) + d.path;
        if (iequalsAscii(canonical, path)) {
            return ResolvedPath{canonical, d.column, d.type, d.trigram};
        }
    }
    return std::nullopt;
}

std::optional<ResolvedPath> resolvePath(ConditionTopic topic, std::string_view path) {
    switch (topic) {
        case ConditionTopic::Customer:
            return findIn(kCustomerFields, path, "", false);
        case ConditionTopic::CustomerReport:
            if (iequalsAscii(path, "customer")) {
                return ResolvedPath{"customer", "c.oid", Col::Int, false};
            }
            if (auto r = findIn(kCustomerFields, path, "", false)) {
                return r;
            }
            return findIn(kCustomerFields, path, "customer.", false);
        case ConditionTopic::Event:
        case ConditionTopic::EventReport:
            if (auto r = findIn(kEventFields, path, "", false)) {
                return r;
            }
            // The event's customer; its category is not joined for events.
            if (auto r = findIn(kCustomerFields, path, "customer.", true)) {
                if (r->canonical == "customer.oid") {
                    return std::nullopt;  // spelled `customer`
                }
                return r;
            }
            return std::nullopt;
    }
    return std::nullopt;
}

std::optional<ResolvedPath> checkComparison(ConditionTopic topic, const Comparison& cmp) {
    auto r = resolvePath(topic, cmp.path);
    if (!r) {
        return std::nullopt;
    }
    bool textLiteral = std::holds_alternative<std::string>(cmp.value);
    if ((r->type == Col::Text) != textLiteral) {
        return std::nullopt;
    }
    if (cmp.op == CompareOp::Like && r->type != Col::Text) {
        return std::nullopt;
    }
    return r;
}

// ---------------------------------------------------------------------------------------------
// SQL

const char* opSql(CompareOp op) {
    switch (op) {
        case CompareOp::Eq:
            return " = ";
        case CompareOp::Ne:
            return " <> ";
        case CompareOp::Lt:
            return " < ";
        case CompareOp::Le:
            return " <= ";
        case CompareOp::Gt:
            return " > ";
        case CompareOp::Ge:
            return " >= ";
        case CompareOp::Like:
            return " LIKE ";
    }
    return " = ";
}

// The FTS5 query that narrows a LIKE pattern through the trigram table: every run of at least
// three literal characters becomes a quoted phrase (a phrase of trigrams is a substring), all
// of them ANDed. None when no run is long enough for a trigram lookup.
std::optional<std::string> trigramQuery(std::string_view pattern) {
    std::string query;
    std::string run;
    int runChars = 0;
    auto flush = [&] {
        if (runChars >= 3) {
            if (!query.empty()) {
                query += " AND ";
            }
            query += '"';
            for (char c : run) {
                query += c;
                if (c == '"') {
                    query += '"';
                }
            }
            query += '"';
        }
        run.clear();
        runChars = 0;
    };
    for (char c : pattern) {
        if (c == '%' || c == '_') {
            flush();
            continue;
        }
        run += c;
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
            ++runChars;  // counts characters, not UTF-8 continuation bytes
        }
    }
    flush();
    if (query.empty()) {
        return std::nullopt;
    }
    return query;
}

// PostgreSQL's LIKE treats a backslash as its escape character; ours has none.
std::string pgLikePattern(std::string_view pattern) {
    std::string out;
    out.reserve(pattern.size());
    for (char c : pattern) {
        if (c == '\\') {
            out.push_back('\\');
        }
        out.push_back(c);
    }
    return out;
}

bool toSql(const ConditionNode& n, ConditionTopic topic, Dialect dialect, bool useIndex,
           SqlFragment& out) {
    if (n.kind != ConditionNode::Kind::Compare) {
        out.where += '(';
        for (size_t i = 0; i < n.children.size(); ++i) {
            if (i > 0) {
                out.where += n.kind == ConditionNode::Kind::And ? " AND " : " OR ";
            }
            if (!toSql(n.children[i], topic, dialect, useIndex, out)) {
                return false;
            }
        }
        out.where += ')';
        return true;
    }
    const Comparison& cmp = n.compare;
    auto r = checkComparison(topic, cmp);
    if (!r) {
        return false;
    }
    if (r->type == Col::Int) {
        out.where += r->column;
        out.where += opSql(cmp.op);
        out.where += '?';
        out.params.emplace_back(std::get<int64_t>(cmp.value));
        return true;
    }
    const std::string& text = std::get<std::string>(cmp.value);
    if (dialect == Dialect::Sqlite) {
        std::optional<std::string> fts;
        if (cmp.op == CompareOp::Like && useIndex && r->trigram) {
            fts = trigramQuery(text);
        }
        if (fts) {
            // The FTS5 trigram table narrows the rows (phrase lookups, case-folded); the LIKE
            // beside it decides, so the rows equal those of a plain scan.
            const char* ftsColumn = r->column == "c.id" ? "id" : "name";
            out.where += "(c.oid IN (SELECT rowid FROM customer_fts WHERE customer_fts.";
            out.where += ftsColumn;
            out.where += " MATCH ?) AND ";
            out.where += r->column;
            out.where += " LIKE ?)";
            out.params.emplace_back(std::move(*fts));
            out.params.emplace_back(text);
            return true;
        }
        out.where += r->column;
        out.where += opSql(cmp.op);
        out.where += '?';
        out.params.emplace_back(text);
        return true;
    }
    // PostgreSQL: collation "C" gives byte order for </>, and makes ILIKE fold ASCII letters
    // only, as SQLite's LIKE does. A pg_trgm index on a "C" column serves the ILIKE.
    if (cmp.op == CompareOp::Like) {
        if (useIndex) {
            out.where += r->column;
        } else {
            // An expression the index does not cover: a plain scan, same rows.
            out.where += "(" + r->column + " || '')";
        }
        out.where += " COLLATE \"C\" ILIKE ?";
        out.params.emplace_back(pgLikePattern(text));
        return true;
    }
    out.where += r->column;
    if (cmp.op != CompareOp::Eq && cmp.op != CompareOp::Ne) {
        out.where += " COLLATE \"C\"";
    }
    out.where += opSql(cmp.op);
    out.where += '?';
    out.params.emplace_back(text);
    return true;
}

std::optional<SqlFragment> translate(const Condition& c, ConditionTopic topic, Dialect dialect,
                                     bool useIndex) {
    SqlFragment out;
    if (!c.root) {
        out.where = "1=1";
        return out;
    }
    if (!toSql(*c.root, topic, dialect, useIndex, out)) {
        return std::nullopt;
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// Printing

void printNode(const ConditionNode& n, bool parenthesise, std::string& out) {
    if (n.kind == ConditionNode::Kind::Compare) {
        const Comparison& cmp = n.compare;
        out += cmp.path;
        switch (cmp.op) {
            case CompareOp::Eq:
                out += "=";
                break;
            case CompareOp::Ne:
                out += "<>";
                break;
            case CompareOp::Lt:
                out += "<";
                break;
            case CompareOp::Le:
                out += "<=";
                break;
            case CompareOp::Gt:
                out += ">";
                break;
            case CompareOp::Ge:
                out += ">=";
                break;
            case CompareOp::Like:
                out += " like ";
                break;
        }
        if (const auto* i = std::get_if<int64_t>(&cmp.value)) {
            out += std::to_string(*i);
        } else {
            out += '\'';
            for (char ch : std::get<std::string>(cmp.value)) {
                out += ch;
                if (ch == '\'') {
                    out += '\'';
                }
            }
            out += '\'';
        }
        return;
    }
    if (parenthesise) {
        out += '(';
    }
    bool isAnd = n.kind == ConditionNode::Kind::And;
    for (size_t i = 0; i < n.children.size(); ++i) {
        if (i > 0) {
            out += isAnd ? " and " : " or ";
        }
        // Inside an and, an or needs parentheses; inside an or, an and does not, but a nested
        // or (which the parser never builds) would be kept apart by them.
        const ConditionNode& child = n.children[i];
        printNode(child,
                  child.kind != ConditionNode::Kind::Compare && (isAnd || child.kind == n.kind),
                  out);
    }
    if (parenthesise) {
        out += ')';
    }
}

// ---------------------------------------------------------------------------------------------
// Evaluation

bool compareValues(const SqlValue& v, CompareOp op, const ConditionLiteral& lit) {
    int cmp;
    if (const auto* li = std::get_if<int64_t>(&lit)) {
        const auto* vi = std::get_if<int64_t>(&v);
        if (!vi) {
            return false;
        }
        cmp = *vi < *li ? -1 : *vi > *li ? 1 : 0;
    } else {
        const auto* vs = std::get_if<std::string>(&v);
        if (!vs) {
            return false;
        }
        const std::string& ls = std::get<std::string>(lit);
        if (op == CompareOp::Like) {
            return conditionLike(*vs, ls);
        }
        int r = vs->compare(ls);  // char_traits<char> compares as unsigned char
        cmp = r < 0 ? -1 : r > 0 ? 1 : 0;
    }
    switch (op) {
        case CompareOp::Eq:
            return cmp == 0;
        case CompareOp::Ne:
            return cmp != 0;
        case CompareOp::Lt:
            return cmp < 0;
        case CompareOp::Le:
            return cmp <= 0;
        case CompareOp::Gt:
            return cmp > 0;
        case CompareOp::Ge:
            return cmp >= 0;
        case CompareOp::Like:
            return false;
    }
    return false;
}

// A condition with its paths resolved once, so that evaluating it over many rows does not look
// paths up again.
struct ResolvedNode {
    ConditionNode::Kind kind = ConditionNode::Kind::Compare;
    std::string canonical;
    const Comparison* compare = nullptr;
    std::vector<ResolvedNode> children;
};

bool resolveNode(const ConditionNode& n, ConditionTopic topic, ResolvedNode& out) {
    out.kind = n.kind;
    if (n.kind == ConditionNode::Kind::Compare) {
        auto r = checkComparison(topic, n.compare);
        if (!r) {
            return false;
        }
        out.canonical = std::move(r->canonical);
        out.compare = &n.compare;
        return true;
    }
    out.children.resize(n.children.size());
    for (size_t i = 0; i < n.children.size(); ++i) {
        if (!resolveNode(n.children[i], topic, out.children[i])) {
            return false;
        }
    }
    return true;
}

bool evalNode(const ResolvedNode& n, const RowValues& row) {
    switch (n.kind) {
        case ConditionNode::Kind::And:
            return std::all_of(n.children.begin(), n.children.end(),
                               [&](const ResolvedNode& c) { return evalNode(c, row); });
        case ConditionNode::Kind::Or:
            return std::any_of(n.children.begin(), n.children.end(),
                               [&](const ResolvedNode& c) { return evalNode(c, row); });
        case ConditionNode::Kind::Compare:
            break;
    }
    auto it = row.find(n.canonical);
    if (it == row.end()) {
        return false;  // NULL
    }
    return compareValues(it->second, n.compare->op, n.compare->value);
}

bool allowedNode(const ConditionNode& n, ConditionTopic topic) {
    if (n.kind == ConditionNode::Kind::Compare) {
        return checkComparison(topic, n.compare).has_value();
    }
    return std::all_of(n.children.begin(), n.children.end(),
                       [&](const ConditionNode& c) { return allowedNode(c, topic); });
}

}  // namespace

std::optional<Condition> parseCondition(std::string_view utf8) {
    if (utf8.size() > kMaxConditionBytes || !validUtf8(utf8) ||
        utf8.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    std::vector<Token> tokens;
    if (!tokenize(utf8, tokens)) {
        return std::nullopt;
    }
    return Parser(std::move(tokens)).parse();
}

std::string conditionToText(const Condition& c) {
    std::string out;
    if (c.root) {
        printNode(*c.root, false, out);
    }
    return out;
}

std::string_view conditionFromClause(ConditionTopic topic) {
    switch (topic) {
        case ConditionTopic::Customer:
        case ConditionTopic::CustomerReport:
            return "customer c"
                   " LEFT JOIN customer_category cc ON cc.oid = c.category_oid"
                   " LEFT JOIN employee ce ON ce.oid = c.employee_oid";
        case ConditionTopic::Event:
        case ConditionTopic::EventReport:
            return "event ev"
                   " LEFT JOIN event_category ec ON ec.oid = ev.category_oid"
                   " LEFT JOIN customer c ON c.oid = ev.customer_oid"
                   " LEFT JOIN employee ce ON ce.oid = c.employee_oid"
                   " LEFT JOIN employee ee ON ee.oid = ev.employee_oid";
    }
    return {};
}

std::optional<SqlFragment> conditionToSql(const Condition& c, ConditionTopic topic,
                                          Dialect dialect) {
    return translate(c, topic, dialect, true);
}

std::optional<SqlFragment> conditionToSqlPlainScan(const Condition& c, ConditionTopic topic,
                                                   Dialect dialect) {
    return translate(c, topic, dialect, false);
}

bool conditionAllowed(const Condition& c, ConditionTopic topic) {
    return !c.root || allowedNode(*c.root, topic);
}

std::vector<ConditionPath> conditionPaths(ConditionTopic topic) {
    std::vector<ConditionPath> out;
    auto add = [&](const auto& table, const char* prefix, bool skipCategory) {
        for (const PathDef& d : table) {
            if (skipCategory && std::string_view(d.path) == "category.name") {
                continue;
            }
            out.push_back({std::string(prefix) + d.path, d.type == Col::Text});
        }
    };
    switch (topic) {
        case ConditionTopic::Customer:
            add(kCustomerFields, "", false);
            break;
        case ConditionTopic::CustomerReport:
            add(kCustomerFields, "", false);
            out.push_back({"customer", false});
            add(kCustomerFields, "customer.", false);
            break;
        case ConditionTopic::Event:
        case ConditionTopic::EventReport:
            add(kEventFields, "", false);
            add(kCustomerFields, "customer.", true);
            std::erase_if(out, [](const ConditionPath& p) { return p.path == "customer.oid"; });
            break;
    }
    return out;
}

struct ConditionEvaluator::Node : ResolvedNode {};

ConditionEvaluator::ConditionEvaluator(const Condition& c, ConditionTopic topic) {
    if (!c.root) {
        return;
    }
    root_ = std::make_unique<Node>();
    refused_ = !resolveNode(*c.root, topic, *root_);  // a path or type the topic does not allow
}

ConditionEvaluator::~ConditionEvaluator() = default;

bool ConditionEvaluator::matches(const RowValues& row) const {
    if (refused_) {
        return false;
    }
    return !root_ || evalNode(*root_, row);
}

bool evaluate(const Condition& c, ConditionTopic topic, const RowValues& row) {
    return ConditionEvaluator(c, topic).matches(row);
}

bool conditionLike(std::string_view text, std::string_view pattern) {
    std::u32string s = decodeUtf8(text);
    std::u32string p = decodeUtf8(pattern);
    // Greedy match with backtracking to the last '%': linear in practice, never recursive.
    size_t si = 0, pi = 0;
    size_t starP = std::u32string::npos, starS = 0;
    while (si < s.size()) {
        if (pi < p.size() && p[pi] == U'%') {
            starP = pi++;
            starS = si;
        } else if (pi < p.size() && (p[pi] == U'_' || foldAscii(p[pi]) == foldAscii(s[si]))) {
            ++pi;
            ++si;
        } else if (starP != std::u32string::npos) {
            pi = starP + 1;
            si = ++starS;
        } else {
            return false;
        }
    }
    while (pi < p.size() && p[pi] == U'%') {
        ++pi;
    }
    return pi == p.size();
}

}  // namespace kestd
