// A real kestd for tests: the server library on a free loopback port, on a throw-away SQLite
// file or a fresh PostgreSQL database (from KEST_TEST_PG_URL), with the cheapest password
// hashing and a short login delay. Clients connect with the link/ channel as kestcrm does.
// The server stops and the database is removed when the object goes.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config.h"
#include "log.h"
#include "pg_test_db.h"
#include "requests.h"
#include "server.h"
#include "setup.h"
#include "socket.h"
#include "www_connection.h"

namespace kestd::test {

enum class Backend { Sqlite, Postgres };

inline const char* backendName(Backend b) {
    return b == Backend::Sqlite ? "Sqlite" : "Postgres";
}

// Collects the log lines of every server in the process (tests check what is logged).
class LogCapture {
  public:
    static LogCapture& instance() {
        static LogCapture c;
        return c;
    }
    std::vector<std::string> lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }

  private:
    LogCapture() {
        setLogSink([this](std::string_view line) {
            std::lock_guard lock(mutex_);
            if (lines_.size() < 100000)
                lines_.emplace_back(line);
        });
    }
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

class TestServer {
  public:
    explicit TestServer(Backend backend, ServerConfig config = {}) {
        LogCapture::instance();
        config.listen = "127.0.0.1:0";
        config.hashCost = HashCost::Minimum;
        config.loginDelayMs = 1;
        config.loginDelayCapMs = 5;
        config.company = "測試公司";
        if (backend == Backend::Postgres) {
            pg_ = std::make_unique<PgTestDatabase>(pgAdminUrl());
            std::string url = pg_->url();
            openDb_ = [url] { return openPostgres(url); };
        } else {
            static int counter = 0;
            path_ = (std::filesystem::temp_directory_path() /
                     ("kestd_test_" + std::to_string(getpid()) + "_" + std::to_string(counter++) +
                      ".db"))
                        .string();
            std::string path = path_;
            openDb_ = [path] { return openSqlite(path); };
        }
        {
            auto db = openDb_();
            PasswordHasher hasher(HashCost::Minimum, 1);
            prepareDatabase(*db, hasher);
        }
        server_ = std::make_unique<Server>(config, openDb_);
        server_->listen();
        thread_ = std::thread([this] { server_->run(); });
    }
    ~TestServer() {
        server_->stop();
        thread_.join();
        server_.reset();
        if (!path_.empty()) {
            for (const char* suffix : {"", "-wal", "-shm"})
                std::filesystem::remove(path_ + suffix);
        }
    }

    int port() const { return server_->port(); }
    std::string address() const { return "127.0.0.1:" + std::to_string(port()); }
    std::unique_ptr<SqlDb> openDb() { return openDb_(); }
    Server& server() { return *server_; }

  private:
    std::unique_ptr<PgTestDatabase> pg_;
    std::string path_;
    Server::DbFactory openDb_;
    std::unique_ptr<Server> server_;
    std::thread thread_;
};

// One kestcrm-like connection: its socket and channel.
class Client {
  public:
    explicit Client(const TestServer& s) : socket_(s.address().c_str()) {
        connected_ = socket_.connect_ms(3, 50);
        channel.socket = &socket_;
    }
    bool connected() const { return connected_; }
    wire::LoginReply login(const std::string& id, const std::string& password,
                           int32_t version = wire::kClientVersion) {
        return wire::login(channel, id, password, version);
    }
    socket_t& socket() { return socket_; }

    WWWconnection channel;

  private:
    win_socket socket_;
    bool connected_ = false;
};

}  // namespace kestd::test
