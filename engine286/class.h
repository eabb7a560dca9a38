// Table and field descriptors: how a record class describes its fields, how they are laid out in
// a stored row, and how an object is packed into and unpacked from a row.
//
// Invariants: a descriptor's layout (stored offsets, sizes, fixed size, full names, index lists)
// is computed once at registration and never changes afterwards; stored offsets are aligned to
// the field's alignment; the variable part of a row starts at the table's fixedSize. Only
// oldType/oldOffset/oldSize, the index ids and layoutFlags bits 3 and 31 of indexFlags change
// while a database is open.
//
// A record class describes itself in a few lines:
//
//     class ScannerSetup {
//       public:
//         const char* scanner;
//         int32_t size;
//         bool used;
//         KEST_DESCRIBE(ScannerSetup, KEST_FIELD(scanner), KEST_FIELD(size), KEST_FIELD(used));
//     };
//     KEST_REGISTER(ScannerSetup);  // in one .cpp: registers the table at static initialisation
//
// KEST_KEY(x, flags) adds index flags (HASHED, INDEXED), KEST_RELATION(x, Table) declares an
// integer member as a reference to Table, KEST_RELATION_INVERSE/KEST_OWNER add an inverse field,
// KEST_METHOD(name, &Class::fn) adds a method member to a structure described with
// KEST_DESCRIBE_STRUCT.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <type_traits>

#include "file_format.h"

class dbDatabase;
class dbTableDescriptor;
class dbFieldDescriptor;

// Field type codes; the same code serves as stored and in-memory type.
enum dbFieldType : int {
    dbTpBool = 0,
    dbTpInt1 = 1,
    dbTpInt2 = 2,
    dbTpInt4 = 3,
    dbTpInt8 = 4,
    dbTpReal4 = 5,
    dbTpReal8 = 6,
    dbTpString = 7,
    dbTpReference = 8,
    dbTpArray = 9,
    dbTpMethodBase = 10,  // a method member's code is its result type + 10
    dbTpStructure = 19,
    dbTpRawBinary = 20,
    dbTpUnknown = 22  // old-type marker: the field was absent from the stored schema
};

// indexFlags bits.
enum : int {
    HASHED = 1,
    INDEXED = 2,
    DB_FIELD_CASCADE_DELETE = 8,  // removing the owner removes the rows it references
    DB_FIELD_INDEX_BEING_BUILT = int(0x80000000u)
};

// layoutFlags bits.
enum : int { dbComponentOfArray = 1, dbHasVariablePart = 2, dbOneToOneMapping = 4, dbUpdated = 8 };

using dbUDTComparator = int (*)(const void* a, const void* b, size_t size);
int dbDefaultCompare(const void* a, const void* b, size_t size);

// Gives an in-memory array its length and element storage. `storedElements` non-null: the array
// refers to those elements (one-to-one elements); null: the array allocates room for `length`
// elements. Returns the address of the array's elements.
using dbArrayMaker = void* (*)(void* array, size_t length, void* storedElements);
// Reads an in-memory array: its element address, with the count in *length.
using dbArrayAccess = const void* (*)(const void* array, size_t* length);

// Evaluates a method member on a structure held in a stored row.
class dbAnyMethodTrampoline {
  public:
    dbFieldDescriptor* cls;  // the method's descriptor
    explicit dbAnyMethodTrampoline(dbFieldDescriptor* fd) : cls(fd) {}
    // `record` is the stored row; the structure sits at cls->storedOffset.
    virtual void invoke(const byte* record, void* result) = 0;
    // The direct form for a structure whose stored layout equals its in-memory layout.
    virtual dbAnyMethodTrampoline* optimize() = 0;
    virtual ~dbAnyMethodTrampoline() = default;
};

