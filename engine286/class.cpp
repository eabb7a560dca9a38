// Field and table descriptors: registration, layout of the stored record, packing, unpacking,
// change marking, index keys and the conversion of rows written under an older schema.
//
// Invariant kept here: every routine walks one sibling list in declaration order and uses the
// same stored offsets and the same variable-part arithmetic, so recordSize equals the end that
// packRecord returns, and convertedRecordSize equals the end that convertOldRecord returns.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "class.h"
#include "sync_w32.h"

dbTableDescriptor* dbTableDescriptor::registeredChain = nullptr;

namespace {

inline size_t alignUp(size_t x, size_t a) {
    return a <= 1 ? x : (x + a - 1) / a * a;
}

inline bool isMethod(const dbFieldDescriptor* fd) {
    return fd->storedType >= dbTpMethodBase && fd->storedType < dbTpStructure;
}

inline dbVarying* varyingAt(byte* p) {
    return reinterpret_cast<dbVarying*>(p);
}
inline const dbVarying* varyingAt(const byte* p) {
    return reinterpret_cast<const dbVarying*>(p);
}

// Array elements are laid out as one-to-one when they can be copied as a block.
inline bool elementIsPlain(const dbFieldDescriptor* elem) {
    return (elem->layoutFlags & dbOneToOneMapping) && !(elem->layoutFlags & dbHasVariablePart) &&
           elem->storedSize == elem->objectSize;
}

void deleteSiblings(dbFieldDescriptor* first) {
    if (first == nullptr) {
        return;
    }
    dbFieldDescriptor* fd = first;
    do {
        dbFieldDescriptor* next = fd->next;
        delete fd;
        fd = next;
    } while (fd != first);
}

// A stored scalar read as an integer or a real, for conversion.
struct OldScalar {
    bool isReal = false;
    int64_t i = 0;
    double d = 0;
};

OldScalar readScalar(const byte* p, int type) {
    OldScalar v;
    switch (type) {
        case dbTpBool:
            v.i = *p;
            break;
        case dbTpInt1:
            v.i = int8_t(*p);
            break;
        case dbTpInt2: {
            int16_t x;
            memcpy(&x, p, 2);
            v.i = x;
            break;
        }
        case dbTpInt4: {
            int32_t x;
            memcpy(&x, p, 4);
            v.i = x;
            break;
        }
        case dbTpInt8:
            memcpy(&v.i, p, 8);
            break;
        case dbTpReal4: {
            float x;
            memcpy(&x, p, 4);
            v.isReal = true;
            v.d = x;
            break;
        }
        case dbTpReal8:
            memcpy(&v.d, p, 8);
            v.isReal = true;
            break;
        default:
            throw dbException(0);
    }
    return v;
}

// A real truncated toward zero, kept inside the 64-bit range (not a number gives 0).
int64_t truncToInt64(double d) {
    if (std::isnan(d)) {
        return 0;
    }
    d = std::trunc(d);
    if (d >= 9223372036854775807.0) {
        return std::numeric_limits<int64_t>::max();
    }
    if (d <= -9223372036854775808.0) {
        return std::numeric_limits<int64_t>::min();
    }
    return int64_t(d);
}

void writeScalar(byte* p, int type, const OldScalar& v) {
    int64_t asInt = v.isReal ? truncToInt64(v.d) : v.i;
    switch (type) {
        case dbTpBool:
            *p = v.isReal ? (v.d != 0.0) : (v.i != 0);
            break;
        case dbTpInt1:
        case dbTpInt2:
        case dbTpInt4:
        case dbTpInt8: {
            // The low bytes of the integer (little-endian), reals truncated first.
            size_t n = type == dbTpInt1 ? 1 : type == dbTpInt2 ? 2 : type == dbTpInt4 ? 4 : 8;
            uint64_t u = uint64_t(asInt);
            memcpy(p, &u, n);
            break;
        }
        case dbTpReal4: {
            float f = v.isReal ? float(v.d) : float(v.i);
            memcpy(p, &f, 4);
            break;
        }
        case dbTpReal8: {
            double d = v.isReal ? v.d : double(v.i);
            memcpy(p, &d, 8);
            break;
        }
        default:
            throw dbException(0);
    }
}

inline size_t scalarSize(int type) {
    static const size_t sizes[] = {1, 1, 2, 4, 8, 4, 8};
    return sizes[type];
}

}  // namespace

