// Store: kestd's storage logic, written once over SqlDb so that SQLite and PostgreSQL behave
// identically. Every method that changes data runs in one transaction (all or nothing); a
// database failure is thrown as SqlError after the rollback. Methods answer with the status the
// wire expects (-1 done, -2 refused or not found, -3 stale customer, an oid for inserts).
//
// Visibility: a Viewer without the all-customers right sees only customers where he is the
// responsible or the follow-up employee; every read and change of a customer, its pictures and
// its events goes through that rule. Category references are list positions: the rank of the
// category by oid (creation order).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol.h"
#include "records.h"
#include "sql_db.h"

namespace kestd {

// A WHERE fragment over the fixed aliases of a list query, with its bound parameters.
struct SqlFilter {
    std::string where;  // empty = everything
    std::vector<SqlValue> params;
};

struct Viewer {
    wire::Oid employee = 0;
    bool allCustomers = false;  // permission bit 9
};

struct StoredEmployee {
    wire::Employee record;  // password left empty
    std::string passwordHash;
};

using TextRow = std::vector<std::string>;

struct CustomerPageRows {
    int64_t total = 0;
    std::vector<TextRow> rows;
};

class Store {
  public:
    explicit Store(SqlDb& db) : db_(db) {}
    SqlDb& db() { return db_; }

    // Reserves `count` consecutive oids and returns the first (call inside a transaction).
    wire::Oid allocateOids(int64_t count = 1);

    // ---- Employees
    std::optional<StoredEmployee> employeeByNumber(const std::string& id);
    std::optional<StoredEmployee> employeeByOid(wire::Oid oid);
    // Rows: oid, number, name in creation order.
    std::vector<TextRow> employeeRows();
    int32_t insertEmployee(const wire::Employee& e, const std::string& passwordHash);
    // passwordHash empty keeps the stored hash.
    int32_t updateEmployee(wire::Oid oid, const wire::Employee& e, const std::string& passwordHash);
    int32_t deleteEmployee(wire::Oid oid, wire::Oid loggedIn);
    int64_t employeeCount();

    // ---- Categories (customer or event)
    enum class CategoryKind { Customer, Event };
    std::vector<std::string> categoryNames(CategoryKind kind);
    int32_t insertCategory(CategoryKind kind, const std::string& name);
    int32_t renameCategory(CategoryKind kind, const std::string& oldName,
                           const std::string& newName);
    int32_t deleteCategory(CategoryKind kind, const std::string& name);

    // ---- Customers
    struct CustomerWithPictures {
        wire::Customer customer;
        std::vector<TextRow> pictures;  // oid, date added, name; newest first
    };
    std::optional<CustomerWithPictures> customer(wire::Oid oid, const Viewer& v);
    // On success `assignedId` holds the customer number as stored.
    int32_t insertCustomer(const wire::Customer& c, wire::Oid byEmployee, std::string& assignedId);
    // fullChange false (no change-customer right): only the employees and the expiry date are
    // taken from `c`; the version is checked and raised either way.
    int32_t updateCustomer(wire::Oid oid, const wire::Customer& c, const Viewer& v, bool fullChange,
                           wire::Oid byEmployee);
    int32_t deleteCustomer(wire::Oid oid, const Viewer& v);
    CustomerPageRows customerPage(const SqlFilter& f, int32_t offset, const Viewer& v);

    // ---- Pictures
    int32_t insertPicture(uint8_t customerVersion, const wire::CustomerImage& image,
                          std::vector<uint8_t> jpeg, const Viewer& v);
    std::optional<std::vector<uint8_t>> picture(wire::Oid oid, const Viewer& v);
    int32_t deletePicture(wire::Oid oid, const Viewer& v);

    // ---- Events
    std::optional<wire::Event> event(wire::Oid oid, const Viewer& v);
    int32_t insertEvent(const wire::Event& e, wire::Oid byEmployee, const Viewer& v);
    int32_t updateEvent(wire::Oid oid, const wire::Event& e, wire::Oid byEmployee, const Viewer& v);
    int32_t deleteEvent(wire::Oid oid, const Viewer& v);
    // Rows of 6: oid, date and time, category, title, summary, employee number; newest first.
    std::vector<TextRow> customerEvents(wire::Oid customer, wire::Stamp from, wire::Stamp to,
                                        const SqlFilter& f, const Viewer& v);

    // ---- Reports, oldest first; at most maxRows rows.
    std::vector<TextRow> eventReport(wire::Stamp from, wire::Stamp to, const SqlFilter& f,
                                     const Viewer& v, size_t maxRows);
    std::vector<TextRow> customerReport(wire::Stamp from, wire::Stamp to, const SqlFilter& f,
                                        const Viewer& v, size_t maxRows);

    // Position of a category oid in its list, or -1 when there is none.
    int32_t categoryPosition(CategoryKind kind, const SqlValue& oid);
    // The category oid at a list position, or none.
    std::optional<int64_t> categoryAt(CategoryKind kind, int32_t position);

  private:
    bool employeeExists(wire::Oid oid);
    bool customerVisible(wire::Oid oid, const Viewer& v);
    std::string nextCustomerNumber();

    SqlDb& db_;
};

// Row texts of dates in the server's local time zone.
std::string formatDate(int64_t stamp);      // yyyy/MM/dd
std::string formatDateTime(int64_t stamp);  // yyyy/MM/dd HH:mm
// The expiry column: "NA" for no date, else formatDate.
std::string formatExpiry(int64_t stamp);

}  // namespace kestd
