// The life of a dbDatabase: open with its named companion objects, formatting or recovery of
// the file, reconciliation of the stored schema with the registered tables, the reader/writer
// lock shared by threads and processes, commit by switching roots, rollback, the delayed-commit
// thread and close.
//
// Invariants (S = the shared state block, T = a thread context, c = header.currentRoot,
// w = 1 - c):
//   1. S.writers is 0 or 1; S.writers == 1 implies S.readers == 0 and S.ownerThread is the
//      thread id of the one T with writeAccess.
//   2. S.readers counts the contexts (of every process) with readAccess, plus the readers let
//      in by a releaser that have not returned from their wait yet.
//   3. S.waitingReaders / S.waitingWriters count threads blocked on readersSemaphore /
//      writersSemaphore (or upgradeSemaphore); S.upgradeWaiting is 1 while one reader waits on
//      upgradeSemaphore, and a second reader asking to upgrade gets code 7.
//   4. A context holds at most one of readAccess and writeAccess.
//   5. root[c] and its index array are the committed state and are never written while c is
//      current; everything a transaction changes goes through root[w]'s array (currentIndex).
//      root[w].indexOffset == root[c].shadowOffset outside a commit.
//   6. Every page of 1024 index entries below committedIds in which the working array differs
//      from the committed array has its bit in S.dirtyIndexPages; after a commit or a rollback
//      no bit is set and the two arrays are equal.
//   7. Every field of S is read and written inside `section`, which is held only for short
//      non-blocking steps and never while taking commitStartLock or commitTimerLock.
//   8. header.dirty is 0 only when the working root equals the committed one (a clean close
//      with no uncommitted work); a first opener recovers a dirty file before anything else.
// Debug builds check 1, 2 (counts never negative) and 4 at every lock state change.
//
// Lock states of one thread context T, with the function making each transition:
//
//                       lockDatabase(0)                 lockDatabase(1): upgrade, waits for
//     +-----------+ -----------------------> +--------+ the other readers; code 7 when one
//     |  no lock  |                          | shared | of them already waits to upgrade
//     |           | <----------------------- |        | ------------------------------+
//     +-----------+  unlockDatabase (from    +--------+                               |
//        |    ^      commit, rollback,           ^                                    v
//        |    |      detach; resets cursors)     |  writeCommit: downgrade     +-----------+
//        |    |                                  +-----------------------------| exclusive |
//        |    +---- unlockDatabase (rollback, or commit with nothing to do) ---|           |
//        +---------------- lockDatabase(1) from no lock ---------------------->+-----------+
//
// Per database: closed --openDatabase--> open --closeDatabase--> closed.
// Per file: uninitialised --formatFile--> clean --markFileDirty (first write)--> dirty
//   --closeDatabase (no uncommitted work), or recovery by the next first opener--> clean.
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "cursor.h"
#include "database.h"
#include "hash_table.h"
#include "integrity.h"
#include "ttree.h"