int dbDefaultCompare(const void* a, const void* b, size_t size) {
    return memcmp(a, b, size);
}

// ---- field descriptors -----------------------------------------------------------------------

void dbFieldDescriptor::init(const char* fieldName) {
    next = prev = this;
    nextInTable = nextHashed = nextInTree = nextInverse = nullptr;
    fieldIndex = 0;
    name = fieldName;
    dbSymbolTable::add(name, 0);
    fullName = nullptr;
    referencedTable = ownerTable = nullptr;
    inverseField = nullptr;
    inverseName = nullptr;
    storedType = objectType = dbTpStructure;
    indexFlags = 0;
    storedOffset = objectOffset = 0;
    members = nullptr;
    hashTable = tTree = 0;
    storedSize = objectSize = align = 0;
    compare = dbDefaultCompare;
    layoutFlags = 0;
    oldType = dbTpUnknown;
    oldOffset = oldSize = 0;
    methodHook = nullptr;
    arrayMaker = nullptr;
    arrayAccess = nullptr;
}

dbFieldDescriptor::dbFieldDescriptor(const char* fieldName, size_t offs, size_t size, int flags,
                                     const char* inverse, dbFieldDescriptor* memberList) {
    init(fieldName);
    objectOffset = int(offs);
    storedSize = objectSize = align = size;
    indexFlags = flags;
    members = memberList;
    if (inverse != nullptr) {
        inverseName = inverse;
        dbSymbolTable::add(inverseName, 0);
    }
}

dbFieldDescriptor::dbFieldDescriptor(const char* fieldName) {
    init(fieldName);
    layoutFlags = dbOneToOneMapping;
}

dbFieldDescriptor::~dbFieldDescriptor() {
    delete[] fullName;
    delete methodHook;
    if (!isMethod(this)) {
        deleteSiblings(members);
    }
}

dbFieldDescriptor* dbFieldDescriptor::concat(dbFieldDescriptor* tail) {
    if (tail == nullptr) {
        return this;
    }
    dbFieldDescriptor* last = prev;
    dbFieldDescriptor* tailLast = tail->prev;
    last->next = tail;
    tail->prev = last;
    tailLast->next = this;
    prev = tailLast;
    return this;
}

dbFieldDescriptor* dbFieldDescriptor::setMethod(dbAnyMethodTrampoline* hook) {
    if (storedType >= 9) {
        delete hook;
        throw dbException(0);
    }
    storedType += dbTpMethodBase;
    objectType += dbTpMethodBase;
    methodHook = hook;
    return this;
}

dbFieldDescriptor* dbFieldDescriptor::find(const char* fieldName) {
    dbFieldDescriptor* fd = this;
    do {
        if (fd->name == fieldName || strcmp(fd->name, fieldName) == 0) {
            return fd;
        }
        fd = fd->next;
    } while (fd != this);
    return nullptr;
}

void dbSetFieldType(dbFieldDescriptor* fd, int type, size_t size) {
    fd->storedType = fd->objectType = type;
    fd->storedSize = fd->objectSize = fd->align = size;
}

void dbSetStringType(dbFieldDescriptor* fd) {
    fd->storedType = fd->objectType = dbTpString;
    fd->storedSize = sizeof(dbVarying);
    fd->objectSize = sizeof(char*);
    fd->align = 4;
    auto* chars = new dbFieldDescriptor("[]");
    dbSetFieldType(chars, dbTpInt1, 1);
    fd->members = chars;
}

void dbSetReferenceType(dbFieldDescriptor* fd, dbTableDescriptor* table) {
    fd->storedType = fd->objectType = dbTpReference;
    fd->storedSize = fd->objectSize = fd->align = sizeof(oid_t);
    fd->members = nullptr;
    fd->referencedTable = table;
}

void dbSetStructureType(dbFieldDescriptor* fd, dbFieldDescriptor* memberList) {
    fd->storedType = fd->objectType = dbTpStructure;
    fd->members = memberList;
}

void dbSetArrayType(dbFieldDescriptor* fd, dbFieldDescriptor* element, dbArrayMaker maker,
                    dbArrayAccess access) {
    fd->storedType = fd->objectType = dbTpArray;
    fd->storedSize = sizeof(dbVarying);
    fd->align = 4;
    fd->members = element;
    fd->arrayMaker = maker;
    fd->arrayAccess = access;
}

