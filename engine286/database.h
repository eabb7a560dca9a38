// dbDatabase: one database file mapped whole into memory, used as a heap of objects addressed
// by 32-bit object ids, with the transactions, locks and row operations built on it.
//
// Where the methods are defined:
//   database.cpp        construction, destruction, handleError
//   object_store.cpp    object index, ids, copy on write, the bitmap allocator, growth of the
//                       file and remapping, row chains, formatting a new file
//   hash_table.cpp, ttree.cpp   field indexes (dbHashTable, dbTtree) over the object store
//   schema.cpp          stored schema of the tables (dbTableDescriptor's schema operations)
//   transaction.cpp     open, close, locking, commit, rollback, attach/detach, delayed commit
//   cursor.cpp          insertRecord, updateRecord, removeRecord, inverse references, cursors
//
// Invariants of the object store (all offsets are file offsets, all ids 32-bit):
//   1. header.root[currentRoot] is the committed state; its index array is never written
//      while it is the committed one. Everything a transaction changes is reached through the
//      other root's array (currentIndex): objects, bitmap pages and index pages are copied on
//      their first change in a transaction (copy on write), so a commit is the switch of
//      currentRoot, and a crash at any moment leaves the committed state intact.
//   2. An index entry is either free (bit 31: next free id in the low bits) or the offset of
//      a live object (16-aligned) with its kind in the low three bits. Id 0 is always free;
//      ids 2..8193 are the bitmap pages (0x80000000 while the page does not exist yet).
//   3. A bitmap bit is set exactly for the 16-byte quanta that hold an object reachable from
//      either root (or the preamble: header page, the first index arrays, bitmap pages); space
//      of an object still referenced by the committed root is freed only by the commit.
//   4. maxHole[page] never understates the longest free run (in quanta) a page can supply; the
//      largest positive value means "no hint".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "class.h"
#include "file_format.h"
#include "mapped_file.h"
#include "sync_w32.h"

class dbAnyCursor;

class dbDatabase {
  public:
    enum dbAccessType : byte {
        dbReadOnly = 0,
        dbAllAccess = 1,
        dbConcurrentRead = 2,
        dbConcurrentUpdate = 3
    };

    enum dbErrorClass {
        NoError = 0,
        QueryError = 1,
        ArithmeticError = 2,
        IndexOutOfRangeError = 3,
        DatabaseOpenError = 4,
        FileError = 5,
        OutOfMemoryError = 6,
        Deadlock = 7,
        NullReferenceError = 8,
        LockRevoked = 9,
        FileLimitExeeded = 10,
        InconsistentInverseReference = 11,
        DatabaseReadOnly = 12
    };

    // Lock modes of lockDatabase.
    enum dbLockType { dbSharedLock = 0, dbExclusiveLock = 1, dbExclusiveNoRefresh = 2 };

    // detachThread flags.
    enum { COMMIT = 1, DESTROY_CONTEXT = 2 };

    static constexpr unsigned dbWaitLockTimeoutInfinite = dbWaitForever;
    static constexpr size_t dbDefaultExtensionQuantum = 4 * 1024 * 1024;
    static constexpr size_t dbDefaultInitIndexSize = 8 * 1024;

    using dbErrorHandler = void (*)(int code, const char* msg, int arg);

    dbDatabase(dbAccessType type = dbAllAccess, size_t initialFileSize = 0,
               size_t growQuantum = dbDefaultExtensionQuantum,
               size_t initialIndexSize = dbDefaultInitIndexSize, int sortThreads = 1);
    virtual void handleError(int code, const char* msg = nullptr, int arg = 0);
    virtual ~dbDatabase();
    dbDatabase(const dbDatabase&) = delete;
    dbDatabase& operator=(const dbDatabase&) = delete;

    // ---- open, close, transactions (transaction.cpp) ----
    bool openDatabase(const char* name, const char* fileName = nullptr,
                      unsigned lockTimeout = dbWaitLockTimeoutInfinite, unsigned commitDelay = 0);
    void closeDatabase();
    void commitTransaction();
    void rollbackTransaction();
    void attachThread();
    void detachThread(int flags = COMMIT | DESTROY_CONTEXT);
    bool lockDatabase(int lockMode);
    void unlockDatabase(dbDatabaseThreadContext* ctx);
    bool isOpened() const { return isOpen != 0; }
    void setErrorHandler(dbErrorHandler h) { errorHandler = h; }

