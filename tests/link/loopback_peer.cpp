// The scripted loopback peer of the link tests, written with plain POSIX calls and its own
// chunk handling so that it checks the client's wire behaviour independently.
#include "loopback_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace linktest {

namespace {
constexpr size_t kChunk = 65536;
constexpr int kWaitMs = 10000;
}  // namespace

Bytes& Bytes::i32(int32_t v) {
    uint32_t u = static_cast<uint32_t>(v);
    for (int i = 0; i < 4; ++i) {
        s_.push_back(static_cast<char>((u >> (8 * i)) & 0xFF));
    }
    return *this;
}

Bytes& Bytes::u8(uint8_t v) {
    s_.push_back(static_cast<char>(v));
    return *this;
}

Bytes& Bytes::text(std::string_view raw) {
    s_.append(raw);
    s_.push_back('\0');
    return *this;
}

Bytes& Bytes::raw(std::string_view raw) {
    s_.append(raw);
    return *this;
}

std::string framedRequest(int32_t code, std::string_view body) {
    Bytes b;
    b.i32(code);
    if (!body.empty()) {
        b.i32(static_cast<int32_t>(body.size())).raw(body);
    }
    return b;
}

int32_t le32(std::string_view bytes, size_t at) {
    uint32_t u = 0;
    for (int i = 3; i >= 0; --i) {
        u = (u << 8) | static_cast<unsigned char>(bytes.at(at + static_cast<size_t>(i)));
    }
    return static_cast<int32_t>(u);
}

bool PeerConnection::readExact(size_t n, std::string* out) {
    std::string got(n, '\0');
    size_t have = 0;
    while (have < n) {
        pollfd p{fd_, POLLIN, 0};
        int rc = ::poll(&p, 1, kWaitMs);
        if (rc < 0 && errno == EINTR) {
            continue;
        }
        if (rc <= 0) {
            return false;
        }
        ssize_t r = ::recv(fd_, got.data() + have, n - have, 0);
        if (r <= 0) {
            return false;
        }
        have += static_cast<size_t>(r);
    }
    received_ += got;
    log_.push_back("read " + std::to_string(n));
    if (out) {
        *out = std::move(got);
    }
    return true;
}

bool PeerConnection::sendAll(std::string_view bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t w = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) {
            continue;
        }
        if (w <= 0) {
            return false;
        }
        done += static_cast<size_t>(w);
    }
    return true;
}

bool PeerConnection::quietFor(int ms) {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, ms) == 0;
}

bool PeerConnection::sawEof(int ms) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) {
        return false;
    }
    char c;
    return ::recv(fd_, &c, 1, MSG_PEEK) == 0;
}

bool PeerConnection::readRequest(int32_t& code, std::string& body) {
    std::string word;
    if (!readExact(4, &word)) {
        return false;
    }
    code = le32(word);
    body.clear();
    if (code == 11) {
        return true;
    }
    if (!readExact(4, &word)) {
        return false;
    }
    int32_t length = le32(word);
    if (length < 0) {
        return false;
    }
    size_t n = static_cast<size_t>(length);
    if (n <= kChunk) {
        return readExact(n, &body);
    }
    for (size_t got = 0; got < n;) {
        std::string chunk;
        size_t size = std::min(kChunk, n - got);
        if (!readExact(size, &chunk)) {
            return false;
        }
        body += chunk;
        got += size;
        if (!sendAll(std::string(1, '\1'))) {
            return false;
        }
        log_.push_back("ack sent");
    }
    return true;
}

bool PeerConnection::sendReply(std::string_view body) {
    if (!sendAll(Bytes().i32(static_cast<int32_t>(body.size())).str())) {
        return false;
    }
    if (body.size() <= kChunk) {
        return sendAll(body);
    }
    for (size_t sent = 0; sent < body.size();) {
        size_t size = std::min(kChunk, body.size() - sent);
        if (!sendAll(body.substr(sent, size))) {
            return false;
        }
        log_.push_back("sent " + std::to_string(size));
        sent += size;
        // The acknowledgement is read directly so that it is not counted as request bytes.
        pollfd p{fd_, POLLIN, 0};
        char ack = 0;
        if (::poll(&p, 1, kWaitMs) != 1 || ::recv(fd_, &ack, 1, 0) != 1) {
            return false;
        }
        acks_.push_back(ack);
        log_.push_back("ack read");
    }
    return true;
}

LoopbackPeer::LoopbackPeer(Script script) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) {
        throw std::runtime_error("socket");
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 4) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(listenFd_);
        throw std::runtime_error("bind/listen");
    }
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this, script = std::move(script)] {
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, kWaitMs) != 1) {
            return;
        }
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            return;
        }
        conn_ = std::make_unique<PeerConnection>(fd);
        script(*conn_);
        ::close(fd);
    });
}

LoopbackPeer::~LoopbackPeer() {
    join();
    ::close(listenFd_);
}

void LoopbackPeer::join() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

std::string LoopbackPeer::address() const {
    return "127.0.0.1:" + std::to_string(port_);
}

uint16_t closedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

}  // namespace linktest
