// The contract each store in the engine benchmark fulfils, so the same four workloads run on
// every store side by side: durable one-row commits, a bulk load in one transaction, a full
// read through a cursor and an update of every row.
//
// Invariant: a backend's open() starts from an empty store in the given directory; every
// workload leaves the store consistent and committed when it returns.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class BenchBackend {
  public:
    virtual ~BenchBackend() = default;
    virtual std::string name() const = 0;
    // Creates an empty store in `dir` (an existing, empty directory).
    virtual void open(const std::string& dir) = 0;
    virtual void close() = 0;
    // One row (key, text) in its own transaction, committed durably.
    virtual void insertDurable(int32_t key, const char* text) = 0;
    // Rows (key, text) in one transaction.
    virtual void bulkInsert(const std::vector<std::pair<int32_t, std::string>>& rows) = 0;
    // Visits every row through a cursor; returns the number of rows and a checksum of keys and
    // text lengths in `checksum`.
    virtual size_t readAll(uint64_t& checksum) = 0;
    // Gives every row the text `prefix` + key, row by row, in one transaction.
    virtual size_t updateAll(const char* prefix) = 0;
};

std::unique_ptr<BenchBackend> makeSqliteBackend(bool fullSync);
std::unique_ptr<BenchBackend> makeLmdbBackend();
std::unique_ptr<BenchBackend> makeEngineBackend();
