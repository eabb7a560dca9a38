// Helpers shared by every SqlDb implementation: single-row and single-integer queries and the
// value accessors. They only read what query() returns, so both engines behave alike.
#include "sql_db.h"

namespace kestd {

std::optional<SqlRow> SqlDb::queryOne(const std::string& sql, const std::vector<SqlValue>& params) {
    auto rows = query(sql, params);
    if (rows.empty())
        return std::nullopt;
    return std::move(rows.front());
}

int64_t SqlDb::queryInt(const std::string& sql, const std::vector<SqlValue>& params,
                        int64_t ifNone) {
    auto row = queryOne(sql, params);
    if (!row || row->empty() || std::holds_alternative<std::monostate>((*row)[0]))
        return ifNone;
    return asInt((*row)[0]);
}

int64_t asInt(const SqlValue& v) {
    if (auto* i = std::get_if<int64_t>(&v))
        return *i;
    if (auto* s = std::get_if<std::string>(&v)) {
        // PostgreSQL may hand numbers back as text; anything unparsable counts as 0.
        try {
            size_t used = 0;
            long long n = std::stoll(*s, &used);
            return used == s->size() ? n : 0;
        } catch (...) {
            return 0;
        }
    }
    return 0;
}

std::string asText(const SqlValue& v) {
    if (auto* s = std::get_if<std::string>(&v))
        return *s;
    if (auto* i = std::get_if<int64_t>(&v))
        return std::to_string(*i);
    if (auto* b = std::get_if<Blob>(&v))
        return std::string(b->bytes.begin(), b->bytes.end());
    return {};
}

const Blob* asBlob(const SqlValue& v) {
    return std::get_if<Blob>(&v);
}

}  // namespace kestd
