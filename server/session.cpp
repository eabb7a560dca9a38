// Request decoding, permission checks and reply layouts of one session. The database work is
// Store's; this file only decides who may do what and how each reply is laid out.
#include "session.h"

#include <ctime>
#include <thread>

#include "condition.h"
#include "log.h"
#include "protocol.h"
#include "records.h"
#include "requests.h"

namespace kestd {

using wire::Oid;

// The body being decoded. complete() holds when every field was there and nothing is left.
struct Session::Request {
    wire::WireReader r;
    bool complete() const { return !r.broken() && r.atEnd(); }
};

namespace {

std::string status(int32_t s) {
    wire::StringWriter w;
    w.appendInt32(s);
    return std::move(w.bytes());
}

// A text for a reply. Everything stored came in as CP950, so a text that cannot go back is a
// damaged row; it is shown as "?" rather than shifting the fields after it.
void putText(wire::WireWriter& w, const std::string& text) {
    if (!w.appendText(text)) {
        w.clearFailed();
        w.appendString("?");
    }
}

void putRows(wire::WireWriter& w, const std::vector<TextRow>& rows) {
    for (const auto& row : rows) {
        // The list ends at the first empty text of a row's first column.
        if (row.empty() || row[0].empty())
            continue;
        for (const auto& t : row)
            putText(w, t);
    }
    w.appendByte(0);
}

// The kind of category a category topic names; the caller has checked it is one of the two.
Store::CategoryKind categoryKind(const std::string& topic) {
    return topic == wire::kTopicCustomerCategory ? Store::CategoryKind::Customer
                                                 : Store::CategoryKind::Event;
}

// What a session logged in as `employee` with these rights may see of the customers.
Viewer viewerFor(Oid employee, int32_t permission) {
    return Viewer{employee, (permission & wire::kPermAllCustomers) != 0};
}

std::string clip(std::string_view s) {
    constexpr size_t kMax = 200;
    if (s.size() <= kMax)
        return std::string(s);
    return std::string(s.substr(0, kMax)) + "...";
}

const char* codeName(int32_t code) {
    switch (code) {
        case wire::kLogin:
            return "Login";
        case wire::kGet:
            return "Get";
        case wire::kInsert:
            return "Insert";
        case wire::kUpdate:
            return "Update";
        case wire::kDelete:
            return "Delete";
        case wire::kQuery:
            return "Query";
        case wire::kReport:
            return "Report";
        case wire::kLogout:
            return "Logout";
        default:
            return "unknown";
    }
}

}  // namespace

Session::Session(SessionServices services, SqlDb& db, std::string peer)
    : services_(services), store_(db), peer_(std::move(peer)) {}

void Session::refuseLog(const std::string& what) {
    logLine("refused " + peer_ + (employeeNumber_.empty() ? "" : " " + employeeNumber_) + ": " +
            what);
}

bool Session::permitted(int32_t bits, const char* what) {
    if (permission_ & bits)
        return true;
    refuseLog(std::string(what) + " (no permission)");
    return false;
}

std::string Session::refusal(int32_t code, const std::string& topic) const {
    if (code == wire::kQuery) {
        if (topic == wire::kTopicCustomer)
            return status(0) + std::string(1, '\0');
        if (topic == wire::kTopicServerTime)
            return status(static_cast<int32_t>(time(nullptr)));
        return std::string(1, '\0');
    }
    if (code == wire::kReport)
        return std::string(1, '\0');
    if (code == wire::kGet && topic == wire::kTopicCustomerImage)
        return status(0);
    return status(wire::kStatusFailed);
}

std::optional<std::string> Session::handle(int32_t code, std::string_view body) {
    if (code == wire::kLogout) {
        if (employee_)
            logLine("logout " + peer_ + " " + employeeNumber_);
        employee_ = 0;
        employeeNumber_.clear();
        permission_ = 0;
        return std::nullopt;
    }
    if (code == wire::kLogin)
        return login(body);

    Request rq;
    rq.r.reset(body.data(), body.size());
    std::string topic = rq.r.readText();
    if (code == wire::kGet && topic == wire::kTopicEmpMsgCheck)
        return std::nullopt;
    if (!employee_) {
        refuseLog(std::string(codeName(code)) + " " + clip(topic) + " before login");
        return status(wire::kStatusFailed);
    }
    if (rq.r.broken()) {
        refuseLog(std::string(codeName(code)) + ": the topic does not decode");
        return status(wire::kStatusFailed);
    }
    try {
        // The rights are read afresh for every request, so a change by an administrator (or the
        // account's deletion) takes effect at once.
        auto me = store_.employeeByOid(employee_);
        if (!me || !(me->record.permission & wire::kPermLogin)) {
            refuseLog("the account was removed or lost its login right");
            employee_ = 0;
            return status(wire::kStatusFailed);
        }
        permission_ = me->record.permission;
        return dispatch(code, topic, rq);
    } catch (const SqlError& e) {
        logLine("database error " + peer_ + " " + codeName(code) + " " + clip(topic) + ": " +
                e.what());
    } catch (const std::exception& e) {
        logLine("error " + peer_ + " " + codeName(code) + " " + clip(topic) + ": " + e.what());
    }
    return refusal(code, topic);
}

std::string Session::login(std::string_view body) {
    // A new Login replaces the old one, whatever its outcome: a failed attempt leaves the
    // connection logged out.
    employee_ = 0;
    employeeNumber_.clear();
    permission_ = 0;
    wire::WireReader r(body.data(), body.size());
    int32_t version = r.readInt32();
    std::string id = r.readText();
    std::string password = r.readText();
    if (r.broken() || !r.atEnd()) {
        refuseLog("Login: the body does not decode");
        return status(wire::kStatusFailed);
    }
    if (version != services_.config.acceptVersion) {
        refuseLog("Login " + clip(id) + ": client version " + std::to_string(version));
        return status(wire::kStatusRefused);
    }
    std::this_thread::sleep_until(services_.throttle.reserve(peer_));
    try {
        auto e = store_.employeeByNumber(id);
        bool ok;
        if (e) {
            ok = services_.hasher.verify(e->passwordHash, password);
        } else {
            // The same work as for a known number, so the answer time does not tell which
            // employee numbers exist.
            services_.hasher.hash(password);
            ok = false;
        }
        if (!ok) {
            services_.throttle.failed(peer_);
            refuseLog("Login " + clip(id) + ": wrong employee number or password");
            return status(wire::kStatusFailed);
        }
        if (!(e->record.permission & wire::kPermLogin)) {
            refuseLog("Login " + clip(id) + ": no login right");
            return status(wire::kStatusFailed);
        }
        services_.throttle.succeeded(peer_);
        employee_ = e->record.oid;
        employeeNumber_ = e->record.id;
        permission_ = e->record.permission;
        logLine("login " + peer_ + " " + employeeNumber_);
        wire::StringWriter w;
        w.appendInt32(wire::kStatusOk);
        putText(w, std::to_string(employee_));
        putText(w, services_.config.company);
        return std::move(w.bytes());
    } catch (const std::exception& ex) {
        logLine("database error " + peer_ + " Login: " + ex.what());
        return status(wire::kStatusFailed);
    }
}

std::string Session::dispatch(int32_t code, const std::string& topic, Request& rq) {
    switch (code) {
        case wire::kGet:
            return get(topic, rq);
        case wire::kInsert:
            return insert(topic, rq);
        case wire::kUpdate:
            return update(topic, rq);
        case wire::kDelete:
            return remove(topic, rq);
        case wire::kQuery:
            return query(topic, rq);
        case wire::kReport:
            return report(topic, rq);
        default:
            refuseLog("unknown request code " + std::to_string(code));
            return status(wire::kStatusFailed);
    }
}

#define KEST_REQUIRE_COMPLETE(code, topic)                                         \
    if (!rq.complete()) {                                                          \
        refuseLog(std::string(codeName(code)) + " " + topic + ": malformed body"); \
        return refusal(code, topic);                                               \
    }

std::string Session::get(const std::string& topic, Request& rq) {
    const int32_t code = wire::kGet;
    Viewer v = viewerFor(employee_, permission_);
    if (topic == wire::kTopicEmployee) {
        Oid oid = rq.r.readInt32();
        KEST_REQUIRE_COMPLETE(code, topic);
        auto e = store_.employeeByOid(oid);
        if (!e)
            return status(wire::kStatusFailed);
        wire::StringWriter w;
        w.appendInt32(wire::kStatusOk);
        e->record.password.clear();  // a password never leaves the server
        if (!wire::writeEmployee(w, e->record))
            return status(wire::kStatusFailed);
        return std::move(w.bytes());
    }
    if (topic == wire::kTopicCustomer) {
        Oid oid = rq.r.readInt32();
        KEST_REQUIRE_COMPLETE(code, topic);
        auto c = store_.customer(oid, v);
        if (!c)
            return status(wire::kStatusFailed);
        wire::StringWriter w;
        w.appendInt32(wire::kStatusOk);
        if (!wire::writeCustomer(w, c->customer))
            return status(wire::kStatusFailed);
        putRows(w, c->pictures);
        return std::move(w.bytes());
    }
    if (topic == wire::kTopicCustomerImage) {
        Oid oid = rq.r.readInt32();
        KEST_REQUIRE_COMPLETE(code, topic);
        auto jpeg = store_.picture(oid, v);
        if (!jpeg)
            return status(0);
        wire::StringWriter w;
        w.appendInt32(static_cast<int32_t>(jpeg->size()));
        w.appendBytes(jpeg->data(), jpeg->size());
        return std::move(w.bytes());
    }
    if (topic == wire::kTopicEvent) {
        Oid oid = rq.r.readInt32();
        KEST_REQUIRE_COMPLETE(code, topic);
        if (!permitted(wire::kPermEvents | wire::kPermReports | wire::kPermChangeEvents,
                       "Get Event"))
            return status(wire::kStatusFailed);
        auto e = store_.event(oid, v);
        if (!e)
            return status(wire::kStatusFailed);
        wire::StringWriter w;
        w.appendInt32(wire::kStatusOk);
        if (!wire::writeEvent(w, *e))
            return status(wire::kStatusFailed);
        return std::move(w.bytes());
    }
    refuseLog("Get: unknown topic " + clip(topic));
    return status(wire::kStatusFailed);
}

std::string Session::insert(const std::string& topic, Request& rq) {
    const int32_t code = wire::kInsert;
    Viewer v = viewerFor(employee_, permission_);
    int32_t s = wire::kStatusFailed;
    if (topic == wire::kTopicCustomer) {
        wire::Customer c;
        wire::readCustomer(rq.r, c);
        KEST_REQUIRE_COMPLETE(code, topic);
        if (!permitted(wire::kPermInsertCustomer, "Insert Customer"))
            return refusal(code, topic);
        std::string id;
        s = store_.insertCustomer(c, employee_, id);
        if (!wire::insertSucceeded(s)) {
            refuseLog("Insert Customer " + clip(c.id) + ": refused by the store");
            return status(s);
        }
        wire::StringWriter w;
        w.appendInt32(s);
        putText(w, id);
        return std::move(w.bytes());
    } else if (topic == wire::kTopicCustomerImage) {
        uint8_t version = rq.r.readByte();
        wire::CustomerImage image;
        wire::readCustomerImage(rq.r, image);
        int32_t n = rq.r.readInt32();
        if (rq.r.broken() || n <= 0 || static_cast<size_t>(n) != rq.r.remaining()) {
            refuseLog("Insert CustomerImage: malformed body");
            return refusal(code, topic);
        }
        std::vector<uint8_t> jpeg(static_cast<size_t>(n));
        rq.r.readBytes(jpeg.data(), jpeg.size());
        KEST_REQUIRE_COMPLETE(code, topic);
        if (jpeg.size() < 2 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) {
            refuseLog("Insert CustomerImage: not a JPEG picture");
            return refusal(code, topic);
        }
        s = store_.insertPicture(version, image, std::move(jpeg), v);
    } else if (topic == wire::kTopicCustomerCategory || topic == wire::kTopicEventCategory) {
        std::string name = rq.r.readText();
        KEST_REQUIRE_COMPLETE(code, topic);
        // The customer import creates the categories it meets, so adding customers is
        // enough to add a customer category.
        int32_t bits = topic == wire::kTopicCustomerCategory
                           ? wire::kPermSettings | wire::kPermInsertCustomer
                           : wire::kPermSettings;
        if (!permitted(bits, ("Insert " + topic).c_str()))
            return refusal(code, topic);
        s = store_.insertCategory(categoryKind(topic), name);
    } else if (topic == wire::kTopicEmployee) {
        wire::Employee e;
        wire::readEmployee(rq.r, e);
        KEST_REQUIRE_COMPLETE(code, topic);
        if (!permitted(wire::kPermEmployees, "Insert Employee"))
            return refusal(code, topic);
        std::string hash = services_.hasher.hash(e.password);
        if (hash.empty())
            return refusal(code, topic);
        s = store_.insertEmployee(e, hash);
    } else if (topic == wire::kTopicEvent) {
        wire::Event e;
        wire::readEvent(rq.r, e);
        KEST_REQUIRE_COMPLETE(code, topic);
        if (!permitted(wire::kPermEvents, "Insert Event"))
            return refusal(code, topic);
        s = store_.insertEvent(e, employee_, v);
    } else {
        refuseLog("Insert: unknown topic " + clip(topic));
        return status(wire::kStatusFailed);
    }
    if (!wire::insertSucceeded(s))
        refuseLog("Insert " + topic + ": refused by the store");
    return status(s);
}

std::string Session::update(const std::string& topic, Request& rq) {
    const int32_t code = wire::kUpdate;
    Viewer v = viewerFor(employee_, permission_);
    int32_t s = wire::kStatusFailed;
    if (topic == wire::kTopicCustomer) {
        Oid oid = rq.r.readInt32();
        wire::Customer c;
        wire::readCustomer(rq.r, c);
        KEST_REQUIRE_COMPLETE(code, topic);
        // Without the change right the client still lets a user set the employees and the
        // expiry date; only those are taken then.
        bool full = (permission_ & wire::kPermChangeCustomer) != 0;
        s = store_.updateCustomer(oid, c, v, full, employee_);
    } else if (topic == wire::kTopicCustomerCategory || topic == wire::kTopicEventCategory) {
        std::string oldName = rq.r.readText();
        std::string newName = rq.r.readText();
        KEST_REQUIRE_COMPLETE(code, topic);
        if (!permitted(wire::kPermSettings, ("Update " + topic).c_str()))
            return refusal(code, topic);
        s = store_.renameCategory(categoryKind(topic), oldName, newName);
    } else if (topic == wire::kTopicEmployee) {
        Oid oid = rq.r.readInt32();
        wire::Employee e;
        wire::readEmployee(rq.r, e);
        KEST_REQUIRE_COMPLETE(code, topic);
        if (!permitted(wire::kPermEmployees, "Update Employee"))
            return refusal(code, topic);
        std::string hash;
        if (!e.password.empty()) {
            hash = services_.hasher.hash(e.password);
            if (hash.empty())
                return refusal(code, topic);
        }
        s = store_.updateEmployee(oid, e, hash);
    } else if (topic == wire::kTopicEvent) {
        Oid oid = rq.r.readInt32();
        wire::Event e;
        wire::readEvent(rq.r, e);
        KEST_REQUIRE_COMPLETE(code, topic);
        if (!permitted(wire::kPermChangeEvents, "Update Event"))
            return refusal(code, topic);
        s = store_.updateEvent(oid, e, employee_, v);
    } else {
        refuseLog("Update: unknown topic " + clip(topic));
        return status(wire::kStatusFailed);
    }
    if (s != wire::kStatusOk)
        refuseLog("Update " + topic + ": status " + std::to_string(s));
    return status(s);
}

std::string Session::remove(const std::string& topic, Request& rq) {
    const int32_t code = wire::kDelete;
    Viewer v = viewerFor(employee_, permission_);
    int32_t s = wire::kStatusFailed;
    if (topic == wire::kTopicCustomerCategory || topic == wire::kTopicEventCategory) {
        rq.r.readInt32();  // always 0: categories are addressed by name
        std::string name = rq.r.readText();
        KEST_REQUIRE_COMPLETE(code, topic);
        if (!permitted(wire::kPermSettings, ("Delete " + topic).c_str()))
            return refusal(code, topic);
        s = store_.deleteCategory(categoryKind(topic), name);
    } else {
        Oid oid = rq.r.readInt32();
        if (topic == wire::kTopicCustomer) {
            KEST_REQUIRE_COMPLETE(code, topic);
            if (!permitted(wire::kPermDeleteCustomer, "Delete Customer"))
                return refusal(code, topic);
            s = store_.deleteCustomer(oid, v);
        } else if (topic == wire::kTopicCustomerImage) {
            KEST_REQUIRE_COMPLETE(code, topic);
            if (!permitted(wire::kPermChangeCustomer, "Delete CustomerImage"))
                return refusal(code, topic);
            s = store_.deletePicture(oid, v);
        } else if (topic == wire::kTopicEmployee) {
            KEST_REQUIRE_COMPLETE(code, topic);
            if (!permitted(wire::kPermEmployees, "Delete Employee"))
                return refusal(code, topic);
            s = store_.deleteEmployee(oid, employee_);
        } else if (topic == wire::kTopicEvent) {
            KEST_REQUIRE_COMPLETE(code, topic);
            if (!permitted(wire::kPermChangeEvents, "Delete Event"))
                return refusal(code, topic);
            s = store_.deleteEvent(oid, v);
        } else {
            refuseLog("Delete: unknown topic " + clip(topic));
            return status(wire::kStatusFailed);
        }
    }
    if (s != wire::kStatusOk)
        refuseLog("Delete " + topic + ": status " + std::to_string(s));
    return status(s);
}

namespace {

std::optional<SqlFilter> translate(const std::string& text, ConditionTopic topic, Dialect d) {
    auto c = parseCondition(text);
    if (!c)
        return std::nullopt;
    auto f = conditionToSql(*c, topic, d);
    if (!f)
        return std::nullopt;
    return SqlFilter{f->where == "1=1" ? std::string() : f->where, std::move(f->params)};
}

}  // namespace

std::string Session::query(const std::string& topic, Request& rq) {
    const int32_t code = wire::kQuery;
    Viewer v = viewerFor(employee_, permission_);
    wire::StringWriter w;
    if (topic == wire::kTopicCustomerCategory || topic == wire::kTopicEventCategory) {
        KEST_REQUIRE_COMPLETE(code, topic);
        for (const auto& name : store_.categoryNames(categoryKind(topic)))
            putText(w, name);
        w.appendByte(0);
    } else if (topic == wire::kTopicEmployee) {
        KEST_REQUIRE_COMPLETE(code, topic);
        putRows(w, store_.employeeRows());
    } else if (topic == wire::kTopicCustomer) {
        std::string condition = rq.r.readText();
        int32_t offset = rq.r.readInt32();
        KEST_REQUIRE_COMPLETE(code, topic);
        auto f = translate(condition, ConditionTopic::Customer, store_.db().dialect());
        if (!f) {
            refuseLog("Query Customer: condition refused: " + clip(condition));
            return refusal(code, topic);
        }
        auto page = store_.customerPage(*f, offset, v);
        w.appendInt32(static_cast<int32_t>(std::min<int64_t>(page.total, INT32_MAX)));
        putRows(w, page.rows);
    } else if (topic == wire::kTopicEvent) {
        Oid customer = rq.r.readInt32();
        wire::Stamp from = rq.r.readInt32();
        wire::Stamp to = rq.r.readInt32();
        std::string condition = rq.r.readText();
        KEST_REQUIRE_COMPLETE(code, topic);
        if (!permitted(wire::kPermEvents, "Query Event"))
            return refusal(code, topic);
        auto f = translate(condition, ConditionTopic::Event, store_.db().dialect());
        if (!f) {
            refuseLog("Query Event: condition refused: " + clip(condition));
            return refusal(code, topic);
        }
        putRows(w, store_.customerEvents(customer, from, to, *f, v));
    } else if (topic == wire::kTopicServerTime) {
        KEST_REQUIRE_COMPLETE(code, topic);
        w.appendInt32(static_cast<int32_t>(time(nullptr)));
    } else {
        refuseLog("Query: unknown topic " + clip(topic));
        return status(wire::kStatusFailed);
    }
    return std::move(w.bytes());
}

std::string Session::report(const std::string& topic, Request& rq) {
    const int32_t code = wire::kReport;
    Viewer v = viewerFor(employee_, permission_);
    bool events = topic == wire::kTopicEvent;
    if (!events && topic != wire::kTopicCustomer) {
        refuseLog("Report: unknown topic " + clip(topic));
        return status(wire::kStatusFailed);
    }
    wire::Stamp from = rq.r.readInt32();
    wire::Stamp to = rq.r.readInt32();
    std::string condition = rq.r.readText();
    KEST_REQUIRE_COMPLETE(code, topic);
    if (!permitted(wire::kPermReports, ("Report " + topic).c_str()))
        return refusal(code, topic);
    auto f =
        translate(condition, events ? ConditionTopic::EventReport : ConditionTopic::CustomerReport,
                  store_.db().dialect());
    if (!f) {
        refuseLog("Report " + topic + ": condition refused: " + clip(condition));
        return refusal(code, topic);
    }
    size_t max = services_.config.maxReportRows;
    auto rows = events ? store_.eventReport(from, to, *f, v, max)
                       : store_.customerReport(from, to, *f, v, max);
    if (rows.size() >= max)
        logLine("Report " + topic + " for " + peer_ + " cut at " + std::to_string(max) + " rows");
    wire::StringWriter w;
    putRows(w, rows);
    return std::move(w.bytes());
}

}  // namespace kestd
