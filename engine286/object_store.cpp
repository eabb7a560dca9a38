// The object store: object index, ids, copy on write of objects and index pages, the bitmap
// allocator with its two cursors and per-page hints, growth of the file, row chains, and the
// formatting of a new file. See database.h for the invariants of the two roots and the bitmap.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "database.h"
#include "schema.h"

namespace {

constexpr uint32_t noHint = 0x7FFFFFFF;
constexpr size_t quantaPerBitmapPage = dbPageSize * 8;  // 32768

inline size_t alignUp(size_t x, size_t a) {
    return (x + a - 1) / a * a;
}

// Per byte value of a bitmap byte (bit b = quantum b, set = allocated).
struct ByteTables {
    uint8_t lowFree[256];   // free bits from bit 0 up (8 for 0)
    uint8_t highFree[256];  // free bits from bit 7 down (8 for 0)
    uint8_t maxRun[256];    // longest free run
    uint8_t runPos[256];    // first bit of the longest run (lowest on ties)
    constexpr ByteTables() : lowFree(), highFree(), maxRun(), runPos() {
        for (int v = 0; v < 256; v++) {
            int low = 0;
            while (low < 8 && !(v & (1 << low))) {
                low++;
            }
            int high = 0;
            while (high < 8 && !(v & (0x80 >> high))) {
                high++;
            }
            int best = 0, bestPos = 0, run = 0;
            for (int b = 0; b < 8; b++) {
                if (v & (1 << b)) {
                    run = 0;
                } else if (++run > best) {
                    best = run;
                    bestPos = b - run + 1;
                }
            }
            lowFree[v] = uint8_t(low);
            highFree[v] = uint8_t(high);
            maxRun[v] = uint8_t(best);
            runPos[v] = uint8_t(bestPos);
        }
    }
};
constexpr ByteTables byteTables;

}  // namespace

// ---- object access ---------------------------------------------------------------------------

size_t dbDatabase::objectSize(uint32_t e) const {
    uint32_t kind = e & dbFlagsMask;
    if (kind == dbRowObject) {
        return *reinterpret_cast<const uint32_t*>(base + (e & ~dbFlagsMask));
    }
    return dbInternalObjectSize[kind];
}

byte* dbDatabase::objectAt(oid_t id) {
    dbAssert(id != 0 && id < currentIds);
    uint32_t e = currentIndex[id];
    dbAssert(!(e & dbFreeHandleFlag) && (e & dbFlagsMask) == dbRowObject && e != 0);
    dbAssert(e < header()->fileSize);
    return base + e;
}

byte* dbDatabase::internalObjectAt(oid_t id) {
    dbAssert(id != 0 && id < currentIds);
    uint32_t e = currentIndex[id];
    dbAssert(!(e & dbFreeHandleFlag) && (e & dbFlagsMask) != dbRowObject);
    dbAssert((e & ~dbFlagsMask) < header()->fileSize);
    return base + (e & ~dbFlagsMask);
}

byte* dbDatabase::objectForUpdate(oid_t id) {
    dbAssert(id != 0 && id < currentIds);
    uint32_t e = currentIndex[id];
    dbAssert(!(e & dbFreeHandleFlag) && e != 0);
    if (isShared(id)) {
        markIndexPageDirty(id);
        offs_t old = e & ~dbFlagsMask;
        size_t size = objectSize(e);
        privatizeBitmapRange(old, size);
        offs_t pos = allocSpace(size, id);
        return base + pos;
    }
    return base + (e & ~dbFlagsMask);
}

byte* dbDatabase::pageForUpdate(oid_t id) {
    dbAssert(id != 0 && id < currentIds);
    uint32_t e = currentIndex[id];
    dbAssert(!(e & dbFreeHandleFlag) && e != 0 && (e & dbFlagsMask) != dbRowObject);
    if (isShared(id)) {
        markIndexPageDirty(id);
        offs_t old = e & ~dbFlagsMask;
        size_t size = dbInternalObjectSize[e & dbFlagsMask];
        offs_t pos = allocSpace(size, id);
        privatizeBitmapRange(old, size);
        return base + pos;
    }
    return base + (e & ~dbFlagsMask);
}

