// Cursors and the row operations of dbDatabase: insert, update and remove of rows with the
// upkeep of field indexes and inverse references (including the owner cascade).
//
// Invariants: every row operation runs under the exclusive lock of the calling thread; a
// field index holds exactly the rows of its table keyed by their stored values (entries are
// removed before a row is rewritten and inserted after); an inverse reference field of row B
// names row A exactly when A's reference field names B; a row being updated or removed is
// never itself touched by the inverse-reference upkeep it triggers (updatedRowId,
// cascadeVisited).
#include "cursor.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "hash_table.h"
#include "ttree.h"

namespace {

inline size_t alignUp(size_t x, size_t a) {
    return a <= 1 ? x : (x + a - 1) / a * a;
}

inline bool isMethodField(const dbFieldDescriptor* fd) {
    return fd->storedType >= dbTpMethodBase && fd->storedType < dbTpStructure;
}

inline const dbVarying* varying(const byte* p, const dbFieldDescriptor* fd) {
    return reinterpret_cast<const dbVarying*>(p + fd->storedOffset);
}

// Walks the variable parts of the sibling list `first` stored in `src` (a row, or an array
// element with offsets relative to it) in packing order, skipping `skip`, as they would be laid
// out from `pos`. With `dst`, copies them there and points dst's offsets at the copies.
// Returns the end; *maxStart receives the largest offset at which a walked part starts in src.
size_t walkVariableParts(dbFieldDescriptor* first, byte* dst, const byte* src, size_t pos,
                         const dbFieldDescriptor* skip, size_t* maxStart) {
    dbFieldDescriptor* fd = first;
    do {
        if (isMethodField(fd)) {
            break;
        }
        if (fd == skip) {
            fd = fd->next;
            continue;
        }
        switch (fd->storedType) {
            case dbTpString: {
                const dbVarying* v = varying(src, fd);
                *maxStart = std::max<size_t>(*maxStart, v->offs);
                if (dst != nullptr) {
                    memcpy(dst + pos, src + v->offs, v->size);
                    auto* d = reinterpret_cast<dbVarying*>(dst + fd->storedOffset);
                    d->size = v->size;
                    d->offs = uint32_t(pos);
                }
                pos += v->size;
                break;
            }
            case dbTpArray: {
                const dbVarying* v = varying(src, fd);
                dbFieldDescriptor* elem = fd->members;
                const size_t es = elem->storedSize;
                pos = alignUp(pos, elem->align);
                if (v->size != 0) {
                    *maxStart = std::max<size_t>(*maxStart, v->offs);
                }
                const size_t block = pos;
                if (dst != nullptr) {
                    memcpy(dst + block, src + v->offs, v->size * es);
                    auto* d = reinterpret_cast<dbVarying*>(dst + fd->storedOffset);
                    d->size = v->size;
                    d->offs = uint32_t(block);
                }
                pos += v->size * es;
                if (elem->storedType == dbTpString || elem->storedType == dbTpArray ||
                    elem->storedType == dbTpStructure) {
                    for (size_t i = 0; i < v->size; i++) {
                        const size_t start = block + i * es;
                        size_t inner = 0;
                        pos = start + walkVariableParts(
                                          elem, dst != nullptr ? dst + start : nullptr,
                                          src + v->offs + i * es, pos - start, nullptr, &inner);
                        *maxStart = std::max(*maxStart, v->offs + i * es + inner);
                    }
                }
                break;
            }
            case dbTpStructure:
                pos = walkVariableParts(fd->members, dst, src, pos, skip, maxStart);
                break;
            default:
                break;
        }
        fd = fd->next;
    } while (fd != first);
    return pos;
}

}  // namespace

// ---- cursor -------------------------------------------------------------------------------------

dbAnyCursor::dbAnyCursor(dbTableDescriptor& desc, int cursorType, void* object)
    : db(desc.database == dbAnyDatabase() ? nullptr : desc.database),
      table(&desc),
      type(byte(cursorType)),
      defaultType(byte(cursorType)),
      record(object),
      declared(&desc) {}

void dbAnyCursor::reset() {
    unlink();
    selection = dbSelection();
    allRecords = 0;
    firstId = lastId = currentId = 0;
    inOwnUpdate = 0;
    movedByRemove = 0;
}

