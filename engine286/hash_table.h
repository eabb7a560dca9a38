// Hash tables over the object store, one per field declared with index flag bit 0. A hash
// table is an internal object of the database, changed with the same copy on write as rows.
//
// Invariants: the header holds an odd bucketCount (16383 at least); bucket i is slot i % 1024
// of bucket page firstBucketPage + i / 1024; every indexed row has exactly one item, in the
// chain of bucket (hash % bucketCount); usedBuckets counts the non-empty buckets. Keys are read
// from the rows as stored at the moment of the call: remove before a row is rewritten, insert
// after.
#pragma once

#include <cstddef>

#include "class.h"
#include "file_format.h"

class dbDatabase;

class dbHashTable {
  public:
    // A table sized for `rowCount` rows; returns the header id.
    static oid_t create(dbDatabase* db, size_t rowCount);
    // `hint`: rows expected after the insert (0: no growth).
    static void insert(dbDatabase* db, oid_t hashTable, oid_t rowId, dbFieldDescriptor* fd,
                       size_t hint);
    static void remove(dbDatabase* db, oid_t hashTable, oid_t rowId, dbFieldDescriptor* fd);
    static void drop(dbDatabase* db, oid_t hashTable);
};