byte* dbDatabase::resizeRow(oid_t id, size_t newSize) {
    dbAssert(id != 0 && id < currentIds);
    uint32_t e = currentIndex[id];
    dbAssert(!(e & dbFreeHandleFlag) && (e & dbFlagsMask) == dbRowObject && e != 0);
    offs_t old = e;
    dbRecord saved = *reinterpret_cast<dbRecord*>(base + old);
    offs_t pos;
    if (isShared(id)) {
        markIndexPageDirty(id);
        privatizeBitmapRange(old, saved.size);
        pos = allocSpace(newSize);
    } else if (saved.size != newSize) {
        pos = allocSpace(newSize);
        freeSpace(old, saved.size);
    } else {
        return base + old;
    }
    currentIndex[id] = pos;
    markIndexPageDirty(id);
    auto* rec = reinterpret_cast<dbRecord*>(base + pos);
    rec->size = uint32_t(newSize);
    rec->next = saved.next;
    rec->prev = saved.prev;
    return base + pos;
}

// ---- ids -------------------------------------------------------------------------------------

void dbDatabase::markIndexPageDirty(oid_t id) {
    if (monitor != nullptr) {
        size_t page = id >> dbIndexPageBits;
        monitor->dirtyIndexPages[page >> 5] |= 1u << (page & 31);
    }
}

oid_t dbDatabase::newObjectId(size_t n) {
    markFileDirty();
    dbRoot& root = header()->root[1 - header()->currentRoot];
    if (n == 1 && root.freeIdHead != 0) {
        oid_t id = root.freeIdHead;
        dbAssert(id < currentIds && (currentIndex[id] & dbFreeHandleFlag));
        root.freeIdHead = currentIndex[id] & ~dbFreeHandleFlag;
        markIndexPageDirty(id);
        return id;
    }
    size_t capacity = root.indexCapacity;
    if (capacity < currentIds + n) {
        size_t newCapacity = capacity;
        do {
            newCapacity *= 2;
        } while (newCapacity < capacity + n);
        offs_t oldOffset = root.indexOffset;
        offs_t pos = allocSpace(newCapacity * sizeof(uint32_t));
        auto* newIndex = reinterpret_cast<uint32_t*>(base + pos);
        memcpy(newIndex, currentIndex, currentIds * sizeof(uint32_t));
        memset(newIndex + currentIds, 0, (newCapacity - currentIds) * sizeof(uint32_t));
        for (int i = 0; i < 2; i++) {
            if (indexes[i] == currentIndex) {
                indexes[i] = newIndex;
            }
        }
        currentIndex = newIndex;
        root.indexOffset = pos;
        root.indexCapacity = uint32_t(newCapacity);
        freeSpace(oldOffset, capacity * sizeof(uint32_t));
    }
    oid_t id = oid_t(currentIds);
    currentIds += n;
    root.usedIds = uint32_t(currentIds);
    return id;
}

void dbDatabase::releaseObjectId(oid_t id, size_t n) {
    dbRoot& root = header()->root[1 - header()->currentRoot];
    for (size_t i = 0; i < n; i++, id++) {
        markIndexPageDirty(id);
        currentIndex[id] = root.freeIdHead | dbFreeHandleFlag;
        root.freeIdHead = id;
    }
}

// ---- allocation ------------------------------------------------------------------------------

oid_t dbDatabase::firstMissingBitmapPage() const {
    for (oid_t i = dbBitmapId; i < dbFirstUserId; i++) {
        if (currentIndex[i] == dbFreeHandleFlag) {
            return i;
        }
    }
    return dbFirstUserId;
}

bool dbDatabase::overlapsReserved(uint64_t offset, size_t size) const {
    for (const dbRegion& r : reservedRegions) {
        if (offset < uint64_t(r.offset) + r.size && uint64_t(r.offset) < offset + size) {
            return true;
        }
    }
    return false;
}

