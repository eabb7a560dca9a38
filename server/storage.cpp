// Store: the storage logic over SqlDb. SQL here is plain enough for both dialects: '?'
// parameters, LEFT JOIN, LIMIT/OFFSET, UPDATE ... RETURNING. Filters from the condition
// translator arrive as a fragment over the fixed aliases (c, cc, ce; ev, ec, ee) with their own
// parameters and are only ever ANDed into a statement, never concatenated with values.
#include "storage.h"

// GCC 12 reports a false "may be used uninitialized" inside std::variant's copy when SqlValue
// parameters are built from integers at -O2; the values are always initialised.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <algorithm>
#include <cctype>
#include <ctime>

namespace kestd {
namespace {

using wire::Oid;

const char* categoryTable(Store::CategoryKind kind) {
    return kind == Store::CategoryKind::Customer ? "customer_category" : "event_category";
}

std::string strf(int64_t stamp, const char* format) {
    time_t t = static_cast<time_t>(stamp);
    struct tm tm {};
    if (!localtime_r(&t, &tm))
        return {};
    char buf[64];
    size_t n = strftime(buf, sizeof buf, format, &tm);
    return std::string(buf, n);
}

// " AND (fragment)" with the fragment's parameters appended, or nothing for an empty filter.
void appendFilter(std::string& sql, std::vector<SqlValue>& params, const SqlFilter& f) {
    if (f.where.empty())
        return;
    sql += " AND (" + f.where + ")";
    params.insert(params.end(), f.params.begin(), f.params.end());
}

void appendVisibility(std::string& sql, std::vector<SqlValue>& params, const Viewer& v) {
    if (v.allCustomers)
        return;
    sql += " AND (c.employee_oid = ? OR c.follow_employee_oid = ?)";
    params.push_back(int64_t{v.employee});
    params.push_back(int64_t{v.employee});
}

// The first row of `select`, a statement over customer c that ends in "WHERE <alias>.oid = ?",
// for the record `oid`, when the viewer may see that customer.
std::optional<SqlRow> visibleRow(SqlDb& db, std::string select, Oid oid, const Viewer& v) {
    std::vector<SqlValue> params{int64_t{oid}};
    appendVisibility(select, params, v);
    return db.queryOne(select, params);
}

SqlValue refOrNull(Oid oid) {
    if (oid == 0)
        return std::monostate{};
    return int64_t{oid};
}

bool isGeneratedNumber(const std::string& id) {
    if (id.size() < 7 || id[0] != 'C')
        return false;
    for (size_t i = 1; i < id.size(); ++i)
        if (!std::isdigit(static_cast<unsigned char>(id[i])))
            return false;
    return true;
}

int64_t nowStamp() {
    return static_cast<int64_t>(time(nullptr));
}

}  // namespace

std::string formatDate(int64_t stamp) {
    return strf(stamp, "%Y/%m/%d");
}
std::string formatDateTime(int64_t stamp) {
    return strf(stamp, "%Y/%m/%d %H:%M");
}
std::string formatExpiry(int64_t stamp) {
    return stamp == 0 ? "NA" : formatDate(stamp);
}

Oid Store::allocateOids(int64_t count) {
    int64_t next = db_.queryInt(
        "UPDATE oid_counter SET next_oid = next_oid + ? WHERE id = 1 RETURNING next_oid", {count},
        -1);
    int64_t first = next - count;
    if (next < 0 || first <= 0 || next > INT32_MAX)
        throw SqlError("object ids exhausted");
    return static_cast<Oid>(first);
}

// ---------------------------------------------------------------- employees

static StoredEmployee employeeFromRow(const SqlRow& r) {
    StoredEmployee e;
    e.record.oid = static_cast<Oid>(asInt(r[0]));
    e.record.id = asText(r[1]);
    e.record.name = asText(r[2]);
    e.passwordHash = asText(r[3]);
    e.record.permission = static_cast<int32_t>(asInt(r[4]));
    return e;
}

std::optional<StoredEmployee> Store::employeeByNumber(const std::string& id) {
    auto r = db_.queryOne(
        "SELECT oid, id, name, password_hash, permission FROM employee WHERE id = ?", {id});
    if (!r)
        return std::nullopt;
    return employeeFromRow(*r);
}

std::optional<StoredEmployee> Store::employeeByOid(Oid oid) {
    auto r =
        db_.queryOne("SELECT oid, id, name, password_hash, permission FROM employee WHERE oid = ?",
                     {int64_t{oid}});
    if (!r)
        return std::nullopt;
    return employeeFromRow(*r);
}

std::vector<TextRow> Store::employeeRows() {
    std::vector<TextRow> rows;
    for (auto& r : db_.query("SELECT oid, id, name FROM employee ORDER BY oid"))
        rows.push_back({asText(r[0]), asText(r[1]), asText(r[2])});
    return rows;
}

int64_t Store::employeeCount() {
    return db_.queryInt("SELECT count(*) FROM employee");
}

bool Store::employeeExists(Oid oid) {
    return db_.queryOne("SELECT 1 FROM employee WHERE oid = ?", {int64_t{oid}}).has_value();
}

int32_t Store::insertEmployee(const wire::Employee& e, const std::string& passwordHash) {
    if (e.id.empty())
        return wire::kStatusFailed;
    return inTransaction(db_, [&]() -> int32_t {
        if (db_.queryOne("SELECT 1 FROM employee WHERE id = ?", {e.id}))
            return wire::kStatusFailed;
        Oid oid = allocateOids();
        db_.query(
            "INSERT INTO employee(oid, id, name, password_hash, permission) VALUES (?,?,?,?,?)",
            {int64_t{oid}, e.id, e.name, passwordHash, int64_t{e.permission}});
        return oid;
    });
}

// Holders of both the login and the employees right: the accounts that can still manage
// employees. There must always be one.
static constexpr int64_t kAdminBits = wire::kPermLogin | wire::kPermEmployees;

int32_t Store::updateEmployee(Oid oid, const wire::Employee& e, const std::string& passwordHash) {
    if (e.id.empty())
        return wire::kStatusFailed;
    return inTransaction(db_, [&]() -> int32_t {
        auto old = db_.queryOne("SELECT permission FROM employee WHERE oid = ?", {int64_t{oid}});
        if (!old)
            return wire::kStatusFailed;
        if (db_.queryOne("SELECT 1 FROM employee WHERE id = ? AND oid <> ?", {e.id, int64_t{oid}}))
            return wire::kStatusFailed;
        bool wasAdmin = (asInt((*old)[0]) & kAdminBits) == kAdminBits;
        bool staysAdmin = (e.permission & kAdminBits) == kAdminBits;
        if (wasAdmin && !staysAdmin &&
            db_.queryInt("SELECT count(*) FROM employee WHERE oid <> ? AND "
                         "(permission & ?) = ?",
                         {int64_t{oid}, kAdminBits, kAdminBits}) == 0)
            return wire::kStatusFailed;
        if (passwordHash.empty())
            db_.query("UPDATE employee SET id = ?, name = ?, permission = ? WHERE oid = ?",
                      {e.id, e.name, int64_t{e.permission}, int64_t{oid}});
        else
            db_.query(
                "UPDATE employee SET id = ?, name = ?, permission = ?, password_hash = ? "
                "WHERE oid = ?",
                {e.id, e.name, int64_t{e.permission}, passwordHash, int64_t{oid}});
        return wire::kStatusOk;
    });
}

int32_t Store::deleteEmployee(Oid oid, Oid loggedIn) {
    if (oid == loggedIn)
        return wire::kStatusFailed;
    return inTransaction(db_, [&]() -> int32_t {
        auto row = db_.queryOne("SELECT permission FROM employee WHERE oid = ?", {int64_t{oid}});
        if (!row)
            return wire::kStatusFailed;
        const std::vector<SqlValue> p{int64_t{oid}, int64_t{oid}, int64_t{oid}};
        if (db_.queryOne("SELECT 1 FROM customer WHERE employee_oid = ? OR "
                         "follow_employee_oid = ? OR update_employee_oid = ? LIMIT 1",
                         p) ||
            db_.queryOne("SELECT 1 FROM event WHERE employee_oid = ? LIMIT 1", {int64_t{oid}}))
            return wire::kStatusFailed;
        if ((asInt((*row)[0]) & kAdminBits) == kAdminBits &&
            db_.queryInt("SELECT count(*) FROM employee WHERE oid <> ? AND (permission & ?) = ?",
                         {int64_t{oid}, kAdminBits, kAdminBits}) == 0)
            return wire::kStatusFailed;
        db_.query("DELETE FROM employee WHERE oid = ?", {int64_t{oid}});
        return wire::kStatusOk;
    });
}

// ---------------------------------------------------------------- categories

std::vector<std::string> Store::categoryNames(CategoryKind kind) {
    std::vector<std::string> names;
    for (auto& r :
         db_.query(std::string("SELECT name FROM ") + categoryTable(kind) + " ORDER BY oid"))
        names.push_back(asText(r[0]));
    return names;
}

int32_t Store::categoryPosition(CategoryKind kind, const SqlValue& oid) {
    if (std::holds_alternative<std::monostate>(oid))
        return -1;
    const std::string t = categoryTable(kind);
    if (!db_.queryOne("SELECT 1 FROM " + t + " WHERE oid = ?", {oid}))
        return -1;
    return static_cast<int32_t>(
        db_.queryInt("SELECT count(*) FROM " + t + " WHERE oid < ?", {oid}));
}

std::optional<int64_t> Store::categoryAt(CategoryKind kind, int32_t position) {
    if (position < 0)
        return std::nullopt;
    auto r = db_.queryOne(
        std::string("SELECT oid FROM ") + categoryTable(kind) + " ORDER BY oid LIMIT 1 OFFSET ?",
        {int64_t{position}});
    if (!r)
        return std::nullopt;
    return asInt((*r)[0]);
}

int32_t Store::insertCategory(CategoryKind kind, const std::string& name) {
    if (name.empty())
        return wire::kStatusFailed;
    const std::string t = categoryTable(kind);
    return inTransaction(db_, [&]() -> int32_t {
        if (db_.queryOne("SELECT 1 FROM " + t + " WHERE name = ?", {name}))
            return wire::kStatusFailed;
        Oid oid = allocateOids();
        db_.query("INSERT INTO " + t + "(oid, name) VALUES (?, ?)", {int64_t{oid}, name});
        return oid;
    });
}

int32_t Store::renameCategory(CategoryKind kind, const std::string& oldName,
                              const std::string& newName) {
    if (newName.empty())
        return wire::kStatusFailed;
    const std::string t = categoryTable(kind);
    return inTransaction(db_, [&]() -> int32_t {
        auto row = db_.queryOne("SELECT oid FROM " + t + " WHERE name = ?", {oldName});
        if (!row)
            return wire::kStatusFailed;
        if (oldName == newName)
            return wire::kStatusOk;
        if (db_.queryOne("SELECT 1 FROM " + t + " WHERE name = ?", {newName}))
            return wire::kStatusFailed;
        db_.query("UPDATE " + t + " SET name = ? WHERE oid = ?", {newName, (*row)[0]});
        return wire::kStatusOk;
    });
}

int32_t Store::deleteCategory(CategoryKind kind, const std::string& name) {
    const std::string t = categoryTable(kind);
    return inTransaction(db_, [&]() -> int32_t {
        auto row = db_.queryOne("SELECT oid FROM " + t + " WHERE name = ?", {name});
        if (!row)
            return wire::kStatusFailed;
        const char* user = kind == CategoryKind::Customer ? "customer" : "event";
        if (db_.queryOne(std::string("SELECT 1 FROM ") + user + " WHERE category_oid = ? LIMIT 1",
                         {(*row)[0]}))
            return wire::kStatusFailed;
        db_.query("DELETE FROM " + t + " WHERE oid = ?", {(*row)[0]});
        return wire::kStatusOk;
    });
}

// ---------------------------------------------------------------- customers

bool Store::customerVisible(Oid oid, const Viewer& v) {
    return visibleRow(db_, "SELECT 1 FROM customer c WHERE c.oid = ?", oid, v).has_value();
}

std::optional<Store::CustomerWithPictures> Store::customer(Oid oid, const Viewer& v) {
    auto r = visibleRow(
        db_,
        "SELECT c.id, c.category_oid, c.name, c.update_date, c.employee_oid, c.email, c.info, "
        "c.version, c.tel, c.fax, c.expire_date, c.update_employee_oid, c.create_date, "
        "c.follow_employee_oid FROM customer c WHERE c.oid = ?",
        oid, v);
    if (!r)
        return std::nullopt;
    CustomerWithPictures out;
    wire::Customer& c = out.customer;
    c.oid = oid;
    c.id = asText((*r)[0]);
    c.category = categoryPosition(CategoryKind::Customer, (*r)[1]);
    c.name = asText((*r)[2]);
    c.updateDate = static_cast<wire::Stamp>(asInt((*r)[3]));
    c.employee = static_cast<Oid>(asInt((*r)[4]));
    c.email = asText((*r)[5]);
    c.info = asText((*r)[6]);
    c.version = static_cast<uint8_t>(asInt((*r)[7]));
    c.tel = asText((*r)[8]);
    c.fax = asText((*r)[9]);
    c.expireDate = static_cast<wire::Stamp>(asInt((*r)[10]));
    c.updateEmployee = static_cast<Oid>(asInt((*r)[11]));
    c.createDate = static_cast<wire::Stamp>(asInt((*r)[12]));
    c.followEmployee = static_cast<Oid>(asInt((*r)[13]));
    for (auto& p : db_.query("SELECT oid, trans_date, name FROM customer_image "
                             "WHERE customer_oid = ? ORDER BY trans_date DESC, oid DESC",
                             {int64_t{oid}}))
        out.pictures.push_back({asText(p[0]), formatDate(asInt(p[1])), asText(p[2])});
    return out;
}

std::string Store::nextCustomerNumber() {
    int64_t highest = 0;
    for (auto& r : db_.query("SELECT id FROM customer WHERE id >= 'C000000' AND id < 'D' "
                             "ORDER BY id DESC LIMIT 64")) {
        std::string id = asText(r[0]);
        if (isGeneratedNumber(id) && id.size() <= 10)
            highest = std::max<int64_t>(highest, std::stoll(id.substr(1)));
    }
    for (int64_t n = highest + 1;; ++n) {
        char buf[32];
        snprintf(buf, sizeof buf, "C%06lld", static_cast<long long>(n));
        if (!db_.queryOne("SELECT 1 FROM customer WHERE id = ?", {std::string(buf)}))
            return buf;
    }
}

int32_t Store::insertCustomer(const wire::Customer& c, Oid byEmployee, std::string& assignedId) {
    return inTransaction(db_, [&]() -> int32_t {
        auto category = categoryAt(CategoryKind::Customer, c.category);
        if (!category)
            return wire::kStatusFailed;
        if ((c.employee && !employeeExists(c.employee)) ||
            (c.followEmployee && !employeeExists(c.followEmployee)))
            return wire::kStatusFailed;
        std::string id = c.id.empty() ? nextCustomerNumber() : c.id;
        if (db_.queryOne("SELECT 1 FROM customer WHERE id = ?", {id}))
            return wire::kStatusFailed;
        Oid oid = allocateOids();
        int64_t now = nowStamp();
        db_.query(
            "INSERT INTO customer(oid, id, category_oid, name, update_date, employee_oid, email, "
            "info, version, tel, fax, expire_date, update_employee_oid, create_date, "
            "follow_employee_oid) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)",
            {int64_t{oid}, id, *category, c.name, c.updateDate ? int64_t{c.updateDate} : now,
             refOrNull(c.employee), c.email, c.info, int64_t{0}, c.tel, c.fax,
             int64_t{c.expireDate}, refOrNull(byEmployee),
             c.createDate ? int64_t{c.createDate} : now, refOrNull(c.followEmployee)});
        assignedId = id;
        return oid;
    });
}

int32_t Store::updateCustomer(Oid oid, const wire::Customer& c, const Viewer& v, bool fullChange,
                              Oid byEmployee) {
    return inTransaction(db_, [&]() -> int32_t {
        auto row = visibleRow(db_, "SELECT c.version FROM customer c WHERE c.oid = ?", oid, v);
        if (!row)
            return wire::kStatusFailed;
        int64_t version = asInt((*row)[0]);
        if (version != c.version)
            return wire::kStatusRefused;
        if ((c.employee && !employeeExists(c.employee)) ||
            (c.followEmployee && !employeeExists(c.followEmployee)))
            return wire::kStatusFailed;
        int64_t newVersion = (version + 1) % 256;
        int64_t updated = c.updateDate ? int64_t{c.updateDate} : nowStamp();
        if (!fullChange) {
            db_.query(
                "UPDATE customer SET employee_oid = ?, follow_employee_oid = ?, expire_date = ?, "
                "update_date = ?, update_employee_oid = ?, version = ? WHERE oid = ?",
                {refOrNull(c.employee), refOrNull(c.followEmployee), int64_t{c.expireDate}, updated,
                 refOrNull(byEmployee), newVersion, int64_t{oid}});
            return wire::kStatusOk;
        }
        auto category = categoryAt(CategoryKind::Customer, c.category);
        if (!category)
            return wire::kStatusFailed;
        std::string id = c.id.empty() ? nextCustomerNumber() : c.id;
        if (db_.queryOne("SELECT 1 FROM customer WHERE id = ? AND oid <> ?", {id, int64_t{oid}}))
            return wire::kStatusFailed;
        db_.query(
            "UPDATE customer SET id = ?, category_oid = ?, name = ?, update_date = ?, "
            "employee_oid = ?, email = ?, info = ?, version = ?, tel = ?, fax = ?, "
            "expire_date = ?, update_employee_oid = ?, follow_employee_oid = ? WHERE oid = ?",
            {id, *category, c.name, updated, refOrNull(c.employee), c.email, c.info, newVersion,
             c.tel, c.fax, int64_t{c.expireDate}, refOrNull(byEmployee),
             refOrNull(c.followEmployee), int64_t{oid}});
        return wire::kStatusOk;
    });
}

int32_t Store::deleteCustomer(Oid oid, const Viewer& v) {
    return inTransaction(db_, [&]() -> int32_t {
        if (!customerVisible(oid, v))
            return wire::kStatusFailed;
        db_.query("DELETE FROM customer_image WHERE customer_oid = ?", {int64_t{oid}});
        db_.query("DELETE FROM event WHERE customer_oid = ?", {int64_t{oid}});
        db_.query("DELETE FROM customer WHERE oid = ?", {int64_t{oid}});
        return wire::kStatusOk;
    });
}

CustomerPageRows Store::customerPage(const SqlFilter& f, int32_t offset, const Viewer& v) {
    CustomerPageRows out;
    std::string where = " WHERE 1=1";
    std::vector<SqlValue> params;
    appendFilter(where, params, f);
    appendVisibility(where, params, v);
    // The count joins the category and employee tables only when the filter names them.
    bool needsJoins =
        f.where.find("cc.") != std::string::npos || f.where.find("ce.") != std::string::npos;
    const std::string joins =
        " LEFT JOIN customer_category cc ON cc.oid = c.category_oid"
        " LEFT JOIN employee ce ON ce.oid = c.employee_oid";
    out.total =
        db_.queryInt("SELECT count(*) FROM customer c" + (needsJoins ? joins : "") + where, params);
    if (offset < 0)
        offset = 0;
    if (offset >= out.total)
        return out;
    params.push_back(int64_t{wire::kCustomerPageSize});
    params.push_back(int64_t{offset});
    for (auto& r : db_.query("SELECT c.oid, cc.name, c.id, c.name, c.tel, c.fax, c.email, c.info, "
                             "ce.name, c.expire_date FROM customer c" +
                                 joins + where + " ORDER BY c.id LIMIT ? OFFSET ?",
                             params))
        out.rows.push_back({asText(r[0]), asText(r[1]), asText(r[2]), asText(r[3]), asText(r[4]),
                            asText(r[5]), asText(r[6]), asText(r[7]), asText(r[8]),
                            formatExpiry(asInt(r[9]))});
    return out;
}

// ---------------------------------------------------------------- pictures

int32_t Store::insertPicture(uint8_t customerVersion, const wire::CustomerImage& image,
                             std::vector<uint8_t> jpeg, const Viewer& v) {
    return inTransaction(db_, [&]() -> int32_t {
        auto row =
            visibleRow(db_, "SELECT c.version FROM customer c WHERE c.oid = ?", image.customer, v);
        if (!row)
            return wire::kStatusFailed;
        int64_t version = asInt((*row)[0]);
        if (version != customerVersion)
            return wire::kStatusRefused;
        Oid oid = allocateOids();
        db_.query(
            "INSERT INTO customer_image(oid, customer_oid, name, trans_date, jpeg) "
            "VALUES (?,?,?,?,?)",
            {int64_t{oid}, int64_t{image.customer}, image.name,
             image.transDate ? int64_t{image.transDate} : nowStamp(), Blob{std::move(jpeg)}});
        db_.query("UPDATE customer SET version = ? WHERE oid = ?",
                  {(version + 1) % 256, int64_t{image.customer}});
        return oid;
    });
}

std::optional<std::vector<uint8_t>> Store::picture(Oid oid, const Viewer& v) {
    auto r =
        visibleRow(db_,
                   "SELECT i.jpeg FROM customer_image i JOIN customer c ON c.oid = i.customer_oid "
                   "WHERE i.oid = ?",
                   oid, v);
    if (!r)
        return std::nullopt;
    if (const Blob* b = asBlob((*r)[0]))
        return b->bytes;
    std::string s = asText((*r)[0]);
    return std::vector<uint8_t>(s.begin(), s.end());
}

int32_t Store::deletePicture(Oid oid, const Viewer& v) {
    return inTransaction(db_, [&]() -> int32_t {
        if (!visibleRow(db_,
                        "SELECT 1 FROM customer_image i JOIN customer c ON c.oid = i.customer_oid "
                        "WHERE i.oid = ?",
                        oid, v))
            return wire::kStatusFailed;
        db_.query("DELETE FROM customer_image WHERE oid = ?", {int64_t{oid}});
        return wire::kStatusOk;
    });
}

// ---------------------------------------------------------------- events

std::optional<wire::Event> Store::event(Oid oid, const Viewer& v) {
    auto r = visibleRow(
        db_,
        "SELECT ev.customer_oid, ev.category_oid, ev.employee_oid, ev.trans_date, ev.title, "
        "ev.description, ev.version FROM event ev JOIN customer c ON c.oid = ev.customer_oid "
        "WHERE ev.oid = ?",
        oid, v);
    if (!r)
        return std::nullopt;
    wire::Event e;
    e.oid = oid;
    e.customer = static_cast<Oid>(asInt((*r)[0]));
    e.category = categoryPosition(CategoryKind::Event, (*r)[1]);
    e.employee = static_cast<Oid>(asInt((*r)[2]));
    e.transDate = static_cast<wire::Stamp>(asInt((*r)[3]));
    e.title = asText((*r)[4]);
    e.description = asText((*r)[5]);
    e.version = static_cast<uint8_t>(asInt((*r)[6]));
    return e;
}

int32_t Store::insertEvent(const wire::Event& e, Oid byEmployee, const Viewer& v) {
    return inTransaction(db_, [&]() -> int32_t {
        if (!customerVisible(e.customer, v))
            return wire::kStatusFailed;
        auto category = categoryAt(CategoryKind::Event, e.category);
        if (!category)
            return wire::kStatusFailed;
        Oid oid = allocateOids();
        db_.query(
            "INSERT INTO event(oid, customer_oid, category_oid, employee_oid, trans_date, title, "
            "description, version) VALUES (?,?,?,?,?,?,?,?)",
            {int64_t{oid}, int64_t{e.customer}, *category, refOrNull(byEmployee),
             int64_t{e.transDate}, e.title, e.description, int64_t{0}});
        return oid;
    });
}

int32_t Store::updateEvent(Oid oid, const wire::Event& e, Oid byEmployee, const Viewer& v) {
    return inTransaction(db_, [&]() -> int32_t {
        auto row =
            visibleRow(db_,
                       "SELECT ev.version FROM event ev JOIN customer c ON c.oid = ev.customer_oid "
                       "WHERE ev.oid = ?",
                       oid, v);
        if (!row)
            return wire::kStatusFailed;
        int64_t version = asInt((*row)[0]);
        // A stale event copy is refused with a plain failure; the client reads any status but
        // -1 as "changed by another user".
        if (version != e.version)
            return wire::kStatusFailed;
        auto category = categoryAt(CategoryKind::Event, e.category);
        if (!category)
            return wire::kStatusFailed;
        db_.query(
            "UPDATE event SET category_oid = ?, employee_oid = ?, trans_date = ?, title = ?, "
            "description = ?, version = ? WHERE oid = ?",
            {*category, refOrNull(byEmployee), int64_t{e.transDate}, e.title, e.description,
             (version + 1) % 256, int64_t{oid}});
        return wire::kStatusOk;
    });
}

int32_t Store::deleteEvent(Oid oid, const Viewer& v) {
    return inTransaction(db_, [&]() -> int32_t {
        if (!visibleRow(db_,
                        "SELECT 1 FROM event ev JOIN customer c ON c.oid = ev.customer_oid WHERE "
                        "ev.oid = ?",
                        oid, v))
            return wire::kStatusFailed;
        db_.query("DELETE FROM event WHERE oid = ?", {int64_t{oid}});
        return wire::kStatusOk;
    });
}

static const char* const kEventJoins =
    " FROM event ev JOIN customer c ON c.oid = ev.customer_oid"
    " LEFT JOIN event_category ec ON ec.oid = ev.category_oid"
    " LEFT JOIN employee ce ON ce.oid = c.employee_oid"
    " LEFT JOIN employee ee ON ee.oid = ev.employee_oid";

std::vector<TextRow> Store::customerEvents(Oid customer, wire::Stamp from, wire::Stamp to,
                                           const SqlFilter& f, const Viewer& v) {
    std::string sql = std::string(
                          "SELECT ev.oid, ev.trans_date, ec.name, ev.title, "
                          "ev.description, ee.id") +
                      kEventJoins +
                      " WHERE ev.customer_oid = ? AND ev.trans_date >= ? AND ev.trans_date <= ?";
    std::vector<SqlValue> params{int64_t{customer}, int64_t{from}, int64_t{to}};
    appendFilter(sql, params, f);
    appendVisibility(sql, params, v);
    sql += " ORDER BY ev.trans_date DESC, ev.oid DESC";
    std::vector<TextRow> rows;
    for (auto& r : db_.query(sql, params))
        rows.push_back({asText(r[0]), formatDateTime(asInt(r[1])), asText(r[2]), asText(r[3]),
                        asText(r[4]), asText(r[5])});
    return rows;
}

std::vector<TextRow> Store::eventReport(wire::Stamp from, wire::Stamp to, const SqlFilter& f,
                                        const Viewer& v, size_t maxRows) {
    std::string sql = std::string(
                          "SELECT ev.oid, ev.trans_date, c.id, c.name, ce.name, ec.name, "
                          "ev.title, ev.description") +
                      kEventJoins + " WHERE ev.trans_date >= ? AND ev.trans_date <= ?";
    std::vector<SqlValue> params{int64_t{from}, int64_t{to}};
    appendFilter(sql, params, f);
    appendVisibility(sql, params, v);
    sql += " ORDER BY ev.trans_date, ev.oid LIMIT ?";
    params.push_back(static_cast<int64_t>(maxRows));
    std::vector<TextRow> rows;
    for (auto& r : db_.query(sql, params))
        rows.push_back({asText(r[0]), formatDateTime(asInt(r[1])), asText(r[2]), asText(r[3]),
                        asText(r[4]), asText(r[5]), asText(r[6]), asText(r[7])});
    return rows;
}

std::vector<TextRow> Store::customerReport(wire::Stamp from, wire::Stamp to, const SqlFilter& f,
                                           const Viewer& v, size_t maxRows) {
    std::string sql =
        "SELECT c.oid, c.create_date, c.id, c.name, ce.name, cc.name, c.expire_date, "
        "c.update_date, c.info FROM customer c"
        " LEFT JOIN customer_category cc ON cc.oid = c.category_oid"
        " LEFT JOIN employee ce ON ce.oid = c.employee_oid"
        " WHERE c.create_date >= ? AND c.create_date <= ?";
    std::vector<SqlValue> params{int64_t{from}, int64_t{to}};
    appendFilter(sql, params, f);
    appendVisibility(sql, params, v);
    sql += " ORDER BY c.create_date, c.oid LIMIT ?";
    params.push_back(static_cast<int64_t>(maxRows));
    std::vector<TextRow> rows;
    for (auto& r : db_.query(sql, params))
        rows.push_back({asText(r[0]), formatDate(asInt(r[1])), asText(r[2]), asText(r[3]),
                        asText(r[4]), asText(r[5]), formatExpiry(asInt(r[6])),
                        formatDate(asInt(r[7])), asText(r[8])});
    return rows;
}

}  // namespace kestd
