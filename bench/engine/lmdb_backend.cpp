// LMDB side of the engine benchmark: default (durable) environment flags, integer keys, the
// text as the value.
#include <lmdb.h>

#include <cstring>
#include <stdexcept>

#include "bench_backend.h"

namespace {

void check(int rc) {
    if (rc != MDB_SUCCESS) {
        throw std::runtime_error(mdb_strerror(rc));
    }
}

class LmdbBackend : public BenchBackend {
  public:
    ~LmdbBackend() override { close(); }

    std::string name() const override { return "LMDB"; }

    void open(const std::string& dir) override {
        check(mdb_env_create(&env));
        check(mdb_env_set_mapsize(env, size_t(1) << 30));
        check(mdb_env_open(env, dir.c_str(), 0, 0600));
        MDB_txn* txn = begin(0);
        check(mdb_dbi_open(txn, nullptr, MDB_INTEGERKEY, &dbi));
        check(mdb_txn_commit(txn));
    }

    void close() override {
        if (env != nullptr) {
            mdb_env_close(env);
            env = nullptr;
        }
    }

    void insertDurable(int32_t key, const char* text) override {
        MDB_txn* txn = begin(0);
        put(txn, key, text, strlen(text));
        check(mdb_txn_commit(txn));
    }

    void bulkInsert(const std::vector<std::pair<int32_t, std::string>>& rows) override {
        MDB_txn* txn = begin(0);
        for (const auto& [k, s] : rows) {
            put(txn, k, s.c_str(), s.size());
        }
        check(mdb_txn_commit(txn));
    }

    size_t readAll(uint64_t& checksum) override {
        MDB_txn* txn = begin(MDB_RDONLY);
        MDB_cursor* cur = nullptr;
        check(mdb_cursor_open(txn, dbi, &cur));
        MDB_val k, v;
        size_t n = 0;
        checksum = 0;
        for (int rc = mdb_cursor_get(cur, &k, &v, MDB_FIRST); rc == MDB_SUCCESS;
             rc = mdb_cursor_get(cur, &k, &v, MDB_NEXT)) {
            int32_t key;
            memcpy(&key, k.mv_data, sizeof key);
            checksum += uint64_t(key) + (v.mv_size - 1);  // stored with its terminating zero
            n++;
        }
        mdb_cursor_close(cur);
        mdb_txn_abort(txn);
        return n;
    }

    size_t updateAll(const char* prefix) override {
        MDB_txn* txn = begin(0);
        MDB_cursor* cur = nullptr;
        check(mdb_cursor_open(txn, dbi, &cur));
        std::vector<int32_t> keys;
        MDB_val k, v;
        for (int rc = mdb_cursor_get(cur, &k, &v, MDB_FIRST); rc == MDB_SUCCESS;
             rc = mdb_cursor_get(cur, &k, &v, MDB_NEXT)) {
            int32_t key;
            memcpy(&key, k.mv_data, sizeof key);
            keys.push_back(key);
        }
        mdb_cursor_close(cur);
        for (int32_t key : keys) {
            const std::string text = prefix + std::to_string(key);
            put(txn, key, text.c_str(), text.size());
        }
        check(mdb_txn_commit(txn));
        return keys.size();
    }

private:
    MDB_txn* begin(unsigned flags) {
        MDB_txn* txn = nullptr;
        check(mdb_txn_begin(env, nullptr, flags, &txn));
        return txn;
    }
    void put(MDB_txn* txn, int32_t key, const char* text, size_t len) {
        MDB_val k{sizeof key, &key};
        MDB_val v{len + 1, const_cast<char*>(text)};
        check(mdb_put(txn, dbi, &k, &v, 0));
    }

    MDB_env* env = nullptr;
    MDB_dbi dbi = 0;
};

}  // namespace

std::unique_ptr<BenchBackend> makeLmdbBackend() {
    return std::make_unique<LmdbBackend>();
}
