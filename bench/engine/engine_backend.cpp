// engine286 side of the engine benchmark: a table of (key, text) rows in a store file, each
// operation through the engine's row operations, cursors and commits.
#include <unistd.h>

#include <cstring>
#include <stdexcept>
#include <string>

#include "bench_backend.h"
#include "class.h"
#include "cursor.h"
#include "database.h"

namespace {

class BenchRecord {
  public:
    int32_t key;
    const char* text;

    KEST_DESCRIBE(BenchRecord, KEST_FIELD(key), KEST_FIELD(text));
};

}  // namespace

KEST_REGISTER(BenchRecord);

namespace {

class EngineBackend : public BenchBackend {
  public:
    ~EngineBackend() override { close(); }

    std::string name() const override { return "engine286"; }

    void open(const std::string& dir) override {
        // Each open is a new database name: its named objects never meet an earlier run's.
        const std::string dbName =
            "engine_bench." + std::to_string(getpid()) + "." + std::to_string(++opened);
        const std::string file = dir + "/bench.kst";
        db = new dbDatabase(dbDatabase::dbAllAccess);
        if (!db->openDatabase(dbName.c_str(), file.c_str())) {
            delete db;
            db = nullptr;
            throw std::runtime_error("engine286: open failed");
        }
    }

    void close() override {
        if (db != nullptr) {
            db->closeDatabase();
            delete db;
            db = nullptr;
        }
    }

    void insertDurable(int32_t key, const char* text) override {
        BenchRecord rec{key, text};
        db->insertRecord(&BenchRecord::dbDescriptor, &rec);
        db->commitTransaction();
    }

    void bulkInsert(const std::vector<std::pair<int32_t, std::string>>& rows) override {
        for (const auto& [k, s] : rows) {
            BenchRecord rec{k, s.c_str()};
            db->insertRecord(&BenchRecord::dbDescriptor, &rec);
        }
        db->commitTransaction();
    }

    size_t readAll(uint64_t& checksum) override {
        dbCursor<BenchRecord> cursor(dbCursorViewOnly);
        checksum = 0;
        size_t n = 0;
        for (cursor.select(); cursor.currentId != 0; next(cursor)) {
            checksum += uint64_t(cursor->key) + strlen(cursor->text);
            n++;
        }
        db->commitTransaction();  // ends the read transaction
        return n;
    }

    size_t updateAll(const char* prefix) override {
        dbCursor<BenchRecord> cursor(dbCursorForUpdate);
        size_t n = 0;
        std::string text;
        for (cursor.select(); cursor.currentId != 0; next(cursor)) {
            text = prefix + std::to_string(cursor->key);
            cursor->text = text.c_str();
            cursor.update();
            n++;
        }
        db->commitTransaction();
        return n;
    }

  private:
    // The cursor's whole-table range follows the row chain.
    void next(dbAnyCursor& cursor) {
        const auto* row = reinterpret_cast<const dbRecord*>(db->objectAt(cursor.currentId));
        cursor.currentId = row->next;
        if (cursor.currentId != 0) {
            cursor.fetch();
        }
    }

    dbDatabase* db = nullptr;
    int opened = 0;
};

}  // namespace

std::unique_ptr<BenchBackend> makeEngineBackend() {
    return std::make_unique<EngineBackend>();
}