dbFieldDescriptor* dbFieldList(std::initializer_list<dbFieldDescriptor*> fields) {
    dbFieldDescriptor* head = nullptr;
    for (dbFieldDescriptor* fd : fields) {
        head = head == nullptr ? fd : head->concat(fd);
    }
    return head;
}

// ---- row operations --------------------------------------------------------------------------

size_t dbFieldDescriptor::calculateRecordSize(const byte* object, size_t offs) {
    dbFieldDescriptor* fd = this;
    do {
        if (isMethod(fd)) {
            break;  // method members end the data members
        }
        switch (fd->storedType) {
            case dbTpString: {
                const char* s = *reinterpret_cast<const char* const*>(object + fd->objectOffset);
                offs += (s ? strlen(s) : 0) + 1;
                break;
            }
            case dbTpArray: {
                size_t n = 0;
                const byte* elems = (const byte*)fd->arrayAccess(object + fd->objectOffset, &n);
                dbFieldDescriptor* elem = fd->members;
                offs = alignUp(offs, elem->align);
                size_t blockStart = offs;
                offs += n * elem->storedSize;
                if (elem->layoutFlags & dbHasVariablePart) {
                    for (size_t i = 0; i < n; i++) {
                        size_t start = blockStart + i * elem->storedSize;
                        offs = start + elem->calculateRecordSize(elems + i * elem->objectSize,
                                                                 offs - start);
                    }
                }
                break;
            }
            case dbTpStructure:
                offs = fd->members->calculateRecordSize(object + fd->objectOffset, offs);
                break;
            default:
                break;
        }
        fd = fd->next;
    } while (fd != this);
    return offs;
}

size_t dbFieldDescriptor::packRecord(byte* dst, const byte* src, size_t offs) {
    dbFieldDescriptor* fd = this;
    do {
        if (isMethod(fd)) {
            break;
        }
        switch (fd->storedType) {
            case dbTpString: {
                const char* s = *reinterpret_cast<const char* const*>(src + fd->objectOffset);
                size_t len = (s ? strlen(s) : 0) + 1;
                dbVarying* v = varyingAt(dst + fd->storedOffset);
                v->size = uint32_t(len);
                v->offs = uint32_t(offs);
                if (s != nullptr) {
                    memmove(dst + offs, s, len);
                } else {
                    dst[offs] = 0;
                }
                offs += len;
                break;
            }
            case dbTpArray: {
                size_t n = 0;
                const byte* elems = (const byte*)fd->arrayAccess(src + fd->objectOffset, &n);
                dbFieldDescriptor* elem = fd->members;
                offs = alignUp(offs, elem->align);
                dbVarying* v = varyingAt(dst + fd->storedOffset);
                v->size = uint32_t(n);
                v->offs = uint32_t(offs);
                size_t blockStart = offs;
                offs += n * elem->storedSize;
                if (n != 0) {
                    if (elementIsPlain(elem)) {
                        memmove(dst + blockStart, elems, n * elem->storedSize);
                    } else {
                        for (size_t i = 0; i < n; i++) {
                            size_t start = blockStart + i * elem->storedSize;
                            offs =
                                start + elem->packRecord(dst + start, elems + i * elem->objectSize,
                                                         offs - start);
                        }
                    }
                }
                break;
            }
            case dbTpStructure:
                offs = fd->members->packRecord(dst, src + fd->objectOffset, offs);
                break;
            default:
                memmove(dst + fd->storedOffset, src + fd->objectOffset, fd->storedSize);
                break;
        }
        fd = fd->next;
    } while (fd != this);
    return offs;
}

void dbFieldDescriptor::unpackRecord(byte* dst, const byte* src) {
    dbFieldDescriptor* fd = this;
    do {
        if (isMethod(fd)) {
            break;
        }
        switch (fd->storedType) {
            case dbTpString: {
                const dbVarying* v = varyingAt(src + fd->storedOffset);
                *reinterpret_cast<const char**>(dst + fd->objectOffset) =
                    reinterpret_cast<const char*>(src + v->offs);
                break;
            }
            case dbTpArray: {
                const dbVarying* v = varyingAt(src + fd->storedOffset);
                dbFieldDescriptor* elem = fd->members;
                byte* stored = const_cast<byte*>(src) + v->offs;
                if (elementIsPlain(elem)) {
                    fd->arrayMaker(dst + fd->objectOffset, v->size, stored);
                } else {
                    byte* elems = (byte*)fd->arrayMaker(dst + fd->objectOffset, v->size, nullptr);
                    for (size_t i = 0; i < v->size; i++) {
                        elem->unpackRecord(elems + i * elem->objectSize,
                                           stored + i * elem->storedSize);
                    }
                }
                break;
            }
            case dbTpStructure:
                fd->members->unpackRecord(dst + fd->objectOffset, src);
                break;
            default:
                memcpy(dst + fd->objectOffset, src + fd->storedOffset, fd->storedSize);
                break;
        }
        fd = fd->next;
    } while (fd != this);
}

