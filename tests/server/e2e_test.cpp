// kestd end to end: the link/ request catalogue, as kestcrm calls it, against a real kestd on a
// loopback port. Every test runs on SQLite and on PostgreSQL (the "pg" fixture's
// KEST_TEST_PG_URL) and must give the same answers on both.
#include <gtest/gtest.h>

#include <ctime>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "records.h"
#include "requests.h"
#include "setup.h"
#include "storage.h"
#include "test_server.h"

namespace kestd::test {
namespace {

using wire::kStatusFailed;
using wire::kStatusOk;
using wire::kStatusRefused;

wire::Customer customer(const std::string& id, const std::string& name, int32_t category,
                        wire::Oid employee, wire::Oid follow = 0) {
    wire::Customer c;
    c.id = id;
    c.name = name;
    c.category = category;
    c.employee = employee;
    c.followEmployee = follow;
    c.email = "台北市中山路1號";
    c.info = "備註";
    c.tel = "02-1234-5678";
    c.fax = "02-1234-5679";
    c.createDate = 1700000000;
    c.updateDate = 1700000000;
    return c;
}

std::vector<uint8_t> jpegBytes(size_t n) {
    std::vector<uint8_t> b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(i * 7 + 3);
    b[0] = 0xFF;
    b[1] = 0xD8;
    return b;
}

class E2e : public ::testing::TestWithParam<Backend> {
  protected:
    void SetUp() override {
        if (GetParam() == Backend::Postgres && pgAdminUrl().empty())
            GTEST_SKIP() << "KEST_TEST_PG_URL is not set (run through ctest and its pg fixture)";
        server_ = std::make_unique<TestServer>(GetParam(), config_);
        admin_ = std::make_unique<Client>(*server_);
        ASSERT_TRUE(admin_->connected());
        auto r = admin_->login("ADMIN", "PLOVK");
        ASSERT_EQ(r.status, kStatusOk);
        adminOid_ = r.employeeOid;
    }

    WWWconnection& admin() { return admin_->channel; }

    // A logged-in client for a new employee with the given rights.
    std::unique_ptr<Client> employee(const std::string& id, int32_t permission,
                                     wire::Oid* oid = nullptr) {
        wire::Employee e{id, "員工" + id, "PW" + id, permission};
        int32_t s = wire::insertEmployee(admin(), e);
        EXPECT_GE(s, 0) << id;
        if (oid)
            *oid = s;
        auto c = std::make_unique<Client>(*server_);
        EXPECT_EQ(c->login(id, "PW" + id).status, kStatusOk) << id;
        return c;
    }

