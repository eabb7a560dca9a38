// The stored schema: writing "Metatable" rows, comparing them with the registered descriptors,
// preparing the conversion of rows of a changed table, and resolving inverse references.
// See schema.h for the row layout invariant.
#include "schema.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "database.h"

namespace {

struct FieldRecord {
    const char* name;
    const char* tableName;
    const char* inverse;
    int type;
    int offset;
    int size;
    oid_t hashTable;
    oid_t tTree;
};

size_t rowSize(const char* tableName, const std::vector<FieldRecord>& fields) {
    size_t size = sizeof(dbTable) + fields.size() * sizeof(dbField) + strlen(tableName) + 1;
    for (const FieldRecord& f : fields) {
        size += strlen(f.name) + strlen(f.tableName) + strlen(f.inverse) + 3;
    }
    return size;
}

// Writes the table data, the field records and the strings (not the 12-byte header).
void writeRow(dbTable* row, const char* tableName, size_t fixedSize, size_t nColumns,
              const std::vector<FieldRecord>& fields) {
    byte* rec = reinterpret_cast<byte*>(row);
    size_t pos = sizeof(dbTable) + fields.size() * sizeof(dbField);
    size_t len = strlen(tableName) + 1;
    row->name.size = uint32_t(len);
    row->name.offs = uint32_t(pos);
    memcpy(rec + pos, tableName, len);
    pos += len;
    row->fields.size = uint32_t(fields.size());
    row->fields.offs = sizeof(dbTable);
    row->fixedSize = uint32_t(fixedSize);
    row->nRows = 0;
    row->nColumns = uint32_t(nColumns);
    row->firstRow = 0;
    row->lastRow = 0;
    for (size_t i = 0; i < fields.size(); i++) {
        const FieldRecord& fr = fields[i];
        size_t fieldStart = sizeof(dbTable) + i * sizeof(dbField);
        auto* f = reinterpret_cast<dbField*>(rec + fieldStart);
        auto put = [&](dbVarying& v, const char* s) {
            size_t n = strlen(s) + 1;
            v.size = uint32_t(n);
            v.offs = uint32_t(pos - fieldStart);
            memcpy(rec + pos, s, n);
            pos += n;
        };
        put(f->name, fr.name);
        put(f->tableName, fr.tableName);
        put(f->inverse, fr.inverse);
        f->type = fr.type;
        f->offset = fr.offset;
        f->size = fr.size;
        f->hashTable = fr.hashTable;
        f->tTree = fr.tTree;
    }
}

const std::vector<FieldRecord>& metaTableFields() {
    static const std::vector<FieldRecord> fields = {
        {"name", "", "", dbTpString, 12, 8, 0, 0},
        {"fields", "", "", dbTpArray, 20, 8, 0, 0},
        {"fields[]", "", "", dbTpStructure, 0, 44, 0, 0},
        {"fields[].name", "", "", dbTpString, 0, 8, 0, 0},
        {"fields[].tableName", "", "", dbTpString, 8, 8, 0, 0},
        {"fields[].inverse", "", "", dbTpString, 16, 8, 0, 0},
        {"fields[].type", "", "", dbTpInt4, 24, 4, 0, 0},
        {"fields[].offset", "", "", dbTpInt4, 28, 4, 0, 0},
        {"fields[].size", "", "", dbTpInt4, 32, 4, 0, 0},
        {"fields[].hashTable", "", "", dbTpReference, 36, 4, 0, 0},
        {"fields[].tTree", "", "", dbTpReference, 40, 4, 0, 0},
        {"fixedSize", "", "", dbTpInt4, 28, 4, 0, 0},
        {"nRows", "", "", dbTpInt4, 32, 4, 0, 0},
        {"nColumns", "", "", dbTpInt4, 36, 4, 0, 0},
        {"firstRow", "", "", dbTpReference, 40, 4, 0, 0},
        {"lastRow", "", "", dbTpReference, 44, 4, 0, 0},
    };
    return fields;
}

const char* referencedName(const dbFieldDescriptor* fd) {
    return fd->referencedTable != nullptr ? fd->referencedTable->name : "";
}

}  // namespace

size_t dbMetaTableRowSize() {
    return rowSize("Metatable", metaTableFields());
}

