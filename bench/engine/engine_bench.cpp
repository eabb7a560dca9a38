// engine_bench: the same work on engine286, SQLite (WAL, synchronous FULL and NORMAL) and LMDB,
// side by side in one run, on a small record (an integer key and a short text):
//   1. insert with one durable commit per row,
//   2. a bulk load of --rows rows in one transaction,
//   3. a read of every row through a cursor,
//   4. an update of every row in one transaction.
// Prints a Markdown table of times and of each store's time relative to the engine's.
//
//   engine_bench [--rows N] [--commits N] [--dir DIR] [--repeat N] [--only NAME]
//
// Each store works in its own fresh subdirectory of DIR (default: ./engine_bench_data), which
// is removed afterwards; put DIR on the disk you want to measure (not tmpfs).
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench_backend.h"

namespace {

struct Options {
    int rows = 100000;
    int commits = 1000;
    int repeat = 3;
    std::string dir = "engine_bench_data";
    std::string only;  // run only the store of this name
};

struct Result {
    std::string name;
    double commitUs = 0;  // per durable commit
    double bulkMs = 0;
    double readMs = 0;
    double updateMs = 0;
};

double nowMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

std::string freshDir(const Options& opt, const std::string& backend, const char* phase) {
    std::string d = opt.dir + "/" + backend + "-" + phase;
    for (char& c : d) {
        c = c == ' ' ? '_' : c;
    }
    std::filesystem::remove_all(d);
    std::filesystem::create_directories(d);
    return d;
}

std::string textFor(int key) {
    return "customer-" + std::to_string(key);
}

// Durable one-row commits on every store, interleaved in rounds of `batch` commits so that a
// drift of the disk's flush time hits every store alike; the median round per store.
std::vector<double> runCommits(std::vector<BenchBackend*>& stores, const Options& opt) {
    const int batch = 50;
    const int rounds = std::max(1, opt.commits / batch);
    std::vector<std::vector<double>> samples(stores.size());
    std::vector<std::string> dirs;
    for (BenchBackend* b : stores) {
        dirs.push_back(freshDir(opt, b->name(), "commit"));
        b->open(dirs.back());
    }
    int key = 1;
    for (int round = 0; round < rounds; round++) {
        for (size_t i = 0; i < stores.size(); i++) {
            const double t0 = nowMs();
            for (int j = 0; j < batch; j++) {
                stores[i]->insertDurable(key + j, textFor(key + j).c_str());
            }
            samples[i].push_back((nowMs() - t0) * 1000.0 / batch);
        }
        key += batch;
    }
    std::vector<double> medians;
    for (size_t i = 0; i < stores.size(); i++) {
        stores[i]->close();
        std::filesystem::remove_all(dirs[i]);
        std::sort(samples[i].begin(), samples[i].end());
        medians.push_back(samples[i][samples[i].size() / 2]);
    }
    return medians;
}

// The bulk load, the read and the update on one store; the best of `repeat` runs each.
Result run(BenchBackend& b, const Options& opt) {
    Result r;
    r.name = b.name();
    r.bulkMs = r.readMs = r.updateMs = 1e300;
    std::vector<std::pair<int32_t, std::string>> rows;
    rows.reserve(size_t(opt.rows));
    for (int k = 1; k <= opt.rows; k++) {
        rows.emplace_back(k, textFor(k));
    }
    for (int rep = 0; rep < opt.repeat; rep++) {
        const std::string dir = freshDir(opt, b.name(), "bulk");
        b.open(dir);
        double t0 = nowMs();
        b.bulkInsert(rows);
        r.bulkMs = std::min(r.bulkMs, nowMs() - t0);

        uint64_t checksum = 0;
        t0 = nowMs();
        const size_t seen = b.readAll(checksum);
        r.readMs = std::min(r.readMs, nowMs() - t0);
        uint64_t expected = 0;
        for (const auto& [k, s] : rows) {
            expected += uint64_t(k) + s.size();
        }
        if (seen != rows.size() || checksum != expected) {
            throw std::runtime_error(b.name() + ": the read did not return the loaded rows");
        }

        t0 = nowMs();
        const size_t updated = b.updateAll("updated-");
        r.updateMs = std::min(r.updateMs, nowMs() - t0);
        if (updated != rows.size()) {
            throw std::runtime_error(b.name() + ": the update missed rows");
        }
        b.readAll(checksum);
        expected = 0;
        for (const auto& [k, s] : rows) {
            expected += uint64_t(k) + std::strlen("updated-") + std::to_string(k).size();
        }
        if (checksum != expected) {
            throw std::runtime_error(b.name() + ": the update was not stored");
        }
        b.close();
        std::filesystem::remove_all(dir);
    }
    return r;
}

void print(const std::vector<Result>& results, const Options& opt) {
    const Result& base = results.front();
    printf("\n| workload | %s", base.name.c_str());
    for (size_t i = 1; i < results.size(); i++) {
        printf(" | %s | %s / %s", results[i].name.c_str(), results[i].name.c_str(),
               base.name.c_str());
    }
    printf(" |\n|---|---:");
    for (size_t i = 1; i < results.size(); i++) {
        printf("|---:|---:");
    }
    printf("|\n");
    struct Row {
        std::string label;
        double Result::*field;
        const char* unit;
    } table[] = {
        {"one-row durable commit", &Result::commitUs, "us"},
        {"bulk load " + std::to_string(opt.rows) + " rows, one commit", &Result::bulkMs, "ms"},
        {"read all rows through a cursor", &Result::readMs, "ms"},
        {"update all rows, one commit", &Result::updateMs, "ms"},
    };
    for (const Row& row : table) {
        printf("| %s | %.1f %s", row.label.c_str(), base.*row.field, row.unit);
        for (size_t i = 1; i < results.size(); i++) {
            printf(" | %.1f %s | %.2fx", results[i].*row.field, row.unit,
                   results[i].*row.field / base.*row.field);
        }
        printf(" |\n");
    }
    printf(
        "\n(durable commits: median of rounds of 50, %d per store, the stores taking turns; "
        "the other rows: best of %d runs; a ratio above 1 means the first store is faster)\n",
        opt.commits, opt.repeat);
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--rows") == 0) {
            opt.rows = atoi(argv[i + 1]);
        } else if (strcmp(argv[i], "--commits") == 0) {
            opt.commits = atoi(argv[i + 1]);
        } else if (strcmp(argv[i], "--repeat") == 0) {
            opt.repeat = atoi(argv[i + 1]);
        } else if (strcmp(argv[i], "--dir") == 0) {
            opt.dir = argv[i + 1];
        } else if (strcmp(argv[i], "--only") == 0) {
            opt.only = argv[i + 1];
        } else {
            fprintf(stderr,
                    "usage: %s [--rows N] [--commits N] [--repeat N] [--dir DIR] [--only NAME]\n",
                    argv[0]);
            return 2;
        }
    }
    if (opt.rows < 1 || opt.commits < 1 || opt.repeat < 1) {
        fprintf(stderr, "rows, commits and repeat must be positive\n");
        return 2;
    }
    std::vector<std::unique_ptr<BenchBackend>> backends;
    backends.push_back(makeEngineBackend());
    backends.push_back(makeLmdbBackend());
    backends.push_back(makeSqliteBackend(true));
    backends.push_back(makeSqliteBackend(false));
    std::vector<BenchBackend*> stores;
    for (auto& b : backends) {
        if (opt.only.empty() || b->name() == opt.only) {
            stores.push_back(b.get());
        }
    }
    std::vector<Result> results;
    try {
        fprintf(stderr, "durable commits...\n");
        const std::vector<double> commitUs = runCommits(stores, opt);
        for (size_t i = 0; i < stores.size(); i++) {
            fprintf(stderr, "running %s...\n", stores[i]->name().c_str());
            results.push_back(run(*stores[i], opt));
            results.back().commitUs = commitUs[i];
        }
    } catch (const std::exception& e) {
        fprintf(stderr, "engine_bench: %s\n", e.what());
        return 1;
    }
    std::filesystem::remove_all(opt.dir);
    if (results.empty()) {
        fprintf(stderr, "engine_bench: no store named %s\n", opt.only.c_str());
        return 2;
    }
    print(results, opt);
    return 0;
}
