// Byte layout of a database file and of the shared state block, shared by every reader and
// writer of the format (the object store, the transaction code, the schema code, kstool).
//
// Everything here is stored little-endian, 32-bit unless stated; the structures below are laid
// out exactly as on disk and are used in place on the mapped file. Changing any value or
// structure here changes the stored format that other processes and later versions read.
#pragma once

#include <cstddef>
#include <cstdint>

using oid_t = uint32_t;
using offs_t = uint32_t;
using byte = unsigned char;

// ---- geometry --------------------------------------------------------------------------------
constexpr size_t dbPageSize = 4096;
constexpr size_t dbPageBits = 12;
constexpr size_t dbAllocationQuantum = 16;  // one bitmap bit stands for 16 bytes
constexpr size_t dbAllocationQuantumBits = 4;
constexpr size_t dbQuantaPerPageRequest = dbPageSize / dbAllocationQuantum / 8;  // 32 bitmap bytes
constexpr size_t dbBitmapPageCoverage = dbPageSize * 8 * dbAllocationQuantum;    // 524288 bytes
constexpr size_t dbBitmapPageCount = 8192;  // 8192 × 512K = 4G
// Bytes of file a bitmap page can hand out once its own quanta and the rest of the preamble are
// counted out; used to decide how many bitmap pages a file of a given size needs.
constexpr size_t dbBitmapSegmentSize = dbBitmapPageCoverage - 2 * dbPageSize;  // 516096
constexpr size_t dbFileSizeQuantum = 524288;   // a new file is a multiple of this
constexpr size_t dbDefaultFileSize = 1048576;  // initialFileSize 0 means this
constexpr size_t dbIndexPageEntries = 1024;    // entries per index page (copy on write unit)
constexpr size_t dbIndexPageBits = 10;
constexpr size_t dbHeaderPageOffset = 4096;  // first index array starts here

// Offsets live in bits 3..30 of an index entry, so an object must end below 2 GB.
constexpr uint64_t dbMaxObjectEnd = 0x80000000u;

// ---- reserved object ids ---------------------------------------------------------------------
constexpr oid_t dbNullId = 0;
constexpr oid_t dbMetaTableId = 1;
constexpr oid_t dbBitmapId = 2;                                  // bitmap page k has id k + 2
constexpr oid_t dbFirstUserId = dbBitmapId + dbBitmapPageCount;  // 8194

// ---- object index entries --------------------------------------------------------------------
constexpr uint32_t dbFreeHandleFlag = 0x80000000u;  // id free; low 31 bits: next free id
constexpr uint32_t dbFlagsMask = 7;                 // low three bits: object kind
constexpr uint32_t dbFlagsBits = 3;

enum dbObjectKind : uint32_t {
    dbRowObject = 0,            // size in the object's first word
    dbPageObject = 1,           // 4096: bitmap pages, bucket pages
    dbTtreeObject = 2,          // 4: T-tree root holder
    dbTtreeNodeObject = 3,      // 512: T-tree page
    dbHashTableObject = 4,      // 12: hash table header
    dbHashTableItemObject = 5,  // 12: hash chain item
    dbInternalPageObject = 6    // 4096
};
constexpr uint32_t dbInternalObjectSize[8] = {0, 4096, 4, 512, 12, 12, 4096, 0};

// ---- header ----------------------------------------------------------------------------------
struct dbRoot {
    offs_t indexOffset;       // this root's index array
    offs_t shadowOffset;      // spare array that the other root takes next
    uint32_t indexCapacity;   // entries
    uint32_t shadowCapacity;  // entries
    uint32_t usedIds;         // next fresh id
    oid_t freeIdHead;         // head of the released-id chain, 0 when empty
};
static_assert(sizeof(dbRoot) == 24);

struct dbHeader {
    uint32_t fileSize;
    uint32_t currentRoot;  // 0 or 1: the root holding the committed state
    uint32_t dirty;
    uint32_t initialized;
    dbRoot root[2];
    uint32_t versionMajor;
    uint32_t versionMinor;
};
static_assert(sizeof(dbHeader) == 72);
constexpr uint32_t dbVersionMajor = 2;
constexpr uint32_t dbVersionMinor = 86;

// ---- stored records --------------------------------------------------------------------------
struct dbVarying {  // string: (length with zero, offset); array: (count, offset)
    uint32_t size;
    uint32_t offs;
};

struct dbRecord {  // header of every row
    uint32_t size;
    oid_t next;
    oid_t prev;
};
static_assert(sizeof(dbRecord) == 12);

// A row of "Metatable": one table of the database.
struct dbTable : dbRecord {
    dbVarying name;
    dbVarying fields;
    uint32_t fixedSize;
    uint32_t nRows;
    uint32_t nColumns;
    oid_t firstRow;
    oid_t lastRow;
};
static_assert(sizeof(dbTable) == 48);

// One field record of a "Metatable" row; string offsets are relative to the field record.
struct dbField {
    dbVarying name;
    dbVarying tableName;
    dbVarying inverse;
    int32_t type;
    int32_t offset;
    int32_t size;
    oid_t hashTable;
    oid_t tTree;
};
static_assert(sizeof(dbField) == 44);

// ---- index structures ------------------------------------------------------------------------
struct dbHashTableHeader {  // kind 4
    uint32_t bucketCount;
    uint32_t usedBuckets;
    oid_t firstBucketPage;
};
static_assert(sizeof(dbHashTableHeader) == 12);
constexpr uint32_t dbHashBucketsPerPage = 1024;
constexpr uint32_t dbInitHashTableSize = 16383;

struct dbHashTableItem {  // kind 5
    oid_t next;
    oid_t record;
    uint32_t hash;
};
static_assert(sizeof(dbHashTableItem) == 12);

constexpr int dbTtreePageRows = 125;
struct dbTtreeNode {  // kind 3
    oid_t left;
    oid_t right;
    int8_t balance;  // -1 left higher, 0, +1 right higher
    uint8_t unused;
    uint16_t nItems;
    oid_t item[dbTtreePageRows];
};
static_assert(sizeof(dbTtreeNode) == 512);

// ---- shared state block "%s.dm" --------------------------------------------------------------
constexpr size_t dbDirtyPageBitmapSize = 524288;

struct dbSharedState {
    int32_t sectionCount;        // counter of the process section "%s.cs"
    int32_t writerSectionCount;  // counter of "%s.mcs"
    uint32_t readers;
    uint32_t writers;
    uint32_t waitingReaders;
    uint32_t waitingWriters;
    uint32_t upgradeWaiting;
    uint32_t pendingBegins;
    uint32_t backupBusy;
    uint32_t uncommitted;
    uint32_t committedRoot;
    uint32_t committing;
    uint32_t commitCount;
    uint32_t lastRecoveryTick;
    uint32_t fileGeneration;
    uint32_t users;
    uint32_t ownerThread;
    uint32_t delayedCommitOwner;  // non-zero while a commit is delayed (the context lives in
                                  // the process that delayed it: dbDatabase::delayedCommitContext)
    uint32_t dirtyIndexPages[dbDirtyPageBitmapSize / 4];
};
static_assert(sizeof(dbSharedState) == 524360);
