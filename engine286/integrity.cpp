// Integrity check of a database file image (see integrity.h). Reads only; every offset taken
// from the file is bounds-checked before it is followed, and every walk is bounded, so a
// damaged or hostile file yields faults, never a crash or an endless loop.
#include "integrity.h"

#include "class.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>

namespace {

constexpr int kMaxTreeDepth = 64;

struct StoredField {
    std::string name;
    int type;
    uint32_t offset;
    uint32_t size;
    oid_t hashTable;
    oid_t tTree;
};

struct StoredTable {
    oid_t id;
    std::string name;
    uint32_t fixedSize;
    uint32_t nRows;
    oid_t firstRow;
    oid_t lastRow;
    std::vector<StoredField> fields;
    std::vector<oid_t> rows;
};

class Checker {
  public:
    Checker(const byte* base, size_t size, bool tolerateLeaks)
        : base(base), size(size), tolerateLeaks(tolerateLeaks) {}

    std::vector<std::string> faults;

    void run() {
        if (!checkHeader()) {
            return;
        }
        if (!checkIndex()) {
            return;
        }
        if (!checkSchema()) {
            return;
        }
        for (StoredTable& t : tables) {
            checkRows(t);
        }
        if (!faults.empty()) {
            return;
        }
        for (StoredTable& t : tables) {
            for (const StoredField& f : t.fields) {
                if (f.hashTable != 0) {
                    checkHash(t, f);
                }
                if (f.tTree != 0) {
                    checkTree(t, f);
                }
            }
        }
        if (faults.empty()) {
            checkBitmap();
        }
    }

  private:
    const byte* base;
    size_t size;
    bool tolerateLeaks;  // space marked used that nothing reaches is not a fault
    bool dirty = false;
    const dbHeader* h = nullptr;
    const uint32_t* index = nullptr;
    uint32_t used = 0;
    std::vector<StoredTable> tables;
    std::vector<uint8_t> rowOwner;  // per id: 1 when a row of some table (or a table row)
    std::vector<std::pair<uint64_t, uint64_t>> reachable;  // (offset, size) of live objects

    void fault(const std::string& s) { faults.push_back(s); }

    bool inFile(uint64_t offset, uint64_t length) const {
        return offset <= size && length <= size - offset;
    }

    uint32_t word(uint64_t offset) const {
        uint32_t v;
        memcpy(&v, base + offset, 4);
        return v;
    }

    bool checkHeader() {
        if (size < dbPageSize) {
            fault("file shorter than its header page");
            return false;
        }
        h = reinterpret_cast<const dbHeader*>(base);
        dirty = h->dirty != 0;
        if (h->initialized != 1) {
            fault("file is not initialized");
            return false;
        }
        if (h->currentRoot > 1) {
            fault("invalid root index");
            return false;
        }
        if (!dirty && h->fileSize != size) {
            fault("file size in header differs from actual file size");
            return false;
        }
        const dbRoot& c = h->root[h->currentRoot];
        if (c.indexOffset % dbAllocationQuantum != 0 || c.indexOffset < dbPageSize ||
            !inFile(c.indexOffset, uint64_t(c.indexCapacity) * 4)) {
            fault("committed index array outside the file");
            return false;
        }
        if (c.shadowOffset % dbAllocationQuantum != 0 || c.shadowOffset < dbPageSize ||
            !inFile(c.shadowOffset, uint64_t(c.shadowCapacity) * 4)) {
            fault("shadow index array outside the file");
            return false;
        }
        if (c.usedIds < dbFirstUserId || c.usedIds > c.indexCapacity ||
            c.usedIds > c.shadowCapacity) {
            fault("committed id count out of range");
            return false;
        }
        index = reinterpret_cast<const uint32_t*>(base + c.indexOffset);
        used = c.usedIds;
        if (!dirty) {
            // A clean file's working root is a copy of the committed one.
            const dbRoot& w = h->root[1 - h->currentRoot];
            if (w.indexOffset != c.shadowOffset || w.indexCapacity != c.shadowCapacity ||
                w.shadowOffset != c.indexOffset || w.shadowCapacity != c.indexCapacity ||
                w.usedIds != c.usedIds || w.freeIdHead != c.freeIdHead) {
                fault("working root differs from the committed root in a clean file");
                return false;
            }
            const uint32_t* wi = reinterpret_cast<const uint32_t*>(base + w.indexOffset);
            if (memcmp(wi, index, size_t(used) * 4) != 0) {
                fault("working index differs from the committed index in a clean file");
                return false;
            }
        }
        return true;
    }