    // ---- rows (cursor.cpp) ----
    oid_t insertRecord(dbTableDescriptor* table, const void* object);
    void updateRecord(oid_t id, dbTableDescriptor* table, const void* object);
    void removeRecord(dbTableDescriptor* table, oid_t id);
    void removeInverseReferences(dbTableDescriptor* table, oid_t id);
    void removeInverseReference(dbFieldDescriptor* fd, oid_t from, oid_t to);
    void addInverseReference(dbFieldDescriptor* fd, oid_t from, oid_t to);
    // Cursors of the calling thread positioned on `id` fetch their row again.
    void refreshCursors(oid_t id, bool removed = false);

    // ---- object store (object_store.cpp) ----
    dbHeader* header() const { return reinterpret_cast<dbHeader*>(base); }
    // Index entry of `id` in the working index.
    uint32_t& entry(oid_t id) const { return currentIndex[id]; }
    byte* objectAt(oid_t id);
    // Address of an internal object (any kind but 0) for reading.
    byte* internalObjectAt(oid_t id);
    byte* objectForUpdate(oid_t id);
    byte* resizeRow(oid_t id, size_t newSize);
    byte* pageForUpdate(oid_t id);
    dbTable* tableRow(oid_t id) { return reinterpret_cast<dbTable*>(objectAt(id)); }
    dbTable* tableRowForUpdate(oid_t id) { return reinterpret_cast<dbTable*>(objectForUpdate(id)); }

    oid_t newObjectId(size_t n = 1);
    void releaseObjectId(oid_t id, size_t n = 1);
    void markIndexPageDirty(oid_t id);

    offs_t allocSpace(size_t size, oid_t id = 0);
    void freeSpace(offs_t offset, size_t size);
    void privatizeBitmapRange(offs_t offset, size_t size);
    // Size in bytes of the object an entry points to.
    size_t objectSize(uint32_t entry) const;

    oid_t newInternalObject(dbObjectKind kind);
    void dropInternalObject(oid_t id);
    // A fresh kind-0 object (not a row) of `size` bytes whose first word is its size.
    oid_t allocateObject(size_t size);
    void dropObject(oid_t id);

    oid_t appendRow(oid_t tableId, size_t size);
    void unlinkRow(oid_t tableId, oid_t rowId);
    // A committed table's last row may have a non-zero `next` written in place by an append
    // that was never committed; clear it for "Metatable" and every table.
    void repairLastRows();

    void growFile(size_t requiredEnd);
    bool followRemap();
    void markFileDirty();

    // Formats a freshly mapped file (the first opener decides when); the "Metatable" row is id 1.
    void formatFile();
    // Opens the data file `dataFileName` with the mapping name of generation `mappedGeneration`;
    // returns 0 or the system error.
    int openDataFile(bool readOnly, size_t initialSize);
    // Index capacity and file size a new file gets from the construction parameters.
    size_t newIndexCapacity() const;
    size_t newFileSize(size_t indexCapacity) const;
    // Sets the allocation cursors, hints and reserved regions to their state at a transaction
    // start.
    void resetAllocator();
    // Keeps the database name in objectNameBuffer with room for the suffixes of the named
    // objects; mappingName builds "%s.%d" of a generation there.
    void setObjectName(const char* name);
    const char* mappingName(unsigned generation);
    // True while `id` refers to the same object in the committed and the working index.
    bool isShared(oid_t id) const { return id < committedIds && indexes[0][id] == indexes[1][id]; }

    // ---- parameters ----
    dbAccessType accessMode;
    size_t initialFileSize;
    size_t growQuantum;
    size_t initialIndexSize;
    int sortThreads;

    // ---- object store state ----
    byte* base = nullptr;  // address of the mapping, also the header
    uint32_t* indexes[2] = {nullptr, nullptr};
    uint32_t* currentIndex = nullptr;
    size_t committedIds = 0;
    size_t currentIds = 0;
    byte modified = 0;

    struct dbAllocCursor {
        oid_t page;       // bitmap page id
        size_t position;  // byte in the page
    };
    dbAllocCursor smallCursor = {dbBitmapId, 0};
    dbAllocCursor pageCursor = {dbBitmapId, 0};