void dbDatabase::setBitmapRun(uint64_t quantum, size_t quanta) {
    while (quanta > 0) {
        oid_t pageId = oid_t(dbBitmapId + quantum / quantaPerBitmapPage);
        size_t bit = quantum % quantaPerBitmapPage;
        size_t n = std::min(quanta, quantaPerBitmapPage - bit);
        byte* page = pageForUpdate(pageId);
        size_t end = bit + n;
        while (bit < end && (bit & 7)) {
            page[bit >> 3] |= byte(1 << (bit & 7));
            bit++;
        }
        while (bit + 8 <= end) {
            page[bit >> 3] = 0xFF;
            bit += 8;
        }
        while (bit < end) {
            page[bit >> 3] |= byte(1 << (bit & 7));
            bit++;
        }
        quantum += n;
        quanta -= n;
    }
}

offs_t dbDatabase::placeObject(offs_t offset, size_t size, oid_t id, bool pageRequest) {
    size_t quanta = size / dbAllocationQuantum;
    uint64_t first = offset / dbAllocationQuantum;
    dbAllocCursor& cursor = pageRequest ? pageCursor : smallCursor;
    uint64_t at = pageRequest ? first + quanta : first + quanta - 1;
    cursor.page = oid_t(dbBitmapId + at / quantaPerBitmapPage);
    cursor.position = (at % quantaPerBitmapPage) / 8;
    if (uint64_t(offset) + size > header()->fileSize) {
        growFile(offset + size);
    }
    if (id != 0) {
        uint32_t e = currentIndex[id];
        memcpy(base + offset, base + (e & ~dbFlagsMask), size);
        currentIndex[id] = offset | (e & dbFlagsMask);
    }
    setBitmapRun(first, quanta);
    return offset;
}

offs_t dbDatabase::allocSpace(size_t size, oid_t id) {
    markFileDirty();
    size = alignUp(size == 0 ? dbAllocationQuantum : size, dbAllocationQuantum);
    const size_t q = size / dbAllocationQuantum;
    const bool pageRequest = size % dbPageSize == 0;
    dbAllocCursor& cursor = pageRequest ? pageCursor : smallCursor;
    const oid_t lastPage = firstMissingBitmapPage();
    oid_t startPage = cursor.page;
    size_t startPos =
        pageRequest ? alignUp(cursor.position, dbQuantaPerPageRequest) : cursor.position;
    if (startPage < dbBitmapId || startPage >= lastPage) {
        startPage = dbBitmapId;
        startPos = 0;
    }

    // Two passes: from the cursor's page to the last page, then from the first page up to and
    // including the cursor's page.
    for (int pass = 0; pass < 2; pass++) {
        oid_t from = pass == 0 ? startPage : dbBitmapId;
        oid_t to = pass == 0 ? lastPage : std::min<oid_t>(startPage + 1, lastPage);
        size_t run = 0;  // free quanta ending the previous byte
        for (oid_t pageId = from; pageId < to; pageId++) {
            size_t pos = (pass == 0 && pageId == startPage) ? startPos : 0;
            if (pos != 0) {
                run = 0;
            }
            size_t needed = q - std::min(run, q);
            if (needed > 32767) {
                needed = 32768;
            }
            if (needed >= maxHole[pageId]) {
                run = 0;
                continue;
            }
            const size_t carried = run;
            const byte* page = base + (currentIndex[pageId] & ~dbFlagsMask);
            const uint64_t pageQuantum = uint64_t(pageId - dbBitmapId) * quantaPerBitmapPage;
            for (size_t i = pos; i < dbPageSize;) {
                byte b = page[i];
                uint64_t candidate = UINT64_MAX;
                if (pageRequest) {
                    if (b != 0) {
                        run = 0;
                        i = alignUp(i + 1, dbQuantaPerPageRequest);
                        continue;
                    }
                    run += 8;
                    i++;
                    if (run >= q) {
                        candidate = pageQuantum + i * 8 - run;
                    }
                } else if (byteTables.lowFree[b] + run < q) {
                    if (byteTables.maxRun[b] >= q) {
                        candidate = pageQuantum + i * 8 + byteTables.runPos[b];
                    }
                    run = b == 0 ? run + 8 : byteTables.highFree[b];
                    i++;
                } else {
                    candidate = pageQuantum + i * 8 - run;
                    i++;
                }
                if (candidate == UINT64_MAX) {
                    continue;
                }
                uint64_t offset = candidate * dbAllocationQuantum;
                if (overlapsReserved(offset, size)) {
                    i += (q + 7) / 8;
                    if (pageRequest) {
                        i = alignUp(i, dbQuantaPerPageRequest);
                    }
                    run = 0;
                    continue;
                }
                if (offset + size > dbMaxObjectEnd) {
                    handleError(OutOfMemoryError, nullptr, int(size));
                }
                reservedRegions.push_back({offs_t(offset), size});
                placeObject(offs_t(offset), size, id, pageRequest);
                reservedRegions.pop_back();
                return offs_t(offset);
            }
            if (!pageRequest && pos == 0 && run == 0 && carried == 0 && needed < maxHole[pageId]) {
                // Scanned whole without success: no free run of `needed` quanta here.
                maxHole[pageId] = uint32_t(needed);
            }
        }
    }
    return growWithNewBitmapPages(size, id, pageRequest);
}

