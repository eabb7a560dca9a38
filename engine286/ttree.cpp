// T-trees over the object store: insert with rotations, remove with rebalancing, drop. See
// index.h for the order and balance invariants. Every page is taken for update before it
// changes; pointers to pages are re-read after any call that may copy a page.
#include <cstring>

#include "database.h"
#include "ttree.h"

namespace {

struct Tree {
    dbDatabase* db;
    dbFieldDescriptor* fd;

    dbTtreeNode* node(oid_t id) { return reinterpret_cast<dbTtreeNode*>(db->internalObjectAt(id)); }
    dbTtreeNode* update(oid_t id) { return reinterpret_cast<dbTtreeNode*>(db->pageForUpdate(id)); }
    int compare(const byte* key, oid_t row) { return fd->compareKeys(key, db->objectAt(row)); }

    oid_t newPage(oid_t row) {
        oid_t id = db->newInternalObject(dbTtreeNodeObject);
        dbTtreeNode* n = update(id);
        memset(n, 0, sizeof(dbTtreeNode));
        n->nItems = 1;
        n->item[0] = row;
        return id;
    }

    // Right subtree grew: returns whether the subtree of `p` grew.
    bool rightGrew(oid_t& p) {
        dbTtreeNode* pn = update(p);
        if (pn->balance < 0) {
            pn->balance = 0;
            return false;
        }
        if (pn->balance == 0) {
            pn->balance = 1;
            return true;
        }
        oid_t r = pn->right;
        dbTtreeNode* rn = update(r);
        pn = update(p);
        if (rn->balance > 0) {
            pn->right = rn->left;
            rn->left = p;
            pn->balance = rn->balance = 0;
            p = r;
        } else {
            oid_t rl = rn->left;
            dbTtreeNode* rln = update(rl);
            rn = update(r);
            pn = update(p);
            rn->left = rln->right;
            rln->right = r;
            pn->right = rln->left;
            rln->left = p;
            pn->balance = rln->balance > 0 ? -1 : 0;
            rn->balance = rln->balance < 0 ? 1 : 0;
            rln->balance = 0;
            p = rl;
        }
        return false;
    }

    bool leftGrew(oid_t& p) {
        dbTtreeNode* pn = update(p);
        if (pn->balance > 0) {
            pn->balance = 0;
            return false;
        }
        if (pn->balance == 0) {
            pn->balance = -1;
            return true;
        }
        oid_t l = pn->left;
        dbTtreeNode* ln = update(l);
        pn = update(p);
        if (ln->balance < 0) {
            pn->left = ln->right;
            ln->right = p;
            pn->balance = ln->balance = 0;
            p = l;
        } else {
            oid_t lr = ln->right;
            dbTtreeNode* lrn = update(lr);
            ln = update(l);
            pn = update(p);
            ln->right = lrn->left;
            lrn->left = l;
            pn->left = lrn->right;
            lrn->right = p;
            pn->balance = lrn->balance < 0 ? 1 : 0;
            ln->balance = lrn->balance > 0 ? -1 : 0;
            lrn->balance = 0;
            p = lr;
        }
        return false;
    }