class dbFieldDescriptor {
  public:
    dbFieldDescriptor* next;  // circular list of the siblings of one level
    dbFieldDescriptor* prev;
    dbFieldDescriptor* nextInTable;  // all fields of the table in layout order
    dbFieldDescriptor* nextHashed;
    dbFieldDescriptor* nextInTree;
    dbFieldDescriptor* nextInverse;
    int fieldIndex;
    const char* name;  // interned
    char* fullName;    // owned
    dbTableDescriptor* referencedTable;
    dbTableDescriptor* ownerTable;
    dbFieldDescriptor* inverseField;
    const char* inverseName;  // interned or null
    int storedType;
    int objectType;
    int indexFlags;
    int storedOffset;
    int objectOffset;
    dbFieldDescriptor* members;
    oid_t hashTable;
    oid_t tTree;
    size_t storedSize;
    size_t objectSize;
    size_t align;
    dbUDTComparator compare;
    int layoutFlags;
    int oldType;
    int oldOffset;
    int oldSize;
    dbAnyMethodTrampoline* methodHook;
    dbArrayMaker arrayMaker;
    dbArrayAccess arrayAccess;

    // A declared field: sizes = `size`, type structure until a type initialiser runs.
    dbFieldDescriptor(const char* name, size_t objectOffset, size_t size, int indexFlags,
                      const char* inverseName = nullptr, dbFieldDescriptor* members = nullptr);
    // A bare field (array element, string characters, method member): one-to-one, no index.
    explicit dbFieldDescriptor(const char* name);
    ~dbFieldDescriptor();
    dbFieldDescriptor(const dbFieldDescriptor&) = delete;
    dbFieldDescriptor& operator=(const dbFieldDescriptor&) = delete;

    // Appends the sibling list `tail` after this list's last member; returns this list.
    dbFieldDescriptor* concat(dbFieldDescriptor* tail);
    // Turns a data member into a method member (type + 10); the type must be below 9.
    dbFieldDescriptor* setMethod(dbAnyMethodTrampoline* hook);

    // Finds a member of this sibling list by interned or plain name; null when none.
    dbFieldDescriptor* find(const char* name);

    // Row operations over one sibling list, starting at this descriptor.
    size_t sizeWithoutOneField(dbFieldDescriptor* field, const byte* record, size_t& size);
    size_t calculateRecordSize(const byte* object, size_t offs);
    size_t packRecord(byte* dst, const byte* src, size_t offs);
    void unpackRecord(byte* dst, const byte* src);
    void markChangedIndexedFields(const byte* record, const byte* object);
    // Conversion of a stored row written under the old schema (oldType/oldOffset/oldSize).
    size_t calculateNewRecordSize(const byte* old, size_t offs);
    size_t convertRecord(byte* dst, const byte* src, size_t offs);

    // Key of this field in a stored row, for index comparisons.
    int compareKeys(const byte* rowA, const byte* rowB) const;
    uint32_t hashKey(const byte* row) const;

  private:
    void init(const char* name);
    friend class dbTableDescriptor;
};

// Type initialisers, selected from the member's C++ type by the declaration helpers.
void dbSetFieldType(dbFieldDescriptor* fd, int type, size_t size);
void dbSetStringType(dbFieldDescriptor* fd);
void dbSetReferenceType(dbFieldDescriptor* fd, dbTableDescriptor* table);
void dbSetStructureType(dbFieldDescriptor* fd, dbFieldDescriptor* members);
void dbSetArrayType(dbFieldDescriptor* fd, dbFieldDescriptor* element, dbArrayMaker maker,
                    dbArrayAccess access);

using dbDescribeFunc = dbFieldDescriptor* (*)();

// The value of dbTableDescriptor::database that lets every database take a private copy.
inline dbDatabase* dbAnyDatabase() {
    return reinterpret_cast<dbDatabase*>(~uintptr_t(0));
}