offs_t dbDatabase::growWithNewBitmapPages(size_t size, oid_t id, bool pageRequest) {
    const size_t q = size / dbAllocationQuantum;
    oid_t g = firstMissingBitmapPage();
    if (g == dbFirstUserId) {
        handleError(OutOfMemoryError, nullptr, int(size));
    }
    // Free quanta at the end of the last existing page.
    size_t r = 0;
    {
        const byte* page = base + (currentIndex[g - 1] & ~dbFlagsMask);
        for (size_t i = dbPageSize; i-- > 0;) {
            byte b = page[i];
            if (b == 0) {
                r += 8;
                continue;
            }
            r += byteTables.highFree[b];
            break;
        }
    }
    uint64_t areaStart = uint64_t(g - dbBitmapId) * dbBitmapPageCoverage;
    if (pageRequest) {
        r -= r % (dbPageSize / dbAllocationQuantum);  // a page request stays 4096-aligned
    }
    if (r >= q || overlapsReserved(areaStart - r * dbAllocationQuantum, r * dbAllocationQuantum)) {
        r = 0;
    }
    size_t want = std::max(growQuantum, size);
    size_t l = (want + dbBitmapSegmentSize - 1) / dbBitmapSegmentSize;
    if (g + l > dbFirstUserId) {
        l = (size + dbBitmapSegmentSize - 1) / dbBitmapSegmentSize;
        if (g + l > dbFirstUserId) {
            handleError(OutOfMemoryError, nullptr, int(size));
        }
    }
    uint64_t offset = areaStart - r * dbAllocationQuantum;
    uint64_t pagesOffset = areaStart + alignUp(q - r, 256) * dbAllocationQuantum;
    uint64_t end = std::max(pagesOffset + l * dbPageSize, offset + size);
    if (end > dbMaxObjectEnd) {
        handleError(OutOfMemoryError, nullptr, int(size));
    }
    reservedRegions.push_back({offs_t(offset), size});
    reservedRegions.push_back({offs_t(pagesOffset), l * dbPageSize});
    growFile(size_t(end));
    memset(base + pagesOffset, 0, l * dbPageSize);
    for (size_t i = 0; i < l; i++) {
        currentIndex[g + i] = offs_t(pagesOffset + i * dbPageSize) | dbPageObject;
        markIndexPageDirty(oid_t(g + i));
        maxHole[g + i] = noHint;
    }
    if (id != 0) {
        uint32_t e = currentIndex[id];
        memcpy(base + offset, base + (e & ~dbFlagsMask), size);
        currentIndex[id] = offs_t(offset) | (e & dbFlagsMask);
    }
    setBitmapRun(offset / dbAllocationQuantum, q);
    setBitmapRun(pagesOffset / dbAllocationQuantum, l * dbPageSize / dbAllocationQuantum);
    // Pages the object fills completely have no hole left.
    uint64_t firstQ = offset / dbAllocationQuantum;
    uint64_t endQ = firstQ + q;
    for (uint64_t p = (firstQ + quantaPerBitmapPage - 1) / quantaPerBitmapPage;
         (p + 1) * quantaPerBitmapPage <= endQ; p++) {
        maxHole[dbBitmapId + p] = 0;
    }
    dbAllocCursor& cursor = pageRequest ? pageCursor : smallCursor;
    cursor.page = oid_t(dbBitmapId + (endQ - 1) / quantaPerBitmapPage);
    cursor.position = 0;
    reservedRegions.pop_back();
    reservedRegions.pop_back();
    return offs_t(offset);
}

