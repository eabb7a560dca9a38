// Descriptors and record layout: stored offsets and sizes, packing and unpacking, change
// marking, the date-time structure, arrays, and the declaration errors.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "class.h"
#include "sync_w32.h"

namespace {

class Person {
  public:
    int32_t age;
    const char* name;
    double weight;
    KEST_DESCRIBE(Person, KEST_FIELD(age), KEST_FIELD(name), KEST_FIELD(weight));
};

class Pet {
  public:
    const char* name;
    dbReference<Person> owner;
    KEST_DESCRIBE(Pet, KEST_FIELD(name), KEST_FIELD(owner));
};

class Visit {
  public:
    dbDateTime when;
    int32_t room;
    KEST_DESCRIBE(Visit, KEST_FIELD(when), KEST_FIELD(room));
};

class IndexedVisit {
  public:
    dbDateTime when;
    KEST_DESCRIBE(IndexedVisit, KEST_KEY(when, INDEXED));
};

class Keyed {
  public:
    const char* id;
    int32_t n;
    int32_t plain;
    double r;
    KEST_DESCRIBE(Keyed, KEST_KEY(id, INDEXED), KEST_KEY(n, HASHED), KEST_FIELD(plain),
                  KEST_KEY(r, HASHED));
};

class WithArrays {
  public:
    int8_t flag;
    dbArray<int32_t> numbers;
    dbArray<const char*> words;
    const char* tail;
    KEST_DESCRIBE(WithArrays, KEST_FIELD(flag), KEST_FIELD(numbers), KEST_FIELD(words),
                  KEST_FIELD(tail));
};

}  // namespace

KEST_REGISTER(Person);
KEST_REGISTER(Pet);
KEST_REGISTER(Visit);
KEST_REGISTER(IndexedVisit);
KEST_REGISTER(Keyed);
KEST_REGISTER(WithArrays);