class dbTableDescriptor {
  public:
    dbTableDescriptor* nextRegistered;
    dbTableDescriptor* nextInDatabase;
    const char* name;  // interned
    oid_t tableRecordId;
    dbFieldDescriptor* fieldList;
    dbFieldDescriptor* hashedFields;
    dbFieldDescriptor* treeFields;
    dbFieldDescriptor* inverseFields;
    dbFieldDescriptor* allFields;
    dbFieldDescriptor** allFieldsTail;
    dbDatabase* database;
    byte boundAtConstruction;
    byte registered;
    size_t objectSize;
    size_t fixedSize;
    size_t fieldCount;
    size_t columnCount;
    dbTableDescriptor* cloneOf;
    dbDescribeFunc describe;

    // Newest first; descriptors register during static initialisation (single-threaded).
    static dbTableDescriptor* registeredChain;

    dbTableDescriptor(const char* name, dbDatabase* database, size_t classSize,
                      dbDescribeFunc describe, dbTableDescriptor* cloneOf = nullptr);
    ~dbTableDescriptor();
    dbTableDescriptor(const dbTableDescriptor&) = delete;
    dbTableDescriptor& operator=(const dbTableDescriptor&) = delete;

    // A private copy of this descriptor for `db` (not in the registered list).
    dbTableDescriptor* clone(dbDatabase* db);
    dbFieldDescriptor* findField(const char* fullName) const;

    // ---- stored rows ----
    size_t recordSize(const void* object) {
        return fieldList->calculateRecordSize((const byte*)object, fixedSize);
    }
    // Writes fixed and variable part (not the header) into `record`; returns the row's end.
    size_t packRecord(byte* record, const void* object) {
        return fieldList->packRecord(record, (const byte*)object, fixedSize);
    }
    void unpackRecord(void* object, const byte* record) {
        fieldList->unpackRecord((byte*)object, record);
    }
    void markChangedIndexedFields(const byte* record, const void* object) {
        fieldList->markChangedIndexedFields(record, (const byte*)object);
    }

    // ---- stored schema ----
    bool sameLayout(const dbTable* row);
    bool reconcileFields(dbTable* row, bool dropAllowed);
    size_t tableRecordSize() const;  // variable part of the "Metatable" row
    size_t tableRowSize() const {
        return tableRecordSize() + sizeof(dbField) * fieldCount + sizeof(dbTable);
    }
    void writeTableRecord(dbTable* row) const;
    void resolveInverseLinks();
    // Size of `old` (a row under the old schema) once converted; then the conversion itself.
    size_t convertedRecordSize(const byte* old) {
        return fieldList->calculateNewRecordSize(old, fixedSize);
    }
    size_t convertOldRecord(byte* dst, const byte* old, size_t pos) {
        return fieldList->convertRecord(dst, old, pos);
    }

  private:
    size_t layoutFields(dbFieldDescriptor* first, const char* prefix, int base, int indexMask,
                        int& parentFlags);
    void unlinkRegistered();
    size_t declaredSize;
    size_t objectAlign;  // largest in-memory alignment met during layout
};

// ---- declaration helpers ---------------------------------------------------------------------

// A reference to a row of table T (4 bytes, 0 = none).
template <class T>
struct dbReference {
    oid_t oid = 0;
    dbReference() = default;
    explicit dbReference(oid_t id) : oid(id) {}
    bool isNull() const { return oid == 0; }
    bool operator==(const dbReference&) const = default;
};

template <class T>
concept dbDescribedStructure = requires {
    T::dbDescribeComponents();
};

template <class T, class = void>
struct dbTypeOf;  // maps a member type to its type initialiser

