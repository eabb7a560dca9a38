// The accept loop and the per-connection request loop. Framing and chunk acknowledgements are
// link/'s transfer rule, the same code the client uses.
#include "server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

#include "log.h"
#include "protocol.h"
#include "session.h"
#include "socket.h"
#include "transfer.h"
#include "wire_io.h"

namespace kestd {
namespace {

std::string peerText(const sockaddr_storage& ss) {
    char buf[INET6_ADDRSTRLEN] = "?";
    if (ss.ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(ss).sin_addr, buf, sizeof buf);
    } else if (ss.ss_family == AF_INET6) {
        auto& a6 = reinterpret_cast<const sockaddr_in6&>(ss);
        if (IN6_IS_ADDR_V4MAPPED(&a6.sin6_addr))
            inet_ntop(AF_INET, &a6.sin6_addr.s6_addr[12], buf, sizeof buf);
        else
            inet_ntop(AF_INET6, &a6.sin6_addr, buf, sizeof buf);
    }
    return buf;
}

// "host:port", "[v6]:port" or ":port" (every address).
void splitAddress(const std::string& address, std::string& host, std::string& port) {
    auto colon = address.rfind(':');
    if (colon == std::string::npos)
        throw std::runtime_error("address without a port: " + address);
    host = address.substr(0, colon);
    port = address.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
}

int32_t le32(const unsigned char* b) {
    return static_cast<int32_t>(static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
                                (static_cast<uint32_t>(b[2]) << 16) |
                                (static_cast<uint32_t>(b[3]) << 24));
}

}  // namespace