    bool live(oid_t id) const { return id != 0 && id < used && !(index[id] & dbFreeHandleFlag); }
    uint32_t kind(oid_t id) const { return index[id] & dbFlagsMask; }
    uint64_t offsetOf(oid_t id) const { return index[id] & ~dbFlagsMask; }

    bool checkIndex() {
        const size_t before = faults.size();
        rowOwner.assign(used, 0);
        if (index[0] != dbFreeHandleFlag) {
            fault("entry of id 0 is not free");
        }
        bool missing = false;
        for (oid_t id = 1; id < used; id++) {
            const uint32_t e = index[id];
            if (id >= dbBitmapId && id < dbFirstUserId) {
                if (e == dbFreeHandleFlag) {
                    missing = true;
                    continue;
                }
                if (missing || (e & dbFreeHandleFlag) || (e & dbFlagsMask) != dbPageObject) {
                    fault("bitmap page " + std::to_string(id) + " has a wrong entry");
                    continue;
                }
            }
            if (e & dbFreeHandleFlag) {
                if ((e & ~dbFreeHandleFlag) >= used) {
                    fault("free id " + std::to_string(id) + " links outside the index");
                }
                continue;
            }
            const uint32_t k = e & dbFlagsMask;
            const uint64_t off = e & ~dbFlagsMask;
            if (k == 7 || off % dbAllocationQuantum != 0 || off < dbPageSize) {
                fault("object " + std::to_string(id) + " has a bad entry");
                continue;
            }
            uint64_t len = dbInternalObjectSize[k];
            if (k == dbRowObject) {
                if (!inFile(off, 4)) {
                    fault("object " + std::to_string(id) + " outside the file");
                    continue;
                }
                len = word(off);
                if (len < 4) {
                    fault("object " + std::to_string(id) + " has a bad size");
                    continue;
                }
            }
            if (!inFile(off, len)) {
                fault("object " + std::to_string(id) + " outside the file");
                continue;
            }
            reachable.emplace_back(off, len);
        }
        if (!live(dbMetaTableId) || kind(dbMetaTableId) != dbRowObject) {
            fault("no \"Metatable\" row");
        }
        // The released-id chain ends within a bounded walk.
        const dbRoot& c = h->root[h->currentRoot];
        uint32_t steps = 0;
        for (oid_t id = c.freeIdHead; id != 0; id = index[id] & ~dbFreeHandleFlag) {
            if (id >= used || !(index[id] & dbFreeHandleFlag) || ++steps > used) {
                fault("free id chain is broken");
                break;
            }
        }
        return faults.size() == before;
    }

    // A string of a "Metatable" row at `v`, offsets relative to `rel`.
    bool tableString(uint64_t rowOff, uint64_t rowSize, uint64_t rel, const dbVarying& v,
                     std::string& out) {
        if (v.size == 0 || rel + v.offs < rel || !(rel + v.offs <= rowSize) ||
            v.size > rowSize - (rel + v.offs)) {
            return false;
        }
        const char* s = reinterpret_cast<const char*>(base + rowOff + rel + v.offs);
        if (s[v.size - 1] != 0) {
            return false;
        }
        out.assign(s);
        return true;
    }

