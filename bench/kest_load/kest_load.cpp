// kest_load: customer searches against a real kestd, the way the client sends them.
//
// One run measures, against one database (SQLite file or PostgreSQL URL):
//   1. the floor: a bare loopback TCP round trip of 4 bytes;
//   2. per search, one client over the wire vs the same count + page run in-process through the
//      server's own storage code (the server's overhead);
//   3. N concurrent clients (default 50) running the search mix: p50/p99 latency, searches/s;
//   4. infix name searches with their counts, trigram-indexed vs a plain scan, and a check that
//      both select the identical rows.
// kestd is started as a child with --demo N (a database that already holds customers is used
// as it is) and stopped at the end. Only the figures are printed; no figure is asserted.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "condition.h"
#include "requests.h"
#include "socket.h"
#include "sql_db.h"
#include "storage.h"
#include "www_connection.h"

namespace {

using Clock = std::chrono::steady_clock;

double micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

// CPU time of the calling thread in microseconds: the in-process figures without the waits a
// busy machine adds.
double threadCpuMicros() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

struct Stats {
    double p50 = 0, p99 = 0;
    size_t n = 0;
};

Stats stats(std::vector<double> v) {
    Stats s;
    s.n = v.size();
    if (v.empty()) {
        return s;
    }
    std::sort(v.begin(), v.end());
    s.p50 = v[v.size() / 2];
    s.p99 = v[std::min(v.size() - 1, v.size() * 99 / 100)];
    return s;
}

struct Args {
    std::string kestd = KEST_KESTD_PATH;
    std::string db;
    std::string pg;
    int64_t customers = 1000000;
    int clients = 50;
    double seconds = 10;
    int port = 0;
};

void usage() {
    std::fprintf(stderr,
                 "usage: kest_load (--db FILE | --pg URL) [--customers N] [--clients N]\n"
                 "                 [--seconds S] [--port P] [--kestd PATH]\n"
                 "Starts kestd on the database (seeding N demo customers when it holds none),\n"
                 "runs the searches and prints the figures.\n");
}

bool parseArgs(int argc, char** argv, Args& a) {
    for (int i = 1; i < argc; ++i) {
        std::string k = argv[i];
        if (i + 1 >= argc) {
            return false;
        }
        std::string v = argv[++i];
        if (k == "--db") {
            a.db = v;
        } else if (k == "--pg") {
            a.pg = v;
        } else if (k == "--customers") {
            a.customers = std::atoll(v.c_str());
        } else if (k == "--clients") {
            a.clients = std::atoi(v.c_str());
        } else if (k == "--seconds") {
            a.seconds = std::atof(v.c_str());
        } else if (k == "--port") {
            a.port = std::atoi(v.c_str());
        } else if (k == "--kestd") {
            a.kestd = v;
        } else {
            return false;
        }
    }
    return a.db.empty() != a.pg.empty() && a.clients > 0 && a.customers > 0;
}

int freePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    int port = ntohs(sa.sin_port);
    ::close(fd);
    return port;
}

// ---- kestd as a child process ------------------------------------------------------------------

class Kestd {
  public:
    Kestd(const Args& a, int port) {
        std::vector<std::string> argv = {a.kestd,
                                         "--listen",
                                         "127.0.0.1:" + std::to_string(port),
                                         a.db.empty() ? "--pg" : "--db",
                                         a.db.empty() ? a.pg : a.db,
                                         "--demo",
                                         std::to_string(a.customers),
                                         "--hash-cost",
                                         "min",
                                         "--max-sessions",
                                         std::to_string(a.clients + 8),
                                         "--company",
                                         "kest_load"};
        pid_ = fork();
        if (pid_ == 0) {
            // Session lines would drown the figures: kestd's log goes to a file.
            FILE* log = std::freopen("kest_load_kestd.log", "a", stderr);
            (void)log;
            std::vector<char*> cargv;
            for (auto& s : argv) {
                cargv.push_back(s.data());
            }
            cargv.push_back(nullptr);
            execv(cargv[0], cargv.data());
            _exit(127);
        }
    }
    ~Kestd() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int st = 0;
            waitpid(pid_, &st, 0);
        }
    }
    bool alive() { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

  private:
    pid_t pid_ = -1;
};

