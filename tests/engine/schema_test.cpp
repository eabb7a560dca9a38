// The stored schema: the "Metatable" row, writing and comparing table rows, reconciling a
// changed class with its stored row, converting rows, and inverse references.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "database.h"
#include "schema.h"

namespace {

std::vector<byte> rowOf(const dbTableDescriptor& t) {
    std::vector<byte> row(t.tableRowSize(), 0xEE);
    t.writeTableRecord(reinterpret_cast<dbTable*>(row.data()));
    reinterpret_cast<dbTable*>(row.data())->size = uint32_t(row.size());
    return row;
}

dbTable* asTable(std::vector<byte>& row) {
    return reinterpret_cast<dbTable*>(row.data());
}

TEST(Schema, MetaTableRow) {
    std::vector<byte> row(dbMetaTableRowSize());
    dbWriteMetaTableRow(asTable(row));
    const char* names[] = {"name",
                           "fields",
                           "fields[]",
                           "fields[].name",
                           "fields[].tableName",
                           "fields[].inverse",
                           "fields[].type",
                           "fields[].offset",
                           "fields[].size",
                           "fields[].hashTable",
                           "fields[].tTree",
                           "fixedSize",
                           "nRows",
                           "nColumns",
                           "firstRow",
                           "lastRow"};
    const int expected[16][3] = {{7, 8, 12}, {9, 8, 20}, {19, 44, 0}, {7, 8, 0},
                                 {7, 8, 8},  {7, 8, 16}, {3, 4, 24},  {3, 4, 28},
                                 {3, 4, 32}, {8, 4, 36}, {8, 4, 40},  {3, 4, 28},
                                 {3, 4, 32}, {3, 4, 36}, {8, 4, 40},  {8, 4, 44}};
    size_t strings = strlen("Metatable") + 1;
    for (const char* n : names) {
        strings += strlen(n) + 1 + 2;
    }
    EXPECT_EQ(row.size(), 752u + strings);
    dbTable* t = asTable(row);
    EXPECT_EQ(t->size, row.size());
    EXPECT_EQ(t->next, 0u);
    EXPECT_EQ(t->fixedSize, 48u);
    EXPECT_EQ(t->nColumns, 5u);
    EXPECT_EQ(t->nRows, 0u);
    EXPECT_EQ(t->firstRow, 0u);
    EXPECT_EQ(t->lastRow, 0u);
    EXPECT_EQ(t->fields.size, 16u);
    EXPECT_EQ(t->fields.offs, 48u);
    EXPECT_EQ(t->name.offs, 752u);
    EXPECT_STREQ(dbStoredTableName(t), "Metatable");
    size_t expectAt = 752 + 10;
    for (int i = 0; i < 16; i++) {
        const dbField* f = dbStoredField(t, i);
        EXPECT_STREQ(dbStoredString(t, f, f->name), names[i]);
        EXPECT_EQ(f->type, expected[i][0]) << names[i];
        EXPECT_EQ(f->size, expected[i][1]) << names[i];
        EXPECT_EQ(f->offset, expected[i][2]) << names[i];
        EXPECT_STREQ(dbStoredString(t, f, f->tableName), "");
        EXPECT_STREQ(dbStoredString(t, f, f->inverse), "");
        EXPECT_EQ(f->hashTable, 0u);
        // Strings follow in order name, table name, inverse, relative to the field record.
        EXPECT_EQ(48 + 44 * i + f->name.offs, expectAt);
        EXPECT_EQ(f->tableName.offs, f->name.offs + f->name.size);
        expectAt += strlen(names[i]) + 3;
    }
}

// ---- classes in two versions ----------------------------------------------------------------

class Customer {
  public:
    const char* id;
    int32_t level;
    KEST_DESCRIBE(Customer, KEST_KEY(id, INDEXED), KEST_FIELD(level));
};

class Order {
  public:
    int32_t amount;
    dbReference<Customer> customer;
    const char* note;
    KEST_DESCRIBE(Order, KEST_FIELD(amount), KEST_FIELD(customer), KEST_FIELD(note));
};

}  // namespace

KEST_REGISTER(Customer);
KEST_REGISTER(Order);

