// Schema, first account and demo seeding. The seeding writes many rows per statement and many
// statements per transaction, so a million customers take a minute, not an hour.
#include "setup.h"

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "log.h"
#include "protocol.h"
#include "schema.h"
#include "storage.h"

namespace kestd {

bool prepareDatabase(SqlDb& db, PasswordHasher& hasher) {
    ensureSchema(db);
    Store store(db);
    if (store.employeeCount() > 0)
        return false;
    std::string hash = hasher.hash("PLOVK");
    if (hash.empty())
        throw SqlError("cannot hash the first password");
    wire::Employee admin;
    admin.id = "ADMIN";
    admin.name = "系統管理員";
    admin.permission = wire::kPermAll;
    // Another kestd on the same PostgreSQL database may have created it meanwhile.
    if (store.employeeCount() > 0)
        return false;
    if (store.insertEmployee(admin, hash) < 0)
        return false;
    fprintf(stderr,
            "kestd: created the account ADMIN with the password PLOVK and every right.\n"
            "kestd: change this password at once (employee window of kestcrm).\n");
    return true;
}

namespace {

// A small deterministic generator, so two seeded databases hold the same demo data.
struct Lcg {
    uint64_t s;
    uint32_t next() {
        s = s * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<uint32_t>(s >> 33);
    }
    template <class T, size_t N>
    const T& pick(const T (&a)[N]) {
        return a[next() % N];
    }
};

const char* const kSurnames[] = {"陳", "林", "黃", "張", "李", "王", "吳", "劉", "蔡", "楊",
                                 "許", "鄭", "謝", "郭", "洪", "曾", "邱", "廖", "賴", "周"};
const char* const kGiven[] = {"志明", "淑芬", "家豪", "美玲", "建宏", "雅婷", "俊傑", "怡君",
                              "冠宇", "佳蓉", "文雄", "秀英", "國華", "麗華", "承恩", "欣怡"};
const char* const kWords[] = {"永盛", "台北", "新光", "大同", "華新", "長榮", "富邦", "統一",
                              "宏達", "中興", "建成", "遠東", "聯合", "東方", "金山", "振興",
                              "和平", "光明", "天祥", "福記", "順發", "德昌", "嘉義", "高雄"};
const char* const kTrades[] = {"貿易", "電子", "食品", "建設", "印刷", "機械",
                               "紡織", "文具", "物流", "餐飲", "五金", "資訊"};
const char* const kForms[] = {"有限公司", "股份有限公司", "商行", "企業社", "工作室"};
const char* const kStreets[] = {"中山路", "中正路",   "民生東路", "忠孝東路", "仁愛路",
                                "信義路", "和平東路", "復興南路", "成功路",   "建國北路"};
const char* const kCities[] = {"台北市", "新北市", "桃園市", "台中市",
                               "台南市", "高雄市", "新竹市", "基隆市"};
const char* const kCustomerCategories[] = {"一般客戶", "重要客戶", "經銷商", "供應商",
                                           "潛在客戶", "政府機關", "學校",   "海外客戶"};
const char* const kEventCategories[] = {"電話聯絡", "拜訪", "報價", "訂單", "售後服務", "會議"};
const char* const kEventTitles[] = {"洽談新訂單", "寄送報價單", "年度合約續約", "產品展示",
                                    "客訴處理",   "付款確認",   "交貨時間確認", "拜訪負責人"};

std::string placeholders(int columns, int rows) {
    std::string one = "(";
    for (int i = 0; i < columns; ++i)
        one += i ? ",?" : "?";
    one += ")";
    std::string all;
    for (int r = 0; r < rows; ++r)
        all += (r ? "," : "") + one;
    return all;
}

}  // namespace

bool seedDemo(SqlDb& db, PasswordHasher& hasher, int64_t customers) {
    Store store(db);
    if (db.queryInt("SELECT count(*) FROM customer") > 0) {
        logLine("--demo: the database already holds customers; nothing seeded");
        return false;
    }
    Lcg rng{286};
    std::vector<int64_t> customerCats, eventCats, employees;
    inTransaction(db, [&] {
        auto ensure = [&](const char* table, const char* name) -> int64_t {
            auto row = db.queryOne(std::string("SELECT oid FROM ") + table + " WHERE name = ?",
                                   {std::string(name)});
            if (row)
                return asInt((*row)[0]);
            wire::Oid oid = store.allocateOids();
            db.query(std::string("INSERT INTO ") + table + "(oid, name) VALUES (?, ?)",
                     {int64_t{oid}, std::string(name)});
            return oid;
        };
        for (const char* n : kCustomerCategories)
            customerCats.push_back(ensure("customer_category", n));
        for (const char* n : kEventCategories)
            eventCats.push_back(ensure("event_category", n));
    });
    std::string hash = hasher.hash("DEMO");
    inTransaction(db, [&] {
        for (int i = 1; i <= 20; ++i) {
            char id[32];
            snprintf(id, sizeof id, "E%03d", i);
            if (auto e = store.employeeByNumber(id)) {
                employees.push_back(e->record.oid);
                continue;
            }
            wire::Oid oid = store.allocateOids();
            int32_t perm = i <= 2 ? wire::kPermAll : wire::kPermAll & ~wire::kPermAllCustomers;
            db.query(
                "INSERT INTO employee(oid, id, name, password_hash, permission) "
                "VALUES (?,?,?,?,?)",
                {int64_t{oid}, std::string(id), std::string(rng.pick(kSurnames)) + rng.pick(kGiven),
                 hash, int64_t{perm}});
            employees.push_back(oid);
        }
    });

    const int kRowsPerStatement = 200;
    const int64_t kRowsPerTransaction = 20000;
    const int64_t now = time(nullptr);
    const int64_t twoYears = 2 * 365 * 86400LL;
    const std::string customerSql =
        "INSERT INTO customer(oid, id, category_oid, name, update_date, employee_oid, email, "
        "info, version, tel, fax, expire_date, update_employee_oid, create_date, "
        "follow_employee_oid) VALUES ";
    const std::string eventSql =
        "INSERT INTO event(oid, customer_oid, category_oid, employee_oid, trans_date, title, "
        "description, version) VALUES ";
    const bool sqlite = db.dialect() == Dialect::Sqlite;
    if (sqlite)
        dropSqliteSearchTriggers(db);
    int64_t done = 0;
    while (done < customers) {
        int64_t batch = std::min(kRowsPerTransaction, customers - done);
        inTransaction(db, [&] {
            // Customer oids first, then up to two events per customer.
            wire::Oid first = store.allocateOids(batch);
            wire::Oid eventOid = store.allocateOids(batch * 2);
            std::vector<SqlValue> cparams, eparams;
            int crows = 0, erows = 0;
            auto flushCustomers = [&] {
                if (!crows)
                    return;
                db.query(customerSql + placeholders(15, crows), cparams);
                cparams.clear();
                crows = 0;
            };
            auto flushEvents = [&] {
                if (!erows)
                    return;
                db.query(eventSql + placeholders(8, erows), eparams);
                eparams.clear();
                erows = 0;
            };
            for (int64_t i = 0; i < batch; ++i) {
                int64_t n = done + i + 1;
                char id[32], tel[48], fax[48];
                snprintf(id, sizeof id, "D%07lld", static_cast<long long>(n));
                snprintf(tel, sizeof tel, "0%u-%04u-%04u", 2 + rng.next() % 7, rng.next() % 10000,
                         rng.next() % 10000);
                snprintf(fax, sizeof fax, "0%u-%04u-%04u", 2 + rng.next() % 7, rng.next() % 10000,
                         rng.next() % 10000);
                std::string name =
                    std::string(rng.pick(kWords)) + rng.pick(kTrades) + rng.pick(kForms);
                if (rng.next() % 4 == 0)
                    name = std::string(rng.pick(kSurnames)) + rng.pick(kGiven);
                std::string address = std::string(rng.pick(kCities)) + rng.pick(kStreets) +
                                      std::to_string(1 + rng.next() % 300) + "號";
                int64_t created = now - static_cast<int64_t>(rng.next() % twoYears);
                int64_t expire = rng.next() % 3 == 0 ? 0 : created + 365 * 86400LL;
                int64_t emp = employees[rng.next() % employees.size()];
                SqlValue follow = rng.next() % 2
                                      ? SqlValue{employees[rng.next() % employees.size()]}
                                      : SqlValue{};
                int64_t oid = first + i;
                cparams.insert(
                    cparams.end(),
                    {oid, std::string(id), customerCats[rng.next() % customerCats.size()], name,
                     created, emp, address, std::string("聯絡人：") + rng.pick(kSurnames) + "先生",
                     int64_t{0}, std::string(tel), std::string(fax), expire, emp, created, follow});
                if (++crows == kRowsPerStatement)
                    flushCustomers();
                int events = static_cast<int>(rng.next() % 3);
                for (int k = 0; k < events; ++k) {
                    int64_t when = created + static_cast<int64_t>(rng.next() % (90 * 86400));
                    eparams.insert(eparams.end(), {int64_t{eventOid + 2 * i + k}, oid,
                                                   eventCats[rng.next() % eventCats.size()], emp,
                                                   when, std::string(rng.pick(kEventTitles)),
                                                   std::string("與") + rng.pick(kSurnames) +
                                                       "經理討論" + rng.pick(kTrades) + "事宜",
                                                   int64_t{0}});
                    if (++erows == kRowsPerStatement)
                        flushEvents();
                }
            }
            flushCustomers();
            flushEvents();
        });
        done += batch;
        if (done % 100000 == 0 || done == customers)
            logLine("--demo: " + std::to_string(done) + " customers seeded");
    }
    if (sqlite) {
        logLine("--demo: building the search index");
        restoreSqliteSearchIndex(db);
    }
    return true;
}

}  // namespace kestd