void dbFieldDescriptor::markChangedIndexedFields(const byte* record, const byte* object) {
    dbFieldDescriptor* fd = this;
    do {
        if (isMethod(fd)) {
            break;
        }
        if (fd->storedType == dbTpStructure) {
            fd->members->markChangedIndexedFields(record, object + fd->objectOffset);
        } else if ((fd->indexFlags & (HASHED | INDEXED)) && fd->storedType != dbTpArray) {
            const byte* stored = record + fd->storedOffset;
            const byte* value = object + fd->objectOffset;
            bool changed;
            switch (fd->storedType) {
                case dbTpString: {
                    const char* s = *reinterpret_cast<const char* const*>(value);
                    const char* old =
                        reinterpret_cast<const char*>(record + varyingAt(stored)->offs);
                    changed = strcmp(s ? s : "", old) != 0;
                    break;
                }
                case dbTpReal4: {
                    float a, b;
                    memcpy(&a, stored, 4);
                    memcpy(&b, value, 4);
                    changed = a != b;
                    break;
                }
                case dbTpReal8: {
                    double a, b;
                    memcpy(&a, stored, 8);
                    memcpy(&b, value, 8);
                    changed = a != b;
                    break;
                }
                case dbTpRawBinary:
                    changed = fd->compare(stored, value, fd->storedSize) != 0;
                    break;
                default:
                    changed = memcmp(stored, value, fd->storedSize) != 0;
                    break;
            }
            if (changed) {
                fd->layoutFlags |= dbUpdated;
            }
        }
        fd = fd->next;
    } while (fd != this);
}

size_t dbFieldDescriptor::calculateNewRecordSize(const byte* old, size_t offs) {
    dbFieldDescriptor* fd = this;
    do {
        if (isMethod(fd)) {
            break;
        }
        switch (fd->storedType) {
            case dbTpString:
                offs += fd->oldType == dbTpString ? varyingAt(old + fd->oldOffset)->size : 1;
                break;
            case dbTpArray:
                if (fd->oldType == dbTpArray) {
                    const dbVarying* v = varyingAt(old + fd->oldOffset);
                    dbFieldDescriptor* elem = fd->members;
                    offs = alignUp(offs, elem->align);
                    size_t blockStart = offs;
                    offs += v->size * elem->storedSize;
                    if (elem->layoutFlags & dbHasVariablePart) {
                        for (size_t i = 0; i < v->size; i++) {
                            size_t start = blockStart + i * elem->storedSize;
                            offs = start +
                                   elem->calculateNewRecordSize(
                                       old + v->offs + i * size_t(elem->oldSize), offs - start);
                        }
                    }
                }
                break;
            case dbTpStructure:
                offs = fd->members->calculateNewRecordSize(old, offs);
                break;
            default:
                break;
        }
        fd = fd->next;
    } while (fd != this);
    return offs;
}

