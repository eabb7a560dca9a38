// win_socket over POSIX stream sockets. Every operation reports through its result and the
// error code and never throws; a failed operation leaves the object in a state where the
// destructor can still close it. Writes use MSG_NOSIGNAL so that a closed peer is an error
// code (EPIPE), never a SIGPIPE.
#include "socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

// ---- socket_t: the operations no client path reaches

bool socket_t::read_text(char* buf, size_t buf_size, time_t) {
    if (buf && buf_size > 0) {
        buf[0] = '\0';
    }
    return false;
}

bool socket_t::write_text(const char*) {
    return false;
}

std::unique_ptr<socket_t> socket_t::accept() {
    return nullptr;
}

bool socket_t::stop_accepting() {
    return true;
}

// ---- win_socket

namespace {

constexpr size_t kMaxHostLength = 256;  // a host part this long or longer is a bad address

// Splits "host:port". The port is an unsigned decimal after optional blanks; anything after
// its digits is ignored. A port above 65535 is refused rather than wrapped.
bool parseAddress(const std::string& address, std::string& host, uint16_t& port) {
    size_t colon = address.find(':');
    if (colon == std::string::npos || colon >= kMaxHostLength) {
        return false;
    }
    host = address.substr(0, colon);
    size_t i = colon + 1;
    while (i < address.size() && (address[i] == ' ' || address[i] == '\t')) {
        ++i;
    }
    if (i >= address.size() || address[i] < '0' || address[i] > '9') {
        return false;
    }
    unsigned long value = 0;
    while (i < address.size() && address[i] >= '0' && address[i] <= '9') {
        value = value * 10 + static_cast<unsigned long>(address[i] - '0');
        if (value > 65535) {
            return false;
        }
        ++i;
    }
    port = static_cast<uint16_t>(value);
    return true;
}

// connect() that survives a signal: after EINTR the connection goes on in the background, so
// wait for it and take its outcome from SO_ERROR.
int connectHandle(int fd, const sockaddr* addr, socklen_t len) {
    if (::connect(fd, addr, len) == 0) {
        return 0;
    }
    if (errno != EINTR && errno != EINPROGRESS) {
        return errno;
    }
    for (;;) {
        pollfd p{fd, POLLOUT, 0};
        int rc = ::poll(&p, 1, -1);
        if (rc < 0 && errno == EINTR) {
            continue;
        }
        if (rc < 0) {
            return errno;
        }
        int err = 0;
        socklen_t errLen = sizeof err;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &errLen) != 0) {
            return errno;
        }
        return err;
    }
}

}  // namespace

win_socket::win_socket(const char* address) {
    if (address) {
        address_ = std::string(address);
    }
}