    ServerConfig config_;
    std::unique_ptr<TestServer> server_;
    std::unique_ptr<Client> admin_;
    wire::Oid adminOid_ = 0;
};

TEST_P(E2e, LoginAnswers) {
    wire::Employee noLogin{"NOLOGIN", "無登入", "PW", wire::kPermAll & ~wire::kPermLogin};
    ASSERT_GE(wire::insertEmployee(admin(), noLogin), 0);
    struct Case {
        const char* id;
        const char* password;
        int32_t version;
        int32_t status;
    } cases[] = {
        {"ADMIN", "PLOVK", 10, kStatusOk},      {"ADMIN", "WRONG", 10, kStatusFailed},
        {"NOBODY", "PLOVK", 10, kStatusFailed}, {"ADMIN", "PLOVK", 9, kStatusRefused},
        {"NOLOGIN", "PW", 10, kStatusFailed},   {"admin", "PLOVK", 10, kStatusFailed},
    };
    for (const Case& c : cases) {
        Client client(*server_);
        auto r = client.login(c.id, c.password, c.version);
        EXPECT_EQ(r.status, c.status) << c.id << "/" << c.password << "/" << c.version;
        if (r.status == kStatusOk) {
            EXPECT_EQ(r.employeeOid, adminOid_);
            EXPECT_EQ(r.company, "測試公司");
        }
    }
}

TEST_P(E2e, RequestsBeforeLoginAreRefused) {
    Client c(*server_);
    ASSERT_TRUE(c.connected());
    EXPECT_EQ(wire::getEmployee(c.channel, adminOid_).status, kStatusFailed);
    EXPECT_EQ(wire::insertCustomerCategory(c.channel, "甲"), kStatusFailed);
    EXPECT_EQ(wire::deleteEmployee(c.channel, adminOid_), kStatusFailed);
    // The message check and Logout send nothing even now; the next reply is read normally.
    EXPECT_TRUE(wire::empMsgCheck(c.channel, adminOid_));
    EXPECT_TRUE(wire::logout(c.channel));
    EXPECT_EQ(c.login("ADMIN", "PLOVK").status, kStatusOk);
    EXPECT_TRUE(wire::queryCustomerCategories(admin()).empty());
    EXPECT_EQ(wire::queryEmployees(c.channel).size(), 1u);
}

TEST_P(E2e, LogoutAndMessageCheckGetNoReply) {
    EXPECT_TRUE(wire::empMsgCheck(admin(), adminOid_));
    EXPECT_TRUE(wire::empMsgCheck(admin(), adminOid_));
    // Had either been answered, this would read that stale reply instead of its own.
    auto time = wire::queryServerTime(admin());
    ASSERT_TRUE(time.has_value());
    EXPECT_NEAR(*time, static_cast<double>(::time(nullptr)), 5);
    EXPECT_TRUE(wire::logout(admin()));
    // After Logout the same connection is no longer logged in.
    EXPECT_EQ(wire::insertCustomerCategory(admin(), "甲"), kStatusFailed);
    EXPECT_EQ(admin_->login("ADMIN", "PLOVK").status, kStatusOk);
    EXPECT_GE(wire::insertCustomerCategory(admin(), "甲"), 0);
    // A failed second Login on the connection leaves it logged out.
    EXPECT_EQ(admin_->login("ADMIN", "WRONG").status, kStatusFailed);
    EXPECT_EQ(wire::insertCustomerCategory(admin(), "乙"), kStatusFailed);
}

TEST_P(E2e, EmptyLists) {
    EXPECT_TRUE(wire::queryCustomerCategories(admin()).empty());
    EXPECT_TRUE(wire::queryEventCategories(admin()).empty());
    auto page = wire::queryCustomers(admin(), "", 0);
    EXPECT_TRUE(page.ok);
    EXPECT_EQ(page.total, 0);
    EXPECT_TRUE(page.rows.empty());
    EXPECT_TRUE(wire::queryEvents(admin(), 1, 0, INT32_MAX, "and customer=1").empty());
    EXPECT_TRUE(wire::reportEvents(admin(), 0, INT32_MAX, "").empty());
    EXPECT_TRUE(wire::reportCustomers(admin(), 0, INT32_MAX, "").empty());
    auto employees = wire::queryEmployees(admin());
    ASSERT_EQ(employees.size(), 1u);
    EXPECT_EQ(employees[0].id, "ADMIN");
    EXPECT_EQ(employees[0].oid, std::to_string(adminOid_));
}

TEST_P(E2e, CategoryPositionsFollowCreationOrder) {
    using Names = std::vector<std::string>;
    struct Kind {
        std::function<int32_t(std::string_view)> insert;
        std::function<int32_t(std::string_view, std::string_view)> rename;
        std::function<int32_t(std::string_view)> remove;
        std::function<Names()> list;
    };
    WWWconnection& c = admin();
    Kind kinds[] = {
        {[&](auto n) { return wire::insertCustomerCategory(c, n); },
         [&](auto a, auto b) { return wire::updateCustomerCategory(c, a, b); },
         [&](auto n) { return wire::deleteCustomerCategory(c, n); },
         [&] { return wire::queryCustomerCategories(c); }},
        {[&](auto n) { return wire::insertEventCategory(c, n); },
         [&](auto a, auto b) { return wire::updateEventCategory(c, a, b); },
         [&](auto n) { return wire::deleteEventCategory(c, n); },
         [&] { return wire::queryEventCategories(c); }},
    };
    for (Kind& k : kinds) {
        for (const char* n : {"丙", "甲", "乙", "a", "A"})
            EXPECT_GE(k.insert(n), 0) << n;
        EXPECT_EQ(k.list(), (Names{"丙", "甲", "乙", "a", "A"}));
        EXPECT_EQ(k.insert("甲"), kStatusFailed);  // duplicate name
        EXPECT_EQ(k.insert(""), kStatusFailed);
        EXPECT_EQ(k.remove("甲"), kStatusOk);
        EXPECT_EQ(k.remove("甲"), kStatusFailed);  // gone already
        EXPECT_EQ(k.list(), (Names{"丙", "乙", "a", "A"}));
        EXPECT_GE(k.insert("甲"), 0);  // a new category goes last
        EXPECT_EQ(k.rename("丙", "丁"), kStatusOk);
        EXPECT_EQ(k.rename("丁", "乙"), kStatusFailed);  // would duplicate
        EXPECT_EQ(k.rename("無", "戊"), kStatusFailed);
        EXPECT_EQ(k.list(), (Names{"丁", "乙", "a", "A", "甲"}));
    }
    // A customer in category "a" (position 2) reads back at the position it has now.
    wire::InsertCustomerReply r = wire::insertCustomer(c, customer("K1", "客戶", 2, adminOid_));
    ASSERT_GE(r.status, 0);
    EXPECT_EQ(wire::getCustomer(c, r.status).customer.category, 2);
    EXPECT_EQ(wire::deleteCustomerCategory(c, "丁"), kStatusOk);
    EXPECT_EQ(wire::getCustomer(c, r.status).customer.category, 1);
    EXPECT_EQ(wire::queryCustomers(c, "", 0).rows.at(0).at(1), "a");
    // A category in use cannot go; an event category in use neither.
    EXPECT_EQ(wire::deleteCustomerCategory(c, "a"), kStatusFailed);
    wire::Event e{r.status, 0, 0, 1700000000, "題", "內容", 0, 0};
    ASSERT_GE(wire::insertEvent(c, e), 0);
    EXPECT_EQ(wire::deleteEventCategory(c, "丁"), kStatusFailed);
    EXPECT_EQ(wire::queryCustomerCategories(c), (Names{"乙", "a", "A", "甲"}));
    // A position past the end of the list is refused.
    EXPECT_EQ(wire::insertCustomer(c, customer("K2", "客戶", 4, adminOid_)).status, kStatusFailed);
}

TEST_P(E2e, CustomerPagingAndRowTexts) {
    WWWconnection& c = admin();
    ASSERT_GE(wire::insertCustomerCategory(c, "一般"), 0);
    ASSERT_GE(wire::insertCustomerCategory(c, "重要"), 0);
    // 60 customers inserted in scrambled order; the list is by customer number.
    for (int i = 0; i < 60; ++i) {
        int n = (i * 37) % 60;
        char id[16];
        snprintf(id, sizeof id, "N%03d", n);
        wire::Customer cu = customer(id, "客戶" + std::to_string(n), n % 2, adminOid_);
        if (n == 0)
            cu.expireDate = 1700000000 + 86400 * 10;
        ASSERT_GE(wire::insertCustomer(c, cu).status, 0) << id;
    }
    struct Case {
        int32_t offset;
        size_t rows;
        const char* first;
    } cases[] = {{0, 25, "N000"}, {25, 25, "N025"}, {50, 10, "N050"},
                 {60, 0, ""},     {-5, 25, "N000"}, {1000, 0, ""}};
    for (const Case& k : cases) {
        auto page = wire::queryCustomers(c, "", k.offset);
        ASSERT_TRUE(page.ok);
        EXPECT_EQ(page.total, 60) << k.offset;
        ASSERT_EQ(page.rows.size(), k.rows) << k.offset;
        if (k.rows) {
            EXPECT_EQ(page.rows[0][2], k.first);
            for (size_t i = 1; i < page.rows.size(); ++i)
                EXPECT_LT(page.rows[i - 1][2], page.rows[i][2]);
        }
    }
    auto page = wire::queryCustomers(c, "", 0);
    const auto& row = page.rows[0];
    EXPECT_EQ(row[1], "一般");
    EXPECT_EQ(row[3], "客戶0");
    EXPECT_EQ(row[4], "02-1234-5678");
    EXPECT_EQ(row[5], "02-1234-5679");
    EXPECT_EQ(row[6], "台北市中山路1號");
    EXPECT_EQ(row[7], "備註");
    EXPECT_EQ(row[8], "系統管理員");
    EXPECT_EQ(row[9], formatDate(1700000000 + 86400 * 10));
    EXPECT_EQ(row[9].size(), 10u);
    EXPECT_EQ(page.rows[1][9], "NA");
    EXPECT_EQ(page.rows[1][1], "重要");
    // A condition narrows both the count and the rows.
    auto narrowed = wire::queryCustomers(c, "category.name='重要' and id like '%N01%'", 0);
    EXPECT_EQ(narrowed.total, 5);  // N011, N013, N015, N017, N019
    ASSERT_EQ(narrowed.rows.size(), 5u);
    EXPECT_EQ(narrowed.rows[0][2], "N011");
}

TEST_P(E2e, CustomerNumbersAndVersions) {
    WWWconnection& c = admin();
    ASSERT_GE(wire::insertCustomerCategory(c, "一般"), 0);
    auto a = wire::insertCustomer(c, customer("", "甲", 0, adminOid_));
    auto b = wire::insertCustomer(c, customer("", "乙", 0, adminOid_));
    ASSERT_GE(a.status, 0);
    EXPECT_EQ(a.id, "C000001");
    EXPECT_EQ(b.id, "C000002");
    EXPECT_EQ(wire::insertCustomer(c, customer("C000002", "丙", 0, adminOid_)).status,
              kStatusFailed);
    auto got = wire::getCustomer(c, a.status);
    ASSERT_EQ(got.status, kStatusOk);
    EXPECT_EQ(got.customer.id, "C000001");
    EXPECT_EQ(got.customer.name, "甲");
    EXPECT_EQ(got.customer.employee, adminOid_);
    EXPECT_EQ(got.customer.updateEmployee, adminOid_);
    EXPECT_EQ(got.customer.version, 0);
    EXPECT_TRUE(got.pictures.empty());

    wire::Customer changed = got.customer;
    changed.name = "甲改";
    EXPECT_EQ(wire::updateCustomer(c, a.status, changed), kStatusOk);
    // The same stale copy again: changed by "another user" meanwhile.
    changed.name = "甲再改";
    EXPECT_EQ(wire::updateCustomer(c, a.status, changed), kStatusRefused);
    auto now = wire::getCustomer(c, a.status);
    EXPECT_EQ(now.customer.name, "甲改");
    EXPECT_EQ(now.customer.version, 1);
    // Renumbering onto another customer's number is refused.
    now.customer.id = "C000002";
    EXPECT_EQ(wire::updateCustomer(c, a.status, now.customer), kStatusFailed);
    EXPECT_EQ(wire::getCustomer(c, 999999).status, kStatusFailed);
    EXPECT_EQ(wire::updateCustomer(c, 999999, now.customer), kStatusFailed);
    // The version wraps at 256.
    for (int i = 0; i < 255; ++i) {
        auto cur = wire::getCustomer(c, b.status).customer;
        ASSERT_EQ(wire::updateCustomer(c, b.status, cur), kStatusOk);
    }
    EXPECT_EQ(wire::getCustomer(c, b.status).customer.version, 255);
    auto cur = wire::getCustomer(c, b.status).customer;
    ASSERT_EQ(wire::updateCustomer(c, b.status, cur), kStatusOk);
    EXPECT_EQ(wire::getCustomer(c, b.status).customer.version, 0);
}

TEST_P(E2e, PicturesTravelInChunksAndRaiseTheVersion) {
    WWWconnection& c = admin();
    ASSERT_GE(wire::insertCustomerCategory(c, "一般"), 0);
    auto cu = wire::insertCustomer(c, customer("P1", "圖", 0, adminOid_));
    ASSERT_GE(cu.status, 0);
    std::vector<uint8_t> big = jpegBytes(70000);
    wire::CustomerImage image{"名片", cu.status, 1700000000, 0, 0};
    int32_t pic = wire::insertCustomerImage(c, 0, image, big);
    ASSERT_GE(pic, 0);
    EXPECT_EQ(wire::getCustomerImage(c, pic), big);
    auto got = wire::getCustomer(c, cu.status);
    EXPECT_EQ(got.customer.version, 1);
    ASSERT_EQ(got.pictures.size(), 1u);
    EXPECT_EQ(got.pictures[0].oid, std::to_string(pic));
    EXPECT_EQ(got.pictures[0].date, formatDate(1700000000));
    EXPECT_EQ(got.pictures[0].name, "名片");
    // The client's kept version is now 1: a second picture with 0 is stale.
    EXPECT_EQ(wire::insertCustomerImage(c, 0, image, big), kStatusRefused);
    image.name = "第二";
    image.transDate = 1700000100;
    int32_t pic2 = wire::insertCustomerImage(c, 1, image, jpegBytes(100));
    ASSERT_GE(pic2, 0);
    // Two pictures added: the editor's save with version + 2 is accepted.
    got.customer.version = 2;
    EXPECT_EQ(wire::updateCustomer(c, cu.status, got.customer), kStatusOk);
    auto after = wire::getCustomer(c, cu.status);
    ASSERT_EQ(after.pictures.size(), 2u);
    EXPECT_EQ(after.pictures[0].name, "第二");  // newest first
    // Not a JPEG, no bytes, unknown customer: refused.
    std::vector<uint8_t> png{0x89, 'P', 'N', 'G'};
    EXPECT_LT(wire::insertCustomerImage(c, 3, image, png), -1);
    EXPECT_LT(wire::insertCustomerImage(c, 3, image, {}), -1);
    image.customer = 999999;
    EXPECT_LT(wire::insertCustomerImage(c, 0, image, big), -1);
    EXPECT_EQ(wire::deleteCustomerImage(c, pic), kStatusOk);
    EXPECT_TRUE(wire::getCustomerImage(c, pic).empty());
    EXPECT_EQ(wire::deleteCustomerImage(c, pic), kStatusFailed);
}

TEST_P(E2e, EventsListsAndReports) {
    WWWconnection& c = admin();
    ASSERT_GE(wire::insertCustomerCategory(c, "一般"), 0);
    ASSERT_GE(wire::insertEventCategory(c, "電話"), 0);
    ASSERT_GE(wire::insertEventCategory(c, "拜訪"), 0);
    auto cu = wire::insertCustomer(c, customer("E1", "事項客戶", 0, adminOid_));
    auto other = wire::insertCustomer(c, customer("E2", "別的客戶", 0, adminOid_));
    ASSERT_GE(cu.status, 0);
    const wire::Stamp t0 = 1700000000;
    std::vector<int32_t> oids;
    for (int i = 0; i < 3; ++i) {
        wire::Event e{cu.status, i % 2, 0, t0 + i * 3600, "標題" + std::to_string(i), "內容", 0, 0};
        oids.push_back(wire::insertEvent(c, e));
        ASSERT_GE(oids.back(), 0);
    }
    ASSERT_GE(wire::insertEvent(c, {other.status, 0, 0, t0, "別的", "", 0, 0}), 0);
    const std::string cond = "and customer=" + std::to_string(cu.status);
    auto rows = wire::queryEvents(c, cu.status, t0, t0 + 86400, cond);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0][0], std::to_string(oids[2]));  // newest first
    EXPECT_EQ(rows[0][1], formatDateTime(t0 + 7200));
    EXPECT_EQ(rows[0][1].size(), 16u);  // yyyy/MM/dd HH:mm
    EXPECT_EQ(rows[0][2], "電話");
    EXPECT_EQ(rows[0][3], "標題2");
    EXPECT_EQ(rows[0][4], "內容");
    EXPECT_EQ(rows[0][5], "ADMIN");  // the employee number
    // The period bounds are inclusive; the condition narrows further.
    EXPECT_EQ(wire::queryEvents(c, cu.status, t0 + 3600, t0 + 3600, cond).size(), 1u);
    EXPECT_EQ(
        wire::queryEvents(c, cu.status, t0, t0 + 86400, cond + " and category.name='拜訪'").size(),
        1u);
    EXPECT_EQ(
        wire::queryEvents(c, cu.status, t0, t0 + 86400, cond + " and title like '%1%'").size(), 1u);

