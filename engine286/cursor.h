// Cursors: the way a program reaches the rows of one table. A cursor is bound to a table
// descriptor and to an object of the record class that receives the current row; select()
// takes the database lock (shared for a read-only cursor, exclusive for an update cursor) and
// places the cursor on the first row of the whole table.
//
// Invariants: a selected cursor is linked into the cursor list of the thread that selected
// it and is reset (unlinked, no current row) when that thread's transaction ends; currentId is
// 0 or the id of a live row of `table` in the working index; the object holds the current row
// whenever currentId is non-zero and prefetch is set (its strings point into the mapping,
// which never moves while the database is open).
#pragma once

#include <cstddef>
#include <cstdint>

#include "class.h"
#include "database.h"
#include "sync_w32.h"

enum dbCursorType : byte { dbCursorViewOnly = 0, dbCursorForUpdate = 1 };

class dbAnyCursor : public dbL2List {
  public:
    dbDatabase* db = nullptr;
    dbTableDescriptor* table;
    byte type;
    byte defaultType;
    // Selection list of row ids; selection by condition is not offered, so it stays empty.
    struct dbSelection {
        void* head = nullptr;
        void* tail = nullptr;
        void* currentSegment = nullptr;
        size_t count = 0;
        size_t position = 0;
    } selection;
    byte allRecords = 0;
    oid_t firstId = 0;
    oid_t lastId = 0;
    oid_t currentId = 0;
    void* record;
    byte prefetch = 1;
    byte movedByRemove = 0;
    byte inOwnUpdate = 0;

    // `record` receives the current row; it must outlive the cursor.
    dbAnyCursor(dbTableDescriptor& table, int type, void* record);
    virtual ~dbAnyCursor() = default;
    dbAnyCursor(const dbAnyCursor&) = delete;
    dbAnyCursor& operator=(const dbAnyCursor&) = delete;

    // Selects every row of the table with the cursor's type; returns the row count.
    // Raises dbException(0) when the table is not bound to an open database.
    int select() { return select(defaultType); }
    int select(int cursorType);

    // Writes the object back into the current row. Needs an update cursor on a row.
    void update();
    // Removes the current row and moves to the next one (the previous one at the end).
    void remove();

    // The object holding the current row; dbException(0) when there is none.
    void* currentObject() const;
    oid_t getOid() const { return currentId; }
    bool isEmpty() const { return currentId == 0; }
    bool isUpdateCursor() const { return type == dbCursorForUpdate; }

    // Reads the current row into the object.
    void fetch();
    // Forgets the selection and unlinks the cursor (end of its thread's transaction).
    void reset();

    static dbAnyCursor* fromLink(dbL2List* link) { return static_cast<dbAnyCursor*>(link); }

  private:
    dbTableDescriptor* declared;  // the descriptor given at construction
};

// A cursor over the rows of record class T; the cursor owns the object receiving the row.
template <class T>
class dbCursor : public dbAnyCursor {
  public:
    explicit dbCursor(int cursorType = dbCursorViewOnly)
        : dbAnyCursor(T::dbDescriptor, cursorType, &object) {}

    T* operator->() { return static_cast<T*>(currentObject()); }
    T& operator*() { return *static_cast<T*>(currentObject()); }
    T* get() { return static_cast<T*>(currentObject()); }

  private:
    T object{};
};

// The client's name for the untyped cursor; nothing of its own.
class kestdbAnyCursor : public dbAnyCursor {
  public:
    using dbAnyCursor::dbAnyCursor;
};