size_t dbFieldDescriptor::convertRecord(byte* dst, const byte* src, size_t offs) {
    dbFieldDescriptor* fd = this;
    do {
        if (isMethod(fd)) {
            break;
        }
        byte* to = dst + fd->storedOffset;
        const byte* from = src + fd->oldOffset;
        bool oldScalar = fd->oldType >= dbTpBool && fd->oldType <= dbTpReal8;
        switch (fd->storedType) {
            case dbTpBool:
            case dbTpInt1:
            case dbTpInt2:
            case dbTpInt4:
            case dbTpInt8:
            case dbTpReal4:
            case dbTpReal8:
                if (oldScalar) {
                    writeScalar(to, fd->storedType, readScalar(from, fd->oldType));
                } else {
                    memset(to, 0, scalarSize(fd->storedType));
                }
                break;
            case dbTpString: {
                dbVarying* v = varyingAt(to);
                if (fd->oldType == dbTpString) {
                    const dbVarying* o = varyingAt(from);
                    v->size = o->size;
                    v->offs = uint32_t(offs);
                    memmove(dst + offs, src + o->offs, o->size);
                    offs += o->size;
                } else {
                    v->size = 1;
                    v->offs = uint32_t(offs);
                    dst[offs++] = 0;
                }
                break;
            }
            case dbTpReference:
                if (fd->oldType == dbTpReference) {
                    memmove(to, from, sizeof(oid_t));
                } else {
                    memset(to, 0, sizeof(oid_t));
                }
                break;
            case dbTpArray: {
                dbVarying* v = varyingAt(to);
                if (fd->oldType == dbTpArray) {
                    const dbVarying* o = varyingAt(from);
                    dbFieldDescriptor* elem = fd->members;
                    size_t n = o->size;
                    offs = alignUp(offs, elem->align);
                    size_t blockStart = offs;
                    size_t oldElems = o->offs;
                    v->size = uint32_t(n);
                    v->offs = uint32_t(blockStart);
                    offs += n * elem->storedSize;
                    for (size_t i = 0; i < n; i++) {
                        size_t start = blockStart + i * elem->storedSize;
                        offs = start + elem->convertRecord(
                                           dst + start, src + oldElems + i * size_t(elem->oldSize),
                                           offs - start);
                    }
                } else {
                    v->size = 0;
                    v->offs = 0;
                }
                break;
            }
            case dbTpStructure:
                offs = fd->members->convertRecord(dst, src, offs);
                break;
            case dbTpRawBinary:
                if (fd->oldType == dbTpRawBinary) {
                    size_t n = std::min(size_t(fd->oldSize), fd->storedSize);
                    memmove(to, from, n);
                    memset(to + n, 0, fd->storedSize - n);
                } else {
                    memset(to, 0, fd->storedSize);
                }
                break;
            default:
                throw dbException(0);
        }
        fd = fd->next;
    } while (fd != this);
    return offs;
}

// ---- index keys ------------------------------------------------------------------------------

int dbFieldDescriptor::compareKeys(const byte* rowA, const byte* rowB) const {
    const byte* a = rowA + storedOffset;
    const byte* b = rowB + storedOffset;
    switch (storedType) {
        case dbTpBool:
            return int(*a) - int(*b);
        case dbTpInt1:
            return int(int8_t(*a)) - int(int8_t(*b));
        case dbTpInt2: {
            int16_t x, y;
            memcpy(&x, a, 2);
            memcpy(&y, b, 2);
            return int(x) - int(y);
        }
        case dbTpInt4: {
            int32_t x, y;
            memcpy(&x, a, 4);
            memcpy(&y, b, 4);
            return x < y ? -1 : x == y ? 0 : 1;
        }
        case dbTpInt8: {
            int64_t x, y;
            memcpy(&x, a, 8);
            memcpy(&y, b, 8);
            return x < y ? -1 : x == y ? 0 : 1;
        }
        case dbTpReal4: {
            float x, y;
            memcpy(&x, a, 4);
            memcpy(&y, b, 4);
            return x < y ? -1 : x > y ? 1 : x == y ? 0 : -1;
        }
        case dbTpReal8: {
            double x, y;
            memcpy(&x, a, 8);
            memcpy(&y, b, 8);
            return x < y ? -1 : x > y ? 1 : x == y ? 0 : -1;
        }
        case dbTpReference: {
            uint32_t x, y;
            memcpy(&x, a, 4);
            memcpy(&y, b, 4);
            return x < y ? -1 : x == y ? 0 : 1;
        }
        case dbTpString:
            return strcmp(reinterpret_cast<const char*>(rowA + varyingAt(a)->offs),
                          reinterpret_cast<const char*>(rowB + varyingAt(b)->offs));
        case dbTpRawBinary:
            return compare(a, b, storedSize);
        default:
            throw dbException(0);
    }
}

uint32_t dbFieldDescriptor::hashKey(const byte* row) const {
    const byte* p = row + storedOffset;
    size_t n = storedSize;
    if (storedType == dbTpString) {
        const dbVarying* v = varyingAt(p);
        p = row + v->offs;
        n = v->size == 0 ? 0 : v->size - 1;
    }
    uint32_t h = 0;
    for (size_t i = 0; i < n; i++) {
        h = h * 31 + p[i];
    }
    return h;
}

