// WWWconnection against the scripted peer: the framing byte for byte, the chunk rule in both
// directions, the buffer growth rule, the disconnect reply and the replies it must refuse.
#include <gtest/gtest.h>

#include <cstring>

#include "loopback_peer.h"
#include "socket.h"
#include "www_connection.h"

using linktest::Bytes;
using linktest::LoopbackPeer;
using linktest::PeerConnection;

namespace {

// A channel connected to a scripted peer.
struct Link {
    explicit Link(LoopbackPeer::Script script)
        : peer(std::move(script)), socket(peer.address().c_str()) {
        connected = socket.connect_ms(1, 0);
        channel.socket = &socket;
    }
    LoopbackPeer peer;
    win_socket socket;
    WWWconnection channel;
    bool connected = false;
};

std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        s[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    }
    return s;
}

void expectDisconnectReply(WWWconnection& c) {
    EXPECT_EQ(c.reply().readInt32(), -2);
    EXPECT_STREQ(c.readString(), "Server disconnected.");
    EXPECT_FALSE(c.reply().broken());
    // The reply is only those bytes: nothing of an earlier reply is readable after it.
    EXPECT_TRUE(c.reply().atEnd());
    c.reply().readByte();
    EXPECT_TRUE(c.reply().broken());
}

TEST(ChannelSend, LogoutIsTheCodeAlone) {
    Link l([](PeerConnection& c) {
        c.readExact(4);
        c.sawEof(5000);
    });
    ASSERT_TRUE(l.connected);
    EXPECT_TRUE(l.channel.sendRequest(wire::kLogout));
    l.socket.close();
    l.peer.join();
    EXPECT_EQ(l.peer.connection().received(), std::string("\x0B\x00\x00\x00", 4));
}

TEST(ChannelSend, SmallBodyIsCodeLengthBody) {
    Link l([](PeerConnection& c) {
        c.readExact(4 + 4 + 9 + 4);
        c.sawEof(5000);
    });
    ASSERT_TRUE(l.connected);
    l.channel.appendString("Employee");
    l.channel.appendInt32(0x01020304);
    EXPECT_EQ(l.channel.requestLength(), 13);
    EXPECT_TRUE(l.channel.sendRequest(wire::kGet));
    EXPECT_EQ(l.channel.requestLength(), 0);  // emptied after a send
    l.socket.close();
    l.peer.join();
    EXPECT_EQ(l.peer.connection().received(),
              Bytes().i32(5).i32(13).text("Employee").i32(0x01020304).str());
}

// Sends a body of n bytes; the peer reads by the chunk rule and checks after every chunk that
// the client waits for the acknowledgement before sending more.
struct ChunkCase {
    size_t size;
    std::vector<std::string> steps;  // what the peer saw and did, in order
};

void PrintTo(const ChunkCase& c, std::ostream* os) {
    *os << c.size << " bytes";
}

class ChannelChunkedSend : public ::testing::TestWithParam<ChunkCase> {};

TEST_P(ChannelChunkedSend, BodyTravelsByTheChunkRule) {
    const ChunkCase& tc = GetParam();
    const std::string body = pattern(tc.size);
    bool quietBeforeEveryAck = true;
    Link l([&](PeerConnection& c) {
        c.readExact(4);
        c.readExact(4);
        for (size_t got = 0; got < tc.size;) {
            size_t chunk = std::min<size_t>(65536, tc.size - got);
            if (!c.readExact(chunk)) {
                return;
            }
            got += chunk;
            if (tc.size <= 65536) {
                break;
            }
            quietBeforeEveryAck = quietBeforeEveryAck && c.quietFor(100);
            c.sendAll("\x07");  // the client must not care about the value
            c.note("ack sent");
        }
        // Nothing follows the body; a client waiting for an unexpected ack sees our close.
        if (!c.quietFor(100)) {
            c.note("extra bytes");
        }
    });
    ASSERT_TRUE(l.connected);
    l.channel.appendBytes(body.data(), body.size());
    EXPECT_TRUE(l.channel.sendRequest(wire::kInsert));
    l.peer.join();
    EXPECT_TRUE(quietBeforeEveryAck);
    EXPECT_EQ(l.peer.connection().log(), tc.steps);
    EXPECT_EQ(l.peer.connection().received(),
              Bytes().i32(6).i32(static_cast<int32_t>(tc.size)).raw(body).str());
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ChannelChunkedSend,
    ::testing::Values(
        ChunkCase{70000, {"read 4", "read 4", "read 65536", "ack sent", "read 4464", "ack sent"}},
        ChunkCase{65536, {"read 4", "read 4", "read 65536"}},
        ChunkCase{65537, {"read 4", "read 4", "read 65536", "ack sent", "read 1", "ack sent"}},
        ChunkCase{3 * 65536,
                  {"read 4", "read 4", "read 65536", "ack sent", "read 65536", "ack sent",
                   "read 65536", "ack sent"}}),
    [](const auto& info) { return "body" + std::to_string(info.param.size); });