void dbDatabase::freeSpace(offs_t offset, size_t size) {
    dbAssert(offset != 0 && offset % dbAllocationQuantum == 0);
    size_t quanta = (size + dbAllocationQuantum - 1) / dbAllocationQuantum;
    uint64_t quantum = offset / dbAllocationQuantum;
    bool small = offset % dbPageSize != 0 || size < dbPageSize;
    dbAllocCursor& cursor = small ? smallCursor : pageCursor;
    oid_t pageId = oid_t(dbBitmapId + quantum / quantaPerBitmapPage);
    size_t bytePos = (quantum % quantaPerBitmapPage) / 8;
    if (cursor.page == pageId && cursor.position > bytePos) {
        cursor.position = bytePos;
    }
    while (quanta > 0) {
        pageId = oid_t(dbBitmapId + quantum / quantaPerBitmapPage);
        dbAssert(pageId < dbFirstUserId);
        size_t bit = quantum % quantaPerBitmapPage;
        size_t n = std::min(quanta, quantaPerBitmapPage - bit);
        byte* page = pageForUpdate(pageId);
        maxHole[pageId] = noHint;
        for (size_t end = bit + n; bit < end; bit++) {
            page[bit >> 3] &= byte(~(1 << (bit & 7)));
        }
        quantum += n;
        quanta -= n;
    }
}

void dbDatabase::privatizeBitmapRange(offs_t offset, size_t size) {
    if (size == 0) {
        return;
    }
    uint64_t first = offset / dbBitmapPageCoverage;
    uint64_t last = (uint64_t(offset) + size - 1) / dbBitmapPageCoverage;
    for (uint64_t p = first; p <= last; p++) {
        pageForUpdate(oid_t(dbBitmapId + p));
    }
}

// ---- internal objects ------------------------------------------------------------------------

oid_t dbDatabase::newInternalObject(dbObjectKind kind) {
    oid_t id = newObjectId(1);
    offs_t pos = allocSpace(dbInternalObjectSize[kind]);
    currentIndex[id] = pos | kind;
    markIndexPageDirty(id);
    return id;
}

oid_t dbDatabase::allocateObject(size_t size) {
    oid_t id = newObjectId(1);
    offs_t pos = allocSpace(size);
    currentIndex[id] = pos;
    markIndexPageDirty(id);
    *reinterpret_cast<uint32_t*>(base + pos) = uint32_t(size);
    return id;
}

void dbDatabase::dropInternalObject(oid_t id) {
    dbAssert(id != 0 && id < currentIds);
    uint32_t e = currentIndex[id];
    dbAssert(!(e & dbFreeHandleFlag) && e != 0);
    offs_t pos = e & ~dbFlagsMask;
    size_t size = objectSize(e);
    if (isShared(id)) {
        privatizeBitmapRange(pos, size);  // the commit frees the committed copy
    } else {
        freeSpace(pos, size);
    }
    releaseObjectId(id);
}

void dbDatabase::dropObject(oid_t id) {
    dropInternalObject(id);
}

// ---- rows ------------------------------------------------------------------------------------

oid_t dbDatabase::appendRow(oid_t tableId, size_t size) {
    oid_t id = newObjectId(1);
    offs_t pos = allocSpace(size);
    currentIndex[id] = pos;
    markIndexPageDirty(id);
    auto* rec = reinterpret_cast<dbRecord*>(base + pos);
    dbTable* table = tableRowForUpdate(tableId);
    rec->size = uint32_t(size);
    rec->next = 0;
    rec->prev = table->lastRow;
    if (table->lastRow != 0) {
        // Written in place: the committed last row keeps a link that a crash or a rollback
        // leaves dangling, and repairLastRows clears.
        reinterpret_cast<dbRecord*>(objectAt(table->lastRow))->next = id;
    } else {
        table->firstRow = id;
    }
    table->lastRow = id;
    table->nRows += 1;
    return id;
}

