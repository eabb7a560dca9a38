// kestd's command line: options into a ServerConfig, the backup sub-command, --demo, --help.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config.h"

namespace kestd {

struct Options {
    ServerConfig config;
    bool help = false;
    std::string backupFile;  // "kestd backup FILE"
    int64_t demoCustomers = 0;
    std::string error;  // non-empty: the command line is wrong
};

// Reads the arguments (without the program name). KEST_HASH_COST in the environment sets the
// hashing cost unless --hash-cost does.
Options parseOptions(const std::vector<std::string>& args);
std::string usageText();

}  // namespace kestd
