// LocalStore over the engine's one kestdbDatabase instance.
#include "local_store.h"

#include "kestdb.h"

namespace {
constexpr const char* kStoreName = "KestCRMClient";
constexpr unsigned kNoLockTimeLimit = 0xFFFFFFFF;
constexpr unsigned kNoCommitDelay = 0;
}  // namespace

bool KestdbLocalStore::open() {
    kestdbDatabase& store = kestdbStore();
    if (store.isOpen) {
        return true;
    }
    store.dropAllowed = 1;
    return store.open(kStoreName, nullptr, kNoLockTimeLimit, kNoCommitDelay);
}

bool KestdbLocalStore::isOpen() const {
    return kestdbStore().isOpen;
}

void KestdbLocalStore::close() {
    kestdbDatabase& store = kestdbStore();
    if (!store.isOpen) {
        return;
    }
    store.commit();
    store.close();
}