    auto ev = wire::getEvent(c, oids[1]);
    ASSERT_EQ(ev.status, kStatusOk);
    EXPECT_EQ(ev.event.category, 1);
    EXPECT_EQ(ev.event.employee, adminOid_);
    EXPECT_EQ(ev.event.title, "標題1");
    wire::Event changed = ev.event;
    changed.title = "改過";
    EXPECT_EQ(wire::updateEvent(c, oids[1], changed), kStatusOk);
    EXPECT_EQ(wire::updateEvent(c, oids[1], changed), kStatusFailed);  // stale version
    EXPECT_EQ(wire::getEvent(c, oids[1]).event.version, 1);

    auto report = wire::reportEvents(c, t0, t0 + 86400, "customer.id like '%E1%'");
    ASSERT_EQ(report.size(), 3u);
    EXPECT_EQ(report[0][0], std::to_string(oids[0]));  // oldest first
    EXPECT_EQ(report[0][2], "E1");
    EXPECT_EQ(report[0][3], "事項客戶");
    EXPECT_EQ(report[0][4], "系統管理員");
    EXPECT_EQ(report[0][5], "電話");
    EXPECT_EQ(report[1][6], "改過");
    EXPECT_EQ(wire::reportEvents(c, t0, t0 + 86400, "").size(), 4u);

