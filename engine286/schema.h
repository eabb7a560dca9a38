// The stored schema: the rows of "Metatable" (id 1 is the row describing "Metatable" itself),
// written and read with one layout so that the file and the registered descriptors agree.
//
// Invariant: a "Metatable" row is 48 bytes of table data, then one 44-byte field record per
// field, then the table name, then per field record its name, referenced table name and inverse
// name; every string offset points inside the row (readers check this before use).
#pragma once

#include <cstddef>

#include "class.h"
#include "file_format.h"

// Size of the row of "Metatable" that describes "Metatable" itself, and its content.
size_t dbMetaTableRowSize();
void dbWriteMetaTableRow(dbTable* row);

// Reading a stored "Metatable" row; each raises dbException(0) when the row is malformed.
size_t dbStoredFieldCount(const dbTable* row);
const dbField* dbStoredField(const dbTable* row, size_t i);
// A string of a stored field record (name, tableName or inverse), or the table's name.
const char* dbStoredString(const dbTable* row, const dbField* field, const dbVarying& v);
const char* dbStoredTableName(const dbTable* row);