int dbAnyCursor::select(int cursorType) {
    type = byte(cursorType);
    dbDatabase* owner = declared->database;
    if (owner != nullptr && owner != dbAnyDatabase()) {
        db = owner;
    }
    dbAssert(db != nullptr);
    reset();
    dbAssert(db->isOpen);
    table = db->tableFor(declared);
    dbAssert(table->tableRecordId != 0 && table->database == db);
    db->lockDatabase(type == dbCursorForUpdate ? dbDatabase::dbExclusiveLock
                                               : dbDatabase::dbSharedLock);
    const dbTable* t = db->tableRow(table->tableRecordId);
    firstId = t->firstRow;
    lastId = t->lastRow;
    const int n = int(t->nRows);
    allRecords = 1;
    dbDatabaseThreadContext* ctx = db->threadContext.get();
    dbAssert(ctx != nullptr);
    ctx->cursors.link(this);
    currentId = firstId;
    if (currentId != 0 && prefetch) {
        fetch();
    }
    return n;
}

void* dbAnyCursor::currentObject() const {
    if (currentId == 0) {
        throw dbException(0);
    }
    return record;
}

void dbAnyCursor::fetch() {
    dbAssert(db != nullptr && currentId != 0 && currentId < db->currentIds);
    const uint32_t e = db->currentIndex[currentId];
    dbAssert(!(e & dbFreeHandleFlag) && (e & dbFlagsMask) == dbRowObject);
    table->unpackRecord(record, db->objectAt(currentId));
}

void dbAnyCursor::update() {
    dbAssert(type == dbCursorForUpdate && currentId != 0 && db != nullptr);
    inOwnUpdate = 1;
    try {
        db->updateRecord(currentId, table, record);
    } catch (...) {
        inOwnUpdate = 0;
        throw;
    }
    inOwnUpdate = 0;
}

void dbAnyCursor::remove() {
    dbAssert(type == dbCursorForUpdate && currentId != 0 && db != nullptr);
    inOwnUpdate = 1;
    const oid_t removed = currentId;
    const dbRecord* rec = reinterpret_cast<const dbRecord*>(db->objectAt(removed));
    const oid_t next = rec->next;
    const oid_t prev = rec->prev;
    if (next == 0) {
        if (removed == firstId) {
            currentId = lastId = firstId = 0;
        } else {
            currentId = prev;
            lastId = prev;
        }
    } else {
        currentId = next;
        if (removed == firstId) {
            firstId = next;
        }
    }
    try {
        db->removeRecord(table, removed);
    } catch (...) {
        inOwnUpdate = 0;
        throw;
    }
    movedByRemove = 1;
    inOwnUpdate = 0;
    if (currentId != 0) {
        fetch();
    }
}

// ---- row operations
// ------------------------------------------------------------------------------

void dbDatabase::refreshCursors(oid_t id, bool removed) {
    dbDatabaseThreadContext* ctx = threadContext.get();
    if (ctx == nullptr) {
        return;
    }
    for (dbL2List* l = ctx->cursors.next; l != &ctx->cursors; l = l->next) {
        dbAnyCursor* cursor = dbAnyCursor::fromLink(l);
        if (cursor->currentId != id || cursor->inOwnUpdate) {
            continue;
        }
        if (removed) {
            cursor->currentId = 0;
        } else if (cursor->prefetch) {
            cursor->fetch();
        }
    }
}

void dbDatabase::changeIndexes(dbTableDescriptor* table, oid_t id, bool insert, bool onlyChanged,
                               size_t hint) {
    for (dbFieldDescriptor* fd = table->hashedFields; fd != nullptr; fd = fd->nextHashed) {
        if (fd->hashTable == 0 || (onlyChanged && !(fd->layoutFlags & dbUpdated))) {
            continue;
        }
        if (insert) {
            dbHashTable::insert(this, fd->hashTable, id, fd, hint);
        } else {
            dbHashTable::remove(this, fd->hashTable, id, fd);
        }
    }
    for (dbFieldDescriptor* fd = table->treeFields; fd != nullptr; fd = fd->nextInTree) {
        if (fd->tTree == 0 || (onlyChanged && !(fd->layoutFlags & dbUpdated))) {
            continue;
        }
        if (insert) {
            dbTtree::insert(this, fd->tTree, id, fd);
        } else {
            dbTtree::remove(this, fd->tTree, id, fd);
        }
    }
}