    auto customers =
        wire::reportCustomers(c, 1690000000, 1710000000, "customer.name like '%事項%'");
    ASSERT_EQ(customers.size(), 1u);
    EXPECT_EQ(customers[0][1], formatDate(1700000000));
    EXPECT_EQ(customers[0][2], "E1");
    EXPECT_EQ(customers[0][5], "一般");
    EXPECT_EQ(customers[0][6], "NA");
    EXPECT_EQ(customers[0][8], "備註");

    // Deleting the customer takes its events and pictures with it.
    int32_t pic = wire::insertCustomerImage(c, 0, {"圖", cu.status, t0, 0, 0}, jpegBytes(10));
    ASSERT_GE(pic, 0);
    EXPECT_EQ(wire::deleteCustomer(c, cu.status), kStatusOk);
    EXPECT_EQ(wire::getEvent(c, oids[0]).status, kStatusFailed);
    EXPECT_TRUE(wire::getCustomerImage(c, pic).empty());
    EXPECT_EQ(wire::reportEvents(c, t0, t0 + 86400, "").size(), 1u);
    auto db = server_->openDb();
    EXPECT_EQ(
        db->queryInt("SELECT count(*) FROM event WHERE customer_oid = ?", {int64_t{cu.status}}), 0);
    EXPECT_EQ(db->queryInt("SELECT count(*) FROM customer_image"), 0);
    EXPECT_EQ(wire::deleteEvent(c, oids[0]), kStatusFailed);
}

