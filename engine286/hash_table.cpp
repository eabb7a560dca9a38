// Hash tables over the object store: creation, growth, insert, remove and drop. See index.h for
// the invariants of buckets and chains.
#include <cstring>

#include "database.h"
#include "hash_table.h"

namespace {

dbHashTableHeader* headerOf(dbDatabase* db, oid_t id) {
    return reinterpret_cast<dbHashTableHeader*>(db->internalObjectAt(id));
}
dbHashTableItem* itemOf(dbDatabase* db, oid_t id) {
    return reinterpret_cast<dbHashTableItem*>(db->internalObjectAt(id));
}
dbHashTableItem* itemForUpdate(dbDatabase* db, oid_t id) {
    return reinterpret_cast<dbHashTableItem*>(db->pageForUpdate(id));
}
oid_t* bucketPage(dbDatabase* db, oid_t pageId) {
    return reinterpret_cast<oid_t*>(db->internalObjectAt(pageId));
}

// `count + 1` zeroed buckets as consecutive 4096-byte pages; returns the first page id.
oid_t newBucketPages(dbDatabase* db, uint32_t count) {
    size_t pages = (size_t(count) + 1) / dbHashBucketsPerPage;
    oid_t first = db->newObjectId(pages);
    offs_t pos = db->allocSpace((size_t(count) + 1) * sizeof(oid_t));
    dbAssert(pos % dbPageSize == 0);
    memset(db->base + pos, 0, (size_t(count) + 1) * sizeof(oid_t));
    for (size_t i = 0; i < pages; i++) {
        db->currentIndex[first + i] = offs_t(pos + i * dbPageSize) | dbPageObject;
        db->markIndexPageDirty(oid_t(first + i));
    }
    return first;
}

}  // namespace

oid_t dbHashTable::create(dbDatabase* db, size_t rowCount) {
    uint32_t count = dbInitHashTableSize;
    while (count <= rowCount) {
        count = count * 2 + 1;
    }
    oid_t id = db->newInternalObject(dbHashTableObject);
    oid_t first = newBucketPages(db, count);
    auto* hdr = reinterpret_cast<dbHashTableHeader*>(db->pageForUpdate(id));
    hdr->bucketCount = count;
    hdr->usedBuckets = 0;
    hdr->firstBucketPage = first;
    return id;
}

void dbHashTable::insert(dbDatabase* db, oid_t hashTable, oid_t rowId, dbFieldDescriptor* fd,
                         size_t hint) {
    const uint32_t code = fd->hashKey(db->objectAt(rowId));
    dbHashTableHeader* hdr = headerOf(db, hashTable);
    // Grow when more rows are expected than there are buckets and two thirds of the buckets
    // are in use.
    if (hdr->bucketCount < hint && hdr->usedBuckets > hdr->bucketCount * 2 / 3) {
        const uint32_t oldCount = hdr->bucketCount;
        const oid_t oldFirst = hdr->firstBucketPage;
        const uint32_t newCount = oldCount * 2 + 1;
        const oid_t newFirst = newBucketPages(db, newCount);
        uint32_t used = 0;
        const size_t oldPages = (size_t(oldCount) + 1) / dbHashBucketsPerPage;
        for (size_t p = 0; p < oldPages; p++) {
            for (size_t slot = 0; slot < dbHashBucketsPerPage; slot++) {
                oid_t item = bucketPage(db, oid_t(oldFirst + p))[slot];
                while (item != 0) {
                    dbHashTableItem* it = itemOf(db, item);
                    oid_t next = it->next;
                    uint32_t b = it->hash % newCount;
                    oid_t* newSlot = reinterpret_cast<oid_t*>(db->pageForUpdate(
                                         oid_t(newFirst + b / dbHashBucketsPerPage))) +
                                     b % dbHashBucketsPerPage;
                    if (*newSlot == 0) {
                        used += 1;
                    }
                    if (it->next != *newSlot) {
                        itemForUpdate(db, item)->next = *newSlot;
                    }
                    *newSlot = item;
                    item = next;
                }
            }
            db->dropInternalObject(oid_t(oldFirst + p));
        }
        hdr = reinterpret_cast<dbHashTableHeader*>(db->pageForUpdate(hashTable));
        hdr->bucketCount = newCount;
        hdr->usedBuckets = used;
        hdr->firstBucketPage = newFirst;
    }
    const uint32_t count = hdr->bucketCount;
    const oid_t first = hdr->firstBucketPage;
    const uint32_t b = code % count;
    oid_t item = db->newInternalObject(dbHashTableItemObject);
    oid_t* slot =
        reinterpret_cast<oid_t*>(db->pageForUpdate(oid_t(first + b / dbHashBucketsPerPage))) +
        b % dbHashBucketsPerPage;
    dbHashTableItem* it = itemForUpdate(db, item);
    it->next = *slot;
    it->record = rowId;
    it->hash = code;
    bool wasEmpty = *slot == 0;
    *slot = item;
    if (wasEmpty) {
        reinterpret_cast<dbHashTableHeader*>(db->pageForUpdate(hashTable))->usedBuckets += 1;
    }
}

void dbHashTable::remove(dbDatabase* db, oid_t hashTable, oid_t rowId, dbFieldDescriptor* fd) {
    const uint32_t code = fd->hashKey(db->objectAt(rowId));
    dbHashTableHeader* hdr = headerOf(db, hashTable);
    const uint32_t b = code % hdr->bucketCount;
    const oid_t pageId = oid_t(hdr->firstBucketPage + b / dbHashBucketsPerPage);
    const size_t slotNo = b % dbHashBucketsPerPage;
    oid_t prev = 0;
    oid_t item = bucketPage(db, pageId)[slotNo];
    while (item != 0 && itemOf(db, item)->record != rowId) {
        prev = item;
        item = itemOf(db, item)->next;
    }
    dbAssert(item != 0);  // the row must be in its chain
    oid_t next = itemOf(db, item)->next;
    if (prev != 0) {
        itemForUpdate(db, prev)->next = next;
    } else {
        reinterpret_cast<oid_t*>(db->pageForUpdate(pageId))[slotNo] = next;
        if (next == 0) {
            reinterpret_cast<dbHashTableHeader*>(db->pageForUpdate(hashTable))->usedBuckets -= 1;
        }
    }
    db->dropInternalObject(item);
}

void dbHashTable::drop(dbDatabase* db, oid_t hashTable) {
    dbHashTableHeader* hdr = headerOf(db, hashTable);
    const size_t pages = (size_t(hdr->bucketCount) + 1) / dbHashBucketsPerPage;
    const oid_t first = hdr->firstBucketPage;
    for (size_t p = 0; p < pages; p++) {
        for (size_t slot = 0; slot < dbHashBucketsPerPage; slot++) {
            oid_t item = bucketPage(db, oid_t(first + p))[slot];
            while (item != 0) {
                oid_t next = itemOf(db, item)->next;
                db->dropInternalObject(item);
                item = next;
            }
        }
        db->dropInternalObject(oid_t(first + p));
    }
    db->dropInternalObject(hashTable);
}