    bool readTable(oid_t id, StoredTable& t) {
        if (!live(id) || kind(id) != dbRowObject) {
            fault("table row " + std::to_string(id) + " is not a live row");
            return false;
        }
        const uint64_t off = offsetOf(id);
        const uint64_t rs = word(off);
        if (rs < sizeof(dbTable)) {
            fault("table row " + std::to_string(id) + " is too short");
            return false;
        }
        dbTable row;
        memcpy(&row, base + off, sizeof row);
        t.id = id;
        t.fixedSize = row.fixedSize;
        t.nRows = row.nRows;
        t.firstRow = row.firstRow;
        t.lastRow = row.lastRow;
        if (!tableString(off, rs, 0, row.name, t.name)) {
            fault("table row " + std::to_string(id) + " has a bad name");
            return false;
        }
        if (uint64_t(row.fields.offs) + uint64_t(row.fields.size) * sizeof(dbField) > rs ||
            row.fields.offs < sizeof(dbTable)) {
            fault("table \"" + t.name + "\" has its field records outside its row");
            return false;
        }
        if (row.fixedSize < sizeof(dbRecord) || row.fixedSize > size) {
            fault("table \"" + t.name + "\" has a bad fixed size");
            return false;
        }
        for (uint32_t i = 0; i < row.fields.size; i++) {
            const uint64_t fo = uint64_t(row.fields.offs) + uint64_t(i) * sizeof(dbField);
            dbField f;
            memcpy(&f, base + off + fo, sizeof f);
            StoredField sf;
            std::string tableName, inverse;
            if (!tableString(off, rs, fo, f.name, sf.name) ||
                !tableString(off, rs, fo, f.tableName, tableName) ||
                !tableString(off, rs, fo, f.inverse, inverse)) {
                fault("table \"" + t.name + "\" has a bad field record");
                return false;
            }
            sf.type = f.type;
            sf.offset = uint32_t(f.offset);
            sf.size = uint32_t(f.size);
            sf.hashTable = f.hashTable;
            sf.tTree = f.tTree;
            const bool valid = (f.type >= dbTpBool && f.type <= dbTpArray) ||
                               f.type == dbTpStructure || f.type == dbTpRawBinary ||
                               (f.type > dbTpMethodBase && f.type < dbTpStructure);
            if (!valid) {
                fault("field " + t.name + "." + sf.name + " has a bad type");
                return false;
            }
            const bool inElement = sf.name.find("[]") != std::string::npos;
            if (!inElement && id != dbMetaTableId && f.type != dbTpStructure &&
                f.type < dbTpMethodBase &&
                (sf.offset < sizeof(dbRecord) || uint64_t(sf.offset) + sf.size > row.fixedSize)) {
                fault("field " + t.name + "." + sf.name + " lies outside the fixed part");
                return false;
            }
            if ((f.type == dbTpString || f.type == dbTpArray) && sf.size != sizeof(dbVarying)) {
                fault("field " + t.name + "." + sf.name + " has a bad size");
                return false;
            }
            if (sf.hashTable != 0 &&
                (!live(sf.hashTable) || kind(sf.hashTable) != dbHashTableObject)) {
                fault("field " + t.name + "." + sf.name + " names a missing hash table");
                return false;
            }
            if (sf.tTree != 0 && (!live(sf.tTree) || kind(sf.tTree) != dbTtreeObject)) {
                fault("field " + t.name + "." + sf.name + " names a missing tree index");
                return false;
            }
            t.fields.push_back(sf);
        }
        return true;
    }

