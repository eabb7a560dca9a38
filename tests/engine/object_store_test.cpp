// The object store: the geometry of a new file (on the file's bytes), the allocator, copy on
// write, ids, growth of the file, row chains and the error handler's codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <vector>

#include "schema.h"
#include "store_fixture.h"

namespace {

std::vector<byte> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<byte>(std::istreambuf_iterator<char>(in), {});
}

uint32_t word(const std::vector<byte>& f, size_t offset) {
    uint32_t v;
    memcpy(&v, f.data() + offset, 4);
    return v;
}

// Bit of `offset` in the first two bitmap pages (at 528384 and 532480).
bool bitSet(const std::vector<byte>& f, uint64_t offset) {
    offs_t bitmapPage = offset < 524288 ? 528384 : 532480;
    size_t q = offset / 16;
    return f[bitmapPage + (q % 32768) / 8] & (1 << (q % 8));
}

TEST(ObjectStore, ClientStoreGeometryOnDisk) {
    StoreFixture s;  // initial size 1048576, index 65536 entries, as the client's store
    std::vector<byte> f = readFile(s.path);
    ASSERT_EQ(f.size(), 1048576u);
    EXPECT_EQ(word(f, 0), 1048576u);  // fileSize
    EXPECT_EQ(word(f, 4), 0u);        // currentRoot
    EXPECT_EQ(word(f, 8), 1u);        // dirty
    EXPECT_EQ(word(f, 12), 1u);       // initialized
    EXPECT_EQ(word(f, 16), 4096u);    // root 0 indexOffset
    EXPECT_EQ(word(f, 20), 266240u);  // root 0 shadowOffset = root 1 indexOffset
    EXPECT_EQ(word(f, 24), 65536u);   // indexCapacity
    EXPECT_EQ(word(f, 28), 65536u);   // shadowCapacity
    EXPECT_EQ(word(f, 32), 8194u);    // usedIds
    EXPECT_EQ(word(f, 36), 0u);       // freeIdHead
    EXPECT_EQ(word(f, 40), 266240u);  // root 1 indexOffset: the arrays span 4096..528383
    EXPECT_EQ(word(f, 44), 4096u);
    EXPECT_EQ(word(f, 40) + 4 * word(f, 48), 528384u);
    EXPECT_EQ(word(f, 64), 2u);
    EXPECT_EQ(word(f, 68), 86u);
    for (offs_t root : {4096u, 266240u}) {
        EXPECT_EQ(word(f, root + 0), 0x80000000u);   // id 0
        EXPECT_EQ(word(f, root + 4), 536576u);       // "Metatable" row, id 1
        EXPECT_EQ(word(f, root + 8), 528384u | 1);   // bitmap page 0
        EXPECT_EQ(word(f, root + 12), 532480u | 1);  // bitmap page 1
        EXPECT_EQ(word(f, root + 16), 0x80000000u);  // bitmap page 2 absent
        EXPECT_EQ(word(f, root + 4 * 8193), 0x80000000u);
    }
    // Every quantum up to 536576 is taken, then the "Metatable" row, then free space.
    for (uint64_t off : {0ull, 4096ull, 528368ull, 528384ull, 536560ull}) {
        EXPECT_TRUE(bitSet(f, off)) << off;
    }
    size_t metaSize = dbMetaTableRowSize();
    EXPECT_EQ(word(f, 536576), metaSize);
    EXPECT_TRUE(bitSet(f, 536576 + metaSize - 1));
    EXPECT_FALSE(bitSet(f, (536576 + metaSize + 15) / 16 * 16));
    EXPECT_FALSE(bitSet(f, 600000));
}

