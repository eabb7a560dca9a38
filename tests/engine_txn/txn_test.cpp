// Opening, closing, recovery, commit, rollback, locking and the cursor and row operations of
// the engine, on real files in a private folder. Every store a test leaves behind is checked
// with the integrity check that `kstool check` runs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cursor.h"
#include "database.h"
#include "integrity.h"
#include "txn_fixture.h"
#include "txn_records.h"

KEST_REGISTER(TxnItem);
KEST_REGISTER(TxnOrder);
KEST_REGISTER(TxnPart);

using txntest::readBytes;
using txntest::TempDir;
using txntest::uniqueName;
using txntest::writeBytes;

namespace {

dbHeader headerOf(const std::string& path) {
    const std::vector<char> bytes = readBytes(path);
    dbHeader h{};
    if (bytes.size() >= sizeof h) {
        memcpy(&h, bytes.data(), sizeof h);
    }
    return h;
}

void patchHeader(const std::string& path, size_t offset, uint32_t value) {
    std::vector<char> bytes = readBytes(path);
    ASSERT_GE(bytes.size(), offset + 4);
    memcpy(bytes.data() + offset, &value, 4);
    writeBytes(path, bytes);
}

void expectSound(const std::string& path) {
    const std::vector<std::string> faults = dbCheckFile(path.c_str());
    for (const std::string& f : faults) {
        ADD_FAILURE() << path << ": " << f;
    }
}

class Store : public ::testing::Test {
  protected:
    TempDir dir;
    std::string name = uniqueName("txn");
    std::string file = dir.file("store.fdb");

    bool openDb(dbDatabase& db) { return db.openDatabase(name.c_str(), file.c_str()); }

    oid_t insertItem(dbDatabase& db, int32_t key, const char* text) {
        TxnItem item;
        item.key = key;
        item.text = text;
        return db.insertRecord(&TxnItem::dbDescriptor, &item);
    }

    // Keys and texts of all TxnItem rows in chain order.
    std::vector<std::pair<int32_t, std::string>> items() {
        std::vector<std::pair<int32_t, std::string>> out;
        dbCursor<TxnItem> c;
        if (c.select() == 0) {
            return out;
        }
        for (oid_t id = c.getOid(); id != 0;) {
            out.emplace_back(c->key, c->text);
            id = reinterpret_cast<const dbRecord*>(c.db->objectAt(id))->next;
            if (id != 0) {
                c.currentId = id;
                c.fetch();
            }
        }
        return out;
    }
};

size_t boundTables(const dbDatabase& db) {
    size_t n = 0;
    for (dbTableDescriptor* t = db.tables; t != nullptr; t = t->nextInDatabase) {
        n++;
    }
    return n;
}

}  // namespace

// ---- open and close ----------------------------------------------------------------------------

TEST_F(Store, NewFileGetsOneMetatableRowPerTableAndReopensWithoutChange) {
    {
        dbDatabase db;
        ASSERT_TRUE(openDb(db));
        const size_t n = boundTables(db);
        EXPECT_GE(n, 3u);  // at least the three tables of this test program
        EXPECT_EQ(db.tableRow(dbMetaTableId)->nRows, n);
        for (dbTableDescriptor* t = db.tables; t != nullptr; t = t->nextInDatabase) {
            EXPECT_EQ(db.tableRow(t->tableRecordId)->nRows, 0u) << t->name;
        }
        db.closeDatabase();
    }
    EXPECT_EQ(headerOf(file).dirty, 0u);
    expectSound(file);
    const std::vector<char> before = readBytes(file);
    {
        dbDatabase db;
        ASSERT_TRUE(openDb(db));
        db.closeDatabase();
    }
    EXPECT_TRUE(readBytes(file) == before) << "reopening changed the file";
}

