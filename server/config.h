// The settings of one kestd run, filled from the command line (see options.cpp for --help).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "accounts.h"

namespace kestd {

struct ServerConfig {
    std::string listen = "127.0.0.1:8001";
    std::string dbPath = "kestd.db";  // SQLite file; ignored when pgUrl is set
    std::string pgUrl;                // PostgreSQL URL or conninfo
    std::string company = "KestDB";
    int32_t acceptVersion = 10;
    size_t maxBody = 32u * 1024 * 1024;  // largest request body accepted
    int maxSessions = 64;
    int idleTimeoutSeconds = 300;               // always above the client's 30-second message check
    HashCost hashCost = HashCost::Interactive;  // argon2id at libsodium's INTERACTIVE limits
    int maxConcurrentHashes = 2;
    int loginDelayMs = 250;       // first gap after a failed login from an address
    int loginDelayCapMs = 10000;  // largest gap
    size_t maxReportRows = 100000;
};

}  // namespace kestd
