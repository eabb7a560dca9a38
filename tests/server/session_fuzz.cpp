// libFuzzer target for kestd's request decoding: the input is one request (4-byte code, then
// the body) handed to a logged-in Session over an in-memory SQLite database, without sockets.
// Any crash, sanitizer report or exception escaping Session::handle is a finding.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "log.h"
#include "session.h"
#include "setup.h"
#include "wire_io.h"

namespace {

struct World {
    kestd::ServerConfig config;
    std::unique_ptr<kestd::SqlDb> db;
    kestd::PasswordHasher hasher{kestd::HashCost::Minimum, 1};
    kestd::LoginThrottle throttle{std::chrono::milliseconds(0), std::chrono::milliseconds(0)};
    std::unique_ptr<kestd::Session> session;
    std::string adminHash;

    World() {
        kestd::setLogSink([](std::string_view) {});
        db = kestd::openSqlite(":memory:");
        kestd::prepareDatabase(*db, hasher);
        adminHash = kestd::asText(db->query("SELECT password_hash FROM employee")[0][0]);
        db->execScript(
            "INSERT INTO customer_category(oid, name) VALUES (100000, 'A');"
            "INSERT INTO event_category(oid, name) VALUES (100001, 'E');"
            "INSERT INTO customer(oid, id, category_oid, name, update_date, employee_oid, email,"
            " info, version, tel, fax, expire_date, update_employee_oid, create_date,"
            " follow_employee_oid) VALUES (100002, 'C1', 100000, 'n', 0, 1, '', '', 0, '', '',"
            " 0, 1, 0, NULL);"
            "UPDATE oid_counter SET next_oid = 200000;");
        session = std::make_unique<kestd::Session>(kestd::SessionServices{config, hasher, throttle},
                                                   *db, "fuzz");
        login();
    }
    void login() {
        wire::StringWriter w;
        w.appendInt32(10);
        w.appendString("ADMIN");
        w.appendString("PLOVK");
        session->handle(1, w.bytes());
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static World world;
    if (size < 4)
        return 0;
    int32_t code;
    std::memcpy(&code, data, 4);
    // Logins would re-hash on every input and make the run slow; keep the one session.
    if (code == 1)
        return 0;
    std::string body(reinterpret_cast<const char*>(data + 4), size - 4);
    world.session->handle(code, body);
    if (!world.session->loggedIn()) {
        // The input may have renamed the account or changed its password or rights.
        world.db->query(
            "UPDATE employee SET id = 'ADMIN', permission = 1023, password_hash = ? "
            "WHERE oid = 1",
            {world.adminHash});
        world.login();
    }
    return 0;
}