std::unique_ptr<win_socket> win_socket::adopt(int handle) {
    std::unique_ptr<win_socket> s(new win_socket());
    s->handle_ = handle;
    if (handle >= 0) {
        s->state_ = kOpen;
        int one = 1;
        // Not every stream (a socketpair in tests) knows the option; that is no failure.
        ::setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    return s;
}

win_socket::~win_socket() {
    close();
}

bool win_socket::connect(int attempts, int pause_seconds) {
    return connect_ms(attempts, pause_seconds * 1000);
}

bool win_socket::connect_ms(int attempts, int pause_ms) {
    if (state_ != kClosed) {
        close();
    }
    std::string host;
    uint16_t port = 0;
    if (!address_ || !parseAddress(*address_, host, port)) {
        errcode_ = bad_address;
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    if (host.empty() || ::getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0 || !list) {
        if (list) {
            ::freeaddrinfo(list);
        }
        errcode_ = bad_address;
        return false;
    }
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> guard(list, ::freeaddrinfo);

    for (int pass = 1;; ++pass) {
        for (addrinfo* ai = list; ai; ai = ai->ai_next) {
            if (ai->ai_family != AF_INET || ai->ai_addrlen < sizeof(sockaddr_in)) {
                continue;
            }
            sockaddr_in addr;
            std::memcpy(&addr, ai->ai_addr, sizeof addr);
            addr.sin_port = htons(port);
            int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
            if (fd < 0) {
                errcode_ = errno;
                return false;
            }
            int err = connectHandle(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
            if (err == 0) {
                int one = 1;
                if (::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) {
                    errcode_ = errno;
                    ::close(fd);
                    return false;
                }
                handle_ = fd;
                state_ = kOpen;
                errcode_ = ok_code;
                return true;
            }
            errcode_ = err;
            ::close(fd);
            if (err != ECONNREFUSED) {
                return false;
            }
        }
        if (pass >= attempts) {
            break;
        }
        if (pause_ms > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
        }
    }
    errcode_ = connection_failed;
    return false;
}

int win_socket::read(void* buf, size_t min_size, size_t max_size, time_t timeout) {
    if (state_ != kOpen) {
        errcode_ = not_opened;
        return -1;
    }
    if (max_size < min_size) {
        max_size = min_size;
    }
    using Clock = std::chrono::steady_clock;
    // The time-out bounds the whole read, counted once from here.
    const bool limited = timeout != -1;
    const Clock::time_point deadline =
        limited ? Clock::now() + std::chrono::seconds(timeout < 0 ? 0 : timeout)
                : Clock::time_point{};
    char* out = static_cast<char*>(buf);
    size_t got = 0;
    if (max_size == 0) {
        return 0;
    }
    for (;;) {
        // Take what is already there without blocking; wait only when nothing is.
        ssize_t n = ::recv(handle_, out + got, max_size - got, MSG_DONTWAIT);
        if (n > 0) {
            got += static_cast<size_t>(n);
            if (got >= min_size) {
                return static_cast<int>(got);
            }
            continue;
        }
        if (n == 0) {
            errcode_ = broken_pipe;
            return -1;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            errcode_ = errno;
            return -1;
        }
        int waitMs = -1;
        if (limited) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            waitMs = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
        pollfd p{handle_, POLLIN, 0};
        int rc = ::poll(&p, 1, waitMs);
        if (rc < 0) {
            if (errno == EINTR) {
                continue;
            }
            errcode_ = errno;
            return -1;
        }
        if (rc == 0) {
            return static_cast<int>(got);  // time is up: fewer bytes, error code unchanged
        }
    }
}

bool win_socket::write(const void* buf, size_t size) {
    if (state_ != kOpen) {
        errcode_ = not_opened;
        return false;
    }
    const char* p = static_cast<const char*>(buf);
    size_t left = size;
    while (left > 0) {
        ssize_t n = ::send(handle_, p, left, MSG_NOSIGNAL);
        if (n > 0) {
            p += n;
            left -= static_cast<size_t>(n);
            continue;
        }
        if (n == 0) {
            errcode_ = broken_pipe;
            return false;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // A handle adopted in non-blocking mode: wait until it takes more.
            pollfd pf{handle_, POLLOUT, 0};
            if (::poll(&pf, 1, -1) < 0 && errno != EINTR) {
                errcode_ = errno;
                return false;
            }
            continue;
        }
        errcode_ = errno;
        return false;
    }
    return true;
}

std::string win_socket::error_string() const {
    switch (errcode_) {
        case ok_code:
            return "ok";
        case not_opened:
            return "socket not opened";
        case bad_address:
            return "bad address";
        case connection_failed:
            return "exceed limit of attempts of connection to server";
        case broken_pipe:
            return "connection is broken";
        case invalid_access_mode:
            return "invalid access mode";
        default:
            break;
    }
    if (errcode_ > 0) {
        if (const char* text = ::strerrordesc_np(errcode_)) {
            return text;
        }
    }
    char text[64];
    std::snprintf(text, sizeof text, "unknown error code %u", static_cast<unsigned>(errcode_));
    return text;
}

void win_socket::error_text(char* buf, size_t buf_size) {
    if (!buf || buf_size == 0) {
        return;
    }
    std::string text = error_string();
    size_t n = text.size() < buf_size - 1 ? text.size() : buf_size - 1;
    std::memcpy(buf, text.data(), n);
    buf[n] = '\0';
}

bool win_socket::shutdown() {
    if (state_ == kOpen) {
        state_ = kShutDown;
        if (::shutdown(handle_, SHUT_RDWR) != 0) {
            errcode_ = errno;
            return false;
        }
    }
    errcode_ = ok_code;
    return true;
}

bool win_socket::close() {
    if (state_ == kClosed) {
        return true;
    }
    state_ = kClosed;
    int fd = handle_;
    handle_ = -1;
    if (::close(fd) != 0) {
        errcode_ = errno;
        return false;
    }
    errcode_ = ok_code;
    return true;
}

std::optional<std::string> win_socket::peer_address() {
    if (state_ != kOpen) {
        errcode_ = not_opened;
        return std::nullopt;
    }
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (::getpeername(handle_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        errcode_ = errno;
        return std::nullopt;
    }
    if (addr.sin_family != AF_INET) {
        errcode_ = EAFNOSUPPORT;
        return std::nullopt;
    }
    char text[INET_ADDRSTRLEN];
    if (!::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text)) {
        errcode_ = errno;
        return std::nullopt;
    }
    errcode_ = ok_code;
    return std::string(text);
}