    // Follows a row chain of `count` rows; fills `rows`.
    bool walkChain(const std::string& what, oid_t first, oid_t last, uint32_t count,
                   uint32_t minSize, std::vector<oid_t>& rows) {
        oid_t prev = 0;
        oid_t id = first;
        for (uint32_t n = 0; n < count; n++) {
            if (id == 0 || !live(id) || kind(id) != dbRowObject) {
                fault(what + ": row chain breaks after " + std::to_string(n) + " of " +
                      std::to_string(count) + " rows");
                return false;
            }
            if (rowOwner[id]) {
                fault(what + ": row " + std::to_string(id) + " is reached twice");
                return false;
            }
            rowOwner[id] = 1;
            const uint64_t off = offsetOf(id);
            dbRecord rec;
            memcpy(&rec, base + off, sizeof rec);
            if (rec.size < minSize) {
                fault(what + ": row " + std::to_string(id) + " is shorter than its fixed part");
                return false;
            }
            if (rec.prev != prev) {
                fault(what + ": row " + std::to_string(id) + " has a wrong prev link");
                return false;
            }
            rows.push_back(id);
            prev = id;
            if (n + 1 == count) {
                if (id != last) {
                    fault(what + ": last row is not the end of the chain");
                    return false;
                }
                if (rec.next != 0 && !dirty) {
                    fault(what + ": last row has a next link");
                    return false;
                }
            } else {
                id = rec.next;
            }
        }
        if (count == 0 && (first != 0 || last != 0)) {
            fault(what + ": empty table with first or last row");
            return false;
        }
        return true;
    }

    bool checkSchema() {
        StoredTable meta;
        if (!readTable(dbMetaTableId, meta)) {
            return false;
        }
        rowOwner[dbMetaTableId] = 1;
        std::vector<oid_t> tableIds;
        if (!walkChain("\"Metatable\"", meta.firstRow, meta.lastRow, meta.nRows, sizeof(dbTable),
                       tableIds)) {
            return false;
        }
        for (oid_t id : tableIds) {
            StoredTable t;
            if (!readTable(id, t)) {
                return false;
            }
            tables.push_back(std::move(t));
        }
        return true;
    }

    const StoredField* findField(const StoredTable& t, const std::string& name) const {
        for (const StoredField& f : t.fields) {
            if (f.name == name) {
                return &f;
            }
        }
        return nullptr;
    }

    bool checkString(uint64_t rowOff, uint64_t rowSize, uint64_t at, uint64_t rel) {
        dbVarying v;
        memcpy(&v, base + rowOff + at, sizeof v);
        const uint64_t start = rel + v.offs;
        if (v.size == 0 || start < sizeof(dbRecord) || start > rowSize ||
            v.size > rowSize - start) {
            return false;
        }
        return base[rowOff + start + v.size - 1] == 0;
    }

    void checkRows(StoredTable& t) {
        if (!walkChain("table \"" + t.name + "\"", t.firstRow, t.lastRow, t.nRows, t.fixedSize,
                       t.rows)) {
            return;
        }
        for (oid_t id : t.rows) {
            const uint64_t off = offsetOf(id);
            const uint64_t rs = word(off);
            for (const StoredField& f : t.fields) {
                if (f.name.find("[]") != std::string::npos) {
                    continue;
                }
                if (f.type == dbTpString && !checkString(off, rs, f.offset, 0)) {
                    fault("table \"" + t.name + "\" row " + std::to_string(id) + ": string " +
                          f.name + " outside the row");
                    return;
                }
                if (f.type != dbTpArray) {
                    continue;
                }
                dbVarying v;
                memcpy(&v, base + off + f.offset, sizeof v);
                const StoredField* elem = findField(t, f.name + "[]");
                const uint64_t es = elem != nullptr ? elem->size : 0;
                if (elem == nullptr || (v.size != 0 && (v.offs < sizeof(dbRecord) || v.offs > rs ||
                                                        uint64_t(v.size) * es > rs - v.offs))) {
                    fault("table \"" + t.name + "\" row " + std::to_string(id) + ": array " +
                          f.name + " outside the row");
                    return;
                }
                // Strings directly inside the elements.
                for (const StoredField& m : t.fields) {
                    if (m.type != dbTpString || m.name.rfind(f.name + "[]", 0) != 0 ||
                        m.name.find("[]", f.name.size() + 2) != std::string::npos) {
                        continue;
                    }
                    for (uint32_t i = 0; i < v.size; i++) {
                        const uint64_t el = v.offs + i * es;
                        if (uint64_t(m.offset) + sizeof(dbVarying) > es ||
                            !checkString(off, rs, el + m.offset, el)) {
                            fault("table \"" + t.name + "\" row " + std::to_string(id) +
                                  ": string " + m.name + " outside the row");
                            return;
                        }
                    }
                }
            }
        }
    }