TEST(ObjectStore, ShortFilesAreFormattedOrRefused) {
    StoreFixture s;
    std::string shortFile = s.dir + "/short.kst";
    {
        std::ofstream out(shortFile, std::ios::binary);
        out << "stray";
    }
    dbDatabase db(dbDatabase::dbAllAccess, 0, 4194304, 65536);
    db.setObjectName(shortFile.c_str());
    db.dataFileName = new char[shortFile.size() + 1];
    memcpy(db.dataFileName, shortFile.c_str(), shortFile.size() + 1);
    ASSERT_EQ(db.openDataFile(false, 1048576), 0);
    db.formatFile();
    EXPECT_EQ(db.header()->fileSize, 1048576u);
    EXPECT_EQ(db.file.getSize(), 1048576u);
    EXPECT_EQ(db.header()->initialized, 1u);
    db.file.close();

    std::string emptyFile = s.dir + "/empty.kst";
    { std::ofstream out(emptyFile, std::ios::binary); }
    dbDatabase reader(dbDatabase::dbReadOnly);
    reader.setObjectName(emptyFile.c_str());
    reader.dataFileName = new char[emptyFile.size() + 1];
    memcpy(reader.dataFileName, emptyFile.c_str(), emptyFile.size() + 1);
    EXPECT_NE(reader.openDataFile(true, 0), 0);
}

TEST(ObjectStore, NewFileGeometryFollowsTheParameters) {
    struct Case {
        size_t initialSize, indexSize;
        uint32_t capacity, fileSize, bitmapPages;
    } cases[] = {
        {1048576, 65536, 65536, 1048576, 2},
        {0, 0, 9216, 1048576, 1},         // at least 8194 entries, a multiple of 1024
        {100000, 8194, 9216, 524288, 1},  // a multiple of 524288
        {0, 200000, 200704, 3670016, 4},  // at least 16 bytes per index entry
    };
    for (const Case& c : cases) {
        StoreFixture s(c.initialSize, c.indexSize);
        dbHeader* h = s.db.header();
        EXPECT_EQ(h->root[0].indexCapacity, c.capacity);
        EXPECT_EQ(h->fileSize, c.fileSize);
        EXPECT_EQ(s.db.file.getSize(), c.fileSize);
        const offs_t p = offs_t(4096 + 8 * c.capacity);
        for (uint32_t i = 0; i < c.bitmapPages; i++) {
            EXPECT_EQ(s.db.currentIndex[dbBitmapId + i], (p + 4096 * i) | dbPageObject);
        }
        EXPECT_EQ(s.db.currentIndex[dbBitmapId + c.bitmapPages], dbFreeHandleFlag);
        const offs_t firstFree = p + 4096 * c.bitmapPages;
        EXPECT_TRUE(s.quantumUsed(firstFree - 16));
        EXPECT_EQ(s.db.currentIndex[dbMetaTableId], firstFree);  // "Metatable" comes first
    }
}

TEST(ObjectStore, SmallAndPageAllocations) {
    StoreFixture s;
    offs_t a = s.db.allocSpace(100);
    EXPECT_EQ(a % 16, 0u);
    for (int i = 0; i < 7; i++) {
        EXPECT_TRUE(s.quantumUsed(a + 16 * i));
    }
    EXPECT_FALSE(s.quantumUsed(a + 112));  // 100 bytes take 7 quanta
    offs_t p = s.db.allocSpace(4096);
    EXPECT_EQ(p % 4096, 0u);
    offs_t p2 = s.db.allocSpace(8192);
    EXPECT_EQ(p2 % 4096, 0u);
    EXPECT_TRUE(p2 >= p + 4096 || p2 + 8192 <= p);
}

TEST(ObjectStore, FreedBlockBehindSmallCursorIsReused) {
    StoreFixture s;
    offs_t a = s.db.allocSpace(100);
    offs_t b = s.db.allocSpace(100);
    EXPECT_GT(b, a);
    s.db.freeSpace(a, 100);
    EXPECT_FALSE(s.quantumUsed(a));
    EXPECT_EQ(s.db.allocSpace(100), a);
}