TEST(ChannelSend, AMissingAcknowledgementFailsTheSendAndKeepsTheBody) {
    Link l([](PeerConnection& c) { c.readExact(8 + 65536); });  // then closes, no ack
    ASSERT_TRUE(l.connected);
    const std::string body = pattern(70000);
    l.channel.appendBytes(body.data(), body.size());
    EXPECT_FALSE(l.channel.sendRequest(wire::kInsert));
    EXPECT_EQ(l.channel.requestLength(), 70000);
    EXPECT_EQ(std::memcmp(l.channel.requestData(), body.data(), body.size()), 0);
    l.channel.resetRequest();
    EXPECT_EQ(l.channel.requestLength(), 0);
}

TEST(ChannelSend, RequestBufferGrowsByTheRule) {
    WWWconnection c;
    EXPECT_EQ(c.requestCapacity(), 4096u);
    std::string block(4095, 'a');
    c.appendBytes(block.data(), block.size());  // 4095 < 4096: no growth
    EXPECT_EQ(c.requestCapacity(), 4096u);
    c.appendByte(1);  // 4096 reaches the capacity: doubles
    EXPECT_EQ(c.requestCapacity(), 8192u);
    std::string big(30000, 'b');
    c.appendBytes(big.data(), big.size());  // need 34096 > 2 * 8192
    EXPECT_EQ(c.requestCapacity(), 34096u);
    EXPECT_EQ(c.requestLength(), 34096);
    EXPECT_EQ(std::string(c.requestData(), 4095), block);
    EXPECT_EQ(c.requestData()[4095], 1);
    EXPECT_EQ(std::string(c.requestData() + 4096, 30000), big);
}

TEST(ChannelSend, NoSocketFailsSendAndReceive) {
    WWWconnection c;
    c.appendString("Customer");
    EXPECT_FALSE(c.sendRequest(wire::kQuery));
    EXPECT_EQ(c.requestLength(), 9);
    EXPECT_FALSE(c.receiveReply());
    expectDisconnectReply(c);
}

TEST(ChannelSend, TextCp950CannotHoldIsRefusedWhole) {
    WWWconnection c;
    EXPECT_TRUE(c.appendText("客戶"));
    EXPECT_FALSE(c.appendText("smile \xF0\x9F\x98\x80"));
    EXPECT_TRUE(c.failed());
    EXPECT_EQ(std::string(c.requestData(), static_cast<size_t>(c.requestLength())),
              std::string("\xAB\xC8\xA4\xE1\0", 5));
    c.resetRequest();
    EXPECT_FALSE(c.failed());
    EXPECT_FALSE(c.appendText(std::string_view("a\0b", 3)));  // a zero would cut the text
    EXPECT_EQ(c.requestLength(), 0);
}

TEST(ChannelSend, ABodyThatLostATextIsNeverSent) {
    Link l([](PeerConnection& c) {
        c.readExact(4);
        c.sawEof(5000);
    });
    ASSERT_TRUE(l.connected);
    l.channel.appendString("CustomerCategory");
    EXPECT_FALSE(l.channel.appendText("\xF0\x9F\x98\x80"));
    EXPECT_FALSE(l.channel.sendRequest(wire::kInsert));
    l.channel.resetRequest();
    EXPECT_TRUE(l.channel.sendRequest(wire::kLogout));
    l.socket.close();
    l.peer.join();
    // Only the Logout reached the wire.
    EXPECT_EQ(l.peer.connection().received(), std::string("\x0B\x00\x00\x00", 4));
}

TEST(ChannelReceive, ReplyBufferGrowsAndIsReused) {
    const std::string r1 = pattern(5000), r2 = pattern(20000);
    const std::string r3 = Bytes().i32(-1).text("ok").str();
    Link l([&](PeerConnection& c) {
        c.sendReply(r1);
        c.sendReply(r2);
        c.sendReply(r3);
        c.sawEof(5000);
    });
    ASSERT_TRUE(l.connected);
    WWWconnection& c = l.channel;
    EXPECT_EQ(c.replyCapacity(), 4096u);
    ASSERT_TRUE(c.receiveReply());
    EXPECT_EQ(c.replyLength(), 5000);
    EXPECT_EQ(c.replyCapacity(), 8192u);
    std::string got(5000, '\0');
    EXPECT_TRUE(c.readBytes(got.data(), got.size()));
    EXPECT_EQ(got, r1);
    ASSERT_TRUE(c.receiveReply());
    EXPECT_EQ(c.replyCapacity(), 20000u);
    got.resize(20000);
    EXPECT_TRUE(c.readBytes(got.data(), got.size()));
    EXPECT_EQ(got, r2);
    ASSERT_TRUE(c.receiveReply());
    EXPECT_EQ(c.replyCapacity(), 20000u);
    EXPECT_EQ(c.reply().readInt32(), -1);
    EXPECT_STREQ(c.readString(), "ok");
    // Bounded by this reply's length, not by the larger buffer with older bytes in it.
    EXPECT_TRUE(c.reply().atEnd());
    EXPECT_STREQ(c.readString(), "");
    EXPECT_TRUE(c.reply().broken());
}

