// Record classes of the transaction and cursor tests: a row with a string and an integer key
// under both a hash and a tree index, and an order that owns its parts through an inverse
// reference array (removing the order removes its parts).
#pragma once

#include <cstddef>
#include <cstdint>

#include "array.h"
#include "class.h"

class TxnItem {
  public:
    int32_t key = 0;
    const char* text = nullptr;
    KEST_DESCRIBE(TxnItem, KEST_KEY(key, HASHED | INDEXED), KEST_FIELD(text));
};

class TxnPart;

class TxnOrder {
  public:
    const char* name = nullptr;
    dbArray<dbReference<TxnPart>> parts;
    KEST_DESCRIBE(TxnOrder, KEST_FIELD(name),
                  dbDescribeField<dbArray<dbReference<TxnPart>>>("parts", offsetof(Self, parts),
                                                                 DB_FIELD_CASCADE_DELETE, "order"));
};

class TxnPart {
  public:
    const char* label = nullptr;
    dbReference<TxnOrder> order;
    KEST_DESCRIBE(TxnPart, KEST_FIELD(label),
                  dbDescribeField<dbReference<TxnOrder>>("order", offsetof(Self, order), 0,
                                                         "parts"));
};