namespace {

bool testBit(const uint32_t* bits, size_t i) {
    return (bits[i >> 5] & (1u << (i & 31))) != 0;
}

// Names of the companion objects: the database name, a tag of the data file's absolute path
// (two stores of one name in two folders never share objects) and the suffix.
std::string fileTag(const char* path) {
    std::string abs;
    char buf[PATH_MAX];
    std::string dir = ".";
    std::string base = path;
    if (const char* slash = strrchr(path, '/')) {
        dir = std::string(path, slash - path);
        if (dir.empty()) {
            dir = "/";
        }
        base = slash + 1;
    }
    if (realpath(dir.c_str(), buf) != nullptr) {
        abs = std::string(buf) + "/" + base;
    } else {
        abs = path;
    }
    uint32_t h = 2166136261u;
    for (unsigned char ch : abs) {
        h = (h ^ ch) * 16777619u;
    }
    char tag[16];
    snprintf(tag, sizeof tag, "%08x", h);
    return tag;
}

#ifndef NDEBUG
// Invariants 1, 2 and 4 of the file header; called inside `section`. A violation stops the
// process (an exception would leave `section` held).
#define LOCK_INVARIANT(cond)                              \
    do {                                                  \
        if (!(cond))                                      \
            dbAssertionFailed(#cond, __FILE__, __LINE__); \
    } while (0)
void checkLockInvariants(const dbSharedState* s, const dbDatabaseThreadContext* ctx) {
    LOCK_INVARIANT(s->writers <= 1);
    LOCK_INVARIANT(s->writers == 0 || s->readers == 0);
    LOCK_INVARIANT(int32_t(s->readers) >= 0 && int32_t(s->waitingReaders) >= 0 &&
                   int32_t(s->waitingWriters) >= 0);
    LOCK_INVARIANT(ctx == nullptr || !(ctx->readAccess && ctx->writeAccess));
}
#define CHECK_LOCKS(s, ctx) checkLockInvariants(s, ctx)
#else
#define CHECK_LOCKS(s, ctx) ((void)0)
#endif

}  // namespace

// ---- names ------------------------------------------------------------------------------------

const char* dbDatabase::objectName(const char* suffix) {
    snprintf(nameScratch, sizeof nameScratch, "%s.%s", objectPrefix.c_str(), suffix);
    return nameScratch;
}

void dbDatabase::openFailed(const char* msg) {
    handleError(DatabaseOpenError, msg);
}

// ---- open -------------------------------------------------------------------------------------

bool dbDatabase::openDatabase(const char* name, const char* fileName, unsigned timeout,
                              unsigned delay) {
    dbAssert(!isOpen);
    lockTimeout = timeout;
    commitDelay = 0;
    commitTimeout = 0;
    timerStart = 0;
    isOpen = 0;
    stopCommitThread = 0;
    delayedCommitContext = nullptr;

    setObjectName(name);
    delete[] dataFileName;  // owned with new[] (released by the destructor too)
    const char* fileText = fileName;
    std::string defaultName;
    if (fileText == nullptr) {
        defaultName = std::string(name) + ".fdb";
        fileText = defaultName.c_str();
    }
    dataFileName = new char[strlen(fileText) + 1];
    strcpy(dataFileName, fileText);
    objectPrefix = std::string(name) + "~" + fileTag(dataFileName);

    try {
        if (openObjects(delay)) {
            return true;
        }
    } catch (const dbException&) {
        // an incompatible stored schema and other internal faults end the open
        handleError(DatabaseOpenError, "Failed to open database: internal error");
    }
    releaseAfterFailedOpen();
    return false;
}

bool dbDatabase::openObjects(unsigned delay) {
    const int gate = openGate.open(objectName("in"));
    if (gate == 0) {
        openFailed("Failed to start database initialization");
        return false;
    }
    if (!sharedBlock.open(objectName("dm"), sizeof(dbSharedState))) {
        openFailed("Failed to open database monitor");
        return false;
    }
    monitor = static_cast<dbSharedState*>(sharedBlock.get());
    if (!writersSemaphore.open(objectName("ws"), 0)) {
        openFailed("Failed to initialize database writers semaphore");
        return false;
    }
    if (!readersSemaphore.open(objectName("rs"), 0)) {
        openFailed("Failed to initialize database readers semaphore");
        return false;
    }
    if (!upgradeSemaphore.open(objectName("us"), 0)) {
        openFailed("Failed to initialize database upgrade semaphore");
        return false;
    }
    if (!backupDoneEvent.open(objectName("bce"), false)) {
        openFailed("Failed to initialize database backup completed event");
        return false;
    }
    if (delay != 0) {
        if (!commitStopEvent.open(objectName("dce"), false)) {
            openFailed("Failed to initialize delayed commit event");
            return false;
        }
        commitStartEvent.open(nullptr, false);
        commitThreadReady.open(nullptr, false);
    }
    backupInitEvent.open(nullptr, false);

    const size_t indexSize = newIndexCapacity();
    const size_t fileSize = newFileSize(indexSize);
    resetAllocator();
    tables = nullptr;
    modified = 0;
    attachThread();

    dbSharedState* s = monitor;
    if (gate == 2) {
        if (!section.create(objectName("cs"), &s->sectionCount)) {
            openFailed("Failed to initialize database monitor");
            return false;
        }
        if (accessMode == dbConcurrentUpdate &&
            !writerSection.create(objectName("mcs"), &s->writerSectionCount)) {
            openFailed("Failed to initialize database monitor");
            return false;
        }
        writersSemaphore.drain();
        readersSemaphore.drain();
        upgradeSemaphore.drain();
        s->readers = s->writers = s->waitingReaders = s->waitingWriters = 0;
        s->upgradeWaiting = 0;
        s->fileGeneration = 1;
        mappedGeneration = 1;
        s->users = s->backupBusy = s->pendingBegins = s->lastRecoveryTick = 0;
        s->delayedCommitOwner = 0;
        s->commitCount = 1;
        s->committing = s->uncommitted = 0;
        s->ownerThread = 0;
        memset(s->dirtyIndexPages, 0, sizeof s->dirtyIndexPages);

        const bool readOnly = accessMode == dbReadOnly || accessMode == dbConcurrentRead;
        if (openDataFile(readOnly, fileSize) != 0) {
            openFailed("Failed to create database file");
            return false;
        }
        if (file.getSize() < sizeof(dbHeader)) {
            openFailed(
                "Database file was corrupted: file size in header differs from actual file size");
            return false;
        }
        dbHeader* h = header();
        if (h->currentRoot > 1) {
            openFailed("Database file was corrupted: invalid root index");
            return false;
        }
        if (h->initialized == 1) {
            s->committedRoot = h->currentRoot;
            if (h->dirty) {
                if (readOnly) {
                    openFailed("Can not open dirty file in read only moode");
                    return false;
                }
            } else if (file.getSize() != h->fileSize) {
                openFailed(
                    "Database file was corrupted: file size in header differs from actual file "
                    "size");
                return false;
            }
            // A stored file is input like any other: its committed state is checked before
            // anything follows its offsets.
            std::string why;
            if (!dbCheckCommittedStructure(reinterpret_cast<const byte*>(base), file.getSize(),
                                           why)) {
                std::string msg = "Database file was corrupted: " + why;
                openFailed(msg.c_str());
                return false;
            }
            if (h->dirty) {
                recoverWorkingRoot(true);
            }
        } else {
            if (readOnly) {
                openFailed("Can not open uninitialized file in read only mode");
                return false;
            }
            s->committedRoot = 0;
            formatFile();
        }
        if (!reconcileSchema(true)) {
            return false;
        }
        openGate.done();
    } else {
        if (!section.open(objectName("cs"), &s->sectionCount)) {
            openFailed("Failed to open shared semaphore");
            return false;
        }
        if (accessMode == dbConcurrentUpdate &&
            !writerSection.open(objectName("mcs"), &s->writerSectionCount)) {
            openFailed("Failed to open shared semaphore");
            return false;
        }
        mappedGeneration = 0;  // the file is mapped at the first lock
        if (!reconcileSchema(false)) {
            return false;
        }
    }
    section.enter();
    s->users += 1;
    section.leave();
    isOpen = 1;

    if (delay != 0) {
        commitDelay = commitTimeout = delay;
        dbCriticalSection cs(commitStartLock);
        commitThread.create(&dbDatabase::delayedCommitProc, this);
        commitThreadReady.wait(commitStartLock);
    }
    return true;
}

// Undoes what a failed open created, so that this process is not left registered as an
// opener of a database it never finished opening.
void dbDatabase::releaseAfterFailedOpen() {
    dbDatabaseThreadContext* ctx = threadContext.get();
    if (ctx != nullptr && monitor != nullptr && section.isOpen()) {
        if (ctx->writeAccess || ctx->readAccess || ctx->mutatorLocked) {
            try {
                if (modified && base != nullptr) {
                    rollbackTransaction();
                }
            } catch (const dbException&) {
            }
            if (ctx->writeAccess || ctx->readAccess || ctx->mutatorLocked) {
                unlockDatabase(ctx);
            }
        }
    }
    {
        dbCriticalSection cs(threadContextsMutex);
        while (!threadContexts.isEmpty()) {
            delete static_cast<dbDatabaseThreadContext*>(threadContexts.next);
        }
    }
    threadContext.set(nullptr);
    unbindTables();
    file.close();
    base = nullptr;
    currentIndex = nullptr;
    indexes[0] = indexes[1] = nullptr;
    section.close();
    writerSection.close();
    writersSemaphore.close();
    readersSemaphore.close();
    upgradeSemaphore.close();
    backupDoneEvent.close();
    commitStopEvent.close();
    commitStartEvent.close();
    commitThreadReady.close();
    backupInitEvent.close();
    sharedBlock.close();
    monitor = nullptr;
    openGate.close();
    modified = 0;
}

// ---- recovery --------------------------------------------------------------------------------

void dbDatabase::recoverWorkingRoot(bool setFileSize) {
    dbHeader* h = header();
    const int c = int(h->currentRoot);
    const int w = 1 - c;
    if (setFileSize) {
        h->fileSize = uint32_t(file.getSize());
    }
    h->root[w].usedIds = h->root[c].usedIds;
    h->root[w].freeIdHead = h->root[c].freeIdHead;
    h->root[w].indexOffset = h->root[c].shadowOffset;
    h->root[w].indexCapacity = h->root[c].shadowCapacity;
    h->root[w].shadowOffset = h->root[c].indexOffset;
    h->root[w].shadowCapacity = h->root[c].indexCapacity;
    indexes[c] = reinterpret_cast<uint32_t*>(base + h->root[c].indexOffset);
    indexes[w] = reinterpret_cast<uint32_t*>(base + h->root[w].indexOffset);
    currentIndex = indexes[w];
    const uint32_t* committed = indexes[c];
    const size_t n = h->root[c].usedIds;
    for (size_t i = 0; i < n; i++) {
        if (currentIndex[i] != committed[i]) {
            currentIndex[i] = committed[i];
        }
    }
    currentIds = committedIds = n;
    repairLastRows();
}

// ---- schema ------------------------------------------------------------------------------------

void dbDatabase::bindTable(dbTableDescriptor* desc, oid_t rowId) {
    dbAssert(desc->tableRecordId == 0);
    desc->database = this;
    desc->nextInDatabase = tables;
    tables = desc;
    desc->tableRecordId = rowId;
}

void dbDatabase::unbindTables() {
    dbTableDescriptor* next;
    for (dbTableDescriptor* desc = tables; desc != nullptr; desc = next) {
        next = desc->nextInDatabase;
        desc->tableRecordId = 0;
        desc->nextInDatabase = nullptr;
        if (desc->cloneOf != nullptr) {
            delete desc;
        } else if (!desc->boundAtConstruction) {
            desc->database = nullptr;
        }
    }
    tables = nullptr;
}

dbTableDescriptor* dbDatabase::findTable(const char* name) const {
    for (dbTableDescriptor* desc = tables; desc != nullptr; desc = desc->nextInDatabase) {
        if (strcmp(desc->name, name) == 0) {
            return desc;
        }
    }
    return nullptr;
}

dbTableDescriptor* dbDatabase::tableFor(dbTableDescriptor* desc) {
    if (desc->database == this) {
        return desc;
    }
    for (dbTableDescriptor* t = tables; t != nullptr; t = t->nextInDatabase) {
        if (t->cloneOf == desc) {
            return t;
        }
    }
    return desc;
}

void dbDatabase::dropStoredIndexes(const dbTable* row) {
    const dbField* f =
        reinterpret_cast<const dbField*>(reinterpret_cast<const byte*>(row) + row->fields.offs);
    for (uint32_t i = 0; i < row->fields.size; i++) {
        if (f[i].hashTable != 0) {
            dbHashTable::drop(this, f[i].hashTable);
        }
        if (f[i].tTree != 0) {
            dbTtree::drop(this, f[i].tTree);
        }
    }
}

void dbDatabase::rewriteTableRow(dbTableDescriptor* desc, oid_t rowId) {
    if (desc->tableRecordId == 0) {
        bindTable(desc, rowId);
    }
    dbTable* row = tableRowForUpdate(rowId);
    const uint32_t nRows = row->nRows;
    const oid_t firstRow = row->firstRow;
    const oid_t lastRow = row->lastRow;
    dropStoredIndexes(row);
    row = reinterpret_cast<dbTable*>(resizeRow(rowId, desc->tableRowSize()));
    const dbRecord saved = *row;
    desc->writeTableRecord(row);
    row->size = saved.size;
    row->next = saved.next;
    row->prev = saved.prev;
    row->nRows = nRows;
    row->firstRow = firstRow;
    row->lastRow = lastRow;
}

void dbDatabase::convertTable(dbTableDescriptor* desc, oid_t rowId) {
    dbTable* row = tableRowForUpdate(rowId);
    if (desc->reconcileFields(row, dropAllowed != 0)) {
        rewriteTableRow(desc, rowId);
        return;
    }
    oid_t id = row->firstRow;
    rewriteTableRow(desc, rowId);
    while (id != 0) {
        const byte* stored = objectAt(id);
        const size_t oldSize = reinterpret_cast<const dbRecord*>(stored)->size;
        // The old row is copied aside: resizing may free it or hand back the same space.
        dbSmallBuffer old(oldSize);
        memcpy(old.base(), stored, oldSize);
        const byte* src = reinterpret_cast<const byte*>(old.base());
        const size_t newSize = desc->convertedRecordSize(src);
        byte* dst = resizeRow(id, newSize);
        dbSmallBuffer scratch(newSize);
        memset(scratch.base(), 0, newSize);
        desc->convertOldRecord(reinterpret_cast<byte*>(scratch.base()), src, desc->fixedSize);
        memcpy(dst + sizeof(dbRecord), scratch.base() + sizeof(dbRecord),
               newSize - sizeof(dbRecord));
        id = reinterpret_cast<dbRecord*>(dst)->next;
    }
}

bool dbDatabase::tableRowUnchanged(oid_t rowId) const {
    const dbHeader* h = header();
    const uint32_t* committed =
        reinterpret_cast<const uint32_t*>(base + h->root[monitor->committedRoot].indexOffset);
    return rowId < committedIds && committed[rowId] == currentIndex[rowId];
}

bool dbDatabase::updateFieldIndexes(dbTableDescriptor* desc, bool first) {
    bool created = false;
    bool changed = false;
    const oid_t rowId = desc->tableRecordId;
    for (dbFieldDescriptor* fd = desc->allFields; fd != nullptr; fd = fd->nextInTable) {
        if (fd->storedType == dbTpStructure) {
            continue;
        }
        const uint32_t nRows = tableRow(rowId)->nRows;
        if ((fd->indexFlags & HASHED) && fd->hashTable == 0) {
            if (!first && tableRowUnchanged(rowId)) {
                return false;
            }
            fd->indexFlags |= DB_FIELD_INDEX_BEING_BUILT;
            fd->hashTable = dbHashTable::create(this, nRows);
            created = changed = true;
        } else if (!(fd->indexFlags & HASHED) && fd->hashTable != 0) {
            if (!first) {
                return false;
            }
            fd->hashTable = 0;
            changed = true;
        }
        if ((fd->indexFlags & INDEXED) && fd->tTree == 0) {
            if (!first && tableRowUnchanged(rowId)) {
                return false;
            }
            fd->indexFlags |= DB_FIELD_INDEX_BEING_BUILT;
            fd->tTree = dbTtree::create(this);
            created = changed = true;
        } else if (!(fd->indexFlags & INDEXED) && fd->tTree != 0) {
            if (!first) {
                return false;
            }
            fd->tTree = 0;
            changed = true;
        }
    }
    if (created) {
        modified = 1;
        const uint32_t nRows = tableRow(rowId)->nRows;
        for (oid_t id = tableRow(rowId)->firstRow; id != 0;
             id = reinterpret_cast<dbRecord*>(objectAt(id))->next) {
            for (dbFieldDescriptor* fd = desc->allFields; fd != nullptr; fd = fd->nextInTable) {
                if (!(fd->indexFlags & DB_FIELD_INDEX_BEING_BUILT)) {
                    continue;
                }
                if ((fd->indexFlags & HASHED) && fd->hashTable != 0) {
                    dbHashTable::insert(this, fd->hashTable, id, fd, 2 * nRows);
                }
                if ((fd->indexFlags & INDEXED) && fd->tTree != 0) {
                    dbTtree::insert(this, fd->tTree, id, fd);
                }
            }
        }
        for (dbFieldDescriptor* fd = desc->allFields; fd != nullptr; fd = fd->nextInTable) {
            fd->indexFlags &= ~DB_FIELD_INDEX_BEING_BUILT;
        }
    }
    if (changed) {
        dbTable* row = tableRowForUpdate(rowId);
        dbField* f = reinterpret_cast<dbField*>(reinterpret_cast<byte*>(row) + row->fields.offs);
        size_t i = 0;
        for (dbFieldDescriptor* fd = desc->allFields; fd != nullptr && i < row->fields.size;
             fd = fd->nextInTable, i++) {
            if (f[i].hashTable != 0 && f[i].hashTable != fd->hashTable) {
                dbHashTable::drop(this, f[i].hashTable);
            }
            f[i].hashTable = fd->hashTable;
            if (f[i].tTree != 0 && f[i].tTree != fd->tTree) {
                dbTtree::drop(this, f[i].tTree);
            }
            f[i].tTree = fd->tTree;
        }
    }
    return true;
}

bool dbDatabase::reconcileSchema(bool first) {
    const bool writable = accessMode == dbAllAccess || accessMode == dbConcurrentUpdate;
    if (!lockDatabase(writable ? dbExclusiveLock : dbSharedLock)) {
        return false;
    }
    const dbTable* meta = tableRow(dbMetaTableId);
    const uint32_t nTables = meta->nRows;
    oid_t position = meta->firstRow;

    for (dbTableDescriptor* reg = dbTableDescriptor::registeredChain; reg != nullptr;
         reg = reg->nextRegistered) {
        dbTableDescriptor* desc = reg;
        if (desc->database == dbAnyDatabase()) {
            desc = desc->clone(this);
        } else if (desc->database != nullptr && desc->database != this) {
            continue;  // bound to another open database
        } else if (desc->tableRecordId != 0) {
            continue;
        }
        for (dbFieldDescriptor* fd = desc->allFields; fd != nullptr; fd = fd->nextInTable) {
            fd->hashTable = 0;
            fd->tTree = 0;
            fd->layoutFlags &= ~dbUpdated;
        }
        // Look for the table's row, starting where the previous table was found.
        oid_t found = 0;
        oid_t id = position;
        const oid_t metaFirst = tableRow(dbMetaTableId)->firstRow;
        for (uint32_t n = 0; n < nTables && id != 0; n++) {
            const byte* row = objectAt(id);
            const dbTable* t = reinterpret_cast<const dbTable*>(row);
            if (strcmp(reinterpret_cast<const char*>(row + t->name.offs), desc->name) == 0) {
                found = id;
                break;
            }
            id = t->next != 0 ? t->next : metaFirst;
        }
        if (found != 0) {
            position = found;
            const dbTable* t = tableRow(found);
            if (desc->sameLayout(t)) {
                bindTable(desc, found);
            } else {
                if (!first) {
                    openFailed("Incompatible class definition in application");
                    if (desc->cloneOf != nullptr && desc->tableRecordId == 0) {
                        delete desc;
                    }
                    return false;
                }
                if (!threadContext.get()->writeAccess) {
                    lockDatabase(dbExclusiveLock);
                }
                modified = 1;
                if (t->nRows != 0) {
                    convertTable(desc, found);
                } else {
                    dbTable* row = tableRowForUpdate(found);
                    desc->reconcileFields(row, dropAllowed != 0);
                    rewriteTableRow(desc, found);
                }
                for (dbFieldDescriptor* fd = desc->allFields; fd != nullptr; fd = fd->nextInTable) {
                    if (fd->tTree != 0) {
                        fd->indexFlags |= INDEXED;
                    } else if (fd->hashTable != 0) {
                        fd->indexFlags |= HASHED;
                    }
                }
            }
        } else {
            if (!writable) {
                openFailed("New table definition can not be added to read only database");
                if (desc->cloneOf != nullptr) {
                    delete desc;
                }
                return false;
            }
            const size_t size = desc->tableRowSize();
            const oid_t rowId = appendRow(dbMetaTableId, size);
            bindTable(desc, rowId);
            dbTable* row = reinterpret_cast<dbTable*>(objectForUpdate(rowId));
            const dbRecord saved = *row;
            desc->writeTableRecord(row);
            row->size = saved.size;
            row->next = saved.next;
            row->prev = saved.prev;
            modified = 1;
        }
        if (writable && !updateFieldIndexes(desc, first)) {
            openFailed("Failed to alter indices with active applications");
            rollbackTransaction();
            return false;
        }
    }
    for (dbTableDescriptor* desc = tables; desc != nullptr; desc = desc->nextInDatabase) {
        if (desc->cloneOf != nullptr) {
            for (dbFieldDescriptor* fd = desc->allFields; fd != nullptr; fd = fd->nextInTable) {
                if (fd->referencedTable != nullptr) {
                    fd->referencedTable = tableFor(fd->referencedTable);
                }
            }
        }
        desc->resolveInverseLinks();
    }
    commitTransaction();
    return true;
}

// ---- threads ------------------------------------------------------------------------------------

void dbDatabase::attachThread() {
    if (threadContext.get() != nullptr) {
        return;
    }
    auto* ctx = new dbDatabaseThreadContext();
    {
        dbCriticalSection cs(threadContextsMutex);
        threadContexts.link(ctx);
    }
    threadContext.set(ctx);
}

void dbDatabase::detachThread(int flags) {
    dbDatabaseThreadContext* ctx = threadContext.get();
    if (ctx == nullptr) {
        return;
    }
    if (flags & COMMIT) {
        commitTransaction();
    } else {
        section.enter();
        if (modified) {
            monitor->uncommitted = 1;
        }
        ctx->concurrentId = int32_t(monitor->commitCount);
        section.leave();
        if (ctx->readAccess || ctx->writeAccess || ctx->mutatorLocked) {
            dbAssert(accessMode != dbConcurrentUpdate);
            unlockDatabase(ctx);
        }
    }
    if (flags & DESTROY_CONTEXT) {
        bool byCommitThread = false;
        if (commitDelay != 0) {
            dbCriticalSection cs(commitTimerLock);
            if (ctx->commitDelayed) {
                ctx->removeContext = 1;
                byCommitThread = true;
            }
        }
        if (!byCommitThread) {
            resetCursors(ctx);
            dbCriticalSection cs(threadContextsMutex);
            delete ctx;
        }
        threadContext.set(nullptr);
    }
}

// ---- locking ------------------------------------------------------------------------------------

void dbDatabase::resetCursors(dbDatabaseThreadContext* ctx) {
    while (!ctx->cursors.isEmpty()) {
        dbAnyCursor* cursor = dbAnyCursor::fromLink(ctx->cursors.next);
        cursor->reset();  // unlinks it
    }
}

bool dbDatabase::lockTimedOut() {
    // Called inside `section`.
    const uint32_t now = dbGetTickCount();
    if (now - monitor->lastRecoveryTick >= lockTimeout) {
        monitor->lastRecoveryTick = now;
        return true;
    }
    return false;
}

void dbDatabase::recoverAfterDeadWriter() {
    // A writer that held the lock past the timeout is assumed dead: its working root is
    // rebuilt from the committed one. Called outside `section`.
    followRemap();
    section.enter();
    recoverWorkingRoot(false);
    memset(monitor->dirtyIndexPages, 0, sizeof monitor->dirtyIndexPages);
    section.leave();
    resetAllocator();
}

bool dbDatabase::lockDatabase(int lockMode) {
    dbDatabaseThreadContext* ctx = threadContext.get();
    dbAssert(ctx != nullptr);
    dbSharedState* s = monitor;
    const bool startsTransaction = !ctx->readAccess && !ctx->writeAccess && !ctx->mutatorLocked;

    if (commitDelay != 0 && lockMode != dbExclusiveNoRefresh) {
        dbCriticalSection cs(commitTimerLock);
        section.enter();
        s->pendingBegins += 1;
        section.leave();
        if (ctx->commitDelayed) {
            // This thread's own commit waits: write it now instead.
            delayedCommitContext = nullptr;
            section.enter();
            s->delayedCommitOwner = 0;
            section.leave();
            ctx->commitDelayed = 0;
            const time_t elapsed = time(nullptr) - timerStart;
            commitTimeout =
                elapsed >= time_t(commitTimeout) ? 0 : commitTimeout - unsigned(elapsed);
            commitStopEvent.signal();
        }
    }

    if (accessMode == dbConcurrentUpdate && lockMode != dbExclusiveNoRefresh) {
        if (!ctx->mutatorLocked) {
            writerSection.enter();
            ctx->mutatorLocked = 1;
        }
    } else if (lockMode == dbSharedLock) {
        if (!ctx->readAccess && !ctx->writeAccess) {
            section.enter();
            if (s->writers + s->waitingWriters == 0) {
                s->readers += 1;
                section.leave();
            } else {
                s->waitingReaders += 1;
                section.leave();
                if (commitDelay != 0) {
                    commitStopEvent.signal();
                }
                waitForSharedLock();
            }
            ctx->readAccess = 1;
        }
    } else {
        if (ctx->writeAccess) {
            // Checked with the refresh below (one pass through `section`), except for mode 2.
            if (lockMode == dbExclusiveNoRefresh) {
                section.enter();
                const bool revoked = s->ownerThread != ctx->threadId;
                section.leave();
                if (revoked) {
                    handleError(LockRevoked);
                }
            }
        } else {
            dbAssert(accessMode != dbReadOnly && accessMode != dbConcurrentRead);
            if (!ctx->readAccess) {
                section.enter();
                if (s->writers == 0 && s->readers == 0) {
                    s->writers = 1;
                    section.leave();
                } else {
                    s->waitingWriters += 1;
                    section.leave();
                    if (commitDelay != 0) {
                        commitStopEvent.signal();
                    }
                    waitForExclusiveLock();
                }
            } else {
                section.enter();
                dbAssert(s->writers == 0);
                if (s->readers == 1) {
                    s->writers = 1;
                    s->readers = 0;
                    section.leave();
                } else if (s->upgradeWaiting) {
                    section.leave();
                    handleError(Deadlock);
                    return false;
                } else {
                    s->upgradeWaiting = 1;
                    s->waitingWriters += 1;
                    section.leave();
                    if (commitDelay != 0) {
                        commitStopEvent.signal();
                    }
                    waitForUpgrade();
                }
                ctx->readAccess = 0;
            }
            section.enter();
            s->ownerThread = ctx->threadId;
            section.leave();
            ctx->writeAccess = 1;
        }
    }
    if (lockMode == dbExclusiveNoRefresh) {
        return true;
    }
    if (commitDelay != 0) {
        dbCriticalSection cs(commitTimerLock);
        section.enter();
        s->pendingBegins -= 1;
        section.leave();
    }
    if (!followRemap()) {
        return false;
    }
    section.enter();
    dbHeader* h = header();
    indexes[0] = reinterpret_cast<uint32_t*>(base + h->root[0].indexOffset);
    indexes[1] = reinterpret_cast<uint32_t*>(base + h->root[1].indexOffset);
    const int c = int(s->committedRoot);
    if (accessMode == dbConcurrentRead) {
        currentIndex = indexes[c];
        currentIds = committedIds = h->root[c].usedIds;
    } else {
        currentIndex = indexes[1 - c];
        currentIds = h->root[1 - c].usedIds;
        committedIds = h->root[c].usedIds;
    }
    const bool othersCommitted = s->commitCount != allocatorCommitCount;
    const bool revoked = ctx->writeAccess && s->ownerThread != ctx->threadId;
    CHECK_LOCKS(s, ctx);
    section.leave();
    if (revoked) {
        handleError(LockRevoked);
    }
    if (startsTransaction && othersCommitted) {
        // Another process committed since this one last allocated: its hints may understate.
        resetAllocator();
        allocatorCommitCount = s->commitCount;
    }
    return true;
}

void dbDatabase::waitForSharedLock() {
    dbSharedState* s = monitor;
    for (;;) {
        if (readersSemaphore.wait(lockTimeout)) {
            section.enter();
            const bool ok = s->writers == 0 && s->readers > 0;
            section.leave();
            dbAssert(ok);
            return;
        }
        section.enter();
        if (!lockTimedOut()) {
            section.leave();
            continue;
        }
        const bool deadWriter = s->writers != 0;
        if (!deadWriter && s->waitingWriters > 0) {
            s->waitingWriters -= 1;  // a waiting writer is assumed dead
        }
        section.leave();
        if (deadWriter) {
            recoverAfterDeadWriter();
        }
        section.enter();
        if (deadWriter) {
            s->writers = 0;
            s->ownerThread = 0;
        }
        s->readers += 1;
        s->waitingReaders -= 1;
        section.leave();
        return;
    }
}

void dbDatabase::waitForExclusiveLock() {
    dbSharedState* s = monitor;
    for (;;) {
        if (writersSemaphore.wait(lockTimeout)) {
            return;  // the releaser made this thread the writer
        }
        section.enter();
        if (!lockTimedOut()) {
            section.leave();
            continue;
        }
        if (s->writers != 0) {
            section.leave();
            recoverAfterDeadWriter();
            section.enter();
            s->writers = 1;
            s->waitingWriters -= 1;
            section.leave();
            return;
        }
        if (s->readers > 0) {
            s->readers -= 1;  // one reader is assumed dead
        }
        if (s->readers == 0) {
            s->writers = 1;
            s->waitingWriters -= 1;
            section.leave();
            return;
        }
        section.leave();
    }
}

void dbDatabase::waitForUpgrade() {
    dbSharedState* s = monitor;
    for (;;) {
        if (upgradeSemaphore.wait(lockTimeout)) {
            return;
        }
        section.enter();
        if (!lockTimedOut()) {
            section.leave();
            continue;
        }
        if (s->readers > 1) {
            s->readers -= 1;  // another reader is assumed dead
        }
        if (s->readers == 1) {
            s->writers = 1;
            s->readers = 0;
            s->waitingWriters -= 1;
            s->upgradeWaiting = 0;
            section.leave();
            return;
        }
        section.leave();
    }
}

void dbDatabase::unlockDatabase(dbDatabaseThreadContext* ctx) {
    resetCursors(ctx);
    dbSharedState* s = monitor;
    section.enter();
    if (ctx->writeAccess) {
        s->writers -= 1;
        s->ownerThread = 0;
        if (s->waitingWriters > 0) {
            s->waitingWriters -= 1;
            s->writers = 1;
            writersSemaphore.signal(1);
        } else if (s->waitingReaders > 0) {
            const uint32_t n = s->waitingReaders;
            s->readers = n;
            s->waitingReaders = 0;
            readersSemaphore.signal(n);
        }
    } else if (ctx->readAccess) {
        s->readers -= 1;
        if (s->readers == 1 && s->upgradeWaiting) {
            s->upgradeWaiting = 0;
            s->waitingWriters -= 1;
            s->writers = 1;
            s->readers = 0;
            upgradeSemaphore.signal(1);
        } else if (s->readers == 0 && s->waitingWriters > 0) {
            s->waitingWriters -= 1;
            s->writers = 1;
            writersSemaphore.signal(1);
        }
    }
    CHECK_LOCKS(s, nullptr);
    section.leave();
    ctx->writeAccess = 0;
    ctx->readAccess = 0;
    if (ctx->mutatorLocked) {
        ctx->mutatorLocked = 0;
        writerSection.leave();
    }
}

// ---- commit -------------------------------------------------------------------------------------

void dbDatabase::commitTransaction() {
    dbDatabaseThreadContext* ctx = threadContext.get();
    if (ctx == nullptr || ctx->commitDelayed) {
        return;
    }
    dbSharedState* s = monitor;
    if (ctx->writeAccess) {
        section.enter();
        const bool revoked = s->ownerThread != ctx->threadId;
        section.leave();
        if (revoked) {
            handleError(LockRevoked);
        }
    }
    section.enter();
    const bool work = modified && !s->committing &&
                      (s->uncommitted || ctx->writeAccess || ctx->mutatorLocked ||
                       s->commitCount == uint32_t(ctx->concurrentId));
    section.leave();
    if (!work) {
        if (ctx->readAccess || ctx->writeAccess || ctx->mutatorLocked) {
            unlockDatabase(ctx);
        }
        return;
    }
    if (!ctx->writeAccess) {
        lockDatabase(ctx->mutatorLocked ? dbExclusiveNoRefresh : dbExclusiveLock);
    }
    if (commitDelay != 0) {
        dbCriticalSection cs(commitStartLock);
        {
            dbCriticalSection timer(commitTimerLock);
            delayedCommitContext = ctx;
            section.enter();
            s->delayedCommitOwner = 1;
            section.leave();
            ctx->commitDelayed = 1;
        }
        commitStartEvent.signal();
        return;
    }
    writeCommit(ctx);
}

void dbDatabase::freeOldVersion(const uint32_t* committed, oid_t id) {
    const uint32_t old = committed[id];
    if (old != currentIndex[id] && !(old & dbFreeHandleFlag)) {
        freeSpace(old & ~dbFlagsMask, objectSize(old));
    }
}

void dbDatabase::writeCommit(dbDatabaseThreadContext* ctx) {
    dbSharedState* s = monitor;
    dbHeader* h = header();
    const int c = int(h->currentRoot);
    const int w = 1 - c;

    // 1. A working array that grew needs a spare array of its size for the next transaction.
    if (h->root[c].indexCapacity < h->root[w].indexCapacity) {
        const size_t capacity = h->root[w].indexCapacity;
        const offs_t shadow = allocSpace(capacity * sizeof(uint32_t));
        h = header();
        h->root[w].shadowOffset = shadow;
        h->root[w].shadowCapacity = uint32_t(capacity);
        const size_t oldSize = size_t(h->root[c].indexCapacity) * sizeof(uint32_t);
        privatizeBitmapRange(h->root[c].indexOffset, oldSize);
        freeSpace(h->root[c].indexOffset, oldSize);
    }

    // 2. Downgrade to a reader and let waiting readers in while the switch is written.
    section.enter();
    s->committing = 1;
    s->writers -= 1;
    s->readers += 1;
    s->ownerThread = 0;
    if (accessMode == dbConcurrentUpdate) {
        s->committedRoot ^= 1;
    }
    if (s->waitingReaders > 0) {
        const uint32_t n = s->waitingReaders;
        s->readers += n;
        s->waitingReaders = 0;
        readersSemaphore.signal(n);
    }
    section.leave();
    ctx->writeAccess = 0;
    ctx->readAccess = 1;

    // 3. Free the committed versions of objects replaced or removed in this transaction.
    h = header();
    const uint32_t* committed = reinterpret_cast<const uint32_t*>(base + h->root[c].indexOffset);
    const uint32_t* dirty = s->dirtyIndexPages;
    const size_t nCommitted = committedIds;
    const size_t wholePages = nCommitted / dbIndexPageEntries;
    for (size_t p = 0; p < wholePages; p++) {
        if (testBit(dirty, p)) {
            for (size_t i = p * dbIndexPageEntries; i < (p + 1) * dbIndexPageEntries; i++) {
                if (i < dbFirstUserId) {
                    continue;  // bitmap pages: below
                }
                freeOldVersion(committed, oid_t(i));
            }
        }
    }
    for (size_t i = std::max(wholePages * dbIndexPageEntries, size_t(dbFirstUserId));
         i < nCommitted; i++) {
        freeOldVersion(committed, oid_t(i));
    }
    // Freeing can copy more bitmap pages, whose old copies are freed in turn, until none moves.
    std::vector<uint8_t> freedPage(dbFirstUserId, 0);
    for (bool again = true; again;) {
        again = false;
        const size_t end = std::min(nCommitted, size_t(dbFirstUserId));
        for (size_t i = dbMetaTableId; i < end; i++) {
            const uint32_t old = committed[i];
            if (!freedPage[i] && old != currentIndex[i] && !(old & dbFreeHandleFlag)) {
                freedPage[i] = 1;
                freeSpace(old & ~dbFlagsMask, objectSize(old));
                again = true;
            }
        }
    }

    // 4. Make the working state durable, then switch, then make the switch durable.
    file.flush();
    section.enter();
    while (s->backupBusy) {
        section.leave();
        backupDoneEvent.wait(dbWaitForever);
        section.enter();
    }
    section.leave();
    h = header();
    h->currentRoot = uint32_t(w);
    file.flush();

    // 5. Root c becomes the next working root, a copy of the state just committed.
    h->root[c].usedIds = uint32_t(currentIds);
    h->root[c].freeIdHead = h->root[w].freeIdHead;
    uint32_t* dirtyPages = s->dirtyIndexPages;
    const size_t firstPartial = nCommitted / dbIndexPageEntries;
    if (h->root[c].indexCapacity == h->root[w].indexCapacity) {
        uint32_t* next = reinterpret_cast<uint32_t*>(base + h->root[c].indexOffset);
        for (size_t p = 0; p < firstPartial; p++) {
            if (testBit(dirtyPages, p)) {
                memcpy(next + p * dbIndexPageEntries, currentIndex + p * dbIndexPageEntries,
                       dbIndexPageEntries * sizeof(uint32_t));
                dirtyPages[p >> 5] &= ~(1u << (p & 31));
            }
        }
        const size_t from = firstPartial * dbIndexPageEntries;
        if (currentIds > from) {
            memcpy(next + from, currentIndex + from, (currentIds - from) * sizeof(uint32_t));
        }
        const size_t pages =
            (size_t(h->root[c].indexCapacity) + dbIndexPageEntries - 1) / dbIndexPageEntries;
        for (size_t p = firstPartial; p < pages; p++) {
            dirtyPages[p >> 5] &= ~(1u << (p & 31));
        }
    } else {
        h->root[c].indexOffset = h->root[w].shadowOffset;
        h->root[c].indexCapacity = h->root[w].shadowCapacity;
        h->root[c].shadowOffset = h->root[w].indexOffset;
        h->root[c].shadowCapacity = h->root[w].indexCapacity;
        uint32_t* next = reinterpret_cast<uint32_t*>(base + h->root[c].indexOffset);
        memcpy(next, currentIndex, currentIds * sizeof(uint32_t));
        memset(dirtyPages, 0, sizeof s->dirtyIndexPages);
    }

    // 6. Publish.
    section.enter();
    modified = 0;
    s->uncommitted = 0;
    s->committing = 0;
    if (accessMode != dbConcurrentUpdate) {
        s->committedRoot = uint32_t(w);
    }
    s->commitCount += 1;
    allocatorCommitCount = s->commitCount;
    section.leave();
    committedIds = currentIds;
    indexes[0] = reinterpret_cast<uint32_t*>(base + h->root[0].indexOffset);
    indexes[1] = reinterpret_cast<uint32_t*>(base + h->root[1].indexOffset);

    // 7.
    if (ctx->readAccess || ctx->writeAccess || ctx->mutatorLocked) {
        unlockDatabase(ctx);
    }
}

// ---- rollback -----------------------------------------------------------------------------------

void dbDatabase::rollbackTransaction() {
    dbDatabaseThreadContext* ctx = threadContext.get();
    if (ctx == nullptr) {
        return;
    }
    dbSharedState* s = monitor;
    section.enter();
    const bool work = modified && (s->uncommitted || ctx->writeAccess || ctx->mutatorLocked ||
                                   uint32_t(ctx->concurrentId) == s->commitCount);
    section.leave();
    if (work) {
        if (!ctx->writeAccess && !ctx->mutatorLocked) {
            lockDatabase(dbExclusiveLock);
        }
        resetAllocator();
        dbHeader* h = header();
        const int c = int(h->currentRoot);
        const int w = 1 - c;
        const uint32_t* committed =
            reinterpret_cast<const uint32_t*>(base + h->root[c].indexOffset);
        uint32_t* shadow = reinterpret_cast<uint32_t*>(base + h->root[c].shadowOffset);
        const size_t limit = std::min(h->root[c].indexCapacity, h->root[c].shadowCapacity);
        const size_t nCommitted = h->root[c].usedIds;
        const size_t pages = (nCommitted + dbIndexPageEntries - 1) / dbIndexPageEntries;
        const bool sameArray = h->root[w].indexOffset == h->root[c].shadowOffset;
        for (size_t p = 0; p < pages; p++) {
            if (!sameArray || testBit(s->dirtyIndexPages, p)) {
                const size_t from = p * dbIndexPageEntries;
                const size_t n = std::min(dbIndexPageEntries, limit - from);
                memcpy(shadow + from, committed + from, n * sizeof(uint32_t));
            }
        }
        h->root[w].indexOffset = h->root[c].shadowOffset;
        h->root[w].indexCapacity = h->root[c].shadowCapacity;
        h->root[w].usedIds = h->root[c].usedIds;
        h->root[w].freeIdHead = h->root[c].freeIdHead;
        section.enter();
        memset(s->dirtyIndexPages, 0, sizeof s->dirtyIndexPages);
        modified = 0;
        s->uncommitted = 0;
        s->commitCount += 1;
        allocatorCommitCount = s->commitCount;
        section.leave();
        indexes[c] = const_cast<uint32_t*>(committed);
        indexes[w] = shadow;
        currentIndex = shadow;
        currentIds = committedIds = nCommitted;
        repairLastRows();
    }
    section.enter();
    const bool users = s->users != 0;
    section.leave();
    if (users && (ctx->readAccess || ctx->writeAccess || ctx->mutatorLocked)) {
        unlockDatabase(ctx);
    }
}

// ---- delayed commit
// -------------------------------------------------------------------------------

void dbDatabase::delayedCommitProc(void* arg) {
    static_cast<dbDatabase*>(arg)->delayedCommit();
}

void dbDatabase::delayedCommit() {
    commitStartLock.lock();
    commitThreadReady.signal();
    while (!stopCommitThread) {
        commitStartEvent.wait(commitStartLock);
        commitStartEvent.reset();
        bool timerRuns = false;
        {
            dbCriticalSection cs(commitTimerLock);
            section.enter();
            const bool idle = monitor->pendingBegins == 0;
            section.leave();
            if (!stopCommitThread && idle) {
                timerStart = time(nullptr);
                timerRuns = true;
            }
        }
        if (timerRuns) {
            commitStopEvent.wait(commitStartLock, commitTimeout * 1000);
            commitStopEvent.reset();
        }
        // The write happens under commitTimerLock, so a thread starting a transaction while
        // its own commit is being written waits for it (lockDatabase step 1).
        dbCriticalSection timer(commitTimerLock);
        dbDatabaseThreadContext* ctx = delayedCommitContext;
        if (ctx != nullptr) {
            commitTimeout = commitDelay;
            delayedCommitContext = nullptr;
            section.enter();
            monitor->delayedCommitOwner = 0;
            section.leave();
            threadContext.set(ctx);
            // The lock belongs to the context, not to the thread: carry it over.
            section.enter();
            if (monitor->ownerThread == ctx->threadId) {
                monitor->ownerThread = dbThread::getCurrentThreadId();
            }
            section.leave();
            const uint32_t owner = ctx->threadId;
            ctx->threadId = dbThread::getCurrentThreadId();
            writeCommit(ctx);
            ctx->threadId = owner;
            ctx->commitDelayed = 0;
            threadContext.set(nullptr);
            if (ctx->removeContext) {
                dbCriticalSection cs(threadContextsMutex);
                delete ctx;
            }
        }
    }
    commitStartLock.unlock();
}

// ---- close
// ----------------------------------------------------------------------------------------

void dbDatabase::closeDatabase() {
    if (!isOpen) {
        return;
    }
    detachThread(COMMIT | DESTROY_CONTEXT);
    if (commitDelay != 0) {
        commitStopEvent.signal();
        {
            dbCriticalSection cs(commitStartLock);
            stopCommitThread = 1;
            commitStartEvent.signal();
        }
        commitDelay = 0;
        commitThread.join();
    }
    isOpen = 0;

    dbSharedState* s = monitor;
    section.enter();
    s->users -= 1;
    const bool writable = accessMode == dbAllAccess || accessMode == dbConcurrentUpdate;
    // Work left uncommitted (by a thread still attached, or detached without commit) is not
    // declared clean: the next first opener recovers the committed state instead.
    if (base != nullptr && header()->dirty && writable && s->writers == 0 && !modified &&
        !s->uncommitted) {
        file.flush();
        header()->dirty = 0;
        file.flush();
    }
    section.leave();
    {
        // Contexts of threads that never detached give their locks back, so that other
        // processes on the database are not left waiting for them.
        dbCriticalSection cs(threadContextsMutex);
        while (!threadContexts.isEmpty()) {
            auto* ctx = static_cast<dbDatabaseThreadContext*>(threadContexts.next);
            if (ctx->readAccess || ctx->writeAccess || ctx->mutatorLocked) {
                unlockDatabase(ctx);
            }
            resetCursors(ctx);
            delete ctx;
        }
    }
    threadContext.set(nullptr);

    unbindTables();
    file.close();
    base = nullptr;
    currentIndex = nullptr;
    indexes[0] = indexes[1] = nullptr;
    delete[] objectNameBuffer;
    objectNameBuffer = nullptr;
    delete[] dataFileName;
    dataFileName = nullptr;
    openGate.close();
    writersSemaphore.close();
    readersSemaphore.close();
    upgradeSemaphore.close();
    backupDoneEvent.close();
    commitStopEvent.close();
    commitStartEvent.close();
    commitThreadReady.close();
    backupInitEvent.close();
    section.close();
    writerSection.close();
    sharedBlock.close();
    monitor = nullptr;
}