void dbDatabase::unlinkRow(oid_t tableId, oid_t rowId) {
    dbTable* table = tableRowForUpdate(tableId);
    dbRecord saved = *reinterpret_cast<dbRecord*>(objectAt(rowId));
    table->nRows -= 1;
    if (saved.prev != 0) {
        reinterpret_cast<dbRecord*>(objectForUpdate(saved.prev))->next = saved.next;
    } else {
        table->firstRow = saved.next;
    }
    if (saved.next != 0) {
        reinterpret_cast<dbRecord*>(objectForUpdate(saved.next))->prev = saved.prev;
    } else {
        table->lastRow = saved.prev;
    }
    offs_t pos = currentIndex[rowId] & ~dbFlagsMask;
    if (isShared(rowId)) {
        privatizeBitmapRange(pos, saved.size);
    } else {
        freeSpace(pos, saved.size);
    }
    releaseObjectId(rowId);
}

void dbDatabase::repairLastRows() {
    auto repair = [this](oid_t tableId) {
        dbTable* t = tableRow(tableId);
        if (t->lastRow != 0) {
            auto* last = reinterpret_cast<dbRecord*>(objectAt(t->lastRow));
            if (last->next != 0) {
                last->next = 0;
            }
        }
    };
    repair(dbMetaTableId);
    size_t n = tableRow(dbMetaTableId)->nRows;
    for (oid_t t = tableRow(dbMetaTableId)->firstRow; t != 0 && n-- > 0;
         t = reinterpret_cast<dbRecord*>(objectAt(t))->next) {
        repair(t);
    }
}

// ---- the file --------------------------------------------------------------------------------

void dbDatabase::markFileDirty() {
    if (!header()->dirty) {
        if (accessMode == dbReadOnly) {
            handleError(DatabaseReadOnly);
        }
        header()->dirty = 1;
        file.flush();
    }
    modified = 1;
}

void dbDatabase::growFile(size_t requiredEnd) {
    size_t current = header()->fileSize;
    if (current >= requiredEnd) {
        return;
    }
    size_t newSize = std::max(requiredEnd, current * 2);
    newSize = std::min<size_t>(newSize, std::max<size_t>(requiredEnd, dbMaxObjectEnd));
    newSize = alignUp(newSize, dbPageSize);
    // The file is extended before the new size and generation are published, so a process
    // that follows the generation never maps past the end of the file.
    unsigned generation = (monitor != nullptr ? monitor->fileGeneration : mappedGeneration) + 1;
    byte* oldBase = base;
    int rc = file.setSize(newSize, mappingName(generation), true);
    if (rc != 0) {
        handleError(FileError, "Failed to extend file", rc);
    }
    base = reinterpret_cast<byte*>(file.getAddress());
    dbAssert(base == oldBase);  // the mapping keeps its address (mapped_file.h)
    header()->fileSize = uint32_t(newSize);
    if (monitor != nullptr) {
        monitor->fileGeneration = generation;
    }
    mappedGeneration = generation;
}

bool dbDatabase::followRemap() {
    if (monitor == nullptr || monitor->fileGeneration == mappedGeneration) {
        return true;
    }
    unsigned generation = monitor->fileGeneration;
    const char* name = mappingName(generation);
    if (file.isOpen()) {
        int rc = file.setSize(header()->fileSize, name, false);
        if (rc != 0) {
            handleError(FileError, "Failed to reopen database file", rc);
        }
    } else {
        bool readOnly = accessMode == dbReadOnly || accessMode == dbConcurrentRead;
        if (file.open(dataFileName, name, readOnly, 0) != 0) {
            handleError(DatabaseOpenError, "Failed to open database file");
            return false;
        }
    }
    mappedGeneration = generation;
    base = reinterpret_cast<byte*>(file.getAddress());
    dbAssert(file.getSize() >= sizeof(dbHeader) && file.getSize() == header()->fileSize);
    return true;
}