void dbWriteMetaTableRow(dbTable* row) {
    row->size = uint32_t(dbMetaTableRowSize());
    row->next = 0;
    row->prev = 0;
    // "nColumns" is 5 in every file written so far; later versions read it so.
    writeRow(row, "Metatable", sizeof(dbTable), 5, metaTableFields());
}

// ---- reading stored rows ---------------------------------------------------------------------

size_t dbStoredFieldCount(const dbTable* row) {
    size_t n = row->fields.size;
    if (row->fields.offs < sizeof(dbTable) || row->size < row->fields.offs ||
        n > (row->size - row->fields.offs) / sizeof(dbField)) {
        throw dbException(0);
    }
    return n;
}

const dbField* dbStoredField(const dbTable* row, size_t i) {
    dbAssert(i < dbStoredFieldCount(row));
    return reinterpret_cast<const dbField*>(reinterpret_cast<const byte*>(row) + row->fields.offs +
                                            i * sizeof(dbField));
}

namespace {
const char* checkedString(const dbTable* row, size_t start, const dbVarying& v) {
    size_t at = start + v.offs;
    if (v.size == 0 || at < start || at > row->size || v.size > row->size - at) {
        throw dbException(0);
    }
    const char* s = reinterpret_cast<const char*>(row) + at;
    if (s[v.size - 1] != '\0') {
        throw dbException(0);
    }
    return s;
}
}  // namespace

const char* dbStoredString(const dbTable* row, const dbField* field, const dbVarying& v) {
    size_t start = reinterpret_cast<const byte*>(field) - reinterpret_cast<const byte*>(row);
    return checkedString(row, start, v);
}

const char* dbStoredTableName(const dbTable* row) {
    return checkedString(row, 0, row->name);
}

// ---- the descriptor side ---------------------------------------------------------------------

size_t dbTableDescriptor::tableRecordSize() const {
    size_t size = strlen(name) + 1;
    for (dbFieldDescriptor* fd = allFields; fd != nullptr; fd = fd->nextInTable) {
        size += strlen(fd->fullName) + 3 + (fd->inverseName ? strlen(fd->inverseName) : 0) +
                strlen(referencedName(fd));
    }
    return size;
}

void dbTableDescriptor::writeTableRecord(dbTable* row) const {
    std::vector<FieldRecord> records;
    records.reserve(fieldCount);
    for (dbFieldDescriptor* fd = allFields; fd != nullptr; fd = fd->nextInTable) {
        records.push_back({fd->fullName, referencedName(fd), fd->inverseName ? fd->inverseName : "",
                           fd->storedType, fd->storedOffset, int(fd->storedSize), fd->hashTable,
                           fd->tTree});
    }
    writeRow(row, name, fixedSize, columnCount, records);
}

bool dbTableDescriptor::sameLayout(const dbTable* row) {
    if (row->nColumns != columnCount || dbStoredFieldCount(row) != fieldCount ||
        row->fixedSize != fixedSize) {
        return false;
    }
    size_t i = 0;
    for (dbFieldDescriptor* fd = allFields; fd != nullptr; fd = fd->nextInTable, i++) {
        const dbField* f = dbStoredField(row, i);
        const char* inverse = fd->inverseName ? fd->inverseName : "";
        if (strcmp(fd->fullName, dbStoredString(row, f, f->name)) != 0 ||
            strcmp(referencedName(fd), dbStoredString(row, f, f->tableName)) != 0 ||
            strcmp(inverse, dbStoredString(row, f, f->inverse)) != 0 ||
            fd->storedOffset != f->offset || fd->storedType != f->type) {
            return false;
        }
    }
    i = 0;
    for (dbFieldDescriptor* fd = allFields; fd != nullptr; fd = fd->nextInTable, i++) {
        const dbField* f = dbStoredField(row, i);
        fd->hashTable = f->hashTable;
        fd->tTree = f->tTree;
    }
    return true;
}