// ---- one client ------------------------------------------------------------------------------

struct Client {
    std::unique_ptr<win_socket> socket;
    WWWconnection channel;
    wire::Oid employee = 0;

    bool open(const std::string& address) {
        socket = std::make_unique<win_socket>(address.c_str());
        if (!socket->connect_ms(3, 200)) {
            return false;
        }
        channel.socket = socket.get();
        auto r = wire::login(channel, "ADMIN", "PLOVK");
        employee = r.employeeOid;
        return r.status >= wire::kStatusOk || r.status == -1;
    }
};

struct Search {
    std::string label;
    std::string condition;
    int32_t offset;
    bool indexed;  // served by an index (no full scan)
};

// ---- the floor: a bare loopback round trip ------------------------------------------------------

double echoRoundTrip(int rounds) {
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len);
    ::listen(listener, 1);
    std::thread server([&] {
        int fd = ::accept(listener, nullptr, nullptr);
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        char buf[4];
        while (::recv(fd, buf, 4, MSG_WAITALL) == 4) {
            if (::send(fd, buf, 4, MSG_NOSIGNAL) != 4) {
                break;
            }
        }
        ::close(fd);
    });
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::vector<double> t;
    char buf[4] = {1, 2, 3, 4};
    for (int i = 0; i < rounds; ++i) {
        auto t0 = Clock::now();
        ::send(fd, buf, 4, MSG_NOSIGNAL);
        ::recv(fd, buf, 4, MSG_WAITALL);
        t.push_back(micros(Clock::now() - t0));
    }
    ::close(fd);
    server.join();
    ::close(listener);
    return stats(t).p50;
}

// ---- in-process: the server's storage code on its own connection
// ---------------------------------

std::optional<kestd::SqlFilter> filterFor(const std::string& text, kestd::Dialect d, bool plain) {
    auto c = kestd::parseCondition(text);
    if (!c) {
        return std::nullopt;
    }
    auto f = plain ? kestd::conditionToSqlPlainScan(*c, kestd::ConditionTopic::Customer, d)
                   : kestd::conditionToSql(*c, kestd::ConditionTopic::Customer, d);
    if (!f) {
        return std::nullopt;
    }
    return kestd::SqlFilter{f->where == "1=1" ? std::string() : f->where, std::move(f->params)};
}

template <class Fn>
std::vector<double> timeRuns(int runs, Fn&& fn) {
    std::vector<double> t;
    for (int i = 0; i < runs; ++i) {
        auto t0 = Clock::now();
        fn();
        t.push_back(micros(Clock::now() - t0));
    }
    return t;
}