    // Inserts `row` (whose key is `key`) into the subtree of `p`; returns whether it grew.
    bool insert(oid_t& p, oid_t row, const byte* key) {
        dbTtreeNode* pn = node(p);
        const int n = pn->nItems;
        int d = compare(key, pn->item[0]);
        if (d > 0) {
            int e = compare(key, pn->item[n - 1]);
            if (e < 0) {
                int l = 1, r = n - 1;
                while (l < r) {
                    int m = (l + r) / 2;
                    int c = compare(key, pn->item[m]);
                    if (c == 0) {
                        l = m;
                        break;
                    }
                    if (c > 0) {
                        l = m + 1;
                    } else {
                        r = m;
                    }
                }
                const int pos = l;
                if (n == dbTtreePageRows) {
                    pn = update(p);
                    oid_t moved;
                    if (pn->balance < 0) {
                        moved = pn->item[n - 1];
                        memmove(&pn->item[pos + 1], &pn->item[pos], (n - 1 - pos) * sizeof(oid_t));
                        pn->item[pos] = row;
                    } else {
                        moved = pn->item[0];
                        memmove(&pn->item[0], &pn->item[1], (pos - 1) * sizeof(oid_t));
                        pn->item[pos - 1] = row;
                    }
                    return insert(p, moved, db->objectAt(moved));
                }
                pn = update(p);
                memmove(&pn->item[pos + 1], &pn->item[pos], (n - pos) * sizeof(oid_t));
                pn->item[pos] = row;
                pn->nItems = uint16_t(n + 1);
                return false;
            }
            if ((pn->right != 0 && e > 0) || n == dbTtreePageRows) {
                bool grown;
                if (pn->right == 0) {
                    oid_t child = newPage(row);
                    update(p)->right = child;
                    grown = true;
                } else {
                    oid_t child = pn->right;
                    grown = insert(child, row, key);
                    if (child != node(p)->right) {
                        update(p)->right = child;
                    }
                }
                return grown ? rightGrew(p) : false;
            }
            pn = update(p);
            pn->item[n] = row;
            pn->nItems = uint16_t(n + 1);
            return false;
        }
        if ((pn->left == 0 || d == 0) && n < dbTtreePageRows) {
            pn = update(p);
            memmove(&pn->item[1], &pn->item[0], n * sizeof(oid_t));
            pn->item[0] = row;
            pn->nItems = uint16_t(n + 1);
            return false;
        }
        bool grown;
        if (pn->left == 0) {
            oid_t child = newPage(row);
            update(p)->left = child;
            grown = true;
        } else {
            oid_t child = pn->left;
            grown = insert(child, row, key);
            if (child != node(p)->left) {
                update(p)->left = child;
            }
        }
        return grown ? leftGrew(p) : false;
    }

    // The left subtree of `p` got lower; returns 1 when p's subtree got lower too.
    int leftShrank(oid_t& p) {
        dbTtreeNode* pn = update(p);
        if (pn->balance < 0) {
            pn->balance = 0;
            return 1;
        }
        if (pn->balance == 0) {
            pn->balance = 1;
            return 0;
        }
        oid_t r = pn->right;
        dbTtreeNode* rn = update(r);
        pn = update(p);
        if (rn->balance < 0) {
            oid_t rl = rn->left;
            dbTtreeNode* rln = update(rl);
            rn = update(r);
            pn = update(p);
            rn->left = rln->right;
            rln->right = r;
            pn->right = rln->left;
            rln->left = p;
            pn->balance = rln->balance > 0 ? -1 : 0;
            rn->balance = rln->balance < 0 ? 1 : 0;
            rln->balance = 0;
            p = rl;
            return 1;
        }
        pn->right = rn->left;
        rn->left = p;
        p = r;
        if (rn->balance == 0) {
            pn->balance = 1;
            rn->balance = -1;
            return 0;
        }
        pn->balance = rn->balance = 0;
        return 1;
    }

    int rightShrank(oid_t& p) {
        dbTtreeNode* pn = update(p);
        if (pn->balance > 0) {
            pn->balance = 0;
            return 1;
        }
        if (pn->balance == 0) {
            pn->balance = -1;
            return 0;
        }
        oid_t l = pn->left;
        dbTtreeNode* ln = update(l);
        pn = update(p);
        if (ln->balance > 0) {
            oid_t lr = ln->right;
            dbTtreeNode* lrn = update(lr);
            ln = update(l);
            pn = update(p);
            ln->right = lrn->left;
            lrn->left = l;
            pn->left = lrn->right;
            lrn->right = p;
            pn->balance = lrn->balance < 0 ? 1 : 0;
            ln->balance = lrn->balance > 0 ? -1 : 0;
            lrn->balance = 0;
            p = lr;
            return 1;
        }
        pn->left = ln->right;
        ln->right = p;
        p = l;
        if (ln->balance == 0) {
            pn->balance = -1;
            ln->balance = 1;
            return 0;
        }
        pn->balance = ln->balance = 0;
        return 1;
    }