TEST(ObjectStore, RandomAllocationsNeverOverlap) {
    StoreFixture s(1048576, 8194, 1048576);
    std::mt19937 rng(7);
    std::map<offs_t, size_t> live;
    for (int step = 0; step < 3000; step++) {
        if (live.empty() || rng() % 3 != 0) {
            size_t size = rng() % 4 == 0 ? 4096 * (1 + rng() % 4) : 1 + rng() % 3000;
            offs_t pos = s.db.allocSpace(size);
            size_t rounded = (size + 15) / 16 * 16;
            auto next = live.lower_bound(pos);
            if (next != live.end()) {
                ASSERT_LE(pos + rounded, next->first) << "overlaps the next block";
            }
            if (next != live.begin()) {
                auto prev = std::prev(next);
                ASSERT_LE(prev->first + prev->second, pos) << "overlaps the previous block";
            }
            if (size % 4096 == 0) {
                ASSERT_EQ(pos % 4096, 0u);
            }
            ASSERT_LE(pos + rounded, s.db.header()->fileSize);
            live[pos] = rounded;
        } else {
            auto it = live.begin();
            std::advance(it, rng() % live.size());
            s.db.freeSpace(it->first, it->second);
            live.erase(it);
        }
    }
    for (auto& [pos, size] : live) {
        ASSERT_TRUE(s.quantumUsed(pos) && s.quantumUsed(pos + size - 16));
    }
}

TEST(ObjectStore, GrowthAddsBitmapPagesAndAtLeastDoublesTheFile) {
    StoreFixture s;
    const size_t oldSize = s.db.header()->fileSize;
    ASSERT_EQ(s.db.currentIndex[dbBitmapId + 2], dbFreeHandleFlag);
    const size_t size = 3 * 1048576;  // larger than every free run
    offs_t pos = s.db.allocSpace(size);
    EXPECT_GE(s.db.header()->fileSize, 2 * oldSize);
    EXPECT_EQ(s.db.file.getSize(), s.db.header()->fileSize);
    EXPECT_LE(pos + size, s.db.header()->fileSize);
    // ceil(4194304 / 516096) = 9 new bitmap pages, the first just after the object's part in
    // the new area.
    for (oid_t id = dbBitmapId + 2; id < dbBitmapId + 11; id++) {
        ASSERT_NE(s.db.currentIndex[id] & dbFreeHandleFlag, dbFreeHandleFlag) << id;
        EXPECT_EQ(s.db.currentIndex[id] & dbFlagsMask, dbPageObject);
    }
    EXPECT_EQ(s.db.currentIndex[dbBitmapId + 11], dbFreeHandleFlag);
    offs_t firstNew = s.db.currentIndex[dbBitmapId + 2] & ~dbFlagsMask;
    EXPECT_EQ(firstNew, (pos + size + 4095) / 4096 * 4096);
    EXPECT_TRUE(s.quantumUsed(pos));
    EXPECT_TRUE(s.quantumUsed(pos + size - 16));
    EXPECT_TRUE(s.quantumUsed(firstNew));
    // The space is usable.
    memset(s.db.base + pos, 0xAB, size);
    offs_t after = s.db.allocSpace(100);
    EXPECT_TRUE(after + 112 <= pos || after >= pos + size);
}

TEST(ObjectStore, CopyOnWriteOfACommittedRow) {
    StoreFixture s;
    byte* committed = s.db.objectAt(dbMetaTableId);
    ASSERT_TRUE(s.db.isShared(dbMetaTableId));
    byte* first = s.db.objectForUpdate(dbMetaTableId);
    EXPECT_NE(first, committed);
    EXPECT_EQ(memcmp(first, committed, dbMetaTableRowSize()), 0);
    EXPECT_EQ(s.db.objectForUpdate(dbMetaTableId), first);
    EXPECT_FALSE(s.db.isShared(dbMetaTableId));
    // The committed index still points at the old copy, whose space stays taken.
    uint32_t committedEntry = s.db.indexes[s.db.header()->currentRoot][dbMetaTableId];
    EXPECT_EQ(s.db.base + committedEntry, committed);
    EXPECT_TRUE(s.quantumUsed(committedEntry));
    // The index page of id 1 is marked for the commit.
    EXPECT_TRUE(s.state->dirtyIndexPages[0] & 1);
}

