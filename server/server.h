// Server: kestd's listener and session threads. One thread per connection, at most
// maxSessions at once (a connection beyond that is closed at once with a log line); each
// session has its own database connection. A request frame that breaks the protocol (a length
// below 0 or above the body limit, a cut or unacknowledged transfer) ends that session only.
// stop() may be called from any thread, and requestStopFromSignal() from a signal handler:
// both close the listener and end every session, and run() returns after all have ended.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "accounts.h"
#include "config.h"
#include "sql_db.h"

namespace kestd {

class Server {
  public:
    using DbFactory = std::function<std::unique_ptr<SqlDb>()>;

    Server(ServerConfig config, DbFactory openDb);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds and listens on config.listen (port 0 picks a free port). Throws std::runtime_error.
    void listen();
    // The port actually listened on (after listen()).
    int port() const { return port_; }
    // Accepts and serves until stop(); returns when every session has ended.
    void run();
    void stop();
    // Async-signal-safe: only writes one byte to the wake-up pipe.
    void requestStopFromSignal();

    int activeSessions() const { return active_.load(); }

  private:
    void serve(int fd, std::string peer);

    ServerConfig config_;
    DbFactory openDb_;
    PasswordHasher hasher_;
    LoginThrottle throttle_;
    int listenFd_ = -1;
    int wakePipe_[2] = {-1, -1};
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<int> active_{0};
    std::mutex mutex_;
    std::condition_variable allEnded_;
    std::set<int> sessionFds_;
};

}  // namespace kestd