namespace {

TEST(Schema, WriteTableRecordAndSameLayout) {
    dbTableDescriptor& t = Order::dbDescriptor;
    std::vector<byte> row = rowOf(t);
    EXPECT_EQ(row.size(), 48 + 44 * 3 + t.tableRecordSize());
    EXPECT_EQ(t.tableRecordSize(), strlen("Order") + 1 + (6 + 3) + (8 + 3 + 8) + (4 + 3));
    dbTable* r = asTable(row);
    EXPECT_EQ(r->fixedSize, t.fixedSize);
    EXPECT_EQ(r->nColumns, 3u);
    const dbField* f = dbStoredField(r, 1);
    EXPECT_STREQ(dbStoredString(r, f, f->name), "customer");
    EXPECT_STREQ(dbStoredString(r, f, f->tableName), "Customer");
    EXPECT_EQ(f->type, dbTpReference);
    EXPECT_EQ(f->offset, 16);
    // The stored index ids are taken over by an unchanged table.
    const_cast<dbField*>(dbStoredField(r, 0))->tTree = 4711;
    EXPECT_TRUE(t.sameLayout(r));
    EXPECT_EQ(t.findField("amount")->tTree, 4711u);
    t.findField("amount")->tTree = 0;
    EXPECT_FALSE(Customer::dbDescriptor.sameLayout(r));
}

TEST(Schema, MalformedStoredRowIsRejected) {
    std::vector<byte> row = rowOf(Order::dbDescriptor);
    dbTable* r = asTable(row);
    auto* f = const_cast<dbField*>(dbStoredField(r, 0));
    f->name.offs = 100000;
    EXPECT_THROW(Order::dbDescriptor.sameLayout(r), dbException);
    r->fields.size = 1000000;
    EXPECT_THROW(dbStoredFieldCount(r), dbException);
}

// A table of one field "v" whose type is chosen per case; a second field "w" stays.
int gType = dbTpInt4;
size_t sizeOf(int type) {
    static const size_t sizes[] = {1, 1, 2, 4, 8, 4, 8, 8, 4, 8};
    return type == dbTpRawBinary ? 6 : sizes[type];
}
dbFieldDescriptor* describeV() {
    if (gType < 0) {  // the old class had no "v"
        auto* w = new dbFieldDescriptor("w", 16, 4, 0);
        dbSetFieldType(w, dbTpInt4, 4);
        return w;
    }
    auto* v = new dbFieldDescriptor("v", 0, sizeOf(gType), 0);
    if (gType == dbTpString) {
        dbSetStringType(v);
    } else if (gType == dbTpReference) {
        dbSetReferenceType(v, &Customer::dbDescriptor);
    } else {
        dbSetFieldType(v, gType, sizeOf(gType));
    }
    auto* w = new dbFieldDescriptor("w", 16, 4, 0);
    dbSetFieldType(w, dbTpInt4, 4);
    return dbFieldList({v, w});
}

struct Converted {
    std::vector<byte> row;
    dbTableDescriptor* table;
};

// A row with `oldBytes` in "v" and 99 in "w" under type `from`, converted to type `to`.
std::vector<byte> convert(int from, const void* oldValue, int to, bool* same = nullptr) {
    gType = from;
    dbTableDescriptor oldTable("V", nullptr, 0, describeV, &Customer::dbDescriptor);
    std::vector<byte> old(64 + 32, 0);
    int32_t w = 99;
    memcpy(old.data() + oldTable.findField("w")->storedOffset, &w, 4);
    byte* at = old.data() + oldTable.findField("v")->storedOffset;
    if (from == dbTpString) {
        const char* s = static_cast<const char*>(oldValue);
        dbVarying v{uint32_t(strlen(s) + 1), 64};
        memcpy(at, &v, 8);
        memcpy(old.data() + 64, s, v.size);
    } else {
        memcpy(at, oldValue, sizeOf(from));
    }
    std::vector<byte> stored = rowOf(oldTable);
    gType = to;
    dbTableDescriptor newTable("V", nullptr, 0, describeV, &Customer::dbDescriptor);
    bool unchanged = newTable.reconcileFields(asTable(stored), false);
    if (same != nullptr) {
        *same = unchanged;
    }
    size_t size = newTable.convertedRecordSize(old.data());
    std::vector<byte> out(size + 4, 0xEE);
    EXPECT_EQ(newTable.convertOldRecord(out.data(), old.data(), newTable.fixedSize), size);
    int32_t w2;
    memcpy(&w2, out.data() + newTable.findField("w")->storedOffset, 4);
    EXPECT_EQ(w2, 99);
    EXPECT_EQ(out[size], 0xEE);
    std::vector<byte> value(out.begin() + newTable.findField("v")->storedOffset, out.end());
    if (to == dbTpString) {
        dbVarying v;
        memcpy(&v, value.data(), 8);
        return std::vector<byte>(out.begin() + v.offs, out.begin() + v.offs + v.size);
    }
    value.resize(sizeOf(to));
    return value;
}

template <class From, class To>
void expectConversion(int from, From value, int to, To expected) {
    std::vector<byte> out = convert(from, &value, to);
    To got;
    memcpy(&got, out.data(), sizeof(To));
    if constexpr (std::is_floating_point_v<To>) {
        EXPECT_DOUBLE_EQ(double(got), double(expected)) << from << " -> " << to;
    } else {
        EXPECT_EQ(got, expected) << from << " -> " << to << " of " << +value;
    }
}

TEST(Schema, ConversionTable) {
    // -> boolean
    expectConversion(dbTpInt4, int32_t(0), dbTpBool, uint8_t(0));
    expectConversion(dbTpInt4, int32_t(-5), dbTpBool, uint8_t(1));
    expectConversion(dbTpInt8, int64_t(1) << 40, dbTpBool, uint8_t(1));  // high half only
    expectConversion(dbTpReal8, 0.0, dbTpBool, uint8_t(0));
    expectConversion(dbTpReal4, 0.25f, dbTpBool, uint8_t(1));
    // -> 1-byte integer: the low byte, reals truncated toward zero first
    expectConversion(dbTpInt4, int32_t(0x1234), dbTpInt1, int8_t(0x34));
    expectConversion(dbTpInt2, int16_t(-2), dbTpInt1, int8_t(-2));
    expectConversion(dbTpReal8, -2.7, dbTpInt1, int8_t(-2));
    expectConversion(dbTpBool, uint8_t(1), dbTpInt1, int8_t(1));
    // -> 2-byte integer
    expectConversion(dbTpBool, uint8_t(1), dbTpInt2, int16_t(1));
    expectConversion(dbTpInt1, int8_t(-5), dbTpInt2, int16_t(-5));
    expectConversion(dbTpInt4, int32_t(0x12345678), dbTpInt2, int16_t(0x5678));
    expectConversion(dbTpInt8, int64_t(0x1111222233334444), dbTpInt2, int16_t(0x4444));
    expectConversion(dbTpReal4, 3.9f, dbTpInt2, int16_t(3));
    // -> 4-byte integer
    expectConversion(dbTpBool, uint8_t(1), dbTpInt4, int32_t(1));
    expectConversion(dbTpInt1, int8_t(-1), dbTpInt4, int32_t(-1));
    expectConversion(dbTpInt2, int16_t(-300), dbTpInt4, int32_t(-300));
    expectConversion(dbTpInt8, int64_t(0x100000005), dbTpInt4, int32_t(5));
    expectConversion(dbTpReal8, -7.9, dbTpInt4, int32_t(-7));
    // -> 8-byte integer
    expectConversion(dbTpBool, uint8_t(1), dbTpInt8, int64_t(1));
    expectConversion(dbTpInt1, int8_t(-1), dbTpInt8, int64_t(-1));
    expectConversion(dbTpInt2, int16_t(-2), dbTpInt8, int64_t(-2));
    expectConversion(dbTpInt4, int32_t(-7), dbTpInt8, int64_t(-7));
    expectConversion(dbTpInt8, int64_t(-1) << 40, dbTpInt8, int64_t(-1) << 40);
    expectConversion(dbTpReal8, 1e10 + 0.9, dbTpInt8, int64_t(10000000000));
    expectConversion(dbTpReal8, std::nan(""), dbTpInt8, int64_t(0));  // not a number: 0
    // -> reals
    expectConversion(dbTpInt4, int32_t(7), dbTpReal8, 7.0);
    expectConversion(dbTpInt4, int32_t(7), dbTpReal4, 7.0f);
    expectConversion(dbTpReal4, 1.5f, dbTpReal8, 1.5);
    expectConversion(dbTpReal8, 2.5, dbTpReal4, 2.5f);
    expectConversion(dbTpInt8, int64_t(-3), dbTpReal8, -3.0);
    expectConversion(dbTpBool, uint8_t(1), dbTpReal8, 1.0);
    // same types: copied
    expectConversion(dbTpReal8, 6.25, dbTpReal8, 6.25);
    expectConversion(dbTpReference, oid_t(9001), dbTpReference, oid_t(9001));
    std::vector<byte> s = convert(dbTpString, "text", dbTpString);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(s.data())), "text");
    EXPECT_EQ(s.size(), 5u);
    // raw bytes to raw bytes
    gType = dbTpRawBinary;
    const char raw[6] = {1, 2, 3, 4, 5, 6};
    std::vector<byte> r = convert(dbTpRawBinary, raw, dbTpRawBinary);
    EXPECT_EQ(memcmp(r.data(), raw, 6), 0);
}