TEST(ChannelReceive, LongReplyIsAcknowledgedChunkByChunkWithOne) {
    const std::string body = pattern(140000);
    Link l([&](PeerConnection& c) {
        c.sendReply(body);
        c.sawEof(5000);
    });
    ASSERT_TRUE(l.connected);
    ASSERT_TRUE(l.channel.receiveReply());
    std::string got(body.size(), '\0');
    EXPECT_TRUE(l.channel.readBytes(got.data(), got.size()));
    EXPECT_EQ(got, body);
    l.socket.close();
    l.peer.join();
    EXPECT_EQ(l.peer.connection().acks(), std::string("\1\1\1"));
    EXPECT_EQ(l.peer.connection().log(),
              (std::vector<std::string>{"sent 65536", "ack read", "sent 65536", "ack read",
                                        "sent 8928", "ack read"}));
}

TEST(ChannelReceive, EmptyReplyIsValidAndHoldsNothing) {
    Link l([](PeerConnection& c) { c.sendReply(""); });
    ASSERT_TRUE(l.connected);
    EXPECT_TRUE(l.channel.receiveReply());
    EXPECT_EQ(l.channel.replyLength(), 0);
    EXPECT_EQ(l.channel.reply().readInt32(), 0);
    EXPECT_TRUE(l.channel.reply().broken());
}

TEST(ChannelReceive, ServerClosingBeforeTheReplyLeavesTheDisconnectReply) {
    Link l([](PeerConnection&) {});
    ASSERT_TRUE(l.connected);
    EXPECT_FALSE(l.channel.receiveReply());
    expectDisconnectReply(l.channel);
}

struct BadReply {
    const char* name;
    std::string bytes;  // everything the server sends before it closes
};

void PrintTo(const BadReply& c, std::ostream* os) {
    *os << c.name;
}

class ChannelBadReply : public ::testing::TestWithParam<BadReply> {};

TEST_P(ChannelBadReply, FailsLikeALostLinkWithoutGrowing) {
    const std::string bytes = GetParam().bytes;
    Link l([&](PeerConnection& c) {
        c.sendAll(bytes);
        c.quietFor(200);
    });
    ASSERT_TRUE(l.connected);
    EXPECT_FALSE(l.channel.receiveReply());
    EXPECT_EQ(l.channel.replyCapacity(), 4096u);
    expectDisconnectReply(l.channel);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ChannelBadReply,
    ::testing::Values(BadReply{"negative", Bytes().i32(-5).raw("abcdefgh")},
                      BadReply{"most_negative", Bytes().i32(INT32_MIN)},
                      BadReply{"above_maximum", Bytes().i32(wire::kMaxReplyLength + 1)},
                      BadReply{"length_cut", std::string("\x10\x00", 2)},
                      BadReply{"ends_early", Bytes().i32(100).raw(std::string(50, 'x'))}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ChannelReceive, AChunkedReplyThatEndsEarlyFails) {
    Link l([](PeerConnection& c) {
        c.sendAll(Bytes().i32(100000).raw(std::string(65536, 'x')).str());
        c.readExact(1);  // the acknowledgement of the first chunk, then close
    });
    ASSERT_TRUE(l.connected);
    EXPECT_FALSE(l.channel.receiveReply());
    expectDisconnectReply(l.channel);
}

TEST(ChannelReceive, ATextWithoutItsZeroIsNotReadPastTheReply) {
    Link l([](PeerConnection& c) {
        c.sendReply(Bytes().i32(-1).raw("abc").str());
        c.sawEof(5000);
    });
    ASSERT_TRUE(l.connected);
    ASSERT_TRUE(l.channel.receiveReply());
    EXPECT_EQ(l.channel.reply().readInt32(), -1);
    EXPECT_STREQ(l.channel.readString(), "");
    EXPECT_TRUE(l.channel.reply().broken());
    char four[4] = {1, 1, 1, 1};
    EXPECT_FALSE(l.channel.readBytes(four, 4));
    EXPECT_EQ(std::string(four, 4), std::string(4, '\0'));
}

}  // namespace
