// The kestd fixture: a real server that accepts on its port, answers a Login of the first-start
// account, can be taken away and brought back on the same port with the same database.
#include <gtest/gtest.h>

#include <QFileInfo>

#include "kestd_fixture.h"
#include "requests.h"
#include "socket.h"
#include "www_connection.h"

namespace {

using kest::testkit::KestdServer;

wire::LoginReply loginOnce(const KestdServer& server, const char* id, const char* password) {
    win_socket socket(server.address().toLatin1().constData());
    WWWconnection channel;
    if (!socket.connect(1, 0)) {
        return {};
    }
    channel.socket = &socket;
    wire::LoginReply reply = wire::login(channel, id, password);
    wire::logout(channel);
    return reply;
}

TEST(KestdFixture, ServesAndComesBackOnTheSamePort) {
    KestdServer server;
    ASSERT_TRUE(server.start({QStringLiteral("--company"), QStringLiteral("測試公司")}))
        << server.error().toStdString();
    EXPECT_TRUE(server.running());
    EXPECT_GT(server.port(), 0);
    EXPECT_TRUE(QFileInfo::exists(server.dbPath()));

    const wire::LoginReply admin = loginOnce(server, "ADMIN", "PLOVK");
    EXPECT_TRUE(admin.sent);
    EXPECT_NE(admin.status, wire::kStatusFailed) << server.log().toStdString();
    EXPECT_NE(admin.employeeOid, 0);
    EXPECT_EQ(loginOnce(server, "ADMIN", "WRONG").status, wire::kStatusFailed);

    const int port = server.port();
    server.stop();
    EXPECT_FALSE(server.running());
    EXPECT_FALSE(kest::testkit::acceptsConnections(server.host(), port));

    ASSERT_TRUE(server.start()) << server.error().toStdString();
    EXPECT_EQ(server.port(), port);
    EXPECT_EQ(loginOnce(server, "ADMIN", "PLOVK").employeeOid, admin.employeeOid);
}

TEST(KestdFixture, ReportsAServerThatCannotStart) {
    KestdServer server;
    EXPECT_FALSE(server.start({QStringLiteral("--no-such-option"), QStringLiteral("1")}));
    EXPECT_FALSE(server.error().isEmpty());
    EXPECT_FALSE(server.running());
}

}  // namespace