    // ---- keys ----

    struct Key {
        const byte* p;
        size_t n;
    };

    Key keyOf(oid_t row, const StoredField& f) const {
        const byte* r = base + offsetOf(row);
        if (f.type == dbTpString) {
            dbVarying v;
            memcpy(&v, r + f.offset, sizeof v);
            return {r + v.offs, v.size - 1};
        }
        return {r + f.offset, f.size};
    }

    static uint32_t hashOf(Key k) {
        uint32_t hash = 0;
        for (size_t i = 0; i < k.n; i++) {
            hash = hash * 31 + k.p[i];
        }
        return hash;
    }

    static int compareKeys(int type, Key a, Key b) {
        auto cmp = [](auto x, auto y) { return x < y ? -1 : x > y ? 1 : 0; };
        switch (type) {
            case dbTpBool:
                return int(*a.p) - int(*b.p);
            case dbTpInt1:
                return int(int8_t(*a.p)) - int(int8_t(*b.p));
            case dbTpInt2: {
                int16_t x, y;
                memcpy(&x, a.p, 2);
                memcpy(&y, b.p, 2);
                return int(x) - int(y);
            }
            case dbTpInt4: {
                int32_t x, y;
                memcpy(&x, a.p, 4);
                memcpy(&y, b.p, 4);
                return cmp(x, y);
            }
            case dbTpInt8: {
                int64_t x, y;
                memcpy(&x, a.p, 8);
                memcpy(&y, b.p, 8);
                return cmp(x, y);
            }
            case dbTpReal4: {
                float x, y;
                memcpy(&x, a.p, 4);
                memcpy(&y, b.p, 4);
                return std::isnan(x) || std::isnan(y) ? -1 : cmp(x, y);
            }
            case dbTpReal8: {
                double x, y;
                memcpy(&x, a.p, 8);
                memcpy(&y, b.p, 8);
                return std::isnan(x) || std::isnan(y) ? -1 : cmp(x, y);
            }
            case dbTpReference: {
                uint32_t x, y;
                memcpy(&x, a.p, 4);
                memcpy(&y, b.p, 4);
                return cmp(x, y);
            }
            case dbTpString: {
                const size_t n = std::min(a.n, b.n);
                const int d = memcmp(a.p, b.p, n);
                return d != 0 ? d : cmp(a.n, b.n);
            }
            default:
                return memcmp(a.p, b.p, std::min(a.n, b.n));
        }
    }

    bool keyable(const StoredField& f) const {
        return f.type <= dbTpReference || f.type == dbTpRawBinary;
    }

    // ---- indexes ----