    struct dbRegion {
        offs_t offset;
        size_t size;
    };
    std::vector<dbRegion> reservedRegions;
    uint32_t* maxHole = nullptr;  // one per bitmap page id (8194)
    unsigned mappedGeneration = 0;

    char* objectNameBuffer = nullptr;  // database name with room for a suffix
    size_t objectNameLength = 0;       // length of the database name in the buffer
    char* dataFileName = nullptr;
    dbErrorHandler errorHandler = nullptr;

    dbL2List threadContexts;
    dbMutex threadContextsMutex;
    dbThreadPool threadPool;
    dbThreadContext<dbDatabaseThreadContext> threadContext;

    dbSharedState* monitor = nullptr;  // the shared state block
    dbSharedBlock sharedBlock;
    dbMappedFile file;
    dbTableDescriptor* tables = nullptr;

    // ---- transactions, locking, open and close ----
    unsigned lockTimeout = dbWaitLockTimeoutInfinite;
    byte isOpen = 0;
    unsigned commitDelay = 0;
    unsigned commitTimeout = 0;
    time_t timerStart = 0;
    byte stopCommitThread = 0;
    dbThread commitThread;
    dbMutex commitStartLock;
    dbMutex commitTimerLock;
    dbWaitEvent commitStartEvent;
    dbWaitEvent commitThreadReady;
    dbWaitEvent commitStopEvent;
    dbProcessSection section;
    dbProcessSection writerSection;
    dbOpenGate openGate;
    dbCountingSemaphore writersSemaphore;
    dbCountingSemaphore readersSemaphore;
    dbCountingSemaphore upgradeSemaphore;
    dbWaitEvent backupDoneEvent;
    dbWaitEvent backupInitEvent;                              // reserved for a backup thread
    dbDatabaseThreadContext* delayedCommitContext = nullptr;  // process-local owner
    std::vector<oid_t> cascadeVisited;
    byte dropAllowed = 0;
    oid_t updatedRowId = 0;

    // members used by transactions and cursors
    std::string objectPrefix;           // name of the companion objects: database name ~ file tag
    char nameScratch[256] = {};         // the name of one companion object being opened
    uint32_t allocatorCommitCount = 0;  // S.commitCount when the allocator hints were valid
    const char* objectName(const char* suffix);
    void openFailed(const char* msg);
    bool openObjects(unsigned delay);
    void releaseAfterFailedOpen();
    void recoverWorkingRoot(bool setFileSize);
    void bindTable(dbTableDescriptor* desc, oid_t rowId);
    void unbindTables();
    // The descriptor of this database for a registered descriptor (its private copy, if any).
    dbTableDescriptor* tableFor(dbTableDescriptor* desc);
    dbTableDescriptor* findTable(const char* name) const;
    void dropStoredIndexes(const dbTable* row);
    void rewriteTableRow(dbTableDescriptor* desc, oid_t rowId);
    void convertTable(dbTableDescriptor* desc, oid_t rowId);
    bool tableRowUnchanged(oid_t rowId) const;
    bool updateFieldIndexes(dbTableDescriptor* desc, bool first);
    bool reconcileSchema(bool first);
    void resetCursors(dbDatabaseThreadContext* ctx);
    bool lockTimedOut();
    void recoverAfterDeadWriter();
    void waitForSharedLock();
    void waitForExclusiveLock();
    void waitForUpgrade();
    void freeOldVersion(const uint32_t* committed, oid_t id);
    void writeCommit(dbDatabaseThreadContext* ctx);
    static void delayedCommitProc(void* arg);
    void delayedCommit();
    void changeIndexes(dbTableDescriptor* table, oid_t id, bool insert, bool onlyChanged,
                       size_t hint);
    // (end of members used by transactions and cursors)

  private:
    void setBitmapRun(uint64_t quantum, size_t quanta);
    offs_t growWithNewBitmapPages(size_t size, oid_t id, bool pageRequest);
    offs_t placeObject(offs_t offset, size_t size, oid_t id, bool pageRequest);
    bool overlapsReserved(uint64_t offset, size_t size) const;
    oid_t firstMissingBitmapPage() const;
};

// Internal consistency check: a failure raises dbException with code 0 and no message.
#define dbAssert(cond)            \
    do {                          \
        if (!(cond))              \
            throw dbException(0); \
    } while (0)