oid_t dbDatabase::insertRecord(dbTableDescriptor* table, const void* object) {
    dbAssert(isOpen);
    table = tableFor(table);
    dbAssert(table->tableRecordId != 0);
    lockDatabase(dbExclusiveLock);
    modified = 1;
    const size_t size = table->recordSize(object);
    // Packed aside first: the object's strings may point into space this allocation reuses.
    dbSmallBuffer buf(size);
    memset(buf.base(), 0, size);
    table->packRecord(reinterpret_cast<byte*>(buf.base()), object);
    const oid_t id = appendRow(table->tableRecordId, size);
    byte* row = objectAt(id);
    memcpy(row + sizeof(dbRecord), buf.base() + sizeof(dbRecord), size - sizeof(dbRecord));

    for (dbFieldDescriptor* fd = table->inverseFields; fd != nullptr; fd = fd->nextInverse) {
        if (fd->storedType == dbTpArray) {
            const dbVarying* v = varying(objectAt(id), fd);
            for (size_t i = v->size; i-- > 0;) {
                const byte* r = objectAt(id);
                const dbVarying* cur = varying(r, fd);
                if (i >= cur->size) {
                    continue;
                }
                const oid_t to = reinterpret_cast<const oid_t*>(r + cur->offs)[i];
                if (to != 0) {
                    addInverseReference(fd, id, to);
                }
            }
        } else {
            const oid_t to = *reinterpret_cast<const oid_t*>(objectAt(id) + fd->storedOffset);
            if (to != 0) {
                addInverseReference(fd, id, to);
            }
        }
    }
    changeIndexes(table, id, true, false, tableRow(table->tableRecordId)->nRows);
    return id;
}

void dbDatabase::updateRecord(oid_t id, dbTableDescriptor* table, const void* object) {
    dbAssert(isOpen);
    table = tableFor(table);
    lockDatabase(dbExclusiveLock);
    const size_t size = table->recordSize(object);
    const byte* old = objectAt(id);
    table->markChangedIndexedFields(old, object);

    updatedRowId = id;
    try {
        for (dbFieldDescriptor* fd = table->inverseFields; fd != nullptr; fd = fd->nextInverse) {
            if (fd->storedType == dbTpArray) {
                const dbVarying* v = varying(objectAt(id), fd);
                const oid_t* stored = reinterpret_cast<const oid_t*>(objectAt(id) + v->offs);
                std::vector<oid_t> before(stored, stored + v->size);
                size_t n = 0;
                const oid_t* elems = static_cast<const oid_t*>(
                    fd->arrayAccess(static_cast<const byte*>(object) + fd->objectOffset, &n));
                std::vector<oid_t> after(elems, elems + n);
                // Each search starts where the previous element was found, runs forward to the
                // end, then backward from that start.
                auto contains = [](const std::vector<oid_t>& in, oid_t x, size_t& at) {
                    for (size_t i = at; i < in.size(); i++) {
                        if (in[i] == x) {
                            at = i;
                            return true;
                        }
                    }
                    for (size_t i = std::min(at, in.size()); i-- > 0;) {
                        if (in[i] == x) {
                            at = i;
                            return true;
                        }
                    }
                    return false;
                };
                size_t at = 0;
                for (oid_t x : before) {
                    if (x != 0 && !contains(after, x, at)) {
                        removeInverseReference(fd, id, x);
                    }
                }
                at = 0;
                for (oid_t x : after) {
                    if (x != 0 && !contains(before, x, at)) {
                        addInverseReference(fd, id, x);
                    }
                }
            } else {
                const oid_t before =
                    *reinterpret_cast<const oid_t*>(objectAt(id) + fd->storedOffset);
                const oid_t after = *reinterpret_cast<const oid_t*>(
                    static_cast<const byte*>(object) + fd->objectOffset);
                if (before != after) {
                    if (before != 0) {
                        removeInverseReference(fd, id, before);
                    }
                    if (after != 0) {
                        addInverseReference(fd, id, after);
                    }
                }
            }
        }
    } catch (...) {
        updatedRowId = 0;
        throw;
    }
    updatedRowId = 0;

    changeIndexes(table, id, false, true, 0);
    // Packed aside: the object's strings usually point into the row being replaced.
    dbSmallBuffer buf(size);
    memset(buf.base(), 0, size);
    table->packRecord(reinterpret_cast<byte*>(buf.base()), object);
    byte* row = resizeRow(id, size);
    memcpy(row + sizeof(dbRecord), buf.base() + sizeof(dbRecord), size - sizeof(dbRecord));
    modified = 1;
    changeIndexes(table, id, true, true, 0);
    for (dbFieldDescriptor* fd = table->allFields; fd != nullptr; fd = fd->nextInTable) {
        fd->layoutFlags &= ~dbUpdated;
    }
    refreshCursors(id);
}

void dbDatabase::removeRecord(dbTableDescriptor* table, oid_t id) {
    dbAssert(isOpen);
    table = tableFor(table);
    lockDatabase(dbExclusiveLock);
    modified = 1;
    removeInverseReferences(table, id);
    changeIndexes(table, id, false, false, 0);
    unlinkRow(table->tableRecordId, id);
    refreshCursors(id, true);
}

