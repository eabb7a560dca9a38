// PgDb: kestd's PostgreSQL backend over libpq. Parameters go in binary form with explicit types
// (int8, text, bytea; NULL untyped); rows come back in text form and are turned into SqlValue by
// column type. See pg_db.h for the invariants.
#include "pg_db.h"

#include <libpq-fe.h>

#include <array>
#include <charconv>
#include <cstring>
#include <memory>

namespace kestd {

namespace {

// Type oids of the built-in types (pg_type.h is a server header, so they are spelled here).
constexpr Oid kBoolOid = 16;
constexpr Oid kByteaOid = 17;
constexpr Oid kInt8Oid = 20;
constexpr Oid kInt2Oid = 21;
constexpr Oid kInt4Oid = 23;
constexpr Oid kTextOid = 25;
constexpr Oid kOidOid = 26;
constexpr Oid kNumericOid = 1700;

struct ResultFree {
    void operator()(PGresult* r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultFree>;

SqlError errorFrom(const PGresult* r, PGconn* conn, const std::string& context) {
    std::string msg = r ? PQresultErrorMessage(r) : PQerrorMessage(conn);
    while (!msg.empty() && (msg.back() == '\n' || msg.back() == ' ')) {
        msg.pop_back();
    }
    if (msg.empty()) {
        msg = "PostgreSQL error";
    }
    SqlError e(context.empty() ? msg : msg + " in: " + context);
    const char* state = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
    e.uniqueViolation = state && std::strcmp(state, "23505") == 0;
    return e;
}

void noticeIgnored(void*, const char*) {}

// Binary parameters for PQexecParams; the arrays stay valid while the object lives.
class Params {
  public:
    explicit Params(const std::vector<SqlValue>& params) {
        size_t n = params.size();
        types_.resize(n);
        values_.resize(n);
        lengths_.resize(n);
        formats_.assign(n, 1);
        ints_.resize(n);
        for (size_t i = 0; i < n; ++i) {
            const SqlValue& v = params[i];
            if (const auto* x = std::get_if<int64_t>(&v)) {
                auto u = static_cast<uint64_t>(*x);
                for (int b = 0; b < 8; ++b) {
                    ints_[i][b] = static_cast<char>(u >> (56 - 8 * b));
                }
                types_[i] = kInt8Oid;
                values_[i] = ints_[i].data();
                lengths_[i] = 8;
            } else if (const auto* s = std::get_if<std::string>(&v)) {
                types_[i] = kTextOid;
                values_[i] = s->data();
                lengths_[i] = static_cast<int>(s->size());
            } else if (const auto* b = std::get_if<Blob>(&v)) {
                types_[i] = kByteaOid;
                // A zero-length value must still be non-NULL.
                values_[i] = b->bytes.empty() ? "" : reinterpret_cast<const char*>(b->bytes.data());
                lengths_[i] = static_cast<int>(b->bytes.size());
            } else {
                types_[i] = 0;  // NULL: let the server infer the type from its use
                values_[i] = nullptr;
                lengths_[i] = 0;
            }
        }
    }
    int count() const { return static_cast<int>(types_.size()); }
    const Oid* types() const { return types_.data(); }
    const char* const* values() const { return values_.data(); }
    const int* lengths() const { return lengths_.data(); }
    const int* formats() const { return formats_.data(); }

  private:
    std::vector<Oid> types_;
    std::vector<const char*> values_;
    std::vector<int> lengths_;
    std::vector<int> formats_;
    std::vector<std::array<char, 8>> ints_;
};

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

Blob decodeBytea(const char* text, int len) {
    Blob b;
    if (len >= 2 && text[0] == '\\' && text[1] == 'x') {
        b.bytes.reserve((len - 2) / 2);
        for (int i = 2; i + 1 < len; i += 2) {
            int hi = hexDigit(text[i]);
            int lo = hexDigit(text[i + 1]);
            if (hi < 0 || lo < 0) {
                throw SqlError("malformed bytea value");
            }
            b.bytes.push_back(static_cast<uint8_t>(hi * 16 + lo));
        }
        return b;
    }
    // The older escape format (bytea_output = escape).
    size_t n = 0;
    unsigned char* raw = PQunescapeBytea(reinterpret_cast<const unsigned char*>(text), &n);
    if (!raw) {
        throw SqlError("malformed bytea value");
    }
    b.bytes.assign(raw, raw + n);
    PQfreemem(raw);
    return b;
}

SqlValue cellValue(const PGresult* r, int row, int col) {
    if (PQgetisnull(r, row, col)) {
        return std::monostate{};
    }
    const char* text = PQgetvalue(r, row, col);
    int len = PQgetlength(r, row, col);
    Oid type = PQftype(r, col);
    switch (type) {
        case kInt2Oid:
        case kInt4Oid:
        case kInt8Oid:
        case kOidOid:
        case kNumericOid: {
            int64_t v = 0;
            auto [end, ec] = std::from_chars(text, text + len, v);
            if (ec == std::errc() && end == text + len) {
                return v;
            }
            return std::string(text, len);  // a fraction or a number beyond int64
        }
        case kBoolOid:
            return int64_t{len > 0 && text[0] == 't'};
        case kByteaOid:
            return decodeBytea(text, len);
        default:
            return std::string(text, len);
    }
}

std::vector<SqlRow> toRows(const PGresult* r) {
    std::vector<SqlRow> rows;
    if (PQresultStatus(r) != PGRES_TUPLES_OK) {
        return rows;
    }
    int nRows = PQntuples(r);
    int nCols = PQnfields(r);
    rows.reserve(nRows);
    for (int i = 0; i < nRows; ++i) {
        SqlRow row;
        row.reserve(nCols);
        for (int c = 0; c < nCols; ++c) {
            row.push_back(cellValue(r, i, c));
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

bool resultOk(const PGresult* r) {
    auto s = PQresultStatus(r);
    return s == PGRES_COMMAND_OK || s == PGRES_TUPLES_OK;
}

}  // namespace

std::string rewritePlaceholders(std::string_view sql, int& count) {
    std::string out;
    out.reserve(sql.size() + 16);
    count = 0;
    size_t i = 0;
    while (i < sql.size()) {
        char c = sql[i];
        if (c == '\'' || c == '"') {
            // A quoted literal or identifier; a doubled quote stays inside it.
            size_t end = i + 1;
            while (end < sql.size() && sql[end] != c) {
                ++end;
            }
            end = end < sql.size() ? end + 1 : end;
            out.append(sql.substr(i, end - i));
            i = end;
        } else if (c == '-' && i + 1 < sql.size() && sql[i + 1] == '-') {
            size_t end = sql.find('\n', i);
            end = end == std::string_view::npos ? sql.size() : end;
            out.append(sql.substr(i, end - i));
            i = end;
        } else if (c == '/' && i + 1 < sql.size() && sql[i + 1] == '*') {
            size_t end = sql.find("*/", i + 2);
            end = end == std::string_view::npos ? sql.size() : end + 2;
            out.append(sql.substr(i, end - i));
            i = end;
        } else if (c == '?') {
            out += '$';
            out += std::to_string(++count);
            ++i;
        } else {
            out += c;
            ++i;
        }
    }
    return out;
}

PgDb::PgDb(const std::string& url) : url_(url) {
    connect();
}

PgDb::~PgDb() {
    if (conn_) {
        PQfinish(conn_);
    }
}

void PgDb::connect() {
    conn_ = PQconnectdb(url_.c_str());
    if (!conn_ || PQstatus(conn_) != CONNECTION_OK) {
        std::string msg = conn_ ? PQerrorMessage(conn_) : "out of memory";
        if (conn_) {
            PQfinish(conn_);
            conn_ = nullptr;
        }
        while (!msg.empty() && msg.back() == '\n') {
            msg.pop_back();
        }
        throw SqlError("cannot connect to PostgreSQL: " + msg);
    }
    PQsetNoticeProcessor(conn_, noticeIgnored, nullptr);
    if (PQsetClientEncoding(conn_, "UTF8") != 0) {
        PQfinish(conn_);
        conn_ = nullptr;
        throw SqlError("PostgreSQL refuses the UTF8 client encoding");
    }
}

// A connection found dead is replaced before the next statement, but never inside a
// transaction: its work is gone with the old connection, and only rollback() may follow.
void PgDb::ensureConnected() {
    if (conn_ && PQstatus(conn_) == CONNECTION_OK) {
        return;
    }
    if (inTx_) {
        throw SqlError("connection to PostgreSQL lost inside a transaction");
    }
    if (conn_) {
        PQfinish(conn_);
        conn_ = nullptr;
    }
    connect();
}

void PgDb::exec(const char* sql) {
    ensureConnected();
    Result r(PQexec(conn_, sql));
    if (!r || !resultOk(r.get())) {
        throw errorFrom(r.get(), conn_, sql);
    }
}

std::vector<SqlRow> PgDb::query(const std::string& sql, const std::vector<SqlValue>& params) {
    ensureConnected();
    if (inTx_) {
        return runInPipeline(sql, params);
    }
    int count = 0;
    std::string text = rewritePlaceholders(sql, count);
    if (count != static_cast<int>(params.size())) {
        throw SqlError("parameter count mismatch in: " + sql);
    }
    Params p(params);
    Result r(PQexecParams(conn_, text.c_str(), p.count(), p.types(), p.values(), p.lengths(),
                          p.formats(), 0));
    if (!r || !resultOk(r.get())) {
        throw errorFrom(r.get(), conn_, sql);
    }
    return toRows(r.get());
}

// Inside a transaction a statement runs between SAVEPOINT and RELEASE, all three sent at once
// (one round trip). When it fails, the savepoint is rolled back, so the transaction goes on
// without the statement's effects, as SQLite does after a failed statement.
std::vector<SqlRow> PgDb::runInPipeline(const std::string& sql,
                                        const std::vector<SqlValue>& params) {
    int count = 0;
    std::string text = rewritePlaceholders(sql, count);
    if (count != static_cast<int>(params.size())) {
        throw SqlError("parameter count mismatch in: " + sql);
    }
    Params p(params);
    if (PQenterPipelineMode(conn_) != 1) {
        throw errorFrom(nullptr, conn_, sql);
    }
    bool sent = PQsendQueryParams(conn_, "SAVEPOINT kest_stmt", 0, nullptr, nullptr, nullptr,
                                  nullptr, 0) == 1 &&
                PQsendQueryParams(conn_, text.c_str(), p.count(), p.types(), p.values(),
                                  p.lengths(), p.formats(), 0) == 1 &&
                PQsendQueryParams(conn_, "RELEASE SAVEPOINT kest_stmt", 0, nullptr, nullptr,
                                  nullptr, nullptr, 0) == 1 &&
                PQpipelineSync(conn_) == 1;
    if (!sent) {
        SqlError e = errorFrom(nullptr, conn_, sql);
        PQfinish(conn_);
        conn_ = nullptr;
        throw e;
    }
    std::array<Result, 3> results;
    bool broken = false;
    for (auto& slot : results) {
        // Each query yields its result(s) and then a null.
        while (PGresult* r = PQgetResult(conn_)) {
            if (!slot) {
                slot.reset(r);
            } else {
                PQclear(r);
            }
        }
        if (!slot) {
            broken = true;
            break;
        }
    }
    if (!broken) {
        Result sync(PQgetResult(conn_));
        broken = !sync || PQresultStatus(sync.get()) != PGRES_PIPELINE_SYNC;
    }
    if (broken || PQexitPipelineMode(conn_) != 1) {
        // The connection is out of step with the pipeline: give it up; the transaction is lost.
        SqlError e = errorFrom(nullptr, conn_, sql);
        PQfinish(conn_);
        conn_ = nullptr;
        throw e;
    }
    if (!resultOk(results[0].get())) {
        throw errorFrom(results[0].get(), conn_, "SAVEPOINT");
    }
    if (!resultOk(results[1].get())) {
        SqlError e = errorFrom(results[1].get(), conn_, sql);
        Result undo(PQexec(conn_, "ROLLBACK TO SAVEPOINT kest_stmt; RELEASE SAVEPOINT kest_stmt"));
        if (!undo || !resultOk(undo.get())) {
            throw errorFrom(undo.get(), conn_, "ROLLBACK TO SAVEPOINT");
        }
        throw e;
    }
    if (!resultOk(results[2].get())) {
        throw errorFrom(results[2].get(), conn_, "RELEASE SAVEPOINT");
    }
    return toRows(results[1].get());
}

void PgDb::execScript(const std::string& sql) {
    exec(sql.c_str());
}

void PgDb::begin() {
    if (inTx_) {
        throw SqlError("nested transaction");
    }
    ensureConnected();
    // READ COMMITTED plus one advisory lock for every writer: after taking the lock each
    // statement sees everything the writers before it committed, in any kestd process.
    std::string sql =
        "BEGIN; SELECT pg_advisory_xact_lock(" + std::to_string(kPgWriterLockKey) + ")";
    Result r(PQexec(conn_, sql.c_str()));
    if (!r || !resultOk(r.get())) {
        SqlError e = errorFrom(r.get(), conn_, "BEGIN");
        Result undo(PQexec(conn_, "ROLLBACK"));
        throw e;
    }
    inTx_ = true;
}

void PgDb::commit() {
    if (!inTx_) {
        throw SqlError("commit without a transaction");
    }
    inTx_ = false;
    if (!conn_) {
        throw SqlError("connection to PostgreSQL lost inside a transaction");
    }
    Result r(PQexec(conn_, "COMMIT"));
    if (!r || !resultOk(r.get())) {
        throw errorFrom(r.get(), conn_, "COMMIT");
    }
    // COMMIT of a transaction that failed answers ROLLBACK: that is a failure, not a success.
    if (std::strcmp(PQcmdStatus(r.get()), "COMMIT") != 0) {
        throw SqlError("the transaction was rolled back by PostgreSQL");
    }
}

void PgDb::rollback() {
    if (!inTx_) {
        return;
    }
    inTx_ = false;
    if (!conn_ || PQstatus(conn_) != CONNECTION_OK) {
        return;  // the server ended the transaction with the connection
    }
    Result r(PQexec(conn_, "ROLLBACK"));
    if (!r || !resultOk(r.get())) {
        throw errorFrom(r.get(), conn_, "ROLLBACK");
    }
}

std::unique_ptr<SqlDb> openPostgres(const std::string& url) {
    return std::make_unique<PgDb>(url);
}

}  // namespace kestd
