// win_socket: address parsing, the connect passes, the deadline-bounded read, write to a
// closed peer, the state rules and the error texts.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "loopback_peer.h"
#include "socket.h"

using linktest::LoopbackPeer;
using linktest::PeerConnection;

namespace {

std::string text(win_socket& s) {
    char buf[256];
    s.error_text(buf, sizeof buf);
    return buf;
}

TEST(SocketAddress, BadAddressesFailWithMinus2) {
    const std::string longHost(256, 'a');
    const char* cases[] = {
        "127.0.0.1",           // no colon
        "127.0.0.1:",          // no number after the colon
        "127.0.0.1:port",      // not a number
        "127.0.0.1:-1",        // a sign is not a digit
        "127.0.0.1:65536",     // beyond 16 bits: refused, not wrapped round to 0
        "127.0.0.1:99999999",  // likewise
        ":8001",               // no host
        "no-such-host.invalid:8001",
    };
    for (const char* address : cases) {
        win_socket s(address);
        EXPECT_FALSE(s.connect_ms(5, 1000)) << address;
        EXPECT_EQ(s.error_code(), socket_t::bad_address) << address;
        EXPECT_EQ(text(s), "bad address") << address;
        EXPECT_FALSE(s.ok());
        EXPECT_EQ(s.state(), socket_t::kClosed);
    }
    win_socket tooLong((longHost + ":8001").c_str());
    EXPECT_FALSE(tooLong.connect_ms(1, 0));
    EXPECT_EQ(tooLong.error_code(), socket_t::bad_address);
}

TEST(SocketAddress, BlanksBeforeThePortAndTextAfterItAreAccepted) {
    LoopbackPeer peer([](PeerConnection& c) { c.readExact(1); });
    std::string address = "127.0.0.1: \t" + std::to_string(peer.port()) + "/junk";
    win_socket s(address.c_str());
    ASSERT_TRUE(s.connect_ms(1, 0)) << s.error_string();
    EXPECT_TRUE(s.ok());
    EXPECT_EQ(s.state(), socket_t::kOpen);
    EXPECT_TRUE(s.write("x", 1));
    peer.join();
    EXPECT_EQ(peer.connection().received(), "x");
}

TEST(SocketConnect, RefusedPassesPauseThenGiveUpWithMinus3) {
    const std::string address = "127.0.0.1:" + std::to_string(linktest::closedPort());
    win_socket s(address.c_str());
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(s.connect_ms(3, 100));
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(s.error_code(), socket_t::connection_failed);
    EXPECT_EQ(text(s), "exceed limit of attempts of connection to server");
    // Three passes have two pauses between them.
    EXPECT_GE(elapsed, std::chrono::milliseconds(200));
    EXPECT_EQ(s.state(), socket_t::kClosed);
}

TEST(SocketConnect, ZeroAttemptsStillMakeOnePassWithoutPause) {
    const std::string address = "127.0.0.1:" + std::to_string(linktest::closedPort());
    for (int attempts : {0, -3, 1}) {
        win_socket s(address.c_str());
        auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(s.connect_ms(attempts, 30000));
        // A pause would have cost 30 s.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
        EXPECT_EQ(s.error_code(), socket_t::connection_failed) << attempts;
    }
}

TEST(SocketConnect, ALaterPassReachesAServerThatStartedLate) {
    const uint16_t port = linktest::closedPort();
    const std::string address = "127.0.0.1:" + std::to_string(port);
    std::atomic<bool> connected{false};
    win_socket s(address.c_str());
    std::thread client([&] { connected = s.connect_ms(50, 100); });
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(fd, 1), 0);
    client.join();
    ::close(fd);
    EXPECT_TRUE(connected);
    EXPECT_TRUE(s.ok());
}

