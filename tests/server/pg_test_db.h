// A fresh PostgreSQL database for one test, made from the admin URL in KEST_TEST_PG_URL (set by
// the CTest fixture "pg", see tests/server/CMakeLists.txt) and dropped again afterwards, so tests
// running side by side under ctest -j never see each other's tables.
// Invariant: the database name is generated here (letters, digits, '_'), never taken from input.
#pragma once

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <optional>
#include <random>
#include <string>

#include "pg_db.h"

namespace kestd::test {

// The admin URL, or empty when the tests run outside the fixture.
inline std::string pgAdminUrl() {
    const char* url = std::getenv("KEST_TEST_PG_URL");
    return url ? url : "";
}

class PgTestDatabase {
  public:
    // Creates the database; throws SqlError when PostgreSQL refuses.
    explicit PgTestDatabase(const std::string& adminUrl) : admin_(adminUrl) {
        static std::atomic<int> counter{0};
        std::random_device rd;
        name_ = "kest_t" + std::to_string(getpid()) + "_" + std::to_string(counter++) + "_" +
                std::to_string(rd() % 1000000);
        PgDb(admin_).execScript("CREATE DATABASE " + name_);
        url_ = withDatabase(admin_, name_);
    }
    ~PgTestDatabase() {
        try {
            PgDb(admin_).execScript("DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
        } catch (...) {
        }
    }
    PgTestDatabase(const PgTestDatabase&) = delete;
    PgTestDatabase& operator=(const PgTestDatabase&) = delete;

    const std::string& url() const { return url_; }
    const std::string& name() const { return name_; }

    // The URL with its database part replaced (postgresql://user@host:port/db?options).
    static std::string withDatabase(const std::string& url, const std::string& db) {
        size_t scheme = url.find("://");
        size_t pathStart = url.find('/', scheme == std::string::npos ? 0 : scheme + 3);
        size_t query = url.find('?');
        std::string rest = query == std::string::npos ? "" : url.substr(query);
        std::string base = pathStart == std::string::npos
                               ? url.substr(0, query == std::string::npos ? url.size() : query)
                               : url.substr(0, pathStart);
        return base + "/" + db + rest;
    }

  private:
    std::string admin_;
    std::string name_;
    std::string url_;
};

}  // namespace kestd::test