Server::Server(ServerConfig config, DbFactory openDb)
    : config_(std::move(config)),
      openDb_(std::move(openDb)),
      hasher_(config_.hashCost, config_.maxConcurrentHashes),
      throttle_(std::chrono::milliseconds(config_.loginDelayMs),
                std::chrono::milliseconds(config_.loginDelayCapMs)) {
    if (pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error(std::string("pipe: ") + strerror(errno));
}

Server::~Server() {
    stop();
    if (listenFd_ >= 0)
        close(listenFd_);
    close(wakePipe_[0]);
    close(wakePipe_[1]);
}

void Server::listen() {
    std::string host, port;
    splitAddress(config_.listen, host, port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* res = nullptr;
    int rc = getaddrinfo(host.empty() ? nullptr : host.c_str(), port.c_str(), &hints, &res);
    if (rc != 0)
        throw std::runtime_error("cannot resolve " + config_.listen + ": " + gai_strerror(rc));
    std::string lastError = "no address";
    for (addrinfo* ai = res; ai; ai = ai->ai_next) {
        int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0)
            continue;
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (bind(fd, ai->ai_addr, ai->ai_addrlen) == 0 && ::listen(fd, 64) == 0) {
            listenFd_ = fd;
            break;
        }
        lastError = strerror(errno);
        close(fd);
    }
    freeaddrinfo(res);
    if (listenFd_ < 0)
        throw std::runtime_error("cannot listen on " + config_.listen + ": " + lastError);
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    getsockname(listenFd_, reinterpret_cast<sockaddr*>(&ss), &len);
    port_ = ntohs(ss.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(ss).sin6_port
                                           : reinterpret_cast<sockaddr_in&>(ss).sin_port);
}

void Server::requestStopFromSignal() {
    char b = 1;
    ssize_t n = write(wakePipe_[1], &b, 1);
    (void)n;
}

void Server::stop() {
    stopping_ = true;
    requestStopFromSignal();
    std::lock_guard lock(mutex_);
    for (int fd : sessionFds_)
        shutdown(fd, SHUT_RDWR);
}

void Server::run() {
    if (listenFd_ < 0)
        listen();
    logLine("listening on " + config_.listen + " (port " + std::to_string(port_) + ")");
    while (!stopping_) {
        pollfd p[2] = {{listenFd_, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
        if (poll(p, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            logLine(std::string("poll: ") + strerror(errno));
            break;
        }
        if (p[1].revents)
            break;
        if (!(p[0].revents & POLLIN))
            continue;
        sockaddr_storage ss{};
        socklen_t len = sizeof ss;
        int fd = accept4(listenFd_, reinterpret_cast<sockaddr*>(&ss), &len, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED) {
                logLine(std::string("accept: ") + strerror(errno));
                // Out of descriptors or memory: give the sessions a moment to end.
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            continue;
        }
        std::string peer = peerText(ss);
        {
            std::lock_guard lock(mutex_);
            if (static_cast<int>(sessionFds_.size()) >= config_.maxSessions) {
                logLine("refused " + peer + ": " + std::to_string(config_.maxSessions) +
                        " sessions already");
                close(fd);
                continue;
            }
            sessionFds_.insert(fd);
            ++active_;
        }
        try {
            std::thread(&Server::serve, this, fd, peer).detach();
        } catch (const std::exception& e) {
            logLine("cannot start a session thread: " + std::string(e.what()));
            std::lock_guard lock(mutex_);
            sessionFds_.erase(fd);
            --active_;
            close(fd);
        }
    }
    stopping_ = true;
    {
        std::unique_lock lock(mutex_);
        for (int fd : sessionFds_)
            shutdown(fd, SHUT_RDWR);
        allEnded_.wait(lock, [&] { return sessionFds_.empty(); });
    }
    if (listenFd_ >= 0) {
        close(listenFd_);
        listenFd_ = -1;
    }
    logLine("stopped");
}

void Server::serve(int fd, std::string peer) {
    std::unique_ptr<win_socket> sock = win_socket::adopt(fd);
    std::string reason = "closed by the client";
    logLine("session start " + peer);
    try {
        std::unique_ptr<SqlDb> db = openDb_();
        Session session({config_, hasher_, throttle_}, *db, peer);
        std::string body;
        while (!stopping_) {
            unsigned char word[4];
            int n = sock->read(word, 4, 4, config_.idleTimeoutSeconds);
            if (n != 4) {
                reason = n >= 0 ? (n == 0 ? "idle time-out" : "cut request code")
                                : "closed by the client";
                break;
            }
            int32_t code = le32(word);
            body.clear();
            if (wire::requestHasBody(code)) {
                if (!wire::receiveTransfer(*sock, word, 4, wire::kReadTimeoutSeconds)) {
                    reason = "cut request length";
                    break;
                }
                int32_t length = le32(word);
                if (length < 0 || static_cast<size_t>(length) > config_.maxBody) {
                    // Refused before anything is allocated; the body is never read, so the
                    // connection cannot go on.
                    reason = "request length " + std::to_string(length) + " refused";
                    wire::StringWriter w;
                    w.appendInt32(4);
                    w.appendInt32(wire::kStatusFailed);
                    sock->write(w.bytes().data(), w.bytes().size());
                    break;
                }
                body.resize(static_cast<size_t>(length));
                if (!wire::receiveTransfer(*sock, body.data(), body.size(),
                                           wire::kReadTimeoutSeconds)) {
                    reason = "cut or unacknowledged request body";
                    break;
                }
            }
            std::optional<std::string> reply = session.handle(code, body);
            if (!reply)
                continue;
            wire::StringWriter w;
            w.appendInt32(static_cast<int32_t>(reply->size()));
            if (!wire::sendTransfer(*sock, w.bytes().data(), 4, wire::kReadTimeoutSeconds) ||
                !wire::sendTransfer(*sock, reply->data(), reply->size(),
                                    wire::kReadTimeoutSeconds)) {
                reason = "reply not delivered";
                break;
            }
            // A large body once is no reason to hold its memory for the rest of the session.
            if (body.capacity() > (1u << 20))
                std::string().swap(body);
        }
        if (stopping_)
            reason = "server stopping";
    } catch (const std::exception& e) {
        reason = std::string("error: ") + e.what();
    }
    logLine("session end " + peer + " (" + reason + ")");
    // Notified under the lock: once run() sees the set empty it may destroy this Server, so
    // nothing here touches a member after the lock is released.
    std::lock_guard lock(mutex_);
    sessionFds_.erase(fd);
    sock->close();
    --active_;
    allEnded_.notify_all();
}

}  // namespace kestd
