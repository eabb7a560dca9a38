// dbDatabase construction, destruction and the error handler that every engine failure passes
// through (printed text per code, and the codes that raise dbException).
#include <cstdio>
#include <cstring>

#include "database.h"

dbDatabase::dbDatabase(dbAccessType type, size_t initFileSize, size_t extensionQuantum,
                       size_t initIndexSize, int nThreads)
    : accessMode(type),
      initialFileSize(initFileSize),
      growQuantum(extensionQuantum),
      initialIndexSize(initIndexSize) {
    if (nThreads <= 0) {
        nThreads = dbThread::numberOfProcessors();
    }
    sortThreads = nThreads > 64 ? 64 : nThreads;
    maxHole = new uint32_t[dbFirstUserId];
    for (size_t i = 0; i < dbFirstUserId; i++) {
        maxHole[i] = 0x7FFFFFFF;
    }
}

dbDatabase::~dbDatabase() {
    file.close();
    delete[] maxHole;
    delete[] objectNameBuffer;
    delete[] dataFileName;
}

void dbDatabase::handleError(int code, const char* msg, int arg) {
    if (errorHandler != nullptr) {
        errorHandler(code, msg, arg);
    }
    const char* text = msg != nullptr ? msg : "";
    switch (code) {
        case QueryError:
            fprintf(stderr, "%s in position %d\n", text, arg);
            return;
        case ArithmeticError:
            fprintf(stderr, "%s\n", text);
            break;
        case IndexOutOfRangeError:
            fprintf(stderr, "Index %d is out of range\n", arg);
            break;
        case DatabaseOpenError:
            fprintf(stderr, "%s\n", text);
            return;
        case FileError: {
            char buf[257];
            const char* desc = strerrordesc_np(arg);
            if (desc != nullptr) {
                snprintf(buf, sizeof buf, "%s", desc);
            } else {
                snprintf(buf, sizeof buf, "unknown error code %u", unsigned(arg));
            }
            fprintf(stderr, "%s: %s\n", text, buf);
            break;
        }
        case OutOfMemoryError:
            fprintf(stderr, "Not enough memory: failed to allocate %d bytes\n", arg);
            break;
        case Deadlock:
            fputs("Deadlock is caused by upgrading shared locks to exclusive", stderr);
            break;
        case NullReferenceError:
            fputs("Null object reference is accessed\n", stderr);
            break;
        case LockRevoked:
            fputs("Lock is revoked by some other client", stderr);
            break;
        case InconsistentInverseReference:
            fprintf(stderr, "%s\n", text);
            return;
        case DatabaseReadOnly:
            fputs("Attempt to modify readonly database", stderr);
            break;
        default:  // 0, 10 and anything above 12: nothing printed, nothing raised
            return;
    }
    fflush(stderr);
    throw dbException(code, msg, arg);
}

void dbDatabase::setObjectName(const char* name) {
    delete[] objectNameBuffer;
    objectNameLength = strlen(name);
    objectNameBuffer = new char[objectNameLength + 17];
    memcpy(objectNameBuffer, name, objectNameLength + 1);
}

const char* dbDatabase::mappingName(unsigned generation) {
    snprintf(objectNameBuffer + objectNameLength, 17, ".%u", generation);
    return objectNameBuffer;
}