bool dbTableDescriptor::reconcileFields(dbTable* row, bool dropAllowed) {
    const size_t stored = dbStoredFieldCount(row);
    bool result = stored == fieldCount;
    std::vector<bool> matched(stored, false);
    std::vector<dbFieldDescriptor*> unmatchedNew;
    for (dbFieldDescriptor* fd = allFields; fd != nullptr; fd = fd->nextInTable) {
        fd->oldType = dbTpUnknown;
        fd->oldOffset = 0;
        fd->oldSize = 0;
        size_t i = 0;
        for (; i < stored; i++) {
            const dbField* f = dbStoredField(row, i);
            if (!matched[i] && strcmp(fd->fullName, dbStoredString(row, f, f->name)) == 0) {
                break;
            }
        }
        if (i == stored) {
            unmatchedNew.push_back(fd);
            continue;
        }
        matched[i] = true;
        auto* f = const_cast<dbField*>(dbStoredField(row, i));
        const int oldType = f->type;
        const int newType = fd->storedType;
        bool allowed = (newType == dbTpReference && oldType == dbTpReference &&
                        strcmp(referencedName(fd), dbStoredString(row, f, f->tableName)) == 0) ||
                       (newType <= dbTpReal8 && oldType >= 0 && oldType <= dbTpReal8) ||
                       (newType == dbTpString && oldType == dbTpString) ||
                       (newType > dbTpReference && oldType == newType);
        if (!allowed) {
            throw dbException(0);
        }
        fd->oldType = oldType;
        fd->oldOffset = f->offset;
        fd->oldSize = f->size;
        if (oldType != newType || f->offset != fd->storedOffset) {
            result = false;
        }
        fd->hashTable = 0;
        fd->tTree = 0;
        if (oldType == newType) {
            if ((fd->indexFlags & HASHED) && f->hashTable != 0) {
                fd->hashTable = f->hashTable;
                f->hashTable = 0;
            }
            if ((fd->indexFlags & INDEXED) && f->tTree != 0) {
                fd->tTree = f->tTree;
                f->tTree = 0;
            }
        }
    }
    for (size_t i = 0; i < stored; i++) {
        if (!matched[i] && !dropAllowed) {
            throw dbException(0);
        }
    }
    // A new field that no stored field supplies keeps the rows unconverted only when it takes
    // the place of a dropped stored field of the same type, offset and size (a rename): its
    // bytes in the rows are then valid as they are. Otherwise the rows must be converted, or
    // the new field would read the bytes of something else.
    for (dbFieldDescriptor* fd : unmatchedNew) {
        bool renamed = false;
        for (size_t i = 0; i < stored && !renamed; i++) {
            const dbField* f = dbStoredField(row, i);
            renamed = !matched[i] && f->type == fd->storedType && f->offset == fd->storedOffset &&
                      size_t(f->size) == fd->storedSize;
        }
        if (!renamed) {
            result = false;
        }
    }
    return result;
}

void dbTableDescriptor::resolveInverseLinks() {
    for (dbFieldDescriptor* fd = inverseFields; fd != nullptr; fd = fd->nextInverse) {
        fd->inverseField = nullptr;
        dbTableDescriptor* refTable = fd->referencedTable;
        if (refTable == nullptr && fd->members != nullptr) {
            refTable = fd->members->referencedTable;
        }
        if (refTable == nullptr) {
            continue;
        }
        dbFieldDescriptor* found = nullptr;
        if (refTable->fieldList != nullptr) {
            dbFieldDescriptor* ff = refTable->fieldList;
            do {
                if (ff->name == fd->inverseName) {
                    found = ff;
                    break;
                }
                ff = ff->next;
            } while (ff != refTable->fieldList);
        }
        std::string msg;
        char buf[1024];
        if (found == nullptr) {
            snprintf(buf, sizeof buf,
                     "Failed to locate inverse reference field %s.%s for field %s.%s",
                     refTable->name, fd->inverseName, name, fd->fullName);
            msg = buf;
        } else if (found->inverseName != fd->name) {
            snprintf(buf, sizeof buf,
                     "Inverse references for field %s.%s is %s.%s, but its inverse reference is %s",
                     name, fd->fullName, refTable->name, fd->inverseName,
                     found->inverseName ? found->inverseName : "");
            msg = buf;
        } else {
            fd->inverseField = found;
            continue;
        }
        if (database != nullptr && database != dbAnyDatabase()) {
            database->handleError(dbDatabase::InconsistentInverseReference, msg.c_str());
        } else {
            fprintf(stderr, "%s\n", msg.c_str());
        }
    }
}
