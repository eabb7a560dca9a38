// The client's local store: the database class kestdbDatabase, the record classes registered
// with it, the one store instance, and the typed operations the windows perform on the two
// settings tables, so that no window repeats cursor code.
//
// Invariants: the store file is "<databaseName>.kst" in the folder that was current at the
// first open, which must be on a local file system; ScannerSetup and PrintPreviewSetup hold at
// most one row each when written only through the functions below; the other six tables are
// registered (their schema is stored) but never hold rows.
//
// Use (all on the user-interface thread):
//     kestdbDatabase& store = kestdbStore();
//     store.dropAllowed = 1;
//     if (!store.open("KestCRMClient")) { /* "資料庫開啟錯誤." */ }
//     auto scan = readScannerSetup(store);          // nullopt: no row (or store closed)
//     saveScannerSize(store, 800);                  // commits
//     savePrintPreviewSetup(store, {8, 297, 210});  // no commit; the close commits
//     if (store.isOpen) { store.commit(); store.close(); }
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "class.h"
#include "cursor.h"
#include "database.h"
#include "datetime.h"

// ---- record classes ---------------------------------------------------------------------------

class Employee;
class CustomerCategory;
class EventCategory;

class CustomerCategory {
  public:
    const char* name = nullptr;
    KEST_DESCRIBE(CustomerCategory, KEST_FIELD(name));
};

class EventCategory {
  public:
    const char* name = nullptr;
    KEST_DESCRIBE(EventCategory, KEST_FIELD(name));
};

class Employee {
  public:
    const char* id = nullptr;  // employee number, the login name
    const char* name = nullptr;
    const char* password = nullptr;
    int32_t permission = 0;
    bool waitingChange = false;
    bool messageChange = false;
    int32_t oid = 0;
    KEST_DESCRIBE(Employee, KEST_FIELD(id), KEST_FIELD(name), KEST_FIELD(password),
                  KEST_FIELD(permission), KEST_FIELD(waitingChange), KEST_FIELD(messageChange),
                  KEST_FIELD(oid));
};

class Customer {
  public:
    const char* id = nullptr;  // customer number (tree index)
    dbReference<CustomerCategory> category;
    const char* name = nullptr;
    dbDateTime updateDate;
    dbReference<Employee> employee;
    const char* email = nullptr;
    const char* info = nullptr;
    int8_t version = 0;
    int32_t oid = 0;
    const char* tel = nullptr;
    const char* fax = nullptr;
    dbDateTime expireDate;
    dbReference<Employee> updateEmployee;
    dbDateTime createDate;
    dbReference<Employee> followEmployee;
    KEST_DESCRIBE(Customer, KEST_KEY(id, INDEXED), KEST_FIELD(category), KEST_FIELD(name),
                  KEST_FIELD(updateDate), KEST_FIELD(employee), KEST_FIELD(email), KEST_FIELD(info),
                  KEST_FIELD(version), KEST_FIELD(oid), KEST_FIELD(tel), KEST_FIELD(fax),
                  KEST_FIELD(expireDate), KEST_FIELD(updateEmployee), KEST_FIELD(createDate),
                  KEST_FIELD(followEmployee));
};

class CustomerImage {
  public:
    const char* name = nullptr;
    dbReference<Customer> customer;
    dbDateTime transDate;
    int32_t oid = 0;
    int8_t version = 0;
    KEST_DESCRIBE(CustomerImage, KEST_FIELD(name), KEST_FIELD(customer), KEST_FIELD(transDate),
                  KEST_FIELD(oid), KEST_FIELD(version));
};

class Event {
  public:
    dbReference<Customer> customer;
    dbReference<EventCategory> category;
    dbReference<Employee> employee;
    dbDateTime transDate;
    const char* title = nullptr;
    const char* description = nullptr;
    int8_t version = 0;
    int32_t oid = 0;
    KEST_DESCRIBE(Event, KEST_FIELD(customer), KEST_FIELD(category), KEST_FIELD(employee),
                  KEST_FIELD(transDate), KEST_FIELD(title), KEST_FIELD(description),
                  KEST_FIELD(version), KEST_FIELD(oid));
};