// Everything in the working index becomes the committed state (the root switch aside).
void makeCommitted(StoreFixture& s) {
    int c = int(s.db.header()->currentRoot);
    memcpy(s.db.indexes[c], s.db.currentIndex, s.db.currentIds * sizeof(uint32_t));
    s.db.committedIds = s.db.currentIds;
    s.db.header()->root[c].usedIds = uint32_t(s.db.currentIds);
    memset(s.state->dirtyIndexPages, 0, sizeof s.state->dirtyIndexPages);
}

bool committedBit(StoreFixture& s, offs_t offset) {
    int c = int(s.db.header()->currentRoot);
    uint32_t e = s.db.indexes[c][dbBitmapId + offset / dbBitmapPageCoverage];
    size_t q = (offset % dbBitmapPageCoverage) / 16;
    return s.db.base[(e & ~dbFlagsMask) + q / 8] & (1 << (q % 8));
}

TEST(ObjectStore, CopyOnWriteOfBitmapAndIndexPages) {
    StoreFixture s;
    s.db.newObjectId(30000);
    oid_t kept = s.db.allocateObject(64);
    oid_t changed = s.db.allocateObject(64);
    ASSERT_EQ(changed, dbFirstUserId + 30001);
    makeCommitted(s);
    const int c = int(s.db.header()->currentRoot);
    const oid_t bitmapPage = dbBitmapId + 1;  // covers the objects above 524288
    ASSERT_EQ(s.db.indexes[c][bitmapPage], s.db.currentIndex[bitmapPage]);

    offs_t before = s.db.currentIndex[changed];
    byte* copy = s.db.objectForUpdate(changed);
    offs_t after = offs_t(copy - s.db.base);
    EXPECT_NE(after, before);
    // The index page of the id (page 37: word 1, bit 5) is marked; the bitmap page was copied
    // and only the copy knows the new object.
    EXPECT_TRUE(s.state->dirtyIndexPages[changed >> 15] & (1u << ((changed >> 10) & 31)));
    EXPECT_NE(s.db.indexes[c][bitmapPage], s.db.currentIndex[bitmapPage]);
    EXPECT_TRUE(s.quantumUsed(after));
    EXPECT_FALSE(committedBit(s, after));
    EXPECT_TRUE(committedBit(s, before));

    // A private object is freed at once; a committed one keeps its space until the commit.
    s.db.dropObject(changed);
    EXPECT_FALSE(s.quantumUsed(after));
    offs_t keptAt = s.db.currentIndex[kept];
    s.db.dropObject(kept);
    EXPECT_TRUE(s.db.currentIndex[kept] & dbFreeHandleFlag);
    EXPECT_TRUE(s.quantumUsed(keptAt));
    EXPECT_EQ(s.db.indexes[c][kept], keptAt);
}

// Every object reachable from either index (bitmap pages included), each counted once.
std::map<offs_t, size_t> reachable(StoreFixture& s) {
    std::map<offs_t, size_t> objects;
    int c = int(s.db.header()->currentRoot);
    const uint32_t* arrays[2] = {s.db.indexes[c], s.db.currentIndex};
    const size_t counts[2] = {s.db.committedIds, s.db.currentIds};
    for (int a = 0; a < 2; a++) {
        for (oid_t id = dbBitmapId; id < counts[a]; id++) {
            uint32_t e = arrays[a][id];
            if ((e & dbFreeHandleFlag) || e == 0) {
                continue;
            }
            objects[e & ~dbFlagsMask] = (s.db.objectSize(e) + 15) / 16 * 16;
        }
    }
    return objects;
}