TEST_F(Store, SecondDatabaseOnTheSameNameIsALaterOpenerSharingTheLocks) {
    dbDatabase first;
    ASSERT_TRUE(openDb(first));
    EXPECT_EQ(first.mappedGeneration, 1u);
    dbDatabase second;
    ASSERT_TRUE(openDb(second));
    EXPECT_EQ(second.tables, nullptr) << "descriptors bound to the first were bound again";
    EXPECT_EQ(first.monitor->users, 2u);

    dbCursor<TxnItem> reader;
    reader.select();  // shared lock through the first
    EXPECT_EQ(first.monitor->readers, 1u);
    ASSERT_TRUE(second.lockDatabase(dbDatabase::dbSharedLock));
    EXPECT_EQ(first.monitor->readers, 2u) << "the second does not share the lock counters";
    EXPECT_NE(second.base, nullptr) << "the later opener maps the file at its first lock";
    second.commitTransaction();
    first.commitTransaction();
    EXPECT_EQ(first.monitor->readers, 0u);
    second.closeDatabase();
    first.closeDatabase();
    expectSound(file);
}

TEST_F(Store, OpenFailuresAreReportedAndLeaveTheDatabaseClosed) {
    {
        dbDatabase db;
        ASSERT_TRUE(openDb(db));
        insertItem(db, 1, "one");
        db.closeDatabase();
    }
    const std::vector<char> good = readBytes(file);
    struct Case {
        const char* what;
        void (*damage)(std::vector<char>&);
        const char* message;
    };
    const Case cases[] = {
        {"root index 2", [](std::vector<char>& b) { b[4] = 2; },
         "Database file was corrupted: invalid root index"},
        {"cut by 4096 bytes", [](std::vector<char>& b) { b.resize(b.size() - 4096); },
         "Database file was corrupted: file size in header differs from actual file size"},
        {"index array beyond the end",
         [](std::vector<char>& b) {
             uint32_t off = 0x7FFFFFF0;
             memcpy(b.data() + 16, &off, 4);  // root 0 indexOffset
             memcpy(b.data() + 40, &off, 4);  // root 1 indexOffset
         },
         "Database file was corrupted"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<char> bytes = good;
        c.damage(bytes);
        writeBytes(file, bytes);
        dbDatabase db;
        ::testing::internal::CaptureStderr();
        EXPECT_FALSE(openDb(db));
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
        EXPECT_FALSE(db.isOpened());
        EXPECT_TRUE(readBytes(file) == bytes) << "a failed open wrote to the file";
    }
    // A failed open leaves nothing registered: the next open is a first opener again.
    writeBytes(file, good);
    dbDatabase db;
    ASSERT_TRUE(openDb(db));
    EXPECT_EQ(db.mappedGeneration, 1u);
    db.closeDatabase();
}

TEST_F(Store, DirtyFileCutBy4096BytesOpensThroughRecovery) {
    {
        dbDatabase db;
        ASSERT_TRUE(openDb(db));
        insertItem(db, 1, "kept");
        db.commitTransaction();
        db.closeDatabase();
    }
    std::vector<char> bytes = readBytes(file);
    bytes.resize(bytes.size() - 4096);
    writeBytes(file, bytes);
    patchHeader(file, offsetof(dbHeader, dirty), 1);
    dbDatabase db;
    ASSERT_TRUE(openDb(db));
    EXPECT_EQ(items(), (std::vector<std::pair<int32_t, std::string>>{{1, "kept"}}));
    db.closeDatabase();
    EXPECT_EQ(headerOf(file).dirty, 0u);
    EXPECT_EQ(headerOf(file).fileSize, readBytes(file).size());
    expectSound(file);
}

TEST_F(Store, CrashBeforeCommitLeavesTheCommittedStateAfterRecovery) {
    {
        dbDatabase db;
        ASSERT_TRUE(openDb(db));
        insertItem(db, 1, "committed");
        db.commitTransaction();
        db.closeDatabase();
    }
    // A writer that dies mid-transaction: its changes reach the file, the commit never does.
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dbDatabase db;
        if (!openDb(db)) {
            _exit(2);
        }
        insertItem(db, 2, "lost");
        dbCursor<TxnItem> c(dbCursorForUpdate);
        c.select();
        c->text = "changed";
        c.update();
        _exit(0);  // no commit, no close
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(headerOf(file).dirty, 1u);
    expectSound(file);  // the committed state is intact even before recovery
    dbDatabase db;
    ASSERT_TRUE(openDb(db));
    EXPECT_EQ(items(), (std::vector<std::pair<int32_t, std::string>>{{1, "committed"}}));
    insertItem(db, 3, "after");
    db.commitTransaction();
    db.closeDatabase();
    expectSound(file);
}

// ---- commit and rollback -----------------------------------------------------------------------

TEST_F(Store, CommitWithNothingModifiedOnlyReleasesTheLock) {
    dbDatabase db;
    ASSERT_TRUE(openDb(db));
    const uint32_t commits = db.monitor->commitCount;
    const std::vector<char> before = readBytes(file);
    dbCursor<TxnItem> c;
    c.select();
    EXPECT_EQ(db.monitor->readers, 1u);
    db.commitTransaction();
    EXPECT_EQ(db.monitor->readers, 0u);
    EXPECT_EQ(db.monitor->commitCount, commits);
    db.commitTransaction();  // a second one in a row does nothing
    EXPECT_EQ(db.monitor->commitCount, commits);
    EXPECT_TRUE(readBytes(file) == before);
    db.closeDatabase();
}

TEST_F(Store, CommitSwitchesTheRootAndSurvivesReopen) {
    {
        dbDatabase db;
        ASSERT_TRUE(openDb(db));
        const uint32_t root = db.header()->currentRoot;
        for (int i = 0; i < 50; i++) {
            insertItem(db, i, ("row " + std::to_string(i)).c_str());
        }
        db.commitTransaction();
        EXPECT_EQ(db.header()->currentRoot, 1 - root);
        db.closeDatabase();
    }
    expectSound(file);
    dbDatabase db;
    ASSERT_TRUE(openDb(db));
    const auto rows = items();
    ASSERT_EQ(rows.size(), 50u);
    EXPECT_EQ(rows[49], (std::pair<int32_t, std::string>{49, "row 49"}));
    db.closeDatabase();
}

TEST_F(Store, RollbackRestoresRowsAndIdsAndTheSpaceIsReused) {
    dbDatabase db;
    ASSERT_TRUE(openDb(db));
    insertItem(db, 1, "a");
    insertItem(db, 2, "b");
    db.commitTransaction();
    const auto before = items();
    db.commitTransaction();

    const oid_t id = insertItem(db, 3, "rolled back");
    const uint32_t place = db.currentIndex[id];
    {
        dbCursor<TxnItem> c(dbCursorForUpdate);
        c.select();
        c.remove();  // removes "a"
    }
    db.rollbackTransaction();
    EXPECT_EQ(items(), before);
    const oid_t again = insertItem(db, 3, "rolled back");
    EXPECT_EQ(again, id) << "the id of the rolled-back row is handed out again";
    EXPECT_EQ(db.currentIndex[again], place) << "the space of the rolled-back row is reused";
    db.commitTransaction();
    db.closeDatabase();
    expectSound(file);
}

TEST_F(Store, GrowingIndexAndFileKeepCommittedRowsAndFetchedStrings) {
    dbDatabase db;
    ASSERT_TRUE(openDb(db));
    insertItem(db, -1, "first row");
    db.commitTransaction();
    dbCursor<TxnItem> c;
    c.select();
    const char* fetched = c->text;  // points into the mapping
    const uint32_t size = db.header()->fileSize;
    std::string big(3000, 'x');
    for (int i = 0; i < 12000; i++) {  // more rows than the index holds, more bytes than the file
        insertItem(db, i, big.c_str());
    }
    EXPECT_GT(db.header()->fileSize, size);
    EXPECT_STREQ(fetched, "first row");
    db.commitTransaction();
    db.closeDatabase();
    expectSound(file);
    dbDatabase again;
    ASSERT_TRUE(openDb(again));
    EXPECT_EQ(items().size(), 12001u);
    again.closeDatabase();
}

// ---- locking -----------------------------------------------------------------------------------

TEST_F(Store, SecondReaderUpgradingWhileAnotherWaitsGetsCode7) {
    dbDatabase db;
    ASSERT_TRUE(openDb(db));
    insertItem(db, 1, "x");
    db.commitTransaction();

    std::atomic<int> step{0};
    std::atomic<bool> firstWrote{false};
    std::thread first([&] {
        db.attachThread();
        dbCursor<TxnItem> c;
        c.select();
        step = 1;
        while (step < 2) {
            std::this_thread::yield();
        }
        insertItem(db, 2, "first");  // upgrade: waits for the other reader
        firstWrote = true;
        db.detachThread();
    });
    while (step < 1) {
        std::this_thread::yield();
    }
    dbCursor<TxnItem> mine;
    mine.select();
    EXPECT_EQ(db.monitor->readers, 2u);
    step = 2;
    while (db.monitor->upgradeWaiting == 0) {
        std::this_thread::yield();
    }
    int code = -1;
    ::testing::internal::CaptureStderr();
    try {
        insertItem(db, 3, "second");
    } catch (const dbException& e) {
        code = e.getErrCode();
    }
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(code, dbDatabase::Deadlock);
    EXPECT_NE(err.find("Deadlock is caused by upgrading shared locks to exclusive"),
              std::string::npos);
    EXPECT_FALSE(firstWrote);
    db.rollbackTransaction();  // gives up the shared lock: the first one proceeds
    first.join();
    EXPECT_TRUE(firstWrote);
    EXPECT_EQ(items(), (std::vector<std::pair<int32_t, std::string>>{{1, "x"}, {2, "first"}}));
    db.commitTransaction();
    db.closeDatabase();
    expectSound(file);
}

TEST_F(Store, DelayedCommitIsWrittenByTheCommitThread) {
    dbDatabase db;
    ASSERT_TRUE(db.openDatabase(name.c_str(), file.c_str(), dbWaitForever, 1));
    insertItem(db, 1, "delayed");
    const uint32_t root = db.header()->currentRoot;
    db.commitTransaction();                 // handed to the commit thread
    insertItem(db, 2, "cancels the wait");  // this thread's own commit is written first
    db.commitTransaction();
    db.closeDatabase();
    EXPECT_NE(headerOf(file).currentRoot, 2u);
    (void)root;
    expectSound(file);
    dbDatabase again;
    ASSERT_TRUE(openDb(again));
    EXPECT_EQ(items().size(), 2u);
    again.closeDatabase();
}

// ---- cursors -----------------------------------------------------------------------------------

TEST_F(Store, CursorOnAnEmptyTable) {
    dbDatabase db;
    ASSERT_TRUE(openDb(db));
    dbCursor<TxnItem> c;
    EXPECT_EQ(c.select(), 0);
    EXPECT_EQ(c.getOid(), 0u);
    EXPECT_THROW((void)c->key, dbException);
    dbCursor<TxnItem> u(dbCursorForUpdate);
    u.select();
    EXPECT_THROW(u.update(), dbException);
    EXPECT_THROW(u.remove(), dbException);
    db.closeDatabase();
}

TEST_F(Store, RemovingRowsMovesTheCursor) {
    dbDatabase db;
    ASSERT_TRUE(openDb(db));
    const oid_t a = insertItem(db, 1, "a");
    insertItem(db, 2, "b");
    const oid_t c3 = insertItem(db, 3, "c");
    {
        dbCursor<TxnItem> c(dbCursorForUpdate);
        EXPECT_EQ(c.select(), 3);
        EXPECT_EQ(c.getOid(), a);
        c.remove();  // first of three: on to the next
        EXPECT_EQ(c->key, 2);
        c.currentId = c3;
        c.fetch();
        c.remove();  // the last of several: back to the previous
        EXPECT_EQ(c->key, 2);
        EXPECT_EQ(c.lastId, c.currentId);
        c.remove();  // the only row
        EXPECT_EQ(c.getOid(), 0u);
        const dbTable* t = db.tableRow(TxnItem::dbDescriptor.tableRecordId);
        EXPECT_EQ(t->firstRow, 0u);
        EXPECT_EQ(t->lastRow, 0u);
        EXPECT_EQ(t->nRows, 0u);
    }
    db.commitTransaction();
    db.closeDatabase();
    expectSound(file);
}

TEST_F(Store, UpdateInPlaceWithStringsPointingIntoTheRow) {
    dbDatabase db;
    ASSERT_TRUE(openDb(db));
    insertItem(db, 7, "same length");
    db.commitTransaction();
    {
        dbCursor<TxnItem> c(dbCursorForUpdate);
        c.select();
        c->key = 8;
        c.update();  // copies the row (shared with the committed state)
        c.update();  // now private and the same size: packed in place through the scratch
        c->text = c->text + 5;  // "length", pointing into the row itself
        c.update();
        EXPECT_STREQ(c->text, "length");
    }
    EXPECT_EQ(items(), (std::vector<std::pair<int32_t, std::string>>{{8, "length"}}));
    db.commitTransaction();
    db.closeDatabase();
    expectSound(file);  // the indexes follow the key change
}

TEST_F(Store, InsertedRowIsTheLastOnSelectAndGoneAfterRollback) {
    dbDatabase db;
    ASSERT_TRUE(openDb(db));
    insertItem(db, 1, "one");
    db.commitTransaction();
    const oid_t id = insertItem(db, 2, "two");
    dbCursor<TxnItem> c;
    EXPECT_EQ(c.select(), 2);
    EXPECT_EQ(c.lastId, id);
    db.rollbackTransaction();
    EXPECT_EQ(c.getOid(), 0u) << "ending the transaction resets the cursor";
    EXPECT_EQ(c.select(), 1);
    EXPECT_EQ(c.lastId, c.firstId);
    db.closeDatabase();
}

TEST_F(Store, CursorIsResetByCommitAndRefreshedByUpdatesOfItsRow) {
    dbDatabase db;
    ASSERT_TRUE(openDb(db));
    const oid_t id = insertItem(db, 1, "before");
    dbCursor<TxnItem> watcher;
    watcher.select();
    ASSERT_EQ(watcher.getOid(), id);
    TxnItem changed;
    changed.key = 1;
    changed.text = "after";
    db.updateRecord(id, &TxnItem::dbDescriptor, &changed);
    EXPECT_STREQ(watcher->text, "after");
    db.removeRecord(&TxnItem::dbDescriptor, id);
    EXPECT_EQ(watcher.getOid(), 0u);
    db.commitTransaction();
    EXPECT_TRUE(static_cast<dbL2List&>(watcher).isEmpty()) << "still linked after commit";
    db.closeDatabase();
}

// ---- inverse references ------------------------------------------------------------------------

TEST_F(Store, InverseReferencesFollowInsertUpdateAndRemoveAndTheOwnerTakesItsParts) {
    dbDatabase db;
    ASSERT_TRUE(openDb(db));
    TxnOrder order;
    order.name = "order";
    const oid_t o = db.insertRecord(&TxnOrder::dbDescriptor, &order);
    std::vector<oid_t> parts;
    for (int i = 0; i < 5; i++) {
        TxnPart p;
        p.label = "part";
        p.order = dbReference<TxnOrder>(o);
        parts.push_back(db.insertRecord(&TxnPart::dbDescriptor, &p));
    }
    auto partsOf = [&] {
        std::vector<oid_t> out;
        dbCursor<TxnOrder> c;
        c.select();
        for (size_t i = 0; i < c->parts.length(); i++) {
            out.push_back(c->parts[i].oid);
        }
        return out;
    };
    EXPECT_EQ(partsOf(), parts);
    db.commitTransaction();
    EXPECT_EQ(partsOf(), parts) << "lost over the commit";

    // Moving a part away from the order takes it out of the order's array.
    TxnPart moved;
    moved.label = "moved";
    db.updateRecord(parts[1], &TxnPart::dbDescriptor, &moved);
    parts.erase(parts.begin() + 1);
    EXPECT_EQ(partsOf(), parts);
    // Removing a part takes it out too.
    db.removeRecord(&TxnPart::dbDescriptor, parts[0]);
    parts.erase(parts.begin());
    EXPECT_EQ(partsOf(), parts);
    db.commitTransaction();
    expectSound(file);

    // Removing the order removes the parts it owns, not the one moved away.
    db.removeRecord(&TxnOrder::dbDescriptor, o);
    dbCursor<TxnPart> rest;
    EXPECT_EQ(rest.select(), 1);
    EXPECT_STREQ(rest->label, "moved");
    db.commitTransaction();
    db.closeDatabase();
    expectSound(file);
}

// ---- schema evolution through open
// ---------------------------------------------------------------

namespace {

struct EvolveV1 {
    int32_t a = 0;
    const char* s = nullptr;
    static dbFieldDescriptor* describe() {
        using Self = EvolveV1;
        return dbFieldList({KEST_FIELD(a), KEST_FIELD(s)});
    }
};

struct EvolveV2 {
    double a = 0;  // integer to real
    const char* s = nullptr;
    int64_t added = 0;
    static dbFieldDescriptor* describe() {
        using Self = EvolveV2;
        return dbFieldList({KEST_KEY(a, HASHED), KEST_FIELD(s), KEST_FIELD(added)});
    }
};

}  // namespace

TEST_F(Store, ChangedClassIsConvertedAtOpenAndItsNewIndexBuilt) {
    {
        dbDatabase db;
        dbTableDescriptor v1("Evolve", &db, sizeof(EvolveV1), &EvolveV1::describe);
        ASSERT_TRUE(openDb(db));
        for (int i = 0; i < 300; i++) {
            EvolveV1 r;
            r.a = i;
            std::string text = "text " + std::to_string(i);
            r.s = text.c_str();
            db.insertRecord(&v1, &r);
        }
        db.closeDatabase();
    }
    {
        dbDatabase db;
        dbTableDescriptor v2("Evolve", &db, sizeof(EvolveV2), &EvolveV2::describe);
        ASSERT_TRUE(openDb(db));
        EvolveV2 r;
        dbAnyCursor c(v2, dbCursorViewOnly, &r);
        ASSERT_EQ(c.select(), 300);
        EXPECT_EQ(r.a, 0.0);
        EXPECT_STREQ(r.s, "text 0");
        EXPECT_EQ(r.added, 0);
        c.currentId = c.lastId;
        c.fetch();
        EXPECT_EQ(r.a, 299.0);
        EXPECT_STREQ(r.s, "text 299");
        db.closeDatabase();
    }
    expectSound(file);  // the hash index built at open holds every converted row
}

// ---- the integrity check itself
// ---------------------------------------------------------------------

TEST_F(Store, IntegrityCheckFindsDamage) {
    {
        dbDatabase db;
        ASSERT_TRUE(openDb(db));
        for (int i = 0; i < 20; i++) {
            insertItem(db, i, "row");
        }
        db.closeDatabase();
    }
    expectSound(file);
    const std::vector<char> good = readBytes(file);
    const dbHeader h = headerOf(file);
    const uint32_t* index =
        reinterpret_cast<const uint32_t*>(good.data() + h.root[h.currentRoot].indexOffset);
    const uint32_t bitmapPage = index[dbBitmapId] & ~dbFlagsMask;
    const uint32_t metaRow = index[dbMetaTableId] & ~dbFlagsMask;
    struct Case {
        const char* what;
        size_t offset;
        uint8_t value;
    };
    const Case cases[] = {
        {"a free quantum marked used", bitmapPage + 4000, 0xFF},
        {"a used quantum marked free", bitmapPage + 10, 0x00},
        {"a broken \"Metatable\" chain", metaRow + 32 /* nRows */, 0x7F},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<char> bad = good;
        bad[c.offset] = char(c.value);
        writeBytes(file, bad);
        EXPECT_FALSE(dbCheckFile(file.c_str()).empty());
    }
}

// ---- access modes ----------------------------------------------------------------------------

TEST_F(Store, ReadOnlyOpensReadAndRefuseWhatTheyCannotDo) {
    {
        dbDatabase db;
        ASSERT_TRUE(openDb(db));
        insertItem(db, 1, "one");
        db.closeDatabase();
    }
    for (const auto mode : {dbDatabase::dbReadOnly, dbDatabase::dbConcurrentRead}) {
        SCOPED_TRACE(int(mode));
        dbDatabase db(mode);
        ASSERT_TRUE(openDb(db));
        EXPECT_EQ(items(), (std::vector<std::pair<int32_t, std::string>>{{1, "one"}}));
        EXPECT_THROW(insertItem(db, 2, "two"), dbException);
        db.commitTransaction();
        db.closeDatabase();
    }
    const std::vector<char> clean = readBytes(file);
    struct Case {
        const char* what;
        uint32_t dirty;
        uint32_t initialized;
        const char* message;
    };
    const Case cases[] = {
        {"dirty", 1, 1, "Can not open dirty file in read only moode"},
        {"uninitialized", 0, 0, "Can not open uninitialized file in read only mode"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        patchHeader(file, offsetof(dbHeader, dirty), c.dirty);
        patchHeader(file, offsetof(dbHeader, initialized), c.initialized);
        dbDatabase db(dbDatabase::dbReadOnly);
        ::testing::internal::CaptureStderr();
        EXPECT_FALSE(openDb(db));
        EXPECT_NE(::testing::internal::GetCapturedStderr().find(c.message), std::string::npos);
        writeBytes(file, clean);
    }
    dbDatabase missing(dbDatabase::dbReadOnly);
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(missing.openDatabase(name.c_str(), dir.file("missing.fdb").c_str()));
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("Failed to create database file"),
              std::string::npos);
}

TEST_F(Store, ConcurrentUpdateModeCommitsAndRollsBack) {
    {
        dbDatabase db(dbDatabase::dbConcurrentUpdate);
        ASSERT_TRUE(openDb(db));
        insertItem(db, 1, "kept");
        db.commitTransaction();
        insertItem(db, 2, "dropped");
        db.rollbackTransaction();
        insertItem(db, 3, "kept too");
        db.commitTransaction();
        EXPECT_EQ(items().size(), 2u);
        db.commitTransaction();
        db.closeDatabase();
    }
    expectSound(file);
    dbDatabase db;
    ASSERT_TRUE(openDb(db));
    EXPECT_EQ(items(),
              (std::vector<std::pair<int32_t, std::string>>{{1, "kept"}, {3, "kept too"}}));
    db.closeDatabase();
}

TEST_F(Store, WorkOfAThreadDetachedWithoutCommitIsWrittenByTheNextCommit) {
    dbDatabase db;
    ASSERT_TRUE(openDb(db));
    std::thread worker([&] {
        db.attachThread();
        insertItem(db, 1, "left uncommitted");
        db.detachThread(dbDatabase::DESTROY_CONTEXT);  // no commit: the lock is given back
    });
    worker.join();
    EXPECT_EQ(db.monitor->writers, 0u);
    EXPECT_EQ(db.monitor->uncommitted, 1u);
    EXPECT_EQ(items(), (std::vector<std::pair<int32_t, std::string>>{{1, "left uncommitted"}}));
    db.commitTransaction();  // any later commit writes it
    db.closeDatabase();
    EXPECT_EQ(headerOf(file).dirty, 0u);
    expectSound(file);
    dbDatabase again;
    ASSERT_TRUE(openDb(again));
    EXPECT_EQ(items().size(), 1u);
    again.closeDatabase();
}