// ---- table descriptors -----------------------------------------------------------------------

dbTableDescriptor::dbTableDescriptor(const char* tableName, dbDatabase* db, size_t classSize,
                                     dbDescribeFunc describeFunc, dbTableDescriptor* original) {
    cloneOf = original;
    registered = 1;
    nextRegistered = nullptr;
    nextInDatabase = nullptr;
    if (original == nullptr) {
        nextRegistered = registeredChain;
        registeredChain = this;
    }
    name = tableName;
    dbSymbolTable::add(name, 0);
    describe = describeFunc;
    declaredSize = classSize;
    fieldList = describe();
    hashedFields = treeFields = inverseFields = allFields = nullptr;
    allFieldsTail = &allFields;
    tableRecordId = 0;
    fieldCount = 0;
    columnCount = 0;
    database = db;
    boundAtConstruction = db != nullptr;
    fixedSize = sizeof(dbRecord);
    objectSize = 0;
    objectAlign = 1;
    int attr = dbOneToOneMapping;
    size_t maxAlign;
    try {
        maxAlign = layoutFields(fieldList, "", sizeof(dbRecord), HASHED | INDEXED, attr);
    } catch (...) {
        unlinkRegistered();
        deleteSiblings(fieldList);
        throw;
    }
    objectSize = alignUp(objectSize, std::max(maxAlign, objectAlign));
    if (objectSize < classSize) {
        fprintf(stderr, "Warning: may be not all fields of the class '%s' were described\n", name);
    }
}

dbTableDescriptor::~dbTableDescriptor() {
    unlinkRegistered();
    deleteSiblings(fieldList);
}

void dbTableDescriptor::unlinkRegistered() {
    if (cloneOf != nullptr) {
        return;
    }
    for (dbTableDescriptor** tpp = &registeredChain; *tpp != nullptr;
         tpp = &(*tpp)->nextRegistered) {
        if (*tpp == this) {
            *tpp = nextRegistered;
            break;
        }
    }
}

dbTableDescriptor* dbTableDescriptor::clone(dbDatabase* db) {
    return new dbTableDescriptor(name, db, declaredSize, describe, this);
}

dbFieldDescriptor* dbTableDescriptor::findField(const char* fieldFullName) const {
    for (dbFieldDescriptor* fd = allFields; fd != nullptr; fd = fd->nextInTable) {
        if (strcmp(fd->fullName, fieldFullName) == 0) {
            return fd;
        }
    }
    return nullptr;
}