    void checkHash(const StoredTable& t, const StoredField& f) {
        const std::string what = "hash index of " + t.name + "." + f.name;
        dbHashTableHeader hdr;
        memcpy(&hdr, base + offsetOf(f.hashTable), sizeof hdr);
        if (hdr.bucketCount < dbInitHashTableSize || hdr.bucketCount % 2 == 0 ||
            hdr.bucketCount > (1u << 28)) {
            fault(what + ": bad bucket count");
            return;
        }
        const uint32_t pages = (hdr.bucketCount + 1) / dbHashBucketsPerPage;
        if (uint64_t(hdr.firstBucketPage) + pages > used) {
            fault(what + ": bucket pages outside the index");
            return;
        }
        for (uint32_t p = 0; p < pages; p++) {
            const oid_t id = hdr.firstBucketPage + p;
            if (!live(id) || kind(id) != dbPageObject) {
                fault(what + ": bucket page " + std::to_string(id) + " missing");
                return;
            }
        }
        if (!keyable(f)) {
            fault(what + ": field type has no key");
            return;
        }
        std::vector<uint8_t> seen(used, 0);
        std::vector<uint8_t> member(used, 0);
        for (oid_t r : t.rows) {
            member[r] = 1;
        }
        uint32_t items = 0;
        uint32_t usedBuckets = 0;
        for (uint32_t b = 0; b < hdr.bucketCount; b++) {
            const oid_t page = hdr.firstBucketPage + b / dbHashBucketsPerPage;
            oid_t item = oid_t(word(offsetOf(page) + (b % dbHashBucketsPerPage) * 4));
            if (item != 0) {
                usedBuckets++;
            }
            while (item != 0) {
                if (!live(item) || kind(item) != dbHashTableItemObject || seen[item]) {
                    fault(what + ": broken chain in bucket " + std::to_string(b));
                    return;
                }
                seen[item] = 1;
                dbHashTableItem it;
                memcpy(&it, base + offsetOf(item), sizeof it);
                if (it.record >= used || !member[it.record]) {
                    fault(what + ": item names row " + std::to_string(it.record) +
                          " that is not in the table");
                    return;
                }
                if (member[it.record] == 2) {
                    fault(what + ": row " + std::to_string(it.record) + " indexed twice");
                    return;
                }
                member[it.record] = 2;
                const uint32_t code = hashOf(keyOf(it.record, f));
                if (it.hash != code || code % hdr.bucketCount != b) {
                    fault(what + ": row " + std::to_string(it.record) + " in the wrong bucket");
                    return;
                }
                items++;
                item = it.next;
            }
        }
        if (items != t.rows.size()) {
            fault(what + ": holds " + std::to_string(items) + " of " +
                  std::to_string(t.rows.size()) + " rows");
        }
        if (usedBuckets != hdr.usedBuckets) {
            fault(what + ": used bucket count is wrong");
        }
    }

    void checkTree(const StoredTable& t, const StoredField& f) {
        const std::string what = "tree index of " + t.name + "." + f.name;
        if (!keyable(f)) {
            fault(what + ": field type has no key");
            return;
        }
        const oid_t root = oid_t(word(offsetOf(f.tTree)));
        std::vector<uint8_t> seen(used, 0);
        std::vector<uint8_t> member(used, 0);
        for (oid_t r : t.rows) {
            member[r] = 1;
        }
        std::vector<oid_t> order;
        bool ok = true;
        std::function<int(oid_t, int)> walk = [&](oid_t page, int depth) -> int {
            if (!ok) {
                return 0;
            }
            if (page == 0) {
                return 0;
            }
            if (depth > kMaxTreeDepth || !live(page) || kind(page) != dbTtreeNodeObject ||
                seen[page]) {
                fault(what + ": bad page " + std::to_string(page));
                ok = false;
                return 0;
            }
            seen[page] = 1;
            dbTtreeNode node;
            memcpy(&node, base + offsetOf(page), sizeof node);
            if (node.nItems == 0 || node.nItems > dbTtreePageRows) {
                fault(what + ": page " + std::to_string(page) + " holds a bad row count");
                ok = false;
                return 0;
            }
            const int hl = walk(node.left, depth + 1);
            for (int i = 0; i < node.nItems && ok; i++) {
                const oid_t r = node.item[i];
                if (r >= used || member[r] != 1) {
                    fault(what + ": row " + std::to_string(r) + " is not in the table or twice");
                    ok = false;
                    return 0;
                }
                member[r] = 2;
                order.push_back(r);
            }
            const int hr = walk(node.right, depth + 1);
            if (ok && node.balance != hr - hl) {
                fault(what + ": page " + std::to_string(page) + " is out of balance");
                ok = false;
            }
            return std::max(hl, hr) + 1;
        };
        walk(root, 0);
        if (!ok) {
            return;
        }
        if (order.size() != t.rows.size()) {
            fault(what + ": holds " + std::to_string(order.size()) + " of " +
                  std::to_string(t.rows.size()) + " rows");
            return;
        }
        for (size_t i = 1; i < order.size(); i++) {
            if (compareKeys(f.type, keyOf(order[i - 1], f), keyOf(order[i], f)) > 0) {
                fault(what + ": keys out of order");
                return;
            }
        }
    }

