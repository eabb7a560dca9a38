// dbMappedFile on POSIX: one MAP_SHARED mapping of the whole file inside a reserved range, so
// that growth maps the longer file at the same address (see mapped_file.h).
#include "mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {
const size_t pageSize = size_t(sysconf(_SC_PAGESIZE));

int mapAt(char* address, size_t size, int fd, bool readOnly) {
    if (size == 0) {
        return 0;
    }
    void* p = mmap(address, size, readOnly ? PROT_READ : PROT_READ | PROT_WRITE,
                   MAP_SHARED | MAP_FIXED, fd, 0);
    return p == MAP_FAILED ? errno : 0;
}
}  // namespace

int dbMappedFile::open(const char* fileName, const char* mappingName, bool ro, size_t initialSize) {
    close();
    readOnly = ro;
    snprintf(name, sizeof name, "%s", mappingName ? mappingName : "");
    fd = ::open(fileName, ro ? O_RDONLY | O_CLOEXEC : O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        return errno;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int rc = errno;
        close();
        return rc;
    }
    if (uint64_t(st.st_size) > UINT32_MAX) {
        close();
        return EFBIG;
    }
    if (!ro) {
        futimens(fd, nullptr);  // last-write time: now
    }
    size = size_t(st.st_size);
    if (size == 0 && !ro) {
        if (ftruncate(fd, off_t(initialSize)) != 0) {
            int rc = errno;
            close();
            return rc;
        }
        size = initialSize;
    }
    void* reserved =
        mmap(nullptr, reservedSpan, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (reserved == MAP_FAILED) {
        int rc = errno;
        close();
        return rc;
    }
    address = static_cast<char*>(reserved);
    if (int rc = mapAt(address, size, fd, ro); rc != 0) {
        close();
        return rc;
    }
    posix_madvise(address, size, POSIX_MADV_RANDOM);
    return 0;
}

int dbMappedFile::setSize(size_t newSize, const char* mappingName, bool /*zeroNewPart*/) {
    if (fd < 0) {
        return EBADF;
    }
    if (newSize > reservedSpan) {
        return EFBIG;
    }
    snprintf(name, sizeof name, "%s", mappingName ? mappingName : "");
    if (!readOnly) {
        struct stat st;
        if (fstat(fd, &st) != 0) {
            return errno;
        }
        // ftruncate extends with zeros, which is the zeroing of the new part.
        if (size_t(st.st_size) < newSize && ftruncate(fd, off_t(newSize)) != 0) {
            int rc = errno;
            printf("CreateFileMapping failed: %d\n", rc);
            return rc;
        }
    }
    if (newSize > size && size != 0 && size % pageSize == 0) {
        // Growth maps only the new part, next to the old one: the pages already mapped keep
        // their entries and are not faulted in again.
        void* p =
            mmap(address + size, newSize - size, readOnly ? PROT_READ : PROT_READ | PROT_WRITE,
                 MAP_SHARED | MAP_FIXED, fd, off_t(size));
        if (p == MAP_FAILED) {
            int rc = errno;
            printf("CreateFileMapping failed: %d\n", rc);
            return rc;
        }
        size = newSize;
        return 0;
    }
    if (newSize < size) {
        // Give the tail back to the reservation.
        if (mmap(address + newSize, size - newSize, PROT_NONE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1, 0) == MAP_FAILED) {
            return errno;
        }
    }
    if (int rc = mapAt(address, newSize, fd, readOnly); rc != 0) {
        printf("CreateFileMapping failed: %d\n", rc);
        return rc;
    }
    size = newSize;
    return 0;
}

// msync(MS_SYNC) of a shared mapping writes the dirty pages of the range and waits for them
// with the guarantee of fdatasync: the data and the metadata needed to read it back (the
// allocation of its blocks) are on the device when it returns, one device flush in all. An
// fsync after it would add a second journal commit and device flush, for the modification
// time only, so it is made only by the first flush of an open and when the mapped length has
// changed since the last one (this process or another extended the file): the file's length
// is then made durable by the call documented to do so on every file system.
int dbMappedFile::flush() {
    if (address == nullptr || size == 0) {
        return 0;
    }
    if (msync(address, size, MS_SYNC) != 0) {
        return errno;
    }
    if (size != syncedLength && !readOnly) {
        if (fsync(fd) != 0) {
            return errno;
        }
        syncedLength = size;
    }
    return 0;
}

int dbMappedFile::flush(size_t, size_t) {
    return 0;
}

int dbMappedFile::close() {
    int rc = 0;
    if (address != nullptr) {
        if (munmap(address, reservedSpan) != 0 && rc == 0) {
            rc = errno;
        }
        address = nullptr;
    }
    if (fd >= 0) {
        if (::close(fd) != 0 && rc == 0) {
            rc = errno;
        }
        fd = -1;
    }
    size = 0;
    syncedLength = 0;
    return rc;
}
