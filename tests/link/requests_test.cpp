// The request catalogue against the scripted peer: every request's bytes exactly, its reply
// parsed, and for every request with a reply the two ways a reply goes wrong: the link lost
// before it (the disconnect reply) and a reply one byte short.
#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "loopback_peer.h"
#include "requests.h"
#include "socket.h"
#include "www_connection.h"

using linktest::Bytes;
using linktest::LoopbackPeer;
using linktest::PeerConnection;

namespace {

// 客戶 王小明 台北市 in CP950.
const std::string kKehu = "\xAB\xC8\xA4\xE1";
const std::string kWang = "\xA4\xFD\xA4\x70\xA9\xFA";
const std::string kTaipei = "\xA5\x78\xA5\x5F\xA5\xAB";

enum class Outcome { Intact, Lost, Cut };

std::string outcomeName(Outcome o) {
    return o == Outcome::Intact ? "intact" : o == Outcome::Lost ? "lost" : "cut";
}

struct Case {
    std::string name;
    std::string request;               // the framed request expected on the wire
    std::optional<std::string> reply;  // the reply body; none for requests without a reply
    std::function<void(WWWconnection&, Outcome)> run;  // makes the call and checks its result
};

std::string req(int32_t code, const Bytes& body) {
    return linktest::framedRequest(code, body);
}

std::string rows(const std::vector<std::vector<std::string>>& table) {
    Bytes b;
    for (const auto& row : table) {
        for (const auto& t : row) {
            b.text(t);
        }
    }
    return b.text("");
}

wire::Customer customer() {
    wire::Customer c;
    c.id = "C0001";
    c.category = 1;
    c.name = "王小明";
    c.updateDate = 1700000000;
    c.expireDate = 1800000000;
    c.createDate = 1600000000;
    c.employee = 11;
    c.updateEmployee = 12;
    c.followEmployee = 0;
    c.email = "台北市";
    c.info = "VIP";
    c.tel = "02-1234";
    c.fax = "02-5678";
    c.version = 7;
    return c;
}

Bytes customerBytes() {
    return Bytes()
        .text("C0001")
        .i32(1)
        .text(kWang)
        .i32(1700000000)
        .i32(1800000000)
        .i32(1600000000)
        .i32(11)
        .i32(12)
        .i32(0)
        .text(kTaipei)
        .text("VIP")
        .text("02-1234")
        .text("02-5678")
        .u8(7);
}

const wire::Employee kEmployee{"ADMIN", "王小明", "PW", 0x3FF, false, false, 0};
Bytes employeeBytes() {
    return Bytes().text("ADMIN").text(kWang).text("PW").i32(0x3FF);
}

const wire::Event kEvent{77, 2, 11, 1700000123, "客戶", "台北市", 9, 0};
Bytes eventBytes() {
    return Bytes().i32(77).i32(2).i32(11).i32(1700000123).text(kKehu).text(kTaipei).u8(9);
}

// A request whose reply is a single status.
Case statusCase(std::string name, std::string request, int32_t status,
                std::function<int32_t(WWWconnection&)> call) {
    return Case{std::move(name), std::move(request), Bytes().i32(status),
                [status, call](WWWconnection& c, Outcome o) {
                    EXPECT_EQ(call(c), o == Outcome::Intact ? status : wire::kStatusFailed);
                }};
}

template <typename T>
std::function<void(WWWconnection&, Outcome)> listRun(
    std::function<std::vector<T>(WWWconnection&)> call, std::vector<T> want) {
    return [call, want](WWWconnection& c, Outcome o) {
        auto got = call(c);
        if (o == Outcome::Intact) {
            EXPECT_EQ(got, want);
        } else {
            EXPECT_TRUE(got.empty());
        }
    };
}

std::vector<Case> catalogue() {
    const std::vector<uint8_t> jpeg = [] {
        std::vector<uint8_t> v(70000);
        for (size_t i = 0; i < v.size(); ++i) {
            v[i] = static_cast<uint8_t>(i * 31);
        }
        return v;
    }();
    const std::string jpegBytes(jpeg.begin(), jpeg.end());
    const std::string cond = "name like '%x%'";
    std::vector<Case> cases;

    // ---- Login / Logout
    cases.push_back({"LoginAccepted", req(1, Bytes().i32(10).text("ADMIN").text("PW")),
                     Bytes().i32(0).text("12").text(kKehu), [](WWWconnection& c, Outcome o) {
                         wire::LoginReply r = wire::login(c, "ADMIN", "PW");
                         EXPECT_TRUE(r.sent);
                         if (o == Outcome::Intact) {
                             EXPECT_EQ(r.status, 0);
                             EXPECT_EQ(r.employeeOid, 12);
                             EXPECT_EQ(r.employeeOidText, "12");
                             EXPECT_EQ(r.company, "客戶");
                         } else {
                             EXPECT_EQ(r.status, wire::kStatusFailed);
                             EXPECT_EQ(r.employeeOid, 0);
                         }
                     }});
    cases.push_back({"LoginOutdatedClient", req(1, Bytes().i32(10).text("ADMIN").text("PW")),
                     Bytes().i32(-3), [](WWWconnection& c, Outcome o) {
                         wire::LoginReply r = wire::login(c, "ADMIN", "PW");
                         EXPECT_EQ(r.status, o == Outcome::Intact ? -3 : -2);
                         EXPECT_EQ(r.company, "");
                     }});
    cases.push_back(
        {"LoginWrongPassword", req(1, Bytes().i32(10).text("ADMIN").text("X")), Bytes().i32(-2),
         [](WWWconnection& c, Outcome) { EXPECT_EQ(wire::login(c, "ADMIN", "X").status, -2); }});
    cases.push_back({"Logout", std::string("\x0B\x00\x00\x00", 4), std::nullopt,
                     [](WWWconnection& c, Outcome) { EXPECT_TRUE(wire::logout(c)); }});

    // ---- Get
    cases.push_back({"GetEmployee", req(5, Bytes().text("Employee").i32(7)),
                     Bytes().i32(-1).raw(employeeBytes()), [](WWWconnection& c, Outcome o) {
                         wire::EmployeeReply r = wire::getEmployee(c, 7);
                         if (o == Outcome::Intact) {
                             EXPECT_EQ(r.status, -1);
                             EXPECT_EQ(r.employee, kEmployee);
                         } else {
                             EXPECT_EQ(r.status, wire::kStatusFailed);
                         }
                     }});
    cases.push_back({"GetEmployeeNotFound", req(5, Bytes().text("Employee").i32(8)),
                     Bytes().i32(-2), [](WWWconnection& c, Outcome) {
                         wire::EmployeeReply r = wire::getEmployee(c, 8);
                         EXPECT_EQ(r.status, -2);
                         EXPECT_EQ(r.employee, wire::Employee{});
                     }});
    cases.push_back({"GetCustomer", req(5, Bytes().text("Customer").i32(77)),
                     Bytes()
                         .i32(-1)
                         .raw(customerBytes())
                         .raw(rows({{"5", "2024-01-02", kKehu}, {"6", "2024-02-03", "card"}})),
                     [](WWWconnection& c, Outcome o) {
                         wire::CustomerReply r = wire::getCustomer(c, 77);
                         if (o == Outcome::Intact) {
                             EXPECT_EQ(r.status, -1);
                             EXPECT_EQ(r.customer, customer());
                             ASSERT_EQ(r.pictures.size(), 2u);
                             EXPECT_EQ(r.pictures[0].oid, "5");
                             EXPECT_EQ(r.pictures[0].date, "2024-01-02");
                             EXPECT_EQ(r.pictures[0].name, "客戶");
                             EXPECT_EQ(r.pictures[1].name, "card");
                         } else {
                             EXPECT_EQ(r.status, wire::kStatusFailed);
                             EXPECT_TRUE(r.pictures.empty());
                         }
                     }});
    cases.push_back({"GetCustomerImage", req(5, Bytes().text("CustomerImage").i32(5)),
                     Bytes().i32(static_cast<int32_t>(jpeg.size())).raw(jpegBytes),
                     [jpeg](WWWconnection& c, Outcome o) {
                         auto got = wire::getCustomerImage(c, 5);
                         EXPECT_EQ(got, o == Outcome::Intact ? jpeg : std::vector<uint8_t>{});
                     }});
    cases.push_back(
        {"GetCustomerImageNone", req(5, Bytes().text("CustomerImage").i32(6)), Bytes().i32(0),
         [](WWWconnection& c, Outcome) { EXPECT_TRUE(wire::getCustomerImage(c, 6).empty()); }});
    cases.push_back({"GetEvent", req(5, Bytes().text("Event").i32(3)),
                     Bytes().i32(-1).raw(eventBytes()), [](WWWconnection& c, Outcome o) {
                         wire::EventReply r = wire::getEvent(c, 3);
                         if (o == Outcome::Intact) {
                             EXPECT_EQ(r.status, -1);
                             wire::Event want = kEvent;
                             EXPECT_EQ(r.event, want);
                         } else {
                             EXPECT_EQ(r.status, wire::kStatusFailed);
                         }
                     }});
    cases.push_back({"EmpMsgCheck", req(5, Bytes().text("EmpMsgCheck").i32(12)), std::nullopt,
                     [](WWWconnection& c, Outcome) { EXPECT_TRUE(wire::empMsgCheck(c, 12)); }});

    // ---- Insert
    cases.push_back({"InsertCustomer", req(6, Bytes().text("Customer").raw(customerBytes())),
                     Bytes().i32(42).text("C0042"), [](WWWconnection& c, Outcome o) {
                         wire::InsertCustomerReply r = wire::insertCustomer(c, customer());
                         EXPECT_EQ(r.status, o == Outcome::Intact ? 42 : wire::kStatusFailed);
                         EXPECT_EQ(r.id, o == Outcome::Intact ? "C0042" : "");
                     }});
    cases.push_back({"InsertCustomerRefused", req(6, Bytes().text("Customer").raw(customerBytes())),
                     Bytes().i32(-2), [](WWWconnection& c, Outcome) {
                         wire::InsertCustomerReply r = wire::insertCustomer(c, customer());
                         EXPECT_EQ(r.status, -2);
                         EXPECT_EQ(r.id, "");
                     }});
    cases.push_back(
        statusCase("InsertCustomerImage",
                   req(6, Bytes()
                              .text("CustomerImage")
                              .u8(4)
                              .text(kKehu)
                              .i32(77)
                              .i32(1700000000)
                              .i32(static_cast<int32_t>(jpeg.size()))
                              .raw(jpegBytes)),
                   88, [jpeg](WWWconnection& c) {
                       return wire::insertCustomerImage(c, 4, {"客戶", 77, 1700000000, 0, 0}, jpeg);
                   }));
    cases.push_back(
        statusCase("InsertCustomerCategory", req(6, Bytes().text("CustomerCategory").text(kKehu)),
                   -1, [](WWWconnection& c) { return wire::insertCustomerCategory(c, "客戶"); }));
    cases.push_back(
        statusCase("InsertEventCategory", req(6, Bytes().text("EventCategory").text("Call")), -1,
                   [](WWWconnection& c) { return wire::insertEventCategory(c, "Call"); }));
    cases.push_back(
        statusCase("InsertEmployee", req(6, Bytes().text("Employee").raw(employeeBytes())), 15,
                   [](WWWconnection& c) { return wire::insertEmployee(c, kEmployee); }));
    cases.push_back(statusCase("InsertEvent", req(6, Bytes().text("Event").raw(eventBytes())), 0,
                               [](WWWconnection& c) { return wire::insertEvent(c, kEvent); }));

    // ---- Update
    cases.push_back(
        statusCase("UpdateCustomerChangedElsewhere",
                   req(7, Bytes().text("Customer").i32(77).raw(customerBytes())), -3,
                   [](WWWconnection& c) { return wire::updateCustomer(c, 77, customer()); }));
    cases.push_back(statusCase(
        "UpdateCustomerCategory", req(7, Bytes().text("CustomerCategory").text("Old").text(kKehu)),
        -1, [](WWWconnection& c) { return wire::updateCustomerCategory(c, "Old", "客戶"); }));
    cases.push_back(
        statusCase("UpdateEventCategory", req(7, Bytes().text("EventCategory").text("A").text("B")),
                   -1, [](WWWconnection& c) { return wire::updateEventCategory(c, "A", "B"); }));
    cases.push_back(
        statusCase("UpdateEmployee", req(7, Bytes().text("Employee").i32(15).raw(employeeBytes())),
                   -1, [](WWWconnection& c) { return wire::updateEmployee(c, 15, kEmployee); }));
    cases.push_back(statusCase("UpdateEvent",
                               req(7, Bytes().text("Event").i32(3).raw(eventBytes())), -1,
                               [](WWWconnection& c) { return wire::updateEvent(c, 3, kEvent); }));

    // ---- Delete
    cases.push_back(statusCase("DeleteCustomer", req(8, Bytes().text("Customer").i32(77)), -1,
                               [](WWWconnection& c) { return wire::deleteCustomer(c, 77); }));
    cases.push_back(statusCase("DeleteCustomerImage", req(8, Bytes().text("CustomerImage").i32(5)),
                               -1,
                               [](WWWconnection& c) { return wire::deleteCustomerImage(c, 5); }));
    cases.push_back(statusCase(
        "DeleteCustomerCategory", req(8, Bytes().text("CustomerCategory").i32(0).text(kKehu)), -1,
        [](WWWconnection& c) { return wire::deleteCustomerCategory(c, "客戶"); }));
    cases.push_back(
        statusCase("DeleteEventCategory", req(8, Bytes().text("EventCategory").i32(0).text("Call")),
                   -4, [](WWWconnection& c) { return wire::deleteEventCategory(c, "Call"); }));
    cases.push_back(statusCase("DeleteEmployee", req(8, Bytes().text("Employee").i32(15)), -1,
                               [](WWWconnection& c) { return wire::deleteEmployee(c, 15); }));
    cases.push_back(statusCase("DeleteEvent", req(8, Bytes().text("Event").i32(3)), -1,
                               [](WWWconnection& c) { return wire::deleteEvent(c, 3); }));

    // ---- Query
    using Names = std::vector<std::string>;
    cases.push_back({"QueryCustomerCategories", req(9, Bytes().text("CustomerCategory")),
                     rows({{kKehu}, {"VIP"}}),
                     listRun<std::string>(wire::queryCustomerCategories, Names{"客戶", "VIP"})});
    cases.push_back({"QueryCustomerCategoriesNone", req(9, Bytes().text("CustomerCategory")),
                     rows({}), listRun<std::string>(wire::queryCustomerCategories, Names{})});
    cases.push_back({"QueryEventCategories", req(9, Bytes().text("EventCategory")),
                     rows({{"Call"}, {"Visit"}}),
                     listRun<std::string>(wire::queryEventCategories, Names{"Call", "Visit"})});
    cases.push_back({"QueryEmployees", req(9, Bytes().text("Employee")),
                     rows({{"11", "ADMIN", kWang}, {"12", "B01", "Bob"}}),
                     [](WWWconnection& c, Outcome o) {
                         auto got = wire::queryEmployees(c);
                         if (o != Outcome::Intact) {
                             EXPECT_TRUE(got.empty());
                             return;
                         }
                         ASSERT_EQ(got.size(), 2u);
                         EXPECT_EQ(got[0].oid, "11");
                         EXPECT_EQ(got[0].id, "ADMIN");
                         EXPECT_EQ(got[0].name, "王小明");
                         EXPECT_EQ(got[1].name, "Bob");
                     }});
    const std::vector<std::string> customerRow = {"77",  kKehu,   "C0001", kWang,   "02-1234",
                                                  "fax", kTaipei, "VIP",   "ADMIN", "2027-01-01"};
    cases.push_back({"QueryCustomers", req(9, Bytes().text("Customer").text(cond).i32(25)),
                     Bytes().i32(26).raw(rows({customerRow})), [](WWWconnection& c, Outcome o) {
                         wire::CustomerPage p = wire::queryCustomers(c, "name like '%x%'", 25);
                         if (o != Outcome::Intact) {
                             EXPECT_FALSE(p.ok);
                             EXPECT_EQ(p.total, 0);
                             EXPECT_TRUE(p.rows.empty());
                             return;
                         }
                         EXPECT_TRUE(p.ok);
                         EXPECT_EQ(p.total, 26);
                         ASSERT_EQ(p.rows.size(), 1u);
                         EXPECT_EQ(p.rows[0],
                                   (wire::Row{"77", "客戶", "C0001", "王小明", "02-1234", "fax",
                                              "台北市", "VIP", "ADMIN", "2027-01-01"}));
                     }});
    cases.push_back({"QueryCustomersEmpty", req(9, Bytes().text("Customer").text("").i32(0)),
                     Bytes().i32(0).text(""), [](WWWconnection& c, Outcome o) {
                         wire::CustomerPage p = wire::queryCustomers(c, "", 0);
                         EXPECT_EQ(p.ok, o == Outcome::Intact);
                         EXPECT_EQ(p.total, 0);
                         EXPECT_TRUE(p.rows.empty());
                     }});
    using Rows = std::vector<wire::Row>;
    cases.push_back(
        {"QueryEvents",
         req(9, Bytes().text("Event").i32(77).i32(1000).i32(2000).text("title like '%a%'")),
         rows({{"3", "2024-01-02 10:00", "Call", kKehu, "sum", "ADMIN"}}),
         listRun<wire::Row>(
             [](WWWconnection& c) {
                 return wire::queryEvents(c, 77, 1000, 2000, "title like '%a%'");
             },
             Rows{{"3", "2024-01-02 10:00", "Call", "客戶", "sum", "ADMIN"}})});
    cases.push_back({"QueryServerTime", req(9, Bytes().text("ServerTime")), Bytes().i32(1700000555),
                     [](WWWconnection& c, Outcome o) {
                         auto t = wire::queryServerTime(c);
                         EXPECT_EQ(t, o == Outcome::Intact ? std::optional<wire::Stamp>(1700000555)
                                                           : std::nullopt);
                     }});

    // ---- Report
    const wire::Row eventReport = {"3",     "2024-01-02", "C0001", "王小明",
                                   "ADMIN", "Call",       "客戶",  "sum"};
    cases.push_back(
        {"ReportEvents", req(10, Bytes().text("Event").i32(1000).i32(2000).text("")),
         rows({{"3", "2024-01-02", "C0001", kWang, "ADMIN", "Call", kKehu, "sum"}}),
         listRun<wire::Row>([](WWWconnection& c) { return wire::reportEvents(c, 1000, 2000, ""); },
                            Rows{eventReport})});
    const wire::Row customerReport = {"77",   "2024-01-02", "C0001",      "王小明", "ADMIN",
                                      "客戶", "2027-01-01", "2024-03-04", "VIP"};
    cases.push_back({"ReportCustomers",
                     req(10, Bytes().text("Customer").i32(1000).i32(2000).text(cond)),
                     rows({{"77", "2024-01-02", "C0001", kWang, "ADMIN", kKehu, "2027-01-01",
                            "2024-03-04", "VIP"}}),
                     listRun<wire::Row>(
                         [](WWWconnection& c) {
                             return wire::reportCustomers(c, 1000, 2000, "name like '%x%'");
                         },
                         Rows{customerReport})});
    return cases;
}

// Runs one case: the peer reads the request, then answers as the outcome says and closes.
void runCase(const Case& tc, Outcome outcome) {
    SCOPED_TRACE(tc.name + " " + outcomeName(outcome));
    std::string body;
    LoopbackPeer peer([&](PeerConnection& c) {
        int32_t code = 0;
        if (!c.readRequest(code, body)) {
            return;
        }
        if (tc.reply && outcome == Outcome::Lost) {
            return;  // closes before the reply
        }
        if (tc.reply && outcome == Outcome::Intact) {
            c.sendReply(*tc.reply);
        } else if (tc.reply && outcome == Outcome::Cut) {
            c.sendReply(tc.reply->substr(0, tc.reply->size() - 1));
        }
        c.sawEof(5000);  // keep the connection until the client is done
    });
    win_socket socket(peer.address().c_str());
    ASSERT_TRUE(socket.connect_ms(1, 0));
    WWWconnection channel;
    channel.socket = &socket;
    tc.run(channel, outcome);
    socket.close();
    peer.join();
    ASSERT_TRUE(peer.accepted());
    EXPECT_EQ(peer.connection().received(), tc.request);
}

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

class Catalogue : public ::testing::TestWithParam<Case> {};

TEST_P(Catalogue, RequestBytesAndReplyParsed) {
    runCase(GetParam(), Outcome::Intact);
}

TEST_P(Catalogue, LostLinkGivesTheFailureResult) {
    if (GetParam().reply) {
        runCase(GetParam(), Outcome::Lost);
    }
}

TEST_P(Catalogue, ReplyOneByteShortGivesTheFailureResult) {
    if (GetParam().reply) {
        runCase(GetParam(), Outcome::Cut);
    }
}

INSTANTIATE_TEST_SUITE_P(All, Catalogue, ::testing::ValuesIn(catalogue()),
                         [](const auto& info) { return info.param.name; });

TEST(CatalogueText, ATextCp950CannotHoldIsNeverSent) {
    LoopbackPeer peer([](PeerConnection& c) {
        int32_t code;
        std::string body;
        if (c.readRequest(code, body)) {
            c.sendReply(Bytes().i32(-1));
        }
        c.sawEof(5000);
    });
    win_socket socket(peer.address().c_str());
    ASSERT_TRUE(socket.connect_ms(1, 0));
    WWWconnection channel;
    channel.socket = &socket;
    const char* emoji = "\xF0\x9F\x98\x80";
    EXPECT_EQ(wire::insertCustomerCategory(channel, emoji), wire::kStatusFailed);
    EXPECT_FALSE(wire::login(channel, emoji, "PW").sent);
    EXPECT_TRUE(wire::queryEvents(channel, 1, 0, 0, emoji).empty());
    wire::Customer bad = customer();
    bad.info = emoji;
    EXPECT_EQ(wire::insertCustomer(channel, bad).status, wire::kStatusFailed);
    EXPECT_EQ(channel.requestLength(), 0);  // nothing left behind for the next request
    EXPECT_EQ(wire::deleteEmployee(channel, 15), -1);
    socket.close();
    peer.join();
    EXPECT_EQ(peer.connection().received(), req(8, Bytes().text("Employee").i32(15)));
}

TEST(CatalogueText, MessageCheckInterleavesWithNothing) {
    LoopbackPeer peer([](PeerConnection& c) {
        int32_t code;
        std::string body;
        c.readRequest(code, body);  // the message check: no answer
        if (c.readRequest(code, body)) {
            c.sendReply(Bytes().i32(-1).raw(employeeBytes()));
        }
        c.sawEof(5000);
    });
    win_socket socket(peer.address().c_str());
    ASSERT_TRUE(socket.connect_ms(1, 0));
    WWWconnection channel;
    channel.socket = &socket;
    EXPECT_TRUE(wire::empMsgCheck(channel, 11));
    wire::EmployeeReply r = wire::getEmployee(channel, 11);
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(r.employee, kEmployee);
}

TEST(CatalogueText, WithoutASocketEveryReaderFails) {
    WWWconnection channel;
    EXPECT_FALSE(wire::logout(channel));
    EXPECT_FALSE(wire::login(channel, "A", "B").sent);
    EXPECT_TRUE(wire::queryCustomerCategories(channel).empty());
    EXPECT_FALSE(wire::queryCustomers(channel, "", 0).ok);
    EXPECT_EQ(wire::deleteCustomer(channel, 1), wire::kStatusFailed);
}

TEST(Rows, WriteRowsIsWhatReadRowsReads) {
    std::vector<wire::Row> table = {{"1", "客戶", ""}, {"2", "b", "王小明"}};
    wire::StringWriter w;
    ASSERT_TRUE(wire::writeRows(w, table));
    EXPECT_EQ(w.bytes(), rows({{"1", kKehu, ""}, {"2", "b", kWang}}));
    wire::WireReader r(w.bytes().data(), w.bytes().size());
    EXPECT_EQ(wire::readRows(r, 3), table);
    EXPECT_TRUE(r.atEnd());
}

}  // namespace
