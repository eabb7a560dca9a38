// Command-line parsing. Every option is documented in usageText(); numbers are checked for
// their range so a typo cannot start a server without limits.
#include "options.h"

#include <cstdlib>

namespace kestd {
namespace {

bool toInt(const std::string& s, int64_t lo, int64_t hi, int64_t& out) {
    if (s.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    long long v = strtoll(s.c_str(), &end, 10);
    if (errno || *end || v < lo || v > hi)
        return false;
    out = v;
    return true;
}

// "32M", "65536", "1G": a byte count.
bool toBytes(const std::string& s, int64_t& out) {
    if (s.empty())
        return false;
    int64_t mult = 1;
    std::string digits = s;
    char last = s.back();
    if (last == 'K' || last == 'k')
        mult = 1024;
    if (last == 'M' || last == 'm')
        mult = 1024 * 1024;
    if (last == 'G' || last == 'g')
        mult = 1024 * 1024 * 1024;
    if (mult != 1)
        digits.pop_back();
    int64_t v;
    if (!toInt(digits, 1, INT32_MAX, v) || v * mult > INT32_MAX)
        return false;
    out = v * mult;
    return true;
}

}  // namespace

std::string usageText() {
    return R"(kestd: the KestDB CRM server.

Usage:
  kestd [options]              serve kestcrm clients
  kestd backup FILE [--db PATH]
                               write a consistent copy of the SQLite database to FILE
                               (for PostgreSQL use pg_dump)

Options:
  --listen ADDR:PORT     address and port to listen on (default 127.0.0.1:8001;
                         0.0.0.0:8001 serves the office network, port 0 picks a free port)
  --db PATH              SQLite database file (default kestd.db in the current folder);
                         created with its schema and the account ADMIN / PLOVK when missing
  --pg URL               use PostgreSQL instead, e.g. postgresql://user@host/kestdb
                         (several kestd processes may share one database)
  --company NAME         company name sent to clients at login (default KestDB)
  --accept-version N     client version accepted at login (default 10)
  --max-body BYTES       largest request body, pictures included (default 32M; K/M/G allowed)
  --max-sessions N       most clients served at once (default 64)
  --idle-timeout SEC     close a session silent this long (default 300, at least 31)
  --hash-cost COST       argon2id cost for new passwords: interactive (default, 64 MiB),
                         moderate (256 MiB), or min (tests only); also KEST_HASH_COST
  --max-hashes N         most password hashes computed at once (default 2)
  --login-delay-ms MS    first wait after a failed login from an address, doubling per
                         further failure (default 250)
  --login-delay-cap-ms MS  longest such wait (default 10000)
  --max-report-rows N    most rows of one report (default 100000)
  --demo N               seed N demo customers with categories, employees (password DEMO) and
                         events when the database holds no customers yet, then serve
  --help                 this text

Logs go to standard error: one line per session start and end and per refused request.
SIGINT or SIGTERM stops the server cleanly.
)";
}

Options parseOptions(const std::vector<std::string>& args) {
    Options o;
    if (const char* env = getenv("KEST_HASH_COST")) {
        if (auto c = parseHashCost(env))
            o.config.hashCost = *c;
    }
    size_t i = 0;
    if (!args.empty() && args[0] == "backup") {
        if (args.size() < 2 || args[1].rfind("--", 0) == 0) {
            o.error = "backup needs a FILE";
            return o;
        }
        o.backupFile = args[1];
        i = 2;
    }
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            o.help = true;
            continue;
        }
        if (i + 1 >= args.size()) {
            o.error = a.rfind("--", 0) == 0 ? a + " needs a value" : "unknown argument " + a;
            return o;
        }
        const std::string& v = args[++i];
        int64_t n = 0;
        if (a == "--listen") {
            if (v.find(':') == std::string::npos)
                o.error = "--listen needs ADDR:PORT";
            o.config.listen = v;
        } else if (a == "--db") {
            o.config.dbPath = v;
        } else if (a == "--pg") {
            o.config.pgUrl = v;
        } else if (a == "--company") {
            o.config.company = v;
        } else if (a == "--accept-version") {
            if (!toInt(v, INT32_MIN, INT32_MAX, n))
                o.error = "bad --accept-version";
            o.config.acceptVersion = static_cast<int32_t>(n);
        } else if (a == "--max-body") {
            if (!toBytes(v, n) || n < 1024)
                o.error = "bad --max-body (at least 1K)";
            o.config.maxBody = static_cast<size_t>(n);
        } else if (a == "--max-sessions") {
            if (!toInt(v, 1, 100000, n))
                o.error = "bad --max-sessions";
            o.config.maxSessions = static_cast<int>(n);
        } else if (a == "--idle-timeout") {
            // Longer than the client's 30-second message check, or every idle client is cut.
            if (!toInt(v, 31, 86400 * 7, n))
                o.error = "bad --idle-timeout (31 to 604800)";
            o.config.idleTimeoutSeconds = static_cast<int>(n);
        } else if (a == "--hash-cost") {
            auto c = parseHashCost(v);
            if (!c)
                o.error = "bad --hash-cost (moderate, interactive or min)";
            else
                o.config.hashCost = *c;
        } else if (a == "--max-hashes") {
            if (!toInt(v, 1, 256, n))
                o.error = "bad --max-hashes";
            o.config.maxConcurrentHashes = static_cast<int>(n);
        } else if (a == "--login-delay-ms") {
            if (!toInt(v, 0, 600000, n))
                o.error = "bad --login-delay-ms";
            o.config.loginDelayMs = static_cast<int>(n);
        } else if (a == "--login-delay-cap-ms") {
            if (!toInt(v, 0, 600000, n))
                o.error = "bad --login-delay-cap-ms";
            o.config.loginDelayCapMs = static_cast<int>(n);
        } else if (a == "--max-report-rows") {
            if (!toInt(v, 1, 10000000, n))
                o.error = "bad --max-report-rows";
            o.config.maxReportRows = static_cast<size_t>(n);
        } else if (a == "--demo") {
            if (!toInt(v, 1, 20000000, n))
                o.error = "bad --demo";
            o.demoCustomers = n;
        } else {
            o.error = "unknown option " + a;
        }
        if (!o.error.empty())
            return o;
    }
    return o;
}

}  // namespace kestd
