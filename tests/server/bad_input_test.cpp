// kestd under bad input: frames that break the protocol, bodies that do not decode, unknown
// requests and the limits. Each case states its outcome, and after each the server still
// serves a new client normally.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "requests.h"
#include "test_server.h"

namespace kestd::test {
namespace {

std::string le32(int32_t v) {
    uint32_t u = static_cast<uint32_t>(v);
    char b[4] = {static_cast<char>(u), static_cast<char>(u >> 8), static_cast<char>(u >> 16),
                 static_cast<char>(u >> 24)};
    return std::string(b, 4);
}

std::string frame(int32_t code, const std::string& body) {
    return le32(code) + le32(static_cast<int32_t>(body.size())) + body;
}

std::string text(const std::string& s) {
    return s + std::string(1, '\0');
}

class BadInput : public ::testing::Test {
  protected:
    void SetUp() override { start({}); }
    void start(ServerConfig config) {
        server_.reset();
        server_ = std::make_unique<TestServer>(Backend::Sqlite, config);
    }

    // A raw connection, logged in as ADMIN unless asked otherwise.
    std::unique_ptr<Client> raw(bool login = true) {
        auto c = std::make_unique<Client>(*server_);
        EXPECT_TRUE(c->connected());
        if (login) {
            EXPECT_EQ(c->login("ADMIN", "PLOVK").status, wire::kStatusOk);
        }
        return c;
    }
    static bool send(Client& c, const std::string& bytes) {
        return c.socket().write(bytes.data(), bytes.size());
    }
    // One reply body, or none when the server closed the connection instead.
    static std::optional<std::string> reply(Client& c) {
        unsigned char len[4];
        if (c.socket().read(len, 4, 4, 10) != 4)
            return std::nullopt;
        int32_t n = static_cast<int32_t>(len[0] | len[1] << 8 | len[2] << 16 |
                                         static_cast<uint32_t>(len[3]) << 24);
        if (n < 0 || n > 1000000)
            return std::nullopt;
        std::string body(static_cast<size_t>(n), '\0');
        if (n && c.socket().read(body.data(), n, n, 10) != n)
            return std::nullopt;
        return body;
    }
    static bool closedByServer(Client& c) {
        char b;
        return c.socket().read(&b, 1, 1, 10) == -1;
    }
    // The server still answers a new client.
    void expectStillServing() {
        Client c(*server_);
        ASSERT_TRUE(c.connected());
        ASSERT_EQ(c.login("ADMIN", "PLOVK").status, wire::kStatusOk);
        EXPECT_TRUE(wire::queryCustomers(c.channel, "", 0).ok);
    }