template <class T>
struct dbTypeOf<T, std::enable_if_t<std::is_arithmetic_v<T>>> {
    static void init(dbFieldDescriptor* fd) {
        if constexpr (std::is_same_v<T, bool>) {
            dbSetFieldType(fd, dbTpBool, 1);
        } else if constexpr (std::is_floating_point_v<T>) {
            dbSetFieldType(fd, sizeof(T) == 4 ? dbTpReal4 : dbTpReal8, sizeof(T));
        } else {
            static_assert(sizeof(T) == 1 || sizeof(T) == 2 || sizeof(T) == 4 || sizeof(T) == 8);
            dbSetFieldType(fd,
                           sizeof(T) == 1   ? dbTpInt1
                           : sizeof(T) == 2 ? dbTpInt2
                           : sizeof(T) == 4 ? dbTpInt4
                                            : dbTpInt8,
                           sizeof(T));
        }
    }
};

template <>
struct dbTypeOf<const char*> {
    static void init(dbFieldDescriptor* fd) { dbSetStringType(fd); }
};
template <>
struct dbTypeOf<char*> {
    static void init(dbFieldDescriptor* fd) { dbSetStringType(fd); }
};

template <class T>
struct dbTypeOf<dbReference<T>> {
    static void init(dbFieldDescriptor* fd) { dbSetReferenceType(fd, &T::dbDescriptor); }
};

template <dbDescribedStructure T>
struct dbTypeOf<T> {
    static void init(dbFieldDescriptor* fd) { dbSetStructureType(fd, T::dbDescribeComponents()); }
};

// A described field of member type T at object offset `offs`.
template <class T>
dbFieldDescriptor* dbDescribeField(const char* name, size_t offs, int indexFlags = 0,
                                   const char* inverse = nullptr) {
    auto* fd = new dbFieldDescriptor(name, offs, sizeof(T), indexFlags, inverse);
    dbTypeOf<T>::init(fd);
    return fd;
}

// An integer member (object id) declared as a reference to table Table. Table may still be
// incomplete where the record class is declared (two tables that refer to each other): its
// descriptor is named only when the describing function is instantiated.
template <class T, class Table>
dbFieldDescriptor* dbDescribeRelation(const char* name, size_t offs, int indexFlags = 0,
                                      const char* inverse = nullptr) {
    static_assert(sizeof(T) == 4, "a reference member holds a 32-bit object id");
    auto* fd = new dbFieldDescriptor(name, offs, sizeof(T), indexFlags, inverse);
    dbSetReferenceType(fd, &Table::dbDescriptor);
    return fd;
}

template <class T>
dbFieldDescriptor* dbDescribeRaw(const char* name, size_t offs, int indexFlags = 0) {
    auto* fd = new dbFieldDescriptor(name, offs, sizeof(T), indexFlags);
    dbSetFieldType(fd, dbTpRawBinary, sizeof(T));
    fd->align = alignof(T);
    return fd;
}

// The concatenation of fields in declaration order.
dbFieldDescriptor* dbFieldList(std::initializer_list<dbFieldDescriptor*> fields);

// A method member `name` returning R, evaluated on a structure of class C.
template <class C, class R>
class dbMethodTrampoline : public dbAnyMethodTrampoline {
  public:
    using Method = R (C::*)() const;
    dbMethodTrampoline(dbFieldDescriptor* fd, Method m) : dbAnyMethodTrampoline(fd), method(m) {}
    void invoke(const byte* record, void* result) override {
        C object;
        cls->members->unpackRecord((byte*)&object, record);
        *(R*)result = (object.*method)();
    }
    dbAnyMethodTrampoline* optimize() override;
    Method method;
};

template <class C, class R>
class dbMethodFastTrampoline : public dbMethodTrampoline<C, R> {
  public:
    using Base = dbMethodTrampoline<C, R>;
    explicit dbMethodFastTrampoline(Base* m) : Base(m->cls, m->method) {}
    void invoke(const byte* record, void* result) override {
        *(R*)result = (((const C*)(record + this->cls->storedOffset))->*this->method)();
    }
};

template <class C, class R>
dbAnyMethodTrampoline* dbMethodTrampoline<C, R>::optimize() {
    return new dbMethodFastTrampoline<C, R>(this);
}

