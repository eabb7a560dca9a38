// The client's local store: the file a first start creates, a second start that writes
// nothing, the settings tables as the picture window and the print preview use them, and the
// local-folder rule.
#include "kestdb.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "integrity.h"
#include "txn_fixture.h"

using txntest::readBytes;
using txntest::TempDir;

namespace {

// Runs each test in its own empty folder, as a client started there.
class LocalStore : public ::testing::Test {
  protected:
    TempDir dir;
    std::string previous;
    kestdbDatabase& store = kestdbStore();

    void SetUp() override {
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        previous = cwd;
        ASSERT_EQ(chdir(dir.path.c_str()), 0);
        store.dropAllowed = 1;
    }
    void TearDown() override {
        if (store.isOpen) {
            store.commit();
            store.close();
        }
        ASSERT_EQ(chdir(previous.c_str()), 0);
    }
    bool start() { return store.open("KestCRMClient"); }
    void stop() {
        store.commit();
        store.close();
    }
    std::string file() const { return dir.file("KestCRMClient.kst"); }
};

}  // namespace

TEST_F(LocalStore, FirstStartCreatesAStoreWithEightEmptyTables) {
    ASSERT_TRUE(start());
    EXPECT_EQ(store.databaseName, "KestCRMClient");
    EXPECT_FALSE(store.rootPath.empty());
    const char* names[] = {"CustomerCategory", "Customer", "CustomerImage", "Employee",
                           "EventCategory",    "Event",    "ScannerSetup",  "PrintPreviewSetup"};
    EXPECT_EQ(store.tableRow(dbMetaTableId)->nRows, 8u);
    for (const char* name : names) {
        const dbTableDescriptor* t = store.findTable(name);
        ASSERT_NE(t, nullptr) << name;
        EXPECT_EQ(store.tableRow(t->tableRecordId)->nRows, 0u) << name;
    }
    const dbFieldDescriptor* id = Customer::dbDescriptor.findField("id");
    ASSERT_NE(id, nullptr);
    EXPECT_NE(id->tTree, 0u) << "Customer.id has its tree index";
    stop();
    EXPECT_EQ(readBytes(file()).size(), 1048576u);
    EXPECT_TRUE(dbCheckFile(file().c_str()).empty());
}

TEST_F(LocalStore, SecondStartWritesNothing) {
    ASSERT_TRUE(start());
    stop();
    const std::vector<char> before = readBytes(file());
    ASSERT_TRUE(start());
    EXPECT_FALSE(readScannerSetup(store).has_value());  // a read, as the windows do
    stop();
    EXPECT_TRUE(readBytes(file()) == before) << "the second start changed the store";
}

TEST_F(LocalStore, ClosingThePreviewTwiceLeavesOneRow) {
    ASSERT_TRUE(start());
    EXPECT_FALSE(readPrintPreviewSetup(store).has_value());
    savePrintPreviewSetup(store, {0, 297, 210});
    savePrintPreviewSetup(store, {8, 100.5, 50.25});
    stop();  // the main window's close commits
    ASSERT_TRUE(start());
    {
        dbCursor<PrintPreviewSetup> c;
        EXPECT_EQ(c.select(), 1);
    }
    const auto v = readPrintPreviewSetup(store);
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(v->pageSize, 8);
    EXPECT_EQ(v->pageHeight, 100.5);
    EXPECT_EQ(v->pageWidth, 50.25);
    stop();
    EXPECT_TRUE(dbCheckFile(file().c_str()).empty());
}

TEST_F(LocalStore, ScannerSetupKeepsOneRow) {
    ASSERT_TRUE(start());
    EXPECT_FALSE(readScannerSetup(store).has_value());
    saveScannerName(store, "Flatbed A");  // no row yet: inserted with size 0
    auto v = readScannerSetup(store);
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(v->scanner, "Flatbed A");
    EXPECT_EQ(v->size, 0);
    saveScannerSize(store, 800);  // updates and commits
    saveScannerName(store, "Sheet feeder B");
    stop();
    ASSERT_TRUE(start());
    {
        dbCursor<ScannerSetup> c;
        ASSERT_EQ(c.select(), 1);
        EXPECT_TRUE(c->used);
    }
    v = readScannerSetup(store);
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(v->scanner, "Sheet feeder B");
    EXPECT_EQ(v->size, 800);
    stop();
}

TEST_F(LocalStore, SavingASizeWithoutAScannerInsertsAnEmptyScanner) {
    ASSERT_TRUE(start());
    saveScannerSize(store, 640);
    const auto v = readScannerSetup(store);
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(v->scanner, "");
    EXPECT_EQ(v->size, 640);
    stop();
}

TEST_F(LocalStore, SettingsFunctionsDoNothingWhileTheStoreIsClosed) {
    EXPECT_FALSE(readScannerSetup(store).has_value());
    EXPECT_FALSE(readPrintPreviewSetup(store).has_value());
    saveScannerName(store, "x");
    saveScannerSize(store, 1);
    savePrintPreviewSetup(store, {1, 2, 3});
    EXPECT_FALSE(std::ifstream(file()).good()) << "a closed store created its file";
}

TEST(LocalFolder, NetworkAndFuseFileSystemsAreRefused) {
    struct Case {
        unsigned long type;
        const char* name;
        bool local;
    };
    const Case cases[] = {
        {0xEF53, "ext2/3/4", true},
        {0x58465342, "xfs", true},
        {0x9123683E, "btrfs", true},
        {0x01021994, "tmpfs (RAM disk)", true},
        {0x4D44, "vfat (removable)", true},
        {0x794C7630, "overlayfs", true},
        {0x6969, "NFS", false},
        {0x517B, "SMB", false},
        {0xFF534D42, "CIFS", false},
        {0xFE534D42, "SMB2", false},
        {0x65735546, "FUSE", false},
        {0x01021997, "9p", false},
        {0x5346414F, "AFS", false},
        {0x00C36400, "Ceph", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(kestdbIsLocalFileSystem(c.type), c.local) << c.name;
    }
    EXPECT_TRUE(kestdbIsLocalFolder("/tmp"));
    EXPECT_FALSE(kestdbIsLocalFolder("/no/such/folder"));
}
