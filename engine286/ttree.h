// T-trees over the object store, one per field declared with index flag bit 1: a balanced
// binary tree whose nodes are 512-byte pages of up to 125 row ids sorted by key.
//
// Invariants: in-order traversal gives the row ids sorted by key; every page holds 1..125 rows;
// each page's balance is height(right) - height(left), within -1..+1. Keys are read from the
// rows as stored at the moment of the call: remove before a row is rewritten, insert after.
#pragma once

#include <cstddef>

#include "class.h"
#include "file_format.h"

class dbDatabase;

class dbTtree {
  public:
    static oid_t create(dbDatabase* db);
    static void insert(dbDatabase* db, oid_t tree, oid_t rowId, dbFieldDescriptor* fd);
    static void remove(dbDatabase* db, oid_t tree, oid_t rowId, dbFieldDescriptor* fd);
    static void drop(dbDatabase* db, oid_t tree);
};