int dbDatabase::openDataFile(bool readOnly, size_t initialSize) {
    int rc = file.open(dataFileName, mappingName(mappedGeneration), readOnly, initialSize);
    if (rc == 0 && file.getSize() < sizeof(dbHeader) && readOnly) {
        // Nothing to read a header from: refuse rather than read past the mapping.
        file.close();
        rc = EINVAL;
    }
    if (rc == 0) {
        base = reinterpret_cast<byte*>(file.getAddress());
    }
    return rc;
}

size_t dbDatabase::newIndexCapacity() const {
    size_t n = std::max<size_t>(initialIndexSize, dbFirstUserId);
    return alignUp(n, dbIndexPageEntries);
}

size_t dbDatabase::newFileSize(size_t indexCapacity) const {
    size_t f = initialFileSize != 0 ? initialFileSize : dbDefaultFileSize;
    f = std::max(f, 16 * indexCapacity);
    return alignUp(f, dbFileSizeQuantum);
}

void dbDatabase::resetAllocator() {
    smallCursor = {dbBitmapId, 0};
    pageCursor = {dbBitmapId, 0};
    reservedRegions.clear();
    for (size_t i = 0; i < dbFirstUserId; i++) {
        maxHole[i] = noHint;
    }
}

void dbDatabase::formatFile() {
    const size_t n = newIndexCapacity();
    if (file.getSize() < newFileSize(n)) {
        // A short file that was never formatted (a write cut before the first commit, or a
        // stray file): give it the size of a new file before writing its structures.
        int rc = file.setSize(newFileSize(n), mappingName(mappedGeneration), true);
        if (rc != 0) {
            handleError(FileError, "Failed to extend file", rc);
        }
    }
    const size_t f = file.getSize();
    dbHeader* h = header();
    h->currentRoot = 0;
    h->fileSize = uint32_t(f);
    for (int i = 0; i < 2; i++) {
        dbRoot& root = h->root[i];
        root.indexOffset = offs_t(dbHeaderPageOffset + i * n * sizeof(uint32_t));
        root.shadowOffset = offs_t(dbHeaderPageOffset + (1 - i) * n * sizeof(uint32_t));
        root.indexCapacity = uint32_t(n);
        root.shadowCapacity = uint32_t(n);
        root.usedIds = dbFirstUserId;
        root.freeIdHead = 0;
    }
    h->versionMajor = dbVersionMajor;
    h->versionMinor = dbVersionMinor;

    const size_t p = dbHeaderPageOffset + 2 * n * sizeof(uint32_t);
    const size_t k = (p + dbBitmapSegmentSize - 1) / dbBitmapSegmentSize;
    indexes[0] = reinterpret_cast<uint32_t*>(base + h->root[0].indexOffset);
    indexes[1] = reinterpret_cast<uint32_t*>(base + h->root[1].indexOffset);
    uint32_t* index = indexes[0];
    // Bitmap: every quantum of [0, p + 4096k) is taken.
    const size_t usedQuanta = (p + k * dbPageSize) / dbAllocationQuantum;
    for (size_t i = 0; i < k; i++) {
        byte* page = base + p + i * dbPageSize;
        memset(page, 0, dbPageSize);
        size_t firstQ = i * quantaPerBitmapPage;
        for (size_t qn = firstQ; qn < usedQuanta && qn < firstQ + quantaPerBitmapPage; qn++) {
            size_t bit = qn - firstQ;
            page[bit >> 3] |= byte(1 << (bit & 7));
        }
    }
    index[0] = dbFreeHandleFlag;
    index[dbMetaTableId] = dbFreeHandleFlag;
    for (size_t i = 0; i < dbBitmapPageCount; i++) {
        index[dbBitmapId + i] =
            i < k ? uint32_t(p + i * dbPageSize) | dbPageObject : dbFreeHandleFlag;
    }
    currentIndex = index;
    currentIds = dbFirstUserId;
    committedIds = 0;
    resetAllocator();

    size_t metaSize = dbMetaTableRowSize();
    offs_t pos = allocSpace(metaSize);
    index[dbMetaTableId] = pos;
    dbWriteMetaTableRow(reinterpret_cast<dbTable*>(base + pos));

    h->dirty = 1;
    memcpy(indexes[1], indexes[0], dbFirstUserId * sizeof(uint32_t));
    file.flush();
    h->initialized = 1;
    file.flush();
}