TEST_P(E2e, EmployeeAccounts) {
    WWWconnection& c = admin();
    wire::Employee e{"E01", "陳志明", "SECRET", wire::kPermLogin | wire::kPermEvents};
    int32_t oid = wire::insertEmployee(c, e);
    ASSERT_GE(oid, 0);
    EXPECT_EQ(wire::insertEmployee(c, {"E01", "別人", "X", 1}), kStatusFailed);  // duplicate
    EXPECT_EQ(wire::insertEmployee(c, {"", "無號", "X", 1}), kStatusFailed);
    auto got = wire::getEmployee(c, oid);
    ASSERT_EQ(got.status, kStatusOk);
    EXPECT_EQ(got.employee.id, "E01");
    EXPECT_EQ(got.employee.name, "陳志明");
    EXPECT_EQ(got.employee.password, "");  // never on the wire
    EXPECT_EQ(got.employee.permission, wire::kPermLogin | wire::kPermEvents);
    // Written back unchanged (empty password): the stored password stays.
    got.employee.name = "陳志明二";
    EXPECT_NE(wire::updateEmployee(c, oid, got.employee), kStatusFailed);
    EXPECT_EQ(Client(*server_).login("E01", "SECRET").status, kStatusOk);
    got.employee.password = "NEW";
    EXPECT_NE(wire::updateEmployee(c, oid, got.employee), kStatusFailed);
    EXPECT_EQ(Client(*server_).login("E01", "SECRET").status, kStatusFailed);
    EXPECT_EQ(Client(*server_).login("E01", "NEW").status, kStatusOk);
    EXPECT_EQ(wire::updateEmployee(c, oid, {"ADMIN", "x", "", 1}), kStatusFailed);  // taken
    auto rows = wire::queryEmployees(c);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1].name, "陳志明二");

    // Deletion refusals: himself, the last holder of the employees right, one still named.
    EXPECT_EQ(wire::deleteEmployee(c, adminOid_), kStatusFailed);
    wire::Oid boss = 0;
    auto bossClient = employee("BOSS", wire::kPermLogin | wire::kPermEmployees, &boss);
    EXPECT_EQ(wire::deleteEmployee(bossClient->channel, adminOid_), kStatusOk);
    EXPECT_EQ(wire::deleteEmployee(bossClient->channel, boss), kStatusFailed);  // himself
    // Removing the employees right from the last account that has it is refused as well.
    EXPECT_EQ(wire::updateEmployee(bossClient->channel, boss, {"BOSS", "x", "", 1}), kStatusFailed);
    wire::Oid named = wire::insertEmployee(bossClient->channel, {"N1", "被指派", "P", 1});
    ASSERT_GE(named, 0);
    auto db = server_->openDb();
    db->query("INSERT INTO customer_category(oid, name) VALUES (900000, 'x')");
    db->query(
        "INSERT INTO customer(oid, id, category_oid, name, update_date, employee_oid, email, "
        "info, version, tel, fax, expire_date, update_employee_oid, create_date, "
        "follow_employee_oid) VALUES (900001, 'Z', 900000, 'n', 0, NULL, '', '', 0, '', '', 0, "
        "NULL, 0, ?)",
        {int64_t{named}});
    EXPECT_EQ(wire::deleteEmployee(bossClient->channel, named), kStatusFailed);
    EXPECT_EQ(wire::deleteEmployee(bossClient->channel, oid), kStatusOk);
    EXPECT_EQ(wire::getEmployee(bossClient->channel, oid).status, kStatusFailed);
    // The deleted admin's open session is refused from now on.
    EXPECT_EQ(wire::insertEventCategory(c, "x"), kStatusFailed);
}