TEST(Schema, AbsentFieldsConvertToZero) {
    const int types[] = {dbTpBool,  dbTpInt1,  dbTpInt2,      dbTpInt4,     dbTpInt8,
                         dbTpReal4, dbTpReal8, dbTpReference, dbTpRawBinary};
    for (int type : types) {
        gType = -1;
        dbTableDescriptor oldTable("V", nullptr, 0, describeV, &Customer::dbDescriptor);
        std::vector<byte> old(64, 0x5A);  // garbage everywhere but the header and "w"
        int32_t w = 99;
        memcpy(old.data() + oldTable.findField("w")->storedOffset, &w, 4);
        std::vector<byte> stored = rowOf(oldTable);
        gType = type;
        dbTableDescriptor newTable("V", nullptr, 0, describeV, &Customer::dbDescriptor);
        EXPECT_FALSE(newTable.reconcileFields(asTable(stored), false));
        dbFieldDescriptor* v = newTable.findField("v");
        EXPECT_EQ(v->oldType, dbTpUnknown);
        std::vector<byte> out(newTable.convertedRecordSize(old.data()), 0xEE);
        newTable.convertOldRecord(out.data(), old.data(), newTable.fixedSize);
        for (size_t i = 0; i < v->storedSize; i++) {
            EXPECT_EQ(out[v->storedOffset + i], 0) << "type " << type;
        }
        int32_t w2;
        memcpy(&w2, out.data() + newTable.findField("w")->storedOffset, 4);
        EXPECT_EQ(w2, 99);
    }
}