TEST(ObjectStore, CommittedAndWorkingObjectsNeverShareSpace) {
    StoreFixture s(1048576, 8194, 1048576);
    std::mt19937 rng(11);
    std::vector<oid_t> ids;
    for (int i = 0; i < 300; i++) {
        ids.push_back(s.db.allocateObject(16 + rng() % 2000));
    }
    for (int round = 0; round < 4; round++) {
        makeCommitted(s);
        for (int step = 0; step < 400; step++) {
            int op = int(rng() % 3);
            if (op == 0 || ids.empty()) {
                ids.push_back(s.db.allocateObject(16 + rng() % (rng() % 10 == 0 ? 40000 : 2000)));
            } else {
                size_t k = rng() % ids.size();
                if (op == 1) {
                    s.db.objectForUpdate(ids[k]);
                } else {
                    s.db.dropObject(ids[k]);
                    ids.erase(ids.begin() + long(k));
                }
            }
        }
        std::map<offs_t, size_t> objects = reachable(s);
        offs_t end = 0;
        for (auto& [pos, size] : objects) {
            ASSERT_GE(pos, end) << "two objects share space in round " << round;
            ASSERT_TRUE(s.quantumUsed(pos) && s.quantumUsed(pos + size - 16));
            end = offs_t(pos + size);
        }
        ASSERT_LE(end, s.db.header()->fileSize);
    }
}

TEST(ObjectStore, ReleasedIdsAreHandedOutLastReleasedFirst) {
    StoreFixture s;
    oid_t first = s.db.newObjectId(1000);
    EXPECT_EQ(first, dbFirstUserId);
    s.db.releaseObjectId(9000);
    s.db.releaseObjectId(9001);
    EXPECT_EQ(s.db.newObjectId(), 9001u);
    EXPECT_EQ(s.db.newObjectId(), 9000u);
    EXPECT_EQ(s.db.newObjectId(), dbFirstUserId + 1000);
}

TEST(ObjectStore, MoreIdsThanTheIndexHoldsDoubleItsCapacity) {
    StoreFixture s(1048576, 8194);  // capacity rounded up to 9216
    dbRoot& root = s.db.header()->root[1 - s.db.header()->currentRoot];
    ASSERT_EQ(root.indexCapacity, 9216u);
    uint32_t* before = s.db.currentIndex;
    offs_t oldOffset = root.indexOffset;
    uint32_t metaEntry = s.db.currentIndex[dbMetaTableId];
    oid_t id = s.db.newObjectId(2000);
    EXPECT_EQ(id, dbFirstUserId);
    EXPECT_EQ(root.indexCapacity, 18432u);
    EXPECT_NE(root.indexOffset, oldOffset);
    EXPECT_NE(s.db.currentIndex, before);
    EXPECT_EQ(s.db.currentIndex, reinterpret_cast<uint32_t*>(s.db.base + root.indexOffset));
    EXPECT_EQ(s.db.currentIndex[dbMetaTableId], metaEntry);
    EXPECT_EQ(root.usedIds, dbFirstUserId + 2000);
}