// Every right checked by the server: an employee holding everything but one bit is refused
// exactly the requests of that bit, with the refusal the client reads as such.
TEST_P(E2e, EveryPermissionIsCheckedByTheServer) {
    WWWconnection& a = admin();
    ASSERT_GE(wire::insertCustomerCategory(a, "一般"), 0);
    ASSERT_GE(wire::insertEventCategory(a, "電話"), 0);
    auto cu = wire::insertCustomer(a, customer("X1", "權限", 0, adminOid_));
    ASSERT_GE(cu.status, 0);
    int32_t ev = wire::insertEvent(a, {cu.status, 0, 0, 1700000000, "t", "d", 0, 0});
    int32_t pic =
        wire::insertCustomerImage(a, 0, {"p", cu.status, 1700000000, 0, 0}, jpegBytes(10));
    ASSERT_GE(ev, 0);
    ASSERT_GE(pic, 0);
    struct Case {
        wire::Permission missing;
        const char* what;
        std::function<bool(WWWconnection&)> refused;
    };
    auto failed = [](int32_t s) { return s < kStatusOk; };
    int serial = 0;
    std::vector<Case> cases = {
        {wire::kPermInsertCustomer, "insert customer",
         [&](WWWconnection& c) {
             return failed(wire::insertCustomer(c, customer("", "新", 0, adminOid_)).status);
         }},
        {wire::kPermDeleteCustomer, "delete customer",
         [&](WWWconnection& c) { return failed(wire::deleteCustomer(c, cu.status)); }},
        {wire::kPermChangeCustomer, "delete picture",
         [&](WWWconnection& c) { return failed(wire::deleteCustomerImage(c, pic)); }},
        {wire::kPermEvents, "insert event",
         [&](WWWconnection& c) {
             return failed(wire::insertEvent(c, {cu.status, 0, 0, 1700000000, "t", "", 0, 0}));
         }},
        {wire::kPermEvents, "list events",
         [&](WWWconnection& c) {
             return wire::queryEvents(c, cu.status, 0, INT32_MAX, "").empty();
         }},
        {wire::kPermChangeEvents, "update event",
         [&](WWWconnection& c) {
             auto e = wire::getEvent(c, ev).event;
             return failed(wire::updateEvent(c, ev, e));
         }},
        {wire::kPermChangeEvents, "delete event",
         [&](WWWconnection& c) { return failed(wire::deleteEvent(c, ev)); }},
        {wire::kPermEmployees, "insert employee",
         [&](WWWconnection& c) {
             return failed(wire::insertEmployee(c, {"Q" + std::to_string(serial++), "q", "q", 1}));
         }},
        {wire::kPermEmployees, "update employee",
         [&](WWWconnection& c) {
             return wire::updateEmployee(c, adminOid_, {"ADMIN", "改", "", wire::kPermAll}) ==
                    kStatusFailed;
         }},
        {wire::kPermEmployees, "delete employee",
         [&](WWWconnection& c) { return failed(wire::deleteEmployee(c, adminOid_)); }},
        {wire::kPermSettings, "insert event category",
         [&](WWWconnection& c) { return failed(wire::insertEventCategory(c, "新類別")); }},
        {wire::kPermSettings, "rename customer category",
         [&](WWWconnection& c) { return failed(wire::updateCustomerCategory(c, "一般", "改")); }},
        {wire::kPermSettings, "delete event category",
         [&](WWWconnection& c) { return failed(wire::deleteEventCategory(c, "電話")); }},
        {wire::kPermReports, "event report",
         [&](WWWconnection& c) { return wire::reportEvents(c, 0, INT32_MAX, "").empty(); }},
        {wire::kPermReports, "customer report",
         [&](WWWconnection& c) { return wire::reportCustomers(c, 0, INT32_MAX, "").empty(); }},
    };
    for (const Case& k : cases) {
        auto without = employee("W" + std::to_string(serial++), wire::kPermAll & ~k.missing);
        EXPECT_TRUE(k.refused(without->channel)) << "without the right: " << k.what;
    }
    // With every right the same requests go through (the deleting ones last).
    auto with = employee("ALL", wire::kPermAll);
    for (const Case& k : cases) {
        if (std::string(k.what).find("delete") != std::string::npos)
            continue;
        EXPECT_FALSE(k.refused(with->channel)) << "with the right: " << k.what;
    }
    // The customer import adds missing customer categories: the right to add customers is
    // enough for that, but not for event categories.
    auto importer = employee("IMP", wire::kPermLogin | wire::kPermInsertCustomer);
    EXPECT_GE(wire::insertCustomerCategory(importer->channel, "匯入類別"), 0);
    EXPECT_EQ(wire::insertEventCategory(importer->channel, "匯入事項"), kStatusFailed);
    auto reader = employee("RDR", wire::kPermLogin);
    EXPECT_EQ(wire::insertCustomerCategory(reader->channel, "不行"), kStatusFailed);
    // Without the change right an update keeps the customer's texts and takes only the
    // employees and the expiry date.
    auto limited = employee("LIM", wire::kPermAll & ~wire::kPermChangeCustomer);
    auto got = wire::getCustomer(limited->channel, cu.status).customer;
    got.name = "不該改";
    got.expireDate = 1800000000;
    EXPECT_EQ(wire::updateCustomer(limited->channel, cu.status, got), kStatusOk);
    auto now = wire::getCustomer(a, cu.status).customer;
    EXPECT_EQ(now.name, "權限");
    EXPECT_EQ(now.expireDate, 1800000000);
}