    // ---- bitmap ----

    void checkBitmap() {
        const size_t quanta = size / dbAllocationQuantum;
        std::vector<uint8_t> expected(quanta, 0);
        auto mark = [&](uint64_t off, uint64_t len, const char* what) {
            const uint64_t end = (off + len + dbAllocationQuantum - 1) / dbAllocationQuantum;
            for (uint64_t q = off / dbAllocationQuantum; q < end && q < quanta; q++) {
                if (expected[q]) {
                    fault(std::string("objects overlap at offset ") +
                          std::to_string(q * dbAllocationQuantum) + " (" + what + ")");
                    return false;
                }
                expected[q] = 1;
            }
            return true;
        };
        const dbRoot& c = h->root[h->currentRoot];
        if (!mark(0, dbPageSize, "header") ||
            !mark(c.indexOffset, uint64_t(c.indexCapacity) * 4, "index") ||
            !mark(c.shadowOffset, uint64_t(c.shadowCapacity) * 4, "shadow index")) {
            return;
        }
        for (auto [off, len] : reachable) {
            if (!mark(off, len, "object")) {
                return;
            }
        }
        size_t wrongSet = 0, wrongClear = 0;
        uint64_t firstWrong = UINT64_MAX;
        for (size_t q = 0; q < quanta; q++) {
            const oid_t page = oid_t(dbBitmapId + q / (dbPageSize * 8));
            bool bit = false;
            if (page < dbFirstUserId && page < used && index[page] != dbFreeHandleFlag) {
                const size_t inPage = q % (dbPageSize * 8);
                bit = (base[offsetOf(page) + inPage / 8] >> (inPage % 8)) & 1;
            }
            if (bit != bool(expected[q])) {
                (bit ? wrongSet : wrongClear) += 1;
                firstWrong = std::min<uint64_t>(firstWrong, q * dbAllocationQuantum);
            }
        }
        if (tolerateLeaks) {
            wrongSet = 0;
        }
        if (wrongSet != 0 || wrongClear != 0) {
            fault("bitmap differs from the reachable objects: " + std::to_string(wrongSet) +
                  " quanta marked but unused, " + std::to_string(wrongClear) +
                  " used but unmarked, first at offset " + std::to_string(firstWrong));
        }
    }
};

}  // namespace

bool dbCheckCommittedStructure(const byte* base, size_t size, std::string& why) {
    Checker checker(base, size, true);
    checker.run();
    if (checker.faults.empty()) {
        return true;
    }
    why = checker.faults.front();
    return false;
}

std::vector<std::string> dbCheckImage(const byte* base, size_t size, bool tolerateLeaks) {
    Checker checker(base, size, tolerateLeaks);
    checker.run();
    return checker.faults;
}

std::vector<std::string> dbCheckFile(const char* path, bool tolerateLeaks) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return {std::string("cannot open ") + path + ": " + strerror(errno)};
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size <= 0) {
        ::close(fd);
        return {std::string("cannot read ") + path};
    }
    const size_t size = size_t(st.st_size);
    void* p = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    if (p == MAP_FAILED) {
        return {std::string("cannot map ") + path + ": " + strerror(errno)};
    }
    std::vector<std::string> faults =
        dbCheckImage(static_cast<const byte*>(p), size, tolerateLeaks);
    munmap(p, size);
    return faults;
}