// The scanner chosen in the picture window and the shrink size last saved there.
class ScannerSetup {
  public:
    const char* scanner = nullptr;  // empty: none chosen
    bool used = true;               // written as true whenever a row is created; not read
    int32_t size = 0;               // 0: keep the size
    KEST_DESCRIBE(ScannerSetup, KEST_FIELD(scanner), KEST_FIELD(used), KEST_FIELD(size));
};

// The print preview's paper settings.
class PrintPreviewSetup {
  public:
    int8_t pageSize = 0;  // index into the paper-size list, 8 = custom
    double pageHeight = 0;
    double pageWidth = 0;
    KEST_DESCRIBE(PrintPreviewSetup, KEST_FIELD(pageSize), KEST_FIELD(pageHeight),
                  KEST_FIELD(pageWidth));
};

// ---- the store ----------------------------------------------------------------------------------

class kestdbDatabase : public dbDatabase {
  public:
    // The folder that was current at the first open (empty until then); the client's folder.
    std::string rootPath;
    // The database name passed to open.
    std::string databaseName;

    kestdbDatabase(dbAccessType type, size_t initialFileSize, size_t growQuantum,
                   size_t initialIndexSize, int sortThreads)
        : dbDatabase(type, initialFileSize, growQuantum, initialIndexSize, sortThreads) {}

    // Opens `name` with the file `fileName`, or "<name>.kst" in the current folder. Fails at
    // once, without a message and before any file is touched, when the current folder is on
    // a network or FUSE file system; any engine failure prints its reason to standard error.
    bool open(const char* name, const char* fileName = nullptr,
              unsigned lockTimeout = 0xFFFFFFFFu /* no limit */, unsigned commitDelay = 0);
    void commit() { commitTransaction(); }
    void rollback() { rollbackTransaction(); }
    void close() { closeDatabase(); }
};

// The one store of the program: read-write, 1048576-byte initial file, 4194304-byte growth
// quantum, 65536 index entries, 1 sort thread. Constructed at start-up, destroyed at exit.
kestdbDatabase& kestdbStore();

// True when a file system of this statfs f_type may hold the store: local disks, removable
// media and RAM file systems. Network (NFS, SMB/CIFS, 9p, AFS, Ceph, ...) and FUSE file
// systems are refused, as the store's locking and flushing rest on local semantics.
bool kestdbIsLocalFileSystem(unsigned long fsType);
// kestdbIsLocalFileSystem for the folder `path`; false when it cannot be examined.
bool kestdbIsLocalFolder(const char* path);

// ---- the settings tables ------------------------------------------------------------------------
// Every function does nothing (or gives nullopt) when the store is not open. Reads leave the
// shared lock held until the next commit, as every engine read does.

struct ScannerSetupValues {
    std::string scanner;  // empty: none chosen
    int32_t size = 0;
};

// The first ScannerSetup row.
std::optional<ScannerSetupValues> readScannerSetup(kestdbDatabase& db);
// The picture window chose a scanner: the row's scanner becomes `scanner`, or a new row
// (scanner, used, size 0) is inserted. Not committed.
void saveScannerName(kestdbDatabase& db, const char* scanner);
// The picture window saved a picture of shrink size `size`: the row's size becomes `size`, or
// a new row (empty scanner, used, size) is inserted; then the store is committed.
void saveScannerSize(kestdbDatabase& db, int32_t size);

struct PrintPreviewValues {
    int8_t pageSize = 0;
    double pageHeight = 0;
    double pageWidth = 0;
};

// The first PrintPreviewSetup row.
std::optional<PrintPreviewValues> readPrintPreviewSetup(kestdbDatabase& db);
// The print preview closes: the row it finds is removed and a new one inserted. Not committed
// (the main window's close commits).
void savePrintPreviewSetup(kestdbDatabase& db, const PrintPreviewValues& values);