    std::unique_ptr<TestServer> server_;
};

const std::string kStatusFailedBody = le32(wire::kStatusFailed);

TEST_F(BadInput, LengthsOutsideTheLimitEndTheSessionWithARefusal) {
    for (int32_t length : {INT32_MAX, -1, INT32_MIN, 32 * 1024 * 1024 + 1}) {
        auto c = raw();
        ASSERT_TRUE(send(*c, le32(wire::kQuery) + le32(length)));
        EXPECT_EQ(reply(*c), kStatusFailedBody) << length;
        EXPECT_TRUE(closedByServer(*c)) << length;
        expectStillServing();
    }
}

TEST_F(BadInput, ATruncatedFrameEndsOnlyItsSession) {
    auto other = raw();
    auto c = raw();
    ASSERT_TRUE(send(*c, le32(wire::kQuery) + le32(100) + std::string(10, 'x')));
    c->socket().shutdown();
    expectStillServing();
    // A session opened before is unaffected.
    EXPECT_TRUE(wire::queryCustomers(other->channel, "", 0).ok);
    // A frame cut inside its code word.
    auto d = raw();
    ASSERT_TRUE(send(*d, std::string("\x09\x00", 2)));
    d->socket().shutdown();
    expectStillServing();
}

TEST_F(BadInput, AReplyChunkWithoutItsAcknowledgementEndsTheSession) {
    auto a = raw();
    ASSERT_GE(wire::insertCustomerCategory(a->channel, "一般"), 0);
    wire::Customer cu;
    cu.id = "A1";
    auto ins = wire::insertCustomer(a->channel, cu);
    ASSERT_GE(ins.status, 0);
    std::vector<uint8_t> jpeg(70000, 0x55);
    jpeg[0] = 0xFF;
    jpeg[1] = 0xD8;
    int32_t pic = wire::insertCustomerImage(a->channel, 0, {"p", ins.status, 1, 0, 0}, jpeg);
    ASSERT_GE(pic, 0);
    // Ask for the picture and read its first chunk, but never acknowledge it.
    auto c = raw();
    ASSERT_TRUE(send(*c, frame(wire::kGet, text("CustomerImage") + le32(pic))));
    std::string first(4 + 65536, '\0');
    ASSERT_EQ(c->socket().read(first.data(), first.size(), first.size(), 10),
              static_cast<int>(first.size()));
    c->socket().close();
    expectStillServing();
    // The owner's session carries on, and fetches the whole picture by the rule.
    EXPECT_EQ(wire::getCustomerImage(a->channel, pic), jpeg);
}

TEST_F(BadInput, BodiesThatDoNotDecodeAreRefused) {
    struct Case {
        const char* what;
        int32_t code;
        std::string body;
        std::string expected;  // the reply body; the session goes on
    } cases[] = {
        {"topic without its zero", wire::kQuery, "Customer", kStatusFailedBody},
        {"topic not CP950", wire::kGet, std::string("\x80\xFF\x81", 3) + '\0' + le32(1),
         kStatusFailedBody},
        {"condition without its zero", wire::kQuery, text("Customer") + "name like",
         le32(0) + std::string(1, '\0')},
        {"condition not CP950", wire::kQuery,
         text("Customer") + text(std::string("name like '%\xFF\xFF%'")) + le32(0),
         le32(0) + std::string(1, '\0')},
        {"offset cut short", wire::kQuery, text("Customer") + text("") + "\x01",
         le32(0) + std::string(1, '\0')},
        {"bytes after the fields", wire::kGet, text("Employee") + le32(1) + "zz",
         kStatusFailedBody},
        {"unknown topic", wire::kGet, text("Nothing") + le32(1), kStatusFailedBody},
        {"unknown topic of Insert", wire::kInsert, text("customer") + le32(1), kStatusFailedBody},
        {"unknown code", 99, text("Customer") + le32(1), kStatusFailedBody},
        {"code 0", 0, text("Customer"), kStatusFailedBody},
        {"empty body", wire::kUpdate, "", kStatusFailedBody},
        {"picture size past the body", wire::kInsert,
         text("CustomerImage") + std::string(1, '\0') + text("p") + le32(1) + le32(1) + le32(1000) +
             "\xFF\xD8",
         kStatusFailedBody},
        {"negative picture size", wire::kInsert,
         text("CustomerImage") + std::string(1, '\0') + text("p") + le32(1) + le32(1) + le32(-5),
         kStatusFailedBody},
        {"employee cut short", wire::kInsert, text("Employee") + text("X") + text("x"),
         kStatusFailedBody},
        {"report without the condition", wire::kReport, text("Event") + le32(0) + le32(1),
         std::string(1, '\0')},
    };
    auto c = raw();
    for (const Case& k : cases) {
        ASSERT_TRUE(send(*c, frame(k.code, k.body))) << k.what;
        EXPECT_EQ(reply(*c), k.expected) << k.what;
    }
    // The same session still works, and nothing was stored.
    EXPECT_EQ(wire::queryEmployees(c->channel).size(), 1u);
    EXPECT_EQ(wire::queryCustomers(c->channel, "", 0).total, 0);
}

TEST_F(BadInput, TheBodyLimitRefusesAPictureBeforeReadingIt) {
    ServerConfig config;
    config.maxBody = 100000;
    start(config);
    auto c = raw();
    ASSERT_GE(wire::insertCustomerCategory(c->channel, "一般"), 0);
    wire::Customer cu;
    auto ins = wire::insertCustomer(c->channel, cu);
    ASSERT_GE(ins.status, 0);
    std::vector<uint8_t> jpeg(200000, 1);
    jpeg[0] = 0xFF;
    jpeg[1] = 0xD8;
    EXPECT_LT(wire::insertCustomerImage(c->channel, 0, {"p", ins.status, 1, 0, 0}, jpeg), -1);
    expectStillServing();
    auto d = raw();
    std::vector<uint8_t> small(90000, 1);
    small[0] = 0xFF;
    small[1] = 0xD8;
    EXPECT_GE(wire::insertCustomerImage(d->channel, 0, {"p", ins.status, 1, 0, 0}, small), 0);
}

TEST_F(BadInput, TheSessionCapClosesConnectionsBeyondIt) {
    ServerConfig config;
    config.maxSessions = 2;
    start(config);
    auto a = raw();
    auto b = raw();
    Client third(*server_);
    ASSERT_TRUE(third.connected());  // accepted by the kernel, then closed by kestd
    EXPECT_EQ(third.login("ADMIN", "PLOVK").status, wire::kStatusFailed);
    a.reset();
    // Once a session ends, a new client gets in (the end is noticed asynchronously).
    bool in = false;
    for (int i = 0; i < 100 && !in; ++i) {
        Client next(*server_);
        in = next.login("ADMIN", "PLOVK").status == wire::kStatusOk;
        if (!in)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(in);
    EXPECT_TRUE(wire::queryCustomers(b->channel, "", 0).ok);
}

TEST_F(BadInput, AnIdleSessionIsClosed) {
    ServerConfig config;
    config.idleTimeoutSeconds = 1;
    start(config);
    auto c = raw();
    EXPECT_TRUE(closedByServer(*c));
    expectStillServing();
}

TEST_F(BadInput, FailedLoginsAreLoggedAndTheRightPasswordStillWorks) {
    ServerConfig config;
    start(config);
    Client c(*server_);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(c.login("ADMIN", "BAD").status, wire::kStatusFailed);
    bool logged = false;
    for (const auto& line : LogCapture::instance().lines())
        logged = logged || line.find("wrong employee number or password") != std::string::npos;
    EXPECT_TRUE(logged);
    // The right password still gets in after the failures, and clears them.
    EXPECT_EQ(c.login("ADMIN", "PLOVK").status, wire::kStatusOk);
}

}  // namespace
}  // namespace kestd::test
