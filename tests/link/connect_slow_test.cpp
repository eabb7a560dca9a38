// The client's own connect(5, 5) against a port where nothing listens: five refused passes,
// four pauses of five seconds, then -3. It takes about 20 s, so it runs under the label slow.
#include <gtest/gtest.h>

#include <chrono>

#include "loopback_peer.h"
#include "socket.h"

TEST(SocketConnectSlow, FiveRefusedPassesWithFourPausesOfFiveSeconds) {
    const std::string address = "127.0.0.1:" + std::to_string(linktest::closedPort());
    win_socket s(address.c_str());
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(s.connect(5, 5));
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(s.error_code(), socket_t::connection_failed);
    EXPECT_EQ(s.error_string(), "exceed limit of attempts of connection to server");
    EXPECT_GE(elapsed, std::chrono::seconds(20));
    EXPECT_LT(elapsed, std::chrono::seconds(25));  // four pauses, not five
}
