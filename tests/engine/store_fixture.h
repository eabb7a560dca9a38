// A formatted database file in a fresh temporary directory, worked on through the object
// store's own interface: formatting, then the state a writer has at the start of a
// transaction (the working index is the root that is not committed).
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "database.h"

struct StoreFixture {
    std::string dir;
    std::string path;
    std::unique_ptr<dbSharedState> state = std::make_unique<dbSharedState>();
    dbDatabase db;

    explicit StoreFixture(size_t initialSize = 1048576, size_t indexSize = 65536,
                          size_t growQuantum = 4194304)
        : db(dbDatabase::dbAllAccess, initialSize, growQuantum, indexSize, 1) {
        char tmpl[] = "/tmp/kestdb-engine-XXXXXX";
        dir = mkdtemp(tmpl);
        path = dir + "/store.kst";
        memset(state.get(), 0, sizeof(dbSharedState));
        state->fileGeneration = 1;
        db.monitor = state.get();
        db.mappedGeneration = 1;
        db.setObjectName((dir + "/store").c_str());
        db.dataFileName = new char[path.size() + 1];
        memcpy(db.dataFileName, path.c_str(), path.size() + 1);
        size_t n = db.newIndexCapacity();
        int rc = db.openDataFile(false, db.newFileSize(n));
        EXPECT_EQ(rc, 0);
        db.formatFile();
        begin();
    }
    ~StoreFixture() {
        db.file.close();
        std::filesystem::remove_all(dir);
    }

    // The working state of a writer: indexes from the header, the other root's array current.
    void begin() {
        dbHeader* h = db.header();
        int c = int(h->currentRoot);
        for (int i = 0; i < 2; i++) {
            db.indexes[i] = reinterpret_cast<uint32_t*>(db.base + h->root[i].indexOffset);
        }
        db.currentIndex = db.indexes[1 - c];
        db.currentIds = h->root[1 - c].usedIds;
        db.committedIds = h->root[c].usedIds;
        db.resetAllocator();
    }

    bool quantumUsed(uint64_t offset) {
        oid_t page = oid_t(dbBitmapId + offset / dbBitmapPageCoverage);
        uint32_t e = db.currentIndex[page];
        if (e & dbFreeHandleFlag) {
            return false;
        }
        const byte* bits = db.base + (e & ~dbFlagsMask);
        size_t q = (offset % dbBitmapPageCoverage) / dbAllocationQuantum;
        return bits[q >> 3] & (1 << (q & 7));
    }
};
