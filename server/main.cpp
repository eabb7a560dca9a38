// kestd's entry: parse the command line, prepare the database, serve until SIGINT/SIGTERM.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "big5.h"
#include "log.h"
#include "options.h"
#include "server.h"
#include "setup.h"

namespace {

kestd::Server* gServer = nullptr;

void onSignal(int) {
    if (gServer)
        gServer->requestStopFromSignal();
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    kestd::Options o = kestd::parseOptions(args);
    if (o.help) {
        fputs(kestd::usageText().c_str(), stdout);
        return 0;
    }
    if (!o.error.empty()) {
        fprintf(stderr, "kestd: %s (see kestd --help)\n", o.error.c_str());
        return 2;
    }
    const kestd::ServerConfig& cfg = o.config;
    if (!o.backupFile.empty()) {
        if (!cfg.pgUrl.empty()) {
            fprintf(stderr, "kestd: for PostgreSQL use pg_dump, e.g. pg_dump -Fc -f FILE URL\n");
            return 2;
        }
        std::string error;
        if (!kestd::backupSqlite(cfg.dbPath, o.backupFile, error)) {
            fprintf(stderr, "kestd: backup failed: %s\n", error.c_str());
            return 1;
        }
        fprintf(stderr, "kestd: %s copied to %s\n", cfg.dbPath.c_str(), o.backupFile.c_str());
        return 0;
    }
    if (!wire::representableInBig5(cfg.company)) {
        fprintf(stderr, "kestd: the company name must be writable in Big5\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    try {
        auto openDb = [cfg]() -> std::unique_ptr<kestd::SqlDb> {
            return cfg.pgUrl.empty() ? kestd::openSqlite(cfg.dbPath)
                                     : kestd::openPostgres(cfg.pgUrl);
        };
        {
            auto db = openDb();
            kestd::PasswordHasher hasher(cfg.hashCost, cfg.maxConcurrentHashes);
            kestd::prepareDatabase(*db, hasher);
            if (o.demoCustomers > 0)
                kestd::seedDemo(*db, hasher, o.demoCustomers);
        }
        kestd::Server server(cfg, openDb);
        server.listen();
        gServer = &server;
        struct sigaction sa {};
        sa.sa_handler = onSignal;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, nullptr);
        sigaction(SIGTERM, &sa, nullptr);
        kestd::logLine(std::string("database ") +
                       (cfg.pgUrl.empty() ? cfg.dbPath : std::string("PostgreSQL")));
        server.run();
        gServer = nullptr;
    } catch (const std::exception& e) {
        fprintf(stderr, "kestd: %s\n", e.what());
        return 1;
    }
    return 0;
}