TEST(Schema, MoreConversions) {
    expectConversion(dbTpInt8, int64_t(0x7777000000000181), dbTpInt1, int8_t(int8_t(0x81)));
    expectConversion(dbTpReal4, -9.5f, dbTpInt1, int8_t(-9));
    expectConversion(dbTpInt8, int64_t(1) << 33, dbTpReal4, 8589934592.0f);
    expectConversion(dbTpInt2, int16_t(-12), dbTpReal4, -12.0f);
    expectConversion(dbTpBool, uint8_t(1), dbTpReal4, 1.0f);
    expectConversion(dbTpInt1, int8_t(-128), dbTpReal8, -128.0);
    expectConversion(dbTpReal4, 0.0f, dbTpInt8, int64_t(0));
    expectConversion(dbTpInt2, int16_t(-1), dbTpBool, uint8_t(1));
    expectConversion(dbTpInt1, int8_t(0), dbTpBool, uint8_t(0));
}

TEST(Schema, IncompatibleChangesAreInternalErrors) {
    const int32_t seven = 7;
    const int pairs[][2] = {{dbTpString, dbTpInt4},
                            {dbTpInt4, dbTpString},
                            {dbTpInt4, dbTpReference},
                            {dbTpReference, dbTpInt4}};
    for (auto& p : pairs) {
        try {
            convert(p[0], p[0] == dbTpString ? static_cast<const void*>("x") : &seven, p[1]);
            ADD_FAILURE() << p[0] << " -> " << p[1];
        } catch (const dbException& e) {
            EXPECT_EQ(e.getErrCode(), 0);
        }
    }
}

TEST(Schema, SameTypeAndOffsetNeedsNoConversion) {
    bool unchanged = false;
    int32_t v = 3;
    convert(dbTpInt4, &v, dbTpInt4, &unchanged);
    EXPECT_TRUE(unchanged);
    convert(dbTpInt4, &v, dbTpReal4, &unchanged);
    EXPECT_FALSE(unchanged);
}

// ---- gained, renamed and dropped fields -----------------------------------------------------

