// The request catalogue: one typed function per request the client sends. Each appends its
// body, sends it under its code, receives the reply and reads exactly the reply's layout.
// Texts in and out are UTF-8. When a text argument cannot be written in CP950 the request
// is not sent and the function returns its failure result. When the reply is the disconnect
// reply or ends early, lists come back empty and statuses as kStatusFailed (-2): nothing is
// read past the end of a reply. Logout and the message check read no reply.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "protocol.h"
#include "records.h"

class WWWconnection;

namespace wire {

// A list row: a fixed number of texts.
using Row = std::vector<std::string>;

// ---- Login / Logout (codes 1, 11)
struct LoginReply {
    int32_t status = kStatusFailed;
    bool sent = false;        // the request went out (the login acts on this)
    Oid employeeOid = 0;      // parsed from the decimal text
    std::string employeeOidText;
    std::string company;
};
LoginReply login(WWWconnection& c, std::string_view employeeId, std::string_view password,
                 int32_t clientVersion = kClientVersion);
// The code alone; no reply is read. True when the send succeeded.
bool logout(WWWconnection& c);

// ---- Get (code 5)
struct EmployeeReply {
    int32_t status = kStatusFailed;
    Employee employee;
};
EmployeeReply getEmployee(WWWconnection& c, Oid oid);

struct PictureRow {
    std::string oid;   // decimal
    std::string date;  // date added, as the server formats it
    std::string name;
};
struct CustomerReply {
    int32_t status = kStatusFailed;
    Customer customer;
    std::vector<PictureRow> pictures;
};
CustomerReply getCustomer(WWWconnection& c, Oid oid);

// The JPEG bytes of a picture; empty when the server has none (n <= 0) or on failure.
std::vector<uint8_t> getCustomerImage(WWWconnection& c, Oid pictureOid);

struct EventReply {
    int32_t status = kStatusFailed;
    Event event;
};
EventReply getEvent(WWWconnection& c, Oid oid);

// The periodic message check; no reply is read. True when the send succeeded.
bool empMsgCheck(WWWconnection& c, Oid employeeOid);

// ---- Insert (code 6): statuses of kStatusOk or more mean created (0+ is the new oid).
struct InsertCustomerReply {
    int32_t status = kStatusFailed;
    std::string id;  // the customer number as stored by the server
};
InsertCustomerReply insertCustomer(WWWconnection& c, const Customer& customer);
int32_t insertCustomerImage(WWWconnection& c, uint8_t customerVersion, const CustomerImage& image,
                            std::span<const uint8_t> jpeg);
int32_t insertCustomerCategory(WWWconnection& c, std::string_view name);
int32_t insertEventCategory(WWWconnection& c, std::string_view name);
int32_t insertEmployee(WWWconnection& c, const Employee& e);
int32_t insertEvent(WWWconnection& c, const Event& e);

// ---- Update (code 7)
int32_t updateCustomer(WWWconnection& c, Oid oid, const Customer& customer);
int32_t updateCustomerCategory(WWWconnection& c, std::string_view oldName, std::string_view newName);
int32_t updateEventCategory(WWWconnection& c, std::string_view oldName, std::string_view newName);
int32_t updateEmployee(WWWconnection& c, Oid oid, const Employee& e);
int32_t updateEvent(WWWconnection& c, Oid oid, const Event& e);

// ---- Delete (code 8)
int32_t deleteCustomer(WWWconnection& c, Oid oid);
int32_t deleteCustomerImage(WWWconnection& c, Oid pictureOid);
int32_t deleteCustomerCategory(WWWconnection& c, std::string_view name);
int32_t deleteEventCategory(WWWconnection& c, std::string_view name);
int32_t deleteEmployee(WWWconnection& c, Oid oid);
int32_t deleteEvent(WWWconnection& c, Oid oid);

// ---- Query (code 9)
std::vector<std::string> queryCustomerCategories(WWWconnection& c);
std::vector<std::string> queryEventCategories(WWWconnection& c);
struct EmployeeRow {
    std::string oid;  // decimal
    std::string id;
    std::string name;
};
std::vector<EmployeeRow> queryEmployees(WWWconnection& c);

struct CustomerPage {
    bool ok = false;    // false: disconnect reply or a reply cut short
    int32_t total = 0;  // customers matching the condition
    // Rows of 10: oid, category, number, name, tel, fax, address, notes, employee, expiry.
    std::vector<Row> rows;
};
CustomerPage queryCustomers(WWWconnection& c, std::string_view condition, int32_t offset);

// Rows of 6: oid, date, category, title, summary, employee.
std::vector<Row> queryEvents(WWWconnection& c, Oid customer, Stamp from, Stamp to,
                             std::string_view condition);
std::optional<Stamp> queryServerTime(WWWconnection& c);

// ---- Report (code 10)
// Rows of 8: ID, 事項日期, 客戶編號, 客戶名稱, 負責員工, 事項類別, 事項標題, 事項摘要.
std::vector<Row> reportEvents(WWWconnection& c, Stamp from, Stamp to, std::string_view condition);
// Rows of 9: ID, 建立日期, 客戶編號, 客戶名稱, 負責員工, 客戶類別, 到期日期, 更改日期, 客戶備註.
std::vector<Row> reportCustomers(WWWconnection& c, Stamp from, Stamp to,
                                 std::string_view condition);

// Column counts of the list replies (shared with the server's writers).
constexpr int kCustomerRowColumns = 10;
constexpr int kEventRowColumns = 6;
constexpr int kEventReportColumns = 8;
constexpr int kCustomerReportColumns = 9;
constexpr int kEmployeeRowColumns = 3;
constexpr int kPictureRowColumns = 3;

// Reads rows of `columns` texts until an empty text in the first column. Stops with what it
// has when the reader breaks (callers check reader.broken()).
std::vector<Row> readRows(WireReader& r, int columns);
// Writes rows and the closing empty text (server side). False when a text is not CP950.
bool writeRows(WireWriter& w, const std::vector<Row>& rows);

}  // namespace wire
