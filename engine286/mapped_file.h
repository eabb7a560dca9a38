// dbMappedFile: the database file mapped whole, read-write and shared between processes.
//
// Invariant: while open, the file is mapped at one fixed address for the life of the open:
// the mapping is placed inside an address range reserved up front for the largest file the
// format allows (4 GB), so growing the file extends the mapping in place and never moves it;
// pointers into the mapping stay valid across growth in this process and in any other
// process that follows the growth. The mapped size always equals the file's size on disk.
#pragma once

#include <cstddef>

class dbMappedFile {
  public:
    dbMappedFile() = default;
    ~dbMappedFile() { close(); }
    dbMappedFile(const dbMappedFile&) = delete;
    dbMappedFile& operator=(const dbMappedFile&) = delete;

    // Opens (read-only: must exist) or creates the file and maps it; an empty writable file
    // gets `initialSize` bytes of zeros. `mappingName` names the generation of the mapping.
    // Returns 0 or the system error number.
    int open(const char* fileName, const char* mappingName, bool readOnly, size_t initialSize);
    // Remaps with `newSize` bytes (growing the file when it is writable and smaller).
    // Bytes beyond the old end read as zeros. Returns 0 or the system error number.
    int setSize(size_t newSize, const char* mappingName, bool zeroNewPart = true);
    // Synchronous flush of the whole mapping to disk: when it returns, every byte written
    // through the mapping so far, and the file's length, can be read back after a crash.
    int flush();
    // Flushes `size` bytes at `offset`; nothing to do beyond the whole flush on this platform.
    int flush(size_t offset, size_t size);
    int close();

    char* getAddress() const { return address; }
    size_t getSize() const { return size; }
    bool isOpen() const { return fd >= 0; }
    const char* getMappingName() const { return name; }

    static constexpr size_t reservedSpan = size_t(1) << 32;

  private:
    int fd = -1;
    bool readOnly = false;
    char* address = nullptr;  // start of the reserved range and of the mapping
    size_t size = 0;
    size_t syncedLength = 0;  // length made durable by this open's last fsync (0: none yet)
    char name[64] = {};
};
