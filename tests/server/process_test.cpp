// The kestd executable as an office would run it: first start on a new SQLite file (schema,
// ADMIN / PLOVK and the warning to change it), a client session, then SIGTERM, which must end
// the process cleanly with status 0 while a client is still connected.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "requests.h"
#include "socket.h"
#include "www_connection.h"

namespace {

int freePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

TEST(KestdProcess, FirstStartServesAndStopsCleanlyOnSigterm) {
    namespace fs = std::filesystem;
    const std::string dir =
        (fs::temp_directory_path() / ("kestd_proc_" + std::to_string(getpid()))).string();
    fs::create_directories(dir);
    const std::string db = dir + "/kestd.db", log = dir + "/stderr.txt";
    const std::string address = "127.0.0.1:" + std::to_string(freePort());
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        freopen(log.c_str(), "w", stderr);
        execl(KESTD_PATH, "kestd", "--db", db.c_str(), "--listen", address.c_str(), "--hash-cost",
              "min", "--company", "測試", static_cast<char*>(nullptr));
        _exit(127);
    }
    win_socket s(address.c_str());
    ASSERT_TRUE(s.connect_ms(100, 50)) << "kestd did not start listening";
    WWWconnection c;
    c.socket = &s;
    auto r = wire::login(c, "ADMIN", "PLOVK");
    EXPECT_EQ(r.status, wire::kStatusOk);
    EXPECT_EQ(r.company, "測試");
    EXPECT_GE(wire::insertCustomerCategory(c, "一般"), 0);

    ASSERT_EQ(kill(pid, SIGTERM), 0);
    int status = -1;
    for (int i = 0; i < 200 && waitpid(pid, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (!WIFEXITED(status)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        FAIL() << "kestd did not stop on SIGTERM";
    }
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // The connected client sees the link gone.
    EXPECT_TRUE(wire::queryCustomerCategories(c).empty());

    std::stringstream text;
    text << std::ifstream(log).rdbuf();
    EXPECT_NE(text.str().find("PLOVK"), std::string::npos);  // the first-start warning
    EXPECT_NE(text.str().find("change this password"), std::string::npos);
    EXPECT_NE(text.str().find("session start"), std::string::npos);
    EXPECT_NE(text.str().find("stopped"), std::string::npos);
    fs::remove_all(dir);
}

}  // namespace