    // Removes `row` (key `key`) from the subtree of `p`: -1 not found, 0 removed, 1 removed and
    // the subtree got lower.
    int remove(oid_t& p, oid_t row, const byte* key) {
        dbTtreeNode* pn = node(p);
        int n = pn->nItems;
        if (compare(key, pn->item[0]) <= 0) {
            if (pn->left != 0) {
                oid_t child = pn->left;
                int h = remove(child, row, key);
                if (child != node(p)->left) {
                    update(p)->left = child;
                }
                if (h == 1) {
                    return leftShrank(p);
                }
                if (h == 0) {
                    return 0;
                }
                pn = node(p);
                dbAssert(compare(key, pn->item[0]) == 0);
            }
        }
        int atLast = compare(key, pn->item[n - 1]);
        if (atLast <= 0) {
            int i = 0;
            while (i < n && pn->item[i] != row) {
                i++;
            }
            if (i < n) {
                if (n == 1) {
                    if (pn->right == 0) {
                        oid_t left = pn->left;
                        db->dropInternalObject(p);
                        p = left;
                        return 1;
                    }
                    if (pn->left == 0) {
                        oid_t right = pn->right;
                        db->dropInternalObject(p);
                        p = right;
                        return 1;
                    }
                }
                if (n <= dbTtreePageRows - 2 && pn->left != 0 && pn->balance <= 0) {
                    // Keep the size: the greatest row of the left subtree moves in at 0.
                    oid_t g = pn->left;
                    while (node(g)->right != 0) {
                        g = node(g)->right;
                    }
                    oid_t greatest = node(g)->item[node(g)->nItems - 1];
                    pn = update(p);
                    memmove(&pn->item[1], &pn->item[0], i * sizeof(oid_t));
                    pn->item[0] = greatest;
                    oid_t child = pn->left;
                    int h = remove(child, greatest, db->objectAt(greatest));
                    if (child != node(p)->left) {
                        update(p)->left = child;
                    }
                    return h == 1 ? leftShrank(p) : 0;
                }
                if (n <= dbTtreePageRows - 2 && pn->right != 0) {
                    oid_t l = pn->right;
                    while (node(l)->left != 0) {
                        l = node(l)->left;
                    }
                    oid_t least = node(l)->item[0];
                    pn = update(p);
                    memmove(&pn->item[i], &pn->item[i + 1], (n - 1 - i) * sizeof(oid_t));
                    pn->item[n - 1] = least;
                    oid_t child = pn->right;
                    int h = remove(child, least, db->objectAt(least));
                    if (child != node(p)->right) {
                        update(p)->right = child;
                    }
                    return h == 1 ? rightShrank(p) : 0;
                }
                pn = update(p);
                memmove(&pn->item[i], &pn->item[i + 1], (n - 1 - i) * sizeof(oid_t));
                pn->nItems = uint16_t(n - 1);
                return 0;
            }
            if (atLast < 0) {
                return -1;  // equal keys end in this page
            }
        }
        if (pn->right == 0) {
            return -1;
        }
        oid_t child = pn->right;
        int h = remove(child, row, key);
        if (child != node(p)->right) {
            update(p)->right = child;
        }
        return h == 1 ? rightShrank(p) : h;
    }

    void drop(oid_t p) {
        if (p == 0) {
            return;
        }
        dbTtreeNode* pn = node(p);
        oid_t left = pn->left;
        oid_t right = pn->right;
        db->dropInternalObject(p);
        drop(left);
        drop(right);
    }
};

oid_t* holderOf(dbDatabase* db, oid_t tree) {
    return reinterpret_cast<oid_t*>(db->internalObjectAt(tree));
}

}  // namespace

oid_t dbTtree::create(dbDatabase* db) {
    oid_t id = db->newInternalObject(dbTtreeObject);
    *reinterpret_cast<oid_t*>(db->pageForUpdate(id)) = 0;
    return id;
}

void dbTtree::insert(dbDatabase* db, oid_t tree, oid_t rowId, dbFieldDescriptor* fd) {
    Tree t{db, fd};
    oid_t root = *holderOf(db, tree);
    if (root == 0) {
        oid_t page = t.newPage(rowId);
        *reinterpret_cast<oid_t*>(db->pageForUpdate(tree)) = page;
        return;
    }
    oid_t newRoot = root;
    t.insert(newRoot, rowId, db->objectAt(rowId));
    if (newRoot != root) {
        *reinterpret_cast<oid_t*>(db->pageForUpdate(tree)) = newRoot;
    }
}

void dbTtree::remove(dbDatabase* db, oid_t tree, oid_t rowId, dbFieldDescriptor* fd) {
    Tree t{db, fd};
    oid_t root = *holderOf(db, tree);
    dbAssert(root != 0);
    oid_t newRoot = root;
    int h = t.remove(newRoot, rowId, db->objectAt(rowId));
    dbAssert(h != -1);  // the row must be in the tree
    if (newRoot != root) {
        *reinterpret_cast<oid_t*>(db->pageForUpdate(tree)) = newRoot;
    }
}

void dbTtree::drop(dbDatabase* db, oid_t tree) {
    Tree t{db, nullptr};
    t.drop(*holderOf(db, tree));
    *reinterpret_cast<oid_t*>(db->pageForUpdate(tree)) = 0;
    db->dropInternalObject(tree);
}