size_t dbTableDescriptor::layoutFields(dbFieldDescriptor* first, const char* prefix, int base,
                                       int indexMask, int& parentFlags) {
    size_t maxAlign = 1;
    bool inMethods = false;
    dbFieldDescriptor* fd = first;
    do {
        if (isMethod(fd)) {
            inMethods = true;
            fd = fd->next;
            continue;
        }
        if (inMethods) {
            throw dbException(0);  // a data member after the first method member
        }
        // 1. names, owner, flags
        size_t prefixLen = strlen(prefix);
        size_t nameLen = strlen(fd->name);
        delete[] fd->fullName;
        fd->fullName = new char[prefixLen + nameLen + 1];
        memcpy(fd->fullName, prefix, prefixLen);
        memcpy(fd->fullName + prefixLen, fd->name, nameLen + 1);
        if (prefixLen == 0) {
            columnCount += 1;
        }
        fd->ownerTable = this;
        fd->indexFlags = (fd->indexFlags & ~(HASHED | INDEXED)) |
                         (fd->indexFlags & indexMask & (HASHED | INDEXED));
        fd->layoutFlags = (parentFlags & dbComponentOfArray) | dbOneToOneMapping;
        // 2. inverse references
        if (fd->inverseName != nullptr) {
            bool isRef = fd->storedType == dbTpReference ||
                         (fd->storedType == dbTpArray && fd->members != nullptr &&
                          fd->members->storedType == dbTpReference);
            if (!isRef || (fd->layoutFlags & dbComponentOfArray)) {
                throw dbException(0);
            }
            fd->nextInverse = inverseFields;
            inverseFields = fd;
        }
        // 3. the table's list of all fields
        fd->nextInTable = nullptr;
        *allFieldsTail = fd;
        allFieldsTail = &fd->nextInTable;
        fd->fieldIndex = int(fieldCount++);
        // 4. by type
        switch (fd->storedType) {
            case dbTpString:
                parentFlags &= ~dbOneToOneMapping;
                parentFlags |= dbHasVariablePart;
                fd->layoutFlags &= ~dbOneToOneMapping;
                fd->layoutFlags |= dbHasVariablePart;
                objectSize = alignUp(objectSize, fd->objectSize) + fd->objectSize;
                break;
            case dbTpArray: {
                size_t savedFixed = fixedSize;
                size_t savedObject = objectSize;
                fixedSize = 0;
                parentFlags &= ~dbOneToOneMapping;
                parentFlags |= dbHasVariablePart;
                fd->layoutFlags |= dbComponentOfArray;
                layoutFields(fd->members, fd->fullName, 0, 0, fd->layoutFlags);
                if (fd->members->storedSize != fd->members->objectSize) {
                    fd->layoutFlags &= ~dbOneToOneMapping;
                }
                fixedSize = savedFixed;
                // The in-memory array object (dbArray) is pointer-aligned on this platform.
                objectSize = alignUp(savedObject, alignof(void*)) + fd->objectSize;
                break;
            }
            case dbTpStructure: {
                size_t f0 = fixedSize;
                size_t o0 = objectSize;
                objectSize = 0;
                std::string memberPrefix = std::string(fd->fullName) + ".";
                size_t a = layoutFields(fd->members, memberPrefix.c_str(), base + fd->objectOffset,
                                        fd->indexFlags, fd->layoutFlags);
                fd->align = a;
                fd->storedOffset = fd->members->storedOffset;
                parentFlags |= fd->layoutFlags & dbHasVariablePart;
                if (!(fd->layoutFlags & dbOneToOneMapping)) {
                    parentFlags &= ~dbOneToOneMapping;
                }
                fd->storedSize = alignUp(fixedSize - f0, a);
                if ((fd->layoutFlags & dbHasVariablePart) && a < 4) {
                    a = 4;
                }
                fd->objectSize = objectSize;
                objectSize = alignUp(objectSize, a) + alignUp(o0, a);
                // 7. method members read the structure where it is stored.
                dbFieldDescriptor* m = fd->members;
                do {
                    if (isMethod(m)) {
                        m->storedOffset = fd->storedOffset;
                        m->members = fd->members;  // not owned by the method
                        m->ownerTable = this;
                        if ((fd->layoutFlags & dbOneToOneMapping) && m->methodHook != nullptr) {
                            dbAnyMethodTrampoline* direct = m->methodHook->optimize();
                            delete m->methodHook;
                            m->methodHook = direct;
                        }
                    }
                    m = m->next;
                } while (m != fd->members);
                break;
            }
            default:
                objectSize = alignUp(objectSize, fd->objectSize) + fd->objectSize;
                break;
        }
        // 5. largest alignment (stored), and the largest in-memory alignment for objectSize:
        // pointers of strings and arrays are 8-aligned in memory on this platform.
        if (fd->align > maxAlign) {
            maxAlign = fd->align;
        }
        size_t memoryAlign = fd->storedType == dbTpString || fd->storedType == dbTpArray
                                 ? alignof(void*)
                             : fd->storedType == dbTpStructure ? 1
                                                               : fd->objectSize;
        if (memoryAlign > objectAlign) {
            objectAlign = memoryAlign;
        }
        // 6. placement and index lists
        if (fd->storedType != dbTpStructure) {
            fixedSize = alignUp(fixedSize, fd->align);
            fd->storedOffset = int(fixedSize);
            fixedSize += fd->storedSize;
            if (base + fd->objectOffset != fd->storedOffset) {
                parentFlags &= ~dbOneToOneMapping;
            }
            if (fd->indexFlags & (HASHED | INDEXED)) {
                if (fd->storedType == dbTpArray || (fd->layoutFlags & dbComponentOfArray)) {
                    throw dbException(0);
                }
                if (fd->indexFlags & HASHED) {
                    fd->nextHashed = hashedFields;
                    hashedFields = fd;
                }
                if (fd->indexFlags & INDEXED) {
                    fd->nextInTree = treeFields;
                    treeFields = fd;
                }
            }
        }
        fd = fd->next;
    } while (fd != first);
    return maxAlign;
}
