// The client's local store (see kestdb.h): registration of the record classes, the one
// instance, the local-folder rule and the operations on the settings tables.
#include "kestdb.h"

#include <sys/vfs.h>
#include <unistd.h>

#include <locale.h>
#include <climits>
#include <clocale>
#include <cstdio>
#include <cstring>

#include "kestdb_buffer.h"

KEST_REGISTER(CustomerCategory);
KEST_REGISTER(Customer);
KEST_REGISTER(CustomerImage);
KEST_REGISTER(Employee);
KEST_REGISTER(EventCategory);
KEST_REGISTER(Event);
KEST_REGISTER(ScannerSetup);
KEST_REGISTER(PrintPreviewSetup);

namespace {

kestdbDatabase store(dbDatabase::dbAllAccess, 1048576, 4194304, 65536, 1);

// statfs f_type values of file systems that are not local to this machine.
constexpr unsigned long kRemoteFileSystems[] = {
    0x6969,      // NFS
    0x517B,      // SMB
    0xFF534D42,  // CIFS
    0xFE534D42,  // SMB2
    0x65735546,  // FUSE (sshfs, s3fs, ...)
    0x01021997,  // 9p (v9fs)
    0x5346414F,  // AFS
    0x6B414653,  // kAFS
    0x73757245,  // Coda
    0x564C,      // NCP
    0x00C36400,  // Ceph
    0x0BD00BD0,  // Lustre
    0x01161970,  // GFS2
    0x19830326,  // FhGFS / BeeGFS
    0x47504653,  // GPFS
    0xA501FCF5,  // vxfs (network variants)
    0x013111A8,  // IBRIX
    0x7461636F,  // OCFS2
};

}  // namespace

kestdbDatabase& kestdbStore() {
    return store;
}

bool kestdbIsLocalFileSystem(unsigned long fsType) {
    fsType &= 0xFFFFFFFFul;
    for (unsigned long remote : kRemoteFileSystems) {
        if (fsType == remote) {
            return false;
        }
    }
    return true;
}

bool kestdbIsLocalFolder(const char* path) {
    struct statfs st;
    if (statfs(path, &st) != 0) {
        return false;
    }
    return kestdbIsLocalFileSystem((unsigned long)st.f_type);
}

bool kestdbDatabase::open(const char* name, const char* fileName, unsigned lockTimeout,
                          unsigned commitDelay) {
    // The user's locale for this thread, as the windows format numbers and dates with it.
    static const locale_t userLocale = newlocale(LC_ALL_MASK, "", nullptr);
    if (userLocale != nullptr) {
        uselocale(userLocale);
    }
    if (rootPath.empty()) {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) == nullptr || !kestdbIsLocalFolder(cwd)) {
            return false;
        }
        rootPath = cwd;
    }
    databaseName = name;
    std::string file;
    if (fileName == nullptr) {
        file = std::string(name) + ".kst";
        fileName = file.c_str();
    }
    return openDatabase(name, fileName, lockTimeout, commitDelay);
}

// ---- settings tables ----------------------------------------------------------------------------

std::optional<ScannerSetupValues> readScannerSetup(kestdbDatabase& db) {
    if (!db.isOpen) {
        return std::nullopt;
    }
    dbCursor<ScannerSetup> cursor(dbCursorViewOnly);
    if (cursor.select() == 0) {
        return std::nullopt;
    }
    ScannerSetupValues v;
    v.scanner = cursor->scanner != nullptr ? cursor->scanner : "";
    v.size = cursor->size;
    return v;
}

void saveScannerName(kestdbDatabase& db, const char* scanner) {
    if (!db.isOpen) {
        return;
    }
    kestdbBuffer texts;
    dbCursor<ScannerSetup> cursor(dbCursorForUpdate);
    if (cursor.select() != 0) {
        cursor->scanner = texts.add(scanner);
        cursor.update();
    } else {
        ScannerSetup row;
        row.scanner = texts.add(scanner);
        row.used = true;
        row.size = 0;
        db.insertRecord(&ScannerSetup::dbDescriptor, &row);
    }
}

void saveScannerSize(kestdbDatabase& db, int32_t size) {
    if (!db.isOpen) {
        return;
    }
    {
        dbCursor<ScannerSetup> cursor(dbCursorForUpdate);
        if (cursor.select() != 0) {
            cursor->size = size;
            cursor.update();
        } else {
            ScannerSetup row;
            row.scanner = "";
            row.used = true;
            row.size = size;
            db.insertRecord(&ScannerSetup::dbDescriptor, &row);
        }
    }
    db.commit();
}

std::optional<PrintPreviewValues> readPrintPreviewSetup(kestdbDatabase& db) {
    if (!db.isOpen) {
        return std::nullopt;
    }
    dbCursor<PrintPreviewSetup> cursor(dbCursorViewOnly);
    if (cursor.select() == 0) {
        return std::nullopt;
    }
    return PrintPreviewValues{cursor->pageSize, cursor->pageHeight, cursor->pageWidth};
}

void savePrintPreviewSetup(kestdbDatabase& db, const PrintPreviewValues& values) {
    if (!db.isOpen) {
        return;
    }
    dbCursor<PrintPreviewSetup> cursor(dbCursorForUpdate);
    if (cursor.select() != 0) {
        cursor.remove();
    }
    PrintPreviewSetup row;
    row.pageSize = values.pageSize;
    row.pageHeight = values.pageHeight;
    row.pageWidth = values.pageWidth;
    db.insertRecord(&PrintPreviewSetup::dbDescriptor, &row);
}