TEST(ObjectStore, RowChainsAppendAndUnlink) {
    StoreFixture s;
    // A table row in "Metatable" with no fields.
    oid_t table = s.db.appendRow(dbMetaTableId, sizeof(dbTable) + 8);
    auto* t = s.db.tableRowForUpdate(table);
    memset(reinterpret_cast<byte*>(t) + sizeof(dbRecord), 0, sizeof(dbTable) - sizeof(dbRecord));
    EXPECT_EQ(s.db.tableRow(dbMetaTableId)->nRows, 1u);
    EXPECT_EQ(s.db.tableRow(dbMetaTableId)->firstRow, table);

    oid_t r[3];
    for (auto& id : r) {
        id = s.db.appendRow(table, 40);
    }
    auto rec = [&](oid_t id) { return reinterpret_cast<dbRecord*>(s.db.objectAt(id)); };
    EXPECT_EQ(s.db.tableRow(table)->nRows, 3u);
    EXPECT_EQ(s.db.tableRow(table)->firstRow, r[0]);
    EXPECT_EQ(s.db.tableRow(table)->lastRow, r[2]);
    EXPECT_EQ(rec(r[0])->next, r[1]);
    EXPECT_EQ(rec(r[1])->prev, r[0]);
    EXPECT_EQ(rec(r[2])->next, 0u);
    EXPECT_EQ(rec(r[1])->size, 40u);

    s.db.unlinkRow(table, r[1]);
    EXPECT_EQ(rec(r[0])->next, r[2]);
    EXPECT_EQ(rec(r[2])->prev, r[0]);
    EXPECT_TRUE(s.db.currentIndex[r[1]] & dbFreeHandleFlag);
    s.db.unlinkRow(table, r[0]);
    EXPECT_EQ(s.db.tableRow(table)->firstRow, r[2]);
    EXPECT_EQ(rec(r[2])->prev, 0u);
    s.db.unlinkRow(table, r[2]);
    EXPECT_EQ(s.db.tableRow(table)->firstRow, 0u);
    EXPECT_EQ(s.db.tableRow(table)->lastRow, 0u);
    EXPECT_EQ(s.db.tableRow(table)->nRows, 0u);
}

TEST(ObjectStore, RepairLastRowsClearsADanglingNext) {
    StoreFixture s;
    oid_t table = s.db.appendRow(dbMetaTableId, sizeof(dbTable));
    auto* t = s.db.tableRowForUpdate(table);
    memset(reinterpret_cast<byte*>(t) + sizeof(dbRecord), 0, sizeof(dbTable) - sizeof(dbRecord));
    oid_t row = s.db.appendRow(table, 16);
    reinterpret_cast<dbRecord*>(s.db.objectAt(row))->next = 12345;
    reinterpret_cast<dbRecord*>(s.db.objectAt(table))->next = 777;
    s.db.repairLastRows();
    EXPECT_EQ(reinterpret_cast<dbRecord*>(s.db.objectAt(row))->next, 0u);
    EXPECT_EQ(reinterpret_cast<dbRecord*>(s.db.objectAt(table))->next, 0u);
}

TEST(ObjectStore, ResizeRowKeepsLinksAndFreesPrivateSpace) {
    StoreFixture s;
    oid_t table = s.db.appendRow(dbMetaTableId, sizeof(dbTable));
    auto* t = s.db.tableRowForUpdate(table);
    memset(reinterpret_cast<byte*>(t) + sizeof(dbRecord), 0, sizeof(dbTable) - sizeof(dbRecord));
    oid_t a = s.db.appendRow(table, 32);
    oid_t b = s.db.appendRow(table, 32);
    offs_t old = s.db.currentIndex[a];
    byte* same = s.db.resizeRow(a, 32);
    EXPECT_EQ(same, s.db.base + old);
    byte* moved = s.db.resizeRow(a, 200);
    auto* rec = reinterpret_cast<dbRecord*>(moved);
    EXPECT_EQ(rec->size, 200u);
    EXPECT_EQ(rec->next, b);
    EXPECT_EQ(rec->prev, 0u);
    EXPECT_FALSE(s.quantumUsed(old));  // a private row's old space is freed at once
}

TEST(ObjectStore, FreeSpaceRejectsAMisalignedOffset) {
    StoreFixture s;
    EXPECT_THROW(s.db.freeSpace(0, 16), dbException);
    EXPECT_THROW(s.db.freeSpace(536577, 16), dbException);
    EXPECT_THROW(s.db.objectAt(9999), dbException);  // not allocated
}

struct ErrorCase {
    int code;
    const char* msg;
    int arg;
    const char* printed;
    bool raises;
};