struct V1 {
    int32_t a;
    int32_t b;
    const char* s;
};
dbFieldDescriptor* describeV1() {
    return dbFieldList({dbDescribeField<int32_t>("a", offsetof(V1, a)),
                        dbDescribeField<int32_t>("b", offsetof(V1, b)),
                        dbDescribeField<const char*>("s", offsetof(V1, s))});
}
dbFieldDescriptor* describeRenamed() {  // b is now c, same type and place
    return dbFieldList({dbDescribeField<int32_t>("a", offsetof(V1, a)),
                        dbDescribeField<int32_t>("c", offsetof(V1, b)),
                        dbDescribeField<const char*>("s", offsetof(V1, s))});
}
dbFieldDescriptor* describeDropped() {  // b is gone
    return dbFieldList({dbDescribeField<int32_t>("a", 0), dbDescribeField<const char*>("s", 8)});
}
dbFieldDescriptor* describeGained() {  // x is new
    return dbFieldList({dbDescribeField<int32_t>("a", offsetof(V1, a)),
                        dbDescribeField<int32_t>("b", offsetof(V1, b)),
                        dbDescribeField<const char*>("s", offsetof(V1, s)),
                        dbDescribeField<const char*>("x", 16)});
}
dbFieldDescriptor* describeRetyped() {  // b replaced by a real at the same place
    return dbFieldList({dbDescribeField<int32_t>("a", offsetof(V1, a)),
                        dbDescribeField<float>("c", offsetof(V1, b)),
                        dbDescribeField<const char*>("s", offsetof(V1, s))});
}

struct Evolution : testing::Test {
    dbTableDescriptor v1{"V1", nullptr, 0, describeV1, &Customer::dbDescriptor};
    std::vector<byte> stored = rowOf(v1);
    std::vector<byte> old;
    void SetUp() override {
        V1 obj{11, 22, "kept"};
        old.resize(v1.recordSize(&obj));
        v1.packRecord(old.data(), &obj);
    }
    std::vector<byte> converted(dbTableDescriptor& t) {
        std::vector<byte> out(t.convertedRecordSize(old.data()));
        EXPECT_EQ(t.convertOldRecord(out.data(), old.data(), t.fixedSize), out.size());
        return out;
    }
};

TEST_F(Evolution, GainedFieldIsZeroOrEmpty) {
    dbTableDescriptor t("V1", nullptr, 0, describeGained, &Customer::dbDescriptor);
    EXPECT_FALSE(t.sameLayout(asTable(stored)));
    EXPECT_FALSE(t.reconcileFields(asTable(stored), false));
    EXPECT_EQ(t.findField("x")->oldType, dbTpUnknown);
    std::vector<byte> out = converted(t);
    struct {
        int32_t a, b;
        const char* s;
        const char* x;
    } obj;
    t.unpackRecord(&obj, out.data());
    EXPECT_EQ(obj.a, 11);
    EXPECT_EQ(obj.b, 22);
    EXPECT_STREQ(obj.s, "kept");
    EXPECT_STREQ(obj.x, "");
}

TEST_F(Evolution, RenamedFieldKeepsItsValuesOnlyWithDropAllowed) {
    dbTableDescriptor t("V1", nullptr, 0, describeRenamed, &Customer::dbDescriptor);
    EXPECT_FALSE(t.sameLayout(asTable(stored)));
    EXPECT_TRUE(t.reconcileFields(asTable(stored), true));  // rows stay as they are
    V1 obj{};
    t.unpackRecord(&obj, old.data());
    EXPECT_EQ(obj.b, 22);  // the stored value, now under the name "c"
    EXPECT_THROW(t.reconcileFields(asTable(stored), false), dbException);
}

TEST_F(Evolution, DroppedFieldVanishesOnlyWithDropAllowed) {
    dbTableDescriptor t("V1", nullptr, 0, describeDropped, &Customer::dbDescriptor);
    EXPECT_THROW(t.reconcileFields(asTable(stored), false), dbException);
    EXPECT_FALSE(t.reconcileFields(asTable(stored), true));
    std::vector<byte> out = converted(t);
    EXPECT_EQ(t.fixedSize, 24u);
    EXPECT_EQ(out.size(), 24u + 5);
    struct {
        int32_t a;
        const char* s;
    } obj;
    t.unpackRecord(&obj, out.data());
    EXPECT_EQ(obj.a, 11);
    EXPECT_STREQ(obj.s, "kept");
}

