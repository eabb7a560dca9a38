// The request catalogue. Every function builds its body from scratch, sends it, and for the
// requests that have a reply reads exactly that reply's layout through the bounded reader.
// A body that could not be built (a text CP950 cannot hold) is never sent; a failed send or
// receive, a disconnect reply or a reply that ends early gives the failure result: an empty
// list, kStatusFailed, or ok = false.
#include "requests.h"

#include <charconv>
#include <limits>

#include "www_connection.h"

namespace wire {
namespace {

void begin(WWWconnection& c, const char* topic) {
    c.resetRequest();
    c.appendString(topic);
}

// Sends the body built so far. A body marked failed, or one whose send failed, is dropped so
// that it cannot leak into the next request.
bool send(WWWconnection& c, int32_t code) {
    if (c.failed() || !c.sendRequest(code)) {
        c.resetRequest();
        return false;
    }
    return true;
}

bool exchange(WWWconnection& c, int32_t code) {
    return send(c, code) && c.receiveReply();
}

// For the replies that are a single status.
int32_t statusReply(WWWconnection& c, int32_t code) {
    if (!exchange(c, code)) {
        return kStatusFailed;
    }
    int32_t status = c.reply().readInt32();
    return c.reply().broken() ? kStatusFailed : status;
}

// For the replies that are one list of rows.
std::vector<Row> rowsReply(WWWconnection& c, int32_t code, int columns) {
    if (!exchange(c, code)) {
        return {};
    }
    std::vector<Row> rows = readRows(c.reply(), columns);
    if (c.reply().broken()) {
        return {};
    }
    return rows;
}

// For the replies that are a status followed, when hasBody(status) holds, by a body that
// readBody(reader, reply) reads into the reply. A reply that ends early, in the status or in
// the body, gives the failure result; readBody fills the reply only once all of it is read.
template <class Reply, class HasBody, class ReadBody>
Reply statusBodyReply(WWWconnection& c, int32_t code, HasBody hasBody, ReadBody readBody) {
    Reply reply;
    if (!exchange(c, code)) {
        return reply;
    }
    WireReader& r = c.reply();
    int32_t status = r.readInt32();
    if (r.broken()) {
        return reply;
    }
    if (hasBody(status) && !readBody(r, reply)) {
        return reply;
    }
    reply.status = status;
    return reply;
}

bool isOk(int32_t status) {
    return status == kStatusOk;
}

std::vector<std::string> namesReply(WWWconnection& c) {
    std::vector<std::string> names;
    for (Row& row : rowsReply(c, kQuery, 1)) {
        names.push_back(std::move(row[0]));
    }
    return names;
}

int32_t parseOid(const std::string& text) {
    int32_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() ? value : 0;
}

}  // namespace

std::vector<Row> readRows(WireReader& r, int columns) {
    std::vector<Row> rows;
    if (columns <= 0) {
        return rows;
    }
    for (;;) {
        std::string first = r.readText();
        if (r.broken() || first.empty()) {
            return rows;
        }
        Row row;
        row.reserve(static_cast<size_t>(columns));
        row.push_back(std::move(first));
        for (int i = 1; i < columns; ++i) {
            row.push_back(r.readText());
        }
        if (r.broken()) {
            return rows;  // a row cut short is not kept
        }
        rows.push_back(std::move(row));
    }
}

bool writeRows(WireWriter& w, const std::vector<Row>& rows) {
    for (const Row& row : rows) {
        for (const std::string& text : row) {
            if (!w.appendText(text)) {
                return false;
            }
        }
    }
    w.appendByte(0);
    return !w.failed();
}

// ---- Login / Logout

LoginReply login(WWWconnection& c, std::string_view employeeId, std::string_view password,
                 int32_t clientVersion) {
    LoginReply reply;
    c.resetRequest();
    c.appendInt32(clientVersion);
    c.appendText(employeeId);
    c.appendText(password);
    reply.sent = send(c, kLogin);
    if (!reply.sent || !c.receiveReply()) {
        return reply;
    }
    WireReader& r = c.reply();
    int32_t status = r.readInt32();
    if (r.broken()) {
        return reply;
    }
    if (status != kStatusFailed && status != kStatusRefused) {
        reply.employeeOidText = r.readText();
        reply.company = r.readText();
        if (r.broken()) {
            reply.employeeOidText.clear();
            reply.company.clear();
            return reply;
        }
        reply.employeeOid = parseOid(reply.employeeOidText);
    }
    reply.status = status;
    return reply;
}

bool logout(WWWconnection& c) {
    c.resetRequest();
    return send(c, kLogout);
}

// ---- Get

EmployeeReply getEmployee(WWWconnection& c, Oid oid) {
    begin(c, kTopicEmployee);
    c.appendInt32(oid);
    return statusBodyReply<EmployeeReply>(c, kGet, isOk, [](WireReader& r, EmployeeReply& reply) {
        Employee e;
        if (!readEmployee(r, e)) {
            return false;
        }
        reply.employee = std::move(e);
        return true;
    });
}

CustomerReply getCustomer(WWWconnection& c, Oid oid) {
    begin(c, kTopicCustomer);
    c.appendInt32(oid);
    return statusBodyReply<CustomerReply>(c, kGet, isOk, [](WireReader& r, CustomerReply& reply) {
        Customer customer;
        if (!readCustomer(r, customer)) {
            return false;
        }
        std::vector<Row> rows = readRows(r, kPictureRowColumns);
        if (r.broken()) {
            return false;
        }
        reply.customer = std::move(customer);
        for (Row& row : rows) {
            reply.pictures.push_back({std::move(row[0]), std::move(row[1]), std::move(row[2])});
        }
        return true;
    });
}

std::vector<uint8_t> getCustomerImage(WWWconnection& c, Oid pictureOid) {
    begin(c, kTopicCustomerImage);
    c.appendInt32(pictureOid);
    if (!exchange(c, kGet)) {
        return {};
    }
    WireReader& r = c.reply();
    int32_t n = r.readInt32();
    if (r.broken() || n <= 0 || static_cast<size_t>(n) > r.remaining()) {
        return {};
    }
    std::vector<uint8_t> jpeg(static_cast<size_t>(n));
    if (!r.readBytes(jpeg.data(), jpeg.size())) {
        return {};
    }
    return jpeg;
}

EventReply getEvent(WWWconnection& c, Oid oid) {
    begin(c, kTopicEvent);
    c.appendInt32(oid);
    return statusBodyReply<EventReply>(c, kGet, isOk, [](WireReader& r, EventReply& reply) {
        Event e;
        if (!readEvent(r, e)) {
            return false;
        }
        reply.event = std::move(e);
        return true;
    });
}

bool empMsgCheck(WWWconnection& c, Oid employeeOid) {
    begin(c, kTopicEmpMsgCheck);
    c.appendInt32(employeeOid);
    return send(c, kGet);
}

// ---- Insert

InsertCustomerReply insertCustomer(WWWconnection& c, const Customer& customer) {
    begin(c, kTopicCustomer);
    writeCustomer(c, customer);
    return statusBodyReply<InsertCustomerReply>(c, kInsert, insertSucceeded,
                                                [](WireReader& r, InsertCustomerReply& reply) {
                                                    std::string id = r.readText();
                                                    if (r.broken()) {
                                                        return false;
                                                    }
                                                    reply.id = std::move(id);
                                                    return true;
                                                });
}

int32_t insertCustomerImage(WWWconnection& c, uint8_t customerVersion, const CustomerImage& image,
                            std::span<const uint8_t> jpeg) {
    if (jpeg.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
        return kStatusFailed;
    }
    begin(c, kTopicCustomerImage);
    c.appendByte(customerVersion);
    writeCustomerImage(c, image);
    c.appendInt32(static_cast<int32_t>(jpeg.size()));
    c.appendBytes(jpeg.data(), jpeg.size());
    return statusReply(c, kInsert);
}

namespace {

int32_t insertCategory(WWWconnection& c, const char* topic, std::string_view name) {
    begin(c, topic);
    c.appendText(name);
    return statusReply(c, kInsert);
}

}  // namespace

int32_t insertCustomerCategory(WWWconnection& c, std::string_view name) {
    return insertCategory(c, kTopicCustomerCategory, name);
}

int32_t insertEventCategory(WWWconnection& c, std::string_view name) {
    return insertCategory(c, kTopicEventCategory, name);
}

int32_t insertEmployee(WWWconnection& c, const Employee& e) {
    begin(c, kTopicEmployee);
    writeEmployee(c, e);
    return statusReply(c, kInsert);
}

int32_t insertEvent(WWWconnection& c, const Event& e) {
    begin(c, kTopicEvent);
    writeEvent(c, e);
    return statusReply(c, kInsert);
}

// ---- Update

int32_t updateCustomer(WWWconnection& c, Oid oid, const Customer& customer) {
    begin(c, kTopicCustomer);
    c.appendInt32(oid);
    writeCustomer(c, customer);
    return statusReply(c, kUpdate);
}

namespace {

int32_t renameCategory(WWWconnection& c, const char* topic, std::string_view oldName,
                       std::string_view newName) {
    begin(c, topic);
    c.appendText(oldName);
    c.appendText(newName);
    return statusReply(c, kUpdate);
}

}  // namespace

int32_t updateCustomerCategory(WWWconnection& c, std::string_view oldName,
                               std::string_view newName) {
    return renameCategory(c, kTopicCustomerCategory, oldName, newName);
}

int32_t updateEventCategory(WWWconnection& c, std::string_view oldName, std::string_view newName) {
    return renameCategory(c, kTopicEventCategory, oldName, newName);
}

int32_t updateEmployee(WWWconnection& c, Oid oid, const Employee& e) {
    begin(c, kTopicEmployee);
    c.appendInt32(oid);
    writeEmployee(c, e);
    return statusReply(c, kUpdate);
}

int32_t updateEvent(WWWconnection& c, Oid oid, const Event& e) {
    begin(c, kTopicEvent);
    c.appendInt32(oid);
    writeEvent(c, e);
    return statusReply(c, kUpdate);
}

// ---- Delete

namespace {

int32_t deleteByOid(WWWconnection& c, const char* topic, Oid oid) {
    begin(c, topic);
    c.appendInt32(oid);
    return statusReply(c, kDelete);
}

int32_t deleteCategory(WWWconnection& c, const char* topic, std::string_view name) {
    begin(c, topic);
    c.appendInt32(0);
    c.appendText(name);
    return statusReply(c, kDelete);
}

}  // namespace

int32_t deleteCustomer(WWWconnection& c, Oid oid) {
    return deleteByOid(c, kTopicCustomer, oid);
}

int32_t deleteCustomerImage(WWWconnection& c, Oid pictureOid) {
    return deleteByOid(c, kTopicCustomerImage, pictureOid);
}

int32_t deleteCustomerCategory(WWWconnection& c, std::string_view name) {
    return deleteCategory(c, kTopicCustomerCategory, name);
}

int32_t deleteEventCategory(WWWconnection& c, std::string_view name) {
    return deleteCategory(c, kTopicEventCategory, name);
}

int32_t deleteEmployee(WWWconnection& c, Oid oid) {
    return deleteByOid(c, kTopicEmployee, oid);
}

int32_t deleteEvent(WWWconnection& c, Oid oid) {
    return deleteByOid(c, kTopicEvent, oid);
}

// ---- Query

std::vector<std::string> queryCustomerCategories(WWWconnection& c) {
    begin(c, kTopicCustomerCategory);
    return namesReply(c);
}

std::vector<std::string> queryEventCategories(WWWconnection& c) {
    begin(c, kTopicEventCategory);
    return namesReply(c);
}

std::vector<EmployeeRow> queryEmployees(WWWconnection& c) {
    begin(c, kTopicEmployee);
    std::vector<EmployeeRow> employees;
    for (Row& row : rowsReply(c, kQuery, kEmployeeRowColumns)) {
        employees.push_back({std::move(row[0]), std::move(row[1]), std::move(row[2])});
    }
    return employees;
}

CustomerPage queryCustomers(WWWconnection& c, std::string_view condition, int32_t offset) {
    CustomerPage page;
    begin(c, kTopicCustomer);
    c.appendText(condition);
    c.appendInt32(offset);
    if (!exchange(c, kQuery)) {
        return page;
    }
    WireReader& r = c.reply();
    int32_t total = r.readInt32();
    std::vector<Row> rows = readRows(r, kCustomerRowColumns);
    if (r.broken()) {
        return page;
    }
    page.ok = true;
    page.total = total;
    page.rows = std::move(rows);
    return page;
}

std::vector<Row> queryEvents(WWWconnection& c, Oid customer, Stamp from, Stamp to,
                             std::string_view condition) {
    begin(c, kTopicEvent);
    c.appendInt32(customer);
    c.appendInt32(from);
    c.appendInt32(to);
    c.appendText(condition);
    return rowsReply(c, kQuery, kEventRowColumns);
}

std::optional<Stamp> queryServerTime(WWWconnection& c) {
    begin(c, kTopicServerTime);
    if (!exchange(c, kQuery)) {
        return std::nullopt;
    }
    Stamp now = c.reply().readInt32();
    if (c.reply().broken()) {
        return std::nullopt;
    }
    return now;
}

// ---- Report

namespace {

std::vector<Row> report(WWWconnection& c, const char* topic, Stamp from, Stamp to,
                        std::string_view condition, int columns) {
    begin(c, topic);
    c.appendInt32(from);
    c.appendInt32(to);
    c.appendText(condition);
    return rowsReply(c, kReport, columns);
}

}  // namespace

std::vector<Row> reportEvents(WWWconnection& c, Stamp from, Stamp to, std::string_view condition) {
    return report(c, kTopicEvent, from, to, condition, kEventReportColumns);
}

std::vector<Row> reportCustomers(WWWconnection& c, Stamp from, Stamp to,
                                 std::string_view condition) {
    return report(c, kTopicCustomer, from, to, condition, kCustomerReportColumns);
}

}  // namespace wire