TEST_P(E2e, WithoutBit9AnEmployeeSeesOnlyHisCustomers) {
    WWWconnection& a = admin();
    ASSERT_GE(wire::insertCustomerCategory(a, "一般"), 0);
    ASSERT_GE(wire::insertEventCategory(a, "電話"), 0);
    wire::Oid me = 0;
    auto mine = employee("MINE", wire::kPermAll & ~wire::kPermAllCustomers, &me);
    auto own = wire::insertCustomer(a, customer("V1", "負責", 0, me));
    auto follow = wire::insertCustomer(a, customer("V2", "跟進", 0, adminOid_, me));
    auto foreign = wire::insertCustomer(a, customer("V3", "別人", 0, adminOid_));
    for (auto* r : {&own, &follow, &foreign})
        ASSERT_GE(r->status, 0);
    for (auto oid : {own.status, follow.status, foreign.status})
        ASSERT_GE(wire::insertEvent(a, {oid, 0, 0, 1700000000, "t", "", 0, 0}), 0);
    int32_t foreignEvent = wire::insertEvent(a, {foreign.status, 0, 0, 1700000001, "t", "", 0, 0});

    WWWconnection& m = mine->channel;
    auto page = wire::queryCustomers(m, "", 0);
    EXPECT_EQ(page.total, 2);
    ASSERT_EQ(page.rows.size(), 2u);
    EXPECT_EQ(page.rows[0][2], "V1");
    EXPECT_EQ(page.rows[1][2], "V2");
    EXPECT_EQ(wire::queryCustomers(m, "name like '%別人%'", 0).total, 0);
    EXPECT_EQ(wire::getCustomer(m, own.status).status, kStatusOk);
    EXPECT_EQ(wire::getCustomer(m, foreign.status).status, kStatusFailed);
    EXPECT_EQ(wire::reportEvents(m, 0, INT32_MAX, "").size(), 2u);
    EXPECT_EQ(wire::reportCustomers(m, 0, INT32_MAX, "").size(), 2u);
    EXPECT_TRUE(wire::queryEvents(m, foreign.status, 0, INT32_MAX, "").empty());
    EXPECT_EQ(wire::getEvent(m, foreignEvent).status, kStatusFailed);
    EXPECT_EQ(wire::deleteCustomer(m, foreign.status), kStatusFailed);
    auto theirs = wire::getCustomer(a, foreign.status).customer;
    EXPECT_EQ(wire::updateCustomer(m, foreign.status, theirs), kStatusFailed);
    EXPECT_LT(wire::insertEvent(m, {foreign.status, 0, 0, 1700000000, "t", "", 0, 0}), -1);
    // The admin (bit 9) sees all three.
    EXPECT_EQ(wire::queryCustomers(a, "", 0).total, 3);
}

