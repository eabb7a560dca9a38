// Field indexes: T-tree insert and remove cases with the order and balance invariants, hash
// tables with their chains, both checked against a reference after random work.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "hash_table.h"
#include "store_fixture.h"
#include "ttree.h"

namespace {

class Item {
  public:
    int32_t key;
    const char* name;
    KEST_DESCRIBE(Item, KEST_KEY(key, INDEXED | HASHED), KEST_KEY(name, HASHED));
};

}  // namespace

KEST_REGISTER(Item);

namespace {

struct IndexFixture : StoreFixture {
    dbTableDescriptor& desc = Item::dbDescriptor;
    dbFieldDescriptor* key = desc.findField("key");
    dbFieldDescriptor* name = desc.findField("name");
    oid_t table = 0;
    oid_t tree = 0;
    oid_t hash = 0;

    IndexFixture() {
        table = db.appendRow(dbMetaTableId, desc.tableRowSize());
        desc.writeTableRecord(db.tableRowForUpdate(table));
        tree = dbTtree::create(&db);
        hash = dbHashTable::create(&db, 0);
    }
    oid_t add(int32_t k, const char* n = "x") {
        Item item{k, n};
        oid_t id = db.appendRow(table, desc.recordSize(&item));
        desc.packRecord(db.objectAt(id), &item);
        dbTtree::insert(&db, tree, id, key);
        dbHashTable::insert(&db, hash, id, key, db.tableRow(table)->nRows);
        return id;
    }
    void remove(oid_t id) {
        dbTtree::remove(&db, tree, id, key);
        dbHashTable::remove(&db, hash, id, key);
        db.unlinkRow(table, id);
    }
    int32_t keyOf(oid_t id) { return reinterpret_cast<int32_t*>(db.objectAt(id) + 12)[0]; }
    dbTtreeNode* page(oid_t id) { return reinterpret_cast<dbTtreeNode*>(db.internalObjectAt(id)); }
    oid_t root() { return *reinterpret_cast<oid_t*>(db.internalObjectAt(tree)); }