std::vector<int64_t> matchingOids(kestd::SqlDb& db, const kestd::SqlFilter& f) {
    std::vector<int64_t> out;
    for (auto& r :
         db.query("SELECT c.oid FROM customer c WHERE " + f.where + " ORDER BY c.oid", f.params)) {
        out.push_back(kestd::asInt(r[0]));
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    Args a;
    if (!parseArgs(argc, argv, a)) {
        usage();
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    int port = a.port ? a.port : freePort();
    std::string address = "127.0.0.1:" + std::to_string(port);
    const char* backend = a.db.empty() ? "PostgreSQL" : "SQLite";

    std::printf("kest_load: %s, %lld demo customers, %d clients, %.0f s; kestd %s\n", backend,
                static_cast<long long>(a.customers), a.clients, a.seconds, a.kestd.c_str());
    std::fflush(stdout);

    Kestd server(a, port);
    // Seeding a million customers takes minutes: wait until kestd accepts a login.
    auto probePtr = std::make_unique<Client>();
    auto started = Clock::now();
    while (!probePtr->open(address)) {
        if (!server.alive()) {
            std::fprintf(stderr, "kestd ended; see kest_load_kestd.log\n");
            return 1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        probePtr = std::make_unique<Client>();
    }
    std::printf("kestd ready after %.1f s\n", micros(Clock::now() - started) / 1e6);
    Client& probe = *probePtr;

    std::unique_ptr<kestd::SqlDb> db =
        a.db.empty() ? kestd::openPostgres(a.pg) : kestd::openSqlite(a.db);
    kestd::Store store(*db);
    kestd::Dialect dialect = db->dialect();
    if (dialect == kestd::Dialect::Postgres) {
        db->execScript("ANALYZE");
    }
    int64_t total = db->queryInt("SELECT count(*) FROM customer");
    std::printf("customers in the database: %lld\n\n", static_cast<long long>(total));

    // An employee for the employee filter: the one responsible for the first customer.
    int64_t emp = db->queryInt("SELECT employee_oid FROM customer ORDER BY oid LIMIT 1");
    std::string e = std::to_string(emp);
    const std::vector<Search> searches = {
        {"name, 1 character", "name like '%陳%'", 0, false},
        {"name, 2 characters", "name like '%永盛%'", 0, false},
        {"name, 3 characters", "name like '%永盛貿%'", 0, true},
        {"name, 4 characters", "name like '%電子有限%'", 0, true},
        {"category + name (2)", "category.name='重要客戶' and name like '%台北%'", 0, false},
        {"category + name (3)", "category.name='重要客戶' and name like '%台北電%'", 0, true},
        {"name (2) + employee",
         "name like '%大同%' and (employee=" + e + " or followEmployee=" + e + ")", 0, false},
        {"name (3) + employee",
         "name like '%大同印%' and (employee=" + e + " or followEmployee=" + e + ")", 0, true},
        {"number", "id like '%12345%'", 0, true},
        {"name (3), page 3", "name like '%永盛貿%'", 50, true},
        {"everything, page 101", "", 2500, true},
    };

    // 1. The floor.
    double echo = echoRoundTrip(20000);
    std::printf("loopback echo round trip (4 bytes), p50: %.1f us\n\n", echo);

    // 2. One client over the wire vs in-process.
    std::printf(
        "| search | rows | direct p50 (ms) | 1 client p50 (ms) | overhead (us) | goal (us) |\n");
    std::printf("|---|---|---|---|---|---|\n");
    kestd::Viewer admin{probe.employee, true};
    for (const auto& s : searches) {
        auto f = filterFor(s.condition, dialect, false);
        if (!f) {
            std::fprintf(stderr, "condition refused: %s\n", s.condition.c_str());
            return 1;
        }
        // As many runs as fit in about three seconds (9 to 301), direct and wire alternating
        // so that both see the same load on the machine.
        int64_t count = 0;
        auto warm = Clock::now();
        store.customerPage(*f, s.offset, admin);  // warm the cache
        double once = micros(Clock::now() - warm);
        int runs = static_cast<int>(std::clamp(3e6 / std::max(once, 1.0), 9.0, 301.0));
        bool ok = true;
        std::vector<double> directTimes, wireTimes;
        for (int i = 0; i < runs; ++i) {
            auto t0 = Clock::now();
            count = store.customerPage(*f, s.offset, admin).total;
            auto t1 = Clock::now();
            auto page = wire::queryCustomers(probe.channel, s.condition, s.offset);
            auto t2 = Clock::now();
            ok = ok && page.ok && page.total == count;
            directTimes.push_back(micros(t1 - t0));
            wireTimes.push_back(micros(t2 - t1));
        }
        auto direct = stats(directTimes);
        auto wire = stats(wireTimes);
        std::printf("| %s | %lld | %.2f | %.2f | %.0f | %.0f |%s\n", s.label.c_str(),
                    static_cast<long long>(count), direct.p50 / 1000, wire.p50 / 1000,
                    wire.p50 - direct.p50, echo + 100, ok ? "" : " (reply differs!)");
        std::fflush(stdout);
    }

    // 3. N clients at once: the whole mix, then only the searches an index serves.
    auto runClients = [&](const std::vector<Search>& mixSearches, const char* what) {
        std::vector<std::unique_ptr<Client>> clients;
        for (int i = 0; i < a.clients; ++i) {
            auto c = std::make_unique<Client>();
            if (!c->open(address)) {
                std::fprintf(stderr, "client %d cannot log in\n", i);
                std::exit(1);
            }
            clients.push_back(std::move(c));
        }
        std::vector<std::vector<double>> lat(a.clients);
        std::atomic<int> failures{0};
        auto deadline =
            Clock::now() + std::chrono::milliseconds(static_cast<int>(a.seconds * 1000));
        auto t0 = Clock::now();
        std::vector<std::thread> threads;
        for (int i = 0; i < a.clients; ++i) {
            threads.emplace_back([&, i] {
                size_t k = static_cast<size_t>(i);
                while (Clock::now() < deadline) {
                    const Search& s = mixSearches[k++ % mixSearches.size()];
                    auto start = Clock::now();
                    auto page = wire::queryCustomers(clients[i]->channel, s.condition, s.offset);
                    lat[i].push_back(micros(Clock::now() - start));
                    if (!page.ok) {
                        ++failures;
                    }
                }
            });
        }
        for (auto& t : threads) {
            t.join();
        }
        double elapsed = micros(Clock::now() - t0) / 1e6;
        std::vector<double> all;
        for (auto& v : lat) {
            all.insert(all.end(), v.begin(), v.end());
        }
        auto mix = stats(all);
        std::printf(
            "%d clients, %s, %.1f s: %zu searches, %.1f searches/s, p50 %.1f ms, "
            "p99 %.1f ms, failures %d\n",
            a.clients, what, elapsed, mix.n, mix.n / elapsed, mix.p50 / 1000, mix.p99 / 1000,
            failures.load());
        std::fflush(stdout);
    };
    std::printf("\n");
    runClients(searches, "every search above in turn");
    std::vector<Search> indexedOnly;
    for (const auto& s : searches) {
        if (s.indexed) {
            indexedOnly.push_back(s);
        }
    }
    runClients(indexedOnly, "the index-served searches only");
    std::printf("\n");

    // 4. Infix search with its count: trigram index vs plain scan, identical rows. Wall time
    // and the thread's CPU time (the latter unaffected by other load on the machine).
    std::printf(
        "| infix search (count + first page) | count | indexed p50 ms (CPU ms) | plain scan p50 ms "
        "(CPU ms) | speed-up (CPU) | same rows |\n|---|---|---|---|---|---|\n");
    for (const char* text : {"name like '%永盛貿%'", "name like '%電子有限%'",
                             "name like '%台北電子股份%'", "id like '%12345%'"}) {
        auto idx = filterFor(text, dialect, false);
        auto plain = filterFor(text, dialect, true);
        int64_t count = 0;
        std::vector<double> cpuIdx, cpuPlain;
        store.customerPage(*idx, 0, admin);
        auto ti = stats(timeRuns(21, [&] {
            double c0 = threadCpuMicros();
            count = store.customerPage(*idx, 0, admin).total;
            cpuIdx.push_back(threadCpuMicros() - c0);
        }));
        store.customerPage(*plain, 0, admin);
        auto tp = stats(timeRuns(5, [&] {
            double c0 = threadCpuMicros();
            store.customerPage(*plain, 0, admin);
            cpuPlain.push_back(threadCpuMicros() - c0);
        }));
        double ci = stats(cpuIdx).p50, cp = stats(cpuPlain).p50;
        bool same = matchingOids(*db, *idx) == matchingOids(*db, *plain);
        std::printf("| `%s` | %lld | %.2f (%.2f) | %.1f (%.1f) | %.0fx (%.0fx) | %s |\n", text,
                    static_cast<long long>(count), ti.p50 / 1000, ci / 1000, tp.p50 / 1000,
                    cp / 1000, tp.p50 / ti.p50, ci > 0 ? cp / ci : 0.0, same ? "yes" : "NO");
        std::fflush(stdout);
    }
    return 0;
}