namespace {

// The example layout: a 4-byte integer at object offset 0, a string at 4, an 8-byte real at 8.
dbFieldDescriptor* describeExample() {
    auto* a = new dbFieldDescriptor("a", 0, 4, 0);
    dbSetFieldType(a, dbTpInt4, 4);
    auto* s = new dbFieldDescriptor("s", 4, sizeof(char*), 0);
    dbSetStringType(s);
    auto* d = new dbFieldDescriptor("d", 8, 8, 0);
    dbSetFieldType(d, dbTpReal8, 8);
    return dbFieldList({a, s, d});
}

TEST(Layout, ExampleOffsetsAndFixedSize) {
    dbTableDescriptor t("Example", nullptr, 0, describeExample);
    dbFieldDescriptor* a = t.findField("a");
    dbFieldDescriptor* s = t.findField("s");
    dbFieldDescriptor* d = t.findField("d");
    ASSERT_TRUE(a && s && d);
    EXPECT_EQ(a->storedOffset, 12);
    EXPECT_EQ(s->storedOffset, 16);
    EXPECT_EQ(d->storedOffset, 24);
    EXPECT_EQ(t.fixedSize, 32u);
    EXPECT_EQ(t.fieldCount, 3u);
    EXPECT_EQ(t.columnCount, 3u);
    // The object size follows this platform's pointers: 4 + pad + 8 + 8.
    EXPECT_EQ(t.objectSize, 24u);
    EXPECT_EQ(a->fieldIndex, 0);
    EXPECT_EQ(d->fieldIndex, 2);
    EXPECT_STREQ(t.allFields->fullName, "a");
    EXPECT_TRUE(s->layoutFlags & dbHasVariablePart);
}

TEST(Layout, RegisteredClassesAreInTheRegisteredList) {
    bool found = false;
    for (dbTableDescriptor* t = dbTableDescriptor::registeredChain; t; t = t->nextRegistered) {
        found |= t == &Person::dbDescriptor;
    }
    EXPECT_TRUE(found);
    EXPECT_EQ(Person::dbDescriptor.database, nullptr);
    EXPECT_EQ(Person::dbDescriptor.objectSize, sizeof(Person));
    EXPECT_EQ(Pet::dbDescriptor.findField("owner")->referencedTable, &Person::dbDescriptor);
    EXPECT_EQ(Pet::dbDescriptor.findField("owner")->storedType, dbTpReference);
}

TEST(Layout, PackUnpackRoundTrip) {
    Person p{42, "Chen Mei", 61.5};
    dbTableDescriptor& t = Person::dbDescriptor;
    size_t size = t.recordSize(&p);
    EXPECT_EQ(size, 32u + 9);
    std::vector<byte> rec(size, 0xEE);
    EXPECT_EQ(t.packRecord(rec.data(), &p), size);
    dbVarying v;
    memcpy(&v, rec.data() + 16, 8);
    EXPECT_EQ(v.size, 9u);
    EXPECT_EQ(v.offs, 32u);
    EXPECT_STREQ(reinterpret_cast<char*>(rec.data() + 32), "Chen Mei");
    Person q{};
    t.unpackRecord(&q, rec.data());
    EXPECT_EQ(q.age, 42);
    EXPECT_EQ(q.weight, 61.5);
    EXPECT_EQ(q.name, reinterpret_cast<char*>(rec.data() + 32));  // points into the record
}

TEST(Layout, NullStringPacksAsEmptyString) {
    Person p{1, nullptr, 0};
    dbTableDescriptor& t = Person::dbDescriptor;
    size_t size = t.recordSize(&p);
    EXPECT_EQ(size, 33u);
    std::vector<byte> rec(size, 0xEE);
    t.packRecord(rec.data(), &p);
    dbVarying v;
    memcpy(&v, rec.data() + 16, 8);
    EXPECT_EQ(v.size, 1u);
    EXPECT_EQ(rec[32], 0);
    Person q{};
    t.unpackRecord(&q, rec.data());
    ASSERT_NE(q.name, nullptr);
    EXPECT_STREQ(q.name, "");
    EXPECT_EQ(q.name, reinterpret_cast<char*>(rec.data() + 32));
}

TEST(Layout, EqualNamesShareOneInternedPointer) {
    EXPECT_EQ(Person::dbDescriptor.findField("name")->name,
              Pet::dbDescriptor.findField("name")->name);
    const char* literal = "name";
    dbSymbolTable::add(literal, 0);
    EXPECT_EQ(literal, Pet::dbDescriptor.findField("name")->name);
}

TEST(Layout, DateTimeIsAStructureWithOneStoredMember) {
    dbTableDescriptor& t = Visit::dbDescriptor;
    dbFieldDescriptor* when = t.findField("when");
    dbFieldDescriptor* stamp = t.findField("when.stamp");
    ASSERT_TRUE(when && stamp);
    EXPECT_EQ(t.fieldCount, 3u);  // when, when.stamp, room: methods are not stored
    EXPECT_EQ(t.columnCount, 2u);
    EXPECT_EQ(when->storedType, dbTpStructure);
    EXPECT_EQ(when->storedOffset, 12);
    EXPECT_EQ(when->storedSize, 4u);
    EXPECT_EQ(stamp->storedType, dbTpInt4);
    EXPECT_EQ(stamp->storedOffset, 12);
    EXPECT_EQ(t.findField("room")->storedOffset, 16);
    EXPECT_EQ(t.fixedSize, 20u);
    // "stamp" carries index flags 3, which act only when the date-time field is indexed.
    EXPECT_EQ(stamp->indexFlags & (HASHED | INDEXED), 0);
    EXPECT_EQ(t.treeFields, nullptr);
    dbFieldDescriptor* indexed = IndexedVisit::dbDescriptor.findField("when.stamp");
    EXPECT_EQ(indexed->indexFlags & (HASHED | INDEXED), INDEXED);
    EXPECT_EQ(IndexedVisit::dbDescriptor.treeFields, indexed);
    EXPECT_EQ(IndexedVisit::dbDescriptor.hashedFields, nullptr);

    // Method members evaluate on the stored structure.
    Visit v;
    v.when = dbDateTime(2005, 3, 1, 10, 20, 30);
    v.room = 7;
    std::vector<byte> rec(t.recordSize(&v));
    t.packRecord(rec.data(), &v);
    const char* names[] = {"year", "month", "day", "hour", "minute", "second"};
    const int expected[] = {2005, 3, 1, 10, 20, 30};
    for (int i = 0; i < 6; i++) {
        dbFieldDescriptor* m = when->members->find(names[i]);
        ASSERT_NE(m, nullptr) << names[i];
        EXPECT_EQ(m->storedType, dbTpInt4 + dbTpMethodBase);
        int result = 0;
        m->methodHook->invoke(rec.data(), &result);
        EXPECT_EQ(result, expected[i]) << names[i];
    }
}

TEST(Layout, ArraysPackAndUnpack) {
    dbTableDescriptor& t = WithArrays::dbDescriptor;
    EXPECT_STREQ(t.findField("numbers[]")->fullName, "numbers[]");
    EXPECT_EQ(t.findField("numbers")->storedOffset, 16);
    EXPECT_EQ(t.findField("words")->storedOffset, 24);
    EXPECT_EQ(t.fixedSize, 40u);
    WithArrays w;
    w.flag = -3;
    for (int i = 0; i < 5; i++) {
        w.numbers.append(i * 100);
    }
    w.words.append("alpha");
    w.words.append(nullptr);
    w.words.append("gamma");
    w.tail = "end";
    size_t size = t.recordSize(&w);
    std::vector<byte> rec(size + 8, 0xEE);
    ASSERT_EQ(t.packRecord(rec.data(), &w), size);
    WithArrays back;
    t.unpackRecord(&back, rec.data());
    EXPECT_EQ(back.flag, -3);
    ASSERT_EQ(back.numbers.length(), 5u);
    EXPECT_EQ(back.numbers[4], 400);
    EXPECT_FALSE(back.numbers.ownsElements());  // one-to-one elements stay in the record
    ASSERT_EQ(back.words.length(), 3u);
    EXPECT_STREQ(back.words[0], "alpha");
    EXPECT_STREQ(back.words[1], "");
    EXPECT_STREQ(back.words[2], "gamma");
    EXPECT_STREQ(back.tail, "end");
    EXPECT_EQ(rec[size], 0xEE);  // nothing written past the computed size
}

TEST(Layout, ChangeMarkingOnlyComparesIndexedFields) {
    dbTableDescriptor& t = Keyed::dbDescriptor;
    Keyed k{"A-1", 5, 9, 1.5};
    std::vector<byte> rec(t.recordSize(&k));
    t.packRecord(rec.data(), &k);
    auto clear = [&] {
        for (dbFieldDescriptor* fd = t.allFields; fd; fd = fd->nextInTable) {
            fd->layoutFlags &= ~dbUpdated;
        }
    };
    struct Case {
        Keyed k;
        bool id, n, r;
    } cases[] = {
        {{"A-1", 5, 10, 1.5}, false, false, false},  // only the plain field
        {{"A-2", 5, 9, 1.5}, true, false, false},   {{"A-1", 6, 9, 1.5}, false, true, false},
        {{"A-1", 5, 9, 2.5}, false, false, true},   {{nullptr, 5, 9, 1.5}, true, false, false},
    };
    for (const Case& c : cases) {
        clear();
        t.markChangedIndexedFields(rec.data(), &c.k);
        EXPECT_EQ(bool(t.findField("id")->layoutFlags & dbUpdated), c.id);
        EXPECT_EQ(bool(t.findField("n")->layoutFlags & dbUpdated), c.n);
        EXPECT_EQ(bool(t.findField("r")->layoutFlags & dbUpdated), c.r);
        EXPECT_FALSE(t.findField("plain")->layoutFlags & dbUpdated);
    }
    clear();
}

struct TwoInts {
    int32_t a;
    int32_t b;
};
dbFieldDescriptor* describeOnlyA() {
    auto* a = new dbFieldDescriptor("a", offsetof(TwoInts, a), 4, 0);
    dbSetFieldType(a, dbTpInt4, 4);
    return a;
}

struct Staff {  // pointers first, then small fields: padded at the end in memory
    const char* id;
    const char* name;
    const char* password;
    int32_t permission;
    bool waitingChange;
    bool messageChange;
    int32_t oid;
};
dbFieldDescriptor* describeStaff() {
    return dbFieldList({dbDescribeField<const char*>("id", offsetof(Staff, id)),
                        dbDescribeField<const char*>("name", offsetof(Staff, name)),
                        dbDescribeField<const char*>("password", offsetof(Staff, password)),
                        dbDescribeField<int32_t>("permission", offsetof(Staff, permission)),
                        dbDescribeField<bool>("waitingChange", offsetof(Staff, waitingChange)),
                        dbDescribeField<bool>("messageChange", offsetof(Staff, messageChange)),
                        dbDescribeField<int32_t>("oid", offsetof(Staff, oid))});
}

TEST(Layout, UndescribedFieldsWarning) {
    testing::internal::CaptureStderr();
    {
        dbTableDescriptor t("Staff", nullptr, sizeof(Staff), describeStaff);
        EXPECT_EQ(t.objectSize, sizeof(Staff));
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");  // fully described: no warning
    testing::internal::CaptureStderr();
    { dbTableDescriptor t("TwoInts", nullptr, sizeof(TwoInts), describeOnlyA); }
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Warning: may be not all fields of the class 'TwoInts' were described\n");
    testing::internal::CaptureStderr();
    { dbTableDescriptor t("TwoIntsOk", nullptr, 4, describeOnlyA); }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

dbFieldDescriptor* describeIndexedArray() {
    auto* f = dbDescribeField<dbArray<int32_t>>("xs", 0, INDEXED);
    return f;
}
dbFieldDescriptor* describeInverseOnInteger() {
    return dbDescribeField<int32_t>("x", 0, 0, "y");
}

TEST(Layout, DeclarationErrorsRaiseCodeZero) {
    for (dbDescribeFunc f : {describeIndexedArray, describeInverseOnInteger}) {
        try {
            dbTableDescriptor t("Bad", nullptr, 0, f);
            ADD_FAILURE() << "accepted";
        } catch (const dbException& e) {
            EXPECT_EQ(e.getErrCode(), 0);
            EXPECT_EQ(e.getMsg(), nullptr);
        }
    }
    auto* m = new dbFieldDescriptor("m");  // a method must return a scalar or a reference
    dbSetStringType(m);
    m->storedType = m->objectType = dbTpArray;
    EXPECT_THROW(m->setMethod(nullptr), dbException);
    delete m;
    // Nothing half-registered remains.
    for (dbTableDescriptor* t = dbTableDescriptor::registeredChain; t; t = t->nextRegistered) {
        EXPECT_STRNE(t->name, "Bad");
    }
}

}  // namespace