    // Height of the subtree; appends its rows in order and checks each page.
    int checkTree(oid_t p, std::vector<oid_t>& rows) {
        if (p == 0) {
            return 0;
        }
        dbTtreeNode n = *page(p);
        EXPECT_GE(n.nItems, 1);
        EXPECT_LE(n.nItems, dbTtreePageRows);
        int hl = checkTree(n.left, rows);
        rows.insert(rows.end(), n.item, n.item + n.nItems);
        int hr = checkTree(n.right, rows);
        EXPECT_EQ(n.balance, hr - hl) << "page " << p;
        EXPECT_LE(std::abs(hr - hl), 1);
        return 1 + std::max(hl, hr);
    }
    void checkAgainst(const std::map<oid_t, int32_t>& reference) {
        std::vector<oid_t> rows;
        checkTree(root(), rows);
        ASSERT_EQ(rows.size(), reference.size());
        for (size_t i = 1; i < rows.size(); i++) {
            ASSERT_LE(keyOf(rows[i - 1]), keyOf(rows[i])) << "tree out of order at " << i;
        }
        std::vector<oid_t> sorted = rows;
        std::sort(sorted.begin(), sorted.end());
        std::vector<oid_t> expected;
        for (auto& [id, k] : reference) {
            expected.push_back(id);
        }
        ASSERT_EQ(sorted, expected);

        auto* h = reinterpret_cast<dbHashTableHeader*>(db.internalObjectAt(hash));
        std::vector<oid_t> chained;
        uint32_t used = 0;
        for (uint32_t b = 0; b < h->bucketCount; b++) {
            oid_t pageId = h->firstBucketPage + b / 1024;
            oid_t item = reinterpret_cast<oid_t*>(db.internalObjectAt(pageId))[b % 1024];
            used += item != 0;
            for (; item != 0;) {
                auto* it = reinterpret_cast<dbHashTableItem*>(db.internalObjectAt(item));
                ASSERT_EQ(it->hash % h->bucketCount, b);
                ASSERT_EQ(it->hash, key->hashKey(db.objectAt(it->record)));
                chained.push_back(it->record);
                item = it->next;
            }
        }
        EXPECT_EQ(used, h->usedBuckets);
        std::sort(chained.begin(), chained.end());
        ASSERT_EQ(chained, expected);
    }
};

TEST(Ttree, IncreasingKeysFillTheRootThenGoRight) {
    IndexFixture f;
    std::map<oid_t, int32_t> ref;
    for (int i = 0; i < 125; i++) {
        ref[f.add(i)] = i;
    }
    dbTtreeNode* r = f.page(f.root());
    EXPECT_EQ(r->nItems, 125);
    EXPECT_EQ(r->right, 0u);
    oid_t last = f.add(125);
    ref[last] = 125;
    r = f.page(f.root());
    EXPECT_EQ(r->nItems, 125);
    ASSERT_NE(r->right, 0u);
    EXPECT_EQ(f.page(r->right)->nItems, 1);
    EXPECT_EQ(f.page(r->right)->item[0], last);
    EXPECT_EQ(r->balance, 1);
    f.checkAgainst(ref);

    // Removing the only row of the leaf page removes the page and lowers the subtree.
    oid_t leaf = r->right;
    f.remove(last);
    ref.erase(last);
    r = f.page(f.root());
    EXPECT_EQ(r->right, 0u);
    EXPECT_EQ(r->balance, 0);
    EXPECT_TRUE(f.db.currentIndex[leaf] & dbFreeHandleFlag);
    f.checkAgainst(ref);
}

TEST(Ttree, FullPageInsertPushesAnEndRowDown) {
    IndexFixture f;
    std::map<oid_t, int32_t> ref;
    oid_t first = 0, lastRow = 0;
    for (int i = 0; i < 125; i++) {
        oid_t id = f.add(2 * i);
        ref[id] = 2 * i;
        first = i == 0 ? id : first;
        lastRow = id;
    }
    ref[f.add(3)] = 3;  // balanced page: its first row moves to the left subtree
    dbTtreeNode* r = f.page(f.root());
    ASSERT_NE(r->left, 0u);
    EXPECT_EQ(f.page(r->left)->item[0], first);
    EXPECT_EQ(r->balance, -1);
    EXPECT_EQ(f.keyOf(r->item[0]), 2);
    ref[f.add(5)] = 5;  // leaning left: its last row moves to the right subtree
    r = f.page(f.root());
    ASSERT_NE(r->right, 0u);
    EXPECT_EQ(f.page(r->right)->item[0], lastRow);
    EXPECT_EQ(r->balance, 0);
    f.checkAgainst(ref);
}

TEST(Ttree, EqualKeysAreRemovedByRowId) {
    IndexFixture f;
    std::map<oid_t, int32_t> ref;
    oid_t ids[3];
    for (auto& id : ids) {
        id = f.add(7);
        ref[id] = 7;
    }
    ref[f.add(3)] = 3;
    f.remove(ids[1]);
    ref.erase(ids[1]);
    f.checkAgainst(ref);
    std::vector<oid_t> rows;
    f.checkTree(f.root(), rows);
    EXPECT_NE(std::find(rows.begin(), rows.end(), ids[0]), rows.end());
    EXPECT_NE(std::find(rows.begin(), rows.end(), ids[2]), rows.end());
}

TEST(Ttree, RandomInsertsAndRemovesKeepOrderAndBalance) {
    IndexFixture f;
    std::mt19937 rng(2024);
    std::map<oid_t, int32_t> ref;
    for (int step = 1; step <= 12000; step++) {
        if (ref.empty() || rng() % 10 < 6) {
            int32_t k = int32_t(rng() % 300);
            ref[f.add(k)] = k;
        } else {
            auto it = ref.begin();
            std::advance(it, rng() % ref.size());
            f.remove(it->first);
            ref.erase(it);
        }
        if (step % 1000 == 0) {
            f.checkAgainst(ref);
            if (testing::Test::HasFatalFailure()) {
                return;
            }
        }
    }
    // Remove everything: the tree ends empty.
    while (!ref.empty()) {
        f.remove(ref.begin()->first);
        ref.erase(ref.begin());
    }
    EXPECT_EQ(f.root(), 0u);
    f.checkAgainst(ref);
}

TEST(Ttree, DropFreesEveryPage) {
    IndexFixture f;
    for (int i = 0; i < 400; i++) {
        f.add(i % 37);
    }
    std::vector<oid_t> pages;
    std::function<void(oid_t)> collect = [&](oid_t p) {
        if (p != 0) {
            pages.push_back(p);
            collect(f.page(p)->left);
            collect(f.page(p)->right);
        }
    };
    collect(f.root());
    EXPECT_GE(pages.size(), 4u);
    dbTtree::drop(&f.db, f.tree);
    for (oid_t p : pages) {
        EXPECT_TRUE(f.db.currentIndex[p] & dbFreeHandleFlag);
    }
    EXPECT_TRUE(f.db.currentIndex[f.tree] & dbFreeHandleFlag);
}

TEST(HashTable, SizedForTheRowCount) {
    StoreFixture s;
    struct Case {
        size_t rows;
        uint32_t buckets;
    } cases[] = {{0, 16383}, {16382, 16383}, {16383, 32767}, {20000, 32767}, {40000, 65535}};
    for (const Case& c : cases) {
        oid_t id = dbHashTable::create(&s.db, c.rows);
        auto* h = reinterpret_cast<dbHashTableHeader*>(s.db.internalObjectAt(id));
        EXPECT_EQ(h->bucketCount, c.buckets) << c.rows;
        EXPECT_EQ(h->usedBuckets, 0u);
        offs_t firstPage = s.db.currentIndex[h->firstBucketPage] & ~dbFlagsMask;
        EXPECT_EQ(firstPage % 4096, 0u);
        size_t pages = (c.buckets + 1) / 1024;
        EXPECT_EQ(s.db.currentIndex[h->firstBucketPage + pages - 1] & ~dbFlagsMask,
                  firstPage + (pages - 1) * 4096);
        dbHashTable::drop(&s.db, id);
        EXPECT_TRUE(s.db.currentIndex[id] & dbFreeHandleFlag);
    }
}

TEST(HashTable, GrowsWhenMoreRowsComeAndTwoThirdsAreUsed) {
    IndexFixture f;
    std::map<oid_t, int32_t> ref;
    for (int i = 0; i < 20000; i++) {
        ref[f.add(i * 7919)] = i;
    }
    auto* h = reinterpret_cast<dbHashTableHeader*>(f.db.internalObjectAt(f.hash));
    EXPECT_EQ(h->bucketCount, 32767u);
    f.checkAgainst(ref);
}

TEST(HashTable, StringKeysHashTheCharacters) {
    IndexFixture f;
    Item item{1, "abc"};
    oid_t id = f.db.appendRow(f.table, f.desc.recordSize(&item));
    f.desc.packRecord(f.db.objectAt(id), &item);
    EXPECT_EQ(f.name->hashKey(f.db.objectAt(id)), uint32_t(('a' * 31 + 'b') * 31 + 'c'));
    oid_t h = dbHashTable::create(&f.db, 0);
    dbHashTable::insert(&f.db, h, id, f.name, 1);
    dbHashTable::remove(&f.db, h, id, f.name);
    EXPECT_THROW(dbHashTable::remove(&f.db, h, id, f.name), dbException);  // not in the chain
}

}  // namespace
