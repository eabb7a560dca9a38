// Throughput of the request channel against raw loopback TCP. Both benchmarks move the same
// 5 MiB from a client socket to a receiving thread and end when the receiver has every byte:
// the channel's send ends with the acknowledgement of the last chunk, the raw send with one
// byte the receiver writes back after the last byte arrived.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "protocol.h"
#include "socket.h"
#include "www_connection.h"

namespace {

constexpr size_t kBody = 5 * 1024 * 1024;

bool recvAll(int fd, char* p, size_t n) {
    while (n > 0) {
        ssize_t r = ::recv(fd, p, n, MSG_WAITALL);
        if (r <= 0) {
            return false;
        }
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool sendAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w <= 0) {
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// A listening socket on 127.0.0.1 and a thread that serves one connection with `serve`.
class Receiver {
  public:
    template <typename Serve>
    explicit Receiver(Serve serve) {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        ::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(listen_, 1);
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this, serve] {
            int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            serve(fd);
            ::close(fd);
        });
    }
    ~Receiver() {
        thread_.join();
        ::close(listen_);
    }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

  private:
    int listen_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
};

// The server side of the channel: code, length, body by the chunk rule, until the client
// closes.
void serveRequests(int fd) {
    std::vector<char> body;
    for (;;) {
        char header[8];
        if (!recvAll(fd, header, sizeof header)) {
            return;
        }
        int32_t length;
        std::memcpy(&length, header + 4, 4);
        body.resize(static_cast<size_t>(length));
        size_t n = body.size();
        if (n <= wire::kChunkSize) {
            if (!recvAll(fd, body.data(), n)) {
                return;
            }
            continue;
        }
        for (size_t got = 0; got < n;) {
            size_t chunk = std::min(wire::kChunkSize, n - got);
            const char ack = 1;
            if (!recvAll(fd, body.data() + got, chunk) || !sendAll(fd, &ack, 1)) {
                return;
            }
            got += chunk;
        }
    }
}

void BM_ChannelSendRequest(benchmark::State& state) {
    const std::vector<char> body(kBody, 'x');
    Receiver receiver(serveRequests);
    win_socket socket(receiver.address().c_str());
    if (!socket.connect_ms(1, 0)) {
        state.SkipWithError("connect failed");
        return;
    }
    WWWconnection channel;
    channel.socket = &socket;
    for (auto _ : state) {
        state.PauseTiming();
        channel.resetRequest();
        channel.appendBytes(body.data(), body.size());
        state.ResumeTiming();
        if (!channel.sendRequest(wire::kInsert)) {
            state.SkipWithError("send failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kBody));
    socket.close();
}

void BM_RawLoopbackSend(benchmark::State& state) {
    const std::vector<char> body(kBody, 'x');
    Receiver receiver([](int fd) {
        std::vector<char> in(kBody);
        const char done = 1;
        while (recvAll(fd, in.data(), in.size()) && sendAll(fd, &done, 1)) {
        }
    });
    win_socket socket(receiver.address().c_str());
    if (!socket.connect_ms(1, 0)) {
        state.SkipWithError("connect failed");
        return;
    }
    int fd = socket.native_handle();
    for (auto _ : state) {
        char done;
        if (!sendAll(fd, body.data(), body.size()) || !recvAll(fd, &done, 1)) {
            state.SkipWithError("send failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kBody));
    socket.close();
}

BENCHMARK(BM_RawLoopbackSend)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ChannelSendRequest)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