void dbDatabase::removeInverseReferences(dbTableDescriptor* table, oid_t id) {
    cascadeVisited.push_back(id);
    try {
        for (dbFieldDescriptor* fd = table->inverseFields; fd != nullptr; fd = fd->nextInverse) {
            if (fd->storedType == dbTpArray) {
                for (size_t i = varying(objectAt(id), fd)->size; i-- > 0;) {
                    const byte* r = objectAt(id);  // read again: a cascade may change it
                    const dbVarying* v = varying(r, fd);
                    if (i >= v->size) {
                        continue;
                    }
                    const oid_t to = reinterpret_cast<const oid_t*>(r + v->offs)[i];
                    if (to != 0) {
                        removeInverseReference(fd, id, to);
                    }
                }
            } else {
                const oid_t to = *reinterpret_cast<const oid_t*>(objectAt(id) + fd->storedOffset);
                if (to != 0) {
                    removeInverseReference(fd, id, to);
                }
            }
        }
    } catch (...) {
        cascadeVisited.pop_back();
        throw;
    }
    cascadeVisited.pop_back();
}

void dbDatabase::removeInverseReference(dbFieldDescriptor* fd, oid_t from, oid_t to) {
    if (to == from || to == updatedRowId || to >= currentIds ||
        (currentIndex[to] & dbFreeHandleFlag) || (currentIndex[to] & dbFlagsMask) != dbRowObject ||
        std::find(cascadeVisited.begin(), cascadeVisited.end(), to) != cascadeVisited.end()) {
        return;
    }
    dbFieldDescriptor* inv = fd->inverseField;
    if (inv == nullptr) {
        return;
    }
    byte* target = objectForUpdate(to);
    if ((fd->indexFlags & DB_FIELD_CASCADE_DELETE) &&
        (inv->storedType != dbTpArray || varying(target, inv)->size < 2)) {
        removeRecord(tableFor(inv->ownerTable), to);
        return;
    }
    if (inv->storedType == dbTpArray) {
        auto* v = reinterpret_cast<dbVarying*>(target + inv->storedOffset);
        oid_t* e = reinterpret_cast<oid_t*>(target + v->offs);
        for (size_t i = v->size; i-- > 0;) {
            if (e[i] == from) {
                memmove(e + i, e + i + 1, (v->size - i - 1) * sizeof(oid_t));
                v->size -= 1;
                break;
            }
        }
    } else {
        auto* r = reinterpret_cast<oid_t*>(target + inv->storedOffset);
        if (*r == from) {
            *r = 0;
        }
    }
    refreshCursors(to);
}

void dbDatabase::addInverseReference(dbFieldDescriptor* fd, oid_t from, oid_t to) {
    if (to == from) {
        return;
    }
    dbFieldDescriptor* inv = fd->inverseField;
    if (inv == nullptr) {
        return;
    }
    dbAssert(to < currentIds && !(currentIndex[to] & dbFreeHandleFlag) &&
             (currentIndex[to] & dbFlagsMask) == dbRowObject);
    if (inv->storedType != dbTpArray) {
        byte* target = objectForUpdate(to);
        *reinterpret_cast<oid_t*>(target + inv->storedOffset) = from;
        refreshCursors(to);
        return;
    }
    dbTableDescriptor* owner = tableFor(inv->ownerTable);
    const byte* t = objectAt(to);
    const size_t oldSize = reinterpret_cast<const dbRecord*>(t)->size;
    const dbVarying arr = *varying(t, inv);
    const size_t count = arr.size;
    size_t maxStart = 0;
    const size_t b = alignUp(
        walkVariableParts(owner->fieldList, nullptr, t, owner->fixedSize, inv, &maxStart), 4);
    const size_t newSize = oldSize >= b + 4 * (count + 1) ? oldSize : b + 8 * (count + 1);
    dbSmallBuffer aside(oldSize);
    memcpy(aside.base(), t, oldSize);
    const byte* src = reinterpret_cast<const byte*>(aside.base());
    byte* nt = resizeRow(to, newSize);
    if (nt == t && arr.offs == b && (maxStart < b)) {
        reinterpret_cast<oid_t*>(nt + b)[count] = from;
        reinterpret_cast<dbVarying*>(nt + inv->storedOffset)->size = uint32_t(count + 1);
    } else {
        memset(nt + sizeof(dbRecord), 0, newSize - sizeof(dbRecord));
        memcpy(nt + sizeof(dbRecord), src + sizeof(dbRecord), owner->fixedSize - sizeof(dbRecord));
        size_t ignored = 0;
        walkVariableParts(owner->fieldList, nt, src, owner->fixedSize, inv, &ignored);
        memcpy(nt + b, src + arr.offs, count * sizeof(oid_t));
        reinterpret_cast<oid_t*>(nt + b)[count] = from;
        auto* v = reinterpret_cast<dbVarying*>(nt + inv->storedOffset);
        v->size = uint32_t(count + 1);
        v->offs = uint32_t(b);
    }
    refreshCursors(to);
}