TEST_F(Evolution, AFieldOfAnotherTypeInADroppedFieldsPlaceIsConverted) {
    dbTableDescriptor t("V1", nullptr, 0, describeRetyped, &Customer::dbDescriptor);
    // Same count and place, but "c" would read the bits of the integer "b" as a real.
    EXPECT_FALSE(t.reconcileFields(asTable(stored), true));
    std::vector<byte> out = converted(t);
    struct {
        int32_t a;
        float c;
        const char* s;
    } obj;
    t.unpackRecord(&obj, out.data());
    EXPECT_EQ(obj.a, 11);
    EXPECT_EQ(obj.c, 0.0f);
    EXPECT_STREQ(obj.s, "kept");
}

TEST_F(Evolution, ReconcileTakesOverTheStoredIndexOfAnUnchangedField) {
    dbTableDescriptor& customers = Customer::dbDescriptor;
    std::vector<byte> row = rowOf(customers);
    auto* f = const_cast<dbField*>(dbStoredField(asTable(row), 0));  // "id", tree-indexed
    f->tTree = 555;
    EXPECT_TRUE(customers.reconcileFields(asTable(row), false));
    EXPECT_EQ(customers.findField("id")->tTree, 555u);
    EXPECT_EQ(f->tTree, 0u);  // not dropped with the old row
    customers.findField("id")->tTree = 0;
}

// ---- inverse references ---------------------------------------------------------------------

class Team;
class Player {
  public:
    dbReference<Team> team;
    KEST_DESCRIBE(Player, KEST_FIELD(team));
};
class Team {
  public:
    dbArray<dbReference<Player>> players;
    KEST_DESCRIBE(Team, KEST_FIELD(players));
};

}  // namespace

KEST_REGISTER(Player);
KEST_REGISTER(Team);

namespace {

dbFieldDescriptor* describeGoodLink() {
    return dbDescribeRelation<oid_t, Team>("owner", 0, 0, "players");
}
dbFieldDescriptor* describeMissingLink() {
    return dbDescribeRelation<oid_t, Team>("owner", 0, 0, "coach");
}

TEST(Schema, InverseLinkProblemsAreReportedNotThrown) {
    dbDatabase db;
    static std::string seen;
    db.setErrorHandler(
        [](int code, const char* msg, int) { seen = std::to_string(code) + ":" + msg; });
    {
        dbTableDescriptor t("Owner", &db, 0, describeMissingLink, &Customer::dbDescriptor);
        testing::internal::CaptureStderr();
        t.resolveInverseLinks();
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "Failed to locate inverse reference field Team.coach for field Owner.owner\n");
        EXPECT_EQ(seen,
                  "11:Failed to locate inverse reference field Team.coach for field Owner.owner");
        EXPECT_EQ(t.inverseFields->inverseField, nullptr);
    }
    {
        // Team.players exists but has no inverse name pointing back.
        dbTableDescriptor t("Owner", &db, 0, describeGoodLink, &Customer::dbDescriptor);
        testing::internal::CaptureStderr();
        t.resolveInverseLinks();
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "Inverse references for field Owner.owner is Team.players, but its inverse "
                  "reference is \n");
        EXPECT_EQ(t.inverseFields->inverseField, nullptr);
    }
}

class Author;
class Book {
  public:
    dbReference<Author> author;
    KEST_DESCRIBE(Book, KEST_RELATION_INVERSE(author, Author, books));
};
class Author {
  public:
    dbArray<oid_t> books;
    KEST_DESCRIBE(Author, dbDescribeRelationArray());
    static dbFieldDescriptor* dbDescribeRelationArray() {
        auto* f = dbDescribeField<dbArray<oid_t>>("books", offsetof(Author, books), 0, "author");
        dbSetReferenceType(f->members, &Book::dbDescriptor);
        return f;
    }
};

}  // namespace

KEST_REGISTER(Book);
KEST_REGISTER(Author);

namespace {

TEST(Schema, MatchingInverseLinksResolve) {
    Book::dbDescriptor.resolveInverseLinks();
    Author::dbDescriptor.resolveInverseLinks();
    EXPECT_EQ(Book::dbDescriptor.inverseFields->inverseField,
              Author::dbDescriptor.findField("books"));
    EXPECT_EQ(Author::dbDescriptor.inverseFields->inverseField,
              Book::dbDescriptor.findField("author"));
}

}  // namespace