template <class C, class R>
dbFieldDescriptor* dbDescribeMethod(const char* name, R (C::*method)() const) {
    auto* fd = new dbFieldDescriptor(name);
    dbTypeOf<R>::init(fd);
    return fd->setMethod(new dbMethodTrampoline<C, R>(fd, method));
}

#define KEST_FIELD(x) dbDescribeField<decltype(Self::x)>(#x, offsetof(Self, x))
#define KEST_KEY(x, flags) dbDescribeField<decltype(Self::x)>(#x, offsetof(Self, x), flags)
#define KEST_RAW(x) dbDescribeRaw<decltype(Self::x)>(#x, offsetof(Self, x))
#define KEST_RELATION(x, Table) dbDescribeRelation<decltype(Self::x), Table>(#x, offsetof(Self, x))
#define KEST_RELATION_INVERSE(x, Table, inverse) \
    dbDescribeRelation<decltype(Self::x), Table>(#x, offsetof(Self, x), 0, #inverse)
#define KEST_OWNER(x, Table, inverse)                                                            \
    dbDescribeRelation<decltype(Self::x), Table>(#x, offsetof(Self, x), DB_FIELD_CASCADE_DELETE, \
                                                 #inverse)
#define KEST_METHOD(name, method) dbDescribeMethod(name, method)

// Inside a structure used as a field type.
#define KEST_DESCRIBE_STRUCT(Class, ...)               \
    static dbFieldDescriptor* dbDescribeComponents() { \
        using Self [[maybe_unused]] = Class;           \
        return dbFieldList({__VA_ARGS__});             \
    }
// Inside a record class stored as a table; KEST_REGISTER(Class) in one source file.
#define KEST_DESCRIBE(Class, ...)            \
    KEST_DESCRIBE_STRUCT(Class, __VA_ARGS__) \
    static dbTableDescriptor dbDescriptor
#define KEST_REGISTER(Class)                                              \
    dbTableDescriptor Class::dbDescriptor(#Class, nullptr, sizeof(Class), \
                                          &Class::dbDescribeComponents)

// ---- field types of the engine's value classes ----------------------------------------------
#include "array.h"
#include "datetime.h"

// dbDateTime is stored as a structure: "stamp" (index flags 3, effective only when the
// enclosing field is indexed) and the method members "year" ... "second".
template <>
struct dbTypeOf<dbDateTime> {
    static void init(dbFieldDescriptor* fd) { dbSetStructureType(fd, dbDescribeDateTime()); }
    static dbFieldDescriptor* dbDescribeDateTime() {
        return dbFieldList({
            dbDescribeField<int32_t>("stamp", offsetof(dbDateTime, stamp), HASHED | INDEXED),
            dbDescribeMethod("year", &dbDateTime::year),
            dbDescribeMethod("month", &dbDateTime::month),
            dbDescribeMethod("day", &dbDateTime::day),
            dbDescribeMethod("dayOfYear", &dbDateTime::dayOfYear),
            dbDescribeMethod("dayOfWeek", &dbDateTime::dayOfWeek),
            dbDescribeMethod("hour", &dbDateTime::hour),
            dbDescribeMethod("minute", &dbDateTime::minute),
            dbDescribeMethod("second", &dbDateTime::second),
        });
    }
};

template <class T>
struct dbTypeOf<dbArray<T>> {
    static void* make(void* array, size_t length, void* storedElements) {
        auto* a = static_cast<dbArray<T>*>(array);
        if (storedElements != nullptr) {
            a->refer(static_cast<T*>(storedElements), length);
            return storedElements;
        }
        return a->allocate(length);
    }
    static const void* access(const void* array, size_t* length) {
        auto* a = static_cast<const dbArray<T>*>(array);
        *length = a->length();
        return a->get();
    }
    static void init(dbFieldDescriptor* fd) {
        auto* elem = new dbFieldDescriptor("[]");
        dbTypeOf<T>::init(elem);
        dbSetArrayType(fd, elem, &make, &access);
    }
};