TEST(ObjectStore, HandleErrorPrintsAndRaisesPerCode) {
    const ErrorCase cases[] = {
        {0, nullptr, 0, "", false},
        {1, "Syntax error", 7, "Syntax error in position 7\n", false},
        {2, "Division by zero", 0, "Division by zero\n", true},
        {3, nullptr, 12, "Index 12 is out of range\n", true},
        {4, "Failed to open database monitor", 0, "Failed to open database monitor\n", false},
        {5, "Failed to extend file", 28, "Failed to extend file: No space left on device\n", true},
        {5, "Failed to extend file", 99999, "Failed to extend file: unknown error code 99999\n",
         true},
        {6, nullptr, 4096, "Not enough memory: failed to allocate 4096 bytes\n", true},
        {7, nullptr, 0, "Deadlock is caused by upgrading shared locks to exclusive", true},
        {8, nullptr, 0, "Null object reference is accessed\n", true},
        {9, nullptr, 0, "Lock is revoked by some other client", true},
        {10, nullptr, 0, "", false},
        {11, "Failed to locate", 0, "Failed to locate\n", false},
        {12, nullptr, 0, "Attempt to modify readonly database", true},
        {13, nullptr, 0, "", false},
    };
    dbDatabase db;
    static int seen;
    db.setErrorHandler([](int code, const char*, int) { seen = code; });
    for (const ErrorCase& c : cases) {
        seen = -1;
        testing::internal::CaptureStderr();
        bool raised = false;
        try {
            db.handleError(c.code, c.msg, c.arg);
        } catch (const dbException& e) {
            raised = true;
            EXPECT_EQ(e.getErrCode(), c.code);
            EXPECT_EQ(e.getArg(), c.arg);
        }
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.printed) << c.code;
        EXPECT_EQ(raised, c.raises) << c.code;
        EXPECT_EQ(seen, c.code);
    }
}

TEST(ObjectStore, WritingInReadOnlyModeIsCode12) {
    StoreFixture s;
    s.db.header()->dirty = 0;
    s.db.accessMode = dbDatabase::dbReadOnly;
    testing::internal::CaptureStderr();
    try {
        s.db.allocSpace(16);
        ADD_FAILURE() << "no exception";
    } catch (const dbException& e) {
        EXPECT_EQ(e.getErrCode(), dbDatabase::DatabaseReadOnly);
    }
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(s.db.header()->dirty, 0u);
}

TEST(ObjectStore, GrowthByAnotherOpenerIsFollowed) {
    StoreFixture s;
    // A second opener of the same database: same shared state, its own mapping of the file.
    dbDatabase other;
    other.monitor = s.state.get();
    other.setObjectName((s.dir + "/store").c_str());
    other.dataFileName = new char[s.path.size() + 1];
    memcpy(other.dataFileName, s.path.c_str(), s.path.size() + 1);
    other.mappedGeneration = 0;  // maps the file at its first transaction
    ASSERT_TRUE(other.followRemap());
    EXPECT_EQ(other.file.getSize(), 1048576u);
    EXPECT_EQ(other.mappedGeneration, s.state->fileGeneration);

    offs_t pos = s.db.allocSpace(3 * 1048576);
    memcpy(s.db.base + pos + 2 * 1048576, "grown", 6);
    ASSERT_GT(s.state->fileGeneration, other.mappedGeneration);
    ASSERT_TRUE(other.followRemap());
    EXPECT_EQ(other.file.getSize(), s.db.header()->fileSize);
    EXPECT_STREQ(reinterpret_cast<char*>(other.base + pos + 2 * 1048576), "grown");
    EXPECT_EQ(std::string(other.file.getMappingName()),
              s.dir + "/store." + std::to_string(s.state->fileGeneration));

    // A later opener whose file cannot be opened fails with code 4.
    dbDatabase missing(dbDatabase::dbConcurrentRead);
    missing.monitor = s.state.get();
    missing.setObjectName("gone");
    missing.dataFileName = new char[32];
    strcpy(missing.dataFileName, "/nonexistent/store.kst");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(missing.followRemap());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Failed to open database file\n");
}

}  // namespace