TEST(SocketConnect, AnotherErrorEndsAtOnceWithTheSystemError) {
    // Connecting to the broadcast address is refused by the system with an error other than
    // ECONNREFUSED (EACCES or ENETUNREACH): no pass is repeated, the pause is never taken.
    win_socket s("255.255.255.255:8001");
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(s.connect_ms(5, 30000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_GT(s.error_code(), 0);
    EXPECT_NE(s.error_code(), ECONNREFUSED);
    EXPECT_EQ(text(s), std::string(strerrordesc_np(s.error_code())));
}

TEST(SocketState, NeverConnectedSocketRefusesReadAndWrite) {
    win_socket s("127.0.0.1:8001");
    char buf[10];
    EXPECT_EQ(s.read(buf, 10, 10, 1), -1);
    EXPECT_EQ(s.error_code(), socket_t::not_opened);
    EXPECT_EQ(text(s), "socket not opened");
    EXPECT_FALSE(s.write("abc", 3));
    EXPECT_EQ(s.error_code(), socket_t::not_opened);
    EXPECT_FALSE(s.peer_address());
    EXPECT_TRUE(s.close());  // closing a closed socket is a success
}

// A connected client socket and the peer's end of it.
struct Pair {
    explicit Pair(LoopbackPeer::Script script)
        : peer(std::move(script)), s(peer.address().c_str()) {
        connected = s.connect_ms(1, 0);
    }
    LoopbackPeer peer;
    win_socket s;
    bool connected = false;
};

TEST(SocketRead, FourOfTenThenEofIsMinus1WithMinus4) {
    Pair p([](PeerConnection& c) { c.sendAll("abcd"); });
    ASSERT_TRUE(p.connected);
    char buf[10];
    EXPECT_EQ(p.s.read(buf, 10, 10, 5), -1);
    EXPECT_EQ(p.s.error_code(), socket_t::broken_pipe);
    EXPECT_EQ(text(p.s), "connection is broken");
}

TEST(SocketRead, FourOfTenThenSilenceReturnsFourWithCodeUnchanged) {
    Pair p([](PeerConnection& c) {
        c.sendAll("abcd");
        c.readExact(1);  // stay silent until the client is done
    });
    ASSERT_TRUE(p.connected);
    char buf[10];
    EXPECT_EQ(p.s.read(buf, 10, 10, 1), 4);
    EXPECT_EQ(std::string(buf, 4), "abcd");
    EXPECT_TRUE(p.s.ok());
    EXPECT_TRUE(p.s.write("x", 1));
}

TEST(SocketRead, BurstsWithinTheDeadlineMakeOneRead) {
    Pair p([](PeerConnection& c) {
        for (const char* burst : {"ab", "cde", "fghij"}) {
            c.sendAll(burst);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        c.readExact(1);
    });
    ASSERT_TRUE(p.connected);
    char buf[16] = {};
    EXPECT_EQ(p.s.read(buf, 10, 10, 5), 10);
    EXPECT_EQ(std::string(buf, 10), "abcdefghij");
    p.s.write("x", 1);
}

TEST(SocketRead, TheTimeOutCountsOnceForTheWholeRead) {
    // A byte trickles in every 200 ms, so no single wait comes near the time-out, yet the read
    // must end when the one time-out counted from its start runs out: a read that restarted
    // the time-out on every burst would wait for all 100 bytes (20 s) instead.
    std::atomic<bool> stop{false};
    Pair p([&](PeerConnection& c) {
        while (!stop) {
            if (!c.sendAll("z")) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    });
    ASSERT_TRUE(p.connected);
    char buf[100];
    int got = p.s.read(buf, 100, 100, 2);
    stop = true;
    EXPECT_GT(got, 0);
    EXPECT_LT(got, 100);
    EXPECT_TRUE(p.s.ok());
}

TEST(SocketRead, ReturnsAsSoonAsTheMinimumIsThere) {
    Pair p([](PeerConnection& c) {
        c.sendAll("abcdef");
        c.readExact(1);
    });
    ASSERT_TRUE(p.connected);
    char buf[16];
    int got = p.s.read(buf, 3, sizeof buf, 5);
    EXPECT_GE(got, 3);
    EXPECT_LE(got, 6);
    p.s.write("x", 1);
}

TEST(SocketWrite, ClosedPeerIsAnErrorNotASignal) {
    Pair p([](PeerConnection&) {});
    ASSERT_TRUE(p.connected);
    p.peer.join();  // the peer has closed its end
    std::string big(1 << 20, 'x');
    bool ok = true;
    for (int i = 0; i < 20 && ok; ++i) {
        ok = p.s.write(big.data(), big.size());
    }
    EXPECT_FALSE(ok);
    EXPECT_TRUE(p.s.error_code() == EPIPE || p.s.error_code() == ECONNRESET) << p.s.error_code();
}

TEST(SocketState, ShutdownThenCloseAndPeerAddress) {
    Pair p([](PeerConnection& c) { c.sawEof(5000); });
    ASSERT_TRUE(p.connected);
    EXPECT_EQ(p.s.peer_address(), std::optional<std::string>("127.0.0.1"));
    EXPECT_TRUE(p.s.shutdown());
    EXPECT_EQ(p.s.state(), socket_t::kShutDown);
    char c;
    EXPECT_EQ(p.s.read(&c, 1, 1, 1), -1);
    EXPECT_EQ(p.s.error_code(), socket_t::not_opened);
    EXPECT_TRUE(p.s.close());
    EXPECT_EQ(p.s.state(), socket_t::kClosed);
    EXPECT_TRUE(p.s.ok());
    EXPECT_EQ(p.s.native_handle(), -1);
}

TEST(SocketState, AdoptWrapsAConnectedHandle) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    auto a = win_socket::adopt(fds[0]);
    auto b = win_socket::adopt(fds[1]);
    EXPECT_EQ(a->state(), socket_t::kOpen);
    ASSERT_TRUE(a->write("hello", 5));
    char buf[5];
    EXPECT_EQ(b->read(buf, 5, 5, 1), 5);
    EXPECT_EQ(std::string(buf, 5), "hello");
    a.reset();  // the destructor closes the handle
    EXPECT_EQ(b->read(buf, 1, 1, 1), -1);
    EXPECT_EQ(b->error_code(), socket_t::broken_pipe);
}

TEST(SocketErrorText, CopiesAtMostTheBufferSize) {
    win_socket s("nowhere");
    s.connect_ms(1, 0);
    char buf[5];
    s.error_text(buf, sizeof buf);
    EXPECT_STREQ(buf, "bad ");
    win_socket fresh("127.0.0.1:1");
    EXPECT_EQ(fresh.error_string(), "ok");
}

}  // namespace