TEST_P(E2e, HostileConditionsSelectNothingAndHarmNothing) {
    WWWconnection& a = admin();
    ASSERT_GE(wire::insertCustomerCategory(a, "一般"), 0);
    ASSERT_GE(wire::insertCustomer(a, customer("O1", "O'Brien", 0, adminOid_)).status, 0);
    ASSERT_GE(wire::insertCustomer(a, customer("O2", "Smith", 0, adminOid_)).status, 0);
    const char* hostile[] = {
        "name like '%O'Brien%'",
        "1=1 or ''=''",
        "'; drop table customer",
        "(name like '%a%'",
        "name like '%a%')",
        "name = 'x' or 1=1 --",
        "id like '%'; DELETE FROM customer; --%'",
    };
    for (const char* cond : hostile) {
        auto page = wire::queryCustomers(a, cond, 0);
        EXPECT_TRUE(page.ok) << cond;
        EXPECT_EQ(page.total, 0) << cond;
        EXPECT_TRUE(page.rows.empty()) << cond;
        EXPECT_TRUE(wire::reportCustomers(a, 0, INT32_MAX, cond).empty()) << cond;
    }
    // A quote typed by the user and doubled finds the customer; everything is still there.
    EXPECT_EQ(wire::queryCustomers(a, "name like '%O''Brien%'", 0).total, 1);
    EXPECT_EQ(wire::queryCustomers(a, "", 0).total, 2);
}

TEST_P(E2e, PasswordsNeverReachTheLog) {
    wire::insertEmployee(admin(), {"LOGME", "記錄", "TOPSECRET9", wire::kPermAll});
    Client(*server_).login("LOGME", "WRONGSECRET7");
    Client(*server_).login("LOGME", "TOPSECRET9");
    for (const auto& line : LogCapture::instance().lines()) {
        EXPECT_EQ(line.find("PLOVK"), std::string::npos) << line;
        EXPECT_EQ(line.find("TOPSECRET9"), std::string::npos) << line;
        EXPECT_EQ(line.find("WRONGSECRET7"), std::string::npos) << line;
    }
}

// Several clients adding customers at once: every insert lands, and the numbers the server
// assigns are all different (assignment and insert happen in one serialised transaction).
TEST_P(E2e, ConcurrentInsertsGetDistinctNumbers) {
    ASSERT_GE(wire::insertCustomerCategory(admin(), "一般"), 0);
    constexpr int kClients = 4, kEach = 15;
    std::vector<std::vector<std::string>> numbers(kClients);
    std::vector<std::thread> threads;
    for (int t = 0; t < kClients; ++t) {
        threads.emplace_back([&, t] {
            Client c(*server_);
            if (c.login("ADMIN", "PLOVK").status != kStatusOk)
                return;
            for (int i = 0; i < kEach; ++i) {
                auto r = wire::insertCustomer(c.channel, customer("", "同時", 0, adminOid_));
                if (r.status >= 0)
                    numbers[t].push_back(r.id);
            }
        });
    }
    for (auto& th : threads)
        th.join();
    std::set<std::string> all;
    for (const auto& v : numbers)
        all.insert(v.begin(), v.end());
    EXPECT_EQ(all.size(), static_cast<size_t>(kClients * kEach));
    EXPECT_EQ(wire::queryCustomers(admin(), "", 0).total, kClients * kEach);
}

// The demo data serves the client like any other: counts, searches, demo accounts.
TEST_P(E2e, DemoDataIsServed) {
    {
        auto db = server_->openDb();
        PasswordHasher hasher(HashCost::Minimum, 1);
        ASSERT_TRUE(seedDemo(*db, hasher, 450));
    }
    auto page = wire::queryCustomers(admin(), "", 0);
    EXPECT_EQ(page.total, 450);
    ASSERT_EQ(page.rows.size(), 25u);
    EXPECT_EQ(page.rows[0][2], "D0000001");
    EXPECT_EQ(wire::queryCustomerCategories(admin()).size(), 8u);
    EXPECT_EQ(wire::queryEventCategories(admin()).size(), 6u);
    auto some = wire::queryCustomers(admin(), "name like '%有限公司%'", 0);
    EXPECT_GT(some.total, 0);
    EXPECT_LT(some.total, 450);
    for (const auto& row : some.rows)
        EXPECT_NE(row[3].find("有限公司"), std::string::npos);
    // E003 lacks the all-customers right: he sees his own customers only.
    Client e3(*server_);
    auto r = e3.login("E003", "DEMO");
    ASSERT_EQ(r.status, kStatusOk);
    auto db = server_->openDb();
    int64_t his = db->queryInt(
        "SELECT count(*) FROM customer WHERE employee_oid = ? OR follow_employee_oid = ?",
        {int64_t{r.employeeOid}, int64_t{r.employeeOid}});
    EXPECT_GT(his, 0);
    EXPECT_EQ(wire::queryCustomers(e3.channel, "", 0).total, his);
    EXPECT_FALSE(wire::reportEvents(admin(), 0, INT32_MAX, "").empty());
}

INSTANTIATE_TEST_SUITE_P(Backends, E2e, ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         [](const auto& info) { return std::string(backendName(info.param)); });

}  // namespace
}  // namespace kestd::test
